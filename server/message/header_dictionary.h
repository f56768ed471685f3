// CHeaderDictionary: a message header as the plain data that rule scripts see as their
// `headers` dictionary: texts by key ("subject", "subject:0") and counts ("subject:count").
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace Ovrin {

struct CHeaderDictionary {
    std::map<std::string, std::string> strings;
    std::map<std::string, int32_t> integers;
};

}  // namespace Ovrin
