// The XML-RPC front end without an engine, and its text helpers.
#include "MtcXmlRpcIo.h"
#include "MtcHttpRequest.h"
#include "MtcXmlMethod.h"
#include "MtcXmlPrivates.h"
#include "MtcXmlText.h"
#include "QiArgRetVal.h"
#include "TestSupport.h"

#include <gtest/gtest.h>
#include <xmlrpcpp/XmlRpc.h>

#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <list>
#include <thread>

using XmlRpc::XmlRpcValue;

namespace {

// A server without a core and a client on it.
class NoCore : public ::testing::Test {
protected:
    NoCore()
        : port(testsupport::freeLoopbackPort()), io(nullptr, nullptr, port),
          client("127.0.0.1", port) {
        io.serve();
    }
    ~NoCore() override { client.close(); }

    XmlRpcValue call(const char* method, XmlRpcValue params) {
        XmlRpcValue result;
        for (int i = 0; i < 200; ++i) {
            if (client.execute(method, params, result)) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10)); // still binding
        }
        EXPECT_FALSE(client.isFault()) << method;
        return result;
    }

    testsupport::ScopedCapture capture;
    int port;
    MtcXmlRpcIo io;
    XmlRpc::XmlRpcClient client;
};

XmlRpcValue one(XmlRpcValue v) {
    XmlRpcValue params;
    params[0] = v;
    return params;
}

XmlRpcValue pair(const char* k1, const char* v1, const char* k2, const char* v2) {
    XmlRpcValue s;
    s[k1] = v1;
    s[k2] = v2;
    return one(s);
}

} // namespace

TEST_F(NoCore, MethodsGivePlaceholderReplies) {
    XmlRpcValue none;
    EXPECT_EQ(static_cast<int>(call("SetGen", one("Colorbars"))), -1);
    EXPECT_EQ(static_cast<int>(call("SetGen", pair("Pattern", "Colorbars", "Size", "5"))), -1);
    EXPECT_EQ(static_cast<std::string>(call("RescanFormats", none)), "Ok");
    EXPECT_EQ(static_cast<std::string>(call("ReadEdid", none)), "EDID not Available");
    EXPECT_EQ(static_cast<std::string>(call("PatternOption", none)), "");
    EXPECT_EQ(static_cast<std::string>(call("PatternOption", one("Colorbars"))), "");
    EXPECT_EQ(static_cast<std::string>(call("GetGenOptions", none)), "");
    EXPECT_EQ(static_cast<std::string>(call("MMCAlias", one("flush"))), "");
    EXPECT_EQ(static_cast<std::string>(call("MMCAlias", pair("Prefix", "clip", "Path", "flush"))),
              "invalid arguments");
    EXPECT_EQ(static_cast<std::string>(call("SetAlias", pair("AliasName", "a", "Pattern", "x"))),
              "a");

    XmlRpcValue version = call("GetDreskoVersion", none);
    ASSERT_EQ(version.getType(), XmlRpcValue::TypeArray);
    ASSERT_EQ(version.size(), 1);
    EXPECT_EQ(static_cast<std::string>(version[0]["Software"]), "Software-Version");
    EXPECT_EQ(static_cast<std::string>(version[0]["Gateware"]), "Gateware-Version");
    EXPECT_EQ(static_cast<std::string>(version[0]["OS"]), "Operating-System-Version");
    EXPECT_EQ(static_cast<std::string>(version[0]["Serial"]), "Serial-Number");
    EXPECT_EQ(static_cast<std::string>(version[0]["Application"]), "Application-Version");
}

TEST(MtcXmlRpcIo, StopsPromptlyAndTwiceOnOnePortFailsCleanly) {
    testsupport::ScopedCapture capture;
    const int port = testsupport::freeLoopbackPort();
    auto t0 = std::chrono::steady_clock::now();
    {
        MtcXmlRpcIo first(nullptr, nullptr, port);
        EXPECT_TRUE(first.serve());
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        // The caller learns at once that the port is not its own, and why.
        MtcXmlRpcIo second(nullptr, nullptr, port);
        errno = 0;
        EXPECT_FALSE(second.serve());
        EXPECT_EQ(errno, EADDRINUSE);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    // The work loop is woken, not left to its half-second round.
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(450));
    auto lines = capture.out->take();
    int listening = 0, refused = 0;
    for (const auto& l : lines) {
        listening += l == "Info: XmlRpc: listening on port " + std::to_string(port) + "\n";
        refused += l == "Error: XmlRpc: cannot listen on port " + std::to_string(port) + "\n";
    }
    EXPECT_EQ(listening, 1);
    EXPECT_EQ(refused, 1);
}

TEST(MtcXmlRpcIo, ConversionBothWays) {
    testsupport::ScopedCapture capture;
    XmlRpcValue params;
    params[0]["b"] = true;
    params[0]["d"] = 0.5;
    params[0]["i"] = -3;
    params[0]["s"] = "text";
    params[0]["a"][0] = 1;
    QiArgRetVal out;
    ASSERT_TRUE(rpcValStruct_qiArv(params, out));
    QiArgRetVal expected;
    expected.set("b", "true");
    expected.set("d", "0.500000");
    expected.set("i", "-3");
    expected.set("s", "text");
    EXPECT_EQ(out, expected);
    auto lines = capture.out->take();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "Info: don't know how to translate type=7 for key=a\n");

    XmlRpcValue notStruct;
    notStruct[0] = "Colorbars";
    EXPECT_THROW(rpcValStruct_qiArv(notStruct, out), XmlRpc::XmlRpcException);

    XmlRpcValue back;
    back["kept"] = "yes";
    ASSERT_TRUE(qiArv_rpcVal(expected, back));
    EXPECT_EQ(back.size(), 5);
    EXPECT_EQ(static_cast<std::string>(back["d"]), "0.500000");
    EXPECT_EQ(static_cast<std::string>(back["kept"]), "yes");
    QiArgRetVal empty;
    XmlRpcValue emptyOut;
    qiArv_rpcVal(empty, emptyOut);
    EXPECT_EQ(emptyOut.getType(), XmlRpcValue::TypeStruct);
}

TEST(MtcXmlRpcIo, CutsOnUtf8Boundaries) {
    EXPECT_EQ(mtcCutUtf8("abc", 80), "abc");
    EXPECT_EQ(mtcCutUtf8("abcdef", 3), "abc");
    EXPECT_EQ(mtcCutUtf8("ab\xc3\xa9", 3), "ab");         // é would be split
    EXPECT_EQ(mtcCutUtf8("ab\xc3\xa9", 4), "ab\xc3\xa9"); // fits exactly
    EXPECT_EQ(mtcCutUtf8("a\xe2\x82\xac"
                         "b",
                         3),
              "a");                                     // € split after 2 of 3 bytes
    EXPECT_EQ(mtcCutUtf8("a\xf0\x9f\x98\x80", 4), "a"); // 4-byte sequence
    EXPECT_EQ(mtcCutUtf8("\x80\x80\x80", 2), "");       // stray continuation bytes
}

TEST(MtcXmlRpcIo, CharacterReferencesAreDecoded) {
    const struct {
        const char* in;
        const char* out; // null: refused
    } refs[] = {
        {"Caf&#233;", "Caf\xc3\xa9"},
        {"&#x20AC;&#X41;", nullptr}, // only a lower-case x marks hexadecimal
        {"&#x20AC;", "\xe2\x82\xac"},
        {"&#60;&#x26;&#62;&#34;&#39;", "&lt;&amp;&gt;&quot;&apos;"}, // markup stays markup
        {"&amp;#65;", "&amp;#65;"},
        {"&#1;", "\x01"}, // decoded: the methods refuse what replies cannot carry
        {"&#0;", nullptr},
        {"&#xD800;", nullptr},
        {"&#65", nullptr},
        {"&#;", nullptr},
        {"&#1114112;", nullptr},
        {"&#0000000065;", nullptr}, // too long to be read
    };
    for (const auto& r : refs) {
        std::string text = r.in;
        std::string why;
        EXPECT_EQ(mtcDecodeCharRefs(text, &why), r.out != nullptr) << r.in;
        if (r.out) {
            EXPECT_EQ(text, r.out) << r.in;
        }
    }
}

// ------------------------------------------------------------ HTTP framing

namespace {

// What framing `bytes` in pieces of at most `piece` comes to: the status
// (0 complete, -1 too large, else the HTTP error) and, once complete, whether
// the connection is kept and 100-continue asked for.
std::string frame(const std::string& bytes, size_t piece) {
    using State = MtcHttpRequest::State;
    MtcHttpRequest r;
    for (size_t at = 0;
         at < bytes.size() && (r.state() == State::Header || r.state() == State::Body);)
        at += r.feed(bytes.data() + at, std::min(piece, bytes.size() - at));
    if (r.state() == State::Failed) return std::to_string(r.tooLarge() ? -1 : r.status());
    if (r.state() != State::Complete) return r.expectsContinue() ? "more, continue" : "more";
    return std::string("0") + (r.keepAlive() ? " keep" : " close");
}

const std::string kLine = "POST /RPC2 HTTP/1.1\r\n";

std::string post(const std::string& fields, const std::string& body = "<x/>") {
    return kLine + fields + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string chunked(const std::string& framing) {
    return kLine + "Transfer-Encoding: chunked\r\n\r\n" + framing;
}

std::string pad(size_t n, char c) {
    return std::string(n, c);
}

// Chunks of one data byte whose size lines are padded with an extension, so
// that exactly `total` bytes follow the header.
std::string framingOf(size_t total) {
    std::string out;
    auto chunk = [&out](size_t extension) { out += "1;" + pad(extension, 'e') + "\r\nx\r\n"; };
    while (total - out.size() - 5 > 1027 + 7) // a size line at its bound, the byte, its CRLF
        chunk(1020);
    chunk(total - out.size() - 5 - 7);
    return out + "0\r\n\r\n";
}

} // namespace

// HTTP/1.1's edge cases, and each bound at its edge and one byte past it,
// come out the same whole, byte by byte and in odd pieces.
TEST(HttpRequest, EdgeCasesAndBoundsHoweverTheBytesArrive) {
    constexpr size_t KiB = 1024, MiB = 1024 * KiB;
    const std::string head = kLine + "X-Pad: ", tail = "\r\nContent-Length: 0\r\n\r\n";
    auto header = [&](size_t n) { return head + pad(n - head.size() - tail.size(), 'p') + tail; };
    auto sizeLine = [](size_t n) { return chunked("1;" + pad(n - 4, 'e') + "\r\nx\r\n0\r\n\r\n"); };
    auto trailer = [](size_t n) { return chunked("0\r\nT: " + pad(n - 7, 't') + "\r\n\r\n"); };
    const std::pair<std::string, std::string> rows[] = {
        {"POST / HTTP/1.0\r\nExpect: 100-continue\r\nContent-Length: 1\r\n\r\n", "more"},
        {kLine + "Expect: 100-continue\r\nContent-Length: 9\r\n\r\n", "more, continue"},
        {post("Connection: keep-alive, close\r\n"), "0 close"},
        {post("Connection: close\r\nConnection: keep-alive\r\n"), "0 close"},
        {"\r\n\n\r\n" + post(""), "0 keep"},
        {post("Content-Length : 5\r\n"), "400"},
        {post(std::string("Content-Length\0X: 5\r\n", 22)), "400"},
        {post("X-A: a\rb\r\n"), "400"},
        {post("X-A: a\r\n\tb: c\r\n"), "400"},
        {"\x16\x03\x01\x02" + pad(1020, '\x90'), "400"},
        {"PO(ST / HTTP/1.1\r\n", "400"},
        {"POST /a\x01", "400"},
        {header(16 * KiB), "0 keep"},
        {header(16 * KiB + 1), "431"},
        {pad(16 * KiB, '\n') + "P", "431"},
        {sizeLine(KiB), "0 keep"},
        {sizeLine(KiB + 1), "400"},
        {trailer(16 * KiB), "0 keep"},
        {trailer(16 * KiB + 1), "431"},
        {post("", pad(4 * MiB, 'b')), "0 keep"},
        {post("", pad(4 * MiB + 1, 'b')), "-1"},
        {chunked("400000\r\n" + pad(4 * MiB, 'b') + "\r\n1\r\n"), "-1"},
        {chunked(framingOf(8 * MiB)), "0 keep"},
        {chunked(framingOf(8 * MiB + 1)), "-1"},
    };
    for (const auto& [bytes, outcome] : rows) {
        const std::string name = bytes.substr(0, 40);
        EXPECT_EQ(frame(bytes, bytes.size()), outcome) << name;
        EXPECT_EQ(frame(bytes, 4093), outcome) << name;
        if (bytes.size() < 64 * KiB) {
            EXPECT_EQ(frame(bytes, 1), outcome) << name;
        }
    }
    // Empty lines start no request; what no request starts with is answered
    // at its first byte.
    MtcHttpRequest r;
    EXPECT_EQ(r.feed("\r\n\r\n", 4), 4u);
    EXPECT_FALSE(r.started());
    EXPECT_EQ(r.feed("\x16\x03\x01", 3), 1u);
}

// ---------------------------------------------------- one client connection

namespace {

// Answers its parameter as it came.
class Echo : public XmlRpc::XmlRpcServerMethod {
public:
    Echo() : XmlRpc::XmlRpcServerMethod("Echo") {}
    void execute(XmlRpcValue& params, XmlRpcValue& result) override { result = params[0]; }
};

std::string echoCall(const std::string& text) {
    return "<methodCall><methodName>Echo</methodName><params><param><value>" + text +
           "</value></param></params></methodCall>";
}

// A server without an engine, with Echo, and connections on it driven as the
// server's loop drives them.
class Connection : public ::testing::Test {
protected:
    Connection() : server(static_cast<MtcXmlServer*>(io.getServer())) {}
    ~Connection() override {
        for (auto& w : wires)
            if (w.c) w.c->close();
    }

    struct Wire {
        MtcXmlConnection* c = nullptr;
        int client = -1;
        unsigned mask = XmlRpc::XmlRpcDispatch::ReadableEvent;
        ~Wire() { ::close(client); }
        void send(const std::string& bytes) {
            ASSERT_EQ(::send(client, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                      static_cast<ssize_t>(bytes.size()));
        }
        void event() {
            mask = c->handleEvent(mask);
            if (mask == 0) {
                c->close();
                c = nullptr;
            }
        }
        // Events until the connection waits for its client (or has closed).
        void run() {
            for (int i = 0; i < 1000 && c; ++i) {
                pollfd p{c->getfd(), POLLIN, 0};
                if (mask == XmlRpc::XmlRpcDispatch::ReadableEvent && ::poll(&p, 1, 0) == 0) return;
                event();
            }
        }
        std::string received() {
            std::string out;
            char buf[65536];
            ssize_t n;
            while ((n = ::recv(client, buf, sizeof buf, MSG_DONTWAIT)) > 0)
                out.append(buf, static_cast<size_t>(n));
            return out;
        }
        // What the client gets for `bytes`.
        std::string answer(const std::string& bytes) {
            send(bytes);
            run();
            return received();
        }
        size_t unread() {
            int n = 0;
            ::ioctl(c->getfd(), FIONREAD, &n);
            return static_cast<size_t>(n);
        }
    };

    Wire& connect() {
        int fds[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        wires.emplace_back();
        wires.back().c = new MtcXmlConnection(fds[0], server); // deleted by close()
        wires.back().client = fds[1];
        return wires.back();
    }

    testsupport::ScopedCapture capture;
    XmlRpc::XmlRpcServerMethod* extras[2] = {new Echo, nullptr};
    MtcXmlRpcIo io{nullptr, extras};
    MtcXmlServer* server;
    std::list<Wire> wires;
};

} // namespace

TEST_F(Connection, ReadsOnceAnEventAndOnlyWhatItsRequestTakes) {
    Wire& w = connect();
    const std::string big = post("", echoCall("big") + std::string(200 * 1024, ' '));
    const std::string next = post("", echoCall("next"));
    w.send(big + next);
    w.event();
    EXPECT_EQ(w.unread(), big.size() + next.size() - MtcXmlConnection::kReadPerEvent);
    std::string first;
    for (int i = 0; i < 10 && first.find("</methodResponse>") == std::string::npos; ++i) {
        w.event();
        first += w.received();
    }
    EXPECT_NE(first.find("<value>big</value>"), std::string::npos) << first;
    // The pipelined request is still with the system, and nothing is held.
    EXPECT_EQ(w.unread(), next.size());
    EXPECT_EQ(server->requestBytesHeld(), 0u);
    EXPECT_EQ(server->replyBytesHeld(), 0u);
    w.run();
    EXPECT_NE(w.received().find("<value>next</value>"), std::string::npos);
}

TEST_F(Connection, DeadlinesStartWithARequestAndAreCheckedAtEachEvent) {
    server->requestTimeout = std::chrono::milliseconds(100);
    server->idleTimeout = std::chrono::milliseconds(10000);
    Wire& slow = connect();
    slow.send("POST /RPC2 HTTP/1.1\r\nContent-Len");
    slow.event();
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    slow.send("gth: 0\r\n\r\n");
    slow.event(); // cut off here, however fast the rest came
    EXPECT_EQ(slow.c, nullptr);
    EXPECT_EQ(slow.received(), "");

    Wire& kept = connect();
    kept.send(post("", echoCall("a")) + "\r\n");
    kept.run();
    ASSERT_NE(kept.c, nullptr);
    const auto now = MtcXmlConnection::Clock::now();
    EXPECT_FALSE(kept.c->expired(now + std::chrono::seconds(1))); // an empty line is no request
    EXPECT_TRUE(kept.c->expired(now + std::chrono::seconds(11)));
}

TEST_F(Connection, ContinueIsSentOnceAndOnlyWhenTheBodyHasRoom) {
    const std::string body = echoCall("go");
    const std::string head = post("Expect: 100-continue\r\n", body);
    Wire& w = connect();
    EXPECT_EQ(w.answer(head.substr(0, head.size() - body.size())), "HTTP/1.1 100 Continue\r\n\r\n");
    const std::string reply = w.answer(body);
    EXPECT_EQ(reply.compare(0, 15, "HTTP/1.1 200 OK"), 0) << reply;
    EXPECT_EQ(reply.find("100 Continue"), std::string::npos);

    // With the budget of requests being received all but taken, a large
    // body is refused without being asked for.
    const size_t others = MtcXmlServer::kMaxRequestsHeld - 8 * 1024;
    server->holdRequestBytes(0, others, true);
    const std::string refused =
        connect().answer(kLine + "Expect: 100-continue\r\nContent-Length: 100000\r\n\r\n");
    EXPECT_EQ(refused.compare(0, 12, "HTTP/1.1 503"), 0);
    server->holdRequestBytes(others, 0);

    // What a connection holds is given back when it closes.
    Wire& held = connect();
    held.send(post("", std::string(1000, ' ')).substr(0, 60));
    held.run();
    EXPECT_EQ(server->requestBytesHeld(), 1000u);
    held.c->close();
    held.c = nullptr;
    EXPECT_EQ(server->requestBytesHeld(), 0u);
}

TEST_F(Connection, RepliesHeldHaveOneBudget) {
    Wire& w = connect();
    auto status = [this](const std::string& call) {
        return connect().answer(post("", echoCall(call))).substr(0, 12);
    };
    // A multicall entry whose answer XML cannot carry spoils only itself.
    auto entry = [](const char* value) {
        return std::string("<value><struct><member><name>methodName</name><value>Echo</value>"
                           "</member><member><name>params</name><value><array><data><value>") +
               value + "</value></data></array></value></member></struct></value>";
    };
    const std::string multicall = w.c->respondTo(
        "<methodCall><methodName>system.multicall</methodName><params><param><value><array>"
        "<data>" +
        entry("&#1;") + entry("ok") + "</data></array></value></param></params></methodCall>");
    EXPECT_NE(multicall.find("this call holds text that XML cannot carry"), std::string::npos);
    EXPECT_NE(multicall.find("<value>ok</value>"), std::string::npos) << multicall;

    // What the other connections hold, the reply asked for, the answer.
    const size_t all = MtcXmlServer::kMaxRepliesHeld, small = MtcXmlServer::kSmallReply;
    const size_t large = all - MtcXmlServer::kSmallReplyReserve; // what large replies may fill
    const struct {
        size_t others, reply;
        const char* status;
    } cases[] = {
        {large, small - 1024, "HTTP/1.1 200"}, // an ordinary reply takes the reserve
        {large, small, "HTTP/1.1 503"},        // a large one may not
        {all - 6000, 5, "HTTP/1.1 200"},
        {all - 6000, 7000, "HTTP/1.1 503"}, // a read: nothing is lost
        {all - 3000, 5, "HTTP/1.1 503"},    // not run at all
    };
    for (const auto& c : cases) {
        server->holdReplyBytes(0, c.others);
        EXPECT_EQ(status(std::string(c.reply, 'L')), c.status) << c.others << " " << c.reply;
        server->holdReplyBytes(c.others, 0);
    }
    EXPECT_EQ(server->replyBytesHeld(), 0u);
}
