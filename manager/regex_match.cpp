// Matching a text against a pattern in the server's dialect.
#include "manager/regex_match.h"

#include <boost/regex.hpp>

#include "common/exception.h"

namespace Ovrin {

bool RegexMatch(const std::string& pattern, const std::string& text) {
    boost::regex expression;
    try {
        expression.assign(pattern, boost::regex::perl);
    } catch (const boost::regex_error&) {
        throw CMessageException("Invalid regex: %s", pattern.c_str());
    }
    try {
        return boost::regex_match(text, expression);
    } catch (const std::runtime_error& e) {
        // Boost gives up on pathological backtracking; that is not a match.
        return false;
    }
}

}  // namespace Ovrin
