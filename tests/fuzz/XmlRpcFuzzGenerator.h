// The engine on a small memory raster with the XML-RPC server in front of it,
// for the fuzz targets that drive the server's connections in-process.
#pragma once

#include "FuzzCommon.h"
#include "MemoryRaster.h"
#include "MtCore.h"
#include "MtcXmlPrivates.h"
#include "MtcXmlRpcIo.h"

#include <memory>
#include <string>

namespace fuzzsupport {

// Keeps the server off the network: names never resolve, a "Log" redirection
// sends the trace to an output that drops its lines (the replies stay those
// of a redirection), and any network socket opened after this is fatal.
inline void offTheNetwork(MtcXmlServer* server) {
    forbidNetworkSockets();
    server->resolveHost = [](const std::string&, in_addr*) { return false; };
    server->traceOutput = [](const in_addr&, unsigned short) -> std::shared_ptr<QiOutput> {
        return std::make_shared<testsupport::NullOutput>();
    };
}

struct XmlRpcGenerator {
    XmlRpcGenerator() {
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
        offTheNetwork(server);
    }
    std::unique_ptr<testsupport::MemoryRaster> raster;
    std::unique_ptr<MtCore> core;
    std::unique_ptr<MtcXmlRpcIo> io;
    MtcXmlServer* server = nullptr;
};

} // namespace fuzzsupport
