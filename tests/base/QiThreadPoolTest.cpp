#include "QiThreadPool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

namespace {

using Band = std::pair<int64_t, int64_t>;

// The bands of one job, in the order of their first row.
std::vector<Band> bandsOf(QiThreadPool& pool, int64_t begin, int64_t end, int64_t grain,
                          int perThread) {
    std::mutex m;
    std::vector<Band> bands;
    pool.forBands(
        begin, end, grain,
        [&](int64_t first, int64_t last) {
            std::lock_guard<std::mutex> lock(m);
            bands.emplace_back(first, last);
        },
        perThread);
    std::sort(bands.begin(), bands.end());
    return bands;
}

// One band per thread of the pool, each waiting until all have begun, so that every thread takes
// exactly one. Then the band on the calling thread, or each band on a worker, throws, and the
// others write into this frame's locals: had the call returned before they ended, they would write
// into a stack that is gone. `ended` counts the bands that ended, thrown or not.
void failingJob(QiThreadPool& pool, bool throwOnCaller, std::atomic<int>& ended) {
    const std::thread::id caller = std::this_thread::get_id();
    const int threads = pool.threads();
    std::mutex m;
    std::condition_variable allBegun;
    int begun = 0;
    std::vector<int64_t> cells(static_cast<size_t>(threads), 0);
    pool.forBands(0, threads, 1, [&](int64_t first, int64_t last) {
        if (last - first != 1) {
            ADD_FAILURE() << "the job ran on the calling thread alone";
            return;
        }
        {
            std::unique_lock<std::mutex> lock(m);
            if (++begun == threads) allBegun.notify_all();
            allBegun.wait(lock, [&] { return begun == threads; });
        }
        if ((std::this_thread::get_id() == caller) == throwOnCaller) {
            ++ended;
            throw std::runtime_error("band failed");
        }
        std::this_thread::yield();
        for (int64_t i = first; i < last; ++i)
            cells[static_cast<size_t>(i)] = i;
        ++ended;
    });
}

} // namespace

TEST(QiThreadPool, BandsCoverTheRangeOnceAndKeepTheirGrain) {
    struct Case {
        int workers;
        int64_t begin, end, grain;
        int perThread;
        size_t bands; // expected count
    };
    const Case cases[] = {
        {0, 0, 100, 1, 1, 1},    {3, 0, 100, 1, 1, 4},   {3, 5, 105, 30, 1, 3},
        {3, 0, 7, 4, 1, 1},      {3, 0, 0, 1, 1, 0},     {3, 9, 3, 1, 1, 0},
        {1, -50, 50, 0, 0, 2},   {7, 0, 2160, 4, 1, 8},  {2, 0, 1, 1, 1, 1},
        {5, 0, 1000, 999, 1, 1}, {7, 0, 2160, 8, 8, 64}, {3, 0, 100, 10, 8, 10},
        {0, 0, 100, 1, 8, 1},
    };
    for (const Case& c : cases) {
        QiThreadPool pool(c.workers);
        EXPECT_EQ(c.workers + 1, pool.threads());
        for (int round = 0; round < 3; ++round) { // the same workers, job after job
            const std::vector<Band> bands = bandsOf(pool, c.begin, c.end, c.grain, c.perThread);
            ASSERT_EQ(c.bands, bands.size()) << c.workers << " " << c.begin << ".." << c.end;
            int64_t next = c.begin;
            for (const Band& b : bands) {
                EXPECT_EQ(next, b.first);
                EXPECT_LT(b.first, b.second);
                if (bands.size() > 1) {
                    EXPECT_GE(b.second - b.first, c.grain);
                }
                next = b.second;
            }
            if (!bands.empty()) {
                EXPECT_EQ(c.end, next);
            }
        }
    }
}

TEST(QiThreadPool, NestedAndConcurrentJobsComplete) {
    QiThreadPool pool(3);
    // A job started from inside a band runs inline on that band's thread.
    std::atomic<int64_t> sum{0};
    pool.forBands(0, 8, 1, [&](int64_t first, int64_t last) {
        for (int64_t i = first; i < last; ++i)
            pool.forBands(0, 100, 1, [&](int64_t a, int64_t b) {
                for (int64_t j = a; j < b; ++j)
                    sum += j;
            });
    });
    EXPECT_EQ(8 * 4950, sum.load());

    // Several threads at once: each job is done exactly, wherever its bands ran.
    std::vector<std::thread> callers;
    std::vector<int64_t> totals(4, 0);
    for (int t = 0; t < 4; ++t)
        callers.emplace_back([&, t] {
            for (int round = 0; round < 50; ++round) {
                std::vector<int64_t> cells(1000, 0);
                pool.forBands(0, 1000, 10, [&](int64_t first, int64_t last) {
                    for (int64_t i = first; i < last; ++i)
                        cells[static_cast<size_t>(i)] += i;
                });
                for (int64_t v : cells)
                    totals[static_cast<size_t>(t)] += v;
            }
        });
    for (std::thread& c : callers)
        c.join();
    for (int64_t v : totals)
        EXPECT_EQ(50 * 499500, v);
}

// A band that throws, on the calling thread or on a worker, fails its job: the call returns only
// when every band has ended and then throws on the calling thread; the pool, and the thread,
// take the next job as before.
TEST(QiThreadPool, BandThatThrowsFailsItsJobOnceEveryBandEnded) {
    if (QiThreadPool::scalarOnly()) GTEST_SKIP() << "KB_SCALAR runs every job on the caller";
    QiThreadPool pool(3);
    for (bool onCaller : {true, false}) { // the second job needs this thread to share it again
        SCOPED_TRACE(onCaller ? "on the calling thread" : "on a worker");
        std::atomic<int> ended{0};
        bool caught = false;
        try {
            failingJob(pool, onCaller, ended);
        } catch (const std::runtime_error& e) {
            caught = true;
            EXPECT_STREQ("band failed", e.what());
            EXPECT_EQ(pool.threads(), ended.load());
        }
        EXPECT_TRUE(caught);
    }
    const std::vector<Band> after = bandsOf(pool, 0, 100, 1, 1);
    ASSERT_EQ(4u, after.size());
    EXPECT_EQ(Band(0, 25), after.front());
    EXPECT_EQ(Band(75, 100), after.back());
}

TEST(QiThreadPool, SharedPoolHasAThreadPerCore) {
    const unsigned hw = std::thread::hardware_concurrency();
    EXPECT_EQ(hw > 1 ? static_cast<int>(hw) : 1, QiThreadPool::shared().threads());
    EXPECT_EQ(&QiThreadPool::shared(), &QiThreadPool::shared());
}
