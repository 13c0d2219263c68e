#include "support/log_capture.hpp"

#include "logger/logger.hpp"

namespace test_support {

log_capture::log_capture() : m_sink(std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(10000)) { logger::add_sink(m_sink); }

log_capture::~log_capture() { logger::remove_sink(m_sink); }

std::vector<std::string> log_capture::lines() const {
    auto out = m_sink->last_formatted();
    for (auto& line : out) {
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    }
    return out;
}

std::vector<std::string> log_capture::lines_starting(const std::string& prefix) const {
    std::vector<std::string> out;
    for (auto& line : lines()) {
        if (line.starts_with(prefix)) out.push_back(line);
    }
    return out;
}

}  // namespace test_support
