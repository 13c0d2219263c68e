#pragma once
// Reading gzip answers in tests.

#include <string>

namespace test_support {

// The bytes a gzip stream holds, or "<not gzip>" when it is not one.
std::string gunzip(const std::string& in);

}  // namespace test_support
