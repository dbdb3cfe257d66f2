#include "QiOutput.h"

#include "QiCLocale.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <stdio_ext.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <string>

const char* const QiOutput::traceMessages[7] = {
    "Error: ", "Warning: ", "Info: ", "Minutiae: ", "HDMI", "Noise: ", "",
};

QiOutput::QiOutput() = default;
QiOutput::~QiOutput() = default;

bool QiOutput::vtrace(int msgLevel, const char* format, va_list args) {
    if (level < msgLevel) return true;
    if (msgLevel < 0 || msgLevel > 6) return true;
    std::string message;
    if (!qi::vformatC(message, format, args)) return true;
    std::string line(traceMessages[msgLevel]);
    line += message;
    write(line.data(), static_cast<int>(line.size()));
    return true;
}

bool QiOutput::trace(Level msgLevel, const char* format, ...) {
    va_list args;
    va_start(args, format);
    vtrace(msgLevel, format, args);
    va_end(args);
    return true;
}

bool QiOutput::trace(int msgLevel, const char* format, ...) {
    va_list args;
    va_start(args, format);
    vtrace(msgLevel, format, args);
    va_end(args);
    return true;
}

bool QiOutput::redirectStdio() {
    (void)std::freopen("/dev/null", "w", stderr);
    (void)std::freopen("/dev/null", "w", stdout);
    return true;
}

// ---------------------------------------------------------------- StdioOutput

StdioOutput::StdioOutput(FILE* s) : stream(s), ownsStream(false) {}

StdioOutput::StdioOutput(const char* path) {
    stream = path ? std::fopen(path, "wb") : nullptr;
    if (stream) {
        std::setvbuf(stream, nullptr, _IONBF, 0);
        ownsStream = true;
    } else {
        std::fprintf(stderr, "StdioOutput: cannot open '%s' for writing\n", path ? path : "(null)");
    }
}

StdioOutput::~StdioOutput() {
    if (ownsStream && stream) std::fclose(stream);
}

bool StdioOutput::write(const char* text, int length) {
    if (!stream || length < 0) return false;
    if (!__flbf(stream)) {
        std::fwrite(text, 1, static_cast<size_t>(length), stream);
        return true;
    }
    // A line-buffered stream would cut a line longer than the room left in
    // its buffer into several writes, and another writer (a back-end's
    // standard-error line) could land in between. So what others left in
    // the buffer goes first, then the line in one write.
    flockfile(stream);
    std::fflush(stream);
    const int fd = fileno(stream);
    size_t done = 0;
    while (done < static_cast<size_t>(length)) {
        ssize_t n = ::write(fd, text + done, static_cast<size_t>(length) - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    funlockfile(stream);
    return done == static_cast<size_t>(length);
}

// --------------------------------------------------------------- SyslogOutput

SyslogOutput::SyslogOutput() {
    openlog("Marlowtide", 0, LOG_DAEMON);
}
SyslogOutput::~SyslogOutput() = default;

bool SyslogOutput::write(const char* text, int length) {
    // Priority follows the output's own threshold; thresholds past the table's
    // end (6, the default) log at debug priority.
    static const int priorities[6] = {LOG_ERR,   LOG_WARNING, LOG_INFO,
                                      LOG_DEBUG, LOG_DEBUG,   LOG_DEBUG};
    int index = level < 0 ? 0 : (level > 5 ? 5 : level);
    syslog(priorities[index], "%.*s", length < 0 ? 0 : length, text);
    return true;
}

// ------------------------------------------------------------------ UdpOutput

UdpOutput::UdpOutput(const char* host, unsigned short port) {
    level = 6;
    in_addr address{};
    // No destination: every line is dropped rather than sent anywhere.
    if (host && resolve(host, &address)) openTo(address, port);
}

UdpOutput::UdpOutput(const in_addr& address, unsigned short port) {
    level = 6;
    openTo(address, port);
}

void UdpOutput::openTo(const in_addr& address, unsigned short port) {
    socketFd = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (socketFd < 0) {
        std::fputs("Could not create socket. \n", stdout);
        return;
    }
    destination = new sockaddr_in;
    std::memset(destination, 0, sizeof(sockaddr_in));
    destination->sin_family = AF_INET;
    destination->sin_addr = address;
    destination->sin_port = htons(port);
}

bool UdpOutput::resolve(const char* host, in_addr* address, bool numericOnly) {
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    if (numericOnly) hints.ai_flags = AI_NUMERICHOST;
    addrinfo* result = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &result) != 0 || !result) {
        if (result) freeaddrinfo(result);
        return false;
    }
    bool found = false;
    for (addrinfo* ai = result; ai && !found; ai = ai->ai_next) {
        if (ai->ai_family == AF_INET && ai->ai_addrlen >= sizeof(sockaddr_in)) {
            *address = reinterpret_cast<const sockaddr_in*>(ai->ai_addr)->sin_addr;
            found = true;
        }
    }
    freeaddrinfo(result);
    return found;
}

UdpOutput::~UdpOutput() {
    delete destination;
    if (socketFd >= 0) ::close(socketFd);
}

bool UdpOutput::write(const char* text, int length) {
    if (socketFd < 0 || !destination || length < 0) return false;
    ssize_t sent = ::sendto(socketFd, text, static_cast<size_t>(length), 0,
                            reinterpret_cast<const sockaddr*>(destination), sizeof(sockaddr_in));
    return sent >= 0;
}

// ------------------------------------------------------------------- gOutput

namespace {
// Standard output is line-buffered wherever it goes: a person or a log
// collector reading a redirected trace gets each line as it is written, not
// in blocks of a few kilobytes. Set before main, before anything is written.
[[maybe_unused]] const bool sStdoutLineBuffered =
    std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ) == 0;

std::shared_ptr<QiOutput> defaultOutput() {
    // The standard-output default lives for the whole process.
    static std::shared_ptr<QiOutput> out(new StdioOutput(stdout), [](QiOutput*) {});
    return out;
}
} // namespace

std::shared_ptr<QiOutput> QiOutputHolder::current() const {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (current_) return current_;
    }
    return defaultOutput();
}

std::shared_ptr<QiOutput> QiOutputHolder::exchange(std::shared_ptr<QiOutput> next) {
    std::shared_ptr<QiOutput> fallback = defaultOutput();
    std::lock_guard<std::mutex> lock(mutex_);
    std::shared_ptr<QiOutput> previous = current_ ? current_ : fallback;
    current_ = next ? std::move(next) : fallback;
    return previous;
}

QiOutputHolder gOutput;
