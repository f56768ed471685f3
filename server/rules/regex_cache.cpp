// The regular expression cache: pattern and flags to the expression, bounded by recency. Compiling happens outside the lock, so one slow pattern never
// holds up the other workers.
#include "server/rules/regex_cache.h"

#include <memory>

#include "common/bounded_cache.h"

namespace Ovrin {

namespace {

using CRegexCache = CSharedBoundedCache<std::string, CCompiledRegexPtr>;

CRegexCache& Cache() {
    static CRegexCache cache{kRegexCacheLimit};
    return cache;
}

}  // namespace

CCompiledRegexPtr CompiledRegex(const std::string& pattern, boost::regex::flag_type flags) {
    return Cache().Get(std::to_string(flags) + ":" + pattern,
                       [&] { return std::make_shared<const boost::regex>(pattern, flags); });
}

size_t CompiledRegexCount() { return Cache().Size(); }

}  // namespace Ovrin
