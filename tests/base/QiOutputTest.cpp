#include "QiOutput.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <stdio_ext.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

using testsupport::CaptureOutput;

TEST(QiOutput, PrefixesPerLevelByteForByte) {
    CaptureOutput out;
    const char* expected[7] = {"Error: x\n", "Warning: x\n", "Info: x\n", "Minutiae: x\n",
                               "HDMIx\n",    "Noise: x\n",   "x\n"};
    for (int l = 0; l <= 6; ++l)
        EXPECT_TRUE(out.trace(l, "%s\n", "x"));
    auto lines = out.take();
    ASSERT_EQ(lines.size(), 7u);
    for (int l = 0; l <= 6; ++l)
        EXPECT_EQ(lines[l], expected[l]) << "level " << l;
}

TEST(QiOutput, LineIsExactlyPrefixPlusMessage) {
    CaptureOutput out;
    out.trace(QiOutput::Error, "%s", "");
    out.trace(QiOutput::Hdmi, "no newline");
    auto lines = out.take();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], std::string("Error: "));
    EXPECT_EQ(lines[0].size(), 7u);
    EXPECT_EQ(lines[1], "HDMIno newline");
}

TEST(QiOutput, ThresholdAndLevelsOutsideTheTable) {
    CaptureOutput out;
    EXPECT_EQ(out.level, 6);
    EXPECT_TRUE(out.trace(7, "too quiet\n"));
    EXPECT_TRUE(out.trace(-1, "negative\n"));
    out.level = 2;
    out.trace(QiOutput::Minutiae, "filtered\n");
    out.trace(QiOutput::Info, "kept\n");
    auto lines = out.take();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "Info: kept\n");
}

TEST(QiOutput, FailingFormatWritesNothing) {
    CaptureOutput out;
    // A wide character the C locale cannot encode makes the formatter fail.
    wchar_t euro = 0x20AC;
    EXPECT_TRUE(out.trace(2, "%lc\n", static_cast<wint_t>(euro)));
    EXPECT_TRUE(out.take().empty());
}

TEST(QiOutput, LongLinesAreWrittenWhole) {
    CaptureOutput out;
    std::string big(5000, 'a');
    out.trace(QiOutput::Plain, "%s|\n", big.c_str());
    auto lines = out.take();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], big + "|\n");
}

TEST(StdioOutput, FileByPathIsUnbufferedAndOwned) {
    char path[] = "/tmp/kb-trace-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    {
        StdioOutput out(path);
        ASSERT_TRUE(out.ownsStream);
        out.trace(QiOutput::Warning, "value %d\n", 42);
        std::ifstream in(path); // visible before the output is closed
        std::stringstream ss;
        ss << in.rdbuf();
        EXPECT_EQ(ss.str(), "Warning: value 42\n");
    }
    unlink(path);
}

TEST(StdioOutput, StandardOutputIsLineBuffered) {
    // Wherever it goes (a file, a pipe): readers get each line as it is made.
    EXPECT_NE(__flbf(stdout), 0);
}

TEST(StdioOutput, LineBufferedStreamWritesEachLineInOneCall) {
    // Every write on a packet socket is one packet: the packets are the
    // calls, and a line cut over several could be split by another writer.
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds), 0);
    FILE* stream = fdopen(fds[0], "w");
    ASSERT_NE(stream, nullptr);
    std::setvbuf(stream, nullptr, _IOLBF, BUFSIZ);
    const std::string big(3 * BUFSIZ, 'a'); // longer than the buffer
    {
        StdioOutput out(stream);
        std::fputs("unfinished text, ", stream); // another writer's, waiting in the buffer
        out.trace(QiOutput::Plain, "%s|\n", big.c_str());
        out.trace(QiOutput::Info, "short\n");
    }
    std::fclose(stream);
    std::vector<std::string> packets;
    std::vector<char> buffer(1 << 16);
    for (ssize_t n; (n = recv(fds[1], buffer.data(), buffer.size(), MSG_DONTWAIT)) > 0;)
        packets.emplace_back(buffer.data(), static_cast<size_t>(n));
    close(fds[1]);
    EXPECT_EQ(packets,
              std::vector<std::string>({"unfinished text, ", big + "|\n", "Info: short\n"}));
}

TEST(StdioOutput, UnopenablePathDropsLines) {
    StdioOutput out("/nonexistent-folder/trace.txt");
    EXPECT_FALSE(out.ownsStream);
    EXPECT_FALSE(out.write("x", 1));
    EXPECT_TRUE(out.trace(0, "still fine\n"));
}

TEST(SyslogOutput, EveryThresholdIsSafe) {
    SyslogOutput out;
    for (int t = 0; t <= 6; ++t) {
        out.level = t;
        EXPECT_TRUE(out.write("kettlebright test line", 22));
    }
}

namespace {
// A UDP socket bound to an ephemeral loopback port, with a receive timeout.
struct LoopbackReceiver {
    LoopbackReceiver() {
        fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t len = sizeof a;
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
        timeval tv{2, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    ~LoopbackReceiver() { close(fd); }
    std::string receive() {
        char buf[65536];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        return n < 0 ? std::string("<timeout>") : std::string(buf, static_cast<size_t>(n));
    }
    int fd;
    unsigned short port;
};
} // namespace

TEST(UdpOutput, OneDatagramPerLineEqualToTheLine) {
    LoopbackReceiver rx;
    UdpOutput out("127.0.0.1", rx.port);
    ASSERT_TRUE(out.hasDestination());
    out.trace(QiOutput::Info, "%s: frame %d\n", "render", 7);
    out.trace(QiOutput::Hdmi, "no newline");
    out.trace(QiOutput::Error, "%s", "");
    EXPECT_EQ(rx.receive(), "Info: render: frame 7\n");
    EXPECT_EQ(rx.receive(), "HDMIno newline");
    std::string empty = rx.receive();
    EXPECT_EQ(empty, std::string("Error: "));
    EXPECT_EQ(empty.size(), 7u); // no NUL on the wire
}

TEST(UdpOutput, HostThatDoesNotResolveSendsNothing) {
    UdpOutput out("no-such-host.invalid", 5112);
    EXPECT_FALSE(out.hasDestination());
    EXPECT_FALSE(out.write("x\n", 2));
    EXPECT_TRUE(out.trace(0, "dropped\n"));
}

TEST(GlobalOutput, ExchangeReturnsThePreviousOutput) {
    auto capture = std::make_shared<CaptureOutput>();
    auto previous = gOutput.exchange(capture);
    ASSERT_TRUE(previous);
    gOutput->trace(QiOutput::Info, "through the global\n");
    EXPECT_EQ(gOutput.current().get(), capture.get());
    auto back = gOutput.exchange(previous);
    EXPECT_EQ(back.get(), capture.get());
    auto lines = capture->take();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "Info: through the global\n");
    // Null puts the default standard-output sink back.
    auto mine = gOutput.exchange(nullptr);
    EXPECT_TRUE(gOutput.current());
    gOutput.exchange(mine);
}

TEST(GlobalOutput, ReplacingWhileOtherThreadsTraceIsSafe) {
    auto keep = gOutput.exchange(std::make_shared<CaptureOutput>());
    std::atomic<bool> stop{false};
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([&stop, t] {
            for (int i = 0; i < 2000 && !stop; ++i)
                gOutput->trace(QiOutput::Noise, "t%d %d\n", t, i);
        });
    }
    for (int i = 0; i < 500; ++i) {
        // Each replaced output is destroyed as soon as no thread writes through it.
        gOutput.exchange(std::make_shared<CaptureOutput>());
    }
    stop = true;
    for (auto& w : writers)
        w.join();
    gOutput.exchange(keep);
}
