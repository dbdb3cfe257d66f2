// Numeric character references, which the library would otherwise store as
// written.
#include "MtcXmlText.h"

#include <xmlrpcpp/XmlRpcUtil.h>

#include <cstdint>
#include <cstdio>

namespace {

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
        if (digits == 0 || digits > 8 || i >= xml.size() || xml[i] != ';' || c == 0 ||
            c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
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

void mtcDecodeMemberNames(XmlRpc::XmlRpcValue& value) {
    using XmlRpc::XmlRpcValue;
    if (value.getType() == XmlRpcValue::TypeArray) {
        for (int i = 0; i < value.size(); ++i)
            mtcDecodeMemberNames(value[i]);
        return;
    }
    if (value.getType() != XmlRpcValue::TypeStruct) return;
    bool encoded = false;
    for (auto& member : value) {
        mtcDecodeMemberNames(member.second);
        if (member.first.find('&') != std::string::npos) encoded = true;
    }
    if (!encoded) return;
    XmlRpcValue decoded;
    (void)decoded.begin(); // a struct
    for (auto& member : value)
        decoded[XmlRpc::XmlRpcUtil::xmlDecode(member.first)] = member.second;
    value = decoded;
}
