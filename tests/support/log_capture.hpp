#pragma once
// Captures the lines that every logger of the process writes while the
// capture exists, formatted "LEVEL [LOGGER] MESSAGE" (e.g.
// "warning [vectile] Cache get failed for k: ").

#include <memory>
#include <string>
#include <vector>

#include <spdlog/sinks/ringbuffer_sink.h>

namespace test_support {

class log_capture {
public:
    log_capture();
    ~log_capture();
    log_capture(const log_capture&) = delete;
    log_capture& operator=(const log_capture&) = delete;

    // Every captured line, oldest first, without the line end.
    std::vector<std::string> lines() const;
    // The captured lines that start with `prefix`.
    std::vector<std::string> lines_starting(const std::string& prefix) const;

private:
    std::shared_ptr<spdlog::sinks::ringbuffer_sink_mt> m_sink;
};

}  // namespace test_support
