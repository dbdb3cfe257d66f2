// libFuzzer target: the JPEG decoder (memory source).
#include "FuzzCommon.h"
#include "QiImage.h"

#include <csetjmp>
#include <cstddef>
#include <cstdint>
#include <cstdio> // before jpeglib.h
#include <jpeglib.h>

namespace {

struct HeaderError {
    jpeg_error_mgr mgr;
    std::jmp_buf jump;
};

// The frame size as the decoder will see it: libjpeg reads the header, so the
// harness finds the start of frame wherever libjpeg does (past stuffed or fill
// bytes, in any kind of frame) and can skip the slow sizes.
bool frameSize(const uint8_t* d, size_t n, unsigned& w, unsigned& h) {
    jpeg_decompress_struct cinfo;
    HeaderError err;
    cinfo.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = [](j_common_ptr c) {
        std::longjmp(reinterpret_cast<HeaderError*>(c->err)->jump, 1);
    };
    err.mgr.output_message = [](j_common_ptr) {};
    jpeg_create_decompress(&cinfo);
    bool found = false;
    if (!setjmp(err.jump)) {
        jpeg_mem_src(&cinfo, d, static_cast<unsigned long>(n));
        if (jpeg_read_header(&cinfo, TRUE) == JPEG_HEADER_OK) {
            w = cinfo.image_width;
            h = cinfo.image_height;
            found = true;
        }
    }
    jpeg_destroy_decompress(&cinfo);
    return found;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    unsigned w = 0, h = 0;
    if (frameSize(data, size, w, h) && fuzzsupport::tooSlowToDecode(w, h)) return 0;
    delete QiImage::decodeJpg(data, static_cast<unsigned>(size), 10);
    return 0;
}
