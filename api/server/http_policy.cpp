#include "server/http_policy.hpp"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include <boost/beast/core/string.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <brotli/encode.h>
#include <xxhash.h>
#include <zlib.h>

namespace server {

namespace asio = boost::asio;

namespace {

using boost::beast::iequals;

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

// Calls `each` with every trimmed, non-empty item of a comma-separated list.
template <class F>
void for_each_item(std::string_view list, F&& each) {
    while (!list.empty()) {
        auto comma = list.find(',');
        auto item = trim(list.substr(0, comma));
        if (!item.empty()) each(item);
        if (comma == std::string_view::npos) break;
        list.remove_prefix(comma + 1);
    }
}

// Media types worth compressing: text and the vector tiles' protobuf.
bool compressible(std::string_view media_type) {
    for (std::string_view t : {"application/json", "application/vnd.mapbox-vector-tile", "application/vnd.maplibre-tile",
                               "application/x-protobuf", "text/",
                               "image/svg+xml", "application/javascript"}) {
        if (media_type.starts_with(t)) return true;
    }
    return false;
}

void add_vary(common::response& r, std::string_view what) {
    for (auto& [name, value] : r.headers) {
        if (iequals(name, "Vary")) {
            value.append(", ").append(what);
            return;
        }
    }
    r.headers.emplace_back("Vary", std::string(what));
}

bool has_header(const common::response& r, std::string_view name) {
    return std::any_of(r.headers.begin(), r.headers.end(), [&](const auto& h) { return iequals(h.first, name); });
}

// Small bodies gain nothing from compression but its cost. Large ones (a
// plan's JSON, mostly a base64 PNG) gain little and would hold the event loop
// for tens of milliseconds.
constexpr std::size_t min_compressed_size = 512;
constexpr std::size_t max_compressed_size = 1024 * 1024;

// Larger bodies are compressed on the features' thread by finish_async:
// about a millisecond of compression at most on the loop (bench/README.md).
constexpr std::size_t max_inline_size = 16 * 1024;

std::string_view body_of(const common::response& r) {
    return r.shared_body ? std::string_view(*r.shared_body) : std::string_view(r.body);
}

// Brotli's quality for answers compressed on the loop: as fast as gzip's
// level 6 on tiles and smaller (bench/README.md, brotli section).
constexpr int brotli_quality = 5;

}  // namespace

std::optional<std::string_view> header_value(const common::request& req, std::string_view name) {
    for (const auto& [n, v] : req.headers) {
        if (iequals(n, name)) return std::string_view(v);
    }
    return std::nullopt;
}

bool accepts_gzip(std::string_view accept_encoding) {
    std::optional<bool> gzip_listed, any_listed;
    for_each_item(accept_encoding, [&](std::string_view item) {
        auto semi = item.find(';');
        auto coding = trim(item.substr(0, semi));
        bool allowed = true;
        if (semi != std::string_view::npos) {
            auto param = trim(item.substr(semi + 1));
            if (param.size() > 2 && (param[0] == 'q' || param[0] == 'Q') && param[1] == '=') {
                // q=0, q=0.0, q=0.000 refuse; anything else accepts.
                auto q = param.substr(2);
                allowed = !(q.starts_with("0") && q.find_first_not_of("0.", 0) == std::string_view::npos);
            }
        }
        if (iequals(coding, "gzip") || iequals(coding, "x-gzip")) gzip_listed = allowed;
        if (coding == "*") any_listed = allowed;
    });
    if (gzip_listed) return *gzip_listed;
    return any_listed.value_or(false);
}

content_coding choose_coding(std::string_view accept_encoding, bool* identity_refused) {
    std::optional<double> br, gz, any, identity;
    for_each_item(accept_encoding, [&](std::string_view item) {
        auto semi = item.find(';');
        auto coding = trim(item.substr(0, semi));
        double q = 1;
        if (semi != std::string_view::npos) {
            auto param = trim(item.substr(semi + 1));
            if (param.size() > 2 && (param[0] == 'q' || param[0] == 'Q') && param[1] == '=') {
                // Malformed weights count as 1, as a listed coding without one would.
                std::string text(trim(param.substr(2)));
                char* end = nullptr;
                const double v = std::strtod(text.c_str(), &end);
                if (end != text.c_str() && v >= 0 && v <= 1) q = v;
            }
        }
        if (iequals(coding, "br")) br = q;
        else if (iequals(coding, "gzip") || iequals(coding, "x-gzip")) gz = q;
        else if (iequals(coding, "identity")) identity = q;
        else if (coding == "*") any = q;
    });
    if (identity_refused != nullptr) *identity_refused = identity ? *identity == 0 : any && *any == 0;
    const double qbr = br.value_or(any.value_or(0)), qgz = gz.value_or(any.value_or(0));
    if (qbr > 0 && qbr >= qgz) return content_coding::br;
    if (qgz > 0) return content_coding::gzip;
    return content_coding::identity;
}

std::string brotli(std::string_view bytes, int quality) {
    std::string out(BrotliEncoderMaxCompressedSize(bytes.size()), '\0');
    std::size_t size = out.size();
    if (BrotliEncoderCompress(quality, BROTLI_DEFAULT_WINDOW, BROTLI_MODE_GENERIC, bytes.size(),
                              reinterpret_cast<const std::uint8_t*>(bytes.data()), &size, reinterpret_cast<std::uint8_t*>(out.data())) !=
        BROTLI_TRUE) {
        throw std::runtime_error("brotli compression failed");
    }
    out.resize(size);
    return out;
}

bool none_match(std::string_view if_none_match, std::string_view etag) {
    auto opaque = [](std::string_view tag) { return tag.starts_with("W/") ? tag.substr(2) : tag; };
    bool matched = false;
    for_each_item(if_none_match, [&](std::string_view item) {
        if (item == "*" || opaque(item) == opaque(etag)) matched = true;
    });
    return matched;
}

std::string gzip(std::string_view bytes) {
    z_stream z{};
    // 15 window bits plus 16: a gzip header and trailer instead of zlib's.
    if (deflateInit2(&z, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) throw std::runtime_error("deflateInit2 failed");
    std::string out(deflateBound(&z, static_cast<uLong>(bytes.size())), '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
    z.avail_in = static_cast<uInt>(bytes.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    int rc = deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    if (rc != Z_STREAM_END) throw std::runtime_error("deflate did not finish");
    return out;
}

std::optional<std::string> http_features::allowed_origin(const common::request& req) const {
    if (!m_policy.cors) return std::nullopt;
    auto origin = header_value(req, "Origin");
    if (m_policy.cors_origins.empty()) {
        // Any origin may read, but never through "*" for a route that changes things.
        if (req.method == common::verb::post) return std::nullopt;
        return std::string("*");
    }
    if (!origin) return std::nullopt;
    for (const auto& o : m_policy.cors_origins) {
        if (o == *origin) return o;
    }
    return std::nullopt;
}

std::optional<common::response> http_features::preflight(const common::request& req, const std::vector<std::string>& methods) const {
    if (!m_policy.cors || req.method != common::verb::options) return std::nullopt;
    auto origin = header_value(req, "Origin");
    if (!origin) return std::nullopt;
    bool listed = std::find(m_policy.cors_origins.begin(), m_policy.cors_origins.end(), *origin) != m_policy.cors_origins.end();
    if (!listed && !m_policy.cors_origins.empty()) return std::nullopt;  // an unlisted origin learns nothing
    std::string allowed;
    for (const auto& m : methods) {
        // POST only for origins named in the list, never for "any".
        if (m == "POST" && !listed) continue;
        if (!allowed.empty()) allowed += ", ";
        allowed += m;
    }
    allowed += allowed.empty() ? "OPTIONS" : ", OPTIONS";
    common::response r = common::response::empty(204);
    r.headers = {{"Access-Control-Allow-Origin", listed ? std::string(*origin) : std::string("*")},
                 {"Access-Control-Allow-Methods", allowed},
                 {"Access-Control-Allow-Headers", "Authorization, Content-Type, If-None-Match, Accept-Encoding"},
                 {"Access-Control-Max-Age", "86400"}};
    if (listed) r.headers.emplace_back("Vary", "Origin");
    return r;
}

namespace {

// One entry per coding of the same bytes.
std::uint64_t form_key(std::uint64_t identity_hash, content_coding coding) {
    return coding == content_coding::br ? identity_hash ^ 0x9e3779b97f4a7c15ull : identity_hash;
}

std::string compress(std::string_view bytes, content_coding coding) {
    return coding == content_coding::br ? brotli(bytes, brotli_quality) : gzip(bytes);
}

// Runs on the features' thread; owns what it compresses.
asio::awaitable<std::shared_ptr<const std::string>> compress_there(std::shared_ptr<const std::string> bytes, content_coding coding) {
    co_return std::make_shared<const std::string>(compress(*bytes, coding));
}

}  // namespace

std::shared_ptr<const std::string> http_features::find_compressed(std::uint64_t identity_hash, std::size_t identity_size,
                                                                  content_coding coding) {
    const std::uint64_t hash = form_key(identity_hash, coding);
    auto it = m_compressed.find(hash);
    if (it == m_compressed.end() || it->second->identity_size != identity_size || it->second->coding != coding) return nullptr;
    m_order.splice(m_order.end(), m_order, it->second);
    return it->second->bytes;
}

std::shared_ptr<const std::string> http_features::compressed(std::uint64_t identity_hash, std::string_view bytes, content_coding coding) {
    if (auto known = find_compressed(identity_hash, bytes.size(), coding)) return known;
    auto made = std::make_shared<const std::string>(compress(bytes, coding));
    keep_compressed(identity_hash, bytes.size(), coding, made);
    return made;
}

void http_features::keep_compressed(std::uint64_t identity_hash, std::size_t identity_size, content_coding coding,
                                    std::shared_ptr<const std::string> made) {
    const std::uint64_t hash = form_key(identity_hash, coding);
    if (made->size() > m_policy.compressed_cache_bytes / 8) return;  // too large to keep
    if (auto it = m_compressed.find(hash); it != m_compressed.end()) {
        m_compressed_bytes -= it->second->bytes->size();
        m_order.erase(it->second);
        m_compressed.erase(it);
    }
    m_order.push_back({hash, coding, identity_size, made});
    m_compressed[hash] = std::prev(m_order.end());
    m_compressed_bytes += made->size();
    while (m_compressed_bytes > m_policy.compressed_cache_bytes && !m_order.empty()) {
        m_compressed_bytes -= m_order.front().bytes->size();
        m_compressed.erase(m_order.front().hash);
        m_order.pop_front();
    }
}

content_coding http_features::wanted_coding(const common::request& req, const common::response& answer) const {
    const bool readable = req.method == common::verb::get || req.method == common::verb::head;
    if (!readable || answer.status != 200 || !m_policy.compression || !compressible(answer.media_type)) return content_coding::identity;
    if (has_header(answer, "Content-Encoding")) return content_coding::identity;
    auto accept = header_value(req, "Accept-Encoding");
    if (!accept) return content_coding::identity;
    const std::size_t size = body_of(answer).size();
    bool identity_refused = false;
    const auto coding = choose_coding(*accept, &identity_refused);
    // A client that refuses identity gets even a small body compressed.
    const bool worth = (size >= min_compressed_size || identity_refused) && size > 0 && size <= max_compressed_size;
    return worth ? coding : content_coding::identity;
}

asio::awaitable<void> http_features::finish_async(const common::request& req, common::response& answer) {
    const auto coding = wanted_coding(req, answer);
    if (coding != content_coding::identity && body_of(answer).size() > max_inline_size) {
        const std::string_view body = body_of(answer);
        const std::uint64_t hash = XXH3_64bits(body.data(), body.size());
        if (!find_compressed(hash, body.size(), coding)) {
            if (!answer.shared_body) answer.shared_body = std::make_shared<const std::string>(std::move(answer.body));
            answer.body.clear();
            if (!m_pool) m_pool = std::make_unique<asio::thread_pool>(1);
            auto compressing = asio::co_spawn(*m_pool, compress_there(answer.shared_body, coding), asio::use_awaitable);
            auto made = co_await std::move(compressing);
            keep_compressed(hash, answer.shared_body->size(), coding, std::move(made));
        }
    }
    finish(req, answer);
}

void http_features::finish(const common::request& req, common::response& answer) {
    if (auto origin = allowed_origin(req)) {
        answer.headers.emplace_back("Access-Control-Allow-Origin", *origin);
        if (*origin != "*") add_vary(answer, "Origin");
    }
    const bool readable = req.method == common::verb::get || req.method == common::verb::head;
    if (!readable || answer.status != 200 || has_header(answer, "Content-Encoding")) return;
    std::string_view body = body_of(answer);
    if (body.empty()) return;
    const bool may_compress = m_policy.compression && compressible(answer.media_type);
    if (!m_policy.conditional && !may_compress) return;

    const std::uint64_t hash = XXH3_64bits(body.data(), body.size());
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
    std::string etag = std::string("\"") + hex;
    if (may_compress) {
        add_vary(answer, "Accept-Encoding");
        const auto coding = wanted_coding(req, answer);
        if (coding != content_coding::identity) {
            answer.shared_body = compressed(hash, body, coding);
            answer.body.clear();
            const bool br = coding == content_coding::br;
            answer.headers.emplace_back("Content-Encoding", br ? "br" : "gzip");
            etag += br ? "-br" : "-gz";  // another representation, another tag
        }
    }
    etag += '"';
    if (!m_policy.conditional) return;
    answer.headers.emplace_back("ETag", etag);
    if (auto inm = header_value(req, "If-None-Match"); inm && none_match(*inm, etag)) {
        answer.status = 304;
        answer.body.clear();
        answer.shared_body.reset();
        std::erase_if(answer.headers, [](const auto& h) { return iequals(h.first, "Content-Encoding"); });
    }
}

}  // namespace server
