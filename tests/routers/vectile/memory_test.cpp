// The worker's copies of tiles: what is kept, what a change drops, and the
// bounds on size and age.

#include "routers/vectile/memory.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

namespace {

using vectile::tile_memory;
using namespace std::chrono_literals;

tile_memory::bytes bytes_of(std::string s) { return std::make_shared<const std::string>(std::move(s)); }

// Reads `key` from "Redis" with `value`, with `between` happening while the read is out.
void read_through(tile_memory& m, const std::string& key, tile_memory::bytes value,
                  const std::function<void(tile_memory&)>& between = nullptr, tile_memory::clock::time_point now = {}) {
    m.begin(key);
    if (between) between(m);
    m.finish(key, value, now);
}

struct change_case {
    const char* name;
    std::function<void(tile_memory&)> between;  // during the read
    std::function<void(tile_memory&)> after;    // once the copy may be kept
    bool kept;
};

class tile_memory_change : public testing::TestWithParam<change_case> {};

TEST_P(tile_memory_change, decides_whether_the_copy_is_served) {
    const auto& c = GetParam();
    tile_memory m(1 << 20);
    read_through(m, "mvt_v8:plots:14:1:2", bytes_of("tile"), c.between);
    if (c.after) c.after(m);
    auto got = m.find("mvt_v8:plots:14:1:2", {});
    if (c.kept) {
        ASSERT_NE(got, nullptr);
        EXPECT_EQ(*got, "tile");
    } else {
        EXPECT_EQ(got, nullptr);
    }
}

INSTANTIATE_TEST_SUITE_P(
    cases, tile_memory_change,
    testing::Values(change_case{"nothing_changed", nullptr, nullptr, true},
                    change_case{"another_key_changed", [](tile_memory& m) { m.invalidate("mvt_v8:plots:14:1:3"); },
                                [](tile_memory& m) { m.invalidate("mvt_v8:plots:14:1"); }, true},
                    // The value read may predate the change: it must not be kept.
                    change_case{"key_changed_during_the_read", [](tile_memory& m) { m.invalidate("mvt_v8:plots:14:1:2"); }, nullptr, false},
                    change_case{"everything_changed_during_the_read", [](tile_memory& m) { m.clear(); }, nullptr, false},
                    change_case{"key_changed_later", nullptr, [](tile_memory& m) { m.invalidate("mvt_v8:plots:14:1:2"); }, false},
                    change_case{"everything_changed_later", nullptr, [](tile_memory& m) { m.clear(); }, false}),
    [](const testing::TestParamInfo<change_case>& info) { return std::string(info.param.name); });

TEST(tile_memory, a_read_that_was_never_begun_or_found_nothing_keeps_nothing) {
    tile_memory m(1 << 20);
    m.finish("a", bytes_of("x"), {});
    read_through(m, "b", nullptr);
    read_through(m, "c", bytes_of(""));
    EXPECT_EQ(m.size(), 0u);
}

TEST(tile_memory, a_change_during_one_of_two_overlapping_reads_keeps_neither) {
    tile_memory m(1 << 20);
    m.begin("k");
    m.invalidate("k");
    m.begin("k");
    m.finish("k", bytes_of("old"), {});
    m.finish("k", bytes_of("new"), {});
    EXPECT_EQ(m.find("k", {}), nullptr);
    // Once no read is out, the next one is kept again.
    read_through(m, "k", bytes_of("newer"));
    ASSERT_NE(m.find("k", {}), nullptr);
    EXPECT_EQ(*m.find("k", {}), "newer");
}

TEST(tile_memory, copies_expire_after_their_age) {
    const tile_memory::clock::time_point t0{};
    tile_memory m(1 << 20, 60s);
    read_through(m, "k", bytes_of("v"), nullptr, t0);
    EXPECT_NE(m.find("k", t0 + 59s), nullptr);
    EXPECT_EQ(m.find("k", t0 + 60s), nullptr);
    EXPECT_EQ(m.size(), 0u) << "an expired copy is dropped, not just hidden";
}

TEST(tile_memory, least_recently_used_copies_go_first_when_full) {
    const std::string tile(1000, 'x');
    tile_memory m(9500);  // room for eight copies of 1130 bytes (key, value and bookkeeping), not nine
    for (int i = 0; i < 8; ++i) read_through(m, "k" + std::to_string(i), bytes_of(tile));
    ASSERT_EQ(m.size(), 8u);
    ASSERT_NE(m.find("k0", {}), nullptr);  // k0 is now the most recently used; k1 the least
    read_through(m, "k8", bytes_of(tile));
    EXPECT_LE(m.used(), m.capacity());
    EXPECT_NE(m.find("k0", {}), nullptr);
    EXPECT_EQ(m.find("k1", {}), nullptr);
    EXPECT_NE(m.find("k8", {}), nullptr);
}

TEST(tile_memory, a_tile_too_large_for_its_share_is_not_kept) {
    tile_memory m(8000);
    read_through(m, "small", bytes_of(std::string(500, 'x')));
    read_through(m, "large", bytes_of(std::string(2000, 'x')));
    EXPECT_NE(m.find("small", {}), nullptr);
    EXPECT_EQ(m.find("large", {}), nullptr);
    tile_memory off(0);
    read_through(off, "small", bytes_of("x"));
    EXPECT_EQ(off.size(), 0u);
}

TEST(tile_memory, a_copy_served_stays_valid_after_it_is_dropped) {
    tile_memory m(1 << 20);
    read_through(m, "k", bytes_of("bytes on their way out"));
    auto sending = m.find("k", {});
    m.clear();
    ASSERT_NE(sending, nullptr);
    EXPECT_EQ(*sending, "bytes on their way out");
}

TEST(tile_memory, a_new_read_replaces_the_copy) {
    tile_memory m(1 << 20);
    read_through(m, "k", bytes_of("first"));
    read_through(m, "k", bytes_of("second"));
    EXPECT_EQ(m.size(), 1u);
    EXPECT_EQ(*m.find("k", {}), "second");
}

}  // namespace
