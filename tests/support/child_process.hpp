#pragma once
// A child process started with given arguments and environment, whose
// standard output and error are collected by background threads.

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace test_support {

struct child_options {
    std::vector<std::string> args;  // args[0] is the program path
    // Changes to this process's environment: a value sets the variable, nullopt removes it.
    std::map<std::string, std::optional<std::string>> env;
    bool capture_output = true;  // false: output goes to /dev/null
};

class child_process {
public:
    // Starts the program; throws std::runtime_error when it cannot be started.
    explicit child_process(child_options options);
    // Kills (SIGKILL) and reaps the child if it is still running.
    ~child_process();
    child_process(const child_process&) = delete;
    child_process& operator=(const child_process&) = delete;

    pid_t pid() const noexcept { return m_pid; }
    void signal(int sig) const;

    // The exit status as from waitpid (use WIFEXITED etc.), or nothing if the
    // child is still running after `limit`.
    std::optional<int> wait(std::chrono::steady_clock::duration limit);
    bool running();

    // Output so far.
    std::string out() const;
    std::string err() const;
    // Waits until the standard output contains `text` (true) or `limit` passes
    // or the output ends (false).
    bool wait_for_out(const std::string& text, std::chrono::steady_clock::duration limit) const;

private:
    void read_pipe(int fd, std::string& into, bool& closed);

    pid_t m_pid = -1;
    std::optional<int> m_status;
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    std::string m_out, m_err;
    bool m_out_closed = false, m_err_closed = false;
    std::thread m_out_reader, m_err_reader;
};

}  // namespace test_support
