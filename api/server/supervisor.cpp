#include "server/supervisor.hpp"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "logger/logger.hpp"
#include "metrics/metrics.hpp"

namespace server {

namespace {

using clock = std::chrono::steady_clock;

// Read by the signal handler: fixed storage, never resized while it may run.
constexpr int max_workers = 256;
volatile pid_t g_children[max_workers] = {};
volatile std::sig_atomic_t g_stopping = 0;

void forward_signal(int sig) {
    g_stopping = 1;
    for (int i = 0; i < max_workers; ++i) {
        if (g_children[i] > 0) ::kill(g_children[i], sig);
    }
}

struct slot {
    pid_t pid = -1;
    int ready_fd = -1;  // the worker writes one byte here once it serves
    clock::time_point started;
    int quick_deaths = 0;  // in a row, each within seconds of its start
};

sigset_t stop_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

// Forks one worker into `s`; false when fork fails.
bool start(slot& s, int index, const worker_main& worker) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return false;
    pid_t pid = ::fork();
    if (pid < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        return false;
    }
    if (pid == 0) {
        ::close(fds[0]);
        metrics::enter_worker(index);
        // The parent's forwarding handler may be inherited (a restart): it
        // would only forward a stop. The stop signals stay blocked until the
        // worker's own handler is in place, when it says it serves; one sent
        // meanwhile waits and then stops it.
        std::signal(SIGINT, SIG_DFL);
        std::signal(SIGTERM, SIG_DFL);
        const int ready = fds[1];
        std::_Exit(worker([ready] {
            sigset_t stops = stop_signals();
            ::sigprocmask(SIG_UNBLOCK, &stops, nullptr);
            ssize_t ignored = ::write(ready, "1", 1);
            (void)ignored;
            ::close(ready);
        }));
    }
    ::close(fds[1]);
    ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
    s.pid = pid;
    s.ready_fd = fds[0];
    s.started = clock::now();
    g_children[index] = pid;
    return true;
}

// Whether the worker said it was serving; closes its pipe.
bool was_serving(slot& s) {
    char byte = 0;
    const bool serving = ::read(s.ready_fd, &byte, 1) == 1;
    ::close(s.ready_fd);
    s.ready_fd = -1;
    return serving;
}

std::string how_it_ended(int status) {
    if (WIFSIGNALED(status)) return "ended by signal " + std::to_string(WTERMSIG(status)) + " (" + ::strsignal(WTERMSIG(status)) + ")";
    return "exited with status " + std::to_string(WEXITSTATUS(status));
}

}  // namespace

int supervise(int workers, const worker_main& worker) {
    workers = std::clamp(workers, 1, max_workers);
    // Signals wait until the forwarding handler is in place; a worker
    // unblocks them once its own handler is in place.
    sigset_t set = stop_signals();
    ::sigprocmask(SIG_BLOCK, &set, nullptr);
    std::vector<slot> slots(static_cast<std::size_t>(workers));
    int code = 0;
    for (int i = 0; i < workers; ++i) {
        if (!start(slots[static_cast<std::size_t>(i)], i, worker)) {
            std::perror("gisd: fork");
            code = 1;
            forward_signal(SIGTERM);
            break;
        }
    }
    struct sigaction sa {};
    sa.sa_handler = forward_signal;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigprocmask(SIG_UNBLOCK, &set, nullptr);

    auto running = [&] { return std::count_if(slots.begin(), slots.end(), [](const slot& s) { return s.pid > 0; }); };
    while (running() > 0) {
        int status = 0;
        pid_t pid = ::waitpid(-1, &status, 0);
        if (pid < 0) {
            if (errno == EINTR) continue;
            break;
        }
        auto it = std::find_if(slots.begin(), slots.end(), [pid](const slot& s) { return s.pid == pid; });
        if (it == slots.end()) continue;
        const int index = static_cast<int>(it - slots.begin());
        g_children[index] = 0;
        it->pid = -1;
        metrics::clear_worker(index);
        const bool serving = was_serving(*it);
        const bool clean = WIFEXITED(status) && WEXITSTATUS(status) == 0;
        if (g_stopping) {
            if (!clean && code == 0) code = WIFEXITED(status) ? WEXITSTATUS(status) : 1;
            continue;
        }
        if (!serving) {
            // It never served: the same would happen to a new one.
            if (code == 0) code = clean ? 1 : (WIFEXITED(status) ? WEXITSTATUS(status) : 1);
            forward_signal(SIGTERM);
            continue;
        }
        const bool quick = clock::now() - it->started < std::chrono::seconds(10);
        it->quick_deaths = quick ? it->quick_deaths + 1 : 0;
        const auto pause = it->quick_deaths > 1 ? std::chrono::seconds(std::min(30, 1 << std::min(it->quick_deaths - 2, 5)))
                                                : std::chrono::seconds(0);
        logger::get_logger()->error("gisd: worker {} {}; starting another{}", pid, how_it_ended(status),
                                    pause.count() > 0 ? " in " + std::to_string(pause.count()) + " s" : std::string());
        const auto resume_at = clock::now() + pause;
        while (!g_stopping && clock::now() < resume_at) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (g_stopping) continue;
        ::sigprocmask(SIG_BLOCK, &set, nullptr);
        const bool started = start(*it, index, worker);
        ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
        if (!started) {
            std::perror("gisd: fork");
            if (code == 0) code = 1;
            forward_signal(SIGTERM);
        }
    }
    return code;
}

}  // namespace server
