// The XML-RPC front end without an engine, and its text helpers.
#include "MtcXmlRpcIo.h"
#include "MtcXmlMethod.h"
#include "MtcXmlText.h"
#include "QiArgRetVal.h"
#include "TestSupport.h"

#include <gtest/gtest.h>
#include <xmlrpcpp/XmlRpc.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
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
