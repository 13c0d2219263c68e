// CORS, ETags with 304, gzip and the viewer's files, through the application
// (no sockets).

#include "server/http_policy.hpp"

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>

#include <brotli/decode.h>

#include <filesystem>
#include <map>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "server/application.hpp"
#include "server/viewer.hpp"
#include "support/env.hpp"
#include "support/gzip.hpp"
#include "support/run.hpp"

namespace {

namespace asio = boost::asio;
namespace fs = std::filesystem;
using common::verb;
using headers = std::vector<std::pair<std::string, std::string>>;

const std::string tile(3000, 't');  // compresses well; large enough to be worth it

// Too large to compress on the loop: compressed on the features' thread.
const std::string big = [] {
    std::string s;
    for (int i = 0; s.size() < 200 * 1024; ++i) s += "{\"plot\": " + std::to_string(i * 7919 % 100003) + "}, ";
    return s;
}();

std::optional<std::string> header(const common::response& r, std::string_view name) {
    for (const auto& [n, v] : r.headers) {
        if (boost::beast::iequals(n, name)) return v;
    }
    return std::nullopt;
}

std::string body_of(const common::response& r) { return r.shared_body ? *r.shared_body : r.body; }

// What the brotli bytes decompress to; empty when they are not brotli.
std::string unbrotli(const std::string& bytes) {
    std::string out(1 << 20, '\0');
    std::size_t size = out.size();
    if (BrotliDecoderDecompress(bytes.size(), reinterpret_cast<const std::uint8_t*>(bytes.data()), &size,
                                reinterpret_cast<std::uint8_t*>(out.data())) != BROTLI_DECODER_RESULT_SUCCESS) {
        return {};
    }
    out.resize(size);
    return out;
}

class features : public testing::Test {
protected:
    void serve(server::http_policy policy) {
        app = std::make_unique<server::application>();
        app->set_http_policy(std::move(policy));
        app->add_route({.path = "/tile",
                        .name = "tile",
                        .handler = [](common::request_context&) -> asio::awaitable<common::response> {
                            co_return common::response::raw(std::make_shared<const std::string>(tile), "application/vnd.mapbox-vector-tile",
                                                            {{"X-Cache", "HIT"}});
                        }});
        app->add_route({.path = "/big",
                        .name = "big",
                        .handler = [](common::request_context&) -> asio::awaitable<common::response> {
                            co_return common::response::raw(big, "application/json");
                        }});
        app->add_route({.path = "/large",
                        .name = "large",
                        .handler = [](common::request_context&) -> asio::awaitable<common::response> {
                            co_return common::response::raw(std::string(1024 * 1024 + 1, 'j'), "application/json");
                        }});
        app->add_route({.method = verb::post,
                        .path = "/plans",
                        .name = "plans",
                        .handler = [](common::request_context&) -> asio::awaitable<common::response> {
                            co_return common::json_response({{"ok", true}});
                        }});
    }
    common::response call(verb method, std::string target, headers h = {}) {
        common::request req;
        req.method = method;
        req.target = std::move(target);
        req.headers = std::move(h);
        return test_support::run(ioc, app->handle(req));
    }

    asio::io_context ioc;
    std::unique_ptr<server::application> app;
};

struct cors_case {
    const char* name;
    std::vector<std::string> origins;  // empty: any
    verb method;
    const char* target;
    headers sent;
    unsigned status;
    std::optional<std::string> allow_origin;
    std::optional<std::string> allow_methods;
    bool varies_by_origin;
};

void PrintTo(const cors_case& c, std::ostream* os) { *os << c.name; }

class cors : public features, public testing::WithParamInterface<cors_case> {};

TEST_P(cors, answers_carry_what_the_origin_may_do) {
    const auto& c = GetParam();
    serve({.cors = true, .cors_origins = c.origins});
    auto r = call(c.method, c.target, c.sent);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(header(r, "Access-Control-Allow-Origin"), c.allow_origin);
    EXPECT_EQ(header(r, "Access-Control-Allow-Methods"), c.allow_methods);
    EXPECT_EQ(header(r, "Vary").value_or("").find("Origin") != std::string::npos, c.varies_by_origin);
    if (c.allow_methods) {
        EXPECT_EQ(header(r, "Access-Control-Max-Age"), "86400");
    }
}

const std::vector<std::string> listed{"https://land.example.org", "https://office.example.org"};

INSTANTIATE_TEST_SUITE_P(
    policies, cors,
    testing::Values(
        cors_case{"any_origin_reads", {}, verb::get, "/tile", {{"Origin", "https://elsewhere.org"}}, 200, "*", std::nullopt, false},
        cors_case{"any_origin_reads_errors_too", {}, verb::get, "/nothing", {{"Origin", "https://elsewhere.org"}}, 404, "*", std::nullopt, false},
        cors_case{"listed_origin_is_named", listed, verb::get, "/tile", {{"Origin", "https://office.example.org"}}, 200,
                  "https://office.example.org", std::nullopt, true},
        cors_case{"unlisted_origin_gets_nothing", listed, verb::get, "/tile", {{"Origin", "https://evil.example"}}, 200, std::nullopt,
                  std::nullopt, false},
        cors_case{"post_never_through_any", {}, verb::post, "/plans", {{"Origin", "https://elsewhere.org"}}, 200, std::nullopt,
                  std::nullopt, false},
        cors_case{"post_from_a_listed_origin", listed, verb::post, "/plans", {{"Origin", "https://land.example.org"}}, 200,
                  "https://land.example.org", std::nullopt, true},
        cors_case{"preflight_of_a_read", {}, verb::options, "/tile",
                  {{"Origin", "https://elsewhere.org"}, {"Access-Control-Request-Method", "GET"}}, 204, "*", "GET, HEAD, OPTIONS", false},
        cors_case{"preflight_of_a_post_from_any_leaves_post_out", {}, verb::options, "/plans",
                  {{"Origin", "https://elsewhere.org"}, {"Access-Control-Request-Method", "POST"}}, 204, "*", "OPTIONS", false},
        cors_case{"preflight_of_a_post_from_a_listed_origin", listed, verb::options, "/plans",
                  {{"Origin", "https://land.example.org"}, {"Access-Control-Request-Method", "POST"}}, 204, "https://land.example.org",
                  "POST, OPTIONS", true},
        cors_case{"preflight_from_an_unlisted_origin_is_refused", listed, verb::options, "/tile",
                  {{"Origin", "https://evil.example"}}, 405, std::nullopt, std::nullopt, false}),
    [](const testing::TestParamInfo<cors_case>& info) { return std::string(info.param.name); });

TEST_F(features, cors_off_adds_nothing_and_options_stays_405) {
    serve({.cors = false});
    auto r = call(verb::get, "/tile", {{"Origin", "https://elsewhere.org"}});
    EXPECT_EQ(header(r, "Access-Control-Allow-Origin"), std::nullopt);
    EXPECT_EQ(call(verb::options, "/tile", {{"Origin", "https://elsewhere.org"}}).status, 405u);
}

TEST_F(features, the_coding_asked_for_and_it_decompresses_to_the_identity_bytes) {
    serve({.conditional = true, .compression = true});
    struct row {
        const char* accept_encoding;  // nullptr: no header
        const char* coding;           // nullptr: identity
    };
    const row table[] = {
        {nullptr, nullptr},         {"gzip", "gzip"},          {"deflate, gzip;q=0.5", "gzip"},   {"gzip;q=0", nullptr},
        {"identity", nullptr},      {"*", "br"},               {"gzip;q=0, *", "br"},             {"br;q=1, *;q=0.1", "br"},
        {"GZip", "gzip"},           {"*;q=0", nullptr},        {"br", "br"},                      {"gzip, deflate, br, zstd", "br"},
        {"gzip;q=1, br;q=0.5", "gzip"}, {"br;q=0, *", "gzip"}, {"identity;q=0, gzip;q=0.2", "gzip"}, {"BR;q=0.001", "br"},
    };
    std::map<std::string, std::string> tags;  // by coding
    for (const auto& r : table) {
        headers h;
        if (r.accept_encoding) h.emplace_back("Accept-Encoding", r.accept_encoding);
        auto a = call(verb::get, "/tile", h);
        const std::string label = r.accept_encoding ? r.accept_encoding : "(none)";
        ASSERT_EQ(a.status, 200u) << label;
        EXPECT_EQ(header(a, "Content-Encoding"), r.coding ? std::optional<std::string>(r.coding) : std::nullopt) << label;
        const std::string coding = r.coding ? r.coding : "identity";
        const std::string body = body_of(a);
        EXPECT_EQ(coding == "gzip" ? test_support::gunzip(body) : coding == "br" ? unbrotli(body) : body, tile) << label;
        EXPECT_EQ(header(a, "Vary"), "Accept-Encoding") << label;
        EXPECT_EQ(header(a, "X-Cache"), "HIT") << "the handler's headers stay";
        auto tag = header(a, "ETag");
        ASSERT_TRUE(tag) << label;
        auto [seen, added] = tags.emplace(coding, *tag);
        EXPECT_EQ(seen->second, *tag) << "one representation, one tag: " << label;
    }
    ASSERT_EQ(tags.size(), 3u);
    EXPECT_NE(tags["identity"], tags["gzip"]);
    EXPECT_NE(tags["identity"], tags["br"]);
    EXPECT_NE(tags["gzip"], tags["br"]);
}

TEST_F(features, a_large_body_is_compressed_off_the_loop_in_each_coding_and_kept) {
    serve({.conditional = true, .compression = true});
    for (const char* coding : {"br", "gzip", "br", "gzip"}) {
        auto a = call(verb::get, "/big", {{"Accept-Encoding", coding}});
        ASSERT_EQ(header(a, "Content-Encoding"), coding);
        EXPECT_EQ(std::string(coding) == "br" ? unbrotli(body_of(a)) : test_support::gunzip(body_of(a)), big) << coding;
        EXPECT_LT(body_of(a).size(), big.size() / 2) << coding;
    }
    EXPECT_EQ(body_of(call(verb::get, "/big")), big);
}

TEST_F(features, a_body_over_a_mebibyte_is_sent_as_it_is) {
    serve({.conditional = true, .compression = true});
    auto a = call(verb::get, "/large", {{"Accept-Encoding", "gzip"}});
    EXPECT_EQ(header(a, "Content-Encoding"), std::nullopt);
    EXPECT_EQ(body_of(a).size(), 1024u * 1024u + 1);
}

TEST_F(features, if_none_match_answers_304_for_the_representation_it_names) {
    serve({.conditional = true, .compression = true});
    const auto identity = *header(call(verb::get, "/tile"), "ETag");
    const auto gzipped = *header(call(verb::get, "/tile", {{"Accept-Encoding", "gzip"}}), "ETag");
    const auto brotli_tag = *header(call(verb::get, "/tile", {{"Accept-Encoding", "br"}}), "ETag");
    struct row {
        const char* name;
        headers sent;
        unsigned status;
    };
    const std::vector<row> table{
        {"identity tag", {{"If-None-Match", identity}}, 304},
        {"weak form of the tag", {{"If-None-Match", "W/" + identity}}, 304},
        {"tag among others", {{"If-None-Match", "\"x\", " + identity}}, 304},
        {"any", {{"If-None-Match", "*"}}, 304},
        {"gzip tag for gzip", {{"If-None-Match", gzipped}, {"Accept-Encoding", "gzip"}}, 304},
        {"identity tag for gzip", {{"If-None-Match", identity}, {"Accept-Encoding", "gzip"}}, 200},
        {"br tag for br", {{"If-None-Match", brotli_tag}, {"Accept-Encoding", "br"}}, 304},
        {"gzip tag for br", {{"If-None-Match", gzipped}, {"Accept-Encoding", "gzip, br"}}, 200},
        {"stale tag", {{"If-None-Match", "\"0000000000000000\""}}, 200},
    };
    for (const auto& r : table) {
        auto a = call(verb::get, "/tile", r.sent);
        EXPECT_EQ(a.status, r.status) << r.name;
        if (r.status == 304) {
            EXPECT_TRUE(body_of(a).empty()) << r.name;
            EXPECT_EQ(header(a, "Content-Encoding"), std::nullopt) << r.name;
            EXPECT_TRUE(header(a, "ETag")) << r.name;
        }
    }
    auto head = call(verb::head, "/tile");
    EXPECT_EQ(header(head, "ETag"), identity) << "HEAD gives GET's headers";
    EXPECT_EQ(header(call(verb::get, "/nothing"), "ETag"), std::nullopt) << "no tag on an error";
}

// A web folder with a file, a folder, and links that lead out of it.
class viewer_files : public testing::Test {
protected:
    viewer_files() : base(fs::temp_directory_path() / ("gisd_viewer_" + test_support::unique_suffix())) {
        fs::create_directories(base / "web" / "sub");
        fs::create_directories(base / "outside");
        std::ofstream(base / "web" / "index.html") << "<p>map</p>";
        std::ofstream(base / "web" / "app.js") << "start()";
        std::ofstream(base / "web" / "sub" / "b.css") << "p{}";
        std::ofstream(base / "outside" / "secret.txt") << "secret";
        fs::create_symlink(base / "outside" / "secret.txt", base / "web" / "link.js");
        fs::create_symlink(base / "outside", base / "web" / "out");
    }
    ~viewer_files() override { fs::remove_all(base); }
    fs::path base;
};

TEST_F(viewer_files, only_regular_files_inside_the_folder_are_found) {
    struct row {
        std::vector<std::string> parts;
        bool found;
    };
    const row table[] = {{{"index.html"}, true},        {{"sub", "b.css"}, true},      {{"sub"}, false},
                         {{"..", "outside", "secret.txt"}, false}, {{"link.js"}, false}, {{"out", "secret.txt"}, false},
                         {{"sub/b.css"}, false},        {{"."}, false},                {{""}, false},
                         {{std::string("app.js\0x", 8)}, false}, {{"missing.js"}, false}};
    for (const auto& r : table) {
        EXPECT_EQ(server::file_within(base / "web", r.parts).has_value(), r.found) << r.parts.front();
    }
}

TEST_F(viewer_files, the_page_and_its_files_are_served_with_their_types_and_nothing_outside) {
    server::application app;
    app.set_http_policy({.conditional = true});
    app.include_router(server::viewer_router({.web_dir = base / "web", .basemap_url = "https://t.example/{z}/{x}/{y}.png"}));
    asio::io_context ioc;
    auto get = [&](std::string target) {
        common::request req;
        req.target = std::move(target);
        return test_support::run(ioc, app.handle(req));
    };
    struct row {
        const char* target;
        unsigned status;
        const char* media_type;
    };
    const row table[] = {{"/", 200, "text/html; charset=utf-8"},
                         {"/viewer/app.js", 200, "text/javascript; charset=utf-8"},
                         {"/viewer/config.json", 200, "application/json"},
                         {"/viewer/..%2Foutside%2Fsecret.txt", 404, "application/json"},
                         {"/viewer/%2e%2e", 404, "application/json"},
                         {"/viewer/link.js", 404, "application/json"},
                         {"/viewer/sub%2Fb.css", 404, "application/json"},
                         {"/viewer/../outside/secret.txt", 404, "application/json"}};
    for (const auto& r : table) {
        auto a = get(r.target);
        EXPECT_EQ(a.status, r.status) << r.target;
        EXPECT_EQ(a.media_type, r.media_type) << r.target;
        EXPECT_EQ(body_of(a).find("secret"), std::string::npos) << r.target;
        if (r.status == 200) {
            EXPECT_TRUE(header(a, "ETag")) << r.target;
        }
    }
    EXPECT_EQ(get("/").body, "<p>map</p>");
    EXPECT_EQ(get("/viewer/config.json").body, R"({"basemap_url":"https://t.example/{z}/{x}/{y}.png"})");

    server::application closed;
    closed.include_router(server::viewer_router({.web_dir = base / "web", .page = false}));
    common::request req;
    req.target = "/";
    EXPECT_EQ(test_support::run(ioc, closed.handle(req)).status, 404u) << "--no-viewer";
}

}  // namespace
