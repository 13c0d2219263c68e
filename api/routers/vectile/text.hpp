#pragma once
// Text forms shared by messages, cache keys and cached documents.

#include <string>

#include <nlohmann/json.hpp>

namespace vectile {

// The shortest decimal form that reads back to the same double, always with a
// decimal point or exponent: 1.0, 0.1, 37605.29482551143, 1e+16.
std::string real_text(double v);

// A real rounded to a whole number as printf's "%.0f" does: halves go to the
// even neighbour, and a negative value that rounds to zero prints "-0".
std::string whole_text(double v);

// JSON text with ", " between items and ": " after keys, non-ASCII escaped as \uXXXX.
std::string spaced_json(const nlohmann::ordered_json& doc);

}  // namespace vectile
