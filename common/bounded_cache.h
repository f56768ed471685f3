// CBoundedCache: a map that holds at most a given number of entries and drops the least
// recently used one beyond it, for caches that would otherwise grow with every distinct text
// they are asked for. Not locked: its owner guards it.
#pragma once

#include <cstddef>
#include <list>
#include <mutex>
#include <unordered_map>
#include <utility>

namespace Ovrin {

template <class Key, class Value>
class CBoundedCache {
public:
    explicit CBoundedCache(size_t limit) : limit(limit) {}

    // The value of the key, now the most recently used; nullptr when it is not held.
    Value* Find(const Key& key) {
        auto found = entries.find(key);
        if (found == entries.end())
            return nullptr;
        recency.splice(recency.begin(), recency, found->second.second);
        return &found->second.first;
    }

    // The value of the key as it stands, its recency untouched; nullptr when it is not held.
    const Value* Peek(const Key& key) const {
        auto found = entries.find(key);
        return found == entries.end() ? nullptr : &found->second.first;
    }

    // The key's value, inserted unless the key is held already; the least recently used entry
    // goes when the cache would hold more than its limit.
    Value& Insert(const Key& key, Value value) {
        auto [entry, inserted] = entries.try_emplace(key, std::move(value), recency.end());
        if (!inserted)
            return entry->second.first;
        recency.push_front(key);
        entry->second.second = recency.begin();
        if (entries.size() > limit) {
            entries.erase(recency.back());
            recency.pop_back();
        }
        return entry->second.first;
    }

    size_t Size() const { return entries.size(); }
    void Clear() {
        entries.clear();
        recency.clear();
    }

private:
    const size_t limit;
    std::list<Key> recency;  // most recently used first
    std::unordered_map<Key, std::pair<Value, typename std::list<Key>::iterator>> entries;
};

// A CBoundedCache that threads share: a missing value is made outside the lock, so that one slow
// making never holds up the others; when two threads make one key at once, the first one's stays.
template <class Key, class Value>
class CSharedBoundedCache {
public:
    explicit CSharedBoundedCache(size_t limit) : entries(limit) {}

    template <class Make>
    Value Get(const Key& key, Make&& make) {
        {
            std::lock_guard<std::mutex> hold(guard);
            if (Value* found = entries.Find(key))
                return *found;
        }
        Value made = make();
        std::lock_guard<std::mutex> hold(guard);
        return entries.Insert(key, std::move(made));
    }

    size_t Size() {
        std::lock_guard<std::mutex> hold(guard);
        return entries.Size();
    }

private:
    std::mutex guard;
    CBoundedCache<Key, Value> entries;
};

}  // namespace Ovrin
