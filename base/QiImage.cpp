#include "QiImage.h"

#include <algorithm>
#include <cstring>

QiImage::QiImage(int w, int h, int b)
    : bits(b), coding(RGB), width(w < 0 ? 0 : w), height(h < 0 ? 0 : h) {
    pixels = new uint64_t[static_cast<size_t>(width) * static_cast<size_t>(height)];
}

QiImage::~QiImage() {
    delete[] pixels;
}

bool QiImage::resize(int w, int h) {
    if (w < 0) w = 0;
    if (h < 0) h = 0;
    size_t oldCount = static_cast<size_t>(width) * static_cast<size_t>(height);
    size_t newCount = static_cast<size_t>(w) * static_cast<size_t>(h);
    uint64_t* next = new uint64_t[newCount];
    size_t keep = std::min(oldCount, newCount);
    if (keep) std::memcpy(next, pixels, keep * sizeof(uint64_t));
    if (newCount > keep) std::memset(next + keep, 0, (newCount - keep) * sizeof(uint64_t));
    delete[] pixels;
    pixels = next;
    width = w;
    height = h;
    return true;
}

bool QiImage::setPixel(int x, int y, uint64_t colour) {
    if (x < 0 || y < 0 || x >= width || y >= height) return false;
    pixels[static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)] = colour;
    return true;
}

bool QiImage::setPixel(int x, int y, int c0, int c1, int c2) {
    // Packed in 32-bit arithmetic and widened with sign extension (exact for bits <= 10).
    int32_t packed =
        static_cast<int32_t>((static_cast<uint32_t>(c0) << (2 * bits)) |
                             (static_cast<uint32_t>(c1) << bits) | static_cast<uint32_t>(c2));
    return setPixel(x, y, static_cast<uint64_t>(static_cast<int64_t>(packed)));
}

uint64_t QiImage::makeGrey(uint64_t v) const {
    return v << (2 * bits) | v << bits | v;
}

bool QiImage::getRGB(uint64_t pixel, int& c0, int& c1, int& c2) const {
    uint64_t mask = (uint64_t(1) << bits) - 1;
    c0 = static_cast<int>((pixel >> (2 * bits)) & mask);
    c1 = static_cast<int>((pixel >> bits) & mask);
    c2 = static_cast<int>(pixel & mask);
    return true;
}

bool QiImage::getPixel(int x, int y, int& c0, int& c1, int& c2) const {
    return getRGB(
        pixels[static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)], c0,
        c1, c2);
}

bool QiImage::clear(uint64_t colour) {
    std::fill(pixels, pixels + static_cast<size_t>(width) * static_cast<size_t>(height), colour);
    return true;
}

bool QiImage::rawCopy(QiImage* src) {
    if (!src) return false;
    size_t count = static_cast<size_t>(width) * static_cast<size_t>(height);
    size_t srcCount = static_cast<size_t>(src->width) * static_cast<size_t>(src->height);
    std::memcpy(pixels, src->pixels, std::min(count, srcCount) * sizeof(uint64_t));
    return true;
}

// The remaining primitives are in QiImageDraw.cpp.
