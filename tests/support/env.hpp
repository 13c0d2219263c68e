#pragma once
// The shared services the test script exports.

#include <cstdint>
#include <string>

namespace test_support {

// DATABASE_URL: a libpq URI of a database with PostGIS. Throws
// std::runtime_error with a clear message when it is not set, so that a
// service test run without its services fails instead of passing silently.
std::string database_url();

// REDIS_HOST and REDIS_PORT of the shared Redis (same failure as above).
std::string redis_host();
std::uint16_t redis_port();

// A text unique to this process, for scratch keys, tables and databases:
// ctest runs several test processes at once against the same services.
std::string unique_suffix();

}  // namespace test_support
