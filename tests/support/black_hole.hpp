#pragma once
// A TCP listener on a free loopback port that accepts every connection and
// never sends a byte: a server that hangs (failure injection).

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

namespace test_support {

class black_hole {
public:
    black_hole();
    // Closes the listener and every accepted connection.
    ~black_hole();
    black_hole(const black_hole&) = delete;
    black_hole& operator=(const black_hole&) = delete;

    std::uint16_t port() const noexcept { return m_port; }
    // Connections accepted so far.
    int accepted() const noexcept { return m_accepted.load(); }

private:
    void accept_loop();

    int m_listener = -1;
    int m_wake[2] = {-1, -1};
    std::uint16_t m_port = 0;
    std::atomic<int> m_accepted{0};
    std::vector<int> m_connections;  // touched only by the accepting thread, then by the destructor
    std::thread m_thread;
};

}  // namespace test_support
