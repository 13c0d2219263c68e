#include "routers/vectile/changes_consumer.hpp"

// GCC 12 pairs Asio's coroutine-frame operator new and delete wrongly once a
// coroutine grows past a size, and warns about a mismatch there is not.
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ == 12
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

#include <algorithm>
#include <exception>
#include <set>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <nlohmann/json.hpp>

#include "common/cancellation.hpp"
#include "database/dedicated.hpp"
#include "helpers/utils/utils.hpp"
#include "metrics/metrics.hpp"
#include "routers/vectile/config.hpp"
#include "routers/vectile/miss.hpp"
#include "routers/vectile/service.hpp"
#include "routers/vectile/tiles.hpp"
#include "routers/vectile/tile_lock.hpp"

namespace vectile {

namespace asio = boost::asio;
using namespace std::chrono_literals;

namespace {

// Keys per DEL: each reply stays short.
constexpr std::size_t del_batch = 500;
// Rows read from the log at once.
constexpr int read_batch = 2000;
// Channels: edits recorded (from the triggers), changes purged (from the consumer, for open browsers).
constexpr const char* recorded_channel = "gisd_changes";
constexpr const char* purged_channel = "gisd_purged";
// NOTIFY payloads must stay under 8000 bytes.
constexpr std::size_t payload_limit = 7000;
// Under a stream of edits, passes come at most this often: a pass costs the
// same few statements and scripts whether it carries one change or many.
constexpr auto pass_gap = 50ms;
// Remaking tiles costs statements: under a stream of edits the gap grows to
// this many times the last pass's remaking, so that remaking takes at most
// about a fifth of the time and more edits share each remade tile...
constexpr int remake_share = 4;
// ...up to this.
constexpr auto longest_gap = 500ms;
// Changes due their second purge are looked for at most this often: that
// purge may come a little after the settling time, never before.
constexpr auto settled_gap = 250ms;

// Deletes each key (kept with ARGV[2] 'keep': it is about to be remade) and
// marks the lock of a generation in flight for it stale (see tile_lock.hpp),
// so that the generation, whose snapshot may predate the edit, does not store
// its tile; the key is published on ARGV[1] for the owner's process. An
// empty-tile notice goes: its emptiness may predate the edit too. KEYS: the N
// cache keys, then their N locks. Gives the number of cache keys that existed.
const char* const purge_script =
    "local n = #KEYS / 2 "
    "local keep = ARGV[2] == 'keep' "
    "local deleted = 0 "
    "for i = 1, n do "
    "deleted = deleted + redis.call(keep and 'EXISTS' or 'DEL', KEYS[i]) "
    "local v = redis.call('GET', KEYS[n + i]) "
    "if v then "
    "local head = string.sub(v, 1, 6) "
    "if head == 'empty:' then redis.call('DEL', KEYS[n + i]) "
    "elseif head ~= 'stale:' then "
    "redis.call('SET', KEYS[n + i], 'stale:' .. v, 'KEEPTTL') redis.call('PUBLISH', ARGV[1], KEYS[i]) end "
    "end "
    "end "
    "return deleted";

struct deleter {
    service& svc;
    std::vector<std::string> keys;
    std::uint64_t deleted = 0;
    bool keep = false;  // only mark the generations in flight

    asio::awaitable<void> add(std::string full_key) {
        keys.push_back(std::move(full_key));
        if (keys.size() >= del_batch) co_await flush();
    }
    asio::awaitable<void> flush() {
        if (keys.empty()) co_return;
        std::vector<std::string> locks;
        locks.reserve(keys.size());
        for (const auto& k : keys) locks.push_back("lock:" + k);
        const std::string count = std::to_string(keys.size() * 2);
        const std::string channel = tile_lock::stale_channel(svc.cache.name_space);
        std::vector<std::string_view> argv{"EVAL", purge_script, count};
        for (const auto& k : keys) argv.emplace_back(k);
        for (const auto& l : locks) argv.emplace_back(l);
        argv.emplace_back(channel);
        argv.emplace_back(keep ? "keep" : "delete");
        auto reply = co_await svc.redis_client.command(std::move(argv));
        if (reply.type != redis::reply::kind::integer) throw redis::error("unexpected reply to the purge");
        deleted += static_cast<std::uint64_t>(std::max<long long>(reply.integer, 0));
        keys.clear();
    }
};

// One SCAN step: the cursor to go on from ("0" at the end) and the keys found.
struct scan_page {
    std::string cursor;
    std::vector<redis::reply> keys;
};

asio::awaitable<scan_page> scan_step(service& svc, std::string cursor, std::string pattern) {
    std::vector<std::string_view> scan{"SCAN", cursor, "MATCH", pattern, "COUNT", "1000"};
    auto reply = co_await svc.redis_client.command(std::move(scan));
    if (reply.type != redis::reply::kind::array || reply.elements.size() != 2) throw redis::error("unexpected SCAN reply");
    co_return scan_page{std::move(reply.elements[0].str), std::move(reply.elements[1].elements)};
}

// Walks the cached keys matching `pattern` (within the namespace) and the
// locks of generations in flight for such keys, handing each key (without the
// namespace) to `wanted`; those wanted go to `del` (a deleter, or anything
// with its `add`).
template <class Sink, class Wanted>
asio::awaitable<void> scan_matching(service& svc, Sink& del, const std::string& pattern, Wanted wanted) {
    const std::string prefix = svc.cache.name_space + ":";
    const std::string both = "*" + pattern;  // the key itself, or "lock:" and the key
    std::string cursor = "0";
    do {
        auto stepping = scan_step(svc, cursor, both);
        auto page = co_await std::move(stepping);
        cursor = std::move(page.cursor);
        for (const auto& key : page.keys) {
            std::string_view full = key.str;
            if (full.starts_with("lock:")) full.remove_prefix(5);
            if (!full.starts_with(prefix)) continue;
            if (wanted(full.substr(prefix.size()))) co_await del.add(std::string(full));
        }
    } while (cursor != "0");
}

// Hands the members of a registry (a sorted set of keys within the
// namespace) that the plan addresses to `del`.
asio::awaitable<void> purge_registered(service& svc, deleter& del, std::string registry, const purge_plan& plan) {
    std::vector<std::string_view> argv{"ZRANGE", registry, "0", "-1"};
    auto reply = co_await svc.redis_client.command(std::move(argv));
    if (reply.type != redis::reply::kind::array) throw redis::error("unexpected ZRANGE reply");
    for (const auto& member : reply.elements) {
        if (plan_addresses(plan, member.str)) co_await del.add(svc.cache._make_key(member.str));
    }
}

// How long a pass's remaking may take: the tiles not remade by then are
// deleted like the others.
constexpr auto remake_bound = 2s;

// Makes a tile again and stores it over its old bytes, while they are still
// there, instead of deleting it: the statement starts after the edit's
// commit, so the new bytes hold the edit. A later edit is read by a later
// pass, which begins after this store. An empty tile, or one that could not
// be made by `deadline`, is deleted. True when new bytes were stored.
asio::awaitable<bool> remake(service& svc, std::string key, std::chrono::steady_clock::time_point deadline) {
    const std::string full = svc.cache._make_key(key);
    std::string layer;
    int z = 0, x = 0, y = 0;
    const auto tile = parse_xyz_key(key, layer, z, x, y) ? helpers::utils::tile_address::from(z, x, y) : std::nullopt;
    tile_memory::bytes made;
    std::int64_t ttl = 0;
    const auto left = deadline - std::chrono::steady_clock::now();
    if (tile && left > std::chrono::steady_clock::duration::zero()) {
        try {
            auto job = xyz_tile_job(layer, *tile);
            ttl = job.ttl;
            auto db = svc.sessions();
            auto making = make_tile(svc, *db, job, std::min(job.limit, left));
            made = co_await std::move(making);
        } catch (const std::exception& e) {
            if (common::is_cancellation(e)) throw;
            // The statement's failure is logged where it ran; the tile goes.
        }
    }
    if (made) {
        const std::string expiry = std::to_string(ttl);
        std::vector<std::string_view> set{"SET", full, *made, "EX", expiry, "XX"};
        auto reply = co_await svc.redis_client.command(std::move(set));
        co_return reply.type == redis::reply::kind::status;  // nil: the key went meanwhile
    }
    std::vector<std::string_view> del{"DEL", full};
    co_await svc.redis_client.command(std::move(del));
    co_return false;
}

}  // namespace

asio::awaitable<purge_outcome> purge_changes(service& svc, std::vector<recorded_change> changes, std::uint64_t scan_threshold,
                                             purge_scope scope, std::size_t remake_limit) {
    const purge_plan plan = plan_purge(changes, scan_threshold);
    deleter del{svc, {}, 0};
    const auto* in = &plan;
    auto addressed = [in](std::string_view k) { return plan_addresses(*in, k); };
    if (scope == purge_scope::lockless) {
        // The tiles made under their locks were kept out by the first purge's
        // marks: purging them again would only cost misses.
        auto reading = purge_registered(svc, del, lockless_registry(svc), plan);
        co_await std::move(reading);
        co_await del.flush();
        co_return purge_outcome{del.deleted};
    }
    // Tiles this worker has read lately are remade in place (see remake):
    // their readers keep the old bytes for one statement instead of all
    // waiting on it.
    std::vector<std::string> hot;
    const bool remaking = remake_limit > 0 && svc.sessions && svc.memory->capacity() > 0;
    for (const auto& key : plan.keys) {
        auto full = svc.cache._make_key(key);
        if (remaking && hot.size() < remake_limit && svc.memory->holds(full)) {
            hot.push_back(key);
            continue;
        }
        co_await del.add(std::move(full));
    }
    for (const auto& where : plan.scans) {
        const std::string pattern = svc.cache._make_key(where.first.first + ":" + std::to_string(where.first.second) + ":*");
        co_await scan_matching(svc, del, pattern, addressed);
    }
    // Bounding-box tiles are registered when made (register_bbox_tile): their
    // keys are read there, not scanned for.
    for (const auto& boxes : plan.box_tiles) {
        auto reading = purge_registered(svc, del, bbox_registry(svc, boxes.first), plan);
        co_await std::move(reading);
    }
    for (const auto& layer : plan.centroids) {
        auto full = svc.cache._make_key("centroid:" + layer);
        co_await del.add(std::move(full));
    }
    co_await del.flush();
    for (const auto& layer : plan.whole_layers) {
        const std::string tiles = svc.cache._make_key(layer + ":*");
        const std::string boxes = svc.cache._make_key("bbox:" + layer + ":*");
        co_await scan_matching(svc, del, tiles, addressed);
        co_await scan_matching(svc, del, boxes, addressed);
        auto centroid = svc.cache._make_key("centroid:" + layer);
        co_await del.add(std::move(centroid));
        co_await del.flush();
    }
    if (hot.empty()) co_return purge_outcome{del.deleted};
    deleter marks{svc, {}, 0, true};
    for (const auto& key : hot) co_await marks.add(svc.cache._make_key(key));
    co_await marks.flush();
    std::uint64_t remade = 0;
    const auto started = std::chrono::steady_clock::now();
    for (const auto& key : hot) {
        auto again = remake(svc, key, started + remake_bound);
        if (co_await std::move(again)) ++remade;
    }
    co_return purge_outcome{del.deleted + marks.deleted, remade, std::chrono::steady_clock::now() - started};
}

namespace {

// Registers each bounding-box tile it is handed (a full key), once.
struct registrar {
    service& svc;
    std::set<std::string> done;

    asio::awaitable<void> add(std::string full) {
        std::string within = full.substr(svc.cache.name_space.size() + 1);
        std::string layer;
        mercator_box box;
        if (!parse_bbox_key(within, layer, box) || !done.insert(within).second) co_return;
        // Registered for the longest a bounding-box tile is kept: the key may go first, harmlessly.
        auto registering = register_bbox_tile(svc, std::move(layer), std::move(within), CACHE_TTL_SHORT);
        co_await std::move(registering);
    }
};

}  // namespace

asio::awaitable<std::uint64_t> register_stored_bbox_tiles(service& svc) {
    registrar reg{svc, {}};
    auto every = [](std::string_view) { return true; };
    const std::string pattern = svc.cache._make_key("bbox:*");  // named: the scan keeps a reference
    auto scanning = scan_matching(svc, reg, pattern, every);
    co_await std::move(scanning);
    co_return reg.done.size();
}

asio::awaitable<std::uint64_t> purge_matching(service& svc, std::string pattern) {
    deleter del{svc, {}, 0};
    auto every = [](std::string_view) { return true; };
    auto scanning = scan_matching(svc, del, pattern, every);
    co_await std::move(scanning);
    co_await del.flush();
    co_return del.deleted;
}

std::string change_event_json(const recorded_change& change, bool settled) {
    nlohmann::ordered_json doc;
    doc["id"] = change.id;
    doc["layer"] = change.layer;
    if (change.whole) {
        doc["whole"] = true;
    } else {
        const auto sw = helpers::utils::to_lonlat(change.box.min_x, change.box.min_y);
        const auto ne = helpers::utils::to_lonlat(change.box.max_x, change.box.max_y);
        doc["bbox"] = {sw.lon, sw.lat, ne.lon, ne.lat};
    }
    if (settled) doc["settled"] = true;
    return doc.dump();
}

struct changes_consumer::state {
    // The follower's coroutine owns this state, and through it the service: it may end after the consumer.
    state(service& s, changes_options o) : svc(s.shared_from_this()), opts(std::move(o)), db(s.executor), pause(s.executor) {}
    std::shared_ptr<service> svc;
    changes_options opts;
    database::dedicated db;
    asio::steady_timer pause;
    bool stopped = false;
    bool holder = false;
    bool absent_reported = false;
    bool bbox_registered = false;  // the bounding-box tiles stored unregistered are registered
    std::chrono::steady_clock::time_point next_settled{};
    std::chrono::steady_clock::duration remaking{};  // the last pass's
    std::vector<std::function<void(const std::string&)>> listeners;
};

namespace {

using state_ptr = std::shared_ptr<changes_consumer::state>;

asio::awaitable<void> sleep_for(state_ptr st, std::chrono::milliseconds d) {
    st->pause.expires_after(d);
    co_await st->pause.async_wait(asio::as_tuple(asio::use_awaitable));
}

std::vector<recorded_change> changes_of(const database::result& r, double& lag) {
    std::vector<recorded_change> out;
    for (const auto& row : r.rows()) {
        recorded_change c;
        c.id = std::get<std::int64_t>(row["id"]);
        c.layer = std::get<std::string>(row["layer"]);
        c.whole = std::get<bool>(row["whole"]);
        if (!c.whole) c.box = {row.real("min_x"), row.real("min_y"), row.real("max_x"), row.real("max_y")};
        lag = std::max(lag, row.real("lag"));
        out.push_back(std::move(c));
    }
    return out;
}

std::string id_array(const std::vector<recorded_change>& changes) {
    std::string out = "{";
    for (std::size_t i = 0; i < changes.size(); ++i) {
        if (i > 0) out += ",";
        out += std::to_string(changes[i].id);
    }
    return out + "}";
}

constexpr auto statement_limit = 10s;

const std::string select_rows =
    "SELECT id, layer, whole, coalesce(min_x, 0) AS min_x, coalesce(min_y, 0) AS min_y, coalesce(max_x, 0) AS max_x,"
    " coalesce(max_y, 0) AS max_y, extract(epoch FROM clock_timestamp() - recorded_at)::float8 AS lag FROM gisd_changes.log ";

// The purged changes as NOTIFY payloads, each within the limit.
std::vector<std::string> event_payloads(const std::vector<recorded_change>& changes, bool settled) {
    std::vector<std::string> out;
    std::string chunk;
    for (const auto& c : changes) {
        auto event = change_event_json(c, settled);
        if (!chunk.empty() && chunk.size() + event.size() + 3 > payload_limit) out.push_back("[" + std::exchange(chunk, {}) + "]");
        if (!chunk.empty()) chunk += ",";
        chunk += event;
    }
    if (!chunk.empty()) out.push_back("[" + chunk + "]");
    return out;
}

// Runs `sql`, a statement on the log, and sends the purged changes to every
// follower (this one included) for its open browsers: the first payload in
// the same statement, as `:payload`.
asio::awaitable<void> run_and_announce(state_ptr st, std::string sql, database::params p, std::vector<recorded_change> changes,
                                       bool settled) {
    auto payloads = event_payloads(changes, settled);
    const std::string notify = std::string("SELECT pg_notify('") + purged_channel + "', :payload)";
    p.emplace_back("payload", payloads.front());
    auto running = st->db.execute(sql + " " + notify, std::move(p), statement_limit);
    co_await std::move(running);
    for (std::size_t i = 1; i < payloads.size(); ++i) {
        auto sending = st->db.execute(notify, database::params{{"payload", payloads[i]}}, statement_limit);
        co_await std::move(sending);
    }
}

// One pass over the log: first purges of new rows, second purges (and
// removal) of rows whose settling time has passed. True when rows were left
// for another pass.
asio::awaitable<bool> pass(state_ptr st) {
    bool more = false;
    if (!st->bbox_registered) {
        // Once per takeover: tiles stored by a process that did not register them.
        auto registering = register_stored_bbox_tiles(*st->svc);
        const auto found = co_await std::move(registering);
        if (found > 0) st->svc->logger->info("Registered {} bounding-box tiles stored unregistered", found);
        st->bbox_registered = true;
    }
    {
        double lag = 0;
        std::string sql = select_rows + "WHERE purged_at IS NULL ORDER BY id LIMIT " + std::to_string(read_batch);
        auto reading = st->db.execute(std::move(sql), database::params{}, statement_limit);
        auto r = co_await std::move(reading);
        auto fresh = changes_of(r, lag);
        if (st->stopped) co_return false;
        if (!fresh.empty()) {
            const auto started = std::chrono::steady_clock::now();
            more = fresh.size() == static_cast<std::size_t>(read_batch);
            auto purging = purge_changes(*st->svc, fresh, st->opts.scan_threshold, purge_scope::everything, st->opts.remake_limit);
            auto outcome = co_await std::move(purging);
            if (st->stopped) co_return false;
            st->remaking = outcome.remaking;
            database::params p{{"ids", id_array(fresh)}, {"last", fresh.back().id}};
            std::string mark =
                "WITH done AS (UPDATE gisd_changes.log SET purged_at = clock_timestamp() WHERE id = ANY(:ids::bigint[])),"
                " moved AS (UPDATE gisd_changes.state SET value = greatest(value::bigint, :last::bigint)::text WHERE name = 'position')";
            const auto first = fresh.front().id, last = fresh.back().id;
            const auto count = fresh.size();
            auto marking = run_and_announce(st, std::move(mark), std::move(p), std::move(fresh), false);
            co_await std::move(marking);
            lag += std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
            metrics::count_changes(count, outcome.deleted, lag, outcome.remade);
            st->svc->logger->info("Changes {}..{}: {} keys purged, {:.3f} s after the edit{}", first, last, outcome.deleted, lag,
                                  outcome.remade > 0 ? " (" + std::to_string(outcome.remade) + " remade in place)" : std::string());
        }
    }
    if (std::chrono::steady_clock::now() >= st->next_settled) {
        st->next_settled = std::chrono::steady_clock::now() + settled_gap;
        double lag = 0;
        database::params p{{"settle", static_cast<double>(st->opts.settle.count()) / 1000.0}};
        std::string sql = select_rows + "WHERE purged_at < clock_timestamp() - make_interval(secs => :settle::float8) ORDER BY id LIMIT " +
                          std::to_string(read_batch);
        auto reading = st->db.execute(std::move(sql), std::move(p), statement_limit);
        auto r = co_await std::move(reading);
        auto settled = changes_of(r, lag);
        if (st->stopped) co_return false;
        if (!settled.empty()) {
            auto purging = purge_changes(*st->svc, settled, st->opts.scan_threshold, purge_scope::lockless);
            auto outcome = co_await std::move(purging);
            if (st->stopped) co_return false;
            metrics::count_changes(0, outcome.deleted, -1);
            if (settled.size() == static_cast<std::size_t>(read_batch)) {
                more = true;
                st->next_settled = {};
            }
            database::params ids{{"ids", id_array(settled)}};
            std::string remove = "WITH gone AS (DELETE FROM gisd_changes.log WHERE id = ANY(:ids::bigint[]))";
            auto removing = run_and_announce(st, std::move(remove), std::move(ids), std::move(settled), true);
            co_await std::move(removing);
        }
    }
    co_return more;
}

void deliver(const state_ptr& st, const std::string& payload) {
    try {
        auto events = nlohmann::ordered_json::parse(payload);
        if (!events.is_array()) return;
        for (const auto& e : events) {
            const std::string text = e.dump();
            for (const auto& listener : st->listeners) listener(text);
        }
    } catch (const nlohmann::json::exception&) {
        // Not ours: someone else notified the channel.
    }
}

asio::awaitable<void> follow(state_ptr st) {
    std::chrono::steady_clock::time_point last_pass{};
    while (!st->stopped) {
        try {
            if (!st->db.usable()) {
                st->holder = false;
                metrics::set_changes_consumer(false);
                auto connecting = st->db.connect(st->opts.database_url, 5s, "gisd changes");
                co_await std::move(connecting);
                if (st->stopped) co_return;
                auto listening = st->db.execute(std::string("LISTEN ") + purged_channel, database::params{}, statement_limit);
                co_await std::move(listening);
            }
            if (!st->holder) {
                database::params p{{"key", changes_lock_key}};
                std::string sql =
                    "SELECT CASE WHEN to_regclass('gisd_changes.log') IS NULL THEN NULL ELSE pg_try_advisory_lock(:key::bigint) END";
                auto locking = st->db.execute(std::move(sql), std::move(p), statement_limit);
                auto r = co_await std::move(locking);
                if (st->stopped) co_return;
                auto taken = r.scalar_one_or_none();
                if (!taken || std::holds_alternative<std::monostate>(*taken)) {
                    if (!st->absent_reported) {
                        st->svc->logger->info("No change log in the database (gisd changes install): edits are not followed");
                        st->absent_reported = true;
                    }
                    co_await sleep_for(st, st->opts.absent_retry);
                    continue;
                }
                if (!std::get<bool>(*taken)) {
                    // Another process consumes; this one only relays its announcements.
                    auto notes = co_await st->db.notifications(st->opts.lock_retry);
                    if (st->stopped) co_return;
                    for (const auto& [channel, payload] : notes) {
                        if (channel == purged_channel) deliver(st, payload);
                    }
                    continue;
                }
                st->holder = true;
                st->bbox_registered = false;
                metrics::set_changes_consumer(true);
                st->svc->logger->info("Following the change log: this process purges edited tiles");
                auto listening = st->db.execute(std::string("LISTEN ") + recorded_channel, database::params{}, statement_limit);
                co_await std::move(listening);
            }
            // In a stream of edits, the next few gather for one pass.
            const auto gap = std::clamp<std::chrono::steady_clock::duration>(remake_share * st->remaking, pass_gap, longest_gap);
            st->remaking = {};
            if (const auto since = std::chrono::steady_clock::now() - last_pass; since < gap) {
                co_await sleep_for(st, std::chrono::duration_cast<std::chrono::milliseconds>(gap - since));
                if (st->stopped) co_return;
            }
            last_pass = std::chrono::steady_clock::now();
            while (co_await pass(st)) {
                if (st->stopped) co_return;
            }
            if (st->stopped) co_return;
            auto notes = co_await st->db.notifications(st->opts.poll);
            if (st->stopped) co_return;
            for (const auto& [channel, payload] : notes) {
                if (channel == purged_channel) deliver(st, payload);
            }
            continue;
        } catch (const std::exception& e) {
            if (common::is_cancellation(e) || st->stopped) throw;
            st->svc->logger->warn("Following the change log: {}; trying again", e.what());
            metrics::count_handled_error(metrics::component::changes);
            if (dynamic_cast<const database::error*>(&e) != nullptr) {
                // The lock went with the session, or will: start again from connecting.
                st->db.close();
                st->holder = false;
                metrics::set_changes_consumer(false);
            }
        }
        if (st->stopped) co_return;
        co_await sleep_for(st, 1s);
    }
}

}  // namespace

changes_consumer::changes_consumer(service& svc, changes_options options)
    : m_state(std::make_shared<state>(svc, std::move(options))) {}

changes_consumer::~changes_consumer() {
    m_state->stopped = true;
    m_state->pause.cancel();
    m_state->listeners.clear();
    if (m_state->holder) metrics::set_changes_consumer(false);
}

void changes_consumer::start() {
    asio::co_spawn(m_state->svc->executor, follow(m_state), [logger = m_state->svc->logger](std::exception_ptr e) {
        // A cancellation is the loop going away; anything else escaped the follower's own handling.
        if (e && !common::is_cancellation(e)) logger->error("Following the change log ended by an unexpected error");
    });
}

void changes_consumer::on_purged(std::function<void(const std::string&)> listener) { m_state->listeners.push_back(std::move(listener)); }

bool changes_consumer::is_consumer() const { return m_state->holder; }

}  // namespace vectile
