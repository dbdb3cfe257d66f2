// Feeds whole XML-RPC request bodies through the server's dispatch in-process,
// on an engine with a small memory raster. Every answer must be an HTTP reply
// whose body a client can parse: XML characters in UTF-8 only.
#include "FuzzCommon.h"
#include "MemoryRaster.h"
#include "MtCore.h"
#include "MtcXmlPrivates.h"
#include "MtcXmlRpcIo.h"
#include "MtcXmlText.h"
#include "QiText.h"

#include <cstdlib>
#include <memory>
#include <string>

namespace {

struct Generator {
    Generator() {
        testsupport::MemoryRasterConfig config;
        config.width = 64;
        config.height = 36;
        config.formats = {{"small", 64, 36}, {"smaller", 32, 18}};
        config.keepShown = 0;
        raster = std::make_unique<testsupport::MemoryRaster>(config);
        const std::string data = testsupport::dataFolder();
        core = std::make_unique<MtCore>(raster.get(), nullptr, data.c_str());
        io = std::make_unique<MtcXmlRpcIo>(core.get());
        server = static_cast<MtcXmlServer*>(io->getServer());
        server->resolveHost = [](const std::string&, in_addr*) { return false; };
        connection = new MtcXmlConnection(-1, server); // the server's, closed with it
    }
    std::unique_ptr<testsupport::MemoryRaster> raster;
    std::unique_ptr<MtCore> core;
    std::unique_ptr<MtcXmlRpcIo> io;
    MtcXmlServer* server = nullptr;
    MtcXmlConnection* connection = nullptr;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Generator generator; // stopped in order at exit
    const std::string reply =
        generator.connection->respondTo(std::string(reinterpret_cast<const char*>(data), size));
    const size_t body = reply.find("\r\n\r\n");
    if (reply.compare(0, 17, "HTTP/1.1 200 OK\r\n") != 0 || body == std::string::npos) std::abort();
    if (!qiIsXmlSafeText(reply.data() + body + 4, reply.size() - body - 4)) std::abort();
    return 0;
}
