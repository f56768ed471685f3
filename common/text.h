// Text helpers on 8-bit strings: trimming, case folding, replacing, escaping, times, Base64 and
// the 32-bit decimal conversions.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

#include "common/format.h"

namespace Ovrin {

// Without leading and trailing blanks, tabs, CRs and LFs.
std::string Trim(std::string_view text);
// Byte-wise case folding; anything after an embedded NUL is lost.
std::string ToLower(std::string_view text);
std::string ToUpper(std::string_view text);
// Every occurrence of what, left to right without overlap; what must not be empty.
std::string Replace(std::string_view text, std::string_view what, std::string_view with);
// A backslash before each of . | * ? + ( ) { } [ ] ^ $ and backslash; control bytes and bytes
// of 0x80 and above as \xHH, so the pattern is ASCII and matches exactly the original bytes.
std::string EscapeRegex(std::string_view text);
// For any Python string literal: backslash and both quotes escaped, control bytes as \xhh,
// the rest above ASCII as \u escapes of the text the headers dictionary holds (UTF-8, other
// bytes as lone surrogates).
std::string EscapePython(std::string_view text);
// Bytes below 0x20 become blanks; with all false, CR, LF and TAB stay.
std::string ReplaceControlCharacters(std::string_view text, bool all);
// "%Y-%m-%d %H:%M:%S" in local time.
std::string TimeToString(time_t time);
// The inverse of TimeToString for years 2000 to 2037; throws "Invalid date/time value: %s".
time_t StringToTime(const std::string& text);
// The same without a failure: nullopt for a text StringToTime refuses.
std::optional<time_t> ParseTime(const std::string& text);
// Lenient decoder: other bytes are skipped; malformed input yields the empty string.
std::string DecodeBASE64(std::string_view text);
// RFC 4648 alphabet with "=" padding, no line breaks.
std::string EncodeBASE64(std::string_view bytes);
// The C library's decimal conversions with 32-bit results: an optional sign and leading
// digits, anything else gives 0; values beyond 32 bits saturate.
int32_t AtoI(std::string_view text);
inline int32_t AtoL(std::string_view text) { return AtoI(text); }

}  // namespace Ovrin
