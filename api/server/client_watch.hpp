#pragma once
// Running a request's handler while watching its client: a client that
// closes its connection cancels the handler, so abandoned work (a statement,
// a plan) stops instead of finishing for nobody.

#include <memory>
#include <optional>

#include <boost/asio/awaitable.hpp>
#include <boost/beast/core/tcp_stream.hpp>

#include "common/response.hpp"
#include "server/application.hpp"

namespace server {

// The application's answer to `req`, or nothing when the client went away
// (the handler was cancelled) or the handler failed without an answer (logged).
// `stream` shares the ownership of the connection that holds it, so the watch
// may end after the connection's coroutine.
asio::awaitable<std::optional<common::response>> answer_watching_client(const application& app, common::request req,
                                                                        std::shared_ptr<boost::beast::tcp_stream> stream);

}  // namespace server
