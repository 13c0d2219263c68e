// The bounding-box tile's pure parts: area, cache key with its rounding, and
// the two statements.

#include "routers/vectile/bbox.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
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

TEST(calculate_bbox_area_degrees, is_the_absolute_area_without_validation) {
    struct row {
        double minx, miny, maxx, maxy, area;
    };
    const row table[] = {
        {3, 7, 4, 8, 1.0},          {3, 7, 4.01, 8, 1.01},     {4, 8, 3, 7, 1.0},  // swapped on both axes
        {4, 7, 3, 8, 1.0},          {0, 0, 0, 5, 0.0},         {-180, 0, 180, 0.002, 0.72},
        {7.4, 9.0, 7.6, 9.2, 0.04},
    };
    for (const auto& r : table) {
        EXPECT_NEAR(vectile::calculate_bbox_area_degrees(r.minx, r.miny, r.maxx, r.maxy), r.area, 1e-12)
            << r.minx << " " << r.miny << " " << r.maxx << " " << r.maxy;
    }
    EXPECT_EQ(vectile::calculate_bbox_area_degrees(3, 7, 4, 8), 1.0);  // exactly: the limit check is "greater than"
    EXPECT_TRUE(std::isnan(vectile::calculate_bbox_area_degrees(std::nan(""), 0, 1, 1)));
}

TEST(bbox_cache_key, joins_whole_metres_the_capped_limit_and_the_flag) {
    EXPECT_EQ(vectile::bbox_cache_key("plots", 372000.4, 1007000, 373000.6, 1008000, 5000, true),
              "bbox:plots:372000:1007000:373001:1008000:5000:True");
    EXPECT_EQ(vectile::bbox_cache_key("plots", 412345, 1012345, 413345, 1013345, 5000, true),
              "bbox:plots:412345:1012345:413345:1013345:5000:True");
    EXPECT_EQ(vectile::bbox_cache_key("lgas", 1, 2, 3, 4, 0, false), "bbox:lgas:1:2:3:4:0:False");
}

TEST(bbox_cache_key, rounds_halves_to_even_and_keeps_the_sign_of_zero) {
    struct row {
        double value;
        const char* text;
    };
    const row table[] = {
        {412344.5, "412344"}, {412345.5, "412346"}, {0.5, "0"},     {1.5, "2"},    {2.5, "2"},      {-0.4, "-0"},
        {-0.5, "-0"},         {-1.5, "-2"},         {0.0, "0"},     {-0.0, "-0"},  {0.49999, "0"},  {1007000.4999, "1007000"},
        {-20037508.342789244, "-20037508"},          {20037508.5, "20037508"}, {1e15 + 0.5, "1000000000000000"},
    };
    for (const auto& r : table) {
        EXPECT_EQ(vectile::bbox_cache_key("plots", r.value, 0, 0, 0, 5000, true), std::string("bbox:plots:") + r.text + ":0:0:0:5000:True")
            << r.value;
    }
}

TEST(bbox_tile_sql, is_the_fixed_template_with_the_registry_names_and_the_given_geometry) {
    const std::string expected = join_lines({
        "",
        "    SELECT ST_AsMVT(mvt_data, 'lgas', 4096, 'mvt_geom') AS mvt",
        "    FROM (",
        R"(        SELECT "id", "name",)",
        R"(            "id" AS feature_id,)",
        "            ST_AsMVTGeom(",
        R"(                ST_SimplifyPreserveTopology("geometry_3857", 50),)",
        "                ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857),",
        "                4096,",
        "                32,",
        "                true",
        "            ) AS mvt_geom",
        R"(        FROM "LGAs")",
        R"(        WHERE "geometry_3857" && ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857))",
        R"(            AND ST_Intersects("geometry_3857", ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857)))",
        R"(        ORDER BY ST_Area("geometry_3857") DESC)",
        "        LIMIT :max_features",
        "    ) AS mvt_data",
        "    WHERE mvt_data.mvt_geom IS NOT NULL",
        "    ",
    });
    EXPECT_EQ(vectile::bbox_tile_sql("lgas", R"(ST_SimplifyPreserveTopology("geometry_3857", 50))"), expected);

    const std::string plain = vectile::bbox_tile_sql("plots", R"("GEOMETRY_3857")");
    EXPECT_NE(plain.find("\n                \"GEOMETRY_3857\",\n"), std::string::npos) << plain;
    EXPECT_NE(plain.find("\n        FROM \"PLOT\"\n"), std::string::npos) << plain;
    EXPECT_NE(plain.find(R"(        SELECT "ID", "PLOT_NO", "STATUS", "AREA_SYSTEM", "GENERAL_LU", "CADZONE", "DETAIL_LU", "file_no",)"),
              std::string::npos)
        << plain;
}

TEST(transform_sql, is_the_fixed_statement) {
    const std::string expected = join_lines({
        "",
        "            SELECT ",
        "                ST_XMin(bbox_3857) as min_x, ST_YMin(bbox_3857) as min_y,",
        "                ST_XMax(bbox_3857) as max_x, ST_YMax(bbox_3857) as max_y",
        "            FROM (",
        "                SELECT ST_Transform(",
        "                    ST_MakeEnvelope(:x1, :y1, :x2, :y2, :input_srid), 3857",
        "                ) as bbox_3857",
        "            ) as sub",
        "        ",
    });
    EXPECT_EQ(std::string(vectile::transform_sql), expected);
}

}  // namespace
