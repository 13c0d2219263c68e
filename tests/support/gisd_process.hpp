#pragma once
// The built gisd binary as a child process.

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "support/child_process.hpp"

namespace test_support {

// The path of the gisd binary this test program was built with.
const char* gisd_path();

// The environment gisd gets by default: this process's, without the Redis
// variables and DATABASE_URL, so that each test states what it depends on.
std::map<std::string, std::optional<std::string>> clean_gisd_env();

class gisd_process {
public:
    // Starts gisd with `args` (after the program name) and `env` applied on
    // top of clean_gisd_env(). Listens on a port the kernel picks unless the
    // arguments name one.
    explicit gisd_process(std::vector<std::string> args = {}, std::map<std::string, std::optional<std::string>> env = {});

    // Waits for the "listening" line; returns the port it names, or nothing
    // when it does not come within `limit` (or the process ended).
    std::optional<std::uint16_t> wait_listening(std::chrono::steady_clock::duration limit = std::chrono::seconds(10));

    // Sends SIGTERM and waits for the exit; the status as from waitpid, or
    // nothing when the process is still running after `limit`.
    std::optional<int> stop(std::chrono::steady_clock::duration limit = std::chrono::seconds(10));

    // The lines written to standard output so far, without line ends.
    std::vector<std::string> out_lines() const;

    child_process& process() noexcept { return m_process; }

private:
    child_process m_process;
};

}  // namespace test_support
