#pragma once
// The one test for "the request was abandoned": a wait that ended because
// its operation was cancelled. Such a failure is never an error to report;
// whoever catches it passes it on.

#include <exception>

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

namespace common {

inline bool is_cancellation(const std::exception& e) noexcept {
    auto* se = dynamic_cast<const boost::system::system_error*>(&e);
    return se != nullptr && se->code() == boost::asio::error::operation_aborted;
}

inline bool is_cancellation(const std::exception_ptr& e) noexcept {
    if (!e) return false;
    try {
        std::rethrow_exception(e);
    } catch (const std::exception& x) {
        return is_cancellation(x);
    } catch (...) {
        return false;
    }
}

}  // namespace common
