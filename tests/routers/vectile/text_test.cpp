// Text forms used in cache keys and in the cached centroid document.

#include "routers/vectile/text.hpp"

#include <gtest/gtest.h>

namespace {

using json = nlohmann::ordered_json;

TEST(whole_text, rounds_like_printf_without_decimals) {
    EXPECT_EQ(vectile::whole_text(412344.5), "412344");
    EXPECT_EQ(vectile::whole_text(412345.5), "412346");
    EXPECT_EQ(vectile::whole_text(-0.4), "-0");
    EXPECT_EQ(vectile::whole_text(-3.6), "-4");
    EXPECT_EQ(vectile::whole_text(1e20), "100000000000000000000");
    EXPECT_EQ(vectile::whole_text(-1.7976931348623157e308).size(), 310u);  // the widest double fits
}

TEST(spaced_json, separates_items_with_comma_space_and_keys_with_colon_space_keeping_key_order) {
    json doc;
    doc["layer"] = "plots";
    doc["centroid_wgs84"] = {{"latitude", 9.05}, {"longitude", 7.5}};
    doc["suggested_tile"] = {{"x", 1}, {"y", 2}, {"z", 16}};
    doc["list"] = json::array({"\"ID\"", "na\xc3\xafve", 1.0, nullptr, true});
    doc["empty_object"] = json::object();
    doc["empty_array"] = json::array();
    EXPECT_EQ(vectile::spaced_json(doc),
              R"({"layer": "plots", "centroid_wgs84": {"latitude": 9.05, "longitude": 7.5}, )"
              R"("suggested_tile": {"x": 1, "y": 2, "z": 16}, "list": ["\"ID\"", "na\u00efve", 1.0, null, true], )"
              R"("empty_object": {}, "empty_array": []})");
    // It reads back to the same document.
    EXPECT_EQ(json::parse(vectile::spaced_json(doc)), doc);
    EXPECT_EQ(vectile::spaced_json(json("\xe2\x9c\x93")), R"("\u2713")");
}

}  // namespace
