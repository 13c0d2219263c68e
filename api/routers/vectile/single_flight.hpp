#pragma once
// Concurrent misses of one cache key inside a worker share one generation:
// the first starts it, later ones join, and every one receives the same
// bytes, the same empty answer or the same error.

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

#include <boost/asio/awaitable.hpp>

namespace vectile {

class single_flight {
public:
    using bytes = std::shared_ptr<const std::string>;

    single_flight();
    single_flight(const single_flight&) = delete;
    single_flight& operator=(const single_flight&) = delete;

    // Waits for the generation of `key`: the one in flight, or `work` started
    // on the caller's executor when none is (otherwise `work` is dropped
    // unstarted, at once). Gives its bytes (null for an empty tile) or rethrows its
    // error. A caller that is cancelled leaves at once with the cancellation;
    // the generation is cancelled only when its last waiter has left, and a
    // later caller then starts a new one. `work` must own what it uses: it
    // may outlive every caller.
    boost::asio::awaitable<bytes> join(std::string key, boost::asio::awaitable<bytes> work);

    // Later callers for `key` start a generation of their own: the one in
    // flight may have read the database before an edit whose purge just
    // reached this process. Its callers still receive its outcome.
    void forget(std::string_view key);
    void forget_all();

    // Keys being generated now.
    std::size_t in_flight() const;
    bool in_flight(const std::string& key) const;

    struct flight;
    using table = std::unordered_map<std::string, std::shared_ptr<flight>>;

private:
    // Shared with the flights' completions, which may come after this object is gone.
    std::shared_ptr<table> m_flights;
};

}  // namespace vectile
