#pragma once
// The worker's own copies of tiles it has read from Redis, so that a hot tile
// costs no Redis round trip. Redis stays the cache of record: a copy is kept
// only while Redis reports every change under the namespace (see
// redis::tracking), is dropped as soon as the report of a change to its key
// arrives (on a local Redis, within a fraction of a millisecond of the change),
// and never outlives a fixed age.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace vectile {

class tile_memory {
public:
    using clock = std::chrono::steady_clock;

    // At most `capacity` bytes of keys and values; the least recently used go first.
    explicit tile_memory(std::size_t capacity, clock::duration max_age = std::chrono::seconds(60))
        : m_capacity(capacity), m_max_age(max_age) {}

    using bytes = std::shared_ptr<const std::string>;

    // The copy of `key`, or null. Shared, so that it may be sent while it is evicted.
    bytes find(const std::string& key, clock::time_point now = clock::now());
    // Whether a live copy of `key` is kept; unlike find, not a use.
    bool holds(const std::string& key, clock::time_point now = clock::now()) const;

    // A read from Redis is about to be sent. Pair with `finish`.
    void begin(const std::string& key);
    // The read has returned `value` (or nothing). The copy is kept unless the key
    // changed while the read was out; a change then may or may not be in the value.
    void finish(const std::string& key, const bytes& value, clock::time_point now = clock::now());

    // The key changed in Redis.
    void invalidate(std::string_view key);
    // Anything may have changed.
    void clear();

    std::size_t size() const noexcept { return m_index.size(); }
    std::size_t used() const noexcept { return m_bytes; }
    std::size_t capacity() const noexcept { return m_capacity; }

private:
    struct entry {
        std::string key;
        bytes value;
        clock::time_point expires;
    };
    struct read_out {
        int readers = 0;
        bool changed = false;
    };
    static std::size_t cost(const entry& e) { return e.key.size() + e.value->size() + 128; }
    void erase(std::list<entry>::iterator it);

    std::size_t m_capacity;
    clock::duration m_max_age;
    std::size_t m_bytes = 0;
    std::list<entry> m_lru;  // most recently used first
    // Looked up by string_view: a change report names a key that is usually not kept.
    struct text_hash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
    };
    std::unordered_map<std::string_view, std::list<entry>::iterator> m_index;
    std::unordered_map<std::string, read_out, text_hash, std::equal_to<>> m_reads;
};

}  // namespace vectile
