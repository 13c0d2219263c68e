// GET /search on a copy of the test cadastre: each answer is compared with the
// ranking this test works out from all the rows with its own folding, with
// and without the indexes.

#include <libpq-fe.h>

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>

#include <algorithm>
#include <cctype>
#include <deque>
#include <string>
#include <tuple>
#include <vector>

#include <nlohmann/json.hpp>

#include "database/database.hpp"
#include "routers/search/search.hpp"
#include "server/application.hpp"
#include "support/env.hpp"
#include "support/run.hpp"

namespace {

using json = nlohmann::json;
using rows_t = std::vector<std::vector<std::string>>;
using found_t = std::vector<std::tuple<std::string, long long, std::string>>;  // layer, id, label

rows_t rows(const std::string& url, const std::string& sql) {
    PGconn* conn = PQconnectdb(url.c_str());
    PGresult* r = PQexec(conn, sql.c_str());
    const bool ok = PQresultStatus(r) == PGRES_TUPLES_OK || PQresultStatus(r) == PGRES_COMMAND_OK;
    const std::string message = PQresultErrorMessage(r);
    rows_t out(static_cast<std::size_t>(PQntuples(r)));
    for (int i = 0; i < PQntuples(r); ++i)
        for (int c = 0; c < PQnfields(r); ++c) out[static_cast<std::size_t>(i)].emplace_back(PQgetvalue(r, i, c));
    PQclear(r);
    PQfinish(conn);
    if (!ok) throw std::runtime_error(message);
    return out;
}

std::string encoded(const std::string& text) {
    std::string out;
    for (const unsigned char c : text) {
        char buf[4];
        std::snprintf(buf, sizeof buf, "%%%02X", c);
        out += std::isalnum(c) != 0 ? std::string(1, static_cast<char>(c)) : std::string(buf);
    }
    return out;
}

// The test's own key: ASCII lower case without white space.
std::string key_of(std::string text) {
    std::erase_if(text, [](unsigned char c) { return std::isspace(c) != 0; });
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

class search_endpoint : public testing::Test {
protected:
    static void SetUpTestSuite() {
        s_schema = "search_" + test_support::unique_suffix();
        const std::string s = s_schema;
        rows(test_support::database_url(),
             "CREATE SCHEMA " + s + "; CREATE TABLE " + s + ".\"PLOT\" AS SELECT * FROM public.\"PLOT\";"
             "CREATE TABLE " + s + ".\"BEACON\" AS SELECT * FROM public.\"BEACON\";"
             "CREATE TABLE " + s + ".\"CadZones\" AS SELECT * FROM public.\"CadZones\";"
             // Numbers with LIKE's own characters, and look-alikes they must not match.
             "INSERT INTO " + s + ".\"PLOT\" (\"ID\", \"PLOT_NO\", \"STATUS\", \"AREA_SYSTEM\", \"GENERAL_LU\", \"CADZONE\", \"DETAIL_LU\", \"GEOMETRY_3857\")"
             " SELECT 900000 + n, no, 'Allocated', 1, 'Residential', 'TEST', 'Test',"
             "        ST_Multi(ST_Buffer(ST_SetSRID(ST_MakePoint(832000 + n * 100, 1012000), 3857), 10, 1))"
             " FROM (VALUES (1, 'Q%R 1'), (2, 'QXR 1'), (3, 'Q_R 2'), (4, 'QYR 2'), (5, 'Q\\R 3'), (6, 'Q\\\\R 3')) v(n, no)");
        // Everything that can be found: layer, its order, id, matched text, label, zone.
        s_all = rows(url(), "SELECT 'plots', 0, \"ID\", \"PLOT_NO\", \"PLOT_NO\", \"CADZONE\" FROM \"PLOT\" UNION ALL "
                            "SELECT 'plots', 0, \"ID\", file_no, \"PLOT_NO\", \"CADZONE\" FROM \"PLOT\" WHERE file_no IS NOT NULL UNION ALL "
                            "SELECT 'beacons', 1, \"ID\", \"BEACON_NO\", \"BEACON_NO\", '' FROM \"BEACON\" UNION ALL "
                            "SELECT 'cadzones', 2, id, name, name, name FROM \"CadZones\"");
    }
    static void TearDownTestSuite() { rows(test_support::database_url(), "DROP SCHEMA IF EXISTS " + s_schema + " CASCADE"); }

    static std::string url() {
        const std::string u = test_support::database_url();
        return u + (u.find('?') == std::string::npos ? "?" : "&") + "options=-c%20search_path%3D" + s_schema + "%2Cpublic";
    }

    // Exact matches, then prefix matches by key, then layer, zone and id.
    static found_t expected(const std::string& q, const std::string& layer, std::size_t limit) {
        const std::string wanted = key_of(q);
        std::vector<std::tuple<bool, std::string, std::string, std::string, long long, std::string, std::string>> found;
        for (const auto& r : s_all) {
            const std::string k = key_of(r[3]);
            if ((layer.empty() || r[0] == layer) && k.starts_with(wanted)) found.emplace_back(k != wanted, k, r[1], r[5], std::stoll(r[2]), r[0], r[4]);
        }
        std::sort(found.begin(), found.end());
        found_t out;
        for (std::size_t i = 0; i < found.size() && i < limit; ++i) out.emplace_back(std::get<5>(found[i]), std::get<4>(found[i]), std::get<6>(found[i]));
        return out;
    }

    common::response get(const std::string& target) {
        requests.push_back({common::verb::get, target, {}, {}});
        return test_support::run(ioc, app.handle(requests.back()));
    }

    void SetUp() override {
        app.set_session_factory([this] { return pool.make_session(); });
        app.include_router(search::search_router());
    }

    void check_table() {
        struct search_case {
            std::string q, layer;
            std::size_t limit, at_least;  // at_least: rows the case must find, so that it tests something
        };
        const std::vector<search_case> cases = {
            {"PLOT 12", "", 50, 19},       {"  plot12 ", "", 10, 10},       {"plot 3", "plots", 25, 25},
            {"MUN/LAND/2002/0001", "", 10, 1}, {"mun/land/20", "plots", 10, 10}, {"pb 10001", "", 10, 1},
            {"PB 1", "beacons", 7, 7},     {"a01", "", 10, 1},              {"A", "cadzones", 50, 3},
            {"nothing like this", "", 10, 0}, {"q%r", "", 10, 1},          {"Q_R", "", 10, 1},
            {"q\\r", "", 10, 1},           {"plot", "", 3, 3},
        };
        for (const auto& c : cases) {
            const std::string target = "/search?q=" + encoded(c.q) + "&limit=" + std::to_string(c.limit) + (c.layer.empty() ? "" : "&layer=" + c.layer);
            SCOPED_TRACE(target);
            const auto response = get(target);
            ASSERT_EQ(response.status, 200u) << response.body;
            found_t got;
            const json body = json::parse(response.body);
            for (const auto& r : body["results"]) {
                got.emplace_back(r["layer"].get<std::string>(), r["id"].get<long long>(), r["label"].get<std::string>());
                const auto &b = r["bbox"], &centre = r["centre"];  // degrees, the centre in the box
                EXPECT_TRUE(b[0] > 7 && b[0] <= centre[0] && centre[0] <= b[2] && b[1] <= centre[1] && centre[1] <= b[3] && b[3] < 9.5) << r;
            }
            const auto want = expected(c.q, c.layer, c.limit);
            EXPECT_GE(want.size(), c.at_least);
            EXPECT_EQ(got, want);
        }
    }

    static inline std::string s_schema;
    static inline rows_t s_all;
    boost::asio::io_context ioc;
    database::pool pool{ioc.get_executor(), database::pool_options{.url = url(), .size = 2}};
    server::application app;
    std::deque<common::request> requests;  // borrowed by the application until answered
};

TEST_F(search_endpoint, answers_as_the_tests_own_ranking_with_and_without_indexes) {
    check_table();
    for (const auto& statement : search::index_statements()) rows(url(), statement);
    std::string plan;
    for (const auto& line : rows(url(), "EXPLAIN SELECT 1 FROM \"PLOT\" WHERE (replace(lower(\"PLOT_NO\"), ' ', '') COLLATE \"C\") LIKE 'plot12%'")) plan += line[0];
    EXPECT_NE(plan.find("PLOT_search_plot_no_idx"), std::string::npos) << plan;
    check_table();
}

TEST_F(search_endpoint, bad_input_is_422_naming_the_parameter) {
    for (const auto& [target, parameter] : std::vector<std::pair<std::string, std::string>>{
             {"/search?q=", "q"}, {"/search?q=%20%20", "q"}, {"/search?q=" + std::string(101, 'a'), "q"}, {"/search", "q"},
             {"/search?q=%FF", "q"}, {"/search?q=%C0%AF", "q"}, {"/search?q=%ED%A0%80", "q"}, {"/search?q=plot%00x", "q"}, {"/search?q=plot&limit=0", "limit"},
             {"/search?q=plot&limit=51", "limit"}, {"/search?q=plot&limit=ten", "limit"}, {"/search?q=plot&layer=roads", "layer"}}) {
        const auto response = get(target);
        ASSERT_EQ(response.status, 422u) << target << ": " << response.body;
        EXPECT_EQ(json::parse(response.body)["detail"][0]["loc"].back(), parameter) << target << ": " << response.body;
    }
    std::string hundred;  // a hundred characters of two bytes each are allowed
    for (int i = 0; i < 100; ++i) hundred += "\xC3\xA9";
    EXPECT_EQ(get("/search?q=" + encoded(hundred)).status, 200u);
}

}  // namespace
