// Settings read from the environment at load, the layer registry, and the
// load step's start-up lines (in-process; the binary is tested in tests/server).

#include "routers/vectile/config.hpp"

#include <cstdlib>
#include <sstream>

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>

#include "routers/vectile/service.hpp"

namespace {

// Sets or removes the three Redis variables for one test and restores them after.
class redis_environment {
public:
    redis_environment(std::optional<std::string> host, std::optional<std::string> port, std::optional<std::string> db) {
        for (const char* name : {"REDIS_HOST", "REDIS_PORT", "REDIS_DB"}) {
            const char* v = std::getenv(name);
            m_saved.emplace_back(name, v ? std::optional<std::string>(v) : std::nullopt);
        }
        apply("REDIS_HOST", host);
        apply("REDIS_PORT", port);
        apply("REDIS_DB", db);
    }
    ~redis_environment() {
        for (const auto& [name, value] : m_saved) apply(name.c_str(), value);
    }

private:
    static void apply(const char* name, const std::optional<std::string>& value) {
        if (value) {
            ::setenv(name, value->c_str(), 1);
        } else {
            ::unsetenv(name);
        }
    }
    std::vector<std::pair<std::string, std::optional<std::string>>> m_saved;
};

struct settings_case {
    const char* name;
    std::optional<std::string> host, port, db;
    std::string expected_host;
    int expected_port;
    int expected_db;
};

// Names the case in test listings.
void PrintTo(const settings_case& c, std::ostream* os) { *os << c.name; }

class redis_settings : public testing::TestWithParam<settings_case> {};

TEST_P(redis_settings, are_read_with_their_defaults) {
    const auto& c = GetParam();
    redis_environment env(c.host, c.port, c.db);
    auto s = vectile::read_redis_settings();
    EXPECT_EQ(s.host, c.expected_host);
    EXPECT_EQ(s.port, c.expected_port);
    EXPECT_EQ(s.db, c.expected_db);
}

INSTANTIATE_TEST_SUITE_P(environment, redis_settings,
                         testing::Values(settings_case{"unset", {}, {}, {}, "localhost", 6379, 0},
                                         settings_case{"port_6380", {}, "6380", {}, "localhost", 6380, 0},
                                         settings_case{"all", "redis.internal", "7000", "4", "redis.internal", 7000, 4},
                                         settings_case{"empty_host_kept", "", {}, {}, "", 6379, 0}),
                         [](const testing::TestParamInfo<settings_case>& info) { return std::string(info.param.name); });

struct bad_settings_case {
    const char* name;
    std::optional<std::string> port, db;
    const char* variable;
};

// Names the case in test listings.
void PrintTo(const bad_settings_case& c, std::ostream* os) { *os << c.name; }

class bad_redis_settings : public testing::TestWithParam<bad_settings_case> {};

TEST_P(bad_redis_settings, are_refused_naming_the_variable_and_value) {
    const auto& c = GetParam();
    redis_environment env(std::nullopt, c.port, c.db);
    try {
        vectile::read_redis_settings();
        FAIL() << "accepted " << c.name;
    } catch (const std::invalid_argument& e) {
        std::string message = e.what();
        EXPECT_NE(message.find(c.variable), std::string::npos) << message;
        EXPECT_NE(message.find("'" + c.port.value_or(c.db.value_or("")) + "'"), std::string::npos) << message;
    }
}

INSTANTIATE_TEST_SUITE_P(environment, bad_redis_settings,
                         testing::Values(bad_settings_case{"port_abc", "abc", {}, "REDIS_PORT"}, bad_settings_case{"port_empty", "", {}, "REDIS_PORT"},
                                         bad_settings_case{"port_real", "6379.0", {}, "REDIS_PORT"},
                                         bad_settings_case{"db_abc", {}, "abc", "REDIS_DB"}),
                         [](const testing::TestParamInfo<bad_settings_case>& info) { return std::string(info.param.name); });

TEST(layer_registry, holds_the_five_layers_in_order_and_matches_names_exactly) {
    EXPECT_EQ(vectile::layer_names(), (std::vector<std::string>{"plots", "beacons", "cadzones", "districts", "lgas"}));
    ASSERT_NE(vectile::find_layer("plots"), nullptr);
    EXPECT_EQ(vectile::find_layer("plots")->table, "\"PLOT\"");
    EXPECT_EQ(vectile::find_layer("Plots"), nullptr);
    EXPECT_EQ(vectile::find_layer("plots "), nullptr);
    EXPECT_EQ(vectile::find_layer(""), nullptr);
    // The identifier column is the first property of every layer.
    for (const auto& [name, record] : vectile::LAYER_CONFIG) {
        ASSERT_FALSE(record.properties.empty()) << name;
        EXPECT_EQ(record.properties.front(), record.id_col) << name;
    }
}

TEST(load, writes_the_four_start_up_lines_and_registers_the_routes) {
    redis_environment env("127.0.0.1", "6390", "2");
    boost::asio::io_context ioc;
    std::ostringstream out;
    auto svc = vectile::load(ioc.get_executor(), out);
    EXPECT_EQ(out.str(),
              "\u2713 Binary Redis cache initialized (no UTF-8 decoding)\n"
              "  - Namespace: mvt_v8\n"
              "  - Redis: 127.0.0.1:6390/2\n"
              "  - decode_responses: False (handles binary data)\n");
    EXPECT_EQ(svc->cache.name_space, "mvt_v8");
    EXPECT_EQ(svc->redis_client.settings().port, 6390);
    EXPECT_EQ(svc->redis_client.settings().db, 2);
    EXPECT_FALSE(svc->router.routes().empty());
}

TEST(load, bad_port_stops_it_before_anything_is_printed) {
    redis_environment env(std::nullopt, "abc", std::nullopt);
    boost::asio::io_context ioc;
    std::ostringstream out;
    EXPECT_THROW(vectile::load(ioc.get_executor(), out), std::invalid_argument);
    EXPECT_EQ(out.str(), "");
}

}  // namespace
