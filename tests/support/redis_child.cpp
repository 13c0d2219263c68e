#include "support/redis_child.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>

namespace test_support {

std::uint16_t free_port() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error("socket failed");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        ::close(fd);
        throw std::runtime_error("cannot find a free port");
    }
    ::close(fd);
    return ntohs(addr.sin_port);
}

bool redis_answers_ping(std::uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    bool ok = false;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        const char ping[] = "PING\r\n";
        if (::send(fd, ping, sizeof ping - 1, MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof ping - 1)) {
            pollfd pfd{fd, POLLIN, 0};
            char buf[16] = {};
            if (::poll(&pfd, 1, 1000) > 0 && ::recv(fd, buf, sizeof buf - 1, 0) > 0) {
                ok = std::strncmp(buf, "+PONG", 5) == 0;
            }
        }
    }
    ::close(fd);
    return ok;
}

redis_child::redis_child() : m_port(free_port()) { start(); }

redis_child::~redis_child() {
    try {
        stop();
    } catch (...) {
    }
}

void redis_child::start() {
    if (m_process) return;
    child_options opts;
    opts.args = {"/usr/bin/redis-server", "--port", std::to_string(m_port), "--bind", "127.0.0.1", "--save", "", "--appendonly", "no"};
    opts.capture_output = false;
    m_process = std::make_unique<child_process>(std::move(opts));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!redis_answers_ping(m_port)) {
        if (!m_process->running()) {
            m_process.reset();
            throw std::runtime_error("redis-server exited at start on port " + std::to_string(m_port));
        }
        if (std::chrono::steady_clock::now() > deadline) {
            m_process.reset();
            throw std::runtime_error("redis-server did not answer PING on port " + std::to_string(m_port));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void redis_child::stop() {
    if (!m_process) return;
    m_process->signal(SIGTERM);
    if (!m_process->wait(std::chrono::seconds(5))) {
        m_process->signal(SIGKILL);
        m_process->wait(std::chrono::seconds(5));
    }
    m_process.reset();
}

}  // namespace test_support
