// QiThreadPool: the worker threads that split a frame into bands of rows.
//
// One pool serves the whole process (shared()): the pixel coder and the drawing primitives hand it
// their rows. It is created on first use with std::thread::hardware_concurrency() - 1 workers (the
// calling thread takes a band of every job too) and its threads live as long as the process; no
// thread is started per frame. A job's bands must touch disjoint memory; the call returns when
// every band is done, so whatever the bands wrote is visible to the caller.
//
// A band that throws fails its job: the bands not yet begun are left out, the call still returns
// only when every band that began has ended, and then throws the first band's exception on the
// calling thread. The pool serves the next job as before.
//
// A job runs on the calling thread alone, band after band in order, when the range is shorter than
// two bands, when the pool is busy with another thread's job, when it is called from inside a
// band, in a child process after fork, and when KB_SCALAR is set to anything but "0" (the switch
// that turns every fast path off). The result never depends on which threads ran the bands.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>
#include <type_traits>
#include <vector>

class QiThreadPool {
public:
    // The process's pool (created on first use, never destroyed).
    static QiThreadPool& shared();

    // A pool with `workers` threads besides the caller (for tests; 0 = run everything inline).
    explicit QiThreadPool(int workers);
    // Stops and joins the workers.
    ~QiThreadPool();
    QiThreadPool(const QiThreadPool&) = delete;
    QiThreadPool& operator=(const QiThreadPool&) = delete;

    // Threads that work on one job, the caller included (at least 1).
    int threads() const { return static_cast<int>(workers.size()) + 1; }

    // True when KB_SCALAR is set to anything but "0" (read once): every fast path is off.
    static bool scalarOnly();

    // Calls fn(first, last) for bands that cover [begin, end) in order and without overlap: at
    // most threads() * perThread bands, none shorter than `grain` (at least 1) unless the range
    // is. Threads take bands one after another, so work spread unevenly over the range asks for
    // several bands per thread. Returns when all are done; rethrows the first exception of a band.
    template <class Fn>
    void forBands(int64_t begin, int64_t end, int64_t grain, Fn&& fn, int perThread = 1) {
        if (end <= begin) return;
        if (grain < 1) grain = 1;
        const int64_t length = end - begin;
        int64_t bands = length / grain;
        const int64_t most = static_cast<int64_t>(threads()) * (perThread < 1 ? 1 : perThread);
        if (bands > most) bands = most;
        if (bands < 2 || !parallelAllowed()) {
            fn(begin, end);
            return;
        }
        using F = typename std::remove_reference<Fn>::type;
        run(&callBand<F>, &fn, begin, end, static_cast<int>(bands));
    }

private:
    using BandCall = void (*)(void* fn, int64_t first, int64_t last);
    template <class F> static void callBand(void* fn, int64_t first, int64_t last) {
        (*static_cast<F*>(fn))(first, last);
    }

    // False on a worker, in a forked child and with KB_SCALAR set.
    bool parallelAllowed() const;
    // Runs the job on the workers and the caller; inline when the pool is busy.
    void run(BandCall call, void* fn, int64_t begin, int64_t end, int bands);
    // Takes bands of the current job until none is left.
    void takeBands();
    void workerLoop();

    std::vector<std::thread> workers;
    const long ownerPid; // the process that started the workers

    std::mutex submitMx; // one job at a time; a second caller runs its job inline

    std::mutex mx; // guards everything below but the atomics
    std::condition_variable wake, finished;
    uint64_t generation = 0; // counts jobs; a worker takes part at most once per job
    bool stopping = false;
    int openSlots = 0;   // workers the current job still takes on
    int busyWorkers = 0; // workers inside the current job
    int sleepers = 0;    // workers asleep on `wake`
    bool callerWaiting = false;
    // Copies of generation, busyWorkers and stopping that threads poll before they sleep.
    std::atomic<uint64_t> published{0};
    std::atomic<int> busyCount{0};
    std::atomic<bool> stopFlag{false};
    // The current job.
    BandCall call = nullptr;
    void* callArg = nullptr;
    int64_t jobBegin = 0, jobEnd = 0;
    int jobBands = 0;
    int nextBand = 0;
    std::exception_ptr jobError; // the first exception a band of the current job threw
};
