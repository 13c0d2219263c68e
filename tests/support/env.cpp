#include "support/env.hpp"

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <stdexcept>

namespace test_support {
namespace {

std::string required(const char* name) {
    const char* v = std::getenv(name);
    if (v == nullptr || *v == '\0') {
        throw std::runtime_error(std::string(name) +
                                 " is not set: this test needs the shared PostgreSQL/Redis services; run it through "
                                 "scripts/test.sh or eval \"$(scripts/services.sh env DIR PG_PORT REDIS_PORT)\" first");
    }
    return v;
}

}  // namespace

std::string database_url() { return required("DATABASE_URL"); }

std::string redis_host() { return required("REDIS_HOST"); }

std::uint16_t redis_port() {
    auto text = required("REDIS_PORT");
    return static_cast<std::uint16_t>(std::stoi(text));
}

std::string unique_suffix() {
    static std::atomic<int> counter{0};
    return std::to_string(::getpid()) + "_" + std::to_string(counter++);
}

}  // namespace test_support
