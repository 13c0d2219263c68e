#pragma once
// Process logging for the host and the libraries it loads.
//
// Every logger writes through one shared distribution sink, so a test (or a
// host that wants another destination) can attach a sink once and see the
// lines of every module. Lines go to stderr and are flushed one by one,
// because supervisors read them through pipes.

#include <memory>
#include <string>
#include <string_view>

#include <spdlog/logger.h>
#include <spdlog/sinks/sink.h>

namespace logger {

// Configures process-wide logging with the given minimum level, unless logging
// has been configured already (then the earlier set-up stands and false is
// returned). Safe to call from several modules' load steps.
bool configure_logging(spdlog::level::level_enum level = spdlog::level::info);

// Returns the host's application logger, the one that `plots` writes to.
std::shared_ptr<spdlog::logger> get_logger();

// Returns the logger named `name`, creating it on first use. All loggers share
// the process sinks and the configured level.
std::shared_ptr<spdlog::logger> get_logger(std::string_view name);

// Adds or removes an extra sink on every logger (used by tests to read lines).
void add_sink(std::shared_ptr<spdlog::sinks::sink> sink);
void remove_sink(const std::shared_ptr<spdlog::sinks::sink>& sink);

}  // namespace logger
