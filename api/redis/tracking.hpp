#pragma once
// Server-assisted invalidation: one dedicated connection on which the Redis
// server reports every change of a key under a prefix (set, delete, expiry,
// flush), so that a process may keep copies of those keys in memory.
//
// The copies are only as good as the feed. While it is not known to be live
// (not yet connected, or lost), `live()` is false and the owner must neither
// keep nor use copies; every loss is reported as "everything changed".
// With a sentinel in the options, the feed is opened to the primary it names
// (checked with ROLE) and is lost, and opened again at once, when the
// sentinels announce another primary.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <boost/asio/any_io_executor.hpp>

#include "redis/connection.hpp"

namespace redis {

class tracking_impl;

class tracking {
public:
    // Called with a key that changed, or with nothing when any key may have
    // changed (a flush, or the feed was lost or has just begun).
    using callback = std::function<void(std::optional<std::string_view> key)>;

    // With a `channel`, a key published there is reported as changed too:
    // what the server's own reports cannot tell (a key about to change).
    tracking(asio::any_io_executor executor, options opts, std::string prefix, callback on_change, std::string channel = {});
    ~tracking();
    tracking(const tracking&) = delete;
    tracking& operator=(const tracking&) = delete;

    // Takes in what the server has already sent (without waiting), then tells
    // whether the feed is live. The server may write a report a moment after
    // it answers the client that made the change, so a change is seen within
    // that moment, not strictly before that client hears back. When the feed
    // is down, a new connection is started (after a failed attempt, a pause of
    // one second, doubling up to 30 s) and the answer is false.
    bool live();

private:
    std::shared_ptr<tracking_impl> m_impl;
};

}  // namespace redis
