#pragma once

#include <spdlog/logger.h>

namespace plots::detail {

// The module's logger: the host's application logger, obtained once on first
// use and shared by every thread afterwards.
spdlog::logger& module_logger();

}  // namespace plots::detail
