// QiImage: the system's one picture type.
//
// A width x height array of packed 64-bit pixels; each pixel holds three
// components of `bits` bits packed as c0 << 2*bits | c1 << bits | c2 (RGB, or
// YCbCr with the chroma sample in c0 and luma in c1). Every drawing primitive
// stores through the virtual setPixel(x, y, colour), which clips; the output
// raster and the back-ends derive from this class and override it. Holds no
// lock: it runs on the caller's thread (in practice the render thread).
#pragma once

#include <cstdint>

class QiFont;

class QiImage {
public:
    enum PixelCoding { RGB = 0, YCbCr = 1 };

    // Anchor of a text box on a 3 x 3 grid, row by row.
    enum RegistrationPoint {
        TopLeft = 0,
        TopCentre = 1,
        TopRight = 2,
        MiddleLeft = 3,
        Centre = 4,
        MiddleRight = 5,
        BottomLeft = 6,
        BottomCentre = 7,
        BottomRight = 8
    };

    // Allocates width*height pixels (not cleared), coding RGB.
    QiImage(int width, int height, int bits);
    QiImage(const QiImage&) = delete;
    QiImage& operator=(const QiImage&) = delete;

    // Virtual slots, in this order.
    virtual ~QiImage();
    virtual bool writePng(const char* path);              // image files
    virtual bool writeJpg(const char* path, int quality); // image files
    virtual bool writeMti(const char* path);              // image files
    virtual bool resize(int width, int height);
    virtual bool setPixel(int x, int y, uint64_t colour);
    virtual bool setPixel(int x, int y, int c0, int c1, int c2);

    int getWidth() const { return width; }
    int getHeight() const { return height; }

    uint64_t makeGrey(uint64_t v) const;
    bool getRGB(uint64_t pixel, int& c0, int& c1, int& c2) const;
    // No bounds check: the caller keeps inside the image.
    bool getPixel(int x, int y, int& c0, int& c1, int& c2) const;

    bool clear(uint64_t colour);
    bool blt(uint64_t colour, int x, int y, int w, int h);
    bool blt(QiImage* src, int x, int y, int sx, int sy, int sw, int sh);
    bool rawCopy(QiImage* src);

    bool boxGeomToXywh(int x, int y, int w, int h, int divX, int divY, int& px, int& py, int& pw,
                       int& ph) const;
    bool drawBar(uint64_t colour, int x, int y, int w, int h, int divX, int divY);
    bool drawHollowBox(uint64_t colour, int x, int y, int w, int h, int tx, int ty, int divX,
                       int divY);
    bool hLine(uint64_t colour, int x0, int x1, int y);
    bool vLine(uint64_t colour, int x, int y0, int y1);
    bool drawLine(uint64_t colour, int x0, int y0, int x1, int y1);
    bool drawLineBox(uint64_t colour, int x, int y, int w, int h);
    bool drawLineGrid(uint64_t colour, int x, int y, int w, int h, int nx, int ny, int xoff,
                      int yoff);
    bool drawCircle(uint64_t colour, int cx, int cy, int r);

    uint64_t interpolateColor(uint64_t a, uint64_t b, double t) const;
    uint64_t interpolateColor10(uint64_t a, uint64_t b, double t) const;
    uint64_t interpolateGrey(int a, int b, double t) const;
    bool gammify(uint64_t& colour, double gamma) const;

    bool renderGradient(int x, int y, int w, int h, int c0, int c1, bool byColumn, double gamma);
    bool renderZonePlate(int x, int y, int w, int h, int cx, int cy, unsigned k, uint64_t c0,
                         uint64_t c1);
    bool renderSine(unsigned x, unsigned y, unsigned w, unsigned h, bool alongX, unsigned k,
                    uint64_t c0, uint64_t c1);
    bool renderSectorStar(unsigned x, unsigned y, unsigned w, unsigned h, unsigned cx, unsigned cy,
                          bool sine, unsigned n, unsigned nColours, uint64_t* colours);

    // Text and QR codes (QiFont.cpp).
    bool renderText(QiFont* font, const char* text, uint64_t colour, int x, int y, int& w, int& h,
                    bool box, RegistrationPoint reg);
    static QiImage* renderQR(const char* text, unsigned size, uint64_t fg, uint64_t bg);

    // Image files (QiImageFile.cpp): readers are declared below this line.

    // Fields, in order.
    uint64_t* pixels = nullptr;
    int bits = 8;
    PixelCoding coding = RGB;
    int width = 0;
    int height = 0;
};
