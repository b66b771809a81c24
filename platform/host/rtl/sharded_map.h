// A table of records by address, spread over shards with a lock each, so
// that threads working on different records do not meet on one lock: what
// a generic table in Rtl would be for the pool's and the Filter Manager's
// lookups on every request.
#pragma once

#include <cstdint>
#include <mutex>
#include <unordered_map>

namespace host::rtl {

template <class Value>
class ShardedMap {
public:
    void Insert(const void* key, const Value& value) {
        Shard& s = ShardOf(key);
        std::lock_guard<std::mutex> lock(s.mutex);
        s.map[key] = value;
    }
    bool Find(const void* key, Value* value) {
        return With(key, [&](Value& found, auto) { *value = found; });
    }
    bool Erase(const void* key) {
        return With(key, [](Value&, auto erase) { erase(); });
    }
    // Runs f(value, erase) under the record's shard lock; false when absent.
    template <class F>
    bool With(const void* key, F&& f) {
        Shard& s = ShardOf(key);
        std::lock_guard<std::mutex> lock(s.mutex);
        auto it = s.map.find(key);
        if (it == s.map.end()) {
            return false;
        }
        f(it->second, [&] { s.map.erase(it); });
        return true;
    }
    // Runs f(value) on every record, a shard at a time.
    template <class F>
    void ForEach(F&& f) {
        for (Shard& s : shards_) {
            std::lock_guard<std::mutex> lock(s.mutex);
            for (const auto& entry : s.map) {
                f(entry.second);
            }
        }
    }

private:
    static constexpr int kShardBits = 6;
    struct alignas(64) Shard {
        std::mutex mutex;
        std::unordered_map<const void*, Value> map;
    };
    // Fibonacci hashing of the address without its low bits, which
    // alignment keeps equal.
    Shard& ShardOf(const void* key) {
        const uint64_t k = (uint64_t)(uintptr_t)key >> 4;
        return shards_[(k * 0x9E3779B97F4A7C15ull) >> (64 - kShardBits)];
    }
    Shard shards_[1 << kShardBits];
};

}  // namespace host::rtl
