// PNG reading and writing through libpng 1.6.
//
// libpng reports errors by longjmp. Each setjmp lives in a small function of
// its own whose locals never change after the call, and everything that must
// survive an error lives in a state struct owned by the caller, so nothing is
// lost or left indeterminate when libpng jumps back.
#include "QiImage.h"
#include "QiImageFileIo.h"
#include "QiOutput.h"

#include <png.h>

#include <csetjmp>
#include <cstdlib>
#include <cstring>

using namespace qiimagefile;

namespace {

// Colour shown where a pixel is fully transparent.
constexpr unsigned kTransparentR = 128, kTransparentG = 160, kTransparentB = 48;

// The error pointer carries the name of the operation for the trace line.
void pngError(png_structp png, png_const_charp message) {
    gOutput->trace(QiOutput::Warning, "%s: %s\n", static_cast<const char*>(png_get_error_ptr(png)),
                   message);
    png_longjmp(png, 1);
}

void pngWarning(png_structp png, png_const_charp message) {
    gOutput->trace(QiOutput::Minutiae, "%s: %s\n", static_cast<const char*>(png_get_error_ptr(png)),
                   message);
}

// Reads from the PngReader's file, or copies from its buffer. Data that runs
// out is an error rather than a short read, so libpng never decodes bytes
// that were not supplied.
void pngRead(png_structp png, png_bytep out, size_t count) {
    auto* reader = static_cast<QiImage::PngReader*>(png_get_io_ptr(png));
    if (reader->file) {
        if (std::fread(out, 1, count, reader->file) != count) png_error(png, "data cut short");
        return;
    }
    size_t left = reader->offset < reader->length ? reader->length - reader->offset : 0;
    if (count > left) {
        reader->offset = reader->length;
        png_error(png, "data cut short");
    }
    std::memcpy(out, reader->data + reader->offset, count);
    reader->offset += static_cast<unsigned>(count);
}

struct PngDecode {
    png_structp png = nullptr;
    png_infop info = nullptr;
    png_uint_32 width = 0;
    png_uint_32 height = 0;
    png_bytep buffer = nullptr; // width * height pixels of blue, green, red, alpha
    png_bytepp rows = nullptr;
    bool rowsReady = false; // buffer holds black until rows are decoded over it
};

// Header, transformations and rows; libpng may jump out of it at any point.
bool pngDecodeSteps(PngDecode* d) {
    // Only the chunks that make the picture are read (IHDR, PLTE, tRNS, IDAT,
    // IEND); the others are skipped unread. libpng would take memory for the
    // whole of a text or other metadata chunk, and clear it, before reading
    // it, at any length up to 2 GB the chunk claims (past its own limit it
    // only warns), so a small file could claim gigabytes.
    png_set_keep_unknown_chunks(d->png, PNG_HANDLE_CHUNK_NEVER, nullptr, -1);
    png_read_info(d->png, d->info);
    int depth = 0, colourType = 0;
    png_get_IHDR(d->png, d->info, &d->width, &d->height, &depth, &colourType, nullptr, nullptr,
                 nullptr);
    if (!sizeOk("loadPng", d->width, d->height)) return false;

    png_set_strip_16(d->png);
    // Pixels without alpha get a non-zero fourth byte, so they count as opaque.
    png_set_filler(d->png, 0x101010, PNG_FILLER_AFTER);
    png_set_bgr(d->png);
    png_set_packing(d->png);
    if (colourType == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(d->png);
    if (colourType == PNG_COLOR_TYPE_GRAY && depth < 8) png_set_expand_gray_1_2_4_to_8(d->png);
    // Grey with or without alpha becomes RGB (with alpha where it had one).
    if (colourType == PNG_COLOR_TYPE_GRAY || colourType == PNG_COLOR_TYPE_GRAY_ALPHA)
        png_set_gray_to_rgb(d->png);
    if (png_get_valid(d->png, d->info, PNG_INFO_tRNS)) png_set_tRNS_to_alpha(d->png);
    png_set_interlace_handling(d->png);
    png_read_update_info(d->png, d->info);

    size_t rowBytes = size_t(d->width) * 4;
    if (png_get_rowbytes(d->png, d->info) != rowBytes) {
        gOutput->trace(QiOutput::Warning, "%s: unexpected row layout (%zu bytes for %u pixels)\n",
                       "loadPng", static_cast<size_t>(png_get_rowbytes(d->png, d->info)),
                       static_cast<unsigned>(d->width));
        return false;
    }
    d->buffer = static_cast<png_bytep>(std::malloc(rowBytes * d->height));
    d->rows = static_cast<png_bytepp>(std::malloc(sizeof(png_bytep) * d->height));
    if (!d->buffer || !d->rows) {
        gOutput->trace(QiOutput::Warning, "%s: no memory for %ux%u pixels\n", "loadPng",
                       static_cast<unsigned>(d->width), static_cast<unsigned>(d->height));
        return false;
    }
    for (size_t i = 0; i < size_t(d->width) * d->height; ++i) {
        png_bytep p = d->buffer + i * 4;
        p[0] = p[1] = p[2] = 0;
        p[3] = 0xFF;
    }
    for (png_uint_32 y = 0; y < d->height; ++y)
        d->rows[y] = d->buffer + size_t(y) * rowBytes;
    d->rowsReady = true;
    png_read_image(d->png, d->rows);
    return true;
}

bool pngDecodeGuarded(PngDecode* d) {
    if (setjmp(png_jmpbuf(d->png))) return false;
    return pngDecodeSteps(d);
}

struct PngEncode {
    png_structp png = nullptr;
    png_infop info = nullptr;
    png_bytep row = nullptr; // width * 3 bytes
};

void pngEncodeSteps(PngEncode* e, const QiImage* image, std::FILE* file) {
    png_init_io(e->png, file);
    if (image->height > 0x1FFFFFFF) png_error(e->png, "Image is too tall to process in memory");
    png_set_IHDR(e->png, e->info, static_cast<png_uint_32>(image->width),
                 static_cast<png_uint_32>(image->height), 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    // Suggested palette: a grey ramp.
    png_color palette[256];
    for (int i = 0; i < 256; ++i)
        palette[i].red = palette[i].green = palette[i].blue = static_cast<png_byte>(i);
    png_set_PLTE(e->png, e->info, palette, 256);
    png_text text[3];
    std::memset(text, 0, sizeof text);
    text[0].compression = PNG_TEXT_COMPRESSION_NONE;
    text[0].key = const_cast<char*>("Title");
    text[0].text = const_cast<char*>("QiImage Output");
    text[1].compression = PNG_TEXT_COMPRESSION_NONE;
    text[1].key = const_cast<char*>("Author");
    text[1].text = const_cast<char*>("Pellucine");
    text[2].compression = PNG_TEXT_COMPRESSION_zTXt;
    text[2].key = const_cast<char*>("Description");
    text[2].text = const_cast<char*>("<none>");
    png_set_text(e->png, e->info, text, 3);
    png_write_info(e->png, e->info);

    for (int y = 0; y < image->height; ++y) {
        const uint64_t* src = image->pixels + size_t(y) * size_t(image->width);
        for (int x = 0; x < image->width; ++x) {
            int c0, c1, c2;
            image->getRGB(src[x], c0, c1, c2);
            e->row[3 * x] = to8(c0, image->bits);
            e->row[3 * x + 1] = to8(c1, image->bits);
            e->row[3 * x + 2] = to8(c2, image->bits);
        }
        png_write_row(e->png, e->row);
    }
    png_write_end(e->png, e->info);
}

bool pngEncodeGuarded(PngEncode* e, const QiImage* image, std::FILE* file) {
    if (setjmp(png_jmpbuf(e->png))) return false;
    pngEncodeSteps(e, image, file);
    return true;
}

} // namespace

QiImage* loadPng(QiImage::PngReader* reader, int bits) {
    if (!reader || !bitsOk(__func__, bits)) return nullptr;
    PngDecode d;
    d.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, const_cast<char*>("loadPng"), pngError,
                                   pngWarning);
    if (!d.png) return nullptr;
    d.info = png_create_info_struct(d.png);
    QiImage* image = nullptr;
    if (d.info) {
        png_set_read_fn(d.png, reader, pngRead);
        png_set_sig_bytes(d.png, 0);
        bool complete = pngDecodeGuarded(&d);
        // An error in the header gives nothing; one in the rows keeps the rows
        // decoded so far, and the rest stays black.
        if (d.rowsReady) {
            if (!complete)
                gOutput->trace(QiOutput::Warning, "%s: image data ends early; the rest is black\n",
                               __func__);
            image = newImage(__func__, d.width, d.height, bits);
        }
        if (image) {
            const int s = bits - 8;
            size_t count = size_t(d.width) * d.height;
            for (size_t i = 0; i < count; ++i) {
                const png_byte* p = d.buffer + i * 4;
                unsigned r = p[2], g = p[1], b = p[0];
                if (p[3] == 0) r = kTransparentR, g = kTransparentG, b = kTransparentB;
                image->pixels[i] =
                    uint64_t(r) << (s + 2 * bits) | uint64_t(g) << (s + bits) | uint64_t(b) << s;
            }
        }
    }
    png_destroy_read_struct(&d.png, d.info ? &d.info : nullptr, nullptr);
    std::free(d.buffer);
    std::free(d.rows);
    return image;
}

QiImage* QiImage::decodePng(const uint8_t* data, unsigned length, int bits) {
    if (!data) return nullptr;
    PngReader reader;
    reader.data = data;
    reader.length = length;
    return loadPng(&reader, bits);
}

QiImage* QiImage::readPng(const char* path, int bits) {
    std::FILE* f = fopenForReading(__func__, path);
    if (!f) return nullptr;
    PngReader reader;
    reader.file = f;
    QiImage* image = loadPng(&reader, bits);
    std::fclose(f);
    return image;
}

bool QiImage::writePng(const char* path) {
    SafeFile out;
    std::FILE* f = out.open(path);
    if (!f) return false; // as for a missing file, no trace
    PngEncode e;
    e.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, const_cast<char*>("writePng"), pngError,
                                    pngWarning);
    if (e.png) e.info = png_create_info_struct(e.png);
    e.row = static_cast<png_bytep>(std::malloc(size_t(width > 0 ? width : 1) * 3));
    bool ok = e.png && e.info && e.row && pngEncodeGuarded(&e, this, f);
    png_destroy_write_struct(e.png ? &e.png : nullptr, e.info ? &e.info : nullptr);
    std::free(e.row);
    if (ok && out.commit()) return true;
    gOutput->trace(QiOutput::Warning, "%s: writing %s failed\n", __func__, path);
    return false;
}
