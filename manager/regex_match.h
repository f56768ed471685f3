// Regular expressions in the server's dialect (Boost.Regex, Perl syntax with POSIX classes,
// matched against the whole text), so the manager checks texts as the server will.
#pragma once

#include <string>

namespace Ovrin {

// Throws "Invalid regex: %s" when the pattern does not compile.
bool RegexMatch(const std::string& pattern, const std::string& text);

}  // namespace Ovrin
