// CNameValueMap: every operation holds the map's own lock for its whole duration, shared by
// the readers.
#include "server/core/name_value_map.h"

#include <chrono>

#include "common/exception.h"
#include "common/trace.h"

namespace Ovrin {

bool CNameValueMap::Lock(uint32_t milliseconds) {
    if (milliseconds == kInfinite) {
        guard.lock();
        return true;
    }
    return guard.try_lock_for(std::chrono::milliseconds(milliseconds));
}

void CNameValueMap::Unlock() { guard.unlock(); }

void CNameValueMap::SetValue(const std::string& name, const std::string& value) {
    Traced([&] {
        CScopedLock hold(*this, kInfinite);
        values[name] = value;
    }, "CNameValueMap::SetValue('%s', '%s')", name.c_str(), value.c_str());
}

std::string CNameValueMap::GetValue(const std::string& name) const {
    return Traced([&] {
        std::shared_lock hold(guard);
        auto it = values.find(name);
        if (it == values.end())
            throw CMessageException("Value for name '%s' is not found in the map", name.c_str());
        return it->second;
    }, "CNameValueMap::GetValue('%s')", name.c_str());
}

bool CNameValueMap::HasValue(const std::string& name) const {
    return Traced([&] {
        std::shared_lock hold(guard);
        return values.count(name) != 0;
    }, "CNameValueMap::HasValue('%s')", name.c_str());
}

std::string CNameValueMap::GetValueOr(const std::string& name, const std::string& fallback) const {
    return Traced([&] {
        std::shared_lock hold(guard);
        auto it = values.find(name);
        return it == values.end() ? fallback : it->second;
    }, "CNameValueMap::GetValueOr('%s')", name.c_str());
}

void CNameValueMap::DelValue(const std::string& name) {
    Traced([&] {
        CScopedLock hold(*this, kInfinite);
        if (values.erase(name) == 0)
            throw CMessageException("Value for name '%s' is not found in the map", name.c_str());
    }, "CNameValueMap::DelValue('%s')", name.c_str());
}

void CNameValueMap::ClearValues() {
    Traced([&] {
        CScopedLock hold(*this, kInfinite);
        values.clear();
    }, "CNameValueMap::ClearValues()");
}

std::optional<std::string> CNameValueMap::TakeValue(const std::string& name) {
    return Traced([&]() -> std::optional<std::string> {
        CScopedLock hold(*this, kInfinite);
        auto it = values.find(name);
        if (it == values.end())
            return std::nullopt;
        std::string value = std::move(it->second);
        values.erase(it);
        return value;
    }, "CNameValueMap::TakeValue('%s')", name.c_str());
}

}  // namespace Ovrin
