// The engine on a memory raster: commands through the queue, and the latency
// from asyncSetGen to the frame reaching the device.
#include "MemoryRaster.h"
#include "MtCore.h"
#include "QiOutput.h"

#include "TestSupport.h"

#include <benchmark/benchmark.h>

#include <memory>

namespace {

// Draws nothing: measures the queue and the render thread alone.
class NullRenderer : public MtPatternRenderer {
public:
    const char* getName() override { return "BenchNull"; }
    bool initialize(MtCore*) override { return true; }
    bool render(MtCore*, QiRaster*, const QiArgRetVal&) override { return true; }
};

// Fills the whole raster and converts it for the device, as a pattern does.
class FullFrameRenderer : public MtPatternRenderer {
public:
    const char* getName() override { return "BenchFull"; }
    bool initialize(MtCore*) override { return true; }
    bool render(MtCore*, QiRaster* raster, const QiArgRetVal&) override {
        raster->blt(raster->makeGrey(++level & 1023), 0, 0, -1, -1);
        raster->setFrames(1);
        raster->render(0, true);
        return true;
    }
    unsigned level = 0;
};

struct Bench {
    explicit Bench(int w, int h) {
        previous = gOutput.exchange(std::make_shared<testsupport::NullOutput>());
        testsupport::MemoryRasterConfig c;
        c.formats = {{"bench", w, h}};
        c.pixelFormat = QiImageCoder::YCbCr_10;
        c.keepShown = 1;
        raster = std::make_unique<testsupport::MemoryRaster>(c);
        core = std::make_unique<MtCore>(raster.get(), nullptr, nullptr);
        core->addPattern(new NullRenderer);
        core->addPattern(new FullFrameRenderer);
    }
    ~Bench() {
        core.reset();
        raster.reset();
        gOutput.exchange(previous);
    }
    void waitFor(int id) {
        bool r;
        core->waitForPattern(r, id);
    }
    std::shared_ptr<QiOutput> previous;
    std::unique_ptr<testsupport::MemoryRaster> raster;
    std::unique_ptr<MtCore> core;
};

void BM_QueueThroughput(benchmark::State& state) {
    Bench b(64, 36);
    QiArgRetVal request;
    request.set("Pattern", "BenchNull");
    const int batch = MtCore::kMaxQueuedCommands; // a full queue, none refused
    for (auto _ : state) {
        int last = 0;
        for (int i = 0; i < batch; ++i)
            last = b.core->asyncSetGen(request);
        b.waitFor(last);
    }
    state.SetItemsProcessed(state.iterations() * batch);
}
BENCHMARK(BM_QueueThroughput)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SetGenToShowFrame(benchmark::State& state) {
    Bench b(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    QiArgRetVal request;
    request.set("Pattern", "BenchFull");
    for (auto _ : state)
        b.waitFor(b.core->asyncSetGen(request));
}
BENCHMARK(BM_SetGenToShowFrame)
    ->Args({1920, 1080})
    ->Args({3840, 2160})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

} // namespace
