// The pattern renderer's vocabulary: the argument map.
#include "QiArgRetVal.h"

#include "QiCLocale.h"
#include "QiOutput.h"

#include <cstdint>

// --------------------------------------------------------------- QiArgRetVal

bool QiArgRetVal::set(char const* key, char const* value) {
    map_.erase(key);
    map_.emplace(key, value);
    return true;
}

bool QiArgRetVal::set(std::string const& key, std::string const& value) {
    map_.erase(key);
    map_.emplace(key, value);
    return true;
}

bool QiArgRetVal::set(char const* key, int value) {
    return set(key, qi::formatC("%d", value).c_str());
}

bool QiArgRetVal::set(char const* key, double value) {
    return set(key, qi::fixedC(value, 6).c_str());
}

bool QiArgRetVal::find(char const* key, int* out) const {
    auto it = map_.find(key);
    if (it == map_.end()) return false;
    long v = qi::strtolC(it->second.c_str(), nullptr, 0);
    *out = static_cast<int>(static_cast<uint32_t>(static_cast<uint64_t>(v)));
    return true;
}

bool QiArgRetVal::find(char const* key, unsigned int* out) const {
    auto it = map_.find(key);
    if (it == map_.end()) return false;
    unsigned long v = qi::strtoulC(it->second.c_str(), nullptr, 0);
    *out = static_cast<unsigned int>(v & 0xFFFFFFFFul);
    return true;
}

bool QiArgRetVal::find(char const* key, double* out) const {
    auto it = map_.find(key);
    if (it == map_.end()) return false;
    *out = qi::strtodC(it->second.c_str(), nullptr);
    return true;
}

namespace {
bool isTrueWord(char const* text) {
    return qi::startsWithNoCase(text, "true") || qi::startsWithNoCase(text, "yes") ||
           text[0] == '1';
}
} // namespace

bool QiArgRetVal::find(char const* key, bool* out) const {
    auto it = map_.find(key);
    if (it == map_.end()) return false;
    *out = isTrueWord(it->second.c_str());
    return true;
}

bool QiArgRetVal::find(char const* key, bool* out) {
    auto it = map_.find(key);
    if (it == map_.end()) return false;
    char const* text = it->second.c_str();
    if (isTrueWord(text)) {
        *out = true;
    } else if (qi::startsWithNoCase(text, "toggle")) {
        *out = !*out;
        it->second = *out ? "true" : "false";
    } else {
        *out = false;
    }
    return true;
}

bool QiArgRetVal::find(char const* key, char const** out) const {
    auto it = map_.find(key);
    if (it == map_.end()) return false;
    *out = it->second.c_str();
    return true;
}

bool QiArgRetVal::find(std::string const& key) const { return map_.count(key) != 0; }

bool QiArgRetVal::remove(char const* key) {
    map_.erase(key);
    return true;
}

bool QiArgRetVal::merge(QiArgRetVal const& other, bool) {
    if (&other == this) return true;
    for (auto const& kv : other.map_) map_.emplace(kv.first, kv.second);
    return true;
}

char const* QiArgRetVal::Pattern() const {
    auto it = map_.find("Pattern");
    return it == map_.end() ? nullptr : it->second.c_str();
}

void QiArgRetVal::dump(char const* title) const {
    gOutput->trace(QiOutput::Info, "Dump '%s':\n", title ? title : "");
    for (auto const& kv : map_)
        gOutput->trace(QiOutput::Info, "  %s => '%s'\n", kv.first.c_str(), kv.second.c_str());
}
