// xmlrpc-test-server: the engine on a memory raster, served over XML-RPC.
//
//     xmlrpc-test-server <port>
//
// Runs the engine with every built-in pattern on an in-memory raster set up
// like a card at power-up (1280x720, 10 bits, levels 64/940, a list of video
// formats with 720p50 current) and serves the remote-control methods on
// <port> until SIGINT or SIGTERM, then shuts down in order and exits with 0.
// Requests that stall are cut off after 3 s (the system allows 10 s) so tests
// of slow clients stay short. Two extra methods: "TestThrow" throws a C++
// exception so tests can check that a failing method gives a fault, and
// "TestSleep" holds the server thread for the milliseconds it is given (at
// most 1000). The pattern "TestSlowRender" holds the engine while it renders
// for the milliseconds its "TestHoldMs" gives (at most 5000). Host names ending in ".stall.test"
// and ".slow.test" stand for slow name servers.
#include "MemoryRaster.h"
#include "MtCore.h"
#include "MtcXmlPrivates.h"
#include "MtcXmlRpcIo.h"
#include "QiOutput.h"
#include "QiRaster.h"
#include "TestSupport.h"

#include <xmlrpcpp/XmlRpc.h>

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>

using testsupport::dataFolder;
using testsupport::MemoryRaster;
using testsupport::MemoryRasterConfig;

namespace {

class TestThrow : public XmlRpc::XmlRpcServerMethod {
public:
    TestThrow() : XmlRpc::XmlRpcServerMethod("TestThrow") {}
    void execute(XmlRpc::XmlRpcValue&, XmlRpc::XmlRpcValue&) override {
        throw std::runtime_error("TestThrow was called");
    }
};

class TestSleep : public XmlRpc::XmlRpcServerMethod {
public:
    TestSleep() : XmlRpc::XmlRpcServerMethod("TestSleep") {}
    void execute(XmlRpc::XmlRpcValue& params, XmlRpc::XmlRpcValue& result) override {
        const int ms = std::min(1000, std::max(0, static_cast<int>(params[0])));
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        result = ms;
    }
};

class TestSlowRender : public MtPatternRenderer {
public:
    TestSlowRender() { options = none; }
    const char* getName() override { return "TestSlowRender"; }
    bool initialize(MtCore*) override { return true; }
    bool render(MtCore*, QiRaster* raster, const QiArgRetVal& args) override {
        int ms = 0;
        args.find("TestHoldMs", &ms);
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(5000, ms)));
        raster->setFrames(1);
        return raster->render(0, false);
    }

private:
    QiOption* none[1] = {nullptr};
};

} // namespace

int main(int argc, char** argv) {
    char* end = nullptr;
    long port = argc == 2 ? std::strtol(argv[1], &end, 10) : 0;
    if (argc != 2 || *end != '\0' || port <= 0 || port > 65535) {
        std::fprintf(stderr, "usage: %s <port>\n", argv[0]);
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    // Every thread started from here on inherits the blocked signals, so
    // only sigwait below sees them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    MemoryRasterConfig config;
    config.width = 1280;
    config.height = 720;
    config.bits = 10;
    config.blackLevel = 64;
    config.whiteLevel = 940;
    config.formats = {{"720p50", 1280, 720},   {"720p59.94", 1280, 720}, {"720p60", 1280, 720},
                      {"1080i50", 1920, 1080}, {"1080p25", 1920, 1080},  {"1080p30", 1920, 1080}};
    config.currentFormat = 0;
    config.pixelFormat = QiImageCoder::YCbCr_10;
    MemoryRaster raster(config);
    {
        const std::string data = dataFolder();
        MtCore core(&raster, nullptr, data.c_str());
        core.addPattern(new TestSlowRender); // renderers live for the process
        XmlRpc::XmlRpcServerMethod* extras[] = {new TestThrow, new TestSleep, nullptr};
        MtcXmlRpcIo io(&core, extras, static_cast<int>(port));
        MtcXmlServer* server = static_cast<MtcXmlServer*>(io.getServer());
        server->requestTimeout = std::chrono::seconds(3);
        // Name servers that answer late: "*.stall.test" never resolves, after
        // 3 s; "*.slow.test" resolves to the loopback address after 1.5 s.
        server->resolveHost = [](const std::string& host, in_addr* address) {
            auto endsWith = [&host](const char* tail) {
                const size_t n = std::strlen(tail);
                return host.size() >= n && host.compare(host.size() - n, n, tail) == 0;
            };
            if (endsWith(".stall.test")) {
                std::this_thread::sleep_for(std::chrono::seconds(3));
                return false;
            }
            if (endsWith(".slow.test")) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1500));
                return UdpOutput::resolve("127.0.0.1", address, true);
            }
            return UdpOutput::resolve(host.c_str(), address);
        };

        QiArgRetVal first;
        first.set("Pattern", "Colorbars");
        core.asyncSetGen(first);
        io.serve();

        int signal = 0;
        sigwait(&stopSignals, &signal);
        gOutput->trace(QiOutput::Info, "xmlrpc-test-server: stopping on signal %d\n", signal);
    }
    return 0;
}
