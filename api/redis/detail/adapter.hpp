#pragma once
// hiredis's event-loop hooks on Asio: the five tiny hooks (add/del read,
// add/del write, cleanup) of a redisAsyncContext, on the loop's executor.

#include <boost/asio/any_io_executor.hpp>
#include <hiredis/async.h>

namespace redis::detail {

// Attaches the hooks to `ac`: its socket is watched on `ex` from now on. The
// socket stays hiredis's: it is released, never closed, when hiredis cleans
// up, and waits still pending then find the hooks' state alive.
void attach_adapter(boost::asio::any_io_executor ex, redisAsyncContext* ac);

}  // namespace redis::detail
