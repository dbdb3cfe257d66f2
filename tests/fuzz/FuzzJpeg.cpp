// libFuzzer target: the JPEG decoder (memory source).
#include "FuzzCommon.h"
#include "QiImage.h"

#include <cstddef>
#include <cstdint>

namespace {

// Size of the first start-of-frame segment of any kind (baseline, progressive,
// lossless...), so the harness can skip the slow sizes.
bool frameSize(const uint8_t* d, size_t n, unsigned& w, unsigned& h) {
    for (size_t p = 2; p + 9 < n;) {
        if (d[p] != 0xFF) {
            ++p;
            continue;
        }
        uint8_t m = d[p + 1];
        if (m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC) {
            h = unsigned(d[p + 5]) << 8 | d[p + 6];
            w = unsigned(d[p + 7]) << 8 | d[p + 8];
            return true;
        }
        p += (size_t(d[p + 2]) << 8 | d[p + 3]) + 2;
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    unsigned w = 0, h = 0;
    if (frameSize(data, size, w, h) && fuzzsupport::tooSlowToDecode(w, h)) return 0;
    delete QiImage::decodeJpg(data, static_cast<unsigned>(size), 10);
    return 0;
}
