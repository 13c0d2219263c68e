#pragma once
// Following the cadastre's change log (see changes_v3.sql): of all the
// processes sharing a database, the one holding the log's advisory lock
// deletes the cached entries each recorded change can have altered; the
// workers' memory copies follow through Redis's change feed.
//
// A generation in flight during the purge is marked stale and does not store
// its tile (see tile_lock.hpp). What was stored without a lock (the centroid
// document; a miss while Redis was slow; every miss with coalescing off) is
// registered, and what of it a change addresses is purged a second time
// `settle` later, when every generation that began before the commit has
// ended (statements are bounded by their deadlines).
// A row leaves the log only after its second purge succeeded; until then a
// failure (Redis or the database unreachable, the process killed) leaves it
// for the next attempt, by this process or by the one that takes the lock.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "routers/vectile/changes_keys.hpp"

namespace vectile {

class service;

struct changes_options {
    std::string database_url;                         // the primary: NOTIFY does not reach standbys
    std::chrono::milliseconds poll{2000};             // read the log at least this often
    std::chrono::milliseconds settle{35000};          // the second purge comes this long after the first
    std::chrono::milliseconds lock_retry{2000};       // a process that is not the consumer tries the lock this often
    std::chrono::milliseconds absent_retry{5000};     // with no log installed, look again this often
    std::uint64_t scan_threshold = 4096;              // more keys than this at one zoom: scan that zoom instead
    std::size_t remake_limit = 16;                    // hot tiles remade in place per pass (0: all deleted)
};

// The key of the advisory lock the consumer holds.
inline constexpr std::int64_t changes_lock_key = 0x6769736463686e67;  // "gisdchng"

// What one purge did.
struct purge_outcome {
    std::uint64_t deleted = 0;  // keys that existed and were deleted or remade
    std::uint64_t remade = 0;   // of those, remade in place
    std::chrono::steady_clock::duration remaking{};  // spent remaking
};

enum class purge_scope {
    everything,  // the first purge
    lockless     // the second: only what was stored without a lock (see lockless_registry)
};

// Deletes what `changes` address; of the tiles this worker holds copies of
// (read within the copies' age), up to `remake_limit` are made again and
// stored over their old bytes instead. Throws redis::error: nothing is then
// known to be deleted and the caller retries the whole batch.
boost::asio::awaitable<purge_outcome> purge_changes(service& svc, std::vector<recorded_change> changes, std::uint64_t scan_threshold,
                                                    purge_scope scope = purge_scope::everything, std::size_t remake_limit = 0);

// Registers the bounding-box tiles found in the cache (see bbox_registry),
// which a process that did not register them may have stored; how many.
// Throws redis::error.
boost::asio::awaitable<std::uint64_t> register_stored_bbox_tiles(service& svc);

// Deletes every cached key matching `pattern` (the full key, namespace
// included) and marks the generations in flight for such keys stale, as a
// change's purge does; the number of keys deleted. Throws redis::error.
boost::asio::awaitable<std::uint64_t> purge_matching(service& svc, std::string pattern);

// A purged change as sent to open browsers: {"id":..,"layer":..,"bbox":[w,s,e,n]}
// (degrees), or {"id":..,"layer":..,"whole":true}; after the second purge with
// "settled":true, so that a browser fetches again what it may have read in between.
std::string change_event_json(const recorded_change& change, bool settled = false);

class changes_consumer {
public:
    changes_consumer(service& svc, changes_options options);
    // Stops the follower; a wait still pending finds it stopped.
    ~changes_consumer();
    changes_consumer(const changes_consumer&) = delete;
    changes_consumer& operator=(const changes_consumer&) = delete;

    // Starts following on the service's loop; returns at once.
    void start();

    // Called on the loop with each purged change's event (change_event_json),
    // in every process that follows, consumer or not.
    void on_purged(std::function<void(const std::string&)> listener);

    bool is_consumer() const;

    struct state;

private:
    std::shared_ptr<state> m_state;
};

}  // namespace vectile
