// Every built-in pattern through the engine: from asyncSetGen to the frame
// handed to the device, one benchmark per (pattern variant, size, layout,
// back-end). Back-ends: the AJA raster on its simulated card (the upload by
// DMA is counted) and the memory raster of the tests. Sizes 1920 x 1080 and
// 3840 x 2160; layouts v210 ("YCbCr_10") and 10-bit RGB ("RGB_10").
//
// Each benchmark reports the median of its iterations (median_ms), the
// processor time of all threads per frame (cpu_ms), the resident memory after
// its run (rss_MB) and the process's peak so far (peak_MB). A table of the medians and the peak
// resident memory of each back-end at 3840 x 2160 follow the benchmark lines.
//
//   build/default/bin/bench_patterns                          # everything
//   build/default/bin/bench_patterns --benchmark_filter=3840  # UHD only
#include "AjaStubControl.h"
#include "KonaRaster.h"
#include "MemoryRaster.h"
#include "MtCore.h"
#include "QiOutput.h"

#include "TestSupport.h"

#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using Args = std::vector<std::pair<std::string, std::string>>;

// One pattern with its arguments. A changing variant adds arguments that change
// every iteration: a new window colour, as a calibration run sends patch after
// patch, or another colour space, so the chart is computed afresh every time.
struct Variant {
    std::string label;
    Args args;
    std::function<Args(unsigned step)> change;
};

Args windowLevel(unsigned step) {
    // Levels 64 .. 940 in an order that never repeats the previous one.
    const std::string level = std::to_string(64 + (step * 97) % 877);
    return {{"Color_Red", level}, {"Color_Green", level}, {"Color_Blue", level}};
}

Args otherSpace(unsigned step) {
    return {{"RgbSpace", step % 2 ? "Rec601" : "Rec709"}};
}

std::vector<Variant> variants() {
    std::vector<Variant> v;
    // Default options, in registration order.
    for (const char* name :
         {"About",        "CCRA_L20C100", "IDMS",      "BT.815",      "Brightness",
          "Checkerboard", "Chromaticity", "Color",     "Colorbars",   "Contrast",
          "Geometry",     "Gradient",     "Sharpness", "VerticalBar", "Window",
          "ZonePlate",    "Resolution",   "ImageFile", "Sine",        "SectorStar"})
        v.push_back({name, {{"Pattern", name}}, nullptr});
    // The heavy variants.
    v.push_back({"SectorStar.360", {{"Pattern", "SectorStar"}, {"Divisions", "360"}}, nullptr});
    v.push_back({"SectorStar.Sine360",
                 {{"Pattern", "SectorStar"}, {"Divisions", "360"}, {"Style", "Sine"}},
                 nullptr});
    for (const char* style : {"shaded", "constrained", "full"})
        v.push_back({std::string("Chromaticity.") + style,
                     {{"Pattern", "Chromaticity"}, {"Style", style}},
                     nullptr});
    // The chart computed every time: the chart of the last render is kept, so the colour space
    // alternates.
    v.push_back({"Chromaticity.fresh", {{"Pattern", "Chromaticity"}}, otherSpace});
    // The calibration patch: a window of 10 % of the screen, a new level each time.
    v.push_back({"Window.10", {{"Pattern", "Window"}, {"Size", "10"}}, windowLevel});
    return v;
}

struct Size {
    int width, height;
    const char* ajaFormat;
    const char* memoryFormat;
};
const Size kSizes[] = {{1920, 1080, "1080p 30.00", "1080p"},
                       {3840, 2160, "4x1920x1080p 24.00", "2160p"}};

struct Layout {
    const char* label;
    const char* outputColor;
    QiImageCoder::PixelFormat format;
};
const Layout kLayouts[] = {{"v210", "YCbCr_10", QiImageCoder::YCbCr_10},
                           {"RGB10", "RGB_10", QiImageCoder::RGB_10}};

enum class Backend { Aja, Memory };
const char* backendName(Backend b) {
    return b == Backend::Aja ? "Aja" : "Memory";
}

// The engine on one back-end. One engine exists per process, so switching the
// back-end ends the previous engine first.
class Rig {
public:
    static Rig& on(Backend b) {
        static std::unique_ptr<Rig> rig;
        if (!rig || rig->backend != b) {
            rig.reset();
            rig.reset(new Rig(b));
        }
        return *rig;
    }

    ~Rig() {
        core.reset();
        raster.reset();
        gOutput.exchange(previous);
    }

    // Sends one request and waits until its frame has reached the device.
    void run(const Args& args) {
        QiArgRetVal request;
        for (const auto& kv : args)
            request.set(kv.first.c_str(), kv.second.c_str());
        bool result = false;
        core->waitForPattern(result, core->asyncSetGen(request));
    }

    QiRaster* rasterPtr() { return raster.get(); }

private:
    explicit Rig(Backend b) : backend(b) {
        previous = gOutput.exchange(std::make_shared<testsupport::NullOutput>());
        if (b == Backend::Aja) {
            unsetenv("KB_AJASTUB_NO_CARD");
            ajastub::resetCard();
            auto* kona = new KonaRaster(true);
            if (!kona->init()) std::fprintf(stderr, "bench_patterns: the simulated card failed\n");
            raster.reset(kona);
        } else {
            testsupport::MemoryRasterConfig c;
            c.formats = {{"1080p", 1920, 1080}, {"2160p", 3840, 2160}};
            // The engine starts out believing in v210 and applies only changes: the raster
            // starts there too.
            c.pixelFormat = QiImageCoder::YCbCr_10;
            c.keepShown = 0;
            raster.reset(new testsupport::MemoryRaster(c));
        }
        core = std::make_unique<MtCore>(raster.get(), nullptr, testsupport::dataFolder().c_str());
    }

    Backend backend;
    std::shared_ptr<QiOutput> previous;
    std::unique_ptr<QiRaster> raster;
    std::unique_ptr<MtCore> core;
};

double residentMB() {
    long pages = 0, resident = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / 1048576.0;
}

// Processor time of the whole process (every thread), in milliseconds.
double cpuMs() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    auto ms = [](const timeval& t) { return t.tv_sec * 1000.0 + t.tv_usec / 1000.0; };
    return ms(u.ru_utime) + ms(u.ru_stime);
}

double peakMB() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_maxrss) / 1024.0; // kilobytes on Linux
}

struct Result {
    std::string variant, size, layout, backend;
    double medianMs;
};
std::vector<Result>& results() {
    static std::vector<Result> r;
    return r;
}
std::map<std::string, double>& uhdPeak() {
    static std::map<std::string, double> p;
    return p;
}

void runPattern(benchmark::State& state, Backend backend, Size size, Layout layout,
                Variant variant) {
    Rig& rig = Rig::on(backend);
    rig.run({{"VideoFormat", backend == Backend::Aja ? size.ajaFormat : size.memoryFormat},
             {"OutputColor", layout.outputColor}});
    if (rig.rasterPtr()->getWidth() != size.width || rig.rasterPtr()->getHeight() != size.height ||
        rig.rasterPtr()->getOutputPixelFormat() != layout.format) {
        state.SkipWithError("the raster did not take the size or the layout");
        return;
    }
    Args args;
    unsigned step = 0;
    auto next = [&] {
        args = variant.args;
        if (variant.change)
            for (const auto& kv : variant.change(step++))
                args.push_back(kv);
    };
    next();
    rig.run(args); // first render: caches and buffers settle outside the timing

    std::vector<double> ms;
    const double cpu0 = cpuMs();
    for (auto _ : state) {
        next();
        const auto t0 = std::chrono::steady_clock::now();
        rig.run(args);
        const std::chrono::duration<double> d = std::chrono::steady_clock::now() - t0;
        state.SetIterationTime(d.count());
        ms.push_back(d.count() * 1000.0);
    }
    std::sort(ms.begin(), ms.end());
    const size_t n = ms.size();
    const double median = n == 0 ? 0.0 : (n % 2 ? ms[n / 2] : (ms[n / 2 - 1] + ms[n / 2]) / 2.0);
    state.counters["median_ms"] = median;
    // All threads' processor time per frame: the work done, whatever else runs on the machine.
    state.counters["cpu_ms"] = n == 0 ? 0.0 : (cpuMs() - cpu0) / static_cast<double>(n);
    state.counters["rss_MB"] = residentMB();
    state.counters["peak_MB"] = peakMB();
    const std::string sizeText = std::to_string(size.width) + "x" + std::to_string(size.height);
    results().push_back({variant.label, sizeText, layout.label, backendName(backend), median});
    if (size.width == 3840) {
        double& p = uhdPeak()[backendName(backend)];
        p = std::max(p, residentMB());
    }
}

void printTable(FILE* out) {
    if (results().empty()) return;
    // Columns: back-end / size / layout, in the order run; rows: variants.
    std::vector<std::string> columns, rows;
    std::map<std::pair<std::string, std::string>, double> cell;
    for (const Result& r : results()) {
        std::string col = r.backend + " " + r.size + " " + r.layout;
        if (std::find(columns.begin(), columns.end(), col) == columns.end()) columns.push_back(col);
        if (std::find(rows.begin(), rows.end(), r.variant) == rows.end()) rows.push_back(r.variant);
        cell[{r.variant, col}] = r.medianMs;
    }
    std::fprintf(out, "\nMedian ms from asyncSetGen to the frame handed to the device\n");
    std::fprintf(out, "%-22s", "pattern");
    for (const std::string& c : columns)
        std::fprintf(out, " %22s", c.c_str());
    std::fprintf(out, "\n");
    for (const std::string& r : rows) {
        std::fprintf(out, "%-22s", r.c_str());
        for (const std::string& c : columns) {
            auto it = cell.find({r, c});
            if (it == cell.end())
                std::fprintf(out, " %22s", "-");
            else
                std::fprintf(out, " %22.2f", it->second);
        }
        std::fprintf(out, "\n");
    }
    for (const auto& p : uhdPeak())
        std::fprintf(out,
                     "resident memory at 3840x2160, %s back-end: at most %.0f MB after a run\n",
                     p.first.c_str(), p.second);
    std::fprintf(out, "peak resident memory of the process: %.0f MB (threads: %u)\n", peakMB(),
                 std::thread::hardware_concurrency());
}

} // namespace

int main(int argc, char** argv) {
    // The table follows the console output; with a machine-readable format it goes to stderr.
    FILE* tableOut = stdout;
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], "--benchmark_format=", 19) == 0 &&
            std::strcmp(argv[i] + 19, "console") != 0)
            tableOut = stderr;
    for (Backend backend : {Backend::Aja, Backend::Memory})
        for (const Size& size : kSizes)
            for (const Layout& layout : kLayouts)
                for (const Variant& v : variants()) {
                    const std::string name = v.label + "/" + std::to_string(size.width) + "x" +
                                             std::to_string(size.height) + "/" + layout.label +
                                             "/" + backendName(backend);
                    benchmark::RegisterBenchmark(name.c_str(), runPattern, backend, size, layout, v)
                        ->Unit(benchmark::kMillisecond)
                        ->UseManualTime()
                        ->MinTime(0.5);
                }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    printTable(tableOut);
    return 0;
}
