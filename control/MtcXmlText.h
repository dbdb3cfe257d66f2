// Decoding of request bodies before the XML-RPC library parses them.
#pragma once

#include <xmlrpcpp/XmlRpcValue.h>

#include <cstddef>
#include <string>

// Replaces the numeric character references of `xml` ("&#233;", "&#xE9;")
// with the characters they name in UTF-8; a reference to one of the five
// markup characters becomes its named entity, which the library decodes.
// Characters that replies cannot carry are refused where the values are
// taken, like those sent as they are. A reference to NUL, to a surrogate or
// past U+10FFFF, or one that is malformed, gives false with `why` set; `xml`
// is then unspecified.
bool mtcDecodeCharRefs(std::string& xml, std::string* why);

// Decodes the entity references in the member names of every struct inside
// `value`, as the library does for string values (numeric references were
// decoded before parsing), so a name is stored as the client meant it; the
// library escapes names again when it writes them.
void mtcDecodeMemberNames(XmlRpc::XmlRpcValue& value);
