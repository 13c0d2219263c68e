#include "routers/vectile/mlt_forms.hpp"

#include <iterator>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <xxhash.h>

#include "routers/vectile/mlt_encoder.hpp"

namespace vectile {

namespace asio = boost::asio;

namespace {

// Runs on the pool; owns what it converts.
asio::awaitable<mlt_forms::bytes> convert_there(mlt_forms::bytes mvt) {
    co_return std::make_shared<const std::string>(mvt_to_mlt(*mvt));
}

}  // namespace

mlt_forms::mlt_forms(std::size_t capacity, std::size_t inline_limit) : m_capacity(capacity), m_inline_limit(inline_limit) {}

mlt_forms::bytes mlt_forms::find(std::uint64_t hash, std::size_t mvt_size) {
    auto it = m_index.find(hash);
    if (it == m_index.end() || it->second->mvt_size != mvt_size) return nullptr;
    m_order.splice(m_order.end(), m_order, it->second);
    return it->second->mlt;
}

void mlt_forms::keep(std::uint64_t hash, std::size_t mvt_size, bytes mlt) {
    if (mlt->size() > m_capacity / 8) return;  // too large to keep
    if (auto it = m_index.find(hash); it != m_index.end()) {
        m_bytes -= it->second->mlt->size();
        m_order.erase(it->second);
        m_index.erase(it);
    }
    m_bytes += mlt->size();
    m_order.push_back({hash, mvt_size, std::move(mlt)});
    m_index[hash] = std::prev(m_order.end());
    while (m_bytes > m_capacity && !m_order.empty()) {
        m_bytes -= m_order.front().mlt->size();
        m_index.erase(m_order.front().hash);
        m_order.pop_front();
    }
}

asio::awaitable<mlt_forms::bytes> mlt_forms::convert(bytes mvt) {
    const std::uint64_t hash = XXH3_64bits(mvt->data(), mvt->size());
    const std::size_t size = mvt->size();
    if (auto known = find(hash, size)) co_return known;
    bytes made;
    if (size <= m_inline_limit) {
        made = std::make_shared<const std::string>(mvt_to_mlt(*mvt));
    } else {
        // Completes back on the caller's executor, the loop.
        auto converting = asio::co_spawn(m_pool, convert_there(std::move(mvt)), asio::use_awaitable);
        made = co_await std::move(converting);
    }
    keep(hash, size, made);
    co_return made;
}

}  // namespace vectile
