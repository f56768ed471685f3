// The regular expression cache: a map from pattern and flags to the expression, with a
// recency list for the bound. Compiling happens outside the lock, so one slow pattern never
// holds up the other workers.
#include "server/rules/regex_cache.h"

#include <list>
#include <mutex>
#include <unordered_map>
#include <utility>

namespace Ovrin {

namespace {

class CRegexCache {
public:
    CCompiledRegexPtr Get(const std::string& pattern, boost::regex::flag_type flags) {
        std::string key = std::to_string(flags) + ":" + pattern;
        {
            std::lock_guard<std::mutex> hold(guard);
            auto found = entries.find(key);
            if (found != entries.end()) {
                recency.splice(recency.begin(), recency, found->second.second);
                return found->second.first;
            }
        }
        auto compiled = std::make_shared<const boost::regex>(pattern, flags);
        std::lock_guard<std::mutex> hold(guard);
        auto [entry, inserted] = entries.try_emplace(key, compiled, recency.end());
        if (!inserted)
            return entry->second.first;  // another worker compiled it meanwhile
        recency.push_front(key);
        entry->second.second = recency.begin();
        if (entries.size() > kRegexCacheLimit) {
            entries.erase(recency.back());
            recency.pop_back();
        }
        return compiled;
    }

    size_t Count() {
        std::lock_guard<std::mutex> hold(guard);
        return entries.size();
    }

private:
    std::mutex guard;
    std::list<std::string> recency;  // most recently used first
    std::unordered_map<std::string, std::pair<CCompiledRegexPtr, std::list<std::string>::iterator>> entries;
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
