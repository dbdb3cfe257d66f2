// Checks and decoding of request bodies before the XML-RPC library parses
// them (the characters allowed are QiText's). Every reply must be well-formed XML 1.0 in UTF-8, so
// nothing may enter the generator's state that a reply could not carry.
#pragma once

#include <cstddef>
#include <string>

// Replaces the numeric character references of `xml` ("&#233;", "&#xE9;")
// with the characters they name in UTF-8; a reference to one of the five
// markup characters becomes its named entity, which the library decodes. A
// reference to a character XML does not allow, or one that is malformed,
// gives false with `why` set; `xml` is then unspecified.
bool mtcDecodeCharRefs(std::string& xml, std::string* why);
