#include "support/run.hpp"

namespace test_support {

void run_until(asio::io_context& ioc, const bool& done, std::chrono::steady_clock::duration limit) {
    ioc.restart();
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done) {
        auto now = std::chrono::steady_clock::now();
        if (now >= deadline) throw std::runtime_error("the awaited operation did not finish in time");
        if (ioc.run_one_for(deadline - now) == 0 && ioc.stopped() && !done) {
            throw std::runtime_error("the io_context ran out of work before the operation finished");
        }
    }
}

void run_for(asio::io_context& ioc, std::chrono::steady_clock::duration duration) {
    ioc.restart();
    ioc.run_for(duration);
}

}  // namespace test_support
