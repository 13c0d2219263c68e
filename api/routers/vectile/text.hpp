#pragma once
// Text forms of cache keys and cached documents.

#include <string>

#include <nlohmann/json.hpp>

namespace vectile {

// A real rounded to a whole number as printf's "%.0f" does: halves go to the
// even neighbour, and a negative value that rounds to zero prints "-0".
std::string whole_text(double v);

// JSON text with ", " between items and ": " after keys, non-ASCII escaped as \uXXXX.
std::string spaced_json(const nlohmann::ordered_json& doc);

}  // namespace vectile
