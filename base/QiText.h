// Text that an XML reply can carry.
//
// XML 1.0 allows the characters #x9, #xA, #xD, #x20-#xD7FF, #xE000-#xFFFD and
// #x10000-#x10FFFF; a reply holding any other, or bytes that are not UTF-8,
// is malformed for every client. Texts that come from outside (file names,
// request values) are checked with these before they can reach a reply.
#pragma once

#include <cstddef>
#include <string>

// True when `text` is well-formed UTF-8 (no overlong forms, no surrogates)
// of XML characters only; a null text is false.
bool qiIsXmlSafeText(const char* text);
bool qiIsXmlSafeText(const char* text, size_t length);

// True for a name (a file name, an alias name) that replies can carry and a
// reader can see: XML-safe text without any control character.
bool qiIsPlainName(const char* text);

// `text` for a trace line: every byte of a character that qiIsXmlSafeText
// refuses, and every byte of a control character, written as \xNN.
std::string qiEscapeText(const char* text);
