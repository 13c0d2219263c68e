#pragma once
// The text form of a real as the system's own records print it, shared by
// the tile router's messages and the plans' labels.

#include <string>

namespace helpers::utils {

// The shortest decimal form of `value` that reads back to the same double,
// always with a decimal point or an exponent: 45 gives "45.0", 37605.29482551143
// stays as it is, 1e22 gives "1e+22", 0.0001 gives "0.0001" and 1e-05 "1e-05".
// Non-finite values print as "nan", "inf" and "-inf".
std::string real_text(double value);

}  // namespace helpers::utils
