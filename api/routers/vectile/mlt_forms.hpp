#pragma once
// The MLT forms of tiles, made from their MVT bytes and kept for reuse. The
// MVT bytes in Redis stay the only stored form: these copies live in the
// worker's memory, bounded, least recently used first out.

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <unordered_map>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/thread_pool.hpp>

namespace vectile {

class mlt_forms {
public:
    using bytes = std::shared_ptr<const std::string>;

    // `capacity`: bytes of MLT kept; `inline_limit`: MVT tiles up to this size
    // are converted on the calling thread (they take well under a millisecond),
    // larger ones on the form's own thread.
    explicit mlt_forms(std::size_t capacity = 32u << 20, std::size_t inline_limit = 16u << 10);
    mlt_forms(const mlt_forms&) = delete;
    mlt_forms& operator=(const mlt_forms&) = delete;

    // The MLT form of `mvt` (non-null), from the copies or converted now.
    // Call on the loop's thread only. Throws mvt_format_error for bytes that
    // are not a vector tile.
    boost::asio::awaitable<bytes> convert(bytes mvt);

    std::size_t size_bytes() const noexcept { return m_bytes; }

private:
    bytes find(std::uint64_t hash, std::size_t mvt_size);
    void keep(std::uint64_t hash, std::size_t mvt_size, bytes mlt);

    struct entry {
        std::uint64_t hash;
        std::size_t mvt_size;
        bytes mlt;
    };
    std::size_t m_capacity;
    std::size_t m_inline_limit;
    std::list<entry> m_order;
    std::unordered_map<std::uint64_t, std::list<entry>::iterator> m_index;
    std::size_t m_bytes = 0;
    // One thread per worker: conversions of large tiles queue rather than
    // take every core from the other workers.
    boost::asio::thread_pool m_pool{1};
};

}  // namespace vectile
