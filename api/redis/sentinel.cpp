#include "redis/sentinel.hpp"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <charconv>
#include <stdexcept>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/connect.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "redis/connection.hpp"
#include "logger/logger.hpp"
#include "metrics/metrics.hpp"
#include "redis/detail/wire.hpp"

namespace redis {

using tcp = asio::ip::tcp;

std::vector<address> parse_addresses(std::string_view list) {
    std::vector<address> out;
    while (!list.empty()) {
        auto comma = list.find(',');
        auto item = list.substr(0, comma);
        list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
        while (!item.empty() && item.front() == ' ') item.remove_prefix(1);
        while (!item.empty() && item.back() == ' ') item.remove_suffix(1);
        if (item.empty()) continue;
        auto colon = item.rfind(':');
        int port = 0;
        if (colon == std::string_view::npos || colon == 0) throw std::invalid_argument("not host:port: " + std::string(item));
        auto digits = item.substr(colon + 1);
        auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), port);
        if (ec != std::errc() || end != digits.data() + digits.size() || port < 1 || port > 65535) {
            throw std::invalid_argument("not host:port: " + std::string(item));
        }
        auto host = item.substr(0, colon);
        if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
        out.push_back({std::string(host), port});
    }
    return out;
}

namespace {

// The watch only reads: a sentinel that vanishes without closing (a machine
// gone, a dropped route) would leave it waiting for ever. Keep-alive probes
// find such a peer within about ten seconds.
void keep_alive(asio::ip::tcp::socket& socket) {
    boost::system::error_code ignored;
    socket.set_option(asio::socket_base::keep_alive(true), ignored);
    const int fd = socket.native_handle();
    const int idle = 5, interval = 2, count = 3;
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
}

}  // namespace

namespace {

// An exchange with one sentinel: a socket that the deadline closes, which
// ends whatever waits on it.
struct sentinel_link {
    sentinel_link(asio::any_io_executor ex, std::chrono::milliseconds limit)
        : socket(std::make_shared<tcp::socket>(ex)), resolver(std::make_shared<tcp::resolver>(ex)), deadline(ex, limit),
          reader(redisReaderCreate()) {
        deadline.async_wait([socket = socket, resolver = resolver](boost::system::error_code ec) {
            if (ec) return;
            resolver->cancel();
            boost::system::error_code ignored;
            socket->close(ignored);
        });
    }
    ~sentinel_link() { deadline.cancel(); }

    asio::awaitable<void> open(const address& at, const std::string& password) {
        auto endpoints = co_await resolver->async_resolve(at.host, std::to_string(at.port), asio::use_awaitable);
        co_await asio::async_connect(*socket, endpoints, asio::use_awaitable);
        if (!password.empty()) {
            std::vector<std::string_view> auth{std::string_view("AUTH"), std::string_view(password)};
            co_await detail::roundtrip(*socket, reader.get(), auth);
        }
    }

    std::shared_ptr<tcp::socket> socket;
    std::shared_ptr<tcp::resolver> resolver;
    asio::steady_timer deadline;
    detail::reader_ptr reader;
};

std::optional<int> port_of(std::string_view text) {
    int port = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), port);
    if (ec != std::errc() || end != text.data() + text.size() || port < 1 || port > 65535) return std::nullopt;
    return port;
}

}  // namespace

class sentinel_impl : public std::enable_shared_from_this<sentinel_impl> {
public:
    sentinel_impl(asio::any_io_executor ex, sentinel_options opts) : m_ex(ex), m_opts(std::move(opts)), m_pause(ex) {}

    asio::awaitable<address> primary() {
        auto self = shared_from_this();
        if (!m_watching && !m_stopped) {
            m_watching = true;
            asio::co_spawn(m_ex, watch(self), asio::detached);
        }
        if (m_known) co_return *m_known;
        auto found = co_await ask();
        if (!found) throw error("No sentinel names a primary for " + m_opts.master);
        // A switch-master notice that came while asking is newer than the answer.
        if (!m_known) m_known = found;
        co_return *m_known;
    }

    void stop() {
        m_stopped = true;
        m_pause.cancel();
        if (m_watch) {
            boost::system::error_code ignored;
            m_watch->close(ignored);
        }
    }

    std::optional<address> known() const { return m_known; }
    void forget(const address& addr) {
        if (m_known == addr) m_known.reset();
    }
    const sentinel_options& settings() const noexcept { return m_opts; }

private:
    // Asks each sentinel in turn; the first that names the primary answers.
    asio::awaitable<std::optional<address>> ask() {
        for (const auto& at : m_opts.sentinels) {
            try {
                sentinel_link link(m_ex, m_opts.timeout);
                co_await link.open(at, m_opts.password);
                std::vector<std::string_view> argv{std::string_view("SENTINEL"), std::string_view("get-master-addr-by-name"),
                                                   std::string_view(m_opts.master)};
                auto r = co_await detail::roundtrip(*link.socket, link.reader.get(), argv);
                // Nil: this sentinel does not monitor the name (a mistake in the settings, or a sentinel still starting).
                if (r->type != REDIS_REPLY_ARRAY || r->elements != 2 || r->element[0]->type != REDIS_REPLY_STRING) continue;
                auto port = port_of(std::string_view(r->element[1]->str, r->element[1]->len));
                if (port) co_return address{std::string(r->element[0]->str, r->element[0]->len), *port};
            } catch (const std::exception& e) {
                if (m_stopped) co_return std::nullopt;
                // Unreachable, slow or refusing: the next sentinel is asked.
                logger::get_logger("redis")->warn("Sentinel {}:{} did not name the primary: {}", at.host, at.port, e.what());
                metrics::count_handled_error(metrics::component::sentinel);
            }
        }
        co_return std::nullopt;
    }

    // Listens to one sentinel's switch-master notices; when that sentinel is
    // lost, the next one is listened to after a second. Each time it starts
    // listening it asks for the primary, since a failover may have happened
    // while nobody listened.
    static asio::awaitable<void> watch(std::shared_ptr<sentinel_impl> self) {
        for (std::size_t turn = 0; !self->m_stopped; ++turn) {
            const address& at = self->m_opts.sentinels[turn % self->m_opts.sentinels.size()];
            try {
                sentinel_link link(self->m_ex, self->m_opts.timeout);
                self->m_watch = link.socket;
                co_await link.open(at, self->m_opts.password);
                keep_alive(*link.socket);
                std::vector<std::string_view> subscribe{std::string_view("SUBSCRIBE"), std::string_view("+switch-master")};
                co_await detail::roundtrip(*link.socket, link.reader.get(), subscribe);
                link.deadline.cancel();
                if (auto now = co_await self->ask()) self->m_known = now;
                for (;;) {
                    auto message = co_await detail::next_reply(*link.socket, link.reader.get());
                    self->take_notice(message.get());
                }
            } catch (const std::exception& e) {
                // Handled by listening to the next sentinel.
                if (!self->m_stopped) {
                    logger::get_logger("redis")->warn("Lost the watch on sentinel {}:{}: {}", at.host, at.port, e.what());
                    metrics::count_handled_error(metrics::component::sentinel);
                }
            }
            if (self->m_stopped) break;
            self->m_pause.expires_after(std::chrono::seconds(1));
            boost::system::error_code ignored;
            co_await self->m_pause.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
        }
    }

    // "message", "+switch-master", "<name> <old ip> <old port> <new ip> <new port>"
    void take_notice(const redisReply* message) {
        if (message->type != REDIS_REPLY_ARRAY || message->elements != 3 || !detail::is_text(message->element[0], "message")) return;
        const redisReply* payload = message->element[2];
        if (payload->type != REDIS_REPLY_STRING) return;
        std::vector<std::string_view> words;
        std::string_view rest(payload->str, payload->len);
        while (!rest.empty()) {
            auto space = rest.find(' ');
            words.push_back(rest.substr(0, space));
            rest = space == std::string_view::npos ? std::string_view() : rest.substr(space + 1);
        }
        if (words.size() != 5 || words[0] != m_opts.master) return;
        if (auto port = port_of(words[4])) m_known = address{std::string(words[3]), *port};
    }

    asio::any_io_executor m_ex;
    sentinel_options m_opts;
    asio::steady_timer m_pause;
    std::shared_ptr<tcp::socket> m_watch;
    std::optional<address> m_known;
    bool m_watching = false;
    bool m_stopped = false;
};

sentinel::sentinel(asio::any_io_executor executor, sentinel_options options) {
    if (options.sentinels.empty()) throw std::invalid_argument("no sentinel address");
    if (options.master.empty()) throw std::invalid_argument("no name of the primary for the sentinels");
    m_impl = std::make_shared<sentinel_impl>(executor, std::move(options));
}

sentinel::~sentinel() { m_impl->stop(); }

asio::awaitable<address> sentinel::primary() { return m_impl->primary(); }

std::optional<address> sentinel::known() const { return m_impl->known(); }

void sentinel::forget(const address& addr) { m_impl->forget(addr); }

const sentinel_options& sentinel::settings() const noexcept { return m_impl->settings(); }

}  // namespace redis
