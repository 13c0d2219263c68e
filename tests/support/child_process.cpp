#include "support/child_process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace test_support {

child_process::child_process(child_options options) {
    if (options.args.empty()) throw std::runtime_error("child_process: no program given");

    std::map<std::string, std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string entry(*e);
        auto eq = entry.find('=');
        if (eq != std::string::npos) env[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    for (const auto& [name, value] : options.env) {
        if (value) {
            env[name] = *value;
        } else {
            env.erase(name);
        }
    }
    std::vector<std::string> env_storage;
    for (const auto& [name, value] : env) env_storage.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (auto& s : env_storage) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<char*> argv;
    for (auto& a : options.args) argv.push_back(a.data());
    argv.push_back(nullptr);

    int out_pipe[2] = {-1, -1}, err_pipe[2] = {-1, -1};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (options.capture_output) {
        if (::pipe2(out_pipe, O_CLOEXEC) != 0 || ::pipe2(err_pipe, O_CLOEXEC) != 0) {
            throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
        }
        posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
    } else {
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    }
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    // The child starts with default signal dispositions and an empty mask,
    // whatever the test process has set up.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    int rc = ::posix_spawn(&m_pid, argv[0], &actions, &attr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (options.capture_output) {
        ::close(out_pipe[1]);
        ::close(err_pipe[1]);
    }
    if (rc != 0) {
        if (options.capture_output) {
            ::close(out_pipe[0]);
            ::close(err_pipe[0]);
        }
        throw std::runtime_error("cannot start " + options.args[0] + ": " + std::strerror(rc));
    }
    if (options.capture_output) {
        m_out_reader = std::thread([this, fd = out_pipe[0]] { read_pipe(fd, m_out, m_out_closed); });
        m_err_reader = std::thread([this, fd = err_pipe[0]] { read_pipe(fd, m_err, m_err_closed); });
    } else {
        m_out_closed = m_err_closed = true;
    }
}

child_process::~child_process() {
    if (!m_status) {
        ::kill(m_pid, SIGKILL);
        int status = 0;
        while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    if (m_out_reader.joinable()) m_out_reader.join();
    if (m_err_reader.joinable()) m_err_reader.join();
}

void child_process::read_pipe(int fd, std::string& into, bool& closed) {
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        std::lock_guard lock(m_mutex);
        into.append(buf, static_cast<std::size_t>(n));
        m_changed.notify_all();
    }
    ::close(fd);
    std::lock_guard lock(m_mutex);
    closed = true;
    m_changed.notify_all();
}

void child_process::signal(int sig) const {
    if (::kill(m_pid, sig) != 0) throw std::runtime_error(std::string("kill: ") + std::strerror(errno));
}

std::optional<int> child_process::wait(std::chrono::steady_clock::duration limit) {
    if (m_status) return m_status;
    auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        int status = 0;
        pid_t r = ::waitpid(m_pid, &status, WNOHANG);
        if (r == m_pid) {
            m_status = status;
            // The output is complete once the child has gone (unless it left
            // a grandchild holding the pipes, which our children do not).
            if (m_out_reader.joinable()) m_out_reader.join();
            if (m_err_reader.joinable()) m_err_reader.join();
            return m_status;
        }
        if (r < 0 && errno != EINTR) throw std::runtime_error(std::string("waitpid: ") + std::strerror(errno));
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

bool child_process::running() { return !wait(std::chrono::seconds(0)).has_value(); }

std::string child_process::out() const {
    std::lock_guard lock(m_mutex);
    return m_out;
}

std::string child_process::err() const {
    std::lock_guard lock(m_mutex);
    return m_err;
}

bool child_process::wait_for_out(const std::string& text, std::chrono::steady_clock::duration limit) const {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, limit, [&] { return m_out.find(text) != std::string::npos || m_out_closed; }) &&
           m_out.find(text) != std::string::npos;
}

}  // namespace test_support
