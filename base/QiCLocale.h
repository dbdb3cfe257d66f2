// Locale-independent number text.
//
// Numbers that travel between processes (XML-RPC values, option texts, trace
// datagrams) are always read and written in the C locale, whatever locale the
// GUI toolkit has switched the C library to. Every function here is safe to
// call from any thread; none changes the process locale.
#pragma once

#include <cstdarg>
#include <locale.h>
#include <string>

namespace qi {

// The C locale object, created once and never freed.
locale_t cLocale();

// printf-style formatting in the C locale. Returns false (and leaves `out`
// empty) when the format fails.
bool vformatC(std::string& out, const char* format, va_list args);
std::string formatC(const char* format, ...) __attribute__((format(printf, 1, 2)));

// strtod / strtol / strtoul rules in the C locale.
double strtodC(const char* text, char** end = nullptr);
long strtolC(const char* text, char** end, int base);
unsigned long strtoulC(const char* text, char** end, int base);

// "%f" in the C locale: fixed notation with `decimals` digits after the
// point, the whole text however long.
std::string fixedC(double value, int decimals = 6);

// ASCII case-insensitive comparisons, independent of the locale's case rules.
bool startsWithNoCase(const char* text, const char* prefix);
bool equalsNoCase(const char* a, const char* b);

} // namespace qi
