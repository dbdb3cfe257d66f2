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
#include <cstdio>
#include <type_traits>
#include <typeinfo>

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

    // 1024 levels 0 .. 1022 holding two cycles of 511 - 511 * sin(4 pi i / 1024), indexed by a
    // 10-bit phase; the zone plate, the sine sweep and the sine sector star read it.
    static const uint16_t* sineTable10();

    // True when the primitives may store into the pixel array directly: the object's dynamic type
    // is exactly a type known to keep QiImage's setPixel(int, int, uint64_t) (see below), so a
    // direct store is the same as the virtual call.
    bool directStores() const { return typeid(*this) == *directStoreType; }

    // Image files (QiImageFile.cpp): readers are declared below this line.
    //
    // Readers return a new image that the caller owns and deletes, or null. "bits" is
    // the component depth of the image to build (8 to 16). Headers are checked before
    // anything is allocated: a side above 65535 or more than 2^26 pixels is refused.
    // Pixels for which a raw frame or a PNG holds no data are black (0); an
    // ".mti" file whose pixels cannot all be read gives null.

    // Description of a raw frame, read from its INI sidecar. Only width, height
    // and fourCC affect decoding; longer texts are cut to the array sizes less one.
    struct RawInfo {
        uint32_t width = 0;
        uint32_t height = 0;
        char fourCC[6] = {};
        bool interlaced = false;
        bool topDown = true;
        char colorspace[10] = {};
        char levels[10] = {};
        char pixelAspect[11] = {};
    };

    // The source handed to the PNG decoder: `file` when set, else `length` bytes
    // at `data`, read from `offset` on.
    struct PngReader {
        std::FILE* file = nullptr;
        const uint8_t* data = nullptr;
        unsigned length = 0;
        unsigned offset = 0;
    };

    // Identifies a file by its content (".mti", PNG, baseline JPEG, then a raw
    // sidecar); coding is YCbCr only for raw 4:2:2 frames.
    static bool fileInfo(const char* path, unsigned& width, unsigned& height, PixelCoding& coding);
    // Reads base + ".mti", ".png", ".jpg", ".jpeg", ".raw", ".yuv" or base itself
    // (the first that exists) and decodes it by its content.
    static QiImage* readFile(const char* base, int bits);

    static bool identifyMti(uint8_t* data, unsigned length, unsigned& width, unsigned& height);
    static bool identifyPng(uint8_t* data, unsigned length, unsigned& width, unsigned& height);
    static bool identifyJpeg(uint8_t* data, unsigned length, unsigned& width, unsigned& height);
    static bool identifyRaw(const char* path, unsigned& width, unsigned& height,
                            PixelCoding& coding);

    static QiImage* decodeMti(const uint8_t* data, unsigned length);
    static QiImage* decodePng(const uint8_t* data, unsigned length, int bits);
    static QiImage* decodeJpg(const uint8_t* data, unsigned length, int bits);
    static QiImage* decodeRaw(const uint8_t* data, unsigned length, RawInfo& info, int bits);
    // Reads the sidecar of `path` (the text after the last '.' of the file name
    // replaced by "raw_data"); true when it gives a width and a height.
    static bool rawInfo(const char* path, RawInfo& info);

    static QiImage* readMti(const char* path);
    static QiImage* readPng(const char* path, int bits);
    static QiImage* readJpg(const char* path, int bits);
    static QiImage* readRaw(const char* path, int bits);

    // Fields, in order.
    uint64_t* pixels = nullptr;
    int bits = 8;
    PixelCoding coding = RGB;
    int width = 0;
    int height = 0;

protected:
    // For a subclass that does not override setPixel(int, int, uint64_t): call
    // allowDirectStores(this) in its constructor and the fills skip the virtual call per pixel.
    // It does not compile in a class that overrides that setPixel, and a class derived further
    // has another dynamic type, so it falls back to the virtual call until it vouches for itself.
    template <class T> void allowDirectStores(const T*) {
        static_assert(std::is_same<decltype(setPixelOwner(&T::setPixel)), QiImage*>::value,
                      "allowDirectStores: this class overrides setPixel");
        directStoreType = &typeid(T);
    }

private:
    // Deduces the class that declares the setPixel(int, int, uint64_t) a type sees.
    template <class C> static C* setPixelOwner(bool (C::*)(int, int, uint64_t));

    const std::type_info* directStoreType = &typeid(QiImage);
};

// PNG and JPEG decoders behind the readers (null on failure); `loadJpg` reads the
// file at `path` when it is set, else `length` bytes at `data`.
QiImage* loadPng(QiImage::PngReader* reader, int bits);
QiImage* loadJpg(const char* path, const uint8_t* data, unsigned length, int bits);
// Reads an ".mti" header from the current position of `file`.
bool mtiInfo(std::FILE* file, unsigned& width, unsigned& height);
