// Request-body checks: XML 1.0 characters in UTF-8, and numeric character
// references, which the library would otherwise store as written.
#include "MtcXmlText.h"

#include <cstdint>
#include <cstdio>

namespace {

bool isXmlChar(uint32_t c) {
    if (c < 0x20) return c == 0x9 || c == 0xA || c == 0xD;
    if (c <= 0xD7FF) return true;
    if (c < 0xE000) return false; // surrogates
    if (c <= 0xFFFD) return true;
    return c >= 0x10000 && c <= 0x10FFFF;
}

// Decodes one UTF-8 sequence at `p` (of `left` bytes): its length, or 0 when
// it is not a well-formed, shortest encoding.
size_t decodeUtf8(const unsigned char* p, size_t left, uint32_t* c) {
    const unsigned char b = p[0];
    size_t n;
    uint32_t min;
    if (b < 0x80) {
        *c = b;
        return 1;
    } else if ((b & 0xE0) == 0xC0) {
        n = 2, min = 0x80, *c = b & 0x1F;
    } else if ((b & 0xF0) == 0xE0) {
        n = 3, min = 0x800, *c = b & 0x0F;
    } else if ((b & 0xF8) == 0xF0) {
        n = 4, min = 0x10000, *c = b & 0x07;
    } else {
        return 0;
    }
    if (left < n) return 0;
    for (size_t i = 1; i < n; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        *c = *c << 6 | (p[i] & 0x3F);
    }
    return *c < min ? 0 : n;
}

void appendUtf8(std::string& out, uint32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | c >> 6);
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | c >> 12);
        out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | c >> 18);
        out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

} // namespace

size_t mtcFirstNonXmlByte(const std::string& text) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text.data());
    const size_t size = text.size();
    for (size_t i = 0; i < size;) {
        if (p[i] >= 0x20 && p[i] < 0x80) { // the common case: printable ASCII
            ++i;
            continue;
        }
        uint32_t c = 0;
        const size_t n = decodeUtf8(p + i, size - i, &c);
        if (n == 0 || !isXmlChar(c)) return i;
        i += n;
    }
    return std::string::npos;
}

bool mtcDecodeCharRefs(std::string& xml, std::string* why) {
    size_t at = xml.find("&#");
    if (at == std::string::npos) return true;
    std::string out;
    out.reserve(xml.size());
    size_t from = 0;
    for (; at != std::string::npos; at = xml.find("&#", from)) {
        out.append(xml, from, at - from);
        size_t i = at + 2;
        const bool hex = i < xml.size() && (xml[i] == 'x');
        if (hex) ++i;
        uint32_t c = 0;
        size_t digits = 0;
        for (; i < xml.size() && digits <= 8; ++i, ++digits) {
            const char d = xml[i];
            uint32_t v;
            if (d >= '0' && d <= '9')
                v = static_cast<uint32_t>(d - '0');
            else if (hex && d >= 'a' && d <= 'f')
                v = static_cast<uint32_t>(d - 'a' + 10);
            else if (hex && d >= 'A' && d <= 'F')
                v = static_cast<uint32_t>(d - 'A' + 10);
            else
                break;
            c = c * (hex ? 16 : 10) + v;
        }
        if (digits == 0 || digits > 8 || i >= xml.size() || xml[i] != ';' || !isXmlChar(c)) {
            char text[96];
            std::snprintf(text, sizeof text, "bad character reference at byte %zu", at);
            if (why) *why = text;
            return false;
        }
        switch (c) {
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '&':
            out += "&amp;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&apos;";
            break;
        default:
            appendUtf8(out, c);
        }
        from = i + 1;
    }
    out.append(xml, from, std::string::npos);
    xml.swap(out);
    return true;
}
