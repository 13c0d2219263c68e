#pragma once
// Checking text from a request before it reaches the database.

#include <string_view>

namespace helpers::utils {

// Whether `text` is well-formed UTF-8 (no overlong forms, surrogates or code
// points past U+10FFFF) without a NUL byte: what PostgreSQL accepts as a text
// value. Anything else it refuses with an error, or cuts short at the NUL.
bool is_database_text(std::string_view text) noexcept;

}  // namespace helpers::utils
