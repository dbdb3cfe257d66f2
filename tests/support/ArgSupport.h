// Helpers for reading argument maps in tests.
#pragma once

#include "QiArgRetVal.h"

#include <string>

namespace testsupport {

// The value of `key` as text, or "<absent>" when the map has no such key.
inline std::string text(const QiArgRetVal& m, const char* key) {
    const char* v = nullptr;
    return m.find(key, &v) ? std::string(v) : std::string("<absent>");
}

} // namespace testsupport
