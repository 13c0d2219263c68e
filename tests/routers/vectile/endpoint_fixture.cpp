#include "endpoint_fixture.hpp"

#include <protozero/pbf_reader.hpp>

#include <boost/asio/co_spawn.hpp>

#include <stdexcept>

#include "routers/vectile/routes.hpp"

namespace vtest {

using namespace std::chrono_literals;

// ------------------------------------------------------------------ libpq

namespace {

std::string quote_conninfo_value(const std::string& v) {
    std::string out = "'";
    for (char c : v) {
        if (c == '\'' || c == '\\') out += '\\';
        out += c;
    }
    return out + "'";
}

}  // namespace

std::string conninfo_with(const std::string& url, const std::map<std::string, std::string>& changes) {
    char* err = nullptr;
    PQconninfoOption* options = PQconninfoParse(url.c_str(), &err);
    if (options == nullptr) {
        std::string message = err != nullptr ? err : "out of memory";
        PQfreemem(err);
        throw std::runtime_error("cannot parse the connection string: " + message);
    }
    std::map<std::string, std::string> values;
    for (auto* o = options; o->keyword != nullptr; ++o) {
        if (o->val != nullptr) values[o->keyword] = o->val;
    }
    PQconninfoFree(options);
    for (const auto& [k, v] : changes) values[k] = v;
    std::string out;
    for (const auto& [k, v] : values) {
        if (!out.empty()) out += ' ';
        out += k + "=" + quote_conninfo_value(v);
    }
    return out;
}

pg_connection::pg_connection(const std::string& conninfo) : m_conn(PQconnectdb(conninfo.c_str())) {
    if (PQstatus(m_conn) != CONNECTION_OK) {
        std::string message = PQerrorMessage(m_conn);
        PQfinish(m_conn);
        throw std::runtime_error("cannot connect: " + message);
    }
    // The notices of DROP ... CASCADE and of missing statistics are expected; keep them off stderr.
    PQsetNoticeProcessor(m_conn, [](void*, const char*) {}, nullptr);
}

pg_connection::~pg_connection() { PQfinish(m_conn); }

void pg_connection::exec(const std::string& sql) {
    PGresult* r = PQexec(m_conn, sql.c_str());
    const auto status = PQresultStatus(r);
    std::string message = PQresultErrorMessage(r);
    PQclear(r);
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) throw std::runtime_error(message + " in: " + sql);
}

std::vector<std::vector<std::optional<std::string>>> pg_connection::rows(const std::string& sql) {
    PGresult* r = PQexec(m_conn, sql.c_str());
    if (PQresultStatus(r) != PGRES_TUPLES_OK) {
        std::string message = PQresultErrorMessage(r);
        PQclear(r);
        throw std::runtime_error(message + " in: " + sql);
    }
    std::vector<std::vector<std::optional<std::string>>> out;
    for (int i = 0; i < PQntuples(r); ++i) {
        auto& row = out.emplace_back();
        for (int j = 0; j < PQnfields(r); ++j) {
            if (PQgetisnull(r, i, j)) {
                row.emplace_back();
            } else {
                row.emplace_back(std::string(PQgetvalue(r, i, j), static_cast<std::size_t>(PQgetlength(r, i, j))));
            }
        }
    }
    PQclear(r);
    return out;
}

std::string pg_connection::scalar(const std::string& sql) {
    auto r = rows(sql);
    if (r.empty() || r[0].empty() || !r[0][0]) throw std::runtime_error("no value from: " + sql);
    return *r[0][0];
}

std::string literal(std::string_view text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'') out += '\'';
        out += c;
    }
    return out + "'";
}

scratch_schema::scratch_schema(const std::vector<std::string>& copies, const std::vector<std::string>& empty)
    : m_name("vtest_" + test_support::unique_suffix()) {
    pg_connection admin(test_support::database_url());
    std::string sql = "CREATE SCHEMA " + m_name + ";";
    for (const auto& t : copies) sql += "CREATE TABLE " + m_name + ".\"" + t + "\" AS SELECT * FROM public.\"" + t + "\";";
    for (const auto& t : empty) sql += "CREATE TABLE " + m_name + ".\"" + t + "\" AS SELECT * FROM public.\"" + t + "\" WITH NO DATA;";
    admin.exec(sql);
}

scratch_schema::~scratch_schema() {
    try {
        pg_connection admin(test_support::database_url());
        admin.exec("DROP SCHEMA IF EXISTS " + m_name + " CASCADE");
    } catch (const std::exception& e) {
        ADD_FAILURE() << "could not drop schema " << m_name << ": " << e.what();
    }
}

std::string scratch_schema::conninfo() const {
    return conninfo_with(test_support::database_url(), {{"options", "-c search_path=" + m_name + ",public"}});
}

scratch_database::scratch_database() : m_name("vtest_db_" + test_support::unique_suffix()) {
    pg_connection admin(test_support::database_url());
    admin.exec("CREATE DATABASE " + m_name);
}

scratch_database::~scratch_database() {
    try {
        pg_connection admin(test_support::database_url());
        admin.exec("DROP DATABASE IF EXISTS " + m_name + " WITH (FORCE)");
    } catch (const std::exception& e) {
        ADD_FAILURE() << "could not drop database " << m_name << ": " << e.what();
    }
}

std::string scratch_database::conninfo() const { return conninfo_with(test_support::database_url(), {{"dbname", m_name}}); }

// ------------------------------------------------------------------ vector tiles

namespace {

mvt_value decode_value(protozero::pbf_reader v) {
    mvt_value out;
    while (v.next()) {
        switch (v.tag()) {
            case 1: out.text = v.get_string(); break;
            case 2: out.number = v.get_float(); break;
            case 3: out.number = v.get_double(); break;
            case 4: out.number = static_cast<double>(v.get_int64()); break;
            case 5: out.number = static_cast<double>(v.get_uint64()); break;
            case 6: out.number = static_cast<double>(v.get_sint64()); break;
            case 7: out.number = v.get_bool() ? 1 : 0; break;
            default: v.skip();
        }
    }
    if (out.number) {
        double n = *out.number;
        out.text = n == static_cast<double>(static_cast<long long>(n)) ? std::to_string(static_cast<long long>(n)) : std::to_string(n);
    }
    return out;
}

std::vector<mvt_point> decode_geometry(const std::vector<std::uint32_t>& g) {
    std::vector<mvt_point> out;
    std::int64_t x = 0, y = 0;
    std::size_t i = 0;
    while (i < g.size()) {
        const std::uint32_t command = g[i] & 7, count = g[i] >> 3;
        ++i;
        if (command == 1 || command == 2) {  // MoveTo, LineTo
            for (std::uint32_t k = 0; k < count; ++k) {
                if (i + 1 >= g.size()) throw std::runtime_error("geometry ends inside a command");
                x += protozero::decode_zigzag32(g[i]);
                y += protozero::decode_zigzag32(g[i + 1]);
                i += 2;
                out.push_back({x, y});
            }
        } else if (command != 7) {  // ClosePath takes no parameters
            throw std::runtime_error("unknown geometry command " + std::to_string(command));
        }
    }
    return out;
}

}  // namespace

std::vector<mvt_layer> decode_tile(std::string_view bytes) {
    std::vector<mvt_layer> out;
    protozero::pbf_reader tile(bytes.data(), bytes.size());
    while (tile.next()) {
        if (tile.tag() != 3) {
            tile.skip();
            continue;
        }
        protozero::pbf_reader l = tile.get_message();
        mvt_layer layer;
        std::vector<mvt_value> values;
        struct raw_feature {
            std::uint32_t type = 0;
            std::vector<std::uint32_t> tags, geometry;
        };
        std::vector<raw_feature> raw;
        while (l.next()) {
            switch (l.tag()) {
                case 1: layer.name = l.get_string(); break;
                case 2: {
                    protozero::pbf_reader f = l.get_message();
                    raw_feature rf;
                    while (f.next()) {
                        switch (f.tag()) {
                            case 2:
                                for (auto t : f.get_packed_uint32()) rf.tags.push_back(t);
                                break;
                            case 3: rf.type = f.get_uint32(); break;
                            case 4:
                                for (auto c : f.get_packed_uint32()) rf.geometry.push_back(c);
                                break;
                            default: f.skip();
                        }
                    }
                    raw.push_back(std::move(rf));
                    break;
                }
                case 3: layer.keys.push_back(l.get_string()); break;
                case 4: values.push_back(decode_value(l.get_message())); break;
                case 5: layer.extent = l.get_uint32(); break;
                case 15: layer.version = l.get_uint32(); break;
                default: l.skip();
            }
        }
        for (const auto& rf : raw) {
            mvt_feature f;
            f.type = rf.type;
            if (rf.tags.size() % 2 != 0) throw std::runtime_error("odd number of tags");
            for (std::size_t i = 0; i < rf.tags.size(); i += 2) {
                f.attributes[layer.keys.at(rf.tags[i])] = values.at(rf.tags[i + 1]);
            }
            f.vertices = decode_geometry(rf.geometry);
            layer.features.push_back(std::move(f));
        }
        out.push_back(std::move(layer));
    }
    return out;
}

// ------------------------------------------------------------------ the router under test

namespace {

// Forwards to a pool session and counts the statements, so a test can tell
// whether a request touched the database.
class counting_session final : public database::session {
public:
    counting_session(std::unique_ptr<database::session> inner, session_counts& counts) : m_inner(std::move(inner)), m_counts(counts) {}

    asio::awaitable<database::result> execute(std::string_view sql, database::params p) override {
        ++m_counts.statements;
        return m_inner->execute(sql, std::move(p));
    }
    asio::awaitable<database::result> execute_last(std::string_view sql, database::params p) override {
        ++m_counts.statements;
        return m_inner->execute_last(sql, std::move(p));
    }
    asio::awaitable<void> commit() override { return m_inner->commit(); }
    asio::awaitable<void> rollback() override { return m_inner->rollback(); }
    asio::awaitable<void> close() override { return m_inner->close(); }
    asio::awaitable<bool> renew() override { return m_inner->renew(); }
    void read_only() override { m_inner->read_only(); }

private:
    std::unique_ptr<database::session> m_inner;
    session_counts& m_counts;
};

}  // namespace

endpoint_test::~endpoint_test() { stop(); }

void endpoint_test::start(const std::string& db_conninfo, const vectile::redis_settings& redis) {
    stop();
    m_redis = redis;
    pool = std::make_unique<database::pool>(
        ioc.get_executor(),
        database::pool_options{.url = conninfo_with(db_conninfo, {{"application_name", app_name}}), .size = 2});
    svc = std::make_shared<vectile::service>(ioc.get_executor(), redis);
    vectile::register_routes(*svc);
    app = std::make_unique<server::application>();
    app->include_router(svc->router);
    app->set_session_factory([this] {
        ++counts.sessions;
        return std::make_unique<counting_session>(pool->make_session(), counts);
    });
    // Shared statements of concurrent misses are counted alike.
    svc->sessions = [this] { return std::make_unique<counting_session>(pool->make_session(), counts); };
}

void endpoint_test::start_shared() {
    start(test_support::database_url(), vectile::redis_settings{test_support::redis_host(), test_support::redis_port(), 0});
}

void endpoint_test::stop() {
    app.reset();
    svc.reset();
    m_redis_side.reset();
    pool.reset();
}

common::response endpoint_test::flattened(common::response r) {
    if (r.shared_body) {
        r.body = *r.shared_body;
        r.shared_body.reset();
    }
    return r;
}

common::response endpoint_test::request(boost::beast::http::verb method, const std::string& target) {
    common::request req;
    req.method = method;
    req.target = target;
    return request(req);
}

common::response endpoint_test::request(const common::request& req) { return flattened(run(app->handle(req))); }

std::pair<common::response, double> endpoint_test::get_blocked(const std::string& target, std::chrono::steady_clock::duration limit) {
    common::request req;
    req.target = target;
    bool done = false;
    std::exception_ptr failure;
    common::response answer;
    const auto start_time = std::chrono::steady_clock::now();
    asio::co_spawn(ioc, app->handle(req), [&](std::exception_ptr e, common::response r) {
        done = true;
        failure = e;
        answer = std::move(r);
    });
    test_support::run_for(ioc, 2s);
    EXPECT_EQ(active_statements("wait_event_type = 'Lock'"), 1) << "the statement should be waiting for the lock";
    test_support::run_until(ioc, done, limit);
    if (failure) std::rethrow_exception(failure);
    return {flattened(std::move(answer)), test_support::seconds_since(start_time)};
}

common::response endpoint_test::get(const std::string& target) { return request(boost::beast::http::verb::get, target); }
common::response endpoint_test::post(const std::string& target) { return request(boost::beast::http::verb::post, target); }

void endpoint_test::run(asio::awaitable<void> op, std::chrono::steady_clock::duration limit) {
    test_support::run(ioc, std::move(op), limit);
}

redis::connection& endpoint_test::redis_side() {
    if (!m_redis_side) {
        m_redis_side = std::make_unique<redis::connection>(ioc.get_executor(), redis::options{.host = m_redis.host, .port = m_redis.port});
    }
    return *m_redis_side;
}

std::optional<std::string> endpoint_test::redis_get(const std::string& key) { return run(redis_side().get(key)); }

long long endpoint_test::redis_ttl(const std::string& key) {
    std::vector<std::string_view> argv{"TTL", key};
    return run(redis_side().command(std::move(argv))).integer;
}

void endpoint_test::redis_set(const std::string& key, const std::string& value, int ttl) { run(redis_side().set(key, value, ttl)); }

void endpoint_test::redis_del(const std::string& key) { (void)run(redis_side().del(key)); }

const std::string& endpoint_test::own_key(const std::string& key) {
    redis_del(key);
    m_owned_keys.push_back(key);
    return m_owned_keys.back();
}

void endpoint_test::TearDown() {
    for (const auto& key : m_owned_keys) {
        try {
            redis_del(key);
        } catch (const std::exception& e) {
            ADD_FAILURE() << "could not delete " << key << ": " << e.what();
        }
    }
}

long long endpoint_test::active_statements(const std::string& extra_condition) {
    if (!m_observer) m_observer = std::make_unique<pg_connection>(test_support::database_url());
    return std::stoll(m_observer->scalar("SELECT count(*) FROM pg_stat_activity WHERE state = 'active' AND application_name = " +
                                         literal(app_name) + " AND (" + extra_condition + ")"));
}

bool endpoint_test::statements_gone_within(std::chrono::steady_clock::duration limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (active_statements() == 0) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        test_support::run_for(ioc, 50ms);
    }
}

std::optional<std::string> endpoint_test::header(const common::response& r, const std::string& name) {
    for (const auto& [k, v] : r.headers) {
        if (k == name) return v;
    }
    return std::nullopt;
}

}  // namespace vtest
