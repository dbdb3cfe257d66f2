#include "QiImage.h"
#include "QiFixed.h"
#include "QiImageDrawRows.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <set>
#include <utility>
#include <vector>

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr uint64_t kCanary = 0xDEADBEEFull;

// Overrides setPixel (forwarding to QiImage's), so every primitive takes the virtual path; it
// counts the stores and remembers which pixels were set.
class ForwardingImage : public QiImage {
public:
    ForwardingImage(int w, int h, int b) : QiImage(w, h, b) {}
    bool setPixel(int x, int y, uint64_t colour) override {
        ++stores;
        touched.insert({x, y});
        return QiImage::setPixel(x, y, colour);
    }
    using QiImage::setPixel;
    long stores = 0;
    std::set<std::pair<int, int>> touched;
};

// Keeps QiImage's setPixel and says so.
class VouchedImage : public QiImage {
public:
    VouchedImage(int w, int h, int b) : QiImage(w, h, b) { allowDirectStores(this); }
};

// Derived from a vouched class: a different dynamic type that has not vouched for itself.
class DerivedFromVouched : public VouchedImage {
public:
    DerivedFromVouched(int w, int h, int b) : VouchedImage(w, h, b) {}
};

uint64_t at(const QiImage& im, int x, int y) {
    return im.pixels[static_cast<size_t>(y) * im.width + x];
}

size_t count(const QiImage& im, uint64_t colour) {
    size_t n = 0;
    for (size_t i = 0; i < static_cast<size_t>(im.width) * im.height; ++i)
        n += im.pixels[i] == colour;
    return n;
}

std::vector<uint64_t> contents(const QiImage& im) {
    return std::vector<uint64_t>(im.pixels, im.pixels + static_cast<size_t>(im.width) * im.height);
}

double curve(int i) {
    return 511.0 - 511.0 * std::sin(4.0 * kPi * i / 1024.0);
}

// Pixels set by drawLine, recorded through a forwarding image.
std::set<std::pair<int, int>> linePixels(int x0, int y0, int x1, int y1) {
    ForwardingImage im(1, 1, 10);
    im.drawLine(1, x0, y0, x1, y1);
    return im.touched;
}

} // namespace

TEST(QiImage, SetPixelOutsideStoresNothing) {
    QiImage im(8, 4, 10);
    im.clear(kCanary);
    EXPECT_FALSE(im.setPixel(-1, 0, uint64_t(1)));
    EXPECT_FALSE(im.setPixel(8, 0, uint64_t(1)));
    EXPECT_FALSE(im.setPixel(0, 4, uint64_t(1)));
    EXPECT_TRUE(im.setPixel(7, 3, uint64_t(1)));
    EXPECT_EQ(count(im, kCanary), 8u * 4u - 1u);
}

TEST(QiImage, DirectStoresOnlyForTypesThatKeepSetPixel) {
    QiImage plain(2, 2, 8);
    ForwardingImage overriding(2, 2, 8);
    VouchedImage vouched(2, 2, 8);
    DerivedFromVouched derived(2, 2, 8);
    EXPECT_TRUE(plain.directStores());
    EXPECT_FALSE(overriding.directStores());
    EXPECT_TRUE(vouched.directStores());
    EXPECT_FALSE(derived.directStores());
}

TEST(QiImage, FillRectangles) {
    QiImage im(40, 30, 10);
    im.clear(0);
    im.blt(5, 30, 20, -1, -1); // to the bottom-right corner
    EXPECT_EQ(count(im, 5), 10u * 10u);
    EXPECT_EQ(at(im, 30, 20), 5u);
    EXPECT_EQ(at(im, 39, 29), 5u);
    EXPECT_EQ(at(im, 29, 29), 0u);

    im.clear(0);
    im.blt(5, 3, 3, 0, 10);
    im.blt(5, 3, 3, 10, -2);
    EXPECT_EQ(count(im, 0), 40u * 30u);

    // Partly and far outside: only the inside part, no overflow of x + w.
    im.blt(6, -5, -5, 10, 10);
    EXPECT_EQ(count(im, 6), 25u);
    im.blt(7, 35, 0, std::numeric_limits<int>::max(), 1);
    EXPECT_EQ(count(im, 7), 5u);

    im.clear(0);
    im.hLine(1, 2, 5, 0); // x0 <= x < x1
    im.vLine(2, 0, 1, 4); // y0 <= y < y1
    EXPECT_EQ(count(im, 1), 3u);
    EXPECT_EQ(count(im, 2), 3u);
    EXPECT_EQ(at(im, 4, 0), 1u);
    EXPECT_EQ(at(im, 0, 3), 2u);
}

TEST(QiImage, CopyClipsToTheDestination) {
    QiImage dst(1920, 1080, 10);
    QiImage src(100, 50, 10);
    for (int y = 0; y < 50; ++y)
        for (int x = 0; x < 100; ++x)
            src.setPixel(x, y, static_cast<uint64_t>(y * 1000 + x + 1));
    dst.clear(0);
    dst.blt(&src, 1900, 1060, 0, 0, -1, -1);
    EXPECT_EQ(count(dst, 0), 1920u * 1080u - 20u * 20u);
    EXPECT_EQ(at(dst, 1900, 1060), 1u);
    EXPECT_EQ(at(dst, 1919, 1079), 19u * 1000 + 19 + 1);
}

TEST(QiImage, CopyClipsToTheSource) {
    // The pixel arrays are exactly as large as the images, so AddressSanitizer sees any read or
    // write outside them.
    QiImage src(10, 8, 10);
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 10; ++x)
            src.setPixel(x, y, static_cast<uint64_t>(y * 100 + x + 1));
    // Destination (x + j, y + i) holds source (sx + j, sy + i) where both exist and j < sw,
    // i < sh; everything else keeps 0.
    auto expectMapping = [&](const QiImage& dst, int x, int y, int sx, int sy, int sw, int sh) {
        for (int j = 0; j < dst.height; ++j)
            for (int i = 0; i < dst.width; ++i) {
                int u = i - x + sx, v = j - y + sy;
                bool inside = u >= 0 && v >= 0 && u < 10 && v < 8 && u >= sx && v >= sy &&
                              u < sx + sw && v < sy + sh;
                EXPECT_EQ(at(dst, i, j), inside ? src.pixels[v * 10 + u] : 0u)
                    << "origin " << sx << "," << sy << " at " << i << "," << j;
            }
    };
    const int origins[][2] = {{-3, -2}, {4, 5}, {9, 7}, {-9, 0}, {0, -7}, {12, 0}};
    for (auto& o : origins) {
        QiImage dst(20, 16, 10);
        dst.clear(0);
        dst.blt(&src, 2, 3, o[0], o[1], -1, -1);
        expectMapping(dst, 2, 3, o[0], o[1], 10, 8);

        ForwardingImage slow(20, 16, 10);
        slow.clear(0);
        slow.blt(&src, 2, 3, o[0], o[1], -1, -1);
        EXPECT_EQ(contents(slow), contents(dst));
    }
    // Offsets as far out as clients send them, and sizes past the source.
    QiImage dst(20, 16, 10);
    dst.clear(0);
    dst.blt(&src, 0, 0, -65535, -65535, -1, -1);
    dst.blt(&src, 0, 0, -65535, 0, 70000, 8);
    dst.blt(&src, -65535, -65535, 0, 0, 70000, 70000);
    EXPECT_EQ(count(dst, 0), 20u * 16u);
    dst.blt(&src, 0, 0, -5, -5, 70000, 70000);
    expectMapping(dst, 0, 0, -5, -5, 70000, 70000);
    EXPECT_FALSE(dst.blt(nullptr, 0, 0, 0, 0, -1, -1));
}

TEST(QiImage, GridBarsTileTheImage) {
    QiImage im(1920, 1080, 10);
    int px, py, pw, ph;
    im.boxGeomToXywh(0, 0, 1, 1, 3, 1, px, py, pw, ph);
    EXPECT_EQ(px, 0);
    EXPECT_EQ(pw, 640);
    EXPECT_EQ(ph, 1080);
    im.boxGeomToXywh(2, 0, 1, 1, 3, 1, px, py, pw, ph);
    EXPECT_EQ(px, 1280);
    EXPECT_EQ(pw, 640);

    im.clear(0);
    im.drawBar(9, 0, 0, 1, 1, 3, 1);
    EXPECT_EQ(at(im, 639, 500), 9u);
    EXPECT_EQ(at(im, 640, 500), 0u);

    // Uneven divisions: every pixel is set exactly once.
    ForwardingImage odd(101, 37, 8);
    for (int gy = 0; gy < 7; ++gy)
        for (int gx = 0; gx < 13; ++gx)
            odd.drawBar(1, gx, gy, 1, 1, 13, 7);
    EXPECT_EQ(odd.stores, 101 * 37);
    EXPECT_EQ(odd.touched.size(), 101u * 37u);

    // A zero divisor is refused rather than dividing by it; an empty box stays empty.
    EXPECT_FALSE(im.drawBar(5, 0, 0, 1, 1, 0, 1));
    EXPECT_FALSE(im.drawHollowBox(5, 0, 0, 1, 1, 1, 1, 1, 0));
    im.clear(0);
    im.drawBar(5, 3, 3, -1, 1, 1920, 1080);
    EXPECT_EQ(count(im, 5), 0u);
}

TEST(QiImage, HollowBoxDrawsTheOutline) {
    QiImage im(20, 20, 8);
    im.clear(0);
    im.drawHollowBox(3, 1, 1, 18, 18, 2, 1, 20, 20);
    EXPECT_EQ(at(im, 1, 1), 3u);
    EXPECT_EQ(at(im, 18, 18), 3u);
    EXPECT_EQ(at(im, 2, 10), 3u);  // left side, 2 wide
    EXPECT_EQ(at(im, 17, 10), 3u); // right side
    EXPECT_EQ(at(im, 3, 10), 0u);
    EXPECT_EQ(at(im, 10, 2), 0u);
    EXPECT_EQ(at(im, 0, 0), 0u);
    EXPECT_EQ(count(im, 3), 18u * 18u - 14u * 16u);
}

TEST(QiImage, LinesOfZeroAndOneLength) {
    EXPECT_EQ(linePixels(0, 0, 0, 0).size(), 1u);
    EXPECT_EQ(linePixels(0, 0, 1, 0), (std::set<std::pair<int, int>>{{0, 0}, {1, 0}}));
}

TEST(QiImage, LinesAreTheNearestPixels) {
    // Every line from a centre to the points of a square around it: one pixel per step of the
    // major axis, each within half a pixel of the exact line, both end points included.
    for (int ex = -13; ex <= 13; ++ex)
        for (int ey = -13; ey <= 13; ++ey) {
            auto px = linePixels(20, 20, 20 + ex, 20 + ey);
            const int dx = std::abs(ex), dy = std::abs(ey);
            const bool xMajor = dx > dy;
            const int d = std::max(dx, dy);
            ASSERT_EQ(px.size(), static_cast<size_t>(d + 1)) << ex << "," << ey;
            EXPECT_TRUE(px.count({20, 20}) && px.count({20 + ex, 20 + ey}));
            for (auto& p : px) {
                double major = xMajor ? p.first - 20 : p.second - 20;
                double minor = xMajor ? p.second - 20 : p.first - 20;
                double exact = d ? major * (xMajor ? ey : ex) / (xMajor ? ex : ey) : 0.0;
                EXPECT_LE(std::fabs(minor - exact), 0.5) << ex << "," << ey;
            }
        }
}

TEST(QiImage, LineAndReverseAgreeUnlessTheLineRunsMidwayBetweenPixels) {
    for (int ex = -13; ex <= 13; ++ex)
        for (int ey = -13; ey <= 13; ++ey) {
            const int d = std::max(std::abs(ex), std::abs(ey));
            const int m = std::min(std::abs(ex), std::abs(ey));
            // The exact line passes midway between two pixels at some step when 2*m*k = d mod 2d.
            bool tie = false;
            for (int k = 1; k < d; ++k)
                tie |= (2 * m * k) % (2 * d) == d;
            if (tie) continue; // either pixel is as near; the walk direction picks one
            EXPECT_EQ(linePixels(5, 7, 5 + ex, 7 + ey), linePixels(5 + ex, 7 + ey, 5, 7))
                << ex << "," << ey;
        }
}

TEST(QiImage, LineShapes) {
    QiImage im(30, 30, 8);
    im.clear(0);
    im.drawLineBox(1, 2, 3, 10, 5);
    EXPECT_EQ(count(im, 1), 2u * 11u + 2u * 4u);
    EXPECT_EQ(at(im, 12, 8), 1u);
    EXPECT_EQ(at(im, 3, 4), 0u);

    im.clear(0);
    im.drawLineGrid(1, 0, 0, 20, 20, 4, 2, 1, 0);
    // Vertical lines at 1, 6, 11, 16 (21 pixels each) and horizontal lines at 0 and 10.
    EXPECT_EQ(at(im, 6, 15), 1u);
    EXPECT_EQ(at(im, 15, 10), 1u);
    EXPECT_EQ(at(im, 2, 15), 0u);
    EXPECT_EQ(count(im, 1), 4u * 21u + 2u * 21u - 8u);

    im.clear(0);
    im.drawLineGrid(1, 0, 0, 20, 20, 4, 0, 0, 0);
    im.drawLineGrid(1, 0, 0, 20, 20, 0, 4, 0, 0);
    EXPECT_EQ(count(im, 1), 0u);

    // Lines partly or wholly outside the image.
    ForwardingImage big(10, 10, 8);
    big.drawLine(1, -50, -40, 60, 45);
    EXPECT_GT(count(big, 1), 0u);
}

TEST(QiImage, Circles) {
    ForwardingImage im(20, 20, 8);
    im.drawCircle(1, 10, 10, 0);
    EXPECT_EQ(im.touched, (std::set<std::pair<int, int>>{{10, 10}}));

    im.touched.clear();
    im.drawCircle(1, 10, 10, 1);
    EXPECT_EQ(im.touched, (std::set<std::pair<int, int>>{{9, 10}, {11, 10}, {10, 9}, {10, 11}}));

    // A larger circle: eight-fold symmetric, every point close to the radius.
    im.touched.clear();
    im.drawCircle(1, 0, 0, 40);
    for (auto& p : im.touched) {
        EXPECT_NEAR(std::hypot(p.first, p.second), 40.0, 0.75);
        EXPECT_TRUE(im.touched.count({p.second, -p.first}));
        EXPECT_TRUE(im.touched.count({-p.first, p.second}));
    }
    EXPECT_TRUE(im.touched.count({40, 0}) && im.touched.count({0, -40}));
}

TEST(QiImage, ColourInterpolation) {
    QiImage ten(1, 1, 10);
    const uint64_t black = 0, white = ten.makeGrey(1023);
    int c0, c1, c2;
    ten.getRGB(ten.interpolateColor10(black, white, 0.5), c0, c1, c2);
    EXPECT_EQ(c0, 508);
    EXPECT_EQ(c1, 508);
    EXPECT_EQ(c2, 508);
    ten.getRGB(ten.interpolateColor(black, white, 0.5), c0, c1, c2);
    EXPECT_EQ(c0, 511);

    // Each component on its own, either direction.
    const uint64_t a = 100u << 20 | 900u << 10 | 0u, b = 300u << 20 | 100u << 10 | 1023u;
    ten.getRGB(ten.interpolateColor(a, b, 0.25), c0, c1, c2);
    EXPECT_EQ(c0, 150);
    EXPECT_EQ(c1, 700);
    EXPECT_EQ(c2, 255);
    EXPECT_EQ(ten.interpolateColor(a, b, 0.0), a);
    EXPECT_EQ(ten.interpolateColor(a, b, 1.0), b);

    // Fractions out of range are held at the ends, NaN counts as the start: never past either
    // colour, never a wrapped component.
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(ten.interpolateColor(a, b, nan), a);
    EXPECT_EQ(ten.interpolateColor(a, b, -3.0), a);
    EXPECT_EQ(ten.interpolateColor(a, b, 1e300), b);
    EXPECT_EQ(ten.interpolateColor10(a, b, std::numeric_limits<double>::infinity()),
              ten.interpolateColor10(a, b, 1.0));
    EXPECT_EQ(ten.interpolateGrey(64, 940, nan), ten.makeGrey(64));
    EXPECT_EQ(ten.interpolateGrey(64, 940, 0.5), ten.makeGrey(502));
    EXPECT_EQ(ten.interpolateGrey(64, 940, 7.0), ten.makeGrey(940));

    QiImage eight(1, 1, 8);
    EXPECT_EQ(eight.interpolateColor10(0, eight.makeGrey(255), 0.5), eight.makeGrey(127));
}

TEST(QiImage, Gamma) {
    QiImage ten(1, 1, 10);
    for (uint64_t v = 0; v < 1024; ++v) {
        uint64_t c = ten.makeGrey(v);
        ten.gammify(c, 1.0);
        ASSERT_EQ(c, ten.makeGrey(v));
    }
    uint64_t c = 512u << 20 | 0u << 10 | 1023u;
    ten.gammify(c, 2.2);
    int c0, c1, c2;
    ten.getRGB(c, c0, c1, c2);
    EXPECT_EQ(c0, static_cast<int>(std::pow(512 / 1023.0, 1 / 2.2) * 1023 + 0.5));
    EXPECT_EQ(c1, 0);
    EXPECT_EQ(c2, 1023);

    // Gammas without meaning give components within range (NaN leaves them as they were).
    const double odd[] = {std::numeric_limits<double>::quiet_NaN(), 0.0, -0.0, -2.0,
                          std::numeric_limits<double>::infinity()};
    for (double g : odd) {
        uint64_t v = 300u << 20 | 0u << 10 | 1023u;
        ten.gammify(v, g);
        EXPECT_EQ(v >> 30, 0u) << g;
    }
    uint64_t v = 300u << 20 | 5u;
    ten.gammify(v, std::numeric_limits<double>::quiet_NaN());
    EXPECT_EQ(v, 300u << 20 | 5u);
}

TEST(QiImage, GradientRamps) {
    QiImage im(64, 8, 10);
    im.clear(kCanary);
    const int white = static_cast<int>(im.makeGrey(1023));
    im.renderGradient(0, 2, -1, 4, 0, white, true, 1.0);
    EXPECT_EQ(at(im, 0, 2), 0u);
    EXPECT_EQ(at(im, 32, 5), im.makeGrey(511));
    EXPECT_EQ(at(im, 63, 3), im.makeGrey(1007));
    EXPECT_EQ(at(im, 10, 1), kCanary);
    EXPECT_EQ(at(im, 10, 6), kCanary);
    for (int x = 1; x < 64; ++x)
        EXPECT_GT(at(im, x, 4), at(im, x - 1, 4));

    im.renderGradient(0, 0, 64, -1, white, 0, false, 1.0);
    EXPECT_EQ(at(im, 5, 0), im.makeGrey(1023));
    EXPECT_EQ(at(im, 5, 4), im.makeGrey(511));
}

TEST(QiImage, SineTableFollowsItsRules) {
    const uint16_t* tab = QiImage::sineTable10();
    const uint16_t first[16] = {511, 508, 505, 502, 498, 495, 492, 489,
                                461, 458, 455, 451, 448, 445, 442, 439};
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(tab[i], first[i]) << i;
    int lo = 1023, hi = -1;
    for (int i = 0; i < 1024; ++i) {
        lo = std::min<int>(lo, tab[i]);
        hi = std::max<int>(hi, tab[i]);
        EXPECT_LE(std::fabs(tab[i] - curve(i)), 22.0) << i;
        if (i % 8 == 0) {
            EXPECT_LE(std::fabs(tab[i] - curve(i)), 1.0) << "run start " << i;
        } else {
            // Within a run: small steps, one way.
            int step = tab[i] - tab[i - 1];
            EXPECT_LE(std::abs(step), 4) << i;
            if (i % 8 > 1) {
                EXPECT_GE(step * (tab[i - 1] - tab[i - 2]), 0) << i;
            }
        }
    }
    EXPECT_EQ(lo, 0);
    EXPECT_EQ(hi, 1022);
    EXPECT_LE(tab[128], 1);
    EXPECT_GE(tab[384], 1021);
    EXPECT_EQ(QiImage::sineTable10(), tab);
}

TEST(QiImage, SineSweep) {
    QiImage im(50, 10, 10);
    im.clear(kCanary);
    const uint64_t c0 = 0, c1 = im.makeGrey(1023);
    im.renderSine(0, 2, 50, 5, true, 3, c0, c1);
    const uint16_t* tab = QiImage::sineTable10();
    for (int x = 0; x < 50; ++x) {
        double t = x / 50.0;
        int index = static_cast<int>(t * t * 1023 * 3 + 0.5) & 1023;
        EXPECT_EQ(at(im, x, 4), im.interpolateColor(c0, c1, tab[index] / 1023.0)) << x;
        EXPECT_EQ(at(im, x, 2), at(im, x, 6));
    }
    EXPECT_EQ(at(im, 20, 1), kCanary);
    EXPECT_EQ(at(im, 20, 7), kCanary);
    // A large frequency factor wraps the phase instead of overflowing it.
    im.renderSine(0, 0, 10, 50, false, 4000000000u, c0, c1);
}

TEST(QiImage, ZonePlateCentredMirrorsAQuadrant) {
    QiImage im(41, 31, 10);
    im.clear(kCanary);
    const uint64_t c0 = 0, c1 = im.makeGrey(1023);
    im.renderZonePlate(0, 0, 41, 31, 20, 15, 300, c0, c1);
    for (int x = 0; x < 41; ++x)
        EXPECT_EQ(at(im, x, 0), kCanary);
    for (int y = 0; y < 31; ++y)
        EXPECT_EQ(at(im, 0, y), kCanary);
    EXPECT_EQ(at(im, 40, 5), kCanary); // column 2*cx lies past the mirrored quadrant
    const uint16_t* tab = QiImage::sineTable10();
    for (int ey = 0; ey < 15; ++ey)
        for (int ex = 0; ex < 20; ++ex) {
            uint32_t p = static_cast<uint32_t>((ex + 1) * (ex + 1) + (ey + 1) * (ey + 1)) * 300u;
            uint64_t c = im.interpolateColor(
                c0, c1, tab[static_cast<int>(p / 1023.0 + 0.5) & 1023] / 1023.0);
            ASSERT_EQ(at(im, 20 + ex, 15 + ey), c);
            ASSERT_EQ(at(im, 20 - ex, 15 + ey), c);
            ASSERT_EQ(at(im, 20 + ex, 15 - ey), c);
            ASSERT_EQ(at(im, 20 - ex, 15 - ey), c);
        }
}

TEST(QiImage, ZonePlateIndexInIntegersMatchesTheReference) {
    // Every phase next to a rounding step (phase / 1023 = n + 1/2) and across the 32-bit range.
    std::vector<uint32_t> phases = {0u, 1u, 510u, 511u, 512u, 1022u, 1023u, 0xFFFFFFFFu};
    for (uint64_t n = 0; n < (uint64_t(1) << 22); n += 997)
        for (int64_t d = -2; d <= 2; ++d) {
            const int64_t p = static_cast<int64_t>((2 * n + 1) * 1023 / 2) + d;
            if (p >= 0 && p <= 0xFFFFFFFFll) phases.push_back(static_cast<uint32_t>(p));
        }
    std::mt19937 rng(17);
    for (int i = 0; i < 200000; ++i)
        phases.push_back(static_cast<uint32_t>(rng()));
    for (uint32_t p : phases)
        ASSERT_EQ(qidraw::zoneIndex(p), qidraw::zoneIndex_Scalar(p)) << p;
    // The plate drawn in place with mirrored rows against every pixel through setPixel, at every
    // size from 1 to 130 (odd sizes leave a column or row past the mirrored quadrant).
    for (int w = 1; w <= 130; w += 3)
        for (int h : {1, 2, 5, 64, 129}) {
            QiImage fast(w, h, 10);
            ForwardingImage slow(w, h, 10);
            for (int cx : {w / 2, w / 3}) {
                fast.clear(kCanary);
                slow.clear(kCanary);
                fast.renderZonePlate(0, 0, w, h, cx, h / 2, 4093, 0, 1023);
                slow.renderZonePlate(0, 0, w, h, cx, h / 2, 4093, 0, 1023);
                ASSERT_EQ(contents(fast), contents(slow)) << w << "x" << h << " " << cx;
            }
        }
}

TEST(QiImage, ZonePlateOffCentre) {
    const uint16_t* tab = QiImage::sineTable10();
    auto expected = [&](const QiImage& im, int dx, int dy, unsigned k) {
        uint32_t p = static_cast<uint32_t>(int64_t(dx) * dx + int64_t(dy) * dy) * k;
        return im.interpolateColor(0, im.makeGrey(1023),
                                   tab[static_cast<int>(p / 1023.0 + 0.5) & 1023] / 1023.0);
    };
    // Centre on the middle row only: rows mirrored, the plate's centre at column cx.
    QiImage rows(30, 20, 10);
    rows.clear(kCanary);
    rows.renderZonePlate(0, 0, 30, 20, 7, 10, 77, 0, rows.makeGrey(1023));
    for (int ey = 0; ey < 10; ++ey)
        for (int x = 0; x < 30; ++x) {
            ASSERT_EQ(at(rows, x, 10 + ey), expected(rows, x - 7, ey + 1, 77));
            ASSERT_EQ(at(rows, x, 10 - ey), at(rows, x, 10 + ey));
        }
    for (int x = 0; x < 30; ++x)
        EXPECT_EQ(at(rows, x, 0), kCanary);

    // Anywhere else: every pixel on its own, including a centre far outside; the
    // plate stands at (cx, cy).
    QiImage any(30, 20, 10);
    any.renderZonePlate(0, 0, 30, 20, -100000, 3, 5, 0, any.makeGrey(1023));
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 30; ++x)
            ASSERT_EQ(at(any, x, y), expected(any, x + 100000, y - 3, 5));
}

TEST(QiImage, SectorStarTwoSectorsSplitAtTheCentreRow) {
    QiImage im(40, 30, 10);
    im.clear(kCanary);
    uint64_t colours[2] = {1, 2};
    im.renderSectorStar(0, 0, 40, 30, 20, 15, false, 2, 2, colours);
    for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 40; ++x)
            if (y != 15) {
                ASSERT_EQ(at(im, x, y), y < 15 ? 1u : 2u) << x << "," << y;
            }
    EXPECT_EQ(at(im, 39, 15), 1u); // right of the centre: just below 0 degrees
    EXPECT_EQ(at(im, 0, 15), 2u);
}

TEST(QiImage, SectorStarWithManySectors) {
    // Up to 360 sectors: every pixel takes the colour of its sector, none outside the list (the
    // list is exactly nColours long, so AddressSanitizer sees any read past it).
    const unsigned counts[] = {91, 92, 180, 360};
    for (unsigned n : counts) {
        QiImage im(64, 48, 10);
        std::vector<uint64_t> colours(n);
        for (unsigned i = 0; i < n; ++i)
            colours[i] = i + 1;
        im.renderSectorStar(0, 0, 64, 48, 32, 24, false, n, n, colours.data());
        int checked = 0;
        for (int y = 0; y < 48; ++y)
            for (int x = 0; x < 64; ++x) {
                uint64_t v = at(im, x, y);
                ASSERT_GE(v, 1u);
                ASSERT_LE(v, n);
                double deg = std::atan2(y - 24.0, x - 32.0) * 180.0 / kPi + 180.0;
                double s = deg * n / 360.0;
                if (std::fabs(s - std::round(s)) < 0.01 || (x == 32 && y == 24)) continue;
                EXPECT_EQ(v, static_cast<uint64_t>(std::floor(s)) % n + 1) << x << "," << y;
                ++checked;
            }
        EXPECT_GT(checked, 64 * 48 * 9 / 10);
    }
    // Fewer colours than sectors repeat them; the sine variant reads inside the table.
    QiImage im(64, 48, 10);
    uint64_t three[3] = {1, 2, 3};
    im.renderSectorStar(0, 0, 64, 48, 32, 24, false, 360, 3, three);
    im.renderSectorStar(0, 0, 64, 48, 32, 24, true, 360, 2, three);
    EXPECT_FALSE(im.renderSectorStar(0, 0, 64, 48, 32, 24, false, 4, 0, three));
}

TEST(QiImage, SineSectorStar) {
    QiImage im(64, 64, 10);
    uint64_t colours[2] = {0, im.makeGrey(1023)};
    im.renderSectorStar(0, 0, 64, 64, 32, 32, true, 8, 2, colours);
    const uint16_t* tab = QiImage::sineTable10();
    for (int y = 0; y < 64; y += 5)
        for (int x = 0; x < 64; x += 3) {
            FxLong a = FxAtan2(y - 32, x - 32) + (180 << 16);
            int index = static_cast<int>(((a / 360) >> 6) * 8 & 1023);
            EXPECT_EQ(at(im, x, y),
                      im.interpolateColor(colours[0], colours[1], tab[index] / 1023.0));
        }
}

TEST(QiImage, SectorStarFastRowsMatchTheReference) {
    // Random rows of 1 .. 130 pixels about random centres (on the row, near it and as far as the
    // fast rows reach), every style, few and many sectors: the same colours as FxAtan2 per pixel.
    uint64_t colours[8] = {11, 22, 33, 44, 55, 66, 77, 88};
    uint64_t sineLut[1024];
    for (int i = 0; i < 1024; ++i)
        sineLut[i] = 1000 + static_cast<uint64_t>(i);
    std::mt19937 rng(2024);
    std::uniform_int_distribution<int> offset(-8000, 8000), small(-40, 40), pick(0, 6);
    const unsigned counts[] = {1, 2, 3, 36, 91, 360, 4096};
    for (int width = 1; width <= 130; ++width)
        for (int trial = 0; trial < 6; ++trial) {
            qidraw::SectorStar s;
            s.sine = trial % 3 == 2;
            s.n = s.sine ? static_cast<unsigned>(pick(rng) * 60) : counts[pick(rng)];
            s.nColours = trial % 3 == 1 ? 8 : 2;
            s.colours = colours;
            s.sineLut = sineLut;
            const bool near = trial < 3;
            s.cx = near ? small(rng) + width / 2 : offset(rng);
            s.cy = near ? small(rng) : offset(rng);
            const int64_t x0 = near ? 0 : std::max<int64_t>(s.cx - 8192, offset(rng));
            qidraw::SectorStarFast plan(s);
            qidraw::SectorStarScratch scratch;
            for (int64_t y = s.cy - 3; y <= s.cy + 3; ++y) {
                const int64_t row = near ? y : y + offset(rng) / 2;
                if (!qidraw::sectorStarFastFits(s, x0, row, x0 + width, row + 1)) continue;
                std::vector<uint64_t> fast(static_cast<size_t>(width) + 1, kCanary),
                    ref(static_cast<size_t>(width) + 1, kCanary);
                qidraw::sectorStarRow_Fast(s, plan, row, x0, width, fast.data(), scratch);
                qidraw::sectorStarRow_Scalar(s, row, x0, width, ref.data());
                ASSERT_EQ(ref, fast) << "width " << width << " centre " << s.cx << "," << s.cy
                                     << " row " << row << " x0 " << x0 << " n " << s.n;
            }
        }

    // One UHD frame, drawn in bands on the thread pool, against the reference row by row: the
    // default star in full, the sine star of 360 sectors on every 16th row.
    QiImage uhd(3840, 2160, 10);
    for (bool sine : {false, true}) {
        qidraw::SectorStar s;
        s.cx = 1920;
        s.cy = 1080;
        s.sine = sine;
        s.n = sine ? 360 : 36;
        s.nColours = 2;
        s.colours = colours;
        uint64_t lut[1024];
        for (int i = 0; i < 1024; ++i)
            lut[i] =
                uhd.interpolateColor(colours[0], colours[1], QiImage::sineTable10()[i] / 1023.0);
        s.sineLut = lut;
        uhd.renderSectorStar(0, 0, 3840, 2160, 1920, 1080, sine, s.n, 2, colours);
        std::vector<uint64_t> ref(3840);
        for (int y = 0; y < 2160; y += sine ? 16 : 1) {
            qidraw::sectorStarRow_Scalar(s, y, 0, 3840, ref.data());
            ASSERT_EQ(0, std::memcmp(ref.data(), uhd.pixels + static_cast<size_t>(y) * 3840,
                                     3840 * sizeof(uint64_t)))
                << "row " << y << " sine " << sine;
        }
    }
}

TEST(QiImage, DirectAndVirtualStoresDrawTheSame) {
    // Every primitive on a plain image (direct stores, large ones in bands on the thread pool)
    // and on one that overrides setPixel (virtual stores, one thread): the same pixels, and for
    // the overriding one nothing bypasses setPixel. A small image and one large enough for bands.
    struct Size {
        int w, h;
    };
    for (const Size size : {Size{96, 72}, Size{700, 400}}) {
        const int W = size.w, H = size.h;
        auto scene = [&](QiImage& im) {
            im.clear(kCanary);
            im.blt(1, 10, 10, 50, 30);
            im.blt(2, -20, -5, -1, 12);
            im.drawBar(3, 1, 1, 2, 3, 7, 9);
            im.drawHollowBox(4, 0, 0, 20, 20, 1, 1, 20, 20);
            im.hLine(5, -3, 90, 40);
            im.vLine(6, 70, -2, 200);
            im.drawLine(7, -10, 3, 120, 77);
            im.drawLineBox(8, 5, 5, 60, 40);
            im.drawLineGrid(9, 2, 2, 80, 50, 5, 4, 1, 1);
            im.drawCircle(10, 40, 30, 25);
            im.renderGradient(50, 0, 20, -1, 0, 1023, true, 2.2);
            im.renderSine(0, 60, 96, 10, true, 5, 0, 1023);
            im.renderSine(3, H / 2, W, H, true, 7, 0, 1023);
            im.renderSine(W / 3, 2, W, H / 3, false, 9, 0, 1023);
            im.blt(11, W / 4, H / 5, W, H / 2);
            qidraw::repeatRow(&im, H / 3, H / 2, H + 5); // down to the bottom and past it
            qidraw::repeatRow(&im, 1, -3, 4);            // over the source row itself
            QiImage src(17, 13, 10);
            src.clear(0x55);
            im.blt(&src, 80, 60, -4, -4, -1, -1);
        };
        QiImage fast(W, H, 10);
        ForwardingImage slow(W, H, 10);
        scene(fast);
        scene(slow);
        EXPECT_EQ(contents(fast), contents(slow));
        for (int y = 0; y < H; ++y)
            for (int x = 0; x < W; ++x)
                if (at(slow, x, y) != kCanary) {
                    ASSERT_TRUE(slow.touched.count({x, y})) << x << "," << y;
                }

        const int plates[][2] = {{W / 2, H / 2}, {30, H / 2}, {30, 20}};
        for (auto& c : plates) {
            fast.clear(kCanary);
            slow.clear(kCanary);
            fast.renderZonePlate(0, 0, W, H, c[0], c[1], 91, 0, 1023);
            slow.renderZonePlate(0, 0, W, H, c[0], c[1], 91, 0, 1023);
            EXPECT_EQ(contents(fast), contents(slow)) << c[0] << "," << c[1];
        }
        uint64_t colours[4] = {1, 2, 3, 4};
        fast.renderSectorStar(3, 4, W - 6, H - 12, W / 2, H / 2, false, 24, 4, colours);
        slow.renderSectorStar(3, 4, W - 6, H - 12, W / 2, H / 2, false, 24, 4, colours);
        EXPECT_EQ(contents(fast), contents(slow));

        VouchedImage vouched(W, H, 10);
        scene(vouched);
        scene(fast);
        EXPECT_EQ(contents(vouched), contents(fast));
    }
}
