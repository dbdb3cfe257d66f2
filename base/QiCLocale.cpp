#include "QiCLocale.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace qi {

locale_t cLocale() {
    static locale_t loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return loc;
}

namespace {
// Switches the calling thread to the C locale for the lifetime of the object.
class ScopedCLocale {
public:
    ScopedCLocale() : previous_(uselocale(cLocale())) {}
    ~ScopedCLocale() { uselocale(previous_); }
    ScopedCLocale(const ScopedCLocale&) = delete;
    ScopedCLocale& operator=(const ScopedCLocale&) = delete;

private:
    locale_t previous_;
};

char asciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}
} // namespace

bool vformatC(std::string& out, const char* format, va_list args) {
    out.clear();
    if (!format) return false;
    ScopedCLocale c;
    char small[256];
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (n < 0) return false;
    if (static_cast<size_t>(n) < sizeof small) {
        out.assign(small, static_cast<size_t>(n));
        return true;
    }
    std::vector<char> big(static_cast<size_t>(n) + 1);
    va_copy(copy, args);
    int m = std::vsnprintf(big.data(), big.size(), format, copy);
    va_end(copy);
    if (m < 0) return false;
    out.assign(big.data(), static_cast<size_t>(m));
    return true;
}

std::string formatC(const char* format, ...) {
    std::string out;
    va_list args;
    va_start(args, format);
    vformatC(out, format, args);
    va_end(args);
    return out;
}

double strtodC(const char* text, char** end) {
    return strtod_l(text, end, cLocale());
}

long strtolC(const char* text, char** end, int base) {
    return strtol_l(text, end, base, cLocale());
}

unsigned long strtoulC(const char* text, char** end, int base) {
    return strtoul_l(text, end, base, cLocale());
}

std::string fixedC(double value, int decimals) {
    return formatC("%.*f", decimals, value);
}

bool startsWithNoCase(const char* text, const char* prefix) {
    for (; *prefix; ++prefix, ++text) {
        if (!*text || asciiLower(*text) != asciiLower(*prefix)) return false;
    }
    return true;
}

bool equalsNoCase(const char* a, const char* b) {
    for (; *a && *b; ++a, ++b) {
        if (asciiLower(*a) != asciiLower(*b)) return false;
    }
    return *a == *b;
}

} // namespace qi
