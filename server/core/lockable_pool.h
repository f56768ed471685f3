// CLockablePool: one loaded object per name (a user's configuration, a user's ruleset), shared
// by the threads that work for that user, and a lock per name through which an editor takes
// the object out of service; the next use after the unlock loads it afresh.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
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

    // The name's object, loaded on first use; null when the name stays locked by an editor
    // for longer than the time-out (milliseconds, kInfinite for no limit), so that a thread
    // serving others can try again later instead of waiting. After a Clear it also waits,
    // within the same time, until the evicted object's last holder has let go and the object
    // has written itself back, so that the name never has two objects and the load reads the
    // final file. (A thread must therefore not ask for a name whose evicted object it holds.)
    // A name whose load fails leaves no entry behind.
    CObjectPtr GetObject(const std::string& name, uint32_t milliseconds) {
        return Traced([&]() -> CObjectPtr {
            const auto start = std::chrono::steady_clock::now();
            std::shared_ptr<CEntry> entry = AcquireEntry(name, milliseconds);
            if (!entry)
                return nullptr;
            CEntryHold hold(*entry);
            if (entry->stale.exchange(false))
                entry->object.reset();  // when it was the last reference, it is released here, under the lock
            if (entry->object)
                return entry->object;
            if (!entry->life->WaitForEnd(Remaining(start, milliseconds)))
                return nullptr;
            std::shared_ptr<T> loaded;
            try {
                loaded = loader(name);
            } catch (...) {
                ForgetIfUnused(name, entry);
                throw;
            }
            entry->life->Begin();
            // Every reference handed out shares this one count; the last to go releases the
            // object and only then lets a load of the name go ahead.
            entry->object = CObjectPtr(loaded.get(), [loaded, life = entry->life](T*) mutable {
                loaded.reset();
                life->End();
            });
            entry->current = entry->object;
            return entry->object;
        }, "CLockablePool::GetObject(0x%08x)", LabelAddress(&name));
    }

    // Takes the name's lock within the time-out (milliseconds, -1 for no limit) and waits,
    // within the time-out again, until no one else holds the object; then drops the object.
    // False on time-out, with the object left in the pool.
    bool LockObject(const std::string& name, int32_t timeout) {
        return Traced([&] {
            const auto start = std::chrono::steady_clock::now();
            const uint32_t limit = timeout < 0 ? kInfinite : static_cast<uint32_t>(timeout);
            std::shared_ptr<CEntry> entry = AcquireEntry(name, limit);
            if (!entry)
                return false;
            const bool cached = entry->object && !entry->stale;
            // The pool's reference goes; the last holder's release ends the object's life and
            // wakes this wait (a ruleset saves while the name is locked).
            entry->object.reset();
            if (entry->life->WaitForEnd(limit == kInfinite ? kInfinite : Remaining(start, limit)))
                return true;
            if (cached)
                entry->object = entry->current.lock();  // still held elsewhere: back into the pool
            entry->lock.Unlock();
            Logger().Warning("CLockablePool::LockObject(0x%08x, %d): an attempt to lock object timed out",
                             LabelAddress(&name), timeout);
            return false;
        }, "CLockablePool::LockObject(0x%08x, %d)", LabelAddress(&name), timeout);
    }

    // True when another thread holds the name's lock at this moment (an editor, or a load under
    // way); loads nothing and waits for nothing, so a task can leave the name for its next round.
    bool IsHeldElsewhere(const std::string& name) {
        std::shared_ptr<CEntry> entry;
        {
            CScopedLock hold(*this, kInfinite);
            auto it = entries.find(name);
            if (it == entries.end())
                return false;
            entry = it->second;
        }
        if (!entry->lock.Lock(0))
            return true;
        entry->lock.Unlock();
        return false;
    }

    // How many names have an entry: loaded, locked, or evicted while still held.
    size_t GetNameCount() {
        CScopedLock hold(*this, kInfinite);
        return entries.size();
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
            if (!entry->lock.IsHeldByCurrentThread())
                return;
            ForgetIfUnused(name, entry);
            entry->lock.Unlock();
        }, "CLockablePool::UnlockObject(0x%08x)", LabelAddress(&name));
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
    // use. An object released here is released with its name locked, so nobody loads the file
    // while the object is still writing it; one that a worker still holds is released by its
    // last holder, and the name is not loaded again before that (see GetObject). A name whose
    // lock is held elsewhere at this moment drops its object at its next GetObject instead.
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
                    if (entry->lock.IsHeldByCurrentThread() || !entry->lock.Lock(0)) {
                        entry->stale = true;
                        continue;
                    }
                    entry->stale = false;
                    taken.push_back({name, entry, std::move(entry->object)});
                    entry->object.reset();
                }
            }
            for (CTaken& one : taken)
                one.object.reset();
            CScopedLock hold(*this, kInfinite);
            for (const CTaken& one : taken)
                if (!one.entry->life->Alive())
                    entries.erase(one.name);
        }, "CLockablePool::Clear()");
    }

private:
    // Whether the name's object exists, from its load to the end of its release.
    class CLife {
    public:
        void Begin() {
            std::lock_guard<std::mutex> hold(mutex);
            alive = true;
        }
        void End() {
            {
                std::lock_guard<std::mutex> hold(mutex);
                alive = false;
            }
            ended.notify_all();
        }
        bool Alive() {
            std::lock_guard<std::mutex> hold(mutex);
            return alive;
        }
        bool WaitForEnd(uint32_t milliseconds) {
            std::unique_lock<std::mutex> hold(mutex);
            if (milliseconds == kInfinite) {
                ended.wait(hold, [&] { return !alive; });
                return true;
            }
            return ended.wait_for(hold, std::chrono::milliseconds(milliseconds), [&] { return !alive; });
        }

    private:
        std::mutex mutex;
        std::condition_variable ended;
        bool alive = false;
    };

    struct CEntry {
        CLock lock;
        CObjectPtr object;         // the pool's own reference; empty when not cached
        std::weak_ptr<T> current;  // the object last handed out, while anyone holds it
        std::shared_ptr<CLife> life = std::make_shared<CLife>();
        std::atomic<bool> stale{false};  // a Clear could not take the lock: drop the object at the next use
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

    // What is left of a time-out begun at start; kInfinite stays kInfinite.
    static uint32_t Remaining(std::chrono::steady_clock::time_point start, uint32_t milliseconds) {
        if (milliseconds == kInfinite)
            return kInfinite;
        const auto spent =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
        return spent >= milliseconds ? 0 : milliseconds - static_cast<uint32_t>(spent);
    }

    // Drops the entry of a name that has nothing loaded and that the caller holds only once (no
    // editor besides), so that names that never load (unknown users) cost nothing. A waiter
    // for the dropped entry finds it gone and makes a new one.
    void ForgetIfUnused(const std::string& name, const std::shared_ptr<CEntry>& entry) {
        if (entry->object || entry->life->Alive() || entry->lock.HeldDepth() != 1)
            return;
        CScopedLock hold(*this, kInfinite);
        auto it = entries.find(name);
        if (it != entries.end() && it->second == entry)
            entries.erase(it);
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
            if (!entry->lock.Lock(Remaining(start, milliseconds)))
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
