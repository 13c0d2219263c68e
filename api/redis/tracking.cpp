#include "redis/tracking.hpp"

#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <vector>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/connect.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <hiredis/hiredis.h>

#include "logger/logger.hpp"
#include "metrics/metrics.hpp"
#include "redis/detail/wire.hpp"
#include "redis/sentinel.hpp"

namespace redis {

using clock = std::chrono::steady_clock;
using tcp = asio::ip::tcp;

namespace {

using detail::is_text;
using detail::reader_ptr;
using detail::reply_ptr;

}  // namespace

class tracking_impl : public std::enable_shared_from_this<tracking_impl> {
public:
    tracking_impl(asio::any_io_executor ex, options opts, std::string prefix, tracking::callback on_change, std::string channel)
        : m_ex(ex),
          m_opts(std::move(opts)),
          m_prefix(std::move(prefix)),
          m_channel(std::move(channel)),
          m_on_change(std::move(on_change)),
          m_socket(ex) {}

    bool live() {
        if (m_state == state::live && moved()) lose();  // the sentinels announced another primary
        if (m_state == state::live) {
            poll();
        } else if (m_state == state::down && (clock::now() >= m_next_attempt || moved())) {
            m_state = state::connecting;
            ++m_attempt;
            asio::co_spawn(m_ex, connect(shared_from_this(), m_attempt), asio::detached);
        }
        return m_state == state::live;
    }

    void stop() {
        m_stopped = true;
        m_on_change = nullptr;
        boost::system::error_code ignored;
        m_socket.close(ignored);
    }

private:
    enum class state { down, connecting, live };

    static asio::awaitable<void> connect(std::shared_ptr<tracking_impl> self, std::uint64_t attempt) {
        // The timer's handler may run after this frame has ended (it expired
        // while the frame was finishing), so it shares the resolver rather than
        // borrowing it. It also ends an attempt that a stop has cut short.
        auto resolver = std::make_shared<tcp::resolver>(self->m_ex);
        asio::steady_timer deadline(self->m_ex, self->m_opts.connect_timeout);
        deadline.async_wait([self, attempt, resolver](boost::system::error_code ec) {
            if (ec || self->m_attempt != attempt || self->m_state != state::connecting) return;
            resolver->cancel();
            boost::system::error_code ignored;
            self->m_socket.close(ignored);
        });
        bool ok = false;
        try {
            address at{self->m_opts.host, self->m_opts.port};
            if (self->m_opts.sentinel) {
                at = co_await self->m_opts.sentinel->primary();
                self->m_target = at;
            }
            auto endpoints = co_await resolver->async_resolve(at.host, std::to_string(at.port), asio::use_awaitable);
            // A stop closed the socket before it was opened; connecting now would open it again.
            if (self->m_stopped) throw error("stopped");
            co_await asio::async_connect(self->m_socket, endpoints, asio::use_awaitable);
            self->m_reader.reset(redisReaderCreate());
            if (!self->m_opts.password.empty()) {
                std::vector<std::string_view> auth{std::string_view("AUTH"), std::string_view(self->m_opts.password)};
                co_await self->roundtrip(auth);
            }
            if (self->m_opts.sentinel) {
                // Changes are made on the primary; a replica would report them late or never.
                std::vector<std::string_view> role_argv{std::string_view("ROLE")};
                auto role = co_await self->roundtrip(role_argv);
                if (role->type != REDIS_REPLY_ARRAY || role->elements == 0 || !is_text(role->element[0], "master")) {
                    throw error("not the primary");
                }
            }
            std::vector<std::string_view> id_argv{std::string_view("CLIENT"), std::string_view("ID")};
            auto id = co_await self->roundtrip(id_argv);
            if (id->type != REDIS_REPLY_INTEGER) throw error("CLIENT ID");
            std::string own = std::to_string(id->integer);
            // Broadcast mode: changes of every key under the prefix, whoever reads
            // it, reported to this same connection once it has subscribed.
            std::vector<std::string_view> track{std::string_view("CLIENT"), std::string_view("TRACKING"), std::string_view("on"),
                                                std::string_view("REDIRECT"), std::string_view(own), std::string_view("BCAST"),
                                                std::string_view("PREFIX"), std::string_view(self->m_prefix)};
            auto on = co_await self->roundtrip(track);
            if (!is_text(on.get(), "OK")) throw error("CLIENT TRACKING");
            std::vector<std::string_view> subscribe{std::string_view("SUBSCRIBE"), std::string_view("__redis__:invalidate")};
            // The second channel's confirmation comes as one more reply, which poll() passes over.
            if (!self->m_channel.empty()) subscribe.emplace_back(self->m_channel);
            auto sub = co_await self->roundtrip(subscribe);
            if (sub->type != REDIS_REPLY_ARRAY || sub->elements < 1 || !is_text(sub->element[0], "subscribe")) throw error("SUBSCRIBE");
            ok = true;
        } catch (const std::exception& e) {
            // Handled: the feed is down (copies dropped) and tried again after a pause.
            if (!self->m_stopped) {
                logger::get_logger("redis")->info("The change feed could not be opened: {}", e.what());
                metrics::count_handled_error(metrics::component::change_feed);
            }
        }
        deadline.cancel();
        if (self->m_stopped || self->m_attempt != attempt) co_return;
        if (!ok) {
            if (self->m_opts.sentinel && self->m_target) self->m_opts.sentinel->forget(*self->m_target);
            self->lose();
            co_return;
        }
        self->m_state = state::live;
        self->m_pause = std::chrono::seconds(1);
        // Anything kept before this moment was kept without a feed.
        if (self->m_on_change) self->m_on_change(std::nullopt);
        self->arm_read();
        self->poll();
    }

    // Sends one command and reads its reply (only while connecting).
    asio::awaitable<reply_ptr> roundtrip(const std::vector<std::string_view>& argv) {
        return detail::roundtrip(m_socket, m_reader.get(), argv);
    }

    // True when the sentinels name a primary other than the one this feed was opened to.
    bool moved() const {
        if (!m_opts.sentinel || !m_target) return false;
        auto known = m_opts.sentinel->known();
        return known && *known != *m_target;
    }

    void arm_read() {
        m_socket.async_wait(tcp::socket::wait_read, [self = shared_from_this(), generation = m_attempt](boost::system::error_code ec) {
            if (ec || self->m_stopped || self->m_attempt != generation || self->m_state != state::live) return;
            self->poll();
            if (self->m_state == state::live) self->arm_read();
        });
    }

    // Reads what has arrived, without waiting, and reports each change.
    void poll() {
        for (;;) {
            auto n = ::recv(m_socket.native_handle(), m_buffer.data(), m_buffer.size(), MSG_DONTWAIT);
            if (n > 0) {
                if (redisReaderFeed(m_reader.get(), m_buffer.data(), static_cast<std::size_t>(n)) != REDIS_OK) return lose();
                if (static_cast<std::size_t>(n) < m_buffer.size()) break;
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
            return lose();  // closed by the server, or failed
        }
        for (;;) {
            void* r = nullptr;
            if (redisReaderGetReply(m_reader.get(), &r) != REDIS_OK) return lose();
            if (r == nullptr) break;
            reply_ptr message(static_cast<redisReply*>(r));
            if (message->type != REDIS_REPLY_ARRAY || message->elements != 3 || !is_text(message->element[0], "message")) continue;
            const redisReply* keys = message->element[2];
            if (!m_on_change) continue;
            if (!m_channel.empty() && is_text(message->element[1], m_channel)) {
                if (keys->type == REDIS_REPLY_STRING) m_on_change(std::string_view(keys->str, keys->len));
                continue;
            }
            if (keys->type == REDIS_REPLY_ARRAY) {
                for (std::size_t i = 0; i < keys->elements; ++i) {
                    const redisReply* k = keys->element[i];
                    if (k->type == REDIS_REPLY_STRING) m_on_change(std::string_view(k->str, k->len));
                }
            } else {
                m_on_change(std::nullopt);  // the database was flushed
            }
        }
    }

    void lose() {
        boost::system::error_code ignored;
        m_socket.close(ignored);
        // The primary it was opened to failed: with sentinels, they are asked again.
        if (m_opts.sentinel && m_target && m_state == state::live) m_opts.sentinel->forget(*m_target);
        m_state = state::down;
        ++m_attempt;  // outstanding waits of the old connection see a new generation
        // A server that refuses tracking (older than Redis 6, or the command
        // disabled) is asked again ever less often: at most every 30 s.
        m_next_attempt = clock::now() + m_pause;
        m_pause = std::min<clock::duration>(m_pause * 2, std::chrono::seconds(30));
        if (m_on_change) m_on_change(std::nullopt);
    }

    asio::any_io_executor m_ex;
    options m_opts;
    std::string m_prefix;
    std::string m_channel;
    tracking::callback m_on_change;
    tcp::socket m_socket;
    reader_ptr m_reader;
    std::array<char, 16384> m_buffer{};
    std::optional<address> m_target;  // of the last attempt, with sentinels
    state m_state = state::down;
    std::uint64_t m_attempt = 0;
    clock::time_point m_next_attempt{};
    clock::duration m_pause = std::chrono::seconds(1);
    bool m_stopped = false;
};

tracking::tracking(asio::any_io_executor executor, options opts, std::string prefix, callback on_change, std::string channel)
    : m_impl(std::make_shared<tracking_impl>(executor, std::move(opts), std::move(prefix), std::move(on_change), std::move(channel))) {}

tracking::~tracking() { m_impl->stop(); }

bool tracking::live() { return m_impl->live(); }

}  // namespace redis
