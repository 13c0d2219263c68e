#pragma once
// One command's wait for its reply, and hiredis's replies turned into ours.

#include <string>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/steady_timer.hpp>
#include <hiredis/async.h>
#include <hiredis/hiredis.h>

#include "redis/connection.hpp"

namespace redis::detail {

// One command waiting for its reply. The timer is both the wake-up signal and
// the socket time-out.
struct pending {
    explicit pending(boost::asio::any_io_executor ex) : timer(ex) {}
    boost::asio::steady_timer timer;
    bool done = false;
    std::string error;
    reply result;
};

// A copy of hiredis's reply (nested arrays included).
reply convert(const redisReply* r);

// hiredis's reply callback: `privdata` is a heap std::shared_ptr<pending>,
// freed here; the pending's timer is cancelled to wake its waiter.
void on_reply(redisAsyncContext* c, void* r, void* privdata);

}  // namespace redis::detail
