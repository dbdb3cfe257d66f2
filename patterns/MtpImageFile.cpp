#include "MtpImageFile.h"

#include "FolderScanner.h"
#include "MtCore.h"
#include "MtpFrame.h"
#include "QiCLocale.h"
#include "QiImage.h"
#include "QiOutput.h"
#include "QiRaster.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {
char const* const kAnchors[] = {"TL", "TC", "TR", "ML", "MC", "MR", "BL", "BC", "BR", nullptr};
QiOptInt po_dxOff("dxOff", "X-Offset of the display", 0, -65535, 65536, mtp::at(0, 50));
QiOptInt po_dyOff("dyOff", "Y-Offset of the display", 0, -65535, 65536, mtp::at(125, 50));
QiOptInt po_sxOff("sxOff", "X-Offset of the source image", 0, -65535, 65536, mtp::at(0, 75));
QiOptInt po_syOff("syOff", "Y-Offset of the source image", 0, -65535, 65536, mtp::at(125, 75));
// -1 (as much as fits) applies only to an absent key; a given value is
// limited to 0..100, and below 1 again means as much as fits.
QiOptInt po_width("width", "width in pixels to display", -1, 0, 100, mtp::at(0, 100));
QiOptInt po_height("height", "height in pixels to display", -1, 0, 100, mtp::at(125, 100));
QiOptEnum po_Anchor("Anchor", "The source anchor position for the given sxOff/syOff offsets", 0,
                    kAnchors, mtp::at(0, 125));
QiOption* myOptions[] = {&po_dxOff, &po_dyOff,  &po_sxOff,  &po_syOff,
                         &po_width, &po_height, &po_Anchor, nullptr};

enum Anchor { TL, TC, TR, ML, MC, MR, BL, BC, BR };

// A sequence holds at most as many frames as a file name can number; a larger
// count (a client's "nF" value) would have the raster allocate a frame ring of
// that size.
constexpr int kMaxFrames = static_cast<int>(FolderScanner::kMaxFrame) + 1;

// The resolution an image set is shown at on a raster `rasterHeight` high: the
// listed resolutions are visited in index order; the first one is taken
// whatever its size, a later one when it fits the raster. A listed 0 (files
// named without a resolution) counts as no choice yet. Only entries present
// in `args` count, so a large "nVres" costs nothing.
int chooseResolution(QiArgRetVal const& args, int count, int rasterHeight) {
    std::vector<std::pair<int, int>> listed; // (index, resolution)
    for (const auto& entry : args) {
        const std::string& key = entry.first;
        if (key.compare(0, 4, "vres") != 0 || key.size() < 5) continue;
        const char* digits = key.c_str() + 4;
        const long index = qi::strtolC(digits, nullptr, 10);
        // Only the key that "vres%d" writes for the index, nothing spelt otherwise.
        if (index < 0 || index >= count || qi::formatC("%ld", index) != digits) continue;
        int v = 0;
        args.find(key.c_str(), &v);
        listed.emplace_back(static_cast<int>(index), v);
    }
    std::sort(listed.begin(), listed.end());
    int res = 0;
    for (const auto& l : listed) {
        if (res == 0 || l.second <= rasterHeight) res = l.second;
    }
    return res;
}

// A frame's file is a name inside the set's folder, as the folder scanner
// writes it; a name that leads elsewhere is not opened.
bool isPlainFileName(const char* name) {
    return *name && std::strchr(name, '/') == nullptr && std::strcmp(name, ".") != 0 &&
           std::strcmp(name, "..") != 0;
}

} // namespace

MtpImageFile::MtpImageFile() {
    options = myOptions;
    revision = "$Revision: 1.6 $";
}

MtpImageFile::~MtpImageFile() {}

char const* MtpImageFile::getName() {
    return "ImageFile";
}

bool MtpImageFile::initialize(MtCore* core) {
    // Every image set in the data folder's "ImageFiles" becomes an alias of
    // this pattern, named by the set's base name.
    if (core) {
        std::string folder = qi::formatC("%s/ImageFiles", core->dataDir ? core->dataDir : ".");
        core->scanFolder(folder.c_str(), "");
    }
    return true;
}

void MtpImageFile::toDepth(QiImage* image, int bits) {
    if (!image || image->bits == bits || bits < 1 || bits > 21 || image->bits < 1 ||
        image->bits > 21)
        return;
    const int from = image->bits;
    const size_t count = static_cast<size_t>(image->width) * static_cast<size_t>(image->height);
    const uint64_t mask = (uint64_t(1) << from) - 1;
    auto scale = [from, bits](uint64_t c) {
        return bits > from ? c << (bits - from) : c >> (from - bits);
    };
    for (size_t i = 0; i < count; ++i) {
        const uint64_t p = image->pixels[i];
        const uint64_t c0 = scale(p >> (2 * from) & mask), c1 = scale(p >> from & mask),
                       c2 = scale(p & mask);
        image->pixels[i] = c0 << (2 * bits) | c1 << bits | c2;
    }
    image->bits = bits;
}

bool MtpImageFile::render(MtCore* core, QiRaster* raster, QiArgRetVal const& args) {
    int dxOff = 0, dyOff = 0, sxOff = 0, syOff = 0, width = -1, height = -1;
    unsigned anchor = po_Anchor.defaultIndex;
    po_dxOff.getOption(args, dxOff);
    po_dyOff.getOption(args, dyOff);
    po_sxOff.getOption(args, sxOff);
    po_syOff.getOption(args, syOff);
    po_width.getOption(args, width);
    po_height.getOption(args, height);
    po_Anchor.getOption(args, anchor);
    const char* name = nullptr;
    const char* folder = "";
    int nVres = 0;
    args.find("Name", &name);
    args.find("Folder", &folder);
    args.find("nVres", &nVres);

    const int W = raster->getWidth(), H = raster->getHeight();
    const int res = chooseResolution(args, nVres, H);

    int n = 1;
    args.find(qi::formatC("nF%d", res).c_str(), &n);
    // The file a frame shows: null when the arguments name none (an absent key,
    // or the empty text the scanner writes for a frame no file supplied).
    auto fileOf = [&args, res](int j) -> const char* {
        const char* file = nullptr;
        args.find(qi::formatC("r%d-f%d", res, j).c_str(), &file);
        return file && *file ? file : nullptr;
    };
    // A raster needs a frame to show, and no set holds more frames than file
    // names can number. Frames past the last one the arguments name a file for
    // would only repeat it, so a client's count alone cannot make the raster
    // hold a ring of empty frames.
    int limited = n < 1 ? 1 : std::min(n, kMaxFrames);
    while (limited > 1 && !fileOf(limited - 1))
        --limited;
    if (limited != n) {
        gOutput->trace(QiOutput::Warning, "%s: frame count %d of '%s' limited to %d\n", __func__, n,
                       name ? name : "", limited);
        n = limited;
    }

    // Only frames that name a file get a ring frame of their own: a frame
    // without one shows the frame before it (the first one that names a file,
    // for frames before that), so a sequence with gaps keeps its timing and
    // holds no more pictures than it has files. The ring stays within the
    // raster's budget: a longer sequence ends before the frame that would
    // exceed it.
    const unsigned budget = raster->maxFrames();
    std::vector<unsigned> slotOf;   // ring frame by step
    std::vector<const char*> shown; // file by ring frame
    int missing = 0, firstMissing = -1;
    for (int j = 0; j < n; ++j) {
        const char* file = fileOf(j);
        if (file && shown.size() >= budget) {
            gOutput->trace(QiOutput::Warning,
                           "%s: sequence '%s' cut to %d of its %d frames to stay within the "
                           "frame memory budget\n",
                           __func__, name ? name : "", j, n);
            n = j;
            break;
        }
        if (file) {
            shown.push_back(file);
        } else {
            ++missing;
            if (firstMissing < 0) firstMissing = j;
        }
        slotOf.push_back(shown.empty() ? 0u : static_cast<unsigned>(shown.size() - 1));
    }
    slotOf.resize(static_cast<size_t>(n));
    if (shown.empty()) shown.push_back(nullptr); // nothing named: one frame all the same
    if (missing > 0) {
        const std::string key = qi::formatC("r%d-f%d", res, firstMissing);
        if (missing == 1)
            gOutput->trace(QiOutput::Warning, "couldn't figure out file for '%s / %s'\n",
                           name ? name : "", key.c_str());
        else
            gOutput->trace(QiOutput::Warning,
                           "couldn't figure out file for '%s / %s' and %d more frames\n",
                           name ? name : "", key.c_str(), missing - 1);
    }
    raster->setFrames(static_cast<unsigned>(shown.size()));
    if (shown.size() < static_cast<size_t>(n)) raster->setFrameSequence(slotOf);
    period = n == 1 ? 0 : 750;

    const char* title = name ? name : getName();
    const uint64_t border = mtp::grey(raster, mtp::scale8(raster, 16));
    const uint64_t errorGrey = mtp::grey(raster, mtp::scale8(raster, 240));
    for (size_t j = 0; j < shown.size(); ++j) {
        const char* file = shown[j];
        if (file) {
            const std::string path = qi::formatC("%s/%s", folder, file);
            QiImage* image = nullptr;
            if (isPlainFileName(file))
                image = QiImage::readFile(path.c_str(), raster->bits);
            else
                gOutput->trace(QiOutput::Warning, "%s: '%s' names no file of its folder\n",
                               __func__, file);
            if (!image) {
                const size_t slash = path.rfind('/');
                const std::string shownName =
                    slash == std::string::npos ? path : path.substr(slash + 1);
                int tw = 0, th = 0;
                raster->renderText(core->fonts[1],
                                   qi::formatC("Error Loading '%s'", shownName.c_str()).c_str(),
                                   errorGrey, W / 2, H / 2, tw, th, false, QiImage::Centre);
            } else {
                MtpImageFile::toDepth(image, raster->bits);
                int dx = dxOff, dy = dyOff, sx = sxOff, sy = syOff;
                const int iw = image->getWidth(), ih = image->getHeight();
                const int aw = std::min(W - dx, iw - sx), ah = std::min(H - dy, ih - sy);
                const int w = width < 1 ? aw : std::min(width, aw);
                const int h = height < 1 ? ah : std::min(height, ah);
                switch (anchor) {
                case TC:
                case MC:
                case BC:
                    if (W <= iw)
                        sx += (iw - W) / 2;
                    else
                        dx += (W - iw) / 2;
                    break;
                case TR:
                case MR:
                case BR:
                    dx = W + dx - w;
                    sx = iw + sx - w;
                    break;
                default:
                    break;
                }
                switch (anchor) {
                case ML:
                case MC:
                case MR:
                    if (H <= ih)
                        sy += (ih - H) / 2;
                    else
                        dy += (H - ih) / 2;
                    break;
                case BL:
                case BC:
                case BR:
                    dy = H + dy - h;
                    sy = ih + sy - h;
                    break;
                default:
                    break;
                }
                raster->blt(border, 0, 0, -1, -1);
                // Nothing to copy when the offsets leave no overlap (a size of -1
                // would ask blt for the whole source).
                if (w > 0 && h > 0) raster->blt(image, dx, dy, sx, sy, w, h);
                delete image;
            }
        }
        core->renderTitle(title, nullptr, raster);
        raster->render(static_cast<unsigned>(j), false);
    }
    return true;
}
