// CNameValueMap: a map from name to value that is its own lock, shared between threads. The
// configuration and the training map are built on it.
#pragma once

#include <map>
#include <optional>
#include <shared_mutex>
#include <string>

#include "common/lock.h"

namespace Ovrin {

// Its lock lets readers share it: every message reads the configuration on every worker, and
// writers are rare. Taken as a CLockable it is held exclusively, and not recursively.
class CNameValueMap : public CLockable {
public:
    bool Lock(uint32_t milliseconds) override;
    void Unlock() override;

    // Inserts the pair or replaces the value of an existing name.
    void SetValue(const std::string& name, const std::string& value);
    // A copy of the value; a missing name throws "Value for name '%s' is not found in the map".
    std::string GetValue(const std::string& name) const;
    bool HasValue(const std::string& name) const;
    // A copy of the value, or the fall-back when the name is missing, in one look.
    std::string GetValueOr(const std::string& name, const std::string& fallback) const;
    // Removes the pair; a missing name throws like GetValue.
    void DelValue(const std::string& name);
    void ClearValues();

    // Removes the pair and returns its value, in one step, so that two threads never both
    // consume one entry; nullopt when the name is missing.
    std::optional<std::string> TakeValue(const std::string& name);

    // Calls visit(name, value) for every pair in byte-wise name order, under the lock.
    template <class Visit>
    void ForEachValue(Visit&& visit) const {
        std::shared_lock hold(guard);
        for (const auto& [name, value] : values)
            visit(name, value);
    }

private:
    mutable std::shared_timed_mutex guard;
    std::map<std::string, std::string> values;
};

}  // namespace Ovrin
