// Helpers shared by the test programs.
#pragma once

#include "QiOutput.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <clocale>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

// The folder of the running test executable ("" when it cannot be read).
inline std::string exeFolder() {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    std::string exe(buf, n > 0 ? static_cast<size_t>(n) : 0);
    return exe.substr(0, exe.rfind('/'));
}

// The data folder with the fonts that the build puts beside the executables.
inline std::string dataFolder() {
    return exeFolder() + "/mtdata";
}

// A port on 127.0.0.1 that was free a moment ago (0 when none could be had):
// TCP by default, UDP with SOCK_DGRAM.
inline int freeLoopbackPort(int type = SOCK_STREAM) {
    int fd = socket(AF_INET, type, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    close(fd);
    return port;
}

// Drops every trace line.
class NullOutput : public QiOutput {
public:
    bool write(const char*, int) override { return true; }
};

// Collects every trace line in memory.
class CaptureOutput : public QiOutput {
public:
    bool write(const char* text, int length) override {
        std::lock_guard<std::mutex> lock(mutex);
        lines.emplace_back(text, static_cast<size_t>(length));
        return true;
    }
    std::vector<std::string> take() {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<std::string> out;
        out.swap(lines);
        return out;
    }
    std::mutex mutex;
    std::vector<std::string> lines;
};

// Installs a CaptureOutput as gOutput for the lifetime of the object.
class ScopedCapture {
public:
    ScopedCapture() : out(std::make_shared<CaptureOutput>()) { previous = gOutput.exchange(out); }
    ~ScopedCapture() { gOutput.exchange(previous); }
    std::shared_ptr<CaptureOutput> out;

private:
    std::shared_ptr<QiOutput> previous;
};

// Switches the process to a decimal-comma locale for the lifetime of the
// object; `ok` is false when the machine has none.
class ScopedCommaLocale {
public:
    ScopedCommaLocale() {
        saved = std::setlocale(LC_ALL, nullptr);
        for (const char* name :
             {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8", "de_DE"}) {
            if (std::setlocale(LC_ALL, name)) {
                ok = std::localeconv()->decimal_point[0] == ',';
                if (ok) return;
            }
        }
        std::setlocale(LC_ALL, saved.c_str());
    }
    ~ScopedCommaLocale() { std::setlocale(LC_ALL, saved.c_str()); }
    bool ok = false;

private:
    std::string saved;
};

// A FIFO at `path` that the code under test must never wait on. Should anyone
// still wait on it `limit` after the watch began, the watch opens the FIFO for
// writing and closes it again, which releases the reader (from a blocked open
// or read alike), and keeps doing so until the watch ends; `stop` then tells
// that it had to. The FIFO is removed when the watch goes.
class FifoWatch {
public:
    explicit FifoWatch(std::string fifo, std::chrono::milliseconds limit = std::chrono::seconds(5))
        : path(std::move(fifo)) {
        made = ::mkfifo(path.c_str(), 0600) == 0;
        thread = std::thread([this, limit] { watch(limit); });
    }
    ~FifoWatch() {
        stop();
        ::unlink(path.c_str());
    }
    FifoWatch(const FifoWatch&) = delete;
    FifoWatch& operator=(const FifoWatch&) = delete;

    // Ends the watch; true when a reader was waiting and had to be released.
    bool stop() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            done = true;
        }
        cv.notify_all();
        if (thread.joinable()) thread.join();
        return released;
    }

    const std::string path;
    bool made = false;

private:
    void watch(std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> lock(mutex);
        if (cv.wait_for(lock, limit, [this] { return done; })) return;
        while (!done) {
            // Succeeds only while a reader has the FIFO open (or waits to).
            int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0) {
                ::close(fd);
                released = true;
            }
            cv.wait_for(lock, std::chrono::milliseconds(20), [this] { return done; });
        }
    }

    std::mutex mutex;
    std::condition_variable cv;
    bool done = false, released = false;
    std::thread thread;
};

} // namespace testsupport
