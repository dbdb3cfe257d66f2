// Checks and decoding of request bodies before the XML-RPC library parses
// them. Every reply must be well-formed XML 1.0 in UTF-8, so nothing may
// enter the generator's state that a reply could not carry.
#pragma once

#include <cstddef>
#include <string>

// The offset of the first byte of `text` that is not part of a character
// XML 1.0 allows (valid UTF-8 of #x9, #xA, #xD, #x20-#xD7FF, #xE000-#xFFFD,
// #x10000-#x10FFFF; overlong forms and surrogates are refused), or
// std::string::npos when every byte is.
size_t mtcFirstNonXmlByte(const std::string& text);

// Replaces the numeric character references of `xml` ("&#233;", "&#xE9;")
// with the characters they name in UTF-8; a reference to one of the five
// markup characters becomes its named entity, which the library decodes. A
// reference to a character XML does not allow, or one that is malformed,
// gives false with `why` set; `xml` is then unspecified.
bool mtcDecodeCharRefs(std::string& xml, std::string* why);
