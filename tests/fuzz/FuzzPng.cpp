// libFuzzer target: the PNG decoder, from memory and through a FILE.
#include "FuzzCommon.h"
#include "QiImage.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<uint8_t> copy(data, data + size);
    unsigned w = 0, h = 0;
    unsigned length = static_cast<unsigned>(size);
    if (QiImage::identifyPng(copy.data(), length, w, h) && fuzzsupport::tooSlowToDecode(w, h))
        return 0;
    delete QiImage::decodePng(copy.data(), length, 10);
    if (FILE* f = fmemopen(copy.data(), size ? size : 1, "rb")) {
        QiImage::PngReader reader;
        reader.file = f;
        delete loadPng(&reader, 8);
        std::fclose(f);
    }
    return 0;
}
