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
#include <cstring>
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
// the connection is kept and 100-continue asked for; the body decoded, and
// the bytes the request held at the end.
std::string frame(const std::string& bytes, size_t piece, std::string* body = nullptr,
                  size_t* held = nullptr) {
    using State = MtcHttpRequest::State;
    MtcHttpRequest r;
    for (size_t at = 0;
         at < bytes.size() && (r.state() == State::Header || r.state() == State::Body);)
        at += r.feed(bytes.data() + at, std::min(piece, bytes.size() - at));
    std::string outcome;
    if (r.state() == State::Failed)
        outcome = std::to_string(r.tooLarge() ? -1 : r.status());
    else if (r.state() != State::Complete)
        outcome = r.expectsContinue() ? "more, continue" : "more";
    else
        outcome = std::string("0") + (r.keepAlive() ? " keep" : " close");
    if (held) *held = r.bytesHeld();
    if (body) *body = r.state() == State::Complete ? r.takeBody() : std::string();
    r.reset();
    EXPECT_EQ(r.bytesHeld(), 0u); // given back, not only uncounted
    return outcome;
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
    auto version = [](const char* v) { return "POST / " + std::string(v) + "\r\n"; };
    auto coded = [](const std::string& fields) {
        return kLine + fields + "\r\n1\r\nx\r\n0\r\n\r\n";
    };
    const std::string fourMiB = pad(4 * MiB, 'b');
    const std::string eightMiB = framingOf(8 * MiB);
    auto chunks = [](const std::string& framing) {
        size_t n = 0;
        for (size_t at = framing.find("\r\nx\r\n"); at != std::string::npos;
             at = framing.find("\r\nx\r\n", at + 1))
            ++n;
        return n;
    };
    struct Row {
        std::string bytes, outcome;
        std::string body = "<x/>"; // once complete
    };
    const Row rows[] = {
        // Connection, Expect and HTTP/1.0.
        {"POST / HTTP/1.0\r\nExpect: 100-continue\r\nContent-Length: 1\r\n\r\n", "more"},
        {kLine + "Expect: 100-continue\r\nContent-Length: 9\r\n\r\n", "more, continue"},
        {post("Expect: 200-ok\r\n"), "417"},
        {post("Connection: keep-alive, close\r\n"), "0 close"},
        {post("Connection: close\r\nConnection: keep-alive\r\n"), "0 close"},
        {"POST / HTTP/1.0\r\nContent-Length: 4\r\n\r\n<x/>", "0 close"},
        {"POST / HTTP/1.0\r\nConnection: keep-alive\r\nContent-Length: 4\r\n\r\n<x/>", "0 keep"},
        // The request line, and which versions are served.
        {"\r\n\n\r\n" + post(""), "0 keep"},
        {"\x16\x03\x01\x02" + pad(1020, '\x90'), "400"},
        {"PO(ST / HTTP/1.1\r\n", "400"},
        {" POST / HTTP/1.1\r\n", "400"},
        {"POST /a\x01", "400"},
        {"POST HTTP/1.1\r\n", "400"},
        {"POST / FTP/1.1\r\n", "400"},
        {"POST /a\rb HTTP/1.1\r\n", "400"},
        {"GET / HTTP/1.1\r\n", "405"},
        {version("HTTP/2.0"), "505"},
        {version("HTTP/0.9"), "505"},
        {version("HTTP/"), "400"},
        {version("HTTP/1.1x"), "400"},
        {version("HTTP/x.1"), "400"},
        {version("HTTP/1x1"), "400"},
        {version("HTTP/1.x"), "400"},
        {version("HTTPS1.1"), "400"},
        {version("HTTP/1.2") + "Content-Length: 4\r\n\r\n<x/>", "0 keep"},
        // Header fields.
        {post("Content-Length : 5\r\n"), "400"},
        {post(std::string("Content-Length\0X: 5\r\n", 22)), "400"},
        {post("X-A\r\n"), "400"},
        {post("X-\x80: a\r\n"), "400"},
        {post("X-\x7f: a\r\n"), "400"},
        {post("X-A: a\rb\r\n"), "400"},
        {post("X-A: a\r\n\tb: c\r\n"), "400"},
        {"POST / HTTP/1.1\nX-A: a\nContent-Length: 4\n\n<x/>", "0 keep"},
        // The length of the body, known one way only.
        {post("Content-Length: 4\r\n"), "0 keep"},
        {post("Content-Length: 5\r\n"), "400"},
        {kLine + "Content-Length:\r\n\r\n", "400"},
        {kLine + "Content-Length: +4\r\n\r\n<x/>", "400"},
        {kLine + "Content-Length: 18446744073709551616\r\n\r\n", "400"},
        {kLine + "Content-Length: 1\r\n" + "Transfer-Encoding: chunked\r\n\r\n", "400"},
        {kLine + "\r\n", "411"},
        {coded("Transfer-Encoding: Chunked\r\n"), "0 keep", "x"},
        {coded("Transfer-Encoding: , chunked\r\n"), "0 keep", "x"},
        {coded("Transfer-Encoding: gzip\r\n"), "400"},
        {coded("Transfer-Encoding: chunked, gzip\r\n"), "400"},
        {coded("Transfer-Encoding: chunked, chunked\r\n"), "400"},
        {coded("Transfer-Encoding: chunked\r\nTransfer-Encoding: chunked\r\n"), "400"},
        {coded("Transfer-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n"), "501"},
        {"POST / HTTP/1.0\r\nTransfer-Encoding: chunked\r\n\r\n1\r\nx\r\n0\r\n\r\n", "400"},
        // Chunks: sizes, extensions, and CRLF after each line and each data.
        {chunked("2;e=1\r\nab\r\n3\r\ncde\r\n0\r\nT: 1\r\n\r\n"), "0 keep", "abcde"},
        {chunked(" 1\t;e\r\nx\r\n0\r\n\r\n"), "0 keep", "x"},
        {chunked("a\r\n0123456789\r\nB\r\nabcdefghijk\r\n0\r\n\r\n"), "0 keep",
         "0123456789abcdefghijk"},
        {chunked("00000000000000001\r\nx\r\n0\r\n\r\n"), "0 keep", "x"},
        {chunked("1 1\r\nx\r\n0\r\n\r\n"), "400"},
        {chunked("10000000000000000\r\n"), "400"},
        {chunked("\r\n"), "400"},
        {chunked(";e\r\n"), "400"},
        {chunked("g\r\n"), "400"},
        {chunked("1\nx\r\n0\r\n\r\n"), "400"},
        {chunked("1;e\nx\r\n0\r\n\r\n"), "400"},
        {chunked("1;e\rf\r\nx\r\n0\r\n\r\n"), "400"},
        {chunked("1\r\nx\n0\r\n\r\n"), "400"},
        {chunked("1\r\nx\r\r\n0\r\n\r\n"), "400"},
        {chunked("1\r\nxy\r\n"), "400"},
        {chunked("0\r\n\n"), "0 keep", ""},
        {chunked("0\r\nT: 1\n\n"), "0 keep", ""},
        {chunked("0\r\nX\n"), "more"},
        // Each bound at its edge and one byte past it.
        {header(16 * KiB), "0 keep", ""},
        {header(16 * KiB + 1), "431"},
        {pad(16 * KiB, '\n') + "P", "431"},
        {sizeLine(KiB), "0 keep", "x"},
        {sizeLine(KiB + 1), "400"},
        {trailer(16 * KiB), "0 keep", ""},
        {trailer(16 * KiB + 1), "431"},
        {post("", fourMiB), "0 keep", fourMiB},
        {post("", fourMiB + "b"), "-1"},
        {chunked("400000\r\n" + fourMiB + "\r\n0\r\n\r\n"), "0 keep", fourMiB},
        {chunked("400000\r\n" + fourMiB + "\r\n1\r\n"), "-1"},
        {chunked(eightMiB), "0 keep", pad(chunks(eightMiB), 'x')},
        {chunked(framingOf(8 * MiB + 1)), "-1"},
    };
    for (const Row& row : rows) {
        const std::string name = row.bytes.substr(0, 48);
        const std::string body = row.outcome[0] == '0' ? row.body : "";
        for (size_t piece : {row.bytes.size(), size_t{4093}, size_t{1}}) {
            if (piece == 1 && row.bytes.size() > 64 * KiB) continue;
            std::string decoded;
            EXPECT_EQ(frame(row.bytes, piece, &decoded), row.outcome) << name << " / " << piece;
            EXPECT_TRUE(decoded == body) << name << " / " << piece << ": " << decoded.size();
        }
    }
    // What is counted is what is allocated: a body of 4 MiB holds 4 MiB,
    // whichever way it is framed and however its bytes arrive.
    for (const std::string& bytes :
         {post("", fourMiB), chunked("400000\r\n" + fourMiB + "\r\n0\r\n\r\n"),
          chunked("200000\r\n" + fourMiB.substr(2 * MiB) + "\r\n200000\r\n" +
                  fourMiB.substr(2 * MiB) + "\r\n0\r\n\r\n")}) {
        for (size_t piece : {bytes.size(), size_t{65536}, size_t{4093}}) {
            size_t held = 0;
            frame(bytes, piece, nullptr, &held);
            EXPECT_EQ(held, 4 * MiB) << bytes.substr(0, 48) << " / " << piece;
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

// Counts its calls: a change that a client asks for.
class Count : public XmlRpc::XmlRpcServerMethod {
public:
    Count() : XmlRpc::XmlRpcServerMethod("Count") {}
    void execute(XmlRpcValue&, XmlRpcValue& result) override { result = ++calls; }
    int calls = 0;
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
        // Sends `bytes`; while the system takes no more, the connection reads.
        void send(const std::string& bytes) {
            for (size_t at = 0; at < bytes.size();) {
                const ssize_t n = ::send(client, bytes.data() + at, bytes.size() - at,
                                         MSG_NOSIGNAL | MSG_DONTWAIT);
                if (n > 0) {
                    at += static_cast<size_t>(n);
                    continue;
                }
                ASSERT_TRUE(c && errno == EAGAIN) << std::strerror(errno);
                event();
            }
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
    Count* count = new Count;
    XmlRpc::XmlRpcServerMethod* extras[3] = {new Echo, count, nullptr};
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

    // A request after a pause longer than a request's time has that time
    // from its own first byte, however it is split.
    EXPECT_NE(kept.received().find("<value>a</value>"), std::string::npos);
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    const std::string call = post("", echoCall("b"));
    kept.send(call.substr(0, 30));
    kept.run();
    ASSERT_NE(kept.c, nullptr);
    EXPECT_FALSE(kept.c->expired(MtcXmlConnection::Clock::now()));
    EXPECT_NE(kept.answer(call.substr(30)).find("<value>b</value>"), std::string::npos);
}

TEST_F(Connection, ContinueIsSentOnceAndOnlyWhenTheBodyHasRoom) {
    // Only a client that asked, and still waits for its body, is told to continue.
    const std::string body = echoCall("go");
    const struct {
        const char* fields;
        bool bodyLater;
        bool told;
    } rows[] = {
        {"Expect: 100-continue\r\n", true, true},
        {"", true, false},
        {"Expect: 100-continue\r\n", false, false},
    };
    for (const auto& row : rows) {
        const std::string bytes = post(row.fields, body);
        Wire& w = connect();
        std::string reply = w.answer(bytes.substr(0, bytes.size() - row.bodyLater * body.size()));
        if (row.bodyLater) {
            EXPECT_EQ(reply, row.told ? "HTTP/1.1 100 Continue\r\n\r\n" : "") << row.fields;
            reply = w.answer(body);
        }
        EXPECT_EQ(reply.compare(0, 15, "HTTP/1.1 200 OK"), 0) << reply;
        EXPECT_EQ(reply.find("100 Continue"), std::string::npos);
    }

    // With the budget of requests being received all but taken, a large
    // body is refused without being asked for.
    const size_t others = MtcXmlServer::kMaxRequestsHeld - 8 * 1024;
    server->holdRequestBytes(0, others, true);
    const std::string refused =
        connect().answer(kLine + "Expect: 100-continue\r\nContent-Length: 100000\r\n\r\n");
    EXPECT_EQ(refused.compare(0, 12, "HTTP/1.1 503"), 0);
    server->holdRequestBytes(others, 0);
    // With all of it taken, not even a header is read.
    server->holdRequestBytes(0, MtcXmlServer::kMaxRequestsHeld, true);
    EXPECT_EQ(connect().answer(post("", echoCall("a"))).substr(0, 12), "HTTP/1.1 503");
    server->holdRequestBytes(MtcXmlServer::kMaxRequestsHeld, 0);
    // A chunked body may be as long as the bound: asked for only with room
    // for all of it.
    const std::string chunkedHead =
        kLine + "Expect: 100-continue\r\nTransfer-Encoding: chunked\r\n\r\n";
    for (size_t room : {MtcHttpRequest::kMaxBodyBytes, MtcHttpRequest::kMaxBodyBytes - 1}) {
        const size_t taken = MtcXmlServer::kMaxRequestsHeld - MtcXmlServer::kSmallReserve - room;
        server->holdRequestBytes(0, taken, true);
        const std::string answer = connect().answer(chunkedHead).substr(0, 12);
        EXPECT_EQ(answer, room == MtcHttpRequest::kMaxBodyBytes ? "HTTP/1.1 100" : "HTTP/1.1 503");
        server->holdRequestBytes(taken, 0);
    }

    // What a connection holds is given back when it closes.
    Wire& held = connect();
    held.send(post("", std::string(1000, ' ')).substr(0, 60));
    held.run();
    EXPECT_EQ(server->requestBytesHeld(), 1000u);
    held.c->close();
    held.c = nullptr;
    EXPECT_EQ(server->requestBytesHeld(), 0u);
}

TEST_F(Connection, AChunkedBodyGrowsWithinTheBudgetAndItsFramingNeedsNone) {
    // Room for a body of 2 MiB and no more: it grows into all of it and is
    // answered, its last framing read with no room left; one byte more of
    // data is refused before it is held.
    const size_t body = 2 * 1024 * 1024;
    const size_t taken = MtcXmlServer::kMaxRequestsHeld - MtcXmlServer::kSmallReserve - body;
    server->holdRequestBytes(0, taken, true);
    const std::string call = echoCall("big");
    const std::string data = call + std::string(body - call.size(), ' ');
    for (const char* extra : {"", "1\r\nx\r\n"}) {
        Wire& w = connect();
        const std::string bytes = chunked("200000\r\n" + data + "\r\n" + extra + "0\r\n\r\n");
        std::string reply;
        for (size_t at = 0; at < bytes.size() && w.c; at += 65536) {
            w.send(bytes.substr(at, 65536));
            w.run();
            reply += w.received();
            EXPECT_LE(server->requestBytesHeld(), taken + body);
        }
        EXPECT_EQ(reply.substr(0, 12), *extra ? "HTTP/1.1 503" : "HTTP/1.1 200");
        if (w.c) w.c->close();
        w.c = nullptr;
    }
    server->holdRequestBytes(taken, 0);
}

TEST_F(Connection, RepliesSayWhatTheClientMustKnow) {
    Wire& w = connect();
    const std::string old = "POST / HTTP/1.0\r\nConnection: keep-alive\r\nContent-Length: ";
    const std::string call = echoCall("a");
    for (int i = 0; i < 2; ++i) { // kept open, and said so
        const std::string reply = w.answer(old + std::to_string(call.size()) + "\r\n\r\n" + call);
        EXPECT_NE(reply.find("\r\nConnection: keep-alive\r\n"), std::string::npos) << reply;
        ASSERT_NE(w.c, nullptr);
    }
    const std::string closing = connect().answer(
        "POST / HTTP/1.0\r\nContent-Length: " + std::to_string(call.size()) + "\r\n\r\n" + call);
    EXPECT_NE(closing.find("\r\nConnection: close\r\n"), std::string::npos) << closing;
    const std::string get = connect().answer("GET / HTTP/1.1\r\n\r\n");
    EXPECT_EQ(get.compare(0, 12, "HTTP/1.1 405"), 0) << get;
    EXPECT_NE(get.find("\r\nAllow: POST\r\n"), std::string::npos) << get;
}

TEST_F(Connection, RepliesHeldHaveOneBudget) {
    auto status = [this](const std::string& call) {
        return connect().answer(post("", call)).substr(0, 12);
    };
    auto multicall = [](const std::string& entries) {
        return "<methodCall><methodName>system.multicall</methodName><params><param><value>"
               "<array><data>" +
               entries + "</data></array></value></param></params></methodCall>";
    };
    auto entry = [](const char* method, const char* value) {
        return std::string("<value><struct><member><name>methodName</name><value>") + method +
               "</value></member><member><name>params</name><value><array><data><value>" + value +
               "</value></data></array></value></member></struct></value>";
    };
    // A multicall entry whose answer XML cannot carry spoils only itself.
    Wire& w = connect();
    const std::string spoilt =
        w.c->respondTo(multicall(entry("Echo", "&#1;") + entry("Echo", "ok")));
    EXPECT_NE(spoilt.find("this call holds text that XML cannot carry"), std::string::npos);
    EXPECT_NE(spoilt.find("<value>ok</value>"), std::string::npos) << spoilt;
    // A single reply XML cannot carry never leaves; a multicall that is not
    // one array, or an entry that is not a call, is told so.
    const std::string call = "<methodCall><methodName>system.multicall</methodName><params>";
    const std::pair<std::string, const char*> refusals[] = {
        {echoCall("&#1;"), "the reply holds text that XML cannot carry"},
        {multicall("<value><int>1</int></value>"), "a call is a struct with a methodName"},
        {multicall("<value><struct></struct></value>"), "a call is a struct with a methodName"},
        {multicall("<value><struct><member><name>methodName</name><value><int>1</int></value>"
                   "</member></struct></value>"),
         "a call is a struct with a methodName"},
        {call + "</params></methodCall>", "Invalid argument (expected an array)"},
        {call + "<param><value><int>1</int></value></param></params></methodCall>",
         "Invalid argument (expected an array)"},
        {call + "<param><value><array><data></data></array></value></param><param><value>"
                "<int>1</int></value></param></params></methodCall>",
         "Invalid argument (expected an array)"},
    };
    for (const auto& [body, why] : refusals)
        EXPECT_NE(w.c->respondTo(body).find(why), std::string::npos) << body;

    // Kept-alive clients that ask for a long reply and do not read it hold
    // all of it until they have read it or gone.
    const std::string longCall = post("", echoCall(std::string(1 << 20, 'L')));
    Wire& reader = connect();
    reader.send(longCall);
    reader.run();
    const size_t one = server->replyBytesHeld();
    EXPECT_GT(one, 1u << 20);
    Wire& leaver = connect();
    leaver.send(longCall);
    leaver.run();
    EXPECT_EQ(server->replyBytesHeld(), 2 * one);

    // Held besides, so that a new request finds `room`.
    size_t filler = 0;
    auto leave = [&](size_t room) {
        const size_t want =
            MtcXmlServer::kMaxRepliesHeld - room - (server->replyBytesHeld() - filler);
        server->holdReplyBytes(filler, want);
        filler = want;
    };
    const std::string change = "<methodCall><methodName>Count</methodName></methodCall>";
    const std::string changes = multicall(entry("Count", "1") + entry("Count", "2"));
    std::string hundred;
    for (int i = 0; i < 100; ++i)
        hundred += entry("Count", "1");
    const std::string manyChanges = multicall(hundred);
    constexpr size_t small = MtcXmlConnection::kSmallAnswer;
    constexpr size_t reserve = MtcXmlServer::kSmallReplyReserve;
    const struct {
        size_t room;
        std::string call;
        const char* status;
    } rows[] = {
        {6000, echoCall("small"), "HTTP/1.1 200"},
        {6000, echoCall(std::string(7000, 'L')), "HTTP/1.1 503"}, // a read: nothing is lost
        // While large replies fill their share, an ordinary reply takes the
        // reserve and a large one may not.
        {reserve, echoCall(std::string(MtcXmlServer::kSmallReply - 1024, 'L')), "HTTP/1.1 200"},
        {reserve, echoCall(std::string(MtcXmlServer::kSmallReply, 'L')), "HTTP/1.1 503"},
        // Without room for a small answer nothing runs.
        {small - 1, change, "HTTP/1.1 503"},
        {small - 1, changes, "HTTP/1.1 503"},
        // A multicall runs none of its calls whose answers might not fit,
        // and says so.
        {small + 512, changes, "HTTP/1.1 200"},
        // Nor one whose answer, were none of its calls to run, would not fit:
        // it is answered with a fault.
        {small + 512, manyChanges, "HTTP/1.1 200"},
    };
    for (const auto& row : rows) {
        leave(row.room);
        EXPECT_EQ(status(row.call), row.status) << row.call.substr(0, 80) << " " << row.room;
    }
    EXPECT_EQ(count->calls, 0);

    leaver.c->close();
    leaver.c = nullptr;
    EXPECT_EQ(server->replyBytesHeld(), filler + one);
    std::string got;
    for (int i = 0; i < 1000 && got.find("</methodResponse>") == std::string::npos; ++i) {
        reader.event();
        got += reader.received();
    }
    EXPECT_EQ(got.size(), one);
    EXPECT_EQ(server->replyBytesHeld(), filler);
    server->holdReplyBytes(filler, 0);
    EXPECT_EQ(status(change), "HTTP/1.1 200");
    EXPECT_EQ(count->calls, 1);
}

TEST_F(Connection, ARefusedClientHoldsNothingAndIsReadOnlyToTheDrainBound) {
    constexpr size_t bound = MtcHttpRequest::kMaxFramingBytes;
    const std::string flood(MtcXmlConnection::kReadPerEvent, 'x');
    const std::pair<std::string, std::string> refusals[] = {
        {"zz\r\n", "HTTP/1.1 400"}, {"400000\r\n", "HTTP/1.1 200"}, // too large: a fault
    };
    for (const auto& [rest, status] : refusals) {
        Wire& w = connect();
        w.send(chunked("3e8\r\n" + pad(1000, 'b') + "\r\n"));
        w.run();
        EXPECT_GE(server->requestBytesHeld(), 1000u);
        EXPECT_EQ(w.answer(rest).substr(0, 12), status);
        ASSERT_NE(w.c, nullptr); // still draining
        EXPECT_EQ(server->requestBytesHeld(), 0u);
        // The client goes on sending as fast as it can.
        size_t sent = 0, read = 0;
        while (w.c && sent < 3 * bound) {
            const ssize_t n =
                ::send(w.client, flood.data(), flood.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
            sent += n > 0 ? static_cast<size_t>(n) : 0;
            w.event();
            if (w.c) read = sent - w.unread(); // the closing event reads nothing
        }
        EXPECT_EQ(w.c, nullptr) << rest;
        EXPECT_GT(read + rest.size(), bound); // a refused request's rest is drained too
        EXPECT_LE(read, bound + MtcXmlConnection::kReadPerEvent);
    }
}

TEST_F(Connection, AClientThatStopsSendingIsAnsweredOnlyInsideARequest) {
    const std::pair<std::string, std::string> rows[] = {
        {"", ""}, {"\r\n", ""}, {"POST", "HTTP/1.1 400"}};
    for (const auto& [tail, answer] : rows) {
        Wire& w = connect();
        EXPECT_EQ(w.answer(post("", echoCall("a"))).substr(0, 12), "HTTP/1.1 200");
        w.event(); // woken with nothing to read: nothing happens
        ASSERT_NE(w.c, nullptr);
        w.send(tail);
        ::shutdown(w.client, SHUT_WR);
        w.run();
        EXPECT_EQ(w.c, nullptr);
        EXPECT_EQ(w.received().substr(0, 12), answer) << tail;
    }
}
