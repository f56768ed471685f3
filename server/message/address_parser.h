// The address parser: the values of the address fields of a message header (RFC 2822 syntax,
// without the obsolete forms) as a flat canonical token text, and named tokens taken out again.
#pragma once

#include <string>
#include <string_view>

namespace Ovrin {

// The canonical text of one header field value:
//   from                 mailbox-list(mailbox(...)...)
//   sender               mailbox(display-name(...)local-part(...)domain(...))
//   to, cc, reply-to     address-list(address(mailbox(...) or group(display-name(...)mailbox-list(...)))...)
//   any other name       the value with "(" as "{" and ")" as "}"
// An empty value gives the empty text. The name is compared case-insensitively.
// Never throws for a bad value: failed is set and the error text ("At (@) expected at: ...",
// ending with the rest of the input) is returned instead. failed is false on success.
// Bounded in time and stack for any input.
std::string ParseCanonical(std::string_view name, std::string_view value, bool& failed);

// The content of the first token called `token` in `canonical`; `canonical` becomes the text
// after that token's closing parenthesis, so successive calls walk all tokens of one name.
// A missing or unbalanced token gives the empty string and clears `canonical`.
std::string FetchToken(std::string& canonical, std::string_view token);
// The same walk without copying: the content is a view into the text that `canonical` viewed,
// so walking every token of a long text stays linear.
std::string_view FetchToken(std::string_view& canonical, std::string_view token);

}  // namespace Ovrin
