#include "routers/vectile/memory.hpp"

namespace vectile {

tile_memory::bytes tile_memory::find(const std::string& key, clock::time_point now) {
    auto it = m_index.find(key);
    if (it == m_index.end()) return nullptr;
    auto pos = it->second;
    if (pos->expires <= now) {
        erase(pos);
        return nullptr;
    }
    m_lru.splice(m_lru.begin(), m_lru, pos);
    return pos->value;
}

bool tile_memory::holds(const std::string& key, clock::time_point now) const {
    auto it = m_index.find(key);
    return it != m_index.end() && it->second->expires > now;
}

void tile_memory::begin(const std::string& key) { ++m_reads[key].readers; }

void tile_memory::finish(const std::string& key, const bytes& value, clock::time_point now) {
    auto r = m_reads.find(key);
    if (r == m_reads.end()) return;
    bool changed = r->second.changed;
    if (--r->second.readers == 0) m_reads.erase(r);
    if (changed || !value || value->empty()) return;
    entry e{key, value, now + m_max_age};
    // One tile may not crowd out most of the others.
    if (cost(e) > m_capacity / 8) return;
    invalidate(key);
    m_bytes += cost(e);
    m_lru.push_front(std::move(e));
    m_index.emplace(m_lru.front().key, m_lru.begin());
    while (m_bytes > m_capacity) erase(std::prev(m_lru.end()));
}

void tile_memory::invalidate(std::string_view key) {
    if (auto r = m_reads.find(key); r != m_reads.end()) r->second.changed = true;
    if (auto it = m_index.find(key); it != m_index.end()) erase(it->second);
}

void tile_memory::clear() {
    for (auto& [key, r] : m_reads) r.changed = true;
    m_index.clear();
    m_lru.clear();
    m_bytes = 0;
}

void tile_memory::erase(std::list<entry>::iterator it) {
    m_bytes -= cost(*it);
    m_index.erase(std::string_view(it->key));
    m_lru.erase(it);
}

}  // namespace vectile
