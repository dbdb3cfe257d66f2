// libFuzzer target: the ".mti" decoder.
#include "FuzzCommon.h"
#include "QiImage.h"

#include <cstddef>
#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<uint8_t> copy(data, data + size);
    unsigned w = 0, h = 0;
    unsigned length = static_cast<unsigned>(size);
    if (QiImage::identifyMti(copy.data(), length, w, h) && fuzzsupport::tooSlowToDecode(w, h))
        return 0;
    delete QiImage::decodeMti(copy.data(), length);
    return 0;
}
