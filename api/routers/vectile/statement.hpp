#pragma once
// Pieces the tile handlers share around running one time-limited statement.

#include <optional>
#include <stdexcept>
#include <string>
#include <variant>

#include "database/database.hpp"

namespace vectile {

// Raised inside a transaction body when its statement outlived the handler's
// time-limit, so that the transaction rolls back before the handler answers 408.
struct statement_timeout : std::runtime_error {
    statement_timeout() : std::runtime_error("statement timed out") {}
};

// The tile bytes in a statement's single value, or nothing (no row, NULL).
inline std::optional<std::string> tile_bytes(const std::optional<database::value>& v) {
    if (!v) return std::nullopt;
    if (auto* b = std::get_if<database::bytes>(&*v)) return b->data;
    if (auto* s = std::get_if<std::string>(&*v)) return *s;
    return std::nullopt;
}

}  // namespace vectile
