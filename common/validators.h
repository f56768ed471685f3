// The named validation patterns, compiled once and shared read-only by all threads, and the
// bound on lines that regular expressions are applied to. Each pattern is meant for regex_match.
#pragma once

#include <string>

#include <boost/regex.hpp>

namespace Ovrin {

const boost::regex& UserMailboxPattern();
const boost::regex& NamePattern();
const boost::regex& MessageNumberPattern();
const boost::regex& NumberPattern();
const boost::regex& HashPattern();
const boost::regex& DateTimePattern();
const boost::regex& ParameterNamePattern();

// True when the whole text matches the pattern.
bool Matches(const std::string& text, const boost::regex& pattern);

// Lines longer than this are cut before a regular expression sees them.
constexpr size_t kMaxRegexedLine = 2048;
std::string ValidateRegexedLine(const std::string& line);

}  // namespace Ovrin
