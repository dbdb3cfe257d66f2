#include "QiThreadPool.h"

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <system_error>

namespace {

// Set on the pool's workers, and on a caller while it takes bands of its own job: a job started
// from inside a band runs inline.
thread_local bool tInsideJob = false;

} // namespace

bool QiThreadPool::scalarOnly() {
    static const bool scalar = [] {
        const char* e = std::getenv("KB_SCALAR");
        return e && *e && std::strcmp(e, "0") != 0;
    }();
    return scalar;
}

QiThreadPool& QiThreadPool::shared() {
    // Never destroyed: rasters and engines destroyed at exit may still convert a frame.
    static QiThreadPool* pool = [] {
        const unsigned hw = std::thread::hardware_concurrency();
        return new QiThreadPool(hw > 1 ? static_cast<int>(hw) - 1 : 0);
    }();
    return *pool;
}

QiThreadPool::QiThreadPool(int count) : ownerPid(static_cast<long>(getpid())) {
    for (int i = 0; i < count; ++i) {
        try {
            workers.emplace_back([this] { workerLoop(); });
        } catch (const std::system_error&) {
            break; // fewer threads: the caller takes the rest
        }
    }
}

QiThreadPool::~QiThreadPool() {
    {
        std::lock_guard<std::mutex> lock(mx);
        stopping = true;
        stopFlag.store(true, std::memory_order_release);
    }
    wake.notify_all();
    for (std::thread& t : workers)
        t.join();
}

bool QiThreadPool::parallelAllowed() const {
    return !workers.empty() && !tInsideJob && !scalarOnly() &&
           static_cast<long>(getpid()) == ownerPid;
}

namespace {

// A worker that finished a job, and a caller whose bands are done, look for the next step this
// long before they sleep: a frame hands the pool many jobs back to back, and a sleeping thread
// costs a system call to wake.
constexpr auto kSpin = std::chrono::microseconds(50);

inline void relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#else
    std::this_thread::yield();
#endif
}

// Polls done() until it holds or the spin time has passed; true when it holds. Between rounds
// of polls it yields, so on a busy machine the threads with work go first.
template <class Done> bool spinUntil(Done done) {
    const auto until = std::chrono::steady_clock::now() + kSpin;
    for (;;) {
        for (int i = 0; i < 32; ++i) {
            if (done()) return true;
            relax();
        }
        if (std::chrono::steady_clock::now() >= until) return done();
        std::this_thread::yield();
    }
}

} // namespace

void QiThreadPool::run(BandCall fn, void* arg, int64_t begin, int64_t end, int bands) {
    std::unique_lock<std::mutex> submit(submitMx, std::try_to_lock);
    if (!submit.owns_lock()) {
        fn(arg, begin, end); // another thread's job is running: this one runs here
        return;
    }
    bool wakeSleepers;
    {
        std::lock_guard<std::mutex> lock(mx);
        call = fn;
        callArg = arg;
        jobBegin = begin;
        jobEnd = end;
        jobBands = bands;
        nextBand = 0;
        openSlots = bands - 1 < static_cast<int>(workers.size()) ? bands - 1
                                                                 : static_cast<int>(workers.size());
        ++generation;
        published.store(generation, std::memory_order_release);
        wakeSleepers = sleepers > 0;
    }
    if (wakeSleepers) wake.notify_all();
    tInsideJob = true;
    takeBands();
    tInsideJob = false;
    std::unique_lock<std::mutex> lock(mx);
    openSlots = 0; // a worker that has not woken yet stays out of this job
    if (busyWorkers > 0) {
        lock.unlock();
        spinUntil([this] { return busyCount.load(std::memory_order_acquire) == 0; });
        lock.lock();
        callerWaiting = true;
        finished.wait(lock, [this] { return busyWorkers == 0; });
        callerWaiting = false;
    }
    call = nullptr;
    callArg = nullptr;
    std::exception_ptr error = std::move(jobError);
    jobError = nullptr;
    lock.unlock();
    submit.unlock();
    // Every band has ended: the job's function and what it refers to may go.
    if (error) std::rethrow_exception(error);
}

void QiThreadPool::takeBands() {
    for (;;) {
        BandCall fn;
        void* arg;
        int64_t first, last;
        {
            std::lock_guard<std::mutex> lock(mx);
            if (nextBand >= jobBands) return;
            const int b = nextBand++;
            const int64_t length = jobEnd - jobBegin;
            first = jobBegin + length * b / jobBands;
            last = jobBegin + length * (b + 1) / jobBands;
            fn = call;
            arg = callArg;
        }
        try {
            fn(arg, first, last);
        } catch (...) {
            // The job has failed: the bands not yet taken are left out, and
            // the first failure goes to the caller once the running ones end.
            std::lock_guard<std::mutex> lock(mx);
            if (!jobError) jobError = std::current_exception();
            nextBand = jobBands;
        }
    }
}

void QiThreadPool::workerLoop() {
    tInsideJob = true;
    uint64_t seen = 0;
    for (;;) {
        spinUntil([&] {
            return published.load(std::memory_order_acquire) != seen ||
                   stopFlag.load(std::memory_order_acquire);
        });
        std::unique_lock<std::mutex> lock(mx);
        ++sleepers;
        wake.wait(lock, [&] { return stopping || (openSlots > 0 && generation != seen); });
        --sleepers;
        if (stopping) return;
        seen = generation;
        --openSlots;
        ++busyWorkers;
        busyCount.store(busyWorkers, std::memory_order_release);
        lock.unlock();
        takeBands();
        lock.lock();
        --busyWorkers;
        busyCount.store(busyWorkers, std::memory_order_release);
        if (busyWorkers == 0 && callerWaiting) finished.notify_all();
    }
}
