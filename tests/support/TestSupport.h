// Helpers shared by the test programs.
#pragma once

#include "QiOutput.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <clocale>
#include <memory>
#include <mutex>
#include <string>
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

} // namespace testsupport
