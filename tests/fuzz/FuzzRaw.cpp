// libFuzzer target: raw frames with an INI sidecar, through the file readers.
// Input: a little-endian 16-bit length n, n bytes of sidecar text, then the
// frame data.
#include "FuzzCommon.h"
#include "QiImage.h"

#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace {

std::string gDir;

void removeFiles() {
    for (const char* name : {"/frame.raw_data", "/frame.yuv"})
        unlink((gDir + name).c_str());
    rmdir(gDir.c_str());
}

bool writeFile(const std::string& path, const uint8_t* data, size_t size) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = std::fwrite(data, 1, size, f) == size;
    return std::fclose(f) == 0 && ok;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (gDir.empty()) {
        char tmpl[] = "/tmp/kb-fuzz-raw-XXXXXX";
        if (!mkdtemp(tmpl)) return 0;
        gDir = tmpl;
        atexit(removeFiles);
    }
    if (size < 2) return 0;
    size_t n = size_t(data[0]) | size_t(data[1]) << 8;
    if (n > size - 2) n = size - 2;
    const std::string base = gDir + "/frame", frame = base + ".yuv";
    if (!writeFile(base + ".raw_data", data + 2, n) ||
        !writeFile(frame, data + 2 + n, size - 2 - n))
        return 0;

    QiImage::RawInfo info;
    if (QiImage::rawInfo(frame.c_str(), info) &&
        fuzzsupport::tooSlowToDecode(info.width, info.height))
        return 0;
    unsigned w = 0, h = 0;
    QiImage::PixelCoding coding;
    QiImage::fileInfo(frame.c_str(), w, h, coding);
    delete QiImage::readFile(base.c_str(), 10);
    delete QiImage::readRaw(frame.c_str(), 8);
    return 0;
}
