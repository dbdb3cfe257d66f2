// Shared by the image-file fuzz targets.
#pragma once

#include "QiOutput.h"
#include "TestSupport.h"

#include <cstdint>
#include <memory>

namespace fuzzsupport {

// Sizes the readers accept but that cost a fuzzer a second per input (an
// allocation and clear of up to 512 MiB) are skipped; larger claims are still
// fed in, since they are refused before anything is allocated.
inline bool tooSlowToDecode(uint64_t width, uint64_t height) {
    return width <= 65535 && height <= 65535 && width * height > (uint64_t(1) << 20);
}

// Trace lines are formatted (so their formats are exercised) and dropped.
struct QuietTrace {
    QuietTrace() { gOutput.exchange(std::make_shared<testsupport::NullOutput>()); }
};
inline QuietTrace gQuietTrace;

} // namespace fuzzsupport
