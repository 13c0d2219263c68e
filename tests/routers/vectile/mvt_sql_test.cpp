// The XYZ tile statement: exact text for two worked examples, the pieces
// that change with layer and zoom, and the two failures.

#include "routers/vectile/mvt_sql.hpp"

#include <gtest/gtest.h>

#include <ostream>

#include <string>
#include <vector>

namespace {

std::string join_lines(const std::vector<std::string>& lines) {
    std::string out;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i > 0) out += "\n";
        out += lines[i];
    }
    return out;
}

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> out;
    std::size_t start = 0;
    for (;;) {
        auto nl = text.find('\n', start);
        out.push_back(text.substr(start, nl == std::string::npos ? std::string::npos : nl - start));
        if (nl == std::string::npos) return out;
        start = nl + 1;
    }
}

TEST(generate_mvt_sql, plots_at_zoom_14_byte_for_byte) {
    const std::string expected = join_lines({
        "",
        "    SELECT ST_AsMVT(mvt_data, 'plots', 4096, 'mvt_geom') AS mvt",
        "    FROM (",
        R"(        SELECT "ID", "PLOT_NO", "STATUS", "AREA_SYSTEM", "GENERAL_LU", "CADZONE", "DETAIL_LU", "file_no",)",
        R"(            "ID" AS feature_id,)",
        "            ST_AsMVTGeom(",
        R"(                "GEOMETRY_3857",)",
        "                ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857),",
        "                4096,",
        "                16,",
        "                true",
        "            ) AS mvt_geom",
        R"(        FROM "PLOT")",
        "        WHERE ",
        R"(        "GEOMETRY_3857" && ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857))",
        R"(        AND ST_Intersects("GEOMETRY_3857", ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857)))",
        "        ",
        R"(        ORDER BY ST_Area("GEOMETRY_3857") DESC)",
        "        LIMIT 1500",
        "    ) AS mvt_data",
        "    WHERE mvt_data.mvt_geom IS NOT NULL;",
        "    ",
    });
    auto [sql, config] = vectile::generate_mvt_sql("plots", 14);
    EXPECT_EQ(sql, expected);
    EXPECT_EQ(config, (vectile::zoom_config{0, 1500, 16, 1800}));
}

TEST(generate_mvt_sql, lgas_at_zoom_5_byte_for_byte) {
    const std::string expected = join_lines({
        "",
        "    SELECT ST_AsMVT(mvt_data, 'lgas', 4096, 'mvt_geom') AS mvt",
        "    FROM (",
        R"(        SELECT "id", "name",)",
        R"(            "id" AS feature_id,)",
        "            ST_AsMVTGeom(",
        R"(                ST_Simplify("geometry_3857", 1000),)",
        "                ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857),",
        "                4096,",
        "                256,",
        "                true",
        "            ) AS mvt_geom",
        R"(        FROM "LGAs")",
        R"(        WHERE "geometry_3857" && ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857))",
        R"(        ORDER BY ST_Area("geometry_3857") DESC)",
        "        LIMIT 2000",
        "    ) AS mvt_data",
        "    WHERE mvt_data.mvt_geom IS NOT NULL;",
        "    ",
    });
    auto [sql, config] = vectile::generate_mvt_sql("lgas", 5);
    EXPECT_EQ(sql, expected);
    EXPECT_EQ(config, (vectile::zoom_config{1000, 2000, 256, 7200}));
}

struct statement_case {
    const char* layer;
    int zoom;
    const char* select_line;
    const char* geom_line;
    int buffer;
    int limit;
    bool exact_intersection;  // zoom > 6: the filter has its own lines and ST_Intersects
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const statement_case& c, std::ostream* os) { *os << c.layer << " at " << c.zoom; }

class statement_pieces : public testing::TestWithParam<statement_case> {};

TEST_P(statement_pieces, carry_the_layer_identifiers_and_the_zoom_numbers) {
    const auto& c = GetParam();
    auto [sql, config] = vectile::generate_mvt_sql(c.layer, c.zoom);
    auto lines = split_lines(sql);
    ASSERT_EQ(lines.size(), c.exact_intersection ? 22u : 19u) << sql;
    EXPECT_EQ(lines[1], std::string("    SELECT ST_AsMVT(mvt_data, '") + c.layer + "', 4096, 'mvt_geom') AS mvt");
    EXPECT_EQ(lines[3], c.select_line);
    EXPECT_EQ(lines[6], std::string("                ") + c.geom_line + ",");
    EXPECT_EQ(lines[9], "                " + std::to_string(c.buffer) + ",");
    const std::size_t limit_line = c.exact_intersection ? 18 : 15;
    EXPECT_EQ(lines[limit_line], "        LIMIT " + std::to_string(c.limit));
    EXPECT_EQ(sql.find("ST_Intersects(") != std::string::npos, c.exact_intersection) << sql;
    EXPECT_EQ(config.buffer, c.buffer);
    EXPECT_EQ(config.feature_limit, c.limit);
    // The same layer and zoom always give the same text.
    EXPECT_EQ(vectile::generate_mvt_sql(c.layer, c.zoom).first, sql);
}

INSTANTIATE_TEST_SUITE_P(
    layers_and_zooms, statement_pieces,
    testing::Values(
        statement_case{"lgas", 2, R"(        SELECT "id", "name",)", R"(ST_Simplify("geometry_3857", 2000))", 512, 1000, false},
        statement_case{"districts", 6, R"(        SELECT "id", "name", "lga_id",)", R"(ST_Simplify("geometry_3857", 1000))", 256, 2000,
                       false},
        statement_case{"cadzones", 7, R"(        SELECT "id", "name", "district_id",)",
                       R"(ST_SimplifyPreserveTopology("geometry_3857", 500))", 256, 3000, true},
        statement_case{"plots", 12,
                       R"(        SELECT "ID", "PLOT_NO", "STATUS", "AREA_SYSTEM", "GENERAL_LU", "CADZONE", "DETAIL_LU", "file_no",)",
                       R"(ST_SimplifyPreserveTopology("GEOMETRY_3857", 500))", 256, 1500, true},
        statement_case{"beacons", 13, R"(        SELECT "ID", "BEACON_NO", "STATUS", "REMARK",)", R"("GEOMETRY_3857")", 16, 1500, true},
        statement_case{"beacons", 20, R"(        SELECT "ID", "BEACON_NO", "STATUS", "REMARK",)", R"("GEOMETRY_3857")", 8, 15000, true}),
    [](const testing::TestParamInfo<statement_case>& info) {
        return std::string(info.param.layer) + "_" + std::to_string(info.param.zoom);
    });

struct refusal_case {
    const char* layer;
    int zoom;
    const char* message;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const refusal_case& c, std::ostream* os) { *os << c.layer << " at " << c.zoom; }

class statement_refusals : public testing::TestWithParam<refusal_case> {};

TEST_P(statement_refusals, raise_the_invalid_argument_error_naming_the_value) {
    const auto& c = GetParam();
    try {
        (void)vectile::generate_mvt_sql(c.layer, c.zoom);
        ADD_FAILURE() << "no error for " << c.layer << " at " << c.zoom;
    } catch (const vectile::invalid_argument& e) {
        EXPECT_STREQ(e.what(), c.message);
    }
}

INSTANTIATE_TEST_SUITE_P(
    below_minimum_or_unknown, statement_refusals,
    testing::Values(refusal_case{"plots", 7, "Layer plots not available at zoom level 7"},
                    refusal_case{"plots", 5, "Layer plots not available at zoom level 5"},
                    refusal_case{"beacons", 11, "Layer beacons not available at zoom level 11"},
                    refusal_case{"lgas", 1, "Layer lgas not available at zoom level 1"},
                    refusal_case{"roads", 10, "Unknown layer: roads"}, refusal_case{"Plots", 14, "Unknown layer: Plots"}),
    [](const testing::TestParamInfo<refusal_case>& info) {
        return std::string(info.param.layer) + "_" + std::to_string(info.param.zoom);
    });

}  // namespace
