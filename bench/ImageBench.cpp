#include "QiFont.h"
#include "QiImage.h"
#include "TestSupport.h"

#include <benchmark/benchmark.h>

#include <string>

// Full-frame primitives on a 3840 x 2160 10-bit image, as the patterns draw them.
namespace {

constexpr int kWidth = 3840, kHeight = 2160;

// Overrides setPixel, so every store is a virtual call: the cost the fast path avoids.
class VirtualImage : public QiImage {
public:
    VirtualImage() : QiImage(kWidth, kHeight, 10) {}
    bool setPixel(int x, int y, uint64_t colour) override {
        return QiImage::setPixel(x, y, colour);
    }
    using QiImage::setPixel;
};

void setPixelsProcessed(benchmark::State& state) {
    state.SetItemsProcessed(state.iterations() * int64_t(kWidth) * kHeight);
}

} // namespace

static void BM_Fill(benchmark::State& state) {
    QiImage im(kWidth, kHeight, 10);
    for (auto _ : state) {
        im.blt(im.makeGrey(512), 0, 0, -1, -1);
        benchmark::ClobberMemory();
    }
    setPixelsProcessed(state);
}
BENCHMARK(BM_Fill)->Unit(benchmark::kMillisecond);

static void BM_FillVirtualSetPixel(benchmark::State& state) {
    VirtualImage im;
    for (auto _ : state) {
        im.blt(im.makeGrey(512), 0, 0, -1, -1);
        benchmark::ClobberMemory();
    }
    setPixelsProcessed(state);
}
BENCHMARK(BM_FillVirtualSetPixel)->Unit(benchmark::kMillisecond);

// Colour bars: seven grid bars across the frame.
static void BM_DrawBar(benchmark::State& state) {
    QiImage im(kWidth, kHeight, 10);
    for (auto _ : state) {
        for (int i = 0; i < 7; ++i)
            im.drawBar(im.makeGrey(64 + 128 * i), i, 0, 1, 1, 7, 1);
        benchmark::ClobberMemory();
    }
    setPixelsProcessed(state);
}
BENCHMARK(BM_DrawBar)->Unit(benchmark::kMillisecond);

static void BM_ZonePlateCentred(benchmark::State& state) {
    QiImage im(kWidth, kHeight, 10);
    for (auto _ : state) {
        im.renderZonePlate(0, 0, kWidth, kHeight, kWidth / 2, kHeight / 2, 50, im.makeGrey(64),
                           im.makeGrey(940));
        benchmark::ClobberMemory();
    }
    setPixelsProcessed(state);
}
BENCHMARK(BM_ZonePlateCentred)->Unit(benchmark::kMillisecond);

static void BM_ZonePlateOffCentre(benchmark::State& state) {
    QiImage im(kWidth, kHeight, 10);
    for (auto _ : state) {
        im.renderZonePlate(0, 0, kWidth, kHeight, kWidth / 2 - 40, kHeight / 2 + 1, 50,
                           im.makeGrey(64), im.makeGrey(940));
        benchmark::ClobberMemory();
    }
    setPixelsProcessed(state);
}
BENCHMARK(BM_ZonePlateOffCentre)->Unit(benchmark::kMillisecond);

static void BM_SectorStar(benchmark::State& state) {
    QiImage im(kWidth, kHeight, 10);
    uint64_t colours[2] = {im.makeGrey(64), im.makeGrey(940)};
    const bool sine = state.range(0) != 0;
    for (auto _ : state) {
        im.renderSectorStar(0, 0, kWidth, kHeight, kWidth / 2, kHeight / 2, sine, 72, 2, colours);
        benchmark::ClobberMemory();
    }
    setPixelsProcessed(state);
}
BENCHMARK(BM_SectorStar)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// One title line as the engine draws it (24-point face, 96 dpi, top left) on a
// 1280 x 720 frame: a short title and one of a megabyte, of which only what
// fits the line is drawn.
static void BM_TitleLine(benchmark::State& state) {
    static QiFont* font =
        new QiFont((testsupport::dataFolder() + "/datafiles/eterna.ttf").c_str(), 24, 96);
    std::string title = "Kettlebright sequence ";
    if (state.range(0)) {
        while (title.size() < (size_t(1) << 20))
            title += "Kettlebright sequence ";
    }
    QiImage im(1280, 720, 10);
    im.clear(0);
    for (auto _ : state) {
        int w = 0, h = 0;
        im.renderText(font, title.c_str(), im.makeGrey(940), 64, 26, w, h, false, QiImage::TopLeft);
        benchmark::DoNotOptimize(w);
    }
    state.SetLabel(state.range(0) ? "1 MB title" : "short title");
}
BENCHMARK(BM_TitleLine)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
