#include "support/black_hole.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace test_support {

black_hole::black_hole() {
    m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_listener < 0) throw std::runtime_error("black_hole: socket failed");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(m_listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(m_listener, 128) != 0 ||
        ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0 || ::pipe2(m_wake, O_CLOEXEC) != 0) {
        ::close(m_listener);
        throw std::runtime_error("black_hole: cannot listen");
    }
    m_port = ntohs(addr.sin_port);
    m_thread = std::thread([this] { accept_loop(); });
}

black_hole::~black_hole() {
    char byte = 0;
    [[maybe_unused]] auto n = ::write(m_wake[1], &byte, 1);
    m_thread.join();
    for (int fd : m_connections) ::close(fd);
    ::close(m_listener);
    ::close(m_wake[0]);
    ::close(m_wake[1]);
}

void black_hole::accept_loop() {
    for (;;) {
        pollfd fds[2] = {{m_listener, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) continue;
        if (fds[1].revents != 0) return;
        if (fds[0].revents & POLLIN) {
            int fd = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                // Holding the connection open, unread, is the whole point.
                m_connections.push_back(fd);
                ++m_accepted;
            }
        }
    }
}

}  // namespace test_support
