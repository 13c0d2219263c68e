#include "support/gisd_process.hpp"

#include <algorithm>
#include <csignal>
#include <sstream>

namespace test_support {

const char* gisd_path() { return GISD_PATH; }

std::map<std::string, std::optional<std::string>> clean_gisd_env() {
    return {{"REDIS_HOST", std::nullopt}, {"REDIS_PORT", std::nullopt}, {"REDIS_DB", std::nullopt}, {"DATABASE_URL", std::nullopt}};
}

namespace {

child_options gisd_options(std::vector<std::string> args, std::map<std::string, std::optional<std::string>> env) {
    child_options opts;
    opts.args.push_back(gisd_path());
    bool has_port = std::find(args.begin(), args.end(), "--port") != args.end();
    bool has_host = std::find(args.begin(), args.end(), "--host") != args.end();
    for (auto& a : args) opts.args.push_back(std::move(a));
    if (!has_port) {
        opts.args.push_back("--port");
        opts.args.push_back("0");
    }
    if (!has_host) {
        opts.args.push_back("--host");
        opts.args.push_back("127.0.0.1");
    }
    opts.env = clean_gisd_env();
    for (auto& [k, v] : env) opts.env[k] = v;
    return opts;
}

}  // namespace

gisd_process::gisd_process(std::vector<std::string> args, std::map<std::string, std::optional<std::string>> env)
    : m_process(gisd_options(std::move(args), std::move(env))) {}

std::optional<std::uint16_t> gisd_process::wait_listening(std::chrono::steady_clock::duration limit) {
    const std::string marker = "listening on http://";
    // The whole line, "gisd: listening on http://HOST:PORT (pid N)", is written at once.
    if (!m_process.wait_for_out(marker, limit) || !m_process.wait_for_out(" (pid ", limit)) return std::nullopt;
    const std::string out = m_process.out();
    auto at = out.find(marker) + marker.size();
    auto eol = out.find('\n', at);
    auto line = out.substr(at, eol - at);
    auto colon = line.rfind(':');
    if (colon == std::string::npos) return std::nullopt;
    try {
        return static_cast<std::uint16_t>(std::stoi(line.substr(colon + 1)));
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::optional<int> gisd_process::stop(std::chrono::steady_clock::duration limit) {
    m_process.signal(SIGTERM);
    return m_process.wait(limit);
}

std::vector<std::string> gisd_process::out_lines() const {
    std::vector<std::string> lines;
    std::istringstream in(m_process.out());
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

}  // namespace test_support
