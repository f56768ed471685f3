// Header text as people read it: RFC 2047 encoded words ("=?charset?B|Q?...?=") decoded, other
// bytes taken as UTF-8 where valid, else Latin-1.
#pragma once

#include <string_view>

#include <QString>

namespace Ovrin {

// 8-bit message text: UTF-8 where it is valid, else Latin-1, so no byte shows as garbage.
QString DecodeMessageText(std::string_view bytes);

// A header field's value with its encoded words decoded; white space between two encoded words
// goes, as the RFC says. A word in an unknown charset or malformed stays as it is.
QString DecodeHeaderValue(std::string_view value);

}  // namespace Ovrin
