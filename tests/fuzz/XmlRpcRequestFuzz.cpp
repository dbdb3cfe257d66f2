// Feeds whole XML-RPC request bodies through the server's dispatch in-process,
// on an engine with a small memory raster. Every answer must be an HTTP reply
// whose body a client can parse: XML characters in UTF-8 only.
#include "MtcXmlText.h"
#include "QiText.h"
#include "XmlRpcFuzzGenerator.h"

#include <cstdlib>
#include <string>

namespace {

struct Generator : fuzzsupport::XmlRpcGenerator {
    MtcXmlConnection* connection = new MtcXmlConnection(-1, server); // the server's, closed with it
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
