#include "routers/vectile/changes_command.hpp"

#include <chrono>
#include <exception>
#include <iomanip>
#include <optional>
#include <ostream>
#include <sstream>
#include <variant>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/this_coro.hpp>

#include "database/dedicated.hpp"
#include "routers/vectile/changes_consumer.hpp"

namespace vectile {

namespace asio = boost::asio;
using namespace std::chrono_literals;

namespace {

std::string text_of(const database::value& v) {
    if (const auto* s = std::get_if<std::string>(&v)) return *s;
    if (const auto* i = std::get_if<std::int64_t>(&v)) return std::to_string(*i);
    if (const auto* d = std::get_if<double>(&v)) {
        std::ostringstream o;
        o << std::fixed << std::setprecision(3) << *d;
        return o.str();
    }
    if (const auto* b = std::get_if<bool>(&v)) return *b ? "yes" : "no";
    return "-";
}

// The advisory lock's two halves as pg_locks shows them.
constexpr std::int64_t lock_high = changes_lock_key >> 32;
constexpr std::int64_t lock_low = changes_lock_key & 0xffffffff;

asio::awaitable<void> status(database::dedicated& db, std::ostream& out) {
    std::string probe = "SELECT to_regclass('gisd_changes.log') IS NOT NULL";
    auto probing = db.execute(std::move(probe), database::params{}, 10s);
    auto installed = (co_await std::move(probing)).scalar_one_or_none();
    if (!installed || !std::get<bool>(*installed)) {
        out << "change capture: not installed (gisd changes install)" << std::endl;
        co_return;
    }
    std::string sql =
        "SELECT (SELECT value FROM gisd_changes.state WHERE name = 'version') AS version,"
        " (SELECT count(*) FROM gisd_changes.log) AS depth,"
        " (SELECT count(*) FROM gisd_changes.log WHERE purged_at IS NULL) AS waiting,"
        " (SELECT value FROM gisd_changes.state WHERE name = 'position') AS position,"
        " (SELECT extract(epoch FROM clock_timestamp() - min(recorded_at))::float8 FROM gisd_changes.log WHERE purged_at IS NULL) AS lag,"
        " (SELECT count(*) FROM pg_trigger WHERE tgname LIKE 'gisd_changes_%' AND NOT tgisinternal) AS triggers,"
        " (SELECT max(pid) FROM pg_locks WHERE locktype = 'advisory' AND granted AND classid = :high::bigint::oid"
        "  AND objid = :low::bigint::oid AND objsubid = 1) AS consumer";
    database::params p{{"high", lock_high}, {"low", lock_low}};
    auto reading = db.execute(std::move(sql), std::move(p), 10s);
    auto row = (co_await std::move(reading)).first();
    if (!row) co_return;
    out << "change capture: installed, version " << text_of((*row)["version"]) << " (this gisd: " << changes_sql_version << ")\n"
        << "triggers: " << text_of((*row)["triggers"]) << " of 25\n"
        << "log depth: " << text_of((*row)["depth"]) << " rows, " << text_of((*row)["waiting"]) << " not yet purged\n"
        << "consumer position: " << text_of((*row)["position"]) << "\n"
        << "consumer: " << (row->is_null("consumer") ? std::string("none") : "backend pid " + text_of((*row)["consumer"])) << "\n"
        << "lag: " << (row->is_null("lag") ? std::string("0 (nothing waiting)") : text_of((*row)["lag"]) + " s since the oldest waiting edit")
        << std::endl;
}

asio::awaitable<void> run(changes_command command, std::ostream& out) {
    auto ex = co_await asio::this_coro::executor;
    database::dedicated db(ex);
    auto connecting = db.connect(command.database_url, 10s, "gisd changes " + command.action);
    co_await std::move(connecting);
    if (command.action == "install") {
        auto installing = db.run_script(changes_install_sql, 60s);
        co_await std::move(installing);
        out << "change capture: version " << changes_sql_version << " installed" << std::endl;
    } else if (command.action == "uninstall") {
        auto removing = db.run_script(changes_uninstall_sql, 60s);
        co_await std::move(removing);
        out << "change capture: removed" << std::endl;
    } else {
        co_await status(db, out);
    }
}

}  // namespace

int run_changes_command(const changes_command& command, std::ostream& out, std::ostream& err) {
    if (command.action == "install" && command.print) {
        out << changes_install_sql;
        return 0;
    }
    if (command.database_url.empty()) {
        err << "gisd changes: no database: set DATABASE_URL or --database-url" << std::endl;
        return 2;
    }
    asio::io_context ioc(1);
    std::optional<std::string> failure;
    asio::co_spawn(ioc, run(command, out), [&](std::exception_ptr e) {
        if (!e) return;
        try {
            std::rethrow_exception(e);
        } catch (const std::exception& x) {
            failure = x.what();
        }
    });
    ioc.run();
    if (failure) {
        err << "gisd changes " << command.action << ": " << *failure << std::endl;
        return 1;
    }
    return 0;
}

}  // namespace vectile
