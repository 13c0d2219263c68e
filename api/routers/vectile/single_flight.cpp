#include "routers/vectile/single_flight.hpp"

#include <exception>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>

namespace vectile {

namespace asio = boost::asio;

struct single_flight::flight {
    explicit flight(asio::any_io_executor ex) : done(ex, asio::steady_timer::time_point::max()) {}
    asio::steady_timer done;  // cancelled when the generation has ended: wakes every waiter
    asio::cancellation_signal cancel;
    int waiters = 0;
    bool finished = false;
    bytes value;
    std::exception_ptr failure;
};

namespace {

// Counts one waiter for as long as it waits, however it stops.
struct waiting {
    waiting(std::shared_ptr<single_flight::table> flights, std::string key, std::shared_ptr<single_flight::flight> f)
        : flights(std::move(flights)), key(std::move(key)), f(std::move(f)) {
        ++this->f->waiters;
    }
    ~waiting() {
        if (--f->waiters > 0 || f->finished) return;
        // Nobody wants the tile any more: a new request starts afresh rather
        // than joining a generation that is being cancelled.
        if (auto it = flights->find(key); it != flights->end() && it->second == f) flights->erase(it);
        f->cancel.emit(asio::cancellation_type::all);
    }
    std::shared_ptr<single_flight::table> flights;
    std::string key;
    std::shared_ptr<single_flight::flight> f;
};

}  // namespace

single_flight::single_flight() : m_flights(std::make_shared<table>()) {}

std::size_t single_flight::in_flight() const { return m_flights->size(); }

bool single_flight::in_flight(const std::string& key) const { return m_flights->contains(key); }

void single_flight::forget(std::string_view key) {
    // The flight's completion erases only its own entry: a forgotten flight leaves the table alone.
    if (auto it = m_flights->find(std::string(key)); it != m_flights->end()) m_flights->erase(it);
}

void single_flight::forget_all() { m_flights->clear(); }

asio::awaitable<single_flight::bytes> single_flight::join(std::string key, asio::awaitable<bytes> work) {
    std::shared_ptr<flight> f;
    if (auto it = m_flights->find(key); it != m_flights->end()) {
        f = it->second;
        // Dropped now, not when this caller's wait ends: what it owns (a lock
        // its request took) would otherwise stall the flight it joins.
        auto unstarted = std::move(work);
    } else {
        auto ex = co_await asio::this_coro::executor;
        f = std::make_shared<flight>(ex);
        m_flights->emplace(key, f);
        asio::co_spawn(ex, std::move(work),
                       asio::bind_cancellation_slot(f->cancel.slot(), [flights = m_flights, key, f](std::exception_ptr e, bytes v) {
                           f->finished = true;
                           f->value = std::move(v);
                           f->failure = e;
                           if (auto it = flights->find(key); it != flights->end() && it->second == f) flights->erase(it);
                           f->done.cancel();
                       }));
    }
    waiting w(m_flights, std::move(key), f);
    while (!f->finished) {
        // The end of the generation cancels the timer: an ordinary outcome, read as a value.
        auto [ec] = co_await f->done.async_wait(asio::as_tuple(asio::use_awaitable));
        // Cancelled and not finished: this caller's own cancellation.
        if (ec && !f->finished) throw boost::system::system_error(ec);
    }
    if (f->failure) std::rethrow_exception(f->failure);
    co_return f->value;
}

}  // namespace vectile
