// QiFont on FreeType 2, QiImage::renderText and QiImage::renderQR on libqrencode.
#include "QiFont.h"

#include "QiImage.h"
#include "QiOutput.h"

#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_GLYPH_H

#include <qrencode.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <mutex>

namespace {

// The FreeType library handle shared by every font; initialised (or not) by the
// first font of the process and never released.
std::mutex sLibraryMutex;
bool sLibraryTried = false;
FT_Library sLibrary = nullptr;

// One glyph table holds at most this many glyphs; the rest of a longer text
// is left out.
constexpr int kMaxGlyphs = 256;

struct PlacedGlyph {
    FT_Glyph glyph;
    FT_Vector pos; // pen position in pixels, relative to the text origin
};

// ((t ^ o) * a + o * (255 - a)) / 255: full coverage gives t XOR o, none keeps o.
inline int blend(int t, int o, int a) {
    return ((t ^ o) * a + o * (255 - a)) / 255;
}

} // namespace

QiFont::QiFont(const char* path, int points, int dpi) {
    const char* name = path ? path : "(null)";
    face = new FT_FaceRec_*(nullptr);

    std::lock_guard<std::mutex> lock(sLibraryMutex);
    if (!sLibraryTried) {
        sLibraryTried = true;
        if (FT_Init_FreeType(&sLibrary) != 0) {
            sLibrary = nullptr;
            gOutput->trace(QiOutput::Info, "QiFont: couldn't init library (%s)\n", name);
        }
    }
    FT_Face created = nullptr;
    if (!sLibrary || !path || FT_New_Face(sLibrary, path, 0, &created) != 0) {
        created = nullptr;
        gOutput->trace(QiOutput::Info, "QiFont: couldn't create new face (%s)\n", name);
    }
    *face = created;
    if (created) FT_Set_Char_Size(created, 0, static_cast<FT_F26Dot6>(points) << 6, dpi, dpi);
}

// Fonts live until the process ends; the face stays with the shared library.
QiFont::~QiFont() {}

bool QiImage::renderText(QiFont* font, const char* text, uint64_t colour, int x, int y, int& w,
                         int& h, bool box, RegistrationPoint reg) {
    int t0, t1, t2;
    getRGB(colour, t0, t1, t2);

    // Layout: one glyph per byte, kerned against the previous kept glyph.
    PlacedGlyph table[kMaxGlyphs];
    int count = 0;
    FT_Face face = font ? font->getFace() : nullptr;
    if (face && text) {
        const bool kerning = FT_HAS_KERNING(face);
        FT_Vector pen = {0, 0};
        FT_UInt previous = 0;
        bool havePrevious = false;
        // Per byte value: its glyph index, and the kerning after `previous`
        // with the least of them (a text may be far longer than what fits, so
        // each is asked of the face once, not once per byte).
        FT_UInt indexOf[256];
        bool indexKnown[256] = {};
        FT_Pos kernOf[256];
        bool kernKnown[256] = {};
        FT_Pos leastKern = 0;
        bool leastKernKnown = false;
        // Byte values already found not to fit at `rejectedPen`.
        bool rejected[256] = {};
        FT_Vector rejectedPen = pen;
        auto glyphIndex = [&](unsigned char byte) {
            if (!indexKnown[byte]) {
                // Bytes above 127 are negative as signed char: no character,
                // the face's missing glyph.
                const long code = static_cast<signed char>(byte);
                indexOf[byte] = FT_Get_Char_Index(face, static_cast<FT_ULong>(code));
                indexKnown[byte] = true;
            }
            return indexOf[byte];
        };
        auto kernAfterPrevious = [&](unsigned char byte) -> FT_Pos {
            if (!kernKnown[byte]) {
                FT_Vector delta = {0, 0};
                const FT_UInt index = glyphIndex(byte);
                kernOf[byte] =
                    index && FT_Get_Kerning(face, previous, index, FT_KERNING_DEFAULT, &delta) == 0
                        ? delta.x >> 6
                        : 0;
                kernKnown[byte] = true;
            }
            return kernOf[byte];
        };
        for (const char* p = text; *p && count < kMaxGlyphs; ++p) {
            const unsigned char byte = static_cast<unsigned char>(*p);
            // Glyphs are at least 0 pixels high: below the image nothing fits,
            // and only a kept glyph moves the pen down.
            if (pen.y > height) break;
            const FT_UInt index = glyphIndex(byte);
            if (kerning && havePrevious && index) pen.x += kernAfterPrevious(byte);
            if (pen.x > width) {
                // Nothing fits right of the image. Only kerning after the last
                // kept glyph can bring the pen back; once none pulls it left,
                // nothing more can be drawn.
                if (!kerning || !havePrevious) break;
                if (!leastKernKnown) {
                    for (unsigned b = 1; b < 256; ++b)
                        leastKern =
                            std::min(leastKern, kernAfterPrevious(static_cast<unsigned char>(b)));
                    leastKernKnown = true;
                }
                if (leastKern >= 0) break;
                continue;
            }
            if (pen.x != rejectedPen.x || pen.y != rejectedPen.y) {
                std::fill(std::begin(rejected), std::end(rejected), false);
                rejectedPen = pen;
            }
            if (rejected[byte]) continue;
            if (FT_Load_Glyph(face, index, FT_LOAD_DEFAULT) != 0) {
                rejected[byte] = true;
                continue;
            }
            FT_Glyph glyph = nullptr;
            if (FT_Get_Glyph(face->glyph, &glyph) != 0) continue;
            const FT_GlyphSlot slot = face->glyph;
            const unsigned right = static_cast<unsigned>(pen.x + slot->bitmap.width);
            const unsigned bottom = static_cast<unsigned>(pen.y + slot->bitmap.rows);
            if (right > static_cast<unsigned>(width) || bottom > static_cast<unsigned>(height)) {
                FT_Done_Glyph(glyph);
                rejected[byte] = true;
                continue;
            }
            table[count].glyph = glyph;
            table[count].pos = pen;
            ++count;
            pen.x += slot->advance.x >> 6;
            pen.y += slot->advance.y >> 6;
            if (!havePrevious || previous != index) {
                std::fill(std::begin(kernKnown), std::end(kernKnown), false);
                leastKernKnown = false;
                leastKern = 0;
            }
            previous = index;
            havePrevious = true;
        }
    }

    // Text box: union of the glyphs' pixel boxes plus a margin of two pixels.
    FT_BBox all = {32000, 32000, -32000, -32000};
    for (int i = 0; i < count; ++i) {
        FT_BBox b;
        FT_Glyph_Get_CBox(table[i].glyph, FT_GLYPH_BBOX_PIXELS, &b);
        if (b.xMin + table[i].pos.x < all.xMin) all.xMin = b.xMin + table[i].pos.x;
        if (b.yMin + table[i].pos.y < all.yMin) all.yMin = b.yMin + table[i].pos.y;
        if (b.xMax + table[i].pos.x > all.xMax) all.xMax = b.xMax + table[i].pos.x;
        if (b.yMax + table[i].pos.y > all.yMax) all.yMax = b.yMax + table[i].pos.y;
    }
    if (all.xMin > all.xMax) {
        w = 4;
        h = 4;
    } else {
        w = static_cast<int>(all.xMax - all.xMin + 4);
        h = static_cast<int>(all.yMax - all.yMin + 4);
    }

    // Anchor: left edge X and baseline row Y of the box for the given point.
    // Columns of the 3 x 3 grid move X by 0, w/2, w to the left; rows put the
    // baseline h, h/2 or 0 below y. Points outside the grid give (0, 0).
    int X = 0, Y = 0;
    const int point = static_cast<int>(reg);
    if (point >= 0 && point <= 8) {
        const int col = point % 3, row = point / 3;
        X = x - (col == 0 ? 0 : col == 1 ? w / 2 : w);
        Y = y + (row == 0 ? h : row == 1 ? h / 2 : 0);
    }

    if (box) drawLineBox(colour, X - 2, Y + 2 - h, w, h);

    for (int i = 0; i < count; ++i) {
        FT_Glyph rendered = table[i].glyph;
        if (FT_Glyph_To_Bitmap(&rendered, FT_RENDER_MODE_NORMAL, nullptr, 0) == 0 &&
            rendered->format == FT_GLYPH_FORMAT_BITMAP) {
            const FT_BitmapGlyph bg = reinterpret_cast<FT_BitmapGlyph>(rendered);
            const FT_Bitmap& bm = bg->bitmap;
            if (bm.pixel_mode == FT_PIXEL_MODE_GRAY) {
                const int ox = X + static_cast<int>(table[i].pos.x) + bg->left;
                const int oy = Y + static_cast<int>(table[i].pos.y) - bg->top;
                for (int r = 0; r < static_cast<int>(bm.rows); ++r) {
                    const int ty = oy + r;
                    if (ty < 0 || ty >= height) continue;
                    const unsigned char* row = bm.buffer + static_cast<ptrdiff_t>(r) * bm.pitch;
                    for (int c = 0; c < static_cast<int>(bm.width); ++c) {
                        const int tx = ox + c;
                        if (tx < 0 || tx >= width) continue;
                        const int a = row[c];
                        int o0, o1, o2;
                        getPixel(tx, ty, o0, o1, o2);
                        if (coding == RGB) {
                            o0 = blend(t0, o0, a);
                            o1 = blend(t1, o1, a);
                            o2 = blend(t2, o2, a);
                        } else if (coding == YCbCr) {
                            o1 = blend(t1, o1, a); // luma only; the chroma sample stays
                        }
                        setPixel(tx, ty, o0, o1, o2);
                    }
                }
            }
        }
        // An already-bitmap glyph comes back as itself: release it once.
        if (rendered && rendered != table[i].glyph) FT_Done_Glyph(rendered);
        FT_Done_Glyph(table[i].glyph);
    }
    return true;
}

QiImage* QiImage::renderQR(const char* text, unsigned size, uint64_t fg, uint64_t bg) {
    const int side = static_cast<int>(size);
    QiImage* image = new QiImage(side, side, 8);
    image->clear(bg);

    // Smallest version that fits, low error correction, 8-bit data, case kept.
    // A text too long for any version leaves the image filled with bg.
    QRcode* code = text ? QRcode_encodeString(text, 0, QR_ECLEVEL_L, QR_MODE_8, 1) : nullptr;
    if (!code) return image;

    // A quiet zone of four modules on every side.
    const int n = code->width;
    const int div = n + 8;
    for (int row = 0; row < n; ++row)
        for (int col = 0; col < n; ++col) {
            const bool dark = code->data[row * n + col] & 1;
            image->drawBar(dark ? fg : bg, col + 4, row + 4, 1, 1, div, div);
        }
    QRcode_free(code);
    return image;
}
