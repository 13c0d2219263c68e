#include "server/event_stream.hpp"

#include <array>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>

namespace server {

namespace asio = boost::asio;
using namespace boost::asio::experimental::awaitable_operators;

asio::awaitable<void> stream_events(boost::beast::tcp_stream& stream, std::shared_ptr<common::event_source> source,
                                    std::chrono::milliseconds write_timeout) {
    std::array<char, 512> ignored{};
    for (;;) {
        stream.expires_never();
        // A read ends with the client's close (or a shutdown's cancel); an
        // event stream's client has nothing to say.
        auto next = source->next();
        auto read = stream.socket().async_read_some(asio::buffer(ignored), asio::as_tuple(asio::use_awaitable));
        auto which = co_await (std::move(next) || std::move(read));
        if (which.index() == 1) co_return;
        auto piece = std::get<0>(std::move(which));
        if (!piece) co_return;
        stream.expires_after(write_timeout);
        auto [ec, n] = co_await asio::async_write(stream, asio::buffer(*piece), asio::as_tuple(asio::use_awaitable));
        if (ec) co_return;
    }
}

}  // namespace server
