// Feeds arbitrary answer datagrams to the discovery requester's record parser.
#include "BcServiceRequestor.h"

#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<BcServiceRsp> out;
    size_t count = BcServiceRequestor::parseAnswer(data, size, "255.255.255.255", out);
    if (count != size / kBcRecordSize || out.size() != count) std::abort();
    for (size_t i = 0; i < count; ++i) {
        const uint8_t* record = data + i * kBcRecordSize;
        const BcServiceRsp& rsp = out[i];
        if (std::memcmp(rsp.name, record, kBcNameSize) != 0) std::abort();
        if (rsp.nameText().size() > kBcNameSize) std::abort();
        if (rsp.serviceId != (record[24] | record[25] << 8)) std::abort();
        if (rsp.port != (record[26] | record[27] << 8)) std::abort();
        if (std::strcmp(rsp.ip, "255.255.255.255") != 0) std::abort();
    }
    return 0;
}
