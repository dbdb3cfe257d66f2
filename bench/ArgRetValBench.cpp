#include "QiArgRetVal.h"

#include <benchmark/benchmark.h>

// A request of typical size merged with an alias, as the engine does per command.
static void BM_MergeRequest(benchmark::State& state) {
    QiArgRetVal alias;
    for (int i = 0; i < 30; ++i)
        alias.set(("Option" + std::to_string(i)).c_str(), i);
    for (auto _ : state) {
        QiArgRetVal request;
        request.set("Pattern", "Colorbars");
        request.set("Option3", "7");
        request.merge(alias, false);
        benchmark::DoNotOptimize(request);
    }
}
BENCHMARK(BM_MergeRequest);

static void BM_DoubleWrite(benchmark::State& state) {
    QiArgRetVal m;
    double v = 0.1;
    for (auto _ : state) {
        m.set("Gamma", v);
        v += 0.001;
    }
}
BENCHMARK(BM_DoubleWrite);
