#include "server/client_watch.hpp"

#include <sys/socket.h>

#include <cerrno>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "common/cancellation.hpp"
#include "logger/logger.hpp"

namespace server {

using tcp = asio::ip::tcp;

namespace {

// One request being handled. Shared by the handler's completion, the watch
// and the waiting connection, whichever ends last.
struct handling {
    explicit handling(asio::any_io_executor ex) : done(ex, asio::steady_timer::time_point::max()) {}
    asio::steady_timer done;  // cancelled when the handler finishes
    asio::cancellation_signal cancel;
    bool finished = false;
    bool watched = false;
    std::optional<common::response> answer;
    std::exception_ptr failure;
};

// Cancels the handler when the peer closes its side. Data that is already the
// next request (pipelining) is left for later, and so is a failed wait: that
// says nothing about the client.
void watch_disconnect(std::shared_ptr<boost::beast::tcp_stream> stream, std::shared_ptr<handling> h) {
    auto& socket = stream->socket();
    socket.async_wait(tcp::socket::wait_read, [stream, h](boost::system::error_code ec) {
        if (ec || h->finished) return;
        char byte;
        auto n = ::recv(stream->socket().native_handle(), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) h->cancel.emit(asio::cancellation_type::all);
    });
}

}  // namespace

asio::awaitable<std::optional<common::response>> answer_watching_client(const application& app, common::request req,
                                                                        std::shared_ptr<boost::beast::tcp_stream> stream) {
    auto ex = stream->get_executor();
    auto h = std::make_shared<handling>(ex);
    // The request is handed over whole; its target stays for the failure's log line.
    const std::string target(req.target);
    asio::co_spawn(ex, app.handle(std::move(req)), asio::bind_cancellation_slot(h->cancel.slot(), [h](std::exception_ptr e, common::response r) {
                       h->finished = true;
                       if (e) {
                           h->failure = e;
                       } else {
                           h->answer = std::move(r);
                       }
                       h->done.cancel();
                   }));
    if (!h->finished) {
        // A handler that never waits (a cache hit) still reports a pass of the
        // loop later: Asio posts a spawned coroutine's completion. Watching its
        // socket would cost more than the answer, so the watch starts two passes later.
        asio::post(ex, [ex, h, stream] {
            asio::post(ex, [h, stream] {
                if (h->finished) return;
                h->watched = true;
                watch_disconnect(stream, h);
            });
        });
        while (!h->finished) co_await h->done.async_wait(asio::as_tuple(asio::use_awaitable));
        if (h->watched) {
            boost::system::error_code ignored;
            stream->socket().cancel(ignored);
        }
    }
    if (h->failure && !common::is_cancellation(h->failure)) {
        // The application answers every failure but a cancellation; anything
        // else escaping it is a fault of the server itself.
        try {
            std::rethrow_exception(h->failure);
        } catch (const std::exception& e) {
            logger::get_logger()->error("request {} failed: {}", target, e.what());
        } catch (...) {
            logger::get_logger()->error("request {} failed", target);
        }
    }
    co_return std::move(h->answer);
}

}  // namespace server
