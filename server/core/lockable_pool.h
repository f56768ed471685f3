// CLockablePool: one loaded object per name (a user's configuration, a user's ruleset), shared
// by the threads that work for that user, and a lock per name through which an editor takes
// the object out of service; the next use after the unlock loads it afresh.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common/lock.h"
#include "common/log.h"
#include "common/thread.h"
#include "common/trace.h"

namespace Ovrin {

template <class T>
class CLockablePool : public CLock {
public:
    using CObjectPtr = std::shared_ptr<T>;
    // Loads the object of a name; its failure reaches the caller of GetObject.
    using CLoader = std::function<CObjectPtr(const std::string& name)>;

    explicit CLockablePool(CLoader loader = [](const std::string& name) { return std::make_shared<T>(name); })
        : loader(std::move(loader)) {}

    // The name's object, loaded on first use; waits while an editor holds the name.
    CObjectPtr GetObject(const std::string& name) {
        return Traced([&] {
            std::shared_ptr<CEntry> entry = AcquireEntry(name, kInfinite);
            CEntryHold hold(*entry);
            if (!entry->object)
                entry->object = entry->current.lock();
            if (!entry->object) {
                entry->object = loader(name);
                entry->current = entry->object;
            }
            return entry->object;
        }, "CLockablePool::GetObject(0x%08x)", Address(&name));
    }

    // Takes the name's lock within the time-out (milliseconds, -1 for no limit) and waits,
    // within the time-out again, until no one else holds the object; then drops the object.
    // False on time-out, with the object left in the pool.
    bool LockObject(const std::string& name, int32_t timeout) {
        return Traced([&] {
            const uint32_t limit = timeout < 0 ? kInfinite : static_cast<uint32_t>(timeout);
            std::shared_ptr<CEntry> entry = AcquireEntry(name, limit);
            if (!entry)
                return false;
            CObjectPtr object = std::move(entry->object);
            entry->object.reset();
            if (!object)
                object = entry->current.lock();
            if (!object)
                return true;
            for (uint32_t waited = 0; object.use_count() > 1 && (limit == kInfinite || waited < limit); waited += 10)
                CThread::Sleep(10);
            if (object.use_count() == 1) {
                object.reset();  // the object's own release (a ruleset saves) runs while the name is locked
                return true;
            }
            entry->object = std::move(object);
            entry->lock.Unlock();
            Logger().Warning("CLockablePool::LockObject(0x%08x, %d): an attempt to lock object timed out",
                             Address(&name), timeout);
            return false;
        }, "CLockablePool::LockObject(0x%08x, %d)", Address(&name), timeout);
    }

    // Releases one LockObject of the calling thread. Anything else (an unlock without a lock,
    // one unlock too many, an unlock from another thread) leaves the lock as it is.
    void UnlockObject(const std::string& name) {
        Traced([&] {
            std::shared_ptr<CEntry> entry;
            {
                CScopedLock hold(*this, kInfinite);
                auto it = entries.find(name);
                if (it == entries.end())
                    return;
                entry = it->second;
            }
            if (entry->lock.IsHeldByCurrentThread())
                entry->lock.Unlock();
        }, "CLockablePool::UnlockObject(0x%08x)", Address(&name));
    }

    // Releases every lock the calling thread holds, however often it took each; returns how
    // many names were locked. The control loop calls it when it ends, so that locks taken for
    // an editor that never unlocked cannot keep the shutdown waiting for workers behind them.
    unsigned UnlockAllObjects() {
        return Traced([&] {
            std::vector<std::shared_ptr<CEntry>> held;
            {
                CScopedLock hold(*this, kInfinite);
                for (auto& [name, entry] : entries)
                    if (entry->lock.IsHeldByCurrentThread())
                        held.push_back(entry);
            }
            for (auto& entry : held)
                while (entry->lock.IsHeldByCurrentThread())
                    entry->lock.Unlock();
            return static_cast<unsigned>(held.size());
        }, "CLockablePool::UnlockAllObjects()");
    }

    // Drops the pool's reference to every object, so that each is loaded afresh on its next
    // use. Two guards keep one name from ever having two live objects (each would write its
    // own file back over the other's): a name that is locked or being loaded is skipped, and
    // an object that someone still holds stays the name's object until its last holder lets
    // go. An object released here is released with its name locked, so nobody loads the file
    // while the object is still writing it.
    void Clear() {
        Traced([&] {
            struct CTaken {
                std::string name;
                std::shared_ptr<CEntry> entry;  // its lock is held by this call
                CObjectPtr object;
            };
            std::vector<CTaken> taken;
            struct CReleaseAll {
                std::vector<CTaken>& taken;
                ~CReleaseAll() {
                    for (CTaken& one : taken) {
                        one.object.reset();
                        one.entry->lock.Unlock();
                    }
                }
            } releaseAll{taken};
            {
                CScopedLock hold(*this, kInfinite);
                for (auto& [name, entry] : entries) {
                    if (entry->lock.IsHeldByCurrentThread())
                        continue;
                    taken.push_back({name, entry, nullptr});
                    if (!entry->lock.Lock(0)) {
                        taken.pop_back();
                        continue;
                    }
                    taken.back().object = std::move(entry->object);
                    entry->object.reset();
                }
            }
            for (CTaken& one : taken)
                one.object.reset();
            CScopedLock hold(*this, kInfinite);
            for (const CTaken& one : taken)
                if (one.entry->current.expired())
                    entries.erase(one.name);
        }, "CLockablePool::Clear()");
    }

private:
    struct CEntry {
        CLock lock;
        CObjectPtr object;         // the pool's own reference; empty when not cached
        std::weak_ptr<T> current;  // the object last handed out, while anyone holds it
    };

    class CEntryHold {
    public:
        explicit CEntryHold(CEntry& entry) : entry(entry) {}
        ~CEntryHold() { entry.lock.Unlock(); }
        CEntryHold(const CEntryHold&) = delete;
        CEntryHold& operator=(const CEntryHold&) = delete;

    private:
        CEntry& entry;
    };

    static unsigned Address(const void* address) {
        return static_cast<unsigned>(reinterpret_cast<uintptr_t>(address));
    }

    // The name's entry with its lock held by the caller, or null on time-out. The pool's lock
    // is never held while waiting for an entry lock. An entry that Clear removed while this
    // call waited for it is not returned: the caller would hold a lock nobody else sees.
    std::shared_ptr<CEntry> AcquireEntry(const std::string& name, uint32_t milliseconds) {
        const auto start = std::chrono::steady_clock::now();
        for (;;) {
            std::shared_ptr<CEntry> entry;
            {
                CScopedLock hold(*this, kInfinite);
                std::shared_ptr<CEntry>& slot = entries[name];
                if (!slot)
                    slot = std::make_shared<CEntry>();
                entry = slot;
            }
            uint32_t remaining = milliseconds;
            if (milliseconds != kInfinite) {
                auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
                    std::chrono::steady_clock::now() - start).count();
                remaining = spent >= milliseconds ? 0 : milliseconds - static_cast<uint32_t>(spent);
            }
            if (!entry->lock.Lock(remaining))
                return nullptr;
            {
                CScopedLock hold(*this, kInfinite);
                auto it = entries.find(name);
                if (it != entries.end() && it->second == entry)
                    return entry;
            }
            entry->lock.Unlock();
        }
    }

    CLoader loader;
    std::map<std::string, std::shared_ptr<CEntry>> entries;
};

}  // namespace Ovrin
