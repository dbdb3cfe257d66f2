// The controllers: the sequence walk, the in-process engine, the remote client.
#include "HoldRenderer.h"
#include "MemoryRaster.h"
#include "MtCore.h"
#include "MtcXmlRpcIo.h"
#include "TestSupport.h"

#include <gtest/gtest.h>
#include <xmlrpcpp/XmlRpc.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <tuple>

#include "AppTestSupport.h"

using apptest::FakeController;
using apptest::map;
using apptest::text;
using testsupport::dataFolder;
using XmlRpc::XmlRpcValue;
using Clock = std::chrono::steady_clock;

namespace {

// --------------------------------------------------------- sequence walk

std::string walk(FakeController& c, void (MtController::*op)()) {
    c.sent.clear();
    testing::internal::CaptureStdout();
    (c.*op)();
    return testing::internal::GetCapturedStdout();
}

TEST(MtController, SequenceOrderAndWrapping) {
    FakeController c;
    ASSERT_EQ(c.sequence.size(), 8u);
    const char* order[] = {"Brightness", "Contrast",     "Color",    "Window",
                           "Window",     "Checkerboard", "Geometry", "Lumevra-Test-Card"};
    for (size_t i = 0; i < 8; ++i)
        EXPECT_EQ(text(c.sequence[i]->preset, "Pattern"), order[i]);

    c.settings = map({{"Pattern", "Brightness"}, {"Level", "4"}});
    EXPECT_EQ(walk(c, &MtController::nextPattern), "Current: \nnew: \n");
    ASSERT_EQ(c.sent.size(), 1u);
    EXPECT_EQ(c.sent[0], map({{"Pattern", "Contrast"}}));
    EXPECT_TRUE(c.waited.empty());

    c.settings = map({{"Pattern", "Lumevra-Test-Card"}});
    walk(c, &MtController::nextPattern);
    EXPECT_EQ(c.sent.at(0), map({{"Pattern", "Brightness"}}));

    c.settings = map({{"Pattern", "Colorbars"}});
    walk(c, &MtController::nextPattern);
    EXPECT_EQ(c.sent.at(0), map({{"Pattern", "Brightness"}}));
    walk(c, &MtController::prevPattern);
    EXPECT_EQ(c.sent.at(0), map({{"Pattern", "Lumevra-Test-Card"}}));
    c.settings = map({{"Pattern", "Brightness"}});
    walk(c, &MtController::prevPattern);
    EXPECT_EQ(c.sent.at(0), map({{"Pattern", "Lumevra-Test-Card"}}));
}

TEST(MtController, PatternOptionMovesOnlyAMatchingStep) {
    FakeController c;
    c.settings = map({{"Pattern", "Window"},
                      {"Color_Red", "76"},
                      {"Color_Green", "76"},
                      {"Color_Blue", "76"},
                      {"Size", "10"},
                      {"Style", "Constant Size"}});
    walk(c, &MtController::nextPatternOption);
    ASSERT_EQ(c.sent.size(), 1u);
    EXPECT_EQ(c.sent[0], map({{"Pattern", "Window"},
                              {"Color_Red", "89"},
                              {"Color_Green", "89"},
                              {"Color_Blue", "89"},
                              {"Size", "10"}}));

    // A grey window at another level or size, and an unknown pattern, are no step.
    c.settings.set("Color_Red", "80");
    c.settings.set("Color_Green", "80");
    c.settings.set("Color_Blue", "80");
    walk(c, &MtController::nextPatternOption);
    EXPECT_TRUE(c.sent.empty());
    c.settings = map({{"Pattern", "Colorbars"}});
    walk(c, &MtController::prevPatternOption);
    EXPECT_TRUE(c.sent.empty());
}

// ---------------------------------------------------- in-process engine

class Engine : public ::testing::Test {
protected:
    Engine() : raster(config()), core(&raster, nullptr, dataFolder().c_str()), controller(core) {}
    static testsupport::MemoryRasterConfig config() {
        testsupport::MemoryRasterConfig c;
        c.formats = {{"small", 320, 180}, {"720p50", 1280, 720}};
        return c;
    }
    testsupport::ScopedCapture capture;
    testsupport::MemoryRaster raster;
    MtCore core;
    MtCoreController controller;
};

TEST_F(Engine, ForwardsToTheEngine) {
    // The registry outlives the engine: the renderer lives as long as the process.
    static testsupport::HoldRenderer hold("Hold");
    hold.hold();
    ASSERT_TRUE(core.addPattern(&hold));
    QiArgRetVal holding = map({{"Pattern", "Hold"}});
    ASSERT_GT(controller.setGen(holding), 0);
    hold.waitInside();
    QiArgRetVal request = map({{"Pattern", "Colorbars"}});
    int id = controller.setGen(request); // queued behind the held render
    ASSERT_GT(id, 0);
    std::thread releaser([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        hold.release();
    });
    EXPECT_TRUE(controller.waitForPattern(id));
    releaser.join();
    QiArgRetVal settings;
    EXPECT_TRUE(controller.patternSettings(settings));
    EXPECT_EQ(text(settings, "Pattern"), "Colorbars");

    QiArgRetVal empty; // the current pattern again
    EXPECT_GT(controller.setGen(empty), id);

    QiArgRetVal list;
    EXPECT_TRUE(controller.patternList(list));
    EXPECT_TRUE(list.find(std::string("Window")));
    std::vector<QiArgRetVal> records;
    EXPECT_FALSE(controller.patternOpts("NoSuchPattern", records));
    EXPECT_TRUE(controller.patternOpts("Window", records));
    EXPECT_FALSE(records.empty());

    EXPECT_EQ(controller.blackLevel(), 64u);
    EXPECT_EQ(controller.whiteLevel(), 940u);
    EXPECT_EQ(controller.bitDepth(), 10u);
}

// The proofing step before the first one shows the data folder's test card.
TEST_F(Engine, ProofingStepShowsTheTestCard) {
    QiArgRetVal bars = map({{"Pattern", "Colorbars"}, {"VideoFormat", "720p50"}});
    controller.waitForPattern(controller.setGen(bars));
    const int id = static_cast<int>(core.nextCommandId); // the step's command
    testing::internal::CaptureStdout();
    controller.prevPattern();
    testing::internal::GetCapturedStdout();
    bool result = false;
    core.waitForPattern(result, id);
    QiArgRetVal settings;
    controller.patternSettings(settings);
    EXPECT_EQ(text(settings, "Name"), "Lumevra-Test-Card");
    // The 720-line card: its 75 % red bar, the sixth of seven across 2 .. 14 of 16.
    int r = 0, g = 0, b = 0;
    raster.getPixel(int(1280 * (2 + 12 * 5.5 / 7) / 16), 720 * 2 / 9, r, g, b);
    EXPECT_EQ(std::make_tuple(r, g, b), std::make_tuple(721, 64, 64));
}

TEST_F(Engine, WaitingForAnIdThatIsNotQueuedReturnsAtOnce) {
    QiArgRetVal request = map({{"Pattern", "Colorbars"}});
    int id = controller.setGen(request);
    controller.waitForPattern(id);
    auto t0 = Clock::now();
    EXPECT_FALSE(controller.waitForPattern(id));        // already processed
    EXPECT_FALSE(controller.waitForPattern(id + 1000)); // never queued
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(1));
}

// ------------------------------------------------------- remote client

// "GetStatus" as a status-offering generator would serve it; keeps its parameters.
class GetStatus : public XmlRpc::XmlRpcServerMethod {
public:
    GetStatus() : XmlRpc::XmlRpcServerMethod("GetStatus") {}
    void execute(XmlRpcValue& params, XmlRpcValue& result) override {
        std::lock_guard<std::mutex> lock(mutex);
        received = params;
        result = std::string("Done");
    }
    std::mutex mutex;
    XmlRpcValue received;
};

// Waits until a server on `port` accepts connections.
void waitForServer(int port) {
    for (int i = 0; i < 200; ++i) {
        XmlRpc::XmlRpcClient probe("127.0.0.1", port);
        XmlRpcValue none, result;
        if (probe.execute("system.listMethods", none, result)) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

TEST(MtXmlController, WaitSendsGetStatusWithTheIdAsText) {
    testsupport::ScopedCapture capture;
    const int port = testsupport::freeLoopbackPort();
    auto* method = new GetStatus;
    XmlRpc::XmlRpcServerMethod* extra[] = {method, nullptr};
    MtcXmlRpcIo io(nullptr, extra, port);
    io.serve();
    waitForServer(port);

    MtXmlController controller("127.0.0.1", static_cast<unsigned>(port));
    EXPECT_TRUE(controller.waitForPattern(7));
    std::lock_guard<std::mutex> lock(method->mutex);
    ASSERT_EQ(method->received.getType(), XmlRpcValue::TypeArray);
    XmlRpcValue& s = method->received[0];
    ASSERT_EQ(s.getType(), XmlRpcValue::TypeStruct);
    EXPECT_EQ(s.size(), 2);
    ASSERT_EQ(s["TransId"].getType(), XmlRpcValue::TypeString);
    EXPECT_EQ(static_cast<std::string&>(s["TransId"]), "7");
    EXPECT_EQ(static_cast<std::string&>(s["Request"]), "WaitTrans");
}

TEST(MtXmlController, FaultsAndDeadGeneratorsAreFailures) {
    testsupport::ScopedCapture capture;
    const int port = testsupport::freeLoopbackPort();
    {
        MtcXmlRpcIo io(nullptr, nullptr, port); // offers no "GetStatus"
        io.serve();
        waitForServer(port);
        MtXmlController controller("127.0.0.1", static_cast<unsigned>(port));
        EXPECT_FALSE(controller.waitForPattern(7));
    }
    MtXmlController refused("127.0.0.1", static_cast<unsigned>(testsupport::freeLoopbackPort()));
    auto t0 = Clock::now();
    EXPECT_FALSE(refused.waitForPattern(1));
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(2));
    int warnings = 0;
    for (const std::string& l : capture.out->take())
        warnings += l.rfind("Warning: waitForPattern: ", 0) == 0;
    EXPECT_EQ(warnings, 2);
}

TEST(MtXmlController, SilentGeneratorDoesNotHangTheCaller) {
    testsupport::ScopedCapture capture;
    // Accepts connections (in the kernel's backlog) and never answers.
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(listen(fd, 4), 0);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);

    MtXmlController controller("127.0.0.1", ntohs(a.sin_port), 0.3);
    auto t0 = Clock::now();
    EXPECT_FALSE(controller.waitForPattern(3));
    EXPECT_FALSE(controller.waitForPattern(4)); // a second call starts afresh
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(3));
    close(fd);
}

TEST(MtXmlController, SendsNothingElse) {
    MtXmlController controller("127.0.0.1", 1);
    QiArgRetVal request = map({{"Pattern", "Colorbars"}}), out = map({{"Kept", "1"}});
    EXPECT_EQ(controller.setGen(request), 0); // so the panel never waits
    EXPECT_FALSE(controller.patternSettings(out));
    EXPECT_FALSE(controller.snapshot("x.png"));
    EXPECT_EQ(out, map({{"Kept", "1"}}));
    EXPECT_EQ(controller.bitDepth(), 8u);
}

TEST(MtXmlController, ValueConversion) {
    XmlRpcValue in;
    in[0]["b"] = true;
    in[0]["d"] = 0.5;
    in[0]["i"] = -3;
    in[0]["s"] = "text";
    in[0]["a"][0] = 1;
    QiArgRetVal out = map({{"s", "old"}});
    ASSERT_TRUE(assign(out, in));
    EXPECT_EQ(out, map({{"b", "true"}, {"d", "0.500000"}, {"i", "-3"}, {"s", "text"}}));

    // Not an array holding a struct: refused, no exception.
    XmlRpcValue notStruct;
    notStruct[0] = 5;
    XmlRpcValue scalar = 5;
    EXPECT_FALSE(assign(out, notStruct));
    EXPECT_FALSE(assign(out, scalar));

    XmlRpcValue back;
    ASSERT_TRUE(assign(back, out));
    EXPECT_EQ(static_cast<std::string&>(back["d"]), "0.500000");

    MtcColorGamut gamut;
    XmlRpcValue red;
    red[0]["Pattern"] = "Window";
    red[0]["Color_Red"] = 255;
    red[0]["Color_Green"] = 0;
    red[0]["Color_Blue"] = 0;
    EXPECT_TRUE(&gamut == red);
}

} // namespace
