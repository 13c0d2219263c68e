#pragma once
// Dropping cached entries by Redis key pattern: one layer's XYZ tiles, a
// caller's pattern, or everything under the cache namespace.

#include <cstdint>
#include <string>

#include <boost/asio/awaitable.hpp>

#include "common/response.hpp"

namespace vectile {

class service;

// Deletes every key matching `pattern` (the full key, namespace included);
// the count. Redis failures propagate as redis::error.
boost::asio::awaitable<std::int64_t> scan_and_delete(service& svc, const std::string& pattern);

// Workers: SCAN ... MATCH pattern COUNT 100, then DEL for each key returned,
// one at a time; then the generations in flight for such keys are marked so
// that they do not store their tiles (see purge_matching). Each returns the number of keys deleted, or 0 after a
// failure (logged at ERROR; keys deleted before it stay deleted). A cancelled
// worker logs nothing and passes the cancellation on.
boost::asio::awaitable<std::int64_t> _invalidate_layer_cache_task(service& svc, std::string layer_name);
boost::asio::awaitable<std::int64_t> _invalidate_all_cache_task(service& svc);
boost::asio::awaitable<std::int64_t> _invalidate_cache_by_pattern_task(service& svc, std::string pattern);

// Scheduling for the host application: start the worker on the service's
// loop without waiting for it, so the caller answers at once. Must be called
// from the service's loop thread; elsewhere std::logic_error is thrown and
// nothing is scheduled.
void invalidate_layer_cache(service& svc, const std::string& layer_name);
void invalidate_all_cache(service& svc);
void invalidate_cache_by_pattern(service& svc, const std::string& pattern);

// POST /gis/cache/invalidate/{layer_name}: deletes the layer's tiles ("all":
// every key of the namespace) before answering, with the count deleted.
// Throws common::not_found for an unknown layer.
boost::asio::awaitable<common::response> invalidate_cache_endpoint(service& svc, std::string layer_name);

}  // namespace vectile
