// Writers of small PNG and JPEG files with the libraries' own encoders, for
// the image-file tests and the fuzz corpora.
#pragma once

#include <cstdio> // before jpeglib.h
#include <jpeglib.h>
#include <png.h>

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

// A PNG of any colour type, written with libpng's own defaults; `samples` are
// the packed rows, top to bottom. False when the file cannot be written.
inline bool writeTestPng(const std::string& path, unsigned w, unsigned h, int colourType, int depth,
                         const std::vector<uint8_t>& samples, bool interlaced = false,
                         const std::vector<uint8_t>& palette = {},
                         const std::vector<uint8_t>& trns = {}) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_init_io(png, f);
    png_set_IHDR(png, info, w, h, depth, colourType,
                 interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (!palette.empty())
        png_set_PLTE(png, info, reinterpret_cast<png_const_colorp>(palette.data()),
                     static_cast<int>(palette.size() / 3));
    if (!trns.empty()) png_set_tRNS(png, info, trns.data(), static_cast<int>(trns.size()), nullptr);
    png_write_info(png, info);
    size_t rowBytes = samples.size() / h;
    std::vector<png_bytep> rows(h);
    for (unsigned y = 0; y < h; ++y)
        rows[y] = const_cast<png_bytep>(samples.data() + y * rowBytes);
    png_write_image(png, rows.data()); // all passes when interlaced
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return std::fclose(f) == 0;
}

// A JPEG of one or three components, baseline or progressive; `samples` are
// the rows, top to bottom. `restartInterval` puts a restart marker every that
// many MCUs (0: none). False when the file cannot be written.
inline bool writeTestJpeg(const std::string& path, unsigned w, unsigned h, int components,
                          const std::vector<uint8_t>& samples, bool progressive, int quality = 95,
                          unsigned restartInterval = 0) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    jpeg_compress_struct c;
    jpeg_error_mgr err;
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    jpeg_stdio_dest(&c, f);
    c.image_width = w;
    c.image_height = h;
    c.input_components = components;
    c.in_color_space = components == 1 ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, quality, TRUE);
    if (progressive) jpeg_simple_progression(&c);
    c.restart_interval = restartInterval;
    jpeg_start_compress(&c, TRUE);
    while (c.next_scanline < h) {
        JSAMPROW row = const_cast<JSAMPROW>(samples.data() + c.next_scanline * w * components);
        jpeg_write_scanlines(&c, &row, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    return std::fclose(f) == 0;
}

} // namespace testsupport
