// Discovery over loopback: every datagram here goes to 127.0.0.1, and every
// port is one the system picked, so a generator running on this machine is
// neither disturbed nor heard.
#include "BcServiceRequestor.h"
#include "BcServiceResponder.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <deque>
#include <optional>
#include <thread>
#include <vector>

namespace {

typedef std::vector<uint8_t> Bytes;

// A UDP socket bound to 127.0.0.1 that sends only to 127.0.0.1.
class LoopbackSocket {
public:
    explicit LoopbackSocket(unsigned short wanted = 0) {
        fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in local = loopback(wanted);
        bound = ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0;
        socklen_t length = sizeof local;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
        port = ntohs(local.sin_port);
    }
    ~LoopbackSocket() { ::close(fd); }

    static sockaddr_in loopback(unsigned short port) {
        sockaddr_in a;
        std::memset(&a, 0, sizeof a);
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port);
        return a;
    }

    void sendTo(unsigned short to, const Bytes& data) const {
        sockaddr_in a = loopback(to);
        ASSERT_EQ(
            ::sendto(fd, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a),
            static_cast<ssize_t>(data.size()));
    }

    // The next datagram within `ms` milliseconds, with its sender.
    std::optional<Bytes> receive(int ms, sockaddr_in* from = nullptr) const {
        pollfd p = {fd, POLLIN, 0};
        if (::poll(&p, 1, ms) <= 0) return std::nullopt;
        Bytes data(2048);
        sockaddr_in sender;
        socklen_t length = sizeof sender;
        ssize_t n = ::recvfrom(fd, data.data(), data.size(), 0,
                               reinterpret_cast<sockaddr*>(&sender), &length);
        if (n < 0) return std::nullopt;
        data.resize(static_cast<size_t>(n));
        if (from) *from = sender;
        return data;
    }

    int fd = -1;
    bool bound = false;
    unsigned short port = 0;
};

// A port that was free a moment ago (for the one exchange where both sides
// need to know the other's port before either starts).
unsigned short freePort() {
    return LoopbackSocket().port;
}

Bytes text(const char* s) {
    return Bytes(s, s + std::strlen(s));
}

Bytes request64() {
    Bytes r(kBcRequestSize, 0);
    std::memcpy(r.data(), "BcServiceRequest", 16);
    return r;
}

Bytes record(const char* name, uint16_t id, uint16_t port) {
    Bytes r(kBcRecordSize, 0);
    std::memcpy(r.data(), name, std::min(std::strlen(name), kBcNameSize));
    r[24] = id & 0xff;
    r[25] = id >> 8;
    r[26] = port & 0xff;
    r[27] = port >> 8;
    return r;
}

// The host name as the responder puts it into a record: 24 bytes, zero-filled.
Bytes hostNameField() {
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    Bytes field(kBcNameSize, 0);
    std::memcpy(field.data(), host, std::min(std::strlen(host), kBcNameSize));
    return field;
}

// Polls the requester until it holds `count` answers or 5 s pass.
std::vector<BcServiceRsp> waitForAnswers(const BcServiceRequestor& requestor, size_t count) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    std::vector<BcServiceRsp> list = requestor.getList();
    while (list.size() < count && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        list = requestor.getList();
    }
    return list;
}

// A running responder whose answers arrive at `answers`.
struct ResponderRig {
    LoopbackSocket answers;
    LoopbackSocket sender;
    BcServiceResponder responder{0, answers.port};
    unsigned short listenPort = 0;

    void start() {
        ASSERT_TRUE(responder.start());
        listenPort = responder.waitUntilListening(5000);
        ASSERT_NE(listenPort, 0);
    }
};

} // namespace

TEST(BcServiceResponder, AnyDatagramGetsExactlyOneRecordOnTheAnswerPort) {
    testsupport::ScopedCapture capture;
    ResponderRig rig;
    EXPECT_EQ(rig.responder.registerService(5113, 9022, nullptr), 0);
    rig.start();

    Bytes garbage = text("%s%s%n%x\xff");
    garbage.insert(garbage.begin() + 3, 0); // a zero byte inside
    const Bytes wholeBuffer(256, 'A');      // fills the receive buffer, no zero
    Bytes expected = hostNameField();
    for (uint8_t b : {0xF9, 0x13, 0x3E, 0x23})
        expected.push_back(b); // 5113, 9022 LE

    for (const Bytes& datagram : {Bytes(), text("x"), request64(), garbage, wholeBuffer}) {
        rig.sender.sendTo(rig.listenPort, datagram);
        sockaddr_in from;
        std::optional<Bytes> answer = rig.answers.receive(5000, &from);
        ASSERT_TRUE(answer) << "no answer to a " << datagram.size() << "-byte datagram";
        EXPECT_EQ(*answer, expected);
        EXPECT_EQ(from.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
        EXPECT_FALSE(rig.answers.receive(100)) << "more than one answer";
        EXPECT_FALSE(rig.sender.receive(0)) << "answered to the source port";
    }
    rig.responder.stop();

    // The received bytes are traced as text, bounded by what arrived.
    auto lines = capture.out->take();
    auto has = [&](const std::string& line) {
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    };
    EXPECT_TRUE(has("Minutiae: [127.0.0.1] x\n"));
    EXPECT_TRUE(has("Minutiae: [127.0.0.1] \n"));
    EXPECT_TRUE(has("Minutiae: [127.0.0.1] %s%\n")); // up to the zero byte, not a format
    EXPECT_TRUE(has("Minutiae: [127.0.0.1] " + std::string(256, 'A') + "\n"));
    EXPECT_TRUE(
        has("Minutiae: Waiting for data on UDP port " + std::to_string(rig.listenPort) + "\n"));
}

TEST(BcServiceResponder, RecordsInRegistrationOrderWithNamesCutAt24Bytes) {
    ResponderRig rig;
    EXPECT_EQ(rig.responder.registerService(5113, 9022, "gen"), 0);
    EXPECT_EQ(rig.responder.registerService(1, 65535, "ABCDEFGHIJKLMNOPQRSTUVWX"), 1);
    EXPECT_EQ(rig.responder.registerService(0x0102, 0x0304, "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123"), 2);
    rig.start();

    rig.sender.sendTo(rig.listenPort, text("?"));
    std::vector<Bytes> got;
    while (auto answer = rig.answers.receive(got.size() < 3 ? 5000 : 100))
        got.push_back(*answer);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0], record("gen", 5113, 9022));
    // 24 bytes and more: the field is full and has no terminating zero.
    EXPECT_EQ(got[1], record("ABCDEFGHIJKLMNOPQRSTUVWX", 1, 65535));
    EXPECT_EQ(got[2], record("ABCDEFGHIJKLMNOPQRSTUVWX", 0x0102, 0x0304));
    EXPECT_EQ(got[2][24], 0x02);
    EXPECT_EQ(got[2][27], 0x03);
}

TEST(BcServiceResponder, WithoutServicesNothingIsAnswered) {
    ResponderRig rig;
    rig.start();
    rig.sender.sendTo(rig.listenPort, request64());
    EXPECT_FALSE(rig.answers.receive(300));
}

TEST(BcServiceResponder, FailedReceiveAnswersNobodyAndListeningGoesOn) {
    testsupport::ScopedCapture capture;
    ResponderRig rig;
    rig.responder.registerService(5113, 9022, nullptr);

    // A socket with nothing to read makes the receive fail.
    LoopbackSocket empty;
    ::fcntl(empty.fd, F_SETFL, O_NONBLOCK);
    EXPECT_FALSE(rig.responder.serveDatagram(empty.fd));
    EXPECT_FALSE(rig.answers.receive(200));
    auto lines = capture.out->take();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().rfind("Minutiae: Error receiving data (", 0), 0u) << lines.back();

    rig.start();
    rig.sender.sendTo(rig.listenPort, text("again"));
    EXPECT_TRUE(rig.answers.receive(5000));
}

TEST(BcServiceResponder, StopsPromptlyAndCanBeDestroyedRunningOrNot) {
    { BcServiceResponder idle(0, 9); } // never started
    auto begin = std::chrono::steady_clock::now();
    {
        ResponderRig rig;
        rig.start();
        EXPECT_FALSE(rig.responder.start()); // already running
    }                                        // the destructor stops and joins the thread
    // One 250 ms wait at most; far below the seconds a hang would take.
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(3));
}

TEST(BcServiceResponder, BindFailureIsTracedAndEndsTheThread) {
    testsupport::ScopedCapture capture;
    LoopbackSocket taken; // bound without address reuse
    BcServiceResponder responder(taken.port, freePort());
    responder.start();
    EXPECT_EQ(responder.waitUntilListening(5000), 0);
    responder.stop();
    auto lines = capture.out->take();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().rfind("Minutiae: Could not bind socket: ", 0), 0u) << lines.back();
}

TEST(BcServiceRequestor, CollectsAnswersOf56And27And30Bytes) {
    BcServiceRequestor requestor(0, 9, "127.0.0.1");
    ASSERT_TRUE(requestor.init());
    unsigned short port = requestor.waitUntilListening(5000);
    ASSERT_NE(port, 0);

    LoopbackSocket generator;
    Bytes fiftySix = record("a", 5113, 9022);
    Bytes b = record("ABCDEFGHIJKLMNOPQRSTUVWX", 0xBEEF, 1);
    fiftySix.insert(fiftySix.end(), b.begin(), b.end());
    generator.sendTo(port, fiftySix);
    EXPECT_EQ(waitForAnswers(requestor, 2).size(), 2u);

    Bytes twentySeven = record("short", 5, 6);
    twentySeven.resize(27);
    generator.sendTo(port, twentySeven);
    Bytes thirty = record("c", 7, 8);
    thirty.resize(30, 0xEE);
    generator.sendTo(port, thirty);

    std::vector<BcServiceRsp> list = waitForAnswers(requestor, 3);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].nameText(), "a");
    EXPECT_EQ(list[0].serviceId, 5113);
    EXPECT_EQ(list[0].port, 9022);
    // A full name field keeps its 24 bytes and no terminating zero.
    EXPECT_EQ(std::memcmp(list[1].name, "ABCDEFGHIJKLMNOPQRSTUVWX", 24), 0);
    EXPECT_EQ(list[1].nameText(), "ABCDEFGHIJKLMNOPQRSTUVWX");
    EXPECT_EQ(list[1].serviceId, 0xBEEF);
    EXPECT_EQ(list[2].nameText(), "c"); // the 27-byte datagram gave nothing
    EXPECT_EQ(list[2].serviceId, 7);
    EXPECT_STREQ(list[2].ip, "127.0.0.1");
    // Nothing more trickles in after the last answer.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(requestor.getList().size(), 3u);
}

TEST(BcServiceRequestor, PingSendsTheRequestAndEmptiesTheList) {
    LoopbackSocket responder;
    BcServiceRequestor requestor(0, responder.port, "127.0.0.1");
    ASSERT_TRUE(requestor.init());
    unsigned short port = requestor.waitUntilListening(5000);
    ASSERT_NE(port, 0);

    responder.sendTo(port, record("old", 1, 1));
    ASSERT_EQ(waitForAnswers(requestor, 1).size(), 1u);

    requestor.ping(0);
    EXPECT_TRUE(requestor.getList().empty());
    std::optional<Bytes> request = responder.receive(5000);
    ASSERT_TRUE(request);
    EXPECT_EQ(*request, request64());
}

TEST(BcServiceRequestor, ReadersGetCopiesWhileAnswersArrive) {
    BcServiceRequestor requestor(0, 9, "127.0.0.1");
    ASSERT_TRUE(requestor.init());
    unsigned short port = requestor.waitUntilListening(5000);
    ASSERT_NE(port, 0);

    std::thread sender([port] {
        LoopbackSocket generator;
        for (int i = 0; i < 20; ++i)
            generator.sendTo(port, record("g", i, 9022));
    });
    size_t seen = 0;
    while (seen < 20) {
        std::vector<BcServiceRsp> snapshot = waitForAnswers(requestor, seen + 1);
        if (snapshot.size() <= seen) break;
        seen = snapshot.size();
        for (size_t i = 0; i < seen; ++i)
            EXPECT_EQ(snapshot[i].port, 9022);
    }
    sender.join();
    EXPECT_EQ(seen, 20u);
}

TEST(BcServiceRequestor, StopsWithinOneRound) {
    BcServiceRequestor requestor(0, 9, "127.0.0.1");
    ASSERT_TRUE(requestor.init());
    ASSERT_NE(requestor.waitUntilListening(5000), 0);
    EXPECT_FALSE(requestor.init()); // only once
    auto begin = std::chrono::steady_clock::now();
    requestor.stop();
    // A round is 250 ms; without stopping the thread would listen for 8 s.
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(3));
}

TEST(BcServiceRequestor, BroadcastsOnlyOnIpv4InterfacesWithABroadcastAddress) {
    struct Entry {
        ifaddrs ifa;
        sockaddr_in addr, broad;
    };
    std::deque<Entry> entries;
    auto add = [&](const char* name, unsigned flags, int family, const char* broadcast) {
        Entry& e = entries.emplace_back();
        std::memset(&e, 0, sizeof e);
        e.ifa.ifa_name = const_cast<char*>(name);
        e.ifa.ifa_flags = flags;
        e.addr.sin_family = static_cast<sa_family_t>(family);
        e.ifa.ifa_addr = reinterpret_cast<sockaddr*>(&e.addr);
        if (broadcast) {
            e.broad.sin_family = AF_INET;
            ::inet_pton(AF_INET, broadcast, &e.broad.sin_addr);
            e.ifa.ifa_broadaddr = reinterpret_cast<sockaddr*>(&e.broad);
        }
        if (entries.size() > 1) entries[entries.size() - 2].ifa.ifa_next = &e.ifa;
    };
    add("lo", IFF_UP | IFF_LOOPBACK | IFF_BROADCAST, AF_INET, "127.255.255.255");
    add("eth0", IFF_UP | IFF_BROADCAST, AF_INET, "192.168.1.255");
    add("eth0", IFF_UP | IFF_BROADCAST, AF_INET6, nullptr);
    add("ppp0", IFF_UP | IFF_POINTOPOINT, AF_INET, "10.64.0.1"); // a peer, not a broadcast
    add("eth1", IFF_BROADCAST, AF_INET, "10.0.255.255");         // down, still asked
    entries[2].ifa.ifa_addr = nullptr;

    std::vector<in_addr> got = BcServiceRequestor::broadcastAddresses(&entries.front().ifa);
    ASSERT_EQ(got.size(), 2u);
    char text[INET_ADDRSTRLEN];
    EXPECT_STREQ(::inet_ntop(AF_INET, &got[0], text, sizeof text), "192.168.1.255");
    EXPECT_STREQ(::inet_ntop(AF_INET, &got[1], text, sizeof text), "10.0.255.255");
}

TEST(BcServiceDiscovery, RequesterFindsTheResponderOverLoopback) {
    unsigned short answerPort = freePort();
    BcServiceResponder responder(0, answerPort);
    responder.registerService(5113, 9022, nullptr);
    responder.registerService(5113, 9023, "ABCDEFGHIJKLMNOPQRSTUVWXYZ");
    ASSERT_TRUE(responder.start());
    unsigned short requestPort = responder.waitUntilListening(5000);
    ASSERT_NE(requestPort, 0);

    BcServiceRequestor requestor(answerPort, requestPort, "127.0.0.1");
    ASSERT_TRUE(requestor.init());
    ASSERT_EQ(requestor.waitUntilListening(5000), answerPort);
    requestor.ping(250);

    std::vector<BcServiceRsp> list = waitForAnswers(requestor, 2);
    ASSERT_EQ(list.size(), 2u);
    Bytes host = hostNameField();
    EXPECT_EQ(std::memcmp(list[0].name, host.data(), kBcNameSize), 0);
    EXPECT_EQ(list[0].serviceId, 5113);
    EXPECT_EQ(list[0].port, 9022);
    EXPECT_STREQ(list[0].ip, "127.0.0.1");
    EXPECT_EQ(list[1].nameText(), "ABCDEFGHIJKLMNOPQRSTUVWX");
    EXPECT_EQ(list[1].port, 9023);
}
