// Conversion of a UHD 10-bit raster into each card layout, against a plain
// copy of the same source bytes. Run with KB_SCALAR=1 for the reference
// single-threaded row coders.
#include "QiImage.h"
#include "QiImageCoder.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <vector>

namespace {

constexpr int kWidth = 3840, kHeight = 2160;
constexpr size_t kPixels = size_t(kWidth) * kHeight;

// A UHD raster with varied content (ramps in three directions), so no lookup
// is served from a single cache line.
QiImage& source() {
    static QiImage* img = [] {
        auto* i = new QiImage(kWidth, kHeight, 10);
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x)
                i->setPixel(x, y, (x * 1023) / kWidth, (y * 1023) / kHeight, ((x + y) * 7) & 1023);
        return i;
    }();
    return *img;
}

template <class T> std::vector<T>& buffer(size_t n) {
    static std::vector<T> b;
    if (b.size() < n) b.assign(n, T(1)); // touched once, outside the timing
    return b;
}

void BM_Memcpy(benchmark::State& state) {
    QiImage& img = source();
    auto& dst = buffer<uint64_t>(kPixels);
    for (auto _ : state) {
        std::memcpy(dst.data(), img.pixels, kPixels * sizeof(uint64_t));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * int64_t(kPixels * sizeof(uint64_t)));
}

void BM_RGB8_32(benchmark::State& state) {
    QiImageCoder coder(&source());
    auto& dst = buffer<uint32_t>(kPixels);
    for (auto _ : state) {
        coder.to_RGB8_32(dst.data(), 2, 1, 0, 3);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * int64_t(kPixels * sizeof(uint64_t)));
}

void BM_RGB8_24(benchmark::State& state) {
    QiImageCoder coder(&source());
    auto& dst = buffer<uint8_t>(kPixels * 3);
    for (auto _ : state) {
        coder.to_RGB8_24(dst.data(), 2, 1, 0);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * int64_t(kPixels * sizeof(uint64_t)));
}

void BM_RGB10_DpxBigEndian(benchmark::State& state) {
    QiImageCoder coder(&source());
    auto& dst = buffer<uint32_t>(kPixels);
    for (auto _ : state) {
        coder.to_RGB10(dst.data(), 0, 1, 2, false, true);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * int64_t(kPixels * sizeof(uint64_t)));
}

void BM_422_8(benchmark::State& state) {
    QiImageCoder coder(&source());
    auto& dst = buffer<uint16_t>(kPixels);
    const uint8_t order[4] = {0, 1, 2, 3};
    for (auto _ : state) {
        coder.to_422_8(dst.data(), order);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * int64_t(kPixels * sizeof(uint64_t)));
}

void BM_V210(benchmark::State& state) {
    QiImageCoder coder(&source());
    coder.setColorMatrix(static_cast<QiImageCoder::ColorMatrix>(state.range(0)));
    const bool tenBit = state.range(1) != 0;
    auto& dst = buffer<uint32_t>(size_t((kWidth + 47) / 48) * 32 * kHeight);
    for (auto _ : state) {
        coder.to_v210(dst.data(), tenBit);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * int64_t(kPixels * sizeof(uint64_t)));
}

} // namespace

BENCHMARK(BM_Memcpy)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RGB8_32)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RGB8_24)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RGB10_DpxBigEndian)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_422_8)->Unit(benchmark::kMillisecond)->UseRealTime();
// (matrix, tenBit): Rec709 with the 10-bit formulas, Rec709 through the matrix.
BENCHMARK(BM_V210)
    ->Args({QiImageCoder::Rec709, 1})
    ->Args({QiImageCoder::Rec709, 0})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
