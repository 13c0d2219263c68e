// The change log's metrics, in a shared region of their own mapped by enable().
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <bit>
#include <cstdint>
#include <new>
#include <string>

#include "metrics/metrics.hpp"

namespace metrics {

namespace {

struct changes_block {
    std::atomic<std::uint64_t> read{0};
    std::atomic<std::uint64_t> purged{0};
    std::atomic<std::uint64_t> lag_bits{0};  // a double: the last batch's lag
    std::atomic<std::int64_t> consumer_pid{0};
    std::atomic<std::uint64_t> refused{0};
    std::atomic<std::uint64_t> remade{0};
};

changes_block* g_changes = nullptr;

}  // namespace

void enable_changes() {
    if (g_changes != nullptr) return;
    void* p = ::mmap(nullptr, sizeof(changes_block), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    g_changes = new (p) changes_block{};
}

void count_changes(std::size_t read, std::uint64_t keys_purged, double lag_seconds, std::uint64_t keys_remade) noexcept {
    if (g_changes == nullptr) return;
    g_changes->read.fetch_add(read, std::memory_order_relaxed);
    g_changes->purged.fetch_add(keys_purged, std::memory_order_relaxed);
    g_changes->remade.fetch_add(keys_remade, std::memory_order_relaxed);
    if (lag_seconds >= 0) g_changes->lag_bits.store(std::bit_cast<std::uint64_t>(lag_seconds), std::memory_order_relaxed);
}

void count_stale_write_refused() noexcept {
    if (g_changes != nullptr) g_changes->refused.fetch_add(1, std::memory_order_relaxed);
}

void set_changes_consumer(bool consumer) noexcept {
    if (g_changes == nullptr) return;
    const std::int64_t self = ::getpid();
    if (consumer) {
        g_changes->consumer_pid.store(self, std::memory_order_relaxed);
    } else {
        std::int64_t expected = self;
        g_changes->consumer_pid.compare_exchange_strong(expected, 0, std::memory_order_relaxed);
    }
}

void append_changes_exposition(std::string& out) {
    if (g_changes == nullptr) return;
    const auto pid = g_changes->consumer_pid.load(std::memory_order_relaxed);
    // A consumer killed without a word leaves its pid behind.
    const bool consumer = pid > 0 && ::kill(static_cast<pid_t>(pid), 0) == 0;
    const double lag = std::bit_cast<double>(g_changes->lag_bits.load(std::memory_order_relaxed));
    out += "# HELP gisd_changes_read_total Changes read from the cadastre's change log.\n# TYPE gisd_changes_read_total counter\n";
    out += "gisd_changes_read_total " + std::to_string(g_changes->read.load(std::memory_order_relaxed)) + "\n";
    out += "# HELP gisd_changes_keys_purged_total Cache keys deleted (or remade) because of recorded changes.\n# TYPE gisd_changes_keys_purged_total counter\n";
    out += "gisd_changes_keys_purged_total " + std::to_string(g_changes->purged.load(std::memory_order_relaxed)) + "\n";
    out += "# HELP gisd_changes_keys_remade_total Of the keys purged, hot tiles made again and stored over their old bytes.\n"
           "# TYPE gisd_changes_keys_remade_total counter\n";
    out += "gisd_changes_keys_remade_total " + std::to_string(g_changes->remade.load(std::memory_order_relaxed)) + "\n";
    out += "# HELP gisd_changes_lag_seconds From an edit to the purge of its keys, for the last batch.\n# TYPE gisd_changes_lag_seconds gauge\n";
    out += "gisd_changes_lag_seconds " + std::to_string(lag) + "\n";
    out += "# HELP gisd_changes_stale_writes_refused_total Tiles not stored because an edit was purged while their statement ran.\n"
           "# TYPE gisd_changes_stale_writes_refused_total counter\n";
    out += "gisd_changes_stale_writes_refused_total " + std::to_string(g_changes->refused.load(std::memory_order_relaxed)) + "\n";
    out += "# HELP gisd_changes_consumer Whether a process of this server consumes the change log.\n# TYPE gisd_changes_consumer gauge\n";
    out += std::string("gisd_changes_consumer ") + (consumer ? "1" : "0") + "\n";
}

}  // namespace metrics
