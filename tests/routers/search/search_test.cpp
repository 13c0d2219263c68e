// GET /search on a copy of the test cadastre: every answer is compared with
// the ranking this test works out itself from all the rows (its own
// normalisation in C++, not the statement's), with and without the indexes.

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

rows_t query_rows(const std::string& url, const std::string& sql) {
    PGconn* conn = PQconnectdb(url.c_str());
    if (PQstatus(conn) != CONNECTION_OK) throw std::runtime_error(PQerrorMessage(conn));
    PGresult* r = PQexec(conn, sql.c_str());
    const auto st = PQresultStatus(r);
    if (st != PGRES_TUPLES_OK && st != PGRES_COMMAND_OK) {
        std::string message = PQresultErrorMessage(r);
        PQclear(r);
        PQfinish(conn);
        throw std::runtime_error(message + " in " + sql.substr(0, 200));
    }
    rows_t out;
    for (int i = 0; i < PQntuples(r); ++i) {
        out.emplace_back();
        for (int c = 0; c < PQnfields(r); ++c) out.back().emplace_back(PQgetvalue(r, i, c));
    }
    PQclear(r);
    PQfinish(conn);
    return out;
}

std::string encoded(const std::string& text) {
    std::string out;
    for (const unsigned char c : text) {
        if (std::isalnum(c) != 0) {
            out.push_back(static_cast<char>(c));
        } else {
            char buf[4];
            std::snprintf(buf, sizeof buf, "%%%02X", c);
            out += buf;
        }
    }
    return out;
}

// The test's own key: ASCII lower case without white space (the test data is ASCII).
std::string key_of(const std::string& text) {
    std::string out;
    for (const unsigned char c : text) {
        if (std::isspace(c) == 0) out.push_back(static_cast<char>(std::tolower(c)));
    }
    return out;
}

struct candidate {
    int rank;  // 0 exact, 1 prefix
    std::string key;
    int layer_order;
    std::string zone;
    long long id;
    std::string layer;
    std::string label;
    bool operator<(const candidate& o) const {
        return std::tie(rank, key, layer_order, zone, id) < std::tie(o.rank, o.key, o.layer_order, o.zone, o.id);
    }
};

struct named_row {
    std::string layer;
    int layer_order;
    long long id;
    std::string text;   // what is matched
    std::string label;
    std::string zone;   // the order among equal keys ("" for beacons and zones)
};

class search_endpoint : public testing::Test {
protected:
    static void SetUpTestSuite() {
        s_schema = "search_" + test_support::unique_suffix();
        query_rows(test_support::database_url(),
                   "CREATE SCHEMA " + s_schema + ";"
                   "CREATE TABLE " + s_schema + ".\"PLOT\" AS SELECT * FROM public.\"PLOT\";"
                   "CREATE TABLE " + s_schema + ".\"BEACON\" AS SELECT * FROM public.\"BEACON\";"
                   "CREATE TABLE " + s_schema + ".\"CadZones\" AS SELECT * FROM public.\"CadZones\";"
                   // Numbers with LIKE's own characters, and look-alikes they must not match.
                   "INSERT INTO " + s_schema + ".\"PLOT\" (\"ID\", \"PLOT_NO\", \"STATUS\", \"AREA_SYSTEM\", \"GENERAL_LU\", \"CADZONE\", \"DETAIL_LU\", file_no, \"GEOMETRY_3857\")"
                   " SELECT 900000 + n, no, 'Allocated', 1, 'Residential', 'TEST', 'Test', NULL,"
                   "        ST_Multi(ST_Buffer(ST_SetSRID(ST_MakePoint(832000 + n * 100, 1012000), 3857), 10, 1))"
                   " FROM (VALUES (1, 'Q%R 1'), (2, 'QXR 1'), (3, 'Q_R 2'), (4, 'QYR 2'), (5, 'Q\\R 3'), (6, 'Q\\\\R 3')) v(n, no);");
        for (const auto& r : query_rows(scratch_url(), "SELECT \"ID\", \"PLOT_NO\", \"CADZONE\", coalesce(file_no, '') FROM \"PLOT\"")) {
            s_rows.push_back({"plots", 0, std::stoll(r[0]), r[1], r[1], r[2]});
            if (!r[3].empty()) s_rows.push_back({"plots", 0, std::stoll(r[0]), r[3], r[1], r[2]});
        }
        for (const auto& r : query_rows(scratch_url(), "SELECT \"ID\", \"BEACON_NO\" FROM \"BEACON\"")) {
            s_rows.push_back({"beacons", 1, std::stoll(r[0]), r[1], r[1], ""});
        }
        for (const auto& r : query_rows(scratch_url(), "SELECT id, name FROM \"CadZones\"")) {
            s_rows.push_back({"cadzones", 2, std::stoll(r[0]), r[1], r[1], r[1]});
        }
    }
    static void TearDownTestSuite() { query_rows(test_support::database_url(), "DROP SCHEMA IF EXISTS " + s_schema + " CASCADE"); }

    static std::string scratch_url() {
        const std::string url = test_support::database_url();
        return url + (url.find('?') == std::string::npos ? "?" : "&") + "options=-c%20search_path%3D" + s_schema + "%2Cpublic";
    }

    // The expected (layer, id, label) in answer order.
    static std::vector<std::tuple<std::string, long long, std::string>> expected(const std::string& q, const std::string& layer, std::size_t limit) {
        const std::string wanted = key_of(q);
        std::vector<candidate> found;
        for (const auto& r : s_rows) {
            if (!layer.empty() && r.layer != layer) continue;
            const std::string k = key_of(r.text);
            if (k.compare(0, wanted.size(), wanted) != 0) continue;
            found.push_back({k == wanted ? 0 : 1, k, r.layer_order, r.zone, r.id, r.layer, r.label});
        }
        std::sort(found.begin(), found.end());
        std::vector<std::tuple<std::string, long long, std::string>> out;
        for (std::size_t i = 0; i < found.size() && i < limit; ++i) out.emplace_back(found[i].layer, found[i].id, found[i].label);
        return out;
    }

    struct host {
        host()
            : pool(ioc.get_executor(), database::pool_options{.url = scratch_url(), .size = 2, .acquire_timeout = std::chrono::seconds(5)}) {
            app.set_session_factory([this] { return pool.make_session(); });
            app.include_router(search::search_router());
        }
        common::response get(const std::string& target) {
            requests.push_back({common::verb::get, target, {}, {}});
            return test_support::run(ioc, app.handle(requests.back()));
        }
        boost::asio::io_context ioc;
        database::pool pool;
        server::application app;
        std::deque<common::request> requests;
    };

    // Every case of the table, answered and compared.
    void check_table(host& h) {
        struct search_case {
            const char* what;
            std::string q;
            std::string layer;
            std::size_t limit;
            std::size_t at_least;  // rows the case must find, so that it tests something
        };
        const std::vector<search_case> cases = {
            {"exact plot number, exact before prefix", "PLOT 12", "", 50, 19},
            {"other case and spacing", "  plot12 ", "", 10, 10},
            {"prefix of plot numbers", "plot 3", "plots", 25, 25},
            {"file number", "MUN/LAND/2002/0001", "", 10, 1},
            {"file number prefix", "mun/land/20", "plots", 10, 10},
            {"beacon number", "pb 10001", "", 10, 1},
            {"beacons only", "PB 1", "beacons", 7, 7},
            {"zone name", "a01", "", 10, 1},
            {"zones only, prefix", "A", "cadzones", 50, 3},
            {"no match", "nothing like this", "", 10, 0},
            {"% is literal", "q%r", "", 10, 1},
            {"_ is literal", "Q_R", "", 10, 1},
            {"backslash is literal", "q\\r", "", 10, 1},
            {"limit", "plot", "", 3, 3},
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(c.what);
            std::string target = "/search?q=" + encoded(c.q) + "&limit=" + std::to_string(c.limit);
            if (!c.layer.empty()) target += "&layer=" + c.layer;
            const auto response = h.get(target);
            ASSERT_EQ(response.status, 200u) << response.body;
            const auto body = json::parse(response.body);
            std::vector<std::tuple<std::string, long long, std::string>> got;
            for (const auto& r : body["results"]) {
                got.emplace_back(r["layer"].get<std::string>(), r["id"].get<long long>(), r["label"].get<std::string>());
                // Degrees around the city, the centre inside the box.
                const auto& b = r["bbox"];
                const auto& centre = r["centre"];
                EXPECT_TRUE(b[0] <= centre[0] && centre[0] <= b[2] && b[1] <= centre[1] && centre[1] <= b[3]) << r.dump();
                EXPECT_TRUE(b[0] > 7 && b[2] < 8.5 && b[1] > 8.5 && b[3] < 9.5) << r.dump();
            }
            const auto want = expected(c.q, c.layer, c.limit);
            EXPECT_GE(want.size(), c.at_least);
            EXPECT_EQ(got, want);
        }
    }

    static inline std::string s_schema;
    static inline std::vector<named_row> s_rows;
};

TEST_F(search_endpoint, answers_as_the_tests_own_ranking_with_and_without_indexes) {
    host h;
    {
        SCOPED_TRACE("without the indexes");
        check_table(h);
    }
    for (const auto& statement : search::index_statements()) query_rows(scratch_url(), statement);
    const auto plan = query_rows(scratch_url(),
                                 "EXPLAIN SELECT 1 FROM \"PLOT\" WHERE (replace(lower(\"PLOT_NO\"), ' ', '') COLLATE \"C\") LIKE 'plot12%'");
    std::string plan_text;
    for (const auto& line : plan) plan_text += line[0] + "\n";
    EXPECT_NE(plan_text.find("PLOT_search_plot_no_idx"), std::string::npos) << plan_text;
    {
        SCOPED_TRACE("with the indexes");
        check_table(h);
    }
}

TEST_F(search_endpoint, bad_input_is_422_naming_the_parameter) {
    host h;
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"/search?q=", "q"},
        {"/search?q=%20%20", "q"},
        {"/search?q=" + std::string(101, 'a'), "q"},
        {"/search", "q"},
        {"/search?q=plot&limit=0", "limit"},
        {"/search?q=plot&limit=51", "limit"},
        {"/search?q=plot&limit=ten", "limit"},
        {"/search?q=plot&layer=roads", "layer"},
        {"/search?q=%FF", "q"},
        {"/search?q=%C0%AF", "q"},
        {"/search?q=plot%00x", "q"},
    };
    for (const auto& [target, parameter] : cases) {
        SCOPED_TRACE(target);
        const auto response = h.get(target);
        ASSERT_EQ(response.status, 422u) << response.body;
        const auto body = json::parse(response.body);
        ASSERT_TRUE(body["detail"].is_array()) << response.body;
        EXPECT_EQ(body["detail"][0]["loc"].back(), parameter) << response.body;
    }
    // A hundred characters of two bytes each are allowed.
    std::string hundred;
    for (int i = 0; i < 100; ++i) hundred += "\xC3\xA9";
    EXPECT_EQ(h.get("/search?q=" + encoded(hundred)).status, 200u);
}

}  // namespace
