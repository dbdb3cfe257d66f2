#include "QiImage.h"

#include <benchmark/benchmark.h>

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
