// make-test-card: draws the proofing test card "Lumevra-Test-Card" of the data
// folder's "ImageFiles" at build time, one ".mti" file per size.
//
//     make-test-card <font file> <output folder>
//
// The card is laid out on a 16:9 grid of 16 columns by 9 rows (units u = W/16
// and v = H/9; the horizontal grid lines stand half a row off, so that one
// passes through the centre). Standard-definition sizes are 16:9 anamorphic,
// so circles are corrected for the pixel aspect ratio and the grid's cells
// look square on every size.
//
// Levels are 10-bit RGB code values in the video range, black 64 and white
// 940: a signal fraction p becomes 64 + round(876 p) (ITU-R BT.709 quantisation
// of R'G'B'). An 8-bit card shows the top eight bits of each code, as the
// system converts any 10-bit picture: 75 % is 721 (8-bit 180), 100 % is 940
// (235), 0 % is 64 (16).
//
// Rows, top to bottom (cell rows 0..7 span y = (r + 0.5) v .. (r + 1.5) v):
//   0  the generator's name and the card's size, white on black
//   1  75 % bars: white, yellow, cyan, green, magenta, red, blue
//   2  100 % bars, same order
//   3-4  left: vertical-resolution wedge (horizontal lines converging to the
//        right); right: horizontal-resolution wedge (vertical lines converging
//        downwards); between them one- and two-pixel line groups and the centre
//   5  eleven grey steps, 0 % to 100 %
//   6  a ramp from 0 % to 100 %, every code on cards at least 877 pixels across it
//   7  four skin tones, dark to fair, and four pastels
// Under the rows the crosshatch; over them a circle touching the lines at
// 0.5 v and 8.5 v, a small circle at the centre, the picture's edge in white
// and the action-safe (93 %) and title-safe (90 %) rectangles; the name's box
// comes last.
#include "QiFont.h"
#include "QiImage.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/stat.h>

namespace {

// Sizes drawn; each file is named "Lumevra-Test-Card-<height>.mti", which the
// folder scanner turns into one alias with one entry per height.
struct Size {
    int width, height;
};
constexpr Size kSizes[] = {{720, 486}, {720, 576}, {1280, 720}, {1920, 1080}, {3840, 2160}};

constexpr int kBlack = 64, kRange = 876;

int level(double p) {
    return kBlack + static_cast<int>(std::lround(kRange * p));
}

uint64_t rgb(int r, int g, int b) {
    return uint64_t(r) << 20 | uint64_t(g) << 10 | uint64_t(b);
}
uint64_t signal(double r, double g, double b) {
    return rgb(level(r), level(g), level(b));
}
uint64_t grey(double p) {
    return signal(p, p, p);
}
// An 8-bit full-range sRGB colour, carried over as signal fractions.
uint64_t srgb8(int r, int g, int b) {
    return signal(r / 255.0, g / 255.0, b / 255.0);
}

// The bars' colours at `p`: white, yellow, cyan, green, magenta, red, blue.
void bars(double p, uint64_t out[7]) {
    const double rgbOn[7][3] = {{1, 1, 1}, {1, 1, 0}, {0, 1, 1}, {0, 1, 0},
                                {1, 0, 1}, {1, 0, 0}, {0, 0, 1}};
    for (int i = 0; i < 7; ++i)
        out[i] = signal(p * rgbOn[i][0], p * rgbOn[i][1], p * rgbOn[i][2]);
}

// Skin tones dark to fair, then pastels pink, yellow, green, blue.
const int kSkin[4][3] = {{115, 82, 68}, {160, 115, 90}, {194, 150, 130}, {225, 190, 165}};
const int kPastel[4][3] = {{250, 200, 205}, {250, 240, 190}, {200, 240, 200}, {190, 210, 250}};

class Card {
public:
    Card(QiImage& image)
        : im(image), W(image.getWidth()), H(image.getHeight()), u(W / 16.0), v(H / 9.0),
          par(16.0 / 9.0 * H / W), t(std::max(1, static_cast<int>(std::lround(H / 540.0)))) {}

    // Pixel column and row of a grid position.
    int px(double x) const { return static_cast<int>(std::lround(x * u)); }
    int py(double y) const { return static_cast<int>(std::lround(y * v)); }

    void fill(int x0, int y0, int x1, int y1, uint64_t c) {
        x0 = std::max(x0, 0), y0 = std::max(y0, 0), x1 = std::min(x1, W), y1 = std::min(y1, H);
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x)
                at(x, y) = c;
    }
    void fillUnits(double x0, double y0, double x1, double y1, uint64_t c) {
        fill(px(x0), py(y0), px(x1), py(y1), c);
    }
    // `n` patches side by side across (x0, y0) .. (x1, y1).
    void patches(double x0, double y0, double x1, double y1, int n, const uint64_t* c) {
        for (int i = 0; i < n; ++i)
            fill(px(x0 + (x1 - x0) * i / n), py(y0), px(x0 + (x1 - x0) * (i + 1) / n), py(y1),
                 c[i]);
    }
    // A rectangle outline of thickness `th` whose outer edge is the box.
    void outline(int x0, int y0, int x1, int y1, int th, uint64_t c) {
        fill(x0, y0, x1, y0 + th, c);
        fill(x0, y1 - th, x1, y1, c);
        fill(x0, y0, x0 + th, y1, c);
        fill(x1 - th, y0, x1, y1, c);
    }
    // A ring about the picture's centre of radius `r` (in rows' pixels) and
    // thickness t, round on a 16:9 display.
    void ring(double r, uint64_t c) {
        const double cx = W / 2.0, cy = H / 2.0, half = t / 2.0;
        const int y0 = static_cast<int>(cy - r - t), y1 = static_cast<int>(cy + r + t) + 1;
        const int x0 = static_cast<int>(cx - (r + t) / par),
                  x1 = static_cast<int>(cx + (r + t) / par) + 1;
        for (int y = std::max(y0, 0); y < std::min(y1, H); ++y)
            for (int x = std::max(x0, 0); x < std::min(x1, W); ++x) {
                const double dx = (x + 0.5 - cx) * par, dy = y + 0.5 - cy;
                if (std::fabs(std::sqrt(dx * dx + dy * dy) - r) < half) at(x, y) = c;
            }
    }
    void crosshatch(uint64_t c) {
        for (int i = 1; i < 16; ++i)
            fill(px(i) - t / 2, 0, px(i) - t / 2 + t, H, c);
        for (int j = 0; j < 9; ++j)
            fill(0, py(j + 0.5) - t / 2, W, py(j + 0.5) - t / 2 + t, c);
    }
    // Lines of `n` periods of white and black in the box; the period shrinks
    // linearly from `wide` to 2 pixels along the box (along x when `alongX`),
    // and the lines run along that direction, centred across it.
    void wedge(int x0, int y0, int x1, int y1, bool alongX, int n, uint64_t on, uint64_t off) {
        fill(x0, y0, x1, y1, off);
        const int length = alongX ? x1 - x0 : y1 - y0, across = alongX ? y1 - y0 : x1 - x0;
        const double wide = 0.9 * across / n;
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x) {
                const double s = (alongX ? x - x0 : y - y0) / double(length > 1 ? length - 1 : 1);
                const double period = wide + (2.0 - wide) * s;
                const double b = (alongX ? y - y0 : x - x0) + 0.5 - across / 2.0;
                const double phase = b / period + n / 2.0;
                if (phase >= 0 && phase < n && phase - std::floor(phase) < 0.5) at(x, y) = on;
            }
    }
    // Alternating lines `width` pixels wide, vertical ones when `vertical`.
    void lineGroup(int x0, int y0, int x1, int y1, bool vertical, int width, uint64_t a,
                   uint64_t b) {
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x)
                at(x, y) = ((vertical ? x - x0 : y - y0) / width) % 2 ? b : a;
    }

    uint64_t& at(int x, int y) { return im.pixels[size_t(y) * size_t(W) + size_t(x)]; }

    QiImage& im;
    const int W, H;
    const double u, v, par;
    const int t; // line thickness: one pixel up to 720 lines, two at 1080, four at 2160
};

void draw(QiImage& image, QiFont* font) {
    Card c(image);
    const uint64_t white = grey(1), black = grey(0);
    image.clear(grey(0.2));
    c.crosshatch(grey(0.75));

    // Rows 1 and 2: bars.
    uint64_t colours[11];
    bars(0.75, colours);
    c.patches(2, 1.5, 14, 2.5, 7, colours);
    bars(1.0, colours);
    c.patches(2, 2.5, 14, 3.5, 7, colours);
    // Rows 3 and 4: wedges, line groups and the centre.
    c.wedge(c.px(1), c.py(3.5), c.px(5), c.py(5.5), true, 12, white, black);
    c.wedge(c.px(11), c.py(3.5), c.px(15), c.py(5.5), false, 24, white, black);
    c.lineGroup(c.px(5), c.py(3.5), c.px(7), c.py(4.5), true, 1, white, black);
    c.lineGroup(c.px(5), c.py(4.5), c.px(7), c.py(5.5), true, 2, white, black);
    c.lineGroup(c.px(9), c.py(3.5), c.px(11), c.py(4.5), false, 1, white, black);
    c.lineGroup(c.px(9), c.py(4.5), c.px(11), c.py(5.5), false, 2, white, black);
    c.fill(c.px(8) - c.t / 2, c.py(3.5), c.px(8) - c.t / 2 + c.t, c.py(5.5), white);
    c.fill(c.px(7), c.py(4.5) - c.t / 2, c.px(9), c.py(4.5) - c.t / 2 + c.t, white);
    // Row 5: grey steps.
    for (int i = 0; i <= 10; ++i)
        colours[i] = grey(i / 10.0);
    c.patches(2, 5.5, 14, 6.5, 11, colours);
    // Row 6: the ramp, 64 at its left edge and 940 at its right.
    const int r0 = c.px(2), r1 = c.px(14);
    for (int x = r0; x < r1; ++x) {
        const int code = kBlack + (kRange * (x - r0) + (r1 - r0 - 1) / 2) / (r1 - r0 - 1);
        c.fill(x, c.py(6.5), x + 1, c.py(7.5), rgb(code, code, code));
    }
    // Row 7: skin tones and pastels.
    for (int i = 0; i < 4; ++i) {
        colours[i] = srgb8(kSkin[i][0], kSkin[i][1], kSkin[i][2]);
        colours[4 + i] = srgb8(kPastel[i][0], kPastel[i][1], kPastel[i][2]);
    }
    c.patches(2, 7.5, 14, 8.5, 8, colours);

    // Geometry: circles, the picture's edge and the safe areas.
    c.ring(4 * c.v, white);
    c.ring(0.75 * c.v, white);
    auto safe = [&](double fraction, uint64_t colour) {
        const int mx = static_cast<int>(std::lround(c.W * (1 - fraction) / 2));
        const int my = static_cast<int>(std::lround(c.H * (1 - fraction) / 2));
        c.outline(mx, my, c.W - mx, c.H - my, c.t, colour);
    };
    safe(0.93, white);
    safe(0.90, signal(0.75, 0.75, 0));
    c.outline(0, 0, c.W, c.H, 1, white);

    // Row 0: the name, over the circle.
    c.fillUnits(5, 0.5, 11, 1.5, black);
    char text[64];
    std::snprintf(text, sizeof text, "Kettlebright  %dx%d", c.W, c.H);
    int w = 0, h = 0;
    image.renderText(font, text, white, c.W / 2, c.py(1.0), w, h, false, QiImage::Centre);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <font file> <output folder>\n", argv[0]);
        return 2;
    }
    const std::string folder = argv[2];
    if (::mkdir(folder.c_str(), 0777) != 0 && errno != EEXIST) {
        std::fprintf(stderr, "%s: cannot create %s: %s\n", argv[0], folder.c_str(),
                     std::strerror(errno));
        return 1;
    }
    // Fonts live for the whole process (they are never deleted), so they are
    // kept here; each size sets the name's height.
    static QiFont* fonts[sizeof kSizes / sizeof kSizes[0]] = {};
    for (size_t i = 0; i < sizeof kSizes / sizeof kSizes[0]; ++i) {
        const Size& s = kSizes[i];
        QiFont* font = fonts[i] = new QiFont(argv[1], std::max(12, s.height * 2 / 45), 72);
        if (!font->getFace()) {
            std::fprintf(stderr, "%s: cannot load the font %s\n", argv[0], argv[1]);
            return 1;
        }
        QiImage image(s.width, s.height, 10);
        draw(image, font);
        char name[64];
        std::snprintf(name, sizeof name, "/Lumevra-Test-Card-%d.mti", s.height);
        if (!image.writeMti((folder + name).c_str())) {
            std::fprintf(stderr, "%s: cannot write %s%s\n", argv[0], folder.c_str(), name);
            return 1;
        }
    }
    return 0;
}
