#pragma once
// The one place where failures become HTTP answers: each error class of the
// common vocabulary and of the database module has its status and body here.
// A database that cannot be reached is 503 with Retry-After; routes whose
// answer to database failures is fixed turn them into common errors first.

#include <exception>
#include <optional>
#include <string_view>

#include "common/response.hpp"

namespace server {

// The answer for a handler's failure, or nothing when the failure is a
// cancellation (the client has gone; nobody is left to answer). Errors
// outside the vocabulary are logged with the request's method and path and
// answered 500 without their text, which is meant for developers.
std::optional<common::response> error_answer(const std::exception_ptr& failure, std::string_view method, std::string_view path);

// The body every error answer but 422 has: {"detail": text}.
common::response detail_answer(unsigned status, std::string_view detail);

}  // namespace server
