// The named validation patterns, compiled once, and the cut of long lines.
#include "common/validators.h"

#include "common/log.h"
#include "common/trace.h"

namespace Ovrin {

#define OVRIN_PATTERN(Name, Expression)                 \
    const boost::regex& Name() {                        \
        static const boost::regex pattern(Expression);  \
        return pattern;                                 \
    }

OVRIN_PATTERN(UserMailboxPattern, "([[:word:]]{1,32})(?:/([[:word:]]{1,32}))?")
OVRIN_PATTERN(NamePattern, "^[[:word:]]{1,32}$")
OVRIN_PATTERN(MessageNumberPattern, "^[[:digit:]]{1,8}$")
OVRIN_PATTERN(NumberPattern, "^[[:digit:]]{1,10}$")
OVRIN_PATTERN(HashPattern, "^[[:xdigit:]]{40}$")
OVRIN_PATTERN(DateTimePattern,
              "^(20(?:[0-2][0-9]|3[0-7]))-(0[1-9]|1[0-2])-(0[1-9]|[1-2][0-9]|3[0-1]) "
              "([0-1][0-9]|2[0-3]):([0-5][0-9]):([0-5][0-9])$")
OVRIN_PATTERN(ParameterNamePattern, "^[[:word:]]+(?:-[[:word:]]+)*$")

#undef OVRIN_PATTERN

bool Matches(const std::string& text, const boost::regex& pattern) {
    return boost::regex_match(text, pattern);
}

std::string ValidateRegexedLine(const std::string& line) {
    return Traced([&] {
        if (line.size() <= kMaxRegexedLine)
            return line;
        Logger().Warning("ValidateRegexedLine(): input line is too long, exceeds %d bytes, "
                         "truncated before further processing", static_cast<int>(kMaxRegexedLine));
        return line.substr(0, kMaxRegexedLine);
    }, "ValidateRegexedLine('%s')", line.c_str());
}

}  // namespace Ovrin
