// The one test for an abandoned request, on exceptions and on exception pointers.

#include "common/cancellation.hpp"

#include <gtest/gtest.h>

#include <stdexcept>

#include "common/errors.hpp"

namespace {

template <class E>
std::exception_ptr pointer_to(E e) {
    try {
        throw e;
    } catch (...) {
        return std::current_exception();
    }
}

TEST(is_cancellation, only_an_aborted_operation_counts) {
    namespace asio = boost::asio;
    using boost::system::system_error;
    struct row {
        const char* name;
        std::exception_ptr failure;
        bool cancelled;
    };
    const row table[] = {
        {"aborted", pointer_to(system_error(asio::error::operation_aborted)), true},
        {"timed out", pointer_to(system_error(asio::error::timed_out)), false},
        {"connection reset", pointer_to(system_error(asio::error::connection_reset)), false},
        {"runtime error", pointer_to(std::runtime_error("operation aborted")), false},
        {"request error", pointer_to(common::timed_out("Query timeout")), false},
        {"not an exception", pointer_to(42), false},
        {"nothing", nullptr, false},
    };
    for (const auto& r : table) {
        EXPECT_EQ(common::is_cancellation(r.failure), r.cancelled) << r.name;
        if (!r.failure) continue;
        try {
            std::rethrow_exception(r.failure);
        } catch (const std::exception& e) {
            EXPECT_EQ(common::is_cancellation(e), r.cancelled) << r.name;
        } catch (...) {
        }
    }
}

}  // namespace
