// The pattern renderer's vocabulary: the argument map, the option
// descriptors and the renderer base.
#include "MtPatternRenderer.h"
#include "QiArgRetVal.h"
#include "QiOption.h"

#include "QiCLocale.h"
#include "QiOutput.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

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

bool QiArgRetVal::find(std::string const& key) const {
    return map_.count(key) != 0;
}

bool QiArgRetVal::remove(char const* key) {
    map_.erase(key);
    return true;
}

bool QiArgRetVal::merge(QiArgRetVal const& other, bool) {
    if (&other == this) return true;
    for (auto const& kv : other.map_)
        map_.emplace(kv.first, kv.second);
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

// ------------------------------------------------------------- QiOption family

QiOptUiSettings const defaultOptionUiSettings(-1, -1, -1, -1, nullptr, nullptr, true);

char const* const qiOptType[8] = {"Integer",     "Boolean", "String",    "Double",
                                  "Enumeration", "RGB",     "RoInteger", nullptr};

namespace {
// Descriptors may come from plug-ins; a null text publishes and looks up as "".
char const* textOr(char const* text) {
    return text ? text : "";
}

// Renderers change numeric limits on the render thread while client threads
// publish records and read values; one lock for all of them is plenty.
std::mutex& limitsLock() {
    static std::mutex lock;
    return lock;
}
} // namespace

char const* QiOption::typeName(Type t) {
    unsigned index = static_cast<unsigned>(t);
    return index < 7 ? qiOptType[index] : "";
}

bool QiOption::getParameters(QiArgRetVal& record) const {
    record.set("Name", textOr(name));
    record.set("DataType", typeName(type));
    record.set("Description", textOr(description));
    record.set("uiX", ui.uiX);
    record.set("uiY", ui.uiY);
    record.set("uiW", ui.uiW);
    record.set("uiH", ui.uiH);
    if (ui.uiPredicatesOnField && ui.uiPredicatesOnValue) {
        record.set("uiPredicatesOnField", ui.uiPredicatesOnField);
        record.set("uiPredicatesOnValue", ui.uiPredicatesOnValue);
        record.set("uiPredicateLogic", ui.uiPredicateLogic ? "1" : "0");
    }
    return true;
}

// Integer

QiOptInt::QiOptInt(char const* name, char const* description, int defaultValue, int minValue,
                   int maxValue, QiOptUiSettings const& ui)
    : QiOption(name, description, Integer, ui), defaultValue(defaultValue), minValue(minValue),
      maxValue(maxValue) {}

bool QiOptInt::getParameters(QiArgRetVal& record) const {
    QiOption::getParameters(record);
    std::lock_guard<std::mutex> lock(limitsLock());
    record.set("MaxValue", maxValue);
    record.set("MinValue", minValue);
    record.set("DefaultValue", defaultValue);
    return true;
}

bool QiOptInt::getOption(QiArgRetVal const& args, int& out) const {
    int value = 0;
    bool present = args.find(textOr(name), &value);
    std::lock_guard<std::mutex> lock(limitsLock());
    if (!present) {
        out = defaultValue;
        return false;
    }
    // Maximum first: with min > max every present value yields the minimum.
    if (value > maxValue) value = maxValue;
    if (value < minValue) value = minValue;
    out = value;
    return true;
}

bool QiOptInt::setLimits(int newDefault, int newMin, int newMax) {
    std::lock_guard<std::mutex> lock(limitsLock());
    defaultValue = newDefault;
    minValue = newMin;
    maxValue = newMax;
    return true;
}

// Read-only integer

QiOptIntRo::QiOptIntRo(char const* name, char const* description, int value,
                       QiOptUiSettings const& ui)
    : QiOption(name, description, RoInteger, ui), value(value) {}

bool QiOptIntRo::getParameters(QiArgRetVal& record) const {
    QiOption::getParameters(record);
    record.set("Value", value);
    return true;
}

// Boolean

QiOptBool::QiOptBool(char const* name, char const* description, bool defaultValue,
                     QiOptUiSettings const& ui)
    : QiOption(name, description, Boolean, ui), defaultValue(defaultValue) {}

bool QiOptBool::getParameters(QiArgRetVal& record) const {
    QiOption::getParameters(record);
    record.set("DefaultValue", defaultValue ? "true" : "false");
    return true;
}

bool QiOptBool::getOption(QiArgRetVal const& args, bool& out) const {
    if (args.find(textOr(name), &out)) return true;
    out = defaultValue;
    return false;
}

bool QiOptBool::getOption(QiArgRetVal& args, bool& out) const {
    if (args.find(textOr(name), &out)) return true; // non-const: resolves "toggle"
    out = defaultValue;
    return false;
}

// String

QiOptString::QiOptString(char const* name, char const* description, char const* defaultValue,
                         QiOptUiSettings const& ui)
    : QiOption(name, description, String, ui), defaultValue(defaultValue) {}

bool QiOptString::getParameters(QiArgRetVal& record) const {
    QiOption::getParameters(record);
    record.set("DefaultValue", textOr(defaultValue));
    return true;
}

bool QiOptString::getOption(QiArgRetVal const& args, char** out) const {
    char const* text = nullptr;
    bool present = args.find(textOr(name), &text);
    *out = strdup(present ? text : textOr(defaultValue));
    return present;
}

// Double

QiOptDouble::QiOptDouble(char const* name, char const* description, double defaultValue,
                         double minValue, double maxValue, QiOptUiSettings const& ui)
    : QiOption(name, description, Double, ui), defaultValue(defaultValue), minValue(minValue),
      maxValue(maxValue) {}

bool QiOptDouble::getParameters(QiArgRetVal& record) const {
    QiOption::getParameters(record);
    std::lock_guard<std::mutex> lock(limitsLock());
    record.set("MaxValue", maxValue);
    record.set("MinValue", minValue);
    record.set("DefaultValue", defaultValue);
    return true;
}

bool QiOptDouble::getOption(QiArgRetVal const& args, double& out) const {
    double value = 0.0;
    bool present = args.find(textOr(name), &value);
    std::lock_guard<std::mutex> lock(limitsLock());
    if (!present) {
        out = defaultValue;
        return false;
    }
    // NaN fails both comparisons and passes through unchanged.
    if (value > maxValue) value = maxValue;
    if (value < minValue) value = minValue;
    out = value;
    return true;
}

bool QiOptDouble::setLimits(double newDefault, double newMin, double newMax) {
    std::lock_guard<std::mutex> lock(limitsLock());
    defaultValue = newDefault;
    minValue = newMin;
    maxValue = newMax;
    return true;
}

// Enumeration

QiOptEnum::QiOptEnum(char const* name, char const* description, unsigned defaultIndex,
                     char const* const* values, QiOptUiSettings const& ui)
    : QiOption(name, description, Enumeration, ui), values(values), defaultIndex(defaultIndex),
      count(0) {
    if (values)
        while (values[count])
            ++count;
}

char const* QiOptEnum::getName(unsigned int index) const {
    if (!values) return "";
    if (index < count && values[index]) return values[index];
    if (defaultIndex < count && values[defaultIndex]) return values[defaultIndex];
    return "";
}

uint32_t QiOptEnum::indexOf(char const* text) const {
    if (!values) return count;
    for (uint32_t i = 0; i < count && values[i]; ++i)
        if (qi::equalsNoCase(values[i], text)) return i;
    return count;
}

bool QiOptEnum::getParameters(QiArgRetVal& record) const {
    QiOption::getParameters(record);
    record.set("DefaultValue", getName(defaultIndex));
    std::string const prefix = textOr(name);
    for (uint32_t i = 0; i < count && values && values[i]; ++i)
        record.set(prefix + std::to_string(i), std::string(values[i]));
    record.set("nVal", static_cast<int>(count));
    return true;
}

bool QiOptEnum::getOption(QiArgRetVal const& args, unsigned int& out) const {
    char const* text = nullptr;
    if (!args.find(textOr(name), &text)) {
        out = defaultIndex;
        return false;
    }
    uint32_t index = indexOf(text);
    // A name outside the list reads as the default, as an absent key does.
    out = index < count ? index : defaultIndex;
    return true;
}

bool QiOptEnum::getOption(QiArgRetVal& args, unsigned int& out) const {
    char const* key = textOr(name);
    char const* text = nullptr;
    if (!args.find(key, &text)) {
        out = defaultIndex;
        return false;
    }
    if (qi::equalsNoCase(text, "toggle")) {
        if (count == 0) return true; // nothing to step to
        out = (out + 1) % count;
        args.set(key, getName(out)); // `text` dies here
        return true;
    }
    uint32_t index = indexOf(text);
    if (index < count) out = index; // no match: the current setting stays
    return true;
}

// RGB

QiOptRGB::QiOptRGB(char const* name, char const* description, unsigned red, unsigned green,
                   unsigned blue, bool defaultIsRGB, QiOptUiSettings const& ui)
    : QiOption(name, description, RGB, ui), defaultRed(red), defaultGreen(green), defaultBlue(blue),
      defaultIsRGB(defaultIsRGB) {}

bool QiOptRGB::getParameters(QiArgRetVal& record) const {
    QiOption::getParameters(record);
    record.set("DefaultValueR", static_cast<int>(defaultRed));
    record.set("DefaultValueG", static_cast<int>(defaultGreen));
    record.set("DefaultValueB", static_cast<int>(defaultBlue));
    record.set("DefaultIsRGB", defaultIsRGB ? "true" : "false");
    return true;
}

bool QiOptRGB::getOption(QiArgRetVal const& args, unsigned int& r, unsigned int& g,
                         unsigned int& b) const {
    std::string const base = textOr(name);
    r = defaultRed;
    g = defaultGreen;
    b = defaultBlue;
    bool all = true;
    all &= args.find((base + "_Red").c_str(), &r);
    all &= args.find((base + "_Green").c_str(), &g);
    all &= args.find((base + "_Blue").c_str(), &b);
    return all;
}

// --------------------------------------------------------- MtPatternRenderer

namespace {
QiOption* const kNoOptions[] = {nullptr};
}

MtPatternRenderer::MtPatternRenderer() : options(nullptr), revision(nullptr), period(0) {}

MtPatternRenderer::~MtPatternRenderer() {}

bool MtPatternRenderer::onKey(char const*, QiArgRetVal&) {
    return true;
}

void MtPatternRenderer::update() {}

QiOption* const* MtPatternRenderer::getOptions() const {
    return options ? options : kNoOptions;
}

char const* MtPatternRenderer::getSafeName() {
    return textOr(getName());
}

char const* MtPatternRenderer::getRevision() const {
    return textOr(revision);
}

uint64_t MtPatternRenderer::getPeriod() const {
    return period < kMaxFramePeriodMs ? period : kMaxFramePeriodMs;
}
