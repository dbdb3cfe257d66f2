#include "MtpAbout.h"

#include "MtCore.h"
#include "MtpFrame.h"
#include "MtpImageFile.h"
#include "OsDep.h"
#include "QiCLocale.h"
#include "QiImage.h"
#include "QiOutput.h"
#include "QiRaster.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {
QiOption* myOptions[] = {nullptr};
} // namespace

MtpAbout::MtpAbout() {
    options = myOptions;
    revision = "$Revision: 1.8 $";
}

MtpAbout::~MtpAbout() {}

char const* MtpAbout::getName() {
    return "About";
}

bool MtpAbout::initialize(MtCore*) {
    return true;
}

bool MtpAbout::render(MtCore* core, QiRaster* raster, QiArgRetVal const& args) {
    const int W = raster->getWidth(), H = raster->getHeight();
    const uint64_t black = mtp::grey(raster, static_cast<unsigned>(raster->getBlackLevel()));
    const uint64_t white = mtp::grey(raster, static_cast<unsigned>(raster->getWhiteLevel()));
    raster->blt(black, 0, 0, -1, -1);

    // The background is a picture of the data folder's "ImageFiles", named
    // without its extension; a name with a folder part would lead outside it.
    const char* bg = nullptr;
    if (args.find("Bg", &bg) && *bg) {
        if (std::strchr(bg, '/')) {
            gOutput->trace(QiOutput::Warning, "%s: background '%s' is not a picture name\n",
                           __func__, bg);
        } else {
            const std::string path =
                qi::formatC("%s/ImageFiles/%s.png", core->dataDir ? core->dataDir : ".", bg);
            if (QiImage* image = QiImage::readFile(path.c_str(), raster->bits)) {
                const int iw = image->getWidth(), ih = image->getHeight();
                const int w = std::min(W, iw), h = std::min(H, ih);
                const int dx = iw < W ? (W - iw) / 2 : 0, sx = iw < W ? 0 : (iw - W) / 2;
                const int dy = ih < H ? (H - ih) / 2 : 0, sy = ih < H ? 0 : (ih - H) / 2;
                MtpImageFile::toDepth(image, raster->bits);
                raster->blt(image, dx, dy, sx, sy, w, h);
                delete image;
            }
        }
    }

    raster->setFrames(1);
    period = 0;

    OsDep os("com.Brindlecap.MtRyn");
    const std::vector<IfAddr> addrs = os.getIpAddrs();
    const int y = H * 85 / 100;
    const int q = H * 15 / 100;
    int x = W / 10;
    for (const IfAddr& a : addrs) {
        const int tx = x + H * 15 / 200; // the middle of the QR code
        int w1 = 0, h1 = 0, w2 = 0, h2 = 0;
        raster->renderText(core->fonts[0], a.ifName.c_str(), white, tx, y, w1, h1, false,
                           QiImage::TopCentre);
        raster->renderText(core->fonts[0], a.ipText.c_str(), white, tx, y + h1 + 5, w2, h2, false,
                           QiImage::TopCentre);
        const std::string url = "http://" + a.ipText + "/ui";
        if (q > 0) {
            if (QiImage* code =
                    QiImage::renderQR(url.c_str(), static_cast<unsigned>(q), black, white)) {
                raster->blt(code, x, y - q, 0, 0, -1, -1);
                delete code;
            }
        }
        x += H / 20 + std::max({w1, q, w2});
    }

    core->renderTitle(getName(), nullptr, raster);
    raster->render(0, false);
    return true;
}
