// JPEG reading and writing through libjpeg (libjpeg-turbo).
//
// libjpeg's standard error handler ends the process; ours traces the message
// and longjmps back. As in QiPng.cpp, each setjmp sits in a small function of
// its own and everything that must survive an error lives in a state struct
// owned by the caller.
//
// Pixels travel in blue, green, red sample order (JCS_EXT_BGR): the reader takes
// the third sample of each pixel as red and the writer hands red over third, so
// the library's colour conversion sees the channels where it expects them.
#include "QiImage.h"
#include "QiImageFileIo.h"
#include "QiOutput.h"

#include <cstdio> // jpeglib.h needs FILE and size_t first

#include <jerror.h>
#include <jpeglib.h>

#include <cerrno>
#include <csetjmp>
#include <cstring>

#ifndef JCS_EXTENSIONS
#error "libjpeg-turbo's extended colour spaces (JCS_EXT_BGR) are needed"
#endif

using namespace qiimagefile;

namespace {

struct JpegError {
    jpeg_error_mgr mgr; // first, so the library's pointer is ours too
    std::jmp_buf jump;
    const char* func;
};

void jpegOutputMessage(j_common_ptr cinfo) {
    char text[JMSG_LENGTH_MAX];
    (*cinfo->err->format_message)(cinfo, text);
    gOutput->trace(QiOutput::Warning, "%s: %s\n", reinterpret_cast<JpegError*>(cinfo->err)->func,
                   text);
}

void jpegErrorExit(j_common_ptr cinfo) {
    (*cinfo->err->output_message)(cinfo);
    std::longjmp(reinterpret_cast<JpegError*>(cinfo->err)->jump, 1);
}

void initError(JpegError& err, const char* func) {
    jpeg_std_error(&err.mgr);
    err.mgr.error_exit = jpegErrorExit;
    err.mgr.output_message = jpegOutputMessage;
    err.func = func;
}

// Memory source. When the data is used up, an end-of-image marker is supplied
// (with libjpeg's premature-end warning), so a cut file decodes as far as it goes.
const JOCTET kEndOfImage[2] = {0xFF, JPEG_EOI};

void sourceInit(j_decompress_ptr) {}
void sourceTerm(j_decompress_ptr) {}

boolean sourceFill(j_decompress_ptr cinfo) {
    WARNMS(cinfo, JWRN_JPEG_EOF);
    cinfo->src->next_input_byte = kEndOfImage;
    cinfo->src->bytes_in_buffer = 2;
    return TRUE;
}

void sourceSkip(j_decompress_ptr cinfo, long count) {
    if (count <= 0) return;
    if (static_cast<size_t>(count) < cinfo->src->bytes_in_buffer) {
        cinfo->src->next_input_byte += count;
        cinfo->src->bytes_in_buffer -= static_cast<size_t>(count);
    } else {
        sourceFill(cinfo);
    }
}

void memorySource(j_decompress_ptr cinfo, const uint8_t* data, unsigned length) {
    auto* src = static_cast<jpeg_source_mgr*>((*cinfo->mem->alloc_small)(
        reinterpret_cast<j_common_ptr>(cinfo), JPOOL_PERMANENT, sizeof(jpeg_source_mgr)));
    src->init_source = sourceInit;
    src->fill_input_buffer = sourceFill;
    src->skip_input_data = sourceSkip;
    src->resync_to_restart = jpeg_resync_to_restart;
    src->term_source = sourceTerm;
    src->next_input_byte = data;
    src->bytes_in_buffer = length;
    cinfo->src = src;
}

struct JpegDecode {
    jpeg_decompress_struct cinfo;
    JpegError err;
    bool created = false;
    std::FILE* file = nullptr;
    QiImage* image = nullptr;
};

bool jpegDecodeSteps(JpegDecode* d, const uint8_t* data, unsigned length, int bits) {
    jpeg_decompress_struct* cinfo = &d->cinfo;
    jpeg_create_decompress(cinfo);
    d->created = true;
    if (d->file)
        jpeg_stdio_src(cinfo, d->file);
    else
        memorySource(cinfo, data, length);
    if (jpeg_read_header(cinfo, TRUE) != JPEG_HEADER_OK) return false;
    if (!sizeOk("loadJpg", cinfo->image_width, cinfo->image_height)) return false;
    // Greyscale and YCbCr files alike come out as three samples per pixel.
    cinfo->out_color_space = JCS_EXT_BGR;
    jpeg_start_decompress(cinfo);
    const unsigned n = static_cast<unsigned>(cinfo->output_components);
    if (n != 3) {
        gOutput->trace(QiOutput::Warning, "%s: %u samples per pixel\n", "loadJpg", n);
        return false;
    }
    d->image = newImage("loadJpg", cinfo->output_width, cinfo->output_height, bits);
    if (!d->image) return false;
    JSAMPARRAY row = (*cinfo->mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(cinfo), JPOOL_IMAGE,
                                                 cinfo->output_width * n, 1);
    const int s = bits - 8;
    const int b2 = 2 * bits;
    while (cinfo->output_scanline < cinfo->output_height) {
        size_t y = cinfo->output_scanline;
        if (jpeg_read_scanlines(cinfo, row, 1) != 1) return true; // rows left black
        uint64_t* out = d->image->pixels + y * cinfo->output_width;
        const JSAMPLE* p = row[0];
        for (JDIMENSION x = 0; x < cinfo->output_width; ++x, p += n)
            out[x] =
                uint64_t(p[2]) << (s + b2) | uint64_t(p[1]) << (s + bits) | uint64_t(p[0]) << s;
    }
    jpeg_finish_decompress(cinfo);
    return true;
}

bool jpegDecodeGuarded(JpegDecode* d, const uint8_t* data, unsigned length, int bits) {
    if (setjmp(d->err.jump)) return false;
    return jpegDecodeSteps(d, data, length, bits);
}

struct JpegEncode {
    jpeg_compress_struct cinfo;
    JpegError err;
    bool created = false;
};

void jpegEncodeSteps(JpegEncode* e, const QiImage* image, std::FILE* file, int quality) {
    jpeg_compress_struct* cinfo = &e->cinfo;
    jpeg_create_compress(cinfo);
    e->created = true;
    jpeg_stdio_dest(cinfo, file);
    cinfo->image_width = static_cast<JDIMENSION>(image->width);
    cinfo->image_height = static_cast<JDIMENSION>(image->height);
    cinfo->input_components = 3;
    cinfo->in_color_space = JCS_EXT_BGR;
    jpeg_set_defaults(cinfo);
    jpeg_set_quality(cinfo, quality, TRUE);
    jpeg_start_compress(cinfo, TRUE);
    JSAMPARRAY row = (*cinfo->mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(cinfo), JPOOL_IMAGE,
                                                 cinfo->image_width * 3, 1);
    while (cinfo->next_scanline < cinfo->image_height) {
        const uint64_t* src =
            image->pixels + size_t(cinfo->next_scanline) * size_t(cinfo->image_width);
        JSAMPLE* p = row[0];
        for (JDIMENSION x = 0; x < cinfo->image_width; ++x, p += 3) {
            int c0, c1, c2;
            image->getRGB(src[x], c0, c1, c2);
            p[0] = to8(c2, image->bits);
            p[1] = to8(c1, image->bits);
            p[2] = to8(c0, image->bits);
        }
        jpeg_write_scanlines(cinfo, row, 1);
    }
    jpeg_finish_compress(cinfo);
}

bool jpegEncodeGuarded(JpegEncode* e, const QiImage* image, std::FILE* file, int quality) {
    if (setjmp(e->err.jump)) return false;
    jpegEncodeSteps(e, image, file, quality);
    return true;
}

} // namespace

QiImage* loadJpg(const char* path, const uint8_t* data, unsigned length, int bits) {
    if (!bitsOk(__func__, bits)) return nullptr;
    if (!path && !data) return nullptr;
    JpegDecode d;
    std::memset(&d.cinfo, 0, sizeof d.cinfo);
    initError(d.err, __func__);
    d.cinfo.err = &d.err.mgr;
    if (path) {
        d.file = fopenForReading(__func__, path);
        if (!d.file) {
            gOutput->trace(QiOutput::Info, "can't open %s\n", path);
            return nullptr;
        }
    }
    bool ok = jpegDecodeGuarded(&d, data, length, bits);
    if (d.created) jpeg_destroy_decompress(&d.cinfo);
    if (d.file) std::fclose(d.file);
    if (ok) return d.image;
    delete d.image;
    return nullptr;
}

QiImage* QiImage::decodeJpg(const uint8_t* data, unsigned length, int bits) {
    if (!data) return nullptr;
    return loadJpg(nullptr, data, length, bits);
}

QiImage* QiImage::readJpg(const char* path, int bits) {
    if (!path) return nullptr;
    return loadJpg(path, nullptr, 0, bits);
}

bool QiImage::writeJpg(const char* path, int quality) {
    SafeFile out;
    std::FILE* f = out.open(path);
    if (!f) {
        gOutput->trace(QiOutput::Info, "can't open %s\n", path ? path : "");
        return false;
    }
    JpegEncode e;
    std::memset(&e.cinfo, 0, sizeof e.cinfo);
    initError(e.err, __func__);
    e.cinfo.err = &e.err.mgr;
    bool ok = jpegEncodeGuarded(&e, this, f, quality);
    if (e.created) jpeg_destroy_compress(&e.cinfo);
    if (ok && out.commit()) return true;
    gOutput->trace(QiOutput::Warning, "%s: writing %s failed\n", __func__, path);
    return false;
}
