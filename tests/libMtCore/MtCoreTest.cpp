// The engine on a memory raster: queue, render thread, generator options,
// registry and aliases.
#include "MtCore.h"
#include "ArgSupport.h"
#include "HoldRenderer.h"
#include "MemoryRaster.h"
#include "QiOption.h"
#include "QiThreadPool.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <thread>

// Heap bytes in use by the whole test program, so a test can measure what a
// structure of the engine holds.
static std::atomic<long long> sHeapBytes{0};

void* operator new(size_t n) {
    void* p = std::malloc(n ? n : 1);
    if (!p) throw std::bad_alloc();
    sHeapBytes += static_cast<long long>(malloc_usable_size(p));
    return p;
}
void operator delete(void* p) noexcept {
    if (!p) return;
    sHeapBytes -= static_cast<long long>(malloc_usable_size(p));
    std::free(p);
}
void operator delete(void* p, size_t) noexcept {
    operator delete(p);
}

using testsupport::dataFolder;
using testsupport::MemoryFrame;
using testsupport::MemoryRaster;
using testsupport::MemoryRasterConfig;

namespace {

QiOptInt optLevel("Level", "A level", 5, 0, 100, defaultOptionUiSettings);
QiOptRGB optColour("Colour", "A colour", 1, 2, 3, true, defaultOptionUiSettings);
QiOption* testOptions[] = {&optLevel, &optColour, nullptr};

// Records every render: the arguments it was given. Can be held inside render.
class RecordingRenderer : public MtPatternRenderer {
public:
    explicit RecordingRenderer(const char* name, uint64_t framePeriod = 0) : name_(name) {
        options = testOptions;
        revision = "$Revision: 1.7 $";
        period = framePeriod;
    }
    const char* getName() override { return name_; }
    bool initialize(MtCore*) override {
        ++initialized;
        return true;
    }
    bool render(MtCore* core, QiRaster* raster, const QiArgRetVal& args) override {
        {
            std::unique_lock<std::mutex> lock(m);
            renders.push_back(args);
            inside = true;
            cv.notify_all();
            cv.wait(lock, [this] { return !hold || passes > 0; });
            if (hold) --passes;
            inside = false;
        }
        core->renderTitle(name_, nullptr, raster);
        raster->setFrames(1);
        return true;
    }
    size_t renderCount() {
        std::lock_guard<std::mutex> lock(m);
        return renders.size();
    }
    QiArgRetVal lastArgs() {
        std::lock_guard<std::mutex> lock(m);
        return renders.empty() ? QiArgRetVal() : renders.back();
    }
    std::vector<QiArgRetVal> allArgs() {
        std::lock_guard<std::mutex> lock(m);
        return renders;
    }
    void setHold(bool h) {
        std::lock_guard<std::mutex> lock(m);
        hold = h;
        cv.notify_all();
    }
    // While held, lets exactly one render finish.
    void releaseOne() {
        std::lock_guard<std::mutex> lock(m);
        ++passes;
        cv.notify_all();
    }
    void waitInside() {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [this] { return inside; });
    }
    int initialized = 0;

private:
    const char* name_;
    std::mutex m;
    std::condition_variable cv;
    std::vector<QiArgRetVal> renders;
    bool hold = false;
    bool inside = false;
    int passes = 0;
};

using testsupport::text;

// A small raster keeps the many renders of these tests cheap.
MemoryRasterConfig smallConfig() {
    MemoryRasterConfig c;
    c.formats = {{"1080p25", 96, 54}, {"1080p30", 96, 54}, {"720p50", 64, 36}};
    return c;
}

// One engine with two test renderers, built fresh for each test.
class Engine : public ::testing::Test {
protected:
    void SetUp() override {
        raster = new MemoryRaster(smallConfig());
        core = new MtCore(raster, nullptr, dataFolder().c_str());
        bars = new RecordingRenderer("TestBars");
        anim = new RecordingRenderer("TestAnim", 40);
        core->addPattern(bars);
        core->addPattern(anim);
    }
    void TearDown() override {
        delete core;
        delete raster;
        // Renderers live for the whole process, as in the system.
    }
    // Queues `request` and waits until it has been processed.
    int run(const QiArgRetVal& request) {
        int id = core->asyncSetGen(request);
        bool result = false;
        // False here means the command is already done (one waiter, engine running).
        core->waitForPattern(result, id);
        return id;
    }
    // Waits until everything queued so far has been processed: an empty
    // request keeps the current pattern and draws nothing.
    void drain() {
        int id;
        while ((id = core->asyncSetGen(QiArgRetVal())) < 0) // queue full: try again
            std::this_thread::yield();
        bool r;
        core->waitForPattern(r, id);
    }
    QiArgRetVal req(std::initializer_list<std::pair<const char*, const char*>> kv) {
        QiArgRetVal m;
        for (auto& p : kv)
            m.set(p.first, p.second);
        return m;
    }
    MemoryRaster* raster = nullptr;
    MtCore* core = nullptr;
    RecordingRenderer* bars = nullptr;
    RecordingRenderer* anim = nullptr;
};

} // namespace

TEST_F(Engine, IdsArePositiveAndConsecutive) {
    int a = core->asyncSetGen(QiArgRetVal());
    int b = core->asyncSetGen(QiArgRetVal());
    EXPECT_GT(a, 0);
    EXPECT_EQ(b, a + 1);
    drain();
}

TEST_F(Engine, PatternNamesIgnoreCaseAliasesMatchExactly) {
    QiArgRetVal alias = req({{"Pattern", "TestBars"}, {"Level", "40"}, {"Colour_Red", "9"}});
    ASSERT_TRUE(core->addAlias("MyBars", alias));
    run(req({{"Pattern", "testbars"}}));
    ASSERT_EQ(bars->renderCount(), 1u);
    EXPECT_EQ(text(bars->lastArgs(), "Level"), "<absent>");

    // The alias's stored keys fill what the request lacks; the request's own keys win.
    run(req({{"Pattern", "MyBars"}, {"Level", "41"}}));
    ASSERT_EQ(bars->renderCount(), 2u);
    EXPECT_EQ(text(bars->lastArgs(), "Level"), "41");
    EXPECT_EQ(text(bars->lastArgs(), "Colour_Red"), "9");

    // An alias is found only under its exact name.
    run(req({{"Pattern", "mybars"}}));
    EXPECT_EQ(bars->renderCount(), 2u);
    // Aliases of aliases are refused.
    EXPECT_FALSE(core->addAlias("Second", req({{"Pattern", "MyBars"}})));
    EXPECT_FALSE(core->addAlias("NoPattern", req({{"Level", "1"}})));
}

TEST_F(Engine, RequestsWithoutPatternInheritTheCurrentOne) {
    // Before any pattern: options are applied, nothing is drawn.
    run(req({{"OutputTitling", "1"}}));
    EXPECT_EQ(bars->renderCount(), 0u);
    run(req({{"Pattern", "TestBars"}, {"Level", "7"}}));
    run(req({{"Colour_Green", "5"}}));
    ASSERT_EQ(bars->renderCount(), 2u);
    QiArgRetVal last = bars->lastArgs();
    EXPECT_EQ(text(last, "Pattern"), "TestBars");
    EXPECT_EQ(text(last, "Level"), "7");
    EXPECT_EQ(text(last, "Colour_Green"), "5");
    QiArgRetVal settings;
    core->getPatSettings(settings);
    EXPECT_EQ(text(settings, "Colour_Green"), "5");
}

TEST_F(Engine, StillPatternsRenderOnlyWhenSomethingChanged) {
    run(req({{"Pattern", "TestBars"}}));
    ASSERT_EQ(bars->renderCount(), 1u);
    // Generator options that change nothing (the layout the raster starts in),
    // and the empty refresh request: no render.
    run(req({{"OutputColor", "RGB_8"}, {"VideoMute", "0"}}));
    run(QiArgRetVal());
    EXPECT_EQ(bars->renderCount(), 1u);
    // Naming the pattern again always renders.
    run(req({{"Pattern", "TestBars"}}));
    EXPECT_EQ(bars->renderCount(), 2u);
    // A pattern option renders.
    run(req({{"Level", "3"}}));
    EXPECT_EQ(bars->renderCount(), 3u);
}

TEST_F(Engine, UnknownPatternKeepsTheCurrentOneAndAppliesItsGeneratorOptions) {
    run(req({{"Pattern", "TestBars"}, {"Level", "7"}}));
    testsupport::ScopedCapture capture;
    struct Step {
        QiArgRetVal request;
        size_t renders;
        const char* outputColor;
    } const steps[] = {
        // Nothing to apply: nothing changes, nothing is drawn.
        {req({{"Pattern", "Nothing"}, {"Level", "50"}}), 1, "<absent>"},
        // Its generator options apply and the current pattern is drawn with them.
        {req({{"Pattern", "Nothing"}, {"Level", "50"}, {"OutputColor", "RGB_10"}}), 2, "RGB_10"},
        // A request without "Pattern" still finds the pattern.
        {req({{"Colour_Red", "4"}}), 3, "RGB_10"},
    };
    for (const Step& s : steps) {
        run(s.request);
        EXPECT_EQ(bars->renderCount(), s.renders);
        QiArgRetVal current;
        core->getPatSettings(current);
        EXPECT_EQ(text(current, "Pattern"), "TestBars");
        EXPECT_EQ(text(current, "Level"), "7");
        EXPECT_EQ(text(current, "OutputColor"), s.outputColor);
    }
    EXPECT_EQ(text(bars->lastArgs(), "Colour_Red"), "4");
    EXPECT_EQ(raster->getOutputPixelFormat(), QiImageCoder::RGB_10);
    int warnings = 0;
    for (const auto& l : capture.out->take())
        if (l == "Warning: mainLoop: no pattern or alias named 'Nothing'; the current pattern "
                 "stays\n")
            ++warnings;
    EXPECT_EQ(warnings, 2);
}

TEST_F(Engine, EachCommandAppliesOnTopOfThoseQueuedBeforeIt) {
    run(req({{"Pattern", "TestBars"}, {"OutputColor", "YCbCr_10"}}));
    bars->setHold(true);
    core->asyncSetGen(req({{"Pattern", "TestBars"}, {"Level", "9"}}));
    bars->waitInside();
    // Queued while a render runs: the option-only request must build on the
    // pattern request before it, not on what was current when it was queued.
    core->asyncSetGen(req({{"Pattern", "TestAnim"}, {"Level", "20"}, {"OutputColor", "RGB_10"}}));
    core->asyncSetGen(req({{"OutputTitling", "1"}}));
    bars->setHold(false);
    drain();
    QiArgRetVal current;
    core->getPatSettings(current);
    EXPECT_EQ(text(current, "Pattern"), "TestAnim");
    EXPECT_EQ(text(current, "Level"), "20");
    EXPECT_EQ(text(current, "OutputColor"), "RGB_10");
    EXPECT_EQ(text(current, "OutputTitling"), "1");
    EXPECT_EQ(raster->getOutputPixelFormat(), QiImageCoder::RGB_10);
    ASSERT_EQ(anim->renderCount(), 2u);
    EXPECT_EQ(text(anim->lastArgs(), "OutputTitling"), "1");
}

TEST_F(Engine, QueuedCommandsHoldOnlyTheirOwnRequest) {
    QiArgRetVal first = req({{"Pattern", "TestBars"}});
    first.set("Big", std::string(200 * 1024, 'x'));
    run(first);
    bars->setHold(true);
    core->asyncSetGen(req({{"Level", "1"}}));
    bars->waitInside();
    const long long before = sHeapBytes;
    for (int i = 0; i < 400; ++i)
        core->asyncSetGen(req({{"Level", "2"}}));
    const long long held = sHeapBytes - before;
    bars->setHold(false);
    drain();
    // A few hundred bytes each; a copy of the current arguments would be 200 KB each.
    EXPECT_LT(held, 400 * 2048);
    EXPECT_EQ(text(bars->lastArgs(), "Big").size(), 200u * 1024);
    EXPECT_EQ(text(bars->lastArgs(), "Level"), "2");
}

TEST_F(Engine, ClientCyanidePillIsAnOrdinaryUnknownKey) {
    testsupport::ScopedCapture capture;
    run(req({{"Pattern", "TestBars"}, {"CyanidePill", "1"}}));
    run(req({{"Pattern", "TestBars"}}));
    EXPECT_EQ(bars->renderCount(), 2u);
    bool warned = false;
    for (const auto& l : capture.out->take())
        if (l.find("unknown option: 'CyanidePill'") != std::string::npos) warned = true;
    EXPECT_TRUE(warned);
}

TEST_F(Engine, WaitForPatternCoversQueuedAndRunningCommands) {
    bool result = false;
    EXPECT_FALSE(core->waitForPattern(result, 12345)); // never issued
    bars->setHold(true);
    int running = core->asyncSetGen(req({{"Pattern", "TestBars"}}));
    bars->waitInside();
    int queued = core->asyncSetGen(req({{"Pattern", "TestBars"}, {"Level", "9"}}));

    std::atomic<bool> firstDone{false};
    std::thread waiter([&] {
        bool r = false;
        EXPECT_TRUE(core->waitForPattern(r, running)); // being processed right now
        EXPECT_TRUE(r);
        firstDone = true;
    });
    // Give the first waiter time to start waiting; a second waiter then gets
    // false at once instead of blocking.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    bool second = true;
    std::thread other([&] {
        bool r;
        second = core->waitForPattern(r, queued);
    });
    other.join();
    EXPECT_FALSE(second);
    EXPECT_FALSE(firstDone);
    bars->setHold(false);
    waiter.join();
    EXPECT_TRUE(firstDone);
    result = false;
    core->waitForPattern(result, queued);
    drain();
    EXPECT_EQ(bars->renderCount(), 2u);
    EXPECT_EQ(text(bars->lastArgs(), "Level"), "9");
}

TEST_F(Engine, ClientsWaitingForTheRasterGetInBetweenTwoCommands) {
    bars->setHold(true);
    core->asyncSetGen(req({{"Pattern", "TestBars"}}));
    bars->waitInside();
    for (int i = 0; i < 3; ++i)
        core->asyncSetGen(req({{"Pattern", "TestBars"}}));
    {
        // A client with a wait deadline gives up at it, having done nothing,
        // and the lock passes over its ticket to the next in line.
        MtCore::WaitLimit limit(std::chrono::steady_clock::now() + std::chrono::milliseconds(50));
        std::vector<QiArgRetVal> options;
        EXPECT_THROW(core->getGenOpts(options), MtCoreBusy);
        EXPECT_TRUE(options.empty());
    }
    std::atomic<bool> answered{false};
    std::thread reader([&] {
        core->getVersion(); // reads the raster
        answered = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200)); // the reader is waiting now
    EXPECT_FALSE(answered);
    bars->releaseOne(); // the next render would be held again
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!answered && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_TRUE(answered) << "the reader waited behind the next command";
    bars->setHold(false);
    reader.join();
    drain();
    EXPECT_EQ(bars->renderCount(), 4u);
}

TEST_F(Engine, AnimatedPatternsStepAtTheirPeriod) {
    run(req({{"Pattern", "TestAnim"}}));
    size_t shownAfterRender = raster->shownIndices().size();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (raster->shownIndices().size() < shownAfterRender + 3 &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_GE(raster->shownIndices().size(), shownAfterRender + 3);
    EXPECT_EQ(anim->renderCount(), 1u); // stepped, not rendered again
    // A still pattern stops the steps.
    run(req({{"Pattern", "TestBars"}}));
    size_t still = raster->shownIndices().size();
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_EQ(raster->shownIndices().size(), still);
    EXPECT_EQ(raster->outOfRingCount(), 0u);
}

TEST_F(Engine, QueuedRequestsAreBoundedInBytes) {
    testsupport::ScopedCapture capture; // the refusals' Warnings
    bars->setHold(true);
    core->asyncSetGen(req({{"Pattern", "TestBars"}}));
    bars->waitInside();
    const std::string big(MtCore::kMaxQueuedBytes / 8, 'x');
    int accepted = 0;
    while (accepted < 10 &&
           core->asyncSetGen(req({{"Pattern", "TestBars"}, {"Big", big.c_str()}})) > 0)
        ++accepted;
    EXPECT_EQ(accepted, 7); // eight would pass the bound with their keys
    EXPECT_GT(core->asyncSetGen(req({{"Pattern", "TestBars"}})), 0); // a small one still fits
    bars->setHold(false);
    drain();
    // Everything accepted was drawn, and the drained queue takes large requests again.
    EXPECT_EQ(bars->renderCount(), 1u + static_cast<unsigned>(accepted) + 1u);
    EXPECT_GT(run(req({{"Pattern", "TestBars"}, {"Big", big.c_str()}})), 0);
}

TEST_F(Engine, QueueIsBoundedAndDroppedAtShutDown) {
    testsupport::ScopedCapture capture;
    bars->setHold(true);
    int last = core->asyncSetGen(req({{"Pattern", "TestBars"}}));
    bars->waitInside();
    for (int i = 0; i < MtCore::kMaxQueuedCommands; ++i) {
        int id = core->asyncSetGen(req({{"Pattern", "TestBars"}}));
        ASSERT_EQ(id, last + 1);
        last = id;
    }
    // Full: refused with -1 and a Warning; the refusal uses up no id.
    EXPECT_EQ(core->asyncSetGen(req({{"Pattern", "TestBars"}})), -1);
    EXPECT_EQ(core->asyncSetPattern("TestBars"), -1);
    // Shut-down drops the queue and lets the render under way finish.
    std::thread stopper([this] { delete core; });
    std::vector<std::string> lines;
    auto seen = [&](const std::string& text) {
        for (const auto& l : capture.out->take())
            lines.push_back(l);
        for (const auto& l : lines)
            if (l.find(text) != std::string::npos) return true;
        return false;
    };
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!seen("queued commands dropped") && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    bars->setHold(false);
    stopper.join();
    core = nullptr;
    EXPECT_EQ(bars->renderCount(), 1u);
    EXPECT_TRUE(seen("Warning: asyncSetGen: 500 commands queued, request refused\n"));
    EXPECT_TRUE(seen("Info: ~MtCore: 500 queued commands dropped\n"));
    bool cyanide = false;
    for (const auto& l : lines)
        if (l.rfind("Minutiae: Cyanide-0x", 0) == 0 && l.size() == 29) cyanide = true;
    EXPECT_TRUE(cyanide);
    core = new MtCore(raster, nullptr, dataFolder().c_str()); // for TearDown
}

TEST_F(Engine, ManyClientThreadsLoseNothing) {
    const int threads = 8, perThread = 1000;
    std::vector<std::thread> clients;
    std::vector<std::vector<int>> ids(threads);
    for (int t = 0; t < threads; ++t) {
        clients.emplace_back([&, t] {
            for (int n = 0; n < perThread; ++n) {
                QiArgRetVal r;
                r.set("Pattern", "TestBars");
                r.set("T", t);
                r.set("N", n);
                int id;
                while ((id = core->asyncSetGen(r)) < 0) // queue full: try again
                    std::this_thread::yield();
                ids[t].push_back(id);
            }
        });
    }
    for (auto& c : clients)
        c.join();
    drain();
    auto all = bars->allArgs();
    ASSERT_EQ(all.size(), static_cast<size_t>(threads * perThread));
    std::vector<int> next(threads, 0);
    for (const auto& a : all) {
        int t = -1, n = -1;
        a.find("T", &t);
        a.find("N", &n);
        ASSERT_GE(t, 0);
        ASSERT_EQ(n, next[t]) << "thread " << t; // in queue order, each once
        ++next[t];
    }
    for (int t = 0; t < threads; ++t)
        for (int n = 1; n < perThread; ++n)
            EXPECT_GT(ids[t][n], ids[t][n - 1]);
}

TEST_F(Engine, GeneratorOptionsReachTheRaster) {
    run(req({{"Pattern", "TestBars"}}));
    // Mute: a flat 25 % grey in video levels, at the raster's depth.
    run(req({{"VideoMute", "1"}}));
    EXPECT_EQ(raster->coder.gatingMask, 7);
    EXPECT_EQ(raster->coder.gate0, 280);
    // A gate change while muted does not lift the mute.
    run(req({{"GateRed", "1"}}));
    EXPECT_EQ(raster->coder.gatingMask, 7);
    EXPECT_EQ(raster->coder.gate1, 280);
    // Lifting the mute applies the stored gates.
    run(req({{"VideoMute", "0"},
             {"GatingColor_Red", "12"},
             {"GatingColor_Green", "0"},
             {"GatingColor_Blue", "0"}}));
    EXPECT_EQ(raster->coder.gatingMask, 1);
    EXPECT_EQ(raster->coder.gate0, 12);
    // Toggle flips and writes the result back.
    run(req({{"GateRed", "toggle"}}));
    EXPECT_EQ(raster->coder.gatingMask, 0);
    QiArgRetVal current;
    core->getPatSettings(current);
    EXPECT_EQ(text(current, "GateRed"), "false");

    // Output colour: stored, pushed to the raster, re-rendered.
    size_t before = bars->renderCount();
    run(req({{"OutputColor", "RGB_10"}}));
    EXPECT_EQ(raster->getOutputPixelFormat(), QiImageCoder::RGB_10);
    EXPECT_EQ(bars->renderCount(), before + 1);

    run(req({{"ColorEncoding", "Rec601"}}));
    EXPECT_EQ(raster->coder.getColorMatrix(), QiImageCoder::Rec601);

    QiArgRetVal s;
    core->getGenSettings(s);
    EXPECT_EQ(text(s, "OutputColor"), "RGB_10");
    EXPECT_EQ(text(s, "ColorEncoding"), "Rec601");
    EXPECT_EQ(text(s, "GateRed"), "0");
    EXPECT_EQ(text(s, "GatingColor_Red"), "12");
    EXPECT_EQ(text(s, "VideoFormat"), "1080p25");
}

// A gating colour is a code at the raster's depth (10 bits here): it reaches
// the card unchanged, and one above the largest code is held at it.
TEST_F(Engine, GatingColoursKeepTheRastersDepth) {
    run(req({{"Pattern", "TestBars"}, {"OutputColor", "RGB_10"}, {"GateRed", "1"}}));
    const struct {
        const char* sent;
        unsigned held;
    } rows[] = {{"940", 940}, {"70", 70}, {"1023", 1023}, {"5000", 1023}, {"0x10000", 1023}};
    for (const auto& row : rows) {
        run(req({{"GatingColor_Red", row.sent},
                 {"GatingColor_Green", "0"},
                 {"GatingColor_Blue", "0"}}));
        QiArgRetVal s;
        core->getGenSettings(s);
        EXPECT_EQ(text(s, "GatingColor_Red"), std::to_string(row.held)) << row.sent;
        ASSERT_TRUE(raster->render(0, false));
        const MemoryFrame f = raster->ringFrame(0);
        uint32_t w = 0;
        std::memcpy(&w, f.bytes.data(), 4);
        w = __builtin_bswap32(w); // DPX word, big-endian: red in bits 22-31
        EXPECT_EQ(w >> 22, row.held) << row.sent;
    }
}

// What the engine reports is what the raster applies: at start the matrix and
// layout the back-end was found in, and again after a rescan or a format
// change that has the back-end choose them. The option records keep their
// defaults.
TEST_F(Engine, ReportedColourIsTheAppliedColour) {
    const struct {
        QiImageCoder::ColorMatrix matrix;
        QiImageCoder::PixelFormat layout;
    } rows[] = {{QiImageCoder::Rec709, QiImageCoder::YCbCr_10},
                {QiImageCoder::Rec601, QiImageCoder::YCbCr_8},
                {QiImageCoder::Rec2020Compressed, QiImageCoder::RGB_10}};
    auto expectReport = [&](QiImageCoder::ColorMatrix m, QiImageCoder::PixelFormat l,
                            const char* when) {
        std::vector<QiArgRetVal> gen;
        core->getGenOpts(gen);
        ASSERT_EQ(gen.size(), 14u);
        EXPECT_EQ(text(gen[12], "ColorEncoding"), QiImageCoder::colorMatrixName(m)) << when;
        EXPECT_EQ(text(gen[12], "OutputColor"), QiImageCoder::pixelFormatName(l)) << when;
        EXPECT_EQ(text(gen[9], "DefaultValue"), "YCbCr_10") << when;
        EXPECT_EQ(text(gen[11], "DefaultValue"), "Rec709 (compressed)") << when;
    };
    for (const auto& row : rows) {
        delete core;
        delete raster;
        MemoryRasterConfig config = smallConfig();
        config.matrix = row.matrix;
        config.pixelFormat = row.layout;
        raster = new MemoryRaster(config);
        core = new MtCore(raster, nullptr, dataFolder().c_str());
        expectReport(row.matrix, row.layout, "at start");

        // Asking for what is reported changes nothing; asking for another
        // matrix reaches the raster.
        run(req({{"Pattern", "TestBars"},
                 {"ColorEncoding", QiImageCoder::colorMatrixName(row.matrix)}}));
        EXPECT_EQ(raster->coder.getColorMatrix(), row.matrix);
        run(req({{"ColorEncoding", "Rec709 (compressed)"}}));
        EXPECT_EQ(raster->coder.getColorMatrix(), QiImageCoder::Rec709Compressed);

        // The back-end chooses again on a rescan, and on a format change.
        raster->coder.setColorMatrix(QiImageCoder::Rec2020);
        raster->setOutputPixelFormat(QiImageCoder::YCbCr_8);
        core->rescanFormats();
        expectReport(QiImageCoder::Rec2020, QiImageCoder::YCbCr_8, "after a rescan");
        raster->coder.setColorMatrix(row.matrix);
        raster->setOutputPixelFormat(row.layout);
        run(req({{"VideoFormat", "720p50"}}));
        expectReport(row.matrix, row.layout, "after a format change");
    }
}

TEST_F(Engine, VideoFormatChangesAndToggles) {
    run(req({{"Pattern", "TestBars"}}));
    // A format change brings the back-end's matrix, unless the request names one.
    raster->coder.setColorMatrix(QiImageCoder::Rec709);
    run(req({{"VideoFormat", "1080p30"}}));
    QiArgRetVal current;
    core->getPatSettings(current);
    EXPECT_EQ(text(current, "ColorEncoding"), "Rec709");
    run(req({{"VideoFormat", "720p50"}, {"ColorEncoding", "Rec2020"}}));
    EXPECT_STREQ(raster->getCurrentFormat(), "720p50");
    EXPECT_EQ(raster->getWidth(), 64);
    EXPECT_EQ(raster->coder.getColorMatrix(), QiImageCoder::Rec2020);
    core->getPatSettings(current);
    EXPECT_EQ(text(current, "ColorEncoding"), "Rec2020");
    // Toggle steps to the next format, wrapping to the first.
    run(req({{"VideoFormat", "toggle"}}));
    EXPECT_STREQ(raster->getCurrentFormat(), "1080p25");
    run(req({{"VideoFormat", "toggle"}}));
    EXPECT_STREQ(raster->getCurrentFormat(), "1080p30");
    // An unknown name changes nothing.
    run(req({{"VideoFormat", "4320p120"}}));
    EXPECT_STREQ(raster->getCurrentFormat(), "1080p30");
    // A format changed behind the engine's back is adopted, and a request still works.
    raster->setRasterFormat("720p50");
    run(QiArgRetVal());
    run(req({{"VideoFormat", "1080p25"}}));
    EXPECT_STREQ(raster->getCurrentFormat(), "1080p25");
    // A request naming the format that now runs keeps naming it.
    raster->setRasterFormat("720p50");
    run(req({{"Pattern", "TestBars"}, {"VideoFormat", "720P50"}}));
    core->getPatSettings(current);
    EXPECT_EQ(text(current, "VideoFormat"), "720p50");
    run(req({{"VideoFormat", "1080p25"}}));
    core->rescanFormats();
    run(req({{"VideoFormat", "720p50"}}));
    EXPECT_STREQ(raster->getCurrentFormat(), "720p50");
}

TEST_F(Engine, PublishedLists) {
    core->addAlias("user/Logo", req({{"Pattern", "TestBars"}}));
    core->addAlias("mmc/Clip", req({{"Pattern", "TestAnim"}}));
    QiArgRetVal list;
    core->getPatList(list);
    EXPECT_EQ(text(list, "TestBars"), "$Revision: 1.7 $");
    EXPECT_EQ(text(list, "user/Logo"), "Alias/TestBars");
    EXPECT_EQ(text(list, "mmc/Clip"), "Alias/TestAnim");

    core->removeAliasesByPrefix("mmc/");
    list.clear();
    core->getPatList(list);
    EXPECT_EQ(text(list, "mmc/Clip"), "<absent>");
    EXPECT_EQ(text(list, "user/Logo"), "Alias/TestBars");
    core->removeAliasesByPrefix("");
    list.clear();
    core->getPatList(list);
    EXPECT_EQ(text(list, "user/Logo"), "<absent>");

    std::vector<QiArgRetVal> opts;
    EXPECT_TRUE(core->getPatOpts("testbars", opts));
    ASSERT_EQ(opts.size(), 2u);
    EXPECT_EQ(text(opts[0], "Name"), "Level");
    EXPECT_FALSE(core->getPatOpts("NoSuch", opts));

    std::vector<QiArgRetVal> gen;
    core->getGenOpts(gen);
    ASSERT_EQ(gen.size(), 14u);
    EXPECT_EQ(text(gen[0], "Name"), "GatingColor");
    EXPECT_EQ(text(gen[4], "Name"), "VideoFormat");
    EXPECT_EQ(text(gen[4], "nVal"), "3");
    EXPECT_EQ(text(gen[6], "Value"), "10");
    EXPECT_EQ(text(gen[7], "Value"), "64");
    EXPECT_EQ(text(gen[8], "Value"), "940");
    EXPECT_EQ(text(gen[11], "Name"), "ColorEncoding");
    EXPECT_EQ(text(gen[12], "VideoMute"), "0");
}

TEST_F(Engine, PluginNamesReplaceBuiltinsUnderTheirCase) {
    auto* other = new RecordingRenderer("TESTBARS");
    core->addPattern(other);
    EXPECT_EQ(core->getPatternRenderer("TestBars"), other);
    QiArgRetVal list;
    core->getPatList(list);
    EXPECT_EQ(text(list, "TestBars"), "$Revision: 1.7 $");
    EXPECT_EQ(other->initialized, 1);
}

TEST_F(Engine, TitleIsDrawnOnlyWithTitling) {
    run(req({{"Pattern", "TestBars"}}));
    auto plain = raster->lastShown();
    (void)plain;
    int c0, c1, c2;
    auto litPixels = [&] {
        int lit = 0;
        for (int y = 0; y < raster->getHeight(); ++y)
            for (int x = 0; x < raster->getWidth(); ++x) {
                raster->getPixel(x, y, c0, c1, c2);
                if (c1) ++lit;
            }
        return lit;
    };
    raster->clear(0);
    run(req({{"Pattern", "TestBars"}}));
    EXPECT_EQ(litPixels(), 0);
    run(req({{"OutputTitling", "1"}}));
    EXPECT_GT(litPixels(), 0);
}

TEST_F(Engine, VersionTextsAreSafeFromSeveralThreads) {
    std::vector<std::thread> t;
    for (int i = 0; i < 4; ++i)
        t.emplace_back([this] {
            for (int n = 0; n < 200; ++n) {
                const char** v = core->getVersion();
                EXPECT_STREQ(v[1], "315M");
                EXPECT_STREQ(v[2], "MemoryRaster 1.0");
                EXPECT_STREQ(v[5], "Application-Version");
                EXPECT_NE(std::strchr(v[3], '['), nullptr);
            }
        });
    for (auto& th : t)
        th.join();
    unsigned char* edid = nullptr;
    unsigned long len = 0;
    ASSERT_TRUE(core->getEdid(edid, len));
    ASSERT_EQ(len, 4u);
    EXPECT_EQ(edid[0], 4);
    EXPECT_EQ(edid[3], 1);
    free(edid);
}

// A render that throws (std::bad_alloc in a band on the thread pool) fails with a Warning and
// shows nothing; the engine takes the next command.
TEST_F(Engine, RenderThatThrowsFailsWithAWarningAndTheEngineGoesOn) {
    class Throwing : public MtPatternRenderer {
    public:
        const char* getName() override { return "TestThrows"; }
        bool initialize(MtCore*) override { return true; }
        bool render(MtCore*, QiRaster*, const QiArgRetVal&) override {
            QiThreadPool::shared().forBands(0, 64, 1, [](int64_t, int64_t last) {
                if (last == 64) throw std::bad_alloc();
            });
            return true;
        }
    };
    core->addPattern(new Throwing); // renderers live for the process
    testsupport::ScopedCapture capture;
    const size_t shown = raster->shownIndices().size();
    run(req({{"Pattern", "TestThrows"}}));
    const std::vector<std::string> lines = capture.out->take();
    EXPECT_NE(lines.end(), std::find(lines.begin(), lines.end(),
                                     "Warning: setPattern: rendering TestThrows failed "
                                     "(std::bad_alloc)\n"));
    EXPECT_EQ(shown, raster->shownIndices().size());
    run(req({{"Pattern", "TestBars"}}));
    EXPECT_EQ(1u, bars->renderCount());
}

// A render that throws once it has set its frame count and converted its first
// frame: the pattern before it stays current with its arguments, the raster
// shows that pattern's picture in its own ring, and the command's result is
// false.
TEST_F(Engine, FailedRenderLeavesThePatternBeforeItCurrentAndShown) {
    // Held until the test lets it go, so a waiter can wait for its command.
    class ThrowsLate : public testsupport::HoldRenderer {
    public:
        ThrowsLate() : HoldRenderer("TestThrowsLate") { period = 40; }
        bool render(MtCore* core, QiRaster* raster, const QiArgRetVal& args) override {
            HoldRenderer::render(core, raster, args);
            raster->clear(0);
            raster->setFrames(3);
            raster->render(0, false);
            throw std::bad_alloc();
        }
    };
    auto* throwsLate = new ThrowsLate;
    core->addPattern(throwsLate);
    testsupport::ScopedCapture capture;
    const struct {
        const char* pattern;
        const char* format; // the command changes the format too
    } rows[] = {{"Colorbars", nullptr}, {"Colorbars", "720p50"}, {"Checkerboard", nullptr}};
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.pattern) + (row.format ? " and a format change" : ""));
        run(req({{"Pattern", row.pattern}, {"Marker", "before"}}));
        const MemoryFrame before = raster->lastShown();
        QiArgRetVal failing = req({{"Pattern", "TestThrowsLate"}});
        if (row.format) failing.set("VideoFormat", row.format);
        throwsLate->hold();
        const int id = core->asyncSetGen(failing);
        throwsLate->waitInside();
        bool waited = false, result = true;
        std::thread waiter([&] { waited = core->waitForPattern(result, id); });
        std::this_thread::sleep_for(std::chrono::milliseconds(200)); // the waiter waits now
        throwsLate->release();
        waiter.join();
        ASSERT_TRUE(waited);
        EXPECT_FALSE(result);
        std::vector<QiArgRetVal> gen;
        core->getGenOpts(gen);
        ASSERT_EQ(gen.size(), 14u);
        EXPECT_EQ(text(gen[13], "Pattern"), row.pattern);
        EXPECT_EQ(text(gen[13], "Marker"), "before");
        EXPECT_EQ(text(gen[13], "VideoFormat"), row.format ? row.format : "<absent>");
        EXPECT_EQ(raster->frames, 1u);
        const MemoryFrame shown = raster->lastShown();
        EXPECT_EQ(shown.width, raster->getWidth());
        if (!row.format) {
            EXPECT_EQ(shown.bytes, before.bytes);
        }
        raster->render(0, false); // the raster holds the picture that was shown
        EXPECT_EQ(raster->ringFrame(0).bytes, shown.bytes);
        // No animation of the failed pattern steps the ring.
        const size_t shows = raster->shownIndices().size();
        std::this_thread::sleep_for(std::chrono::milliseconds(120));
        EXPECT_EQ(raster->shownIndices().size(), shows);
        run(req({{"VideoFormat", "1080p25"}}));
    }
    int warnings = 0;
    for (const auto& l : capture.out->take())
        if (l == "Warning: setPattern: rendering TestThrowsLate failed (std::bad_alloc)\n")
            ++warnings;
    EXPECT_EQ(warnings, 3);
}

// A command whose frame the card refuses fails, and its pattern stays current
// (the raster holds it). The refused steps of an animation fail no command:
// once the card takes frames again, so does the next command.
TEST_F(Engine, CommandWhoseFrameTheCardRefusesFails) {
    const auto resultOf = [this](const char* pattern) {
        bool result = false;
        // A wait that finds the command done already fails: it is sent again.
        while (!core->waitForPattern(result, core->asyncSetGen(req({{"Pattern", pattern}})))) {
        }
        return result;
    };
    const struct {
        const char* pattern;
        bool refusing;
    } steps[] = {{"TestBars", true}, {"TestAnim", true}, {"TestBars", false}};
    for (const auto& step : steps) {
        SCOPED_TRACE(std::string(step.pattern) + (step.refusing ? ", refused" : ""));
        raster->refuseFrames(step.refusing);
        EXPECT_EQ(resultOf(step.pattern), !step.refusing);
        QiArgRetVal current;
        core->getPatSettings(current);
        EXPECT_EQ(text(current, "Pattern"), step.pattern);
        const size_t shows = raster->shownIndices().size(); // an animation steps on
        while (std::strcmp(step.pattern, "TestAnim") == 0 &&
               raster->shownIndices().size() < shows + 2)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// Each queued selection of an alias keeps the definition it was accepted
// with. Definitions that only queued commands still hold count against the
// table's bound: redefining a large alias while renders are queued is refused
// once the bound is reached (a refused definition changes nothing), no
// selection is refused, and every selection is drawn, in order, with its
// definition.
TEST_F(Engine, QueuedAliasSelectionsCountAgainstTheTableBound) {
    // Notes which definition each render was given.
    class Marks : public MtPatternRenderer {
    public:
        const char* getName() override { return "TestMarks"; }
        bool initialize(MtCore*) override { return true; }
        bool render(MtCore*, QiRaster* raster, const QiArgRetVal& args) override {
            const char* blob = "-";
            args.find("Blob", &blob);
            marks += blob[0];
            raster->setFrames(1);
            return true;
        }
        std::string marks; // written on the render thread, read once drained
    };
    auto* marks = new Marks;
    core->addPattern(marks);
    const size_t blob = MtCore::kMaxAliasBytes / 8;
    auto definition = [&](char c) {
        QiArgRetVal a = req({{"Pattern", "TestMarks"}});
        a.set("Blob", std::string(blob, c));
        return a;
    };
    testsupport::ScopedCapture capture;
    bars->setHold(true);
    core->asyncSetGen(req({{"Pattern", "TestBars"}}));
    bars->waitInside();
    const long long heapBefore = sHeapBytes;
    std::string expected;
    char current = 0;
    for (char c = 'a'; c <= 'x'; ++c) {
        if (core->addAlias("Big", definition(c))) current = c;
        ASSERT_GT(core->asyncSetGen(req({{"Pattern", "Big"}})), 0);
        expected += current;
    }
    const long long held = sHeapBytes - heapBefore;
    bars->setHold(false);
    drain();
    EXPECT_LT(current, 'x');
    EXPECT_LT(held, static_cast<long long>(MtCore::kMaxAliasBytes + blob));
    EXPECT_EQ(marks->marks, expected);
    // Drawn, the definitions are let go: the alias takes new ones again.
    for (char c = 'a'; c <= 'x'; ++c)
        EXPECT_TRUE(core->addAlias("Big", definition(c))) << c;
    core->removeAliasesByPrefix("Big");
}
