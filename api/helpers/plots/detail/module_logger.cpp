#include "detail/module_logger.hpp"

#include "logger/logger.hpp"

namespace plots::detail {

spdlog::logger& module_logger() {
    // Held for the life of the process; spdlog loggers are thread-safe.
    static const std::shared_ptr<spdlog::logger> logger = logger::get_logger();
    return *logger;
}

}  // namespace plots::detail
