// The HTTP server over real loopback sockets, constructed in-process on a
// thread with its own loop, serving small test routes.

#include "server/http_server.hpp"

#include "common/errors.hpp"

#include <sys/socket.h>
#include <sys/time.h>

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>

#include <atomic>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "support/http_client.hpp"
#include "support/log_capture.hpp"
#include "support/run.hpp"

namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using common::verb;
using test_support::http_client;
using test_support::seconds_since;

const std::string tile_bytes = std::string("\x1a\x00\xff\xfe\x00\n", 6) + "mvt";

// Far more than a socket takes at once: the answer goes out over many sends.
const std::string big_bytes = [] {
    std::string b(8 << 20, '\0');
    for (std::size_t i = 0; i < b.size(); ++i) b[i] = static_cast<char>((i * 7919) >> 8);
    return b;
}();

common::response text(std::string body) { return common::response::raw(std::move(body), "text/plain"); }

asio::awaitable<void> sleep_for(std::chrono::milliseconds d) {
    asio::steady_timer t(co_await asio::this_coro::executor, d);
    co_await t.async_wait(asio::use_awaitable);
}

class in_process_server {
public:
    explicit in_process_server(server::server_options options = {}) {
        m_app.add_route({.method = verb::get, .path = "/hello", .name = "hello",
                         .handler = [](common::request_context&) -> asio::awaitable<common::response> { co_return text("hello"); }});
        m_app.add_route({.method = verb::post, .path = "/echo", .name = "echo",
                         .handler = [](common::request_context& ctx) -> asio::awaitable<common::response> {
                             co_return text(std::to_string(ctx.req().body.size()));
                         }});
        m_app.add_route({.method = verb::post, .path = "/full", .name = "full",
                         .handler = [](common::request_context&) -> asio::awaitable<common::response> { co_return text("taken"); },
                         .admit = []() -> std::shared_ptr<void> { throw common::unavailable("Full", 5); }});
        // Takes one request at a time, from its head until its answer.
        m_app.add_route({.method = verb::post, .path = "/single", .name = "single",
                         .handler = [](common::request_context&) -> asio::awaitable<common::response> { co_return text("taken"); },
                         .admit = [this]() -> std::shared_ptr<void> {
                             if (m_single_taken.exchange(true)) throw common::unavailable("Taken", 5);
                             return {static_cast<void*>(this), [this](void*) { m_single_taken = false; }};
                         }});
        m_app.add_route({.method = verb::get, .path = "/slow", .name = "slow",
                         .handler = [](common::request_context&) -> asio::awaitable<common::response> {
                             co_await sleep_for(1500ms);
                             co_return text("slow");
                         }});
        m_app.add_route({.method = verb::get, .path = "/wait-forever", .name = "wait_forever",
                         .handler = [this](common::request_context&) -> asio::awaitable<common::response> {
                             m_waiting = true;
                             try {
                                 co_await sleep_for(30000ms);
                             } catch (const boost::system::system_error&) {
                                 m_cancelled = true;
                                 throw;
                             }
                             co_return text("late");
                         }});
        m_app.add_route({.method = verb::get, .path = "/raw", .name = "raw",
                         .handler = [](common::request_context&) -> asio::awaitable<common::response> {
                             co_return common::response::raw(tile_bytes, "application/vnd.mapbox-vector-tile",
                                                           {{"X-Cache", "HIT"}, {"Cache-Control", "public, max-age=1800"}});
                         }});
        m_app.add_route({.method = verb::get, .path = "/shared", .name = "shared",
                         .handler = [](common::request_context&) -> asio::awaitable<common::response> {
                             co_return common::response::raw(std::make_shared<const std::string>(tile_bytes), "application/vnd.mapbox-vector-tile",
                                                           {{"X-Cache", "HIT"}, {"Cache-Control", "public, max-age=1800"}});
                         }});
        m_app.add_route({.method = verb::get, .path = "/big", .name = "big",
                         .handler = [](common::request_context&) -> asio::awaitable<common::response> {
                             co_return common::response::raw(big_bytes, "application/octet-stream");
                         }});
        m_app.add_route({.method = verb::get, .path = "/big-shared", .name = "big_shared",
                         .handler = [](common::request_context&) -> asio::awaitable<common::response> {
                             co_return common::response::raw(std::make_shared<const std::string>(big_bytes), "application/octet-stream");
                         }});
        m_app.add_route({.method = verb::get, .path = "/odd-headers", .name = "odd_headers",
                         .handler = [](common::request_context&) -> asio::awaitable<common::response> {
                             co_return common::response::raw("odd", "text/plain", {{"X-Note", "one"}, {"Content-Type", "text/html"}, {"x-note", "two"}});
                         }});
        m_app.add_route({.method = verb::get, .path = "/empty", .name = "empty",
                         .handler = [](common::request_context&) -> asio::awaitable<common::response> { co_return common::response::empty(204); }});
        options.host = "127.0.0.1";
        options.port = 0;
        m_server = std::make_unique<server::http_server>(m_ioc, m_app, options);
        m_port = m_server->listen();
        m_thread = std::thread([this] {
            m_ioc.run();
            m_stopped.set_value();
        });
    }

    ~in_process_server() {
        asio::post(m_ioc, [this] { m_ioc.stop(); });
        m_thread.join();
    }

    std::uint16_t port() const { return m_port; }
    void shutdown() {
        asio::post(m_ioc, [this] { m_server->shutdown(); });
    }
    // True when the server's loop has ended within `limit`.
    bool stopped_within(std::chrono::steady_clock::duration limit) {
        return m_stopped_future.wait_for(limit) == std::future_status::ready;
    }

    std::atomic<bool> m_single_taken{false};
    std::atomic<bool> m_waiting{false};
    std::atomic<bool> m_cancelled{false};

private:
    asio::io_context m_ioc;
    server::application m_app;
    std::unique_ptr<server::http_server> m_server;
    std::uint16_t m_port = 0;
    std::promise<void> m_stopped;
    std::future<void> m_stopped_future = m_stopped.get_future();
    std::thread m_thread;
};

bool wait_until(const std::atomic<bool>& flag, std::chrono::steady_clock::duration limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!flag && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
    return flag;
}

// ------------------------------------------------------------------ framing

TEST(server, keep_alive_serves_two_requests_on_one_connection) {
    in_process_server srv;
    http_client client(srv.port());
    auto first = client.get("/hello");
    EXPECT_EQ(first.status, 200u);
    EXPECT_EQ(first.body, "hello");
    EXPECT_TRUE(first.keep_alive);
    auto second = client.request(verb::post, "/echo", "abc");
    EXPECT_EQ(second.status, 200u);
    EXPECT_EQ(second.body, "3");
}

TEST(server, connection_close_ends_the_connection_after_the_answer) {
    in_process_server srv;
    http_client client(srv.port());
    auto r = client.request(verb::get, "/hello", {}, {{"Connection", "close"}});
    EXPECT_EQ(r.status, 200u);
    EXPECT_FALSE(r.keep_alive);
    EXPECT_TRUE(client.closed_by_peer(3s));
}

// Bytes owned by the answer, and bytes shared with a cache.
class raw_answer : public testing::TestWithParam<const char*> {};

TEST_P(raw_answer, arrives_byte_for_byte_with_its_headers) {
    in_process_server srv;
    http_client client(srv.port());
    for (int i = 0; i < 2; ++i) {
        auto r = client.get(GetParam());
        EXPECT_EQ(r.status, 200u);
        EXPECT_EQ(r.body, tile_bytes);
        EXPECT_EQ(r.header("Content-Type"), "application/vnd.mapbox-vector-tile");
        EXPECT_EQ(r.header("Content-Length"), std::to_string(tile_bytes.size()));
        EXPECT_EQ(r.header("X-Cache"), "HIT");
        EXPECT_EQ(r.header("Cache-Control"), "public, max-age=1800");
    }
}

TEST_P(raw_answer, to_head_has_the_length_but_no_body) {
    in_process_server srv;
    http_client client(srv.port());
    auto r = client.request(verb::head, GetParam());
    EXPECT_EQ(r.status, 200u);
    EXPECT_EQ(r.header("Content-Length"), std::to_string(tile_bytes.size()));
    EXPECT_TRUE(r.body.empty());
    EXPECT_EQ(client.get("/hello").body, "hello");
}

INSTANTIATE_TEST_SUITE_P(bodies, raw_answer, testing::Values("/raw", "/shared"),
                         [](const testing::TestParamInfo<const char*>& info) { return std::string(info.param + 1); });

// A client that reads only after a pause: the server's sends stop at a full
// socket and resume; every byte must arrive once, in order.
class big_answer : public testing::TestWithParam<const char*> {};

TEST_P(big_answer, arrives_whole_to_a_client_that_reads_late) {
    in_process_server srv;
    http_client client(srv.port());
    for (int i = 0; i < 2; ++i) {
        client.send_raw(std::string("GET ") + GetParam() + " HTTP/1.1\r\nHost: x\r\n\r\n");
        std::this_thread::sleep_for(200ms);
        auto r = client.read_reply();
        EXPECT_EQ(r.status, 200u);
        EXPECT_EQ(r.header("Content-Length"), std::to_string(big_bytes.size()));
        EXPECT_TRUE(r.body == big_bytes) << "body of " << r.body.size() << " bytes differs";
    }
    EXPECT_EQ(client.get("/hello").body, "hello");
}

INSTANTIATE_TEST_SUITE_P(bodies, big_answer, testing::Values("/big", "/big-shared"),
                         [](const testing::TestParamInfo<const char*>& info) { return std::string(info.param + 1) == "big" ? "owned" : "shared"; });

struct wire_case {
    const char* name;
    const char* request;
    std::string head;  // the whole head, byte for byte
    std::string body;
};

class wire_answer : public testing::TestWithParam<wire_case> {};

const std::string tile_fields = "Server: gisd\r\nX-Cache: HIT\r\nCache-Control: public, max-age=1800\r\n"
                                "Content-Type: application/vnd.mapbox-vector-tile\r\nContent-Length: 9\r\n";

// The bytes on the wire: the head as it must be, then exactly the body. Read
// until as many bytes as expected have come, the server closes, or 3 s pass.
TEST_P(wire_answer, is_the_exact_head_then_exactly_the_body) {
    const auto& c = GetParam();
    in_process_server srv;
    asio::io_context io;
    asio::ip::tcp::socket socket(io);
    socket.connect({asio::ip::make_address("127.0.0.1"), srv.port()});
    timeval limit{3, 0};
    ::setsockopt(socket.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    asio::write(socket, asio::buffer(std::string(c.request)));
    const std::string expected = c.head + c.body;
    std::string wire;
    for (char chunk[4096]; wire.size() < expected.size();) {
        auto n = ::recv(socket.native_handle(), chunk, sizeof chunk, 0);
        if (n <= 0) break;
        wire.append(chunk, static_cast<std::size_t>(n));
    }
    EXPECT_EQ(wire, expected);
}

INSTANTIATE_TEST_SUITE_P(
    versions, wire_answer,
    testing::Values(
        wire_case{"http_1_1_close", "GET /shared HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n",
                  "HTTP/1.1 200 OK\r\n" + tile_fields + "Connection: close\r\n\r\n", tile_bytes},
        wire_case{"http_1_1_keep_alive", "GET /raw HTTP/1.1\r\nHost: x\r\n\r\n", "HTTP/1.1 200 OK\r\n" + tile_fields + "\r\n", tile_bytes},
        wire_case{"http_1_0", "GET /raw HTTP/1.0\r\n\r\n", "HTTP/1.0 200 OK\r\n" + tile_fields + "\r\n", tile_bytes},
        wire_case{"http_1_0_keep_alive", "GET /shared HTTP/1.0\r\nConnection: keep-alive\r\n\r\n",
                  "HTTP/1.0 200 OK\r\n" + tile_fields + "Connection: keep-alive\r\n\r\n", tile_bytes},
        wire_case{"head_1_1", "HEAD /shared HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n",
                  "HTTP/1.1 200 OK\r\n" + tile_fields + "Connection: close\r\n\r\n", ""},
        wire_case{"no_content", "GET /empty HTTP/1.1\r\nHost: x\r\n\r\n", "HTTP/1.1 204 No Content\r\nServer: gisd\r\n\r\n", ""},
        // A repeated name keeps its last value; the media type wins over a handler's Content-Type.
        wire_case{"repeated_and_owned_headers", "GET /odd-headers HTTP/1.1\r\nHost: x\r\n\r\n",
                  "HTTP/1.1 200 OK\r\nServer: gisd\r\nx-note: two\r\nContent-Type: text/plain\r\nContent-Length: 3\r\n\r\n", "odd"},
        wire_case{"not_found", "GET /nowhere HTTP/1.1\r\nHost: x\r\n\r\n",
                  "HTTP/1.1 404 Not Found\r\nServer: gisd\r\nContent-Type: application/json\r\nContent-Length: 22\r\n\r\n",
                  R"({"detail":"Not Found"})"}),
    [](const testing::TestParamInfo<wire_case>& info) { return std::string(info.param.name); });

TEST(server, no_content_answer_has_no_body_and_the_connection_stays_usable) {
    in_process_server srv;
    http_client client(srv.port());
    auto r = client.get("/empty");
    EXPECT_EQ(r.status, 204u);
    EXPECT_TRUE(r.body.empty());
    EXPECT_FALSE(r.header("Content-Type").has_value());
    // Framing intact: the next answer on the connection is read correctly.
    EXPECT_EQ(client.get("/hello").body, "hello");
}

TEST(server, malformed_request_line_gets_400) {
    in_process_server srv;
    http_client client(srv.port());
    client.send_raw("NOT A REQUEST\r\n\r\n");
    auto r = client.read_reply();
    EXPECT_EQ(r.status, 400u);
    EXPECT_TRUE(client.closed_by_peer(3s));
}

// ------------------------------------------------------------------ limits

struct head_size_case {
    std::size_t fields;       // filler fields
    std::size_t value_bytes;  // in each
    unsigned status;
};

void PrintTo(const head_size_case& c, std::ostream* os) { *os << c.fields << " fields of " << c.value_bytes << " bytes"; }

class head_size : public testing::TestWithParam<head_size_case> {};

TEST_P(head_size, is_limited_to_8_kib_however_it_is_split_into_fields) {
    in_process_server srv;
    http_client client(srv.port());
    std::string head = "GET /hello HTTP/1.1\r\nHost: a\r\n";
    for (std::size_t i = 0; i < GetParam().fields; ++i) head += "x: " + std::string(GetParam().value_bytes, 'y') + "\r\n";
    client.send_raw(head + "\r\n");
    auto r = client.read_reply();
    EXPECT_EQ(r.status, GetParam().status);
}

INSTANTIATE_TEST_SUITE_P(sizes, head_size,
                         testing::Values(head_size_case{1, 7000, 200}, head_size_case{1, 9000, 431}, head_size_case{700, 4, 200},
                                         head_size_case{2000, 4, 431}, head_size_case{1500, 1, 431}));

TEST(server, access_log_has_one_line_per_request) {
    server::server_options options;
    options.access_log = true;
    in_process_server srv(options);
    test_support::log_capture log;
    http_client client(srv.port());
    EXPECT_EQ(client.get("/hello").status, 200u);
    EXPECT_EQ(client.get("/nothing?x=1").status, 404u);
    // The line follows the written answer, which the client may read first.
    auto lines = log.lines_starting("info [access]");
    for (auto until = std::chrono::steady_clock::now() + 2s; lines.size() < 2 && std::chrono::steady_clock::now() < until;) {
        std::this_thread::sleep_for(5ms);
        lines = log.lines_starting("info [access]");
    }
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(lines[0].starts_with(R"(info [access] 127.0.0.1 "GET /hello" 200 5 )")) << lines[0];
    EXPECT_TRUE(lines[0].ends_with("ms -")) << lines[0];
    EXPECT_TRUE(lines[1].starts_with(R"(info [access] 127.0.0.1 "GET /nothing?x=1" 404 22 )")) << lines[1];
}

// The client that asks waits for "100 Continue" before it sends the body; a
// request the route cannot take or a body too large is answered before it.
TEST(server, expect_100_continue_is_answered_before_the_body) {
    in_process_server srv;
    {
        http_client client(srv.port());
        client.send_raw("POST /echo HTTP/1.1\r\nHost: a\r\nExpect: 100-continue\r\nContent-Length: 3\r\n\r\n");
        EXPECT_EQ(client.read_reply().status, 100u);
        client.send_raw("abc");
        auto r = client.read_reply();
        EXPECT_EQ(r.status, 200u);
        EXPECT_EQ(r.body, "3");
    }
    struct row {
        const char* head;
        unsigned status;
    };
    const row refused[] = {
        {"POST /echo HTTP/1.1\r\nHost: a\r\nExpect: 100-continue\r\nContent-Length: 2000000\r\n\r\n", 413},
        {"POST /full HTTP/1.1\r\nHost: a\r\nExpect: 100-continue\r\nContent-Length: 1000\r\n\r\n", 503},
        {"POST /full HTTP/1.1\r\nHost: a\r\nContent-Length: 1000\r\n\r\n", 503},
    };
    for (const auto& r : refused) {
        http_client client(srv.port());
        client.send_raw(r.head);
        auto reply = client.read_reply();
        EXPECT_EQ(reply.status, r.status) << r.head;
        if (r.status == 503) {
            EXPECT_EQ(reply.header("Retry-After"), "5");
        }
        EXPECT_TRUE(client.closed_by_peer(3s)) << r.head;
    }
}

// The place a request was given before its body came is kept until it is answered.
TEST(server, an_admitted_request_holds_its_place_while_its_body_comes) {
    in_process_server srv;
    const std::string head = "POST /single HTTP/1.1\r\nHost: a\r\nExpect: 100-continue\r\nContent-Length: 3\r\n\r\n";
    http_client first(srv.port());
    first.send_raw(head);
    EXPECT_EQ(first.read_reply().status, 100u);
    {
        http_client second(srv.port());
        second.send_raw(head);
        EXPECT_EQ(second.read_reply().status, 503u);
    }
    first.send_raw("abc");
    EXPECT_EQ(first.read_reply().status, 200u);
    http_client third(srv.port());
    third.send_raw(head);
    EXPECT_EQ(third.read_reply().status, 100u);
}

// A coding that does not end in "chunked" leaves the body's length unknown:
// a proxy in front may frame the request differently, so it is refused.
TEST(server, transfer_encoding_must_end_in_chunked) {
    struct row {
        const char* coding;
        unsigned status;
    };
    const row table[] = {{"chunked", 200}, {"Chunked", 200}, {"xchunked", 400}, {"gzip", 400}, {"chunked, identity", 400}};
    for (const auto& r : table) {
        in_process_server srv;
        http_client client(srv.port());
        client.send_raw(std::string("POST /echo HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: ") + r.coding + "\r\n\r\n3\r\nabc\r\n0\r\n\r\n");
        auto reply = client.read_reply();
        EXPECT_EQ(reply.status, r.status) << r.coding;
        if (r.status == 400) {
            EXPECT_TRUE(client.closed_by_peer(3s)) << r.coding;
        }
    }
}

TEST(server, body_of_exactly_1_mib_is_accepted) {
    in_process_server srv;
    http_client client(srv.port());
    auto r = client.request(verb::post, "/echo", std::string(1024 * 1024, 'b'));
    EXPECT_EQ(r.status, 200u);
    EXPECT_EQ(r.body, "1048576");
}

TEST(server, declared_body_over_1_mib_gets_413_before_it_is_sent) {
    in_process_server srv;
    http_client client(srv.port());
    client.send_raw("POST /echo HTTP/1.1\r\nHost: a\r\nContent-Length: 1048577\r\n\r\n");
    auto r = client.read_reply();
    EXPECT_EQ(r.status, 413u);
    EXPECT_TRUE(client.closed_by_peer(3s));
}

TEST(server, chunked_body_over_1_mib_gets_413) {
    in_process_server srv;
    http_client client(srv.port());
    // One chunk announced as 1 MiB + 1 bytes (hexadecimal size).
    client.send_raw("POST /echo HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\n100001\r\n");
    auto r = client.read_reply();
    EXPECT_EQ(r.status, 413u);
}

// ------------------------------------------------------------------ time-outs and slow clients

TEST(server, slow_client_does_not_block_other_clients) {
    in_process_server srv;
    const std::string head = "GET /hello HTTP/1.1\r\nHost: a\r\n\r\n";
    std::atomic<std::size_t> sent{0};
    std::atomic<bool> slow_done{false};
    test_support::http_reply slow_reply;
    std::thread slow([&] {
        http_client client(srv.port());
        for (char c : head) {
            client.send_raw(std::string_view(&c, 1));
            ++sent;
            std::this_thread::sleep_for(50ms);
        }
        slow_reply = client.read_reply();
        slow_done = true;
    });
    while (sent < 3) std::this_thread::sleep_for(5ms);

    for (int i = 0; i < 5; ++i) {
        auto start = std::chrono::steady_clock::now();
        auto r = test_support::http_request(srv.port(), verb::get, "/hello");
        EXPECT_EQ(r.status, 200u);
        EXPECT_LT(seconds_since(start), 1.0) << "request " << i;
    }
    // All of them were answered while the slow head was still arriving.
    EXPECT_FALSE(slow_done);
    EXPECT_LT(sent.load(), head.size());
    slow.join();
    EXPECT_EQ(slow_reply.status, 200u);
    EXPECT_EQ(slow_reply.body, "hello");
}

struct silence_case {
    const char* name;
    const char* sent_first;  // what the client sends before falling silent
    bool after_one_request;  // an idle keep-alive connection instead of a new one
};

// Names the case in test listings.
void PrintTo(const silence_case& c, std::ostream* os) { *os << c.name; }

class silent_connection : public testing::TestWithParam<silence_case> {};

TEST_P(silent_connection, is_closed_after_its_time_out) {
    server::server_options opts;
    opts.head_timeout = 300ms;
    opts.idle_timeout = 300ms;
    in_process_server srv(opts);
    http_client client(srv.port());
    if (GetParam().after_one_request) {
        ASSERT_EQ(client.get("/hello").status, 200u);
    }
    client.send_raw(GetParam().sent_first);
    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(client.closed_by_peer(3s));
    EXPECT_GE(seconds_since(start), 0.25);
}

INSTANTIATE_TEST_SUITE_P(cases, silent_connection,
                         testing::Values(silence_case{"nothing_sent", "", false}, silence_case{"half_a_head", "GET /hello HTTP/1.1\r\nHo", false},
                                         silence_case{"idle_keep_alive", "", true}),
                         [](const testing::TestParamInfo<silence_case>& info) { return std::string(info.param.name); });

TEST(server, head_arriving_within_its_time_out_is_served) {
    server::server_options opts;
    opts.head_timeout = 2000ms;
    in_process_server srv(opts);
    http_client client(srv.port());
    client.send_raw("GET /hello HTTP/1.1\r\n");
    std::this_thread::sleep_for(300ms);
    client.send_raw("Host: a\r\n\r\n");
    EXPECT_EQ(client.read_reply().body, "hello");
}

TEST(server, client_that_goes_away_cancels_its_handler) {
    in_process_server srv;
    {
        http_client client(srv.port());
        client.send_raw("GET /wait-forever HTTP/1.1\r\nHost: a\r\n\r\n");
        ASSERT_TRUE(wait_until(srv.m_waiting, 3s));
        client.close();
    }
    EXPECT_TRUE(wait_until(srv.m_cancelled, 3s));
    // The server goes on serving.
    EXPECT_EQ(test_support::http_request(srv.port(), verb::get, "/hello").body, "hello");
}

// ------------------------------------------------------------------ shutdown

TEST(server, shutdown_lets_the_request_in_flight_finish_and_closes_idle_connections) {
    in_process_server srv;
    http_client idle(srv.port());
    ASSERT_EQ(idle.get("/hello").status, 200u);

    std::promise<test_support::http_reply> slow_reply;
    auto slow_future = slow_reply.get_future();
    std::thread slow([&] {
        try {
            slow_reply.set_value(test_support::http_request(srv.port(), verb::get, "/slow"));
        } catch (...) {
            slow_reply.set_exception(std::current_exception());
        }
    });
    std::this_thread::sleep_for(300ms);  // the slow request is now in its handler
    srv.shutdown();

    EXPECT_TRUE(idle.closed_by_peer(3s));
    EXPECT_EQ(slow_future.wait_for(0s), std::future_status::timeout) << "the idle connection should close at once, not after the request in flight";
    auto r = slow_future.get();
    slow.join();
    EXPECT_EQ(r.status, 200u);
    EXPECT_EQ(r.body, "slow");
    EXPECT_FALSE(r.keep_alive);
    EXPECT_TRUE(srv.stopped_within(3s));
    EXPECT_THROW(http_client late(srv.port()), boost::system::system_error);
}

}  // namespace
