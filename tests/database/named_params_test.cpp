// The ":name" to "$n" translator: placeholders are replaced only in SQL
// text proper, never inside literals, quoted identifiers, comments or casts.

#include "database/named_params.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct translation_case {
    const char* name;
    std::string sql;
    std::string text;
    std::vector<std::string> names;
};

// Names the case in test listings.
void PrintTo(const translation_case& c, std::ostream* os) { *os << c.name; }

class translate : public testing::TestWithParam<translation_case> {};

TEST_P(translate, replaces_only_real_placeholders) {
    const auto& c = GetParam();
    auto out = database::translate_named_params(c.sql);
    EXPECT_EQ(out.text, c.text) << c.sql;
    EXPECT_EQ(out.names, c.names) << c.sql;
}

INSTANTIATE_TEST_SUITE_P(
    sql, translate,
    testing::Values(
        translation_case{"none", "SELECT 1", "SELECT 1", {}},
        translation_case{"empty", "", "", {}},
        translation_case{"simple", "SELECT :a, :b_2, :_c", "SELECT $1, $2, $3", {"a", "b_2", "_c"}},
        translation_case{"repeated_reuses_number", "SELECT :x + :y + :x", "SELECT $1 + $2 + $1", {"x", "y"}},
        translation_case{"adjacent_punctuation", "f(:a,:b)=:c;[:d]|:e||:f", "f($1,$2)=$3;[$4]|$5||$6", {"a", "b", "c", "d", "e", "f"}},
        translation_case{"at_start_and_end", ":first=:last", "$1=$2", {"first", "last"}},
        translation_case{"newline_and_tab", "WHERE a =\n\t:v\n", "WHERE a =\n\t$1\n", {"v"}},
        translation_case{"cast", "SELECT :v::int, x::text", "SELECT $1::int, x::text", {"v"}},
        translation_case{"cast_of_name_like_word", "SELECT a::b::c", "SELECT a::b::c", {}},
        translation_case{"colon_before_digit", "SELECT arr[1:2]", "SELECT arr[1:2]", {}},
        translation_case{"lone_colon", "SELECT ':' || : || :", "SELECT ':' || : || :", {}},
        translation_case{"string_literal", "SELECT ':a', :b", "SELECT ':a', $1", {"b"}},
        translation_case{"doubled_quote_escape", "SELECT 'it''s :a', :b", "SELECT 'it''s :a', $1", {"b"}},
        translation_case{"doubled_quote_at_end", "SELECT '''', :b", "SELECT '''', $1", {"b"}},
        translation_case{"escape_string", R"(SELECT E'it\'s :a', :b)", R"(SELECT E'it\'s :a', $1)", {"b"}},
        translation_case{"escape_string_lower_e", R"(SELECT e'\\', :b)", R"(SELECT e'\\', $1)", {"b"}},
        // Outside E'...', a backslash is an ordinary character and ' ends the literal.
        translation_case{"standard_string_backslash", R"(SELECT 'a\', :b)", R"(SELECT 'a\', $1)", {"b"}},
        translation_case{"identifier_ending_in_e", R"(SELECT name'x\', :b)", R"(SELECT name'x\', $1)", {"b"}},
        translation_case{"quoted_identifier", R"(SELECT "col:x", "a""b:y", :z FROM "T")", R"(SELECT "col:x", "a""b:y", $1 FROM "T")", {"z"}},
        translation_case{"line_comment", "SELECT 1 -- it's :a\n, :b", "SELECT 1 -- it's :a\n, $1", {"b"}},
        translation_case{"line_comment_at_end", "SELECT :a -- :b", "SELECT $1 -- :b", {"a"}},
        translation_case{"minus_is_not_comment", "SELECT 1 - :a", "SELECT 1 - $1", {"a"}},
        translation_case{"block_comment", "SELECT /* :a 'x */ :b", "SELECT /* :a 'x */ $1", {"b"}},
        translation_case{"nested_block_comment", "SELECT /* a /* :b */ :c */ :d", "SELECT /* a /* :b */ :c */ $1", {"d"}},
        translation_case{"division_is_not_comment", "SELECT :a / :b", "SELECT $1 / $2", {"a", "b"}},
        translation_case{"dollar_quote", "SELECT $$ :a 'x $$, :b", "SELECT $$ :a 'x $$, $1", {"b"}},
        translation_case{"tagged_dollar_quote", "SELECT $fn$ :a $$ :b $fn$, :c", "SELECT $fn$ :a $$ :b $fn$, $1", {"c"}},
        translation_case{"positional_untouched", "SELECT $1, $2", "SELECT $1, $2", {}},
        translation_case{"dollar_inside_identifier", "SELECT a$b, :c", "SELECT a$b, $1", {"c"}},
        translation_case{"unterminated_literal", "SELECT 'abc :a", "SELECT 'abc :a", {}},
        translation_case{"unterminated_comment", "SELECT /* :a", "SELECT /* :a", {}},
        translation_case{"non_ascii_text", "SELECT 'é:a', :b -- ü\n", "SELECT 'é:a', $1 -- ü\n", {"b"}},
        translation_case{"tile_statement",
                         "ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857) AND \"GEOMETRY_3857\" && ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857)",
                         "ST_MakeEnvelope($1, $2, $3, $4, 3857) AND \"GEOMETRY_3857\" && ST_MakeEnvelope($1, $2, $3, $4, 3857)",
                         {"min_x", "min_y", "max_x", "max_y"}}),
    [](const testing::TestParamInfo<translation_case>& info) { return std::string(info.param.name); });

TEST(translate_numbers, go_past_nine) {
    std::string sql, expected;
    std::vector<std::string> names;
    for (int i = 1; i <= 12; ++i) {
        sql += " :p" + std::to_string(i);
        expected += " $" + std::to_string(i);
        names.push_back("p" + std::to_string(i));
    }
    auto out = database::translate_named_params(sql);
    EXPECT_EQ(out.text, expected);
    EXPECT_EQ(out.names, names);
}

}  // namespace
