// Process-wide trace output.
//
// Every subsystem writes its diagnostic lines through the global `gOutput`:
//
//     gOutput->trace(QiOutput::Info, "%s: pattern %s\n", __func__, name);
//
// A line is the level's prefix followed directly by the formatted text; the
// caller supplies the trailing newline. The concrete output writes each line in
// one call (one fwrite, one syslog call, one datagram), so lines of different
// threads never interleave within a line. Numbers are formatted in the C locale.
#pragma once

#include <netinet/in.h>

#include <cstdio>
#include <memory>
#include <mutex>

// Abstract trace sink with a level threshold (6: every level is written).
class QiOutput {
public:
    enum Level { Error = 0, Warning = 1, Info = 2, Minutiae = 3, Hdmi = 4, Noise = 5, Plain = 6 };

    QiOutput();
    virtual ~QiOutput();

    // Writes one finished line of exactly `length` bytes (no terminating NUL).
    virtual bool write(const char* text, int length) = 0;

    // Formats and writes one line when the threshold admits `level`. Always
    // returns true; a failing format or a level outside 0..6 writes nothing.
    bool trace(Level level, const char* format, ...) __attribute__((format(printf, 3, 4)));
    bool trace(int level, const char* format, ...) __attribute__((format(printf, 3, 4)));

    // Reopens standard error, then standard output, on /dev/null.
    static bool redirectStdio();

    int level = 6;

    // The prefixes of levels 0..6, byte for byte.
    static const char* const traceMessages[7];

private:
    bool vtrace(int level, const char* format, va_list args);
};

// Writes lines to a stdio stream.
class StdioOutput : public QiOutput {
public:
    explicit StdioOutput(FILE* stream);     // not owned
    explicit StdioOutput(const char* path); // opened "wb", unbuffered, owned
    ~StdioOutput() override;
    bool write(const char* text, int length) override;

    FILE* stream = nullptr;
    bool ownsStream = false;
};

// Writes lines to the system log (identifier "Marlowtide", facility LOG_DAEMON).
class SyslogOutput : public QiOutput {
public:
    SyslogOutput();
    ~SyslogOutput() override;
    bool write(const char* text, int length) override;
};

// Sends each line as one UDP datagram to a host and port.
class UdpOutput : public QiOutput {
public:
    UdpOutput(const char* host, unsigned short port);
    // To an address already looked up (see resolve()).
    UdpOutput(const in_addr& address, unsigned short port);
    ~UdpOutput() override;
    // Looks `host` up as an IPv4 address (a name or dotted text); with
    // `numericOnly` only dotted text is taken, so the call never waits on a
    // name server. False when it does not resolve.
    static bool resolve(const char* host, in_addr* address, bool numericOnly = false);
    bool write(const char* text, int length) override;

    // True when the host resolved to an IPv4 address and the socket exists.
    bool hasDestination() const { return destination != nullptr; }

    int socketFd = -1;
    sockaddr_in* destination = nullptr; // null when the host did not resolve

private:
    void openTo(const in_addr& address, unsigned short port);
};

// The holder behind `gOutput`. `gOutput->trace(...)` pins the current output
// for the duration of the call, so replacing the output while other threads
// trace never frees an object that is still being written through.
class QiOutputHolder {
public:
    class Pin {
    public:
        explicit Pin(std::shared_ptr<QiOutput> p) : p_(std::move(p)) {}
        QiOutput* operator->() const { return p_.get(); }
        QiOutput& operator*() const { return *p_; }

    private:
        std::shared_ptr<QiOutput> p_;
    };

    constexpr QiOutputHolder() = default;
    QiOutputHolder(const QiOutputHolder&) = delete;
    QiOutputHolder& operator=(const QiOutputHolder&) = delete;

    Pin operator->() const { return Pin(current()); }

    // The output in use (the default standard-output one when none was set).
    std::shared_ptr<QiOutput> current() const;

    // Installs `next` (null = the default standard-output one) and returns the
    // output it replaces; that one is destroyed when its last user lets go.
    std::shared_ptr<QiOutput> exchange(std::shared_ptr<QiOutput> next);

private:
    mutable std::mutex mutex_;
    std::shared_ptr<QiOutput> current_;
};

extern QiOutputHolder gOutput;
