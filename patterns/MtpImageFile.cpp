#include "MtpImageFile.h"

#include "MtCore.h"
#include "MtpFrame.h"
#include "QiCLocale.h"

#include <string>

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

bool MtpImageFile::render(MtCore*, QiRaster*, QiArgRetVal const&) {
    return mtp::notDrawnYet(getName());
}
