#pragma once
// A private redis-server child on a free loopback port, which a test can
// stop and start again on the same port (failure injection).

#include <sys/types.h>

#include <cstdint>
#include <memory>

#include "support/child_process.hpp"

namespace test_support {

// A TCP port on 127.0.0.1 that is free right now.
std::uint16_t free_port();

class redis_child {
public:
    // Picks a free port and starts the server (waits until it answers PING).
    redis_child();
    ~redis_child();
    redis_child(const redis_child&) = delete;
    redis_child& operator=(const redis_child&) = delete;

    std::uint16_t port() const noexcept { return m_port; }
    // The child's pid while it runs, -1 when stopped.
    pid_t pid() const noexcept { return m_process ? m_process->pid() : -1; }
    bool running() const noexcept { return m_process != nullptr; }

    // Starts the server on the same port; waits until it answers PING.
    void start();
    // Stops the server (SIGTERM, then SIGKILL) and waits until it has exited.
    void stop();

private:
    std::uint16_t m_port;
    std::unique_ptr<child_process> m_process;
};

// True when a Redis server at 127.0.0.1:`port` answers PING with PONG.
bool redis_answers_ping(std::uint16_t port);

}  // namespace test_support
