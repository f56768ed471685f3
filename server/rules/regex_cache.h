// The compiled regular expressions of the rules' patterns, shared by every message's clone of a
// rule and bounded, so that a pattern is compiled once per process, not once per message.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include <boost/regex.hpp>

namespace Ovrin {

using CCompiledRegexPtr = std::shared_ptr<const boost::regex>;

// Most patterns cached at once; the least recently used is dropped beyond it.
inline constexpr size_t kRegexCacheLimit = 1024;

// The expression compiled from the pattern text with the flags, from the cache when it holds
// it. Throws what boost::regex throws for a pattern that does not compile (nothing is cached).
CCompiledRegexPtr CompiledRegex(const std::string& pattern, boost::regex::flag_type flags);
// How many expressions the cache holds now.
size_t CompiledRegexCount();

}  // namespace Ovrin
