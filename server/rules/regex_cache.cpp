// The regular expression cache: pattern and flags to the expression, bounded by recency. Compiling happens outside the lock, so one slow pattern never
// holds up the other workers.
#include "server/rules/regex_cache.h"

#include <mutex>
#include <utility>

#include "common/bounded_cache.h"

namespace Ovrin {

namespace {

class CRegexCache {
public:
    CCompiledRegexPtr Get(const std::string& pattern, boost::regex::flag_type flags) {
        std::string key = std::to_string(flags) + ":" + pattern;
        {
            std::lock_guard<std::mutex> hold(guard);
            if (CCompiledRegexPtr* found = entries.Find(key))
                return *found;
        }
        auto compiled = std::make_shared<const boost::regex>(pattern, flags);
        std::lock_guard<std::mutex> hold(guard);
        // Another worker may have compiled it meanwhile: the first one stays.
        return entries.Insert(key, std::move(compiled));
    }

    size_t Count() {
        std::lock_guard<std::mutex> hold(guard);
        return entries.Size();
    }

private:
    std::mutex guard;
    CBoundedCache<std::string, CCompiledRegexPtr> entries{kRegexCacheLimit};
};

CRegexCache& Cache() {
    static CRegexCache cache;
    return cache;
}

}  // namespace

CCompiledRegexPtr CompiledRegex(const std::string& pattern, boost::regex::flag_type flags) {
    return Cache().Get(pattern, flags);
}

size_t CompiledRegexCount() { return Cache().Count(); }

}  // namespace Ovrin
