// SetGen round trips from one client over loopback: calls per second and the
// median latency of one call. The engine runs on a memory raster; the request
// names no pattern, so the render thread only applies generator options.
#include "MemoryRaster.h"
#include "MtCore.h"
#include "MtcXmlRpcIo.h"
#include "QiOutput.h"

#include "TestSupport.h"

#include <benchmark/benchmark.h>
#include <xmlrpcpp/XmlRpc.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

namespace {

void BM_SetGenRoundTrip(benchmark::State& state) {
    auto previous = gOutput.exchange(std::make_shared<testsupport::NullOutput>());
    testsupport::MemoryRasterConfig config;
    config.formats = {{"720p50", 1280, 720}};
    testsupport::MemoryRaster raster(config);
    MtCore core(&raster, nullptr, nullptr);
    const int port = testsupport::freeLoopbackPort();
    MtcXmlRpcIo io(&core, nullptr, port);
    io.serve();

    XmlRpc::XmlRpcClient client("127.0.0.1", port);
    XmlRpc::XmlRpcValue params, result;
    params[0]["BenchKey"] = "1";
    // The server thread binds asynchronously: wait for the first answer.
    for (int i = 0; i < 200 && !client.execute("SetGen", params, result); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));

    std::vector<double> micros;
    micros.reserve(1 << 16);
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        bool ok = client.execute("SetGen", params, result);
        auto t1 = std::chrono::steady_clock::now();
        if (!ok || client.isFault()) {
            state.SkipWithError("SetGen failed");
            break;
        }
        micros.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    }
    if (!micros.empty()) {
        std::nth_element(micros.begin(), micros.begin() + micros.size() / 2, micros.end());
        state.counters["median_us"] = micros[micros.size() / 2];
    }
    state.counters["calls_per_s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    client.close();
    gOutput.exchange(previous);
}
BENCHMARK(BM_SetGenRoundTrip)->UseRealTime()->Iterations(20000);

} // namespace
