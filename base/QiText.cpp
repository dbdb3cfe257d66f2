#include "QiText.h"

#include <cstdio>
#include <cstring>

namespace {

bool isXmlChar(unsigned long c) {
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
           (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

// The length of the well-formed UTF-8 sequence at `s` (at most `left` bytes)
// holding one XML character, or 0.
size_t xmlCharLength(const unsigned char* s, size_t left) {
    const unsigned char b = s[0];
    size_t n;
    unsigned long c;
    if (b < 0x80) {
        n = 1;
        c = b;
    } else if (b >= 0xC2 && b <= 0xDF) {
        n = 2;
        c = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
        n = 3;
        c = b & 0x0F;
    } else if (b >= 0xF0 && b <= 0xF4) {
        n = 4;
        c = b & 0x07;
    } else {
        return 0; // a continuation byte, an overlong lead (C0, C1) or beyond U+10FFFF
    }
    if (n > left) return 0;
    for (size_t i = 1; i < n; ++i) {
        if ((s[i] & 0xC0) != 0x80) return 0;
        c = c << 6 | (s[i] & 0x3F);
    }
    // Overlong forms of three and four bytes.
    if ((n == 3 && c < 0x800) || (n == 4 && c < 0x10000)) return 0;
    return isXmlChar(c) ? n : 0; // surrogates, U+FFFE and U+FFFF are no characters
}

// True when the character of `length` bytes at `text` is a control
// character: C0 (tab and line ends included), DEL or C1.
bool isControlAt(const char* text, size_t length) {
    const unsigned char* s = reinterpret_cast<const unsigned char*>(text);
    return (length == 1 && (s[0] < 0x20 || s[0] == 0x7F)) ||
           (length == 2 && s[0] == 0xC2 && s[1] >= 0x80 && s[1] <= 0x9F);
}

} // namespace

bool qiIsPlainName(const char* text) {
    if (!qiIsXmlSafeText(text)) return false;
    const unsigned char* s = reinterpret_cast<const unsigned char*>(text);
    const size_t length = std::strlen(text);
    for (size_t i = 0; i < length;) {
        const size_t n = xmlCharLength(s + i, length - i);
        if (isControlAt(text + i, n)) return false;
        i += n;
    }
    return true;
}

bool qiIsXmlSafeText(const char* text) {
    return text && qiIsXmlSafeText(text, std::strlen(text));
}

bool qiIsXmlSafeText(const char* text, size_t length) {
    if (!text) return false;
    const unsigned char* s = reinterpret_cast<const unsigned char*>(text);
    for (size_t i = 0; i < length;) {
        if (s[i] >= 0x20 && s[i] < 0x80) { // the common case: printable ASCII
            ++i;
            continue;
        }
        const size_t n = xmlCharLength(s + i, length - i);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

std::string qiEscapeText(const char* text) {
    std::string out;
    if (!text) return out;
    const unsigned char* s = reinterpret_cast<const unsigned char*>(text);
    const size_t length = std::strlen(text);
    for (size_t i = 0; i < length;) {
        size_t n = xmlCharLength(s + i, length - i);
        if (isControlAt(text + i, n)) n = 0; // tab and line ends are escaped too
        if (n == 0) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", s[i]);
            out += hex;
            ++i;
        } else {
            out.append(text + i, n);
            i += n;
        }
    }
    return out;
}
