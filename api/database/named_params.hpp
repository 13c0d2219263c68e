#pragma once
// Translation of ":name" placeholders into PostgreSQL's positional "$n".

#include <string>
#include <string_view>
#include <vector>

namespace database {

struct positional_sql {
    std::string text;                // the statement with $1, $2, ... in place of the names
    std::vector<std::string> names;  // names[i] is bound to $(i+1); a repeated name reuses its number
};

// Replaces every ":name" placeholder (name = letter or underscore, then letters,
// digits, underscores) by "$n". Text inside string literals ('...', E'...',
// dollar-quoted), quoted identifiers and comments (-- and nested /* */) is left
// alone, and so are "::" casts. Never throws on odd input: an unterminated
// literal or comment simply runs to the end of the text.
positional_sql translate_named_params(std::string_view sql);

}  // namespace database
