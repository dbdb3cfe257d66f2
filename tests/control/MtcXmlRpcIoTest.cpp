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

using State = MtcHttpRequest::State;

struct Framed {
    State state;
    int status;
    bool tooLarge, keepAlive, expectsContinue;
    std::string body;
    bool operator==(const Framed& o) const {
        return state == o.state && status == o.status && tooLarge == o.tooLarge &&
               keepAlive == o.keepAlive && expectsContinue == o.expectsContinue && body == o.body;
    }
};

// Feeds `bytes` in pieces of at most `piece`, as a connection would, until the
// request ends or the bytes do.
Framed frame(const std::string& bytes, size_t piece) {
    MtcHttpRequest r;
    for (size_t at = 0;
         at < bytes.size() && (r.state() == State::Header || r.state() == State::Body);)
        at += r.feed(bytes.data() + at, std::min(piece, bytes.size() - at));
    const bool done = r.state() == State::Complete;
    return {r.state(),     r.status(),          r.tooLarge(),
            r.keepAlive(), r.expectsContinue(), done ? r.takeBody() : std::string()};
}

// The same outcome whole, byte by byte (for what is small) and in odd pieces.
Framed frameAnyhow(const std::string& bytes, const char* name) {
    const Framed whole = frame(bytes, bytes.size());
    if (bytes.size() < 64 * 1024) {
        EXPECT_TRUE(frame(bytes, 1) == whole) << name;
    }
    EXPECT_TRUE(frame(bytes, 4093) == whole) << name;
    return whole;
}

const std::string kLine = "POST /RPC2 HTTP/1.1\r\n";

std::string post(const std::string& fields, const std::string& body = "<x/>") {
    return kLine + fields + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string chunked(const std::string& framing) {
    return kLine + "Transfer-Encoding: chunked\r\n\r\n" + framing;
}

// Chunks of one data byte whose size lines are padded with an extension, so
// that exactly `total` bytes follow the header.
std::string framingOf(size_t total) {
    std::string out;
    auto chunk = [&out](size_t extension) {
        out += "1;" + std::string(extension, 'e') + "\r\nx\r\n";
    };
    const size_t full = 1024 + 3; // a size line at its bound, the byte and its CRLF
    while (total - out.size() - 5 > full + 7)
        chunk(1020);
    chunk(total - out.size() - 5 - 7);
    return out + "0\r\n\r\n";
}

} // namespace

TEST(HttpRequest, EdgeCasesAreAnsweredAsHttp11Says) {
    const struct {
        const char* name;
        std::string bytes;
        State state;
        int status;
        bool keepAlive, expectsContinue;
    } rows[] = {
        {"plain", post(""), State::Complete, 0, true, false},
        {"1.0 closes", "POST / HTTP/1.0\r\nContent-Length: 1\r\n\r\nx", State::Complete, 0, false,
         false},
        {"1.0 keep-alive", "POST / HTTP/1.0\r\nConnection: keep-alive\r\nContent-Length: 0\r\n\r\n",
         State::Complete, 0, true, false},
        {"1.0 expectation ignored",
         "POST / HTTP/1.0\r\nExpect: 100-continue\r\nContent-Length: 1\r\n\r\n", State::Body, 0,
         false, false},
        {"close wins in a list", post("Connection: keep-alive, close\r\n"), State::Complete, 0,
         false, false},
        {"close wins across fields", post("Connection: close\r\nConnection: keep-alive\r\n"),
         State::Complete, 0, false, false},
        {"empty lines before", "\r\n\n\r\n" + post(""), State::Complete, 0, true, false},
        {"space before the colon", post("Content-Length : 5\r\n"), State::Failed, 400, true, false},
        {"NUL in a name", post(std::string("Content-Length\0X: 5\r\n", 22)), State::Failed, 400,
         true, false},
        {"control byte in a value", post("X-A: a\rb\r\n"), State::Failed, 400, true, false},
        {"folded line", post("X-A: a\r\n\tb: c\r\n"), State::Failed, 400, true, false},
        {"binary garbage", "\x16\x03\x01\x02" + std::string(1020, '\x90'), State::Failed, 400, true,
         false},
        {"non-token byte in the method", "PO(ST / HTTP/1.1\r\n", State::Failed, 400, true, false},
        {"control byte in the target", "POST /a\x01", State::Failed, 400, true, false},
        {"not POST", "GET / HTTP/1.1\r\n\r\n", State::Failed, 405, true, false},
        {"no length", kLine + "\r\n", State::Failed, 411, true, false},
        {"unknown expectation", post("Expect: sparkles\r\n"), State::Failed, 417, true, false},
        {"unknown coding", kLine + "Transfer-Encoding: gzip\r\n\r\n", State::Failed, 501, true,
         false},
        {"chunked", chunked("3\r\nabc\r\n1;x=y\r\nd\r\n0\r\nT: 1\r\n\r\n"), State::Complete, 0,
         true, false},
        {"bad chunk size", chunked("3x\r\nabc\r\n"), State::Failed, 400, true, false},
    };
    for (const auto& row : rows) {
        const Framed f = frameAnyhow(row.bytes, row.name);
        EXPECT_EQ(f.state, row.state) << row.name;
        EXPECT_EQ(f.status, row.status) << row.name;
        if (row.state != State::Failed) {
            EXPECT_EQ(f.keepAlive, row.keepAlive) << row.name;
            EXPECT_EQ(f.expectsContinue, row.expectsContinue) << row.name;
        }
    }
    // An expectation is reported from the header on; bytes a request cannot
    // start with are answered at the first of them.
    MtcHttpRequest r;
    const std::string expect = post("Expect: 100-continue\r\n", "abc");
    EXPECT_EQ(r.feed(expect.data(), expect.size()), expect.size() - 3); // stops after the header
    EXPECT_TRUE(r.expectsContinue());
    EXPECT_EQ(r.bytesHeld(), 3u);
    r.reset();
    EXPECT_EQ(r.feed("\r\n\r\n", 4), 4u);
    EXPECT_FALSE(r.started()); // empty lines start no request
    EXPECT_EQ(r.feed("\x16\x03\x01", 3), 1u);
    EXPECT_EQ(r.status(), 400);
}

TEST(HttpRequest, BoundsHoldToTheByte) {
    constexpr size_t KiB = 1024, MiB = 1024 * KiB;
    auto header = [](size_t total) { // a header section of `total` bytes
        const std::string head = kLine + "X-Pad: ";
        const std::string tail = "\r\nContent-Length: 0\r\n\r\n";
        return head + std::string(total - head.size() - tail.size(), 'p') + tail;
    };
    auto sizeLine = [](size_t total) { // a chunk-size line of `total` bytes with its CRLF
        return chunked("1;" + std::string(total - 4, 'e') + "\r\nx\r\n0\r\n\r\n");
    };
    auto trailer = [](size_t total) { // a trailer section of `total` bytes
        return chunked("0\r\nT: " + std::string(total - 7, 't') + "\r\n\r\n");
    };
    const struct {
        const char* name;
        std::string bytes;
        State state;
        int status;
        bool tooLarge;
    } rows[] = {
        {"header at its bound", header(16 * KiB), State::Complete, 0, false},
        {"header past it", header(16 * KiB + 1), State::Failed, 431, false},
        {"empty lines count", std::string(16 * KiB, '\n') + "P", State::Failed, 431, false},
        {"chunk-size line at its bound", sizeLine(KiB), State::Complete, 0, false},
        {"chunk-size line past it", sizeLine(KiB + 1), State::Failed, 400, false},
        {"trailer at its bound", trailer(16 * KiB), State::Complete, 0, false},
        {"trailer past it", trailer(16 * KiB + 1), State::Failed, 431, false},
        {"body at its bound", post("", std::string(4 * MiB, 'b')), State::Complete, 0, false},
        {"body past it", post("", std::string(4 * MiB + 1, 'b')), State::Failed, 0, true},
        {"chunks at the body's bound",
         chunked("400000\r\n" + std::string(4 * MiB, 'b') + "\r\n1\r\n"), State::Failed, 0, true},
        {"framing at its bound", chunked(framingOf(8 * MiB)), State::Complete, 0, false},
        {"framing past it", chunked(framingOf(8 * MiB + 1)), State::Failed, 0, true},
    };
    for (const auto& row : rows) {
        const Framed f = frameAnyhow(row.bytes, row.name);
        EXPECT_EQ(f.state, row.state) << row.name;
        EXPECT_EQ(f.status, row.status) << row.name;
        EXPECT_EQ(f.tooLarge, row.tooLarge) << row.name;
    }
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

std::string request(const std::string& body, const std::string& fields = "") {
    return "POST /RPC2 HTTP/1.1\r\n" + fields + "Content-Length: " + std::to_string(body.size()) +
           "\r\n\r\n" + body;
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
    const std::string big = request(echoCall("big") + std::string(200 * 1024, ' '));
    const std::string next = request(echoCall("next"));
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
    kept.send(request(echoCall("a")) + "\r\n");
    kept.run();
    ASSERT_NE(kept.c, nullptr);
    const auto now = MtcXmlConnection::Clock::now();
    EXPECT_FALSE(kept.c->expired(now + std::chrono::seconds(1))); // an empty line is no request
    EXPECT_TRUE(kept.c->expired(now + std::chrono::seconds(11)));
}

TEST_F(Connection, ContinueIsSentOnceAndOnlyWhenTheBodyHasRoom) {
    const std::string body = echoCall("go");
    const std::string head = request(body, "Expect: 100-continue\r\n");
    Wire& w = connect();
    w.send(head.substr(0, head.size() - body.size()));
    w.run();
    EXPECT_EQ(w.received(), "HTTP/1.1 100 Continue\r\n\r\n");
    w.send(body);
    w.run();
    const std::string reply = w.received();
    EXPECT_EQ(reply.compare(0, 15, "HTTP/1.1 200 OK"), 0) << reply;
    EXPECT_EQ(reply.find("100 Continue"), std::string::npos);

    // With the budget of requests being received all but taken, a large
    // body is refused without being asked for.
    const size_t others = MtcXmlServer::kMaxRequestsHeld - 8 * 1024;
    server->holdRequestBytes(0, others, true);
    Wire& refused = connect();
    refused.send("POST /RPC2 HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 100000\r\n\r\n");
    refused.run();
    EXPECT_EQ(refused.received().compare(0, 12, "HTTP/1.1 503"), 0);
    server->holdRequestBytes(others, 0);

    // What a connection holds is given back when it closes.
    Wire& held = connect();
    held.send(request(std::string(1000, ' ')).substr(0, 60));
    held.run();
    EXPECT_EQ(server->requestBytesHeld(), 1000u);
    held.c->close();
    held.c = nullptr;
    EXPECT_EQ(server->requestBytesHeld(), 0u);
}

TEST_F(Connection, RepliesHeldHaveOneBudget) {
    Wire& w = connect();
    auto status = [&w](const std::string& call) {
        w.send(request(call));
        w.run();
        return w.received().substr(0, 12);
    };
    // A multicall entry whose answer XML cannot carry spoils only itself.
    const std::string multicall =
        w.c->respondTo("<methodCall><methodName>system.multicall</methodName><params><param>"
                       "<value><array><data>" +
                       std::string("<value><struct><member><name>methodName</name><value>Echo"
                                   "</value></member><member><name>params</name><value><array>"
                                   "<data><value>&#1;</value></data></array></value></member>"
                                   "</struct></value>") +
                       "<value><struct><member><name>methodName</name><value>Echo</value>"
                       "</member><member><name>params</name><value><array><data><value>ok"
                       "</value></data></array></value></member></struct></value>"
                       "</data></array></value></param></params></methodCall>");
    EXPECT_NE(multicall.find("this call holds text that XML cannot carry"), std::string::npos);
    EXPECT_NE(multicall.find("<value>ok</value>"), std::string::npos) << multicall;

    const size_t others = MtcXmlServer::kMaxRepliesHeld - 6000;
    server->holdReplyBytes(0, others);
    EXPECT_EQ(status(echoCall("small")), "HTTP/1.1 200");
    Wire& large = connect();
    large.send(request(echoCall(std::string(7000, 'L'))));
    large.run();
    EXPECT_EQ(large.received().substr(0, 12), "HTTP/1.1 503"); // a read: nothing is lost
    server->holdReplyBytes(others, others + 3000);
    EXPECT_EQ(status(echoCall("small")), "HTTP/1.1 503"); // not run at all
    server->holdReplyBytes(others + 3000, 0);
    EXPECT_EQ(server->replyBytesHeld(), 0u);
}
