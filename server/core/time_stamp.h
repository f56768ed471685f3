// The 17-digit local time with milliseconds ("yyyymmddhhmmssmmm") that message ids and the names
// of message files in the mail store begin with.
#pragma once

#include <string>

namespace Ovrin {

std::string LocalTimeStamp();

}  // namespace Ovrin
