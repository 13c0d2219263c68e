#include "logger/logger.hpp"

#include <mutex>

#include <spdlog/sinks/dist_sink.h>
#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>

namespace logger {
namespace {

struct logging_state {
    std::mutex mutex;
    std::shared_ptr<spdlog::sinks::dist_sink_mt> sinks = std::make_shared<spdlog::sinks::dist_sink_mt>();
    bool configured = false;
    spdlog::level::level_enum level = spdlog::level::info;
};

// One instance for the process; created on first use so that load order of the
// shared libraries does not matter.
logging_state& state() {
    static logging_state* s = [] {
        auto* st = new logging_state;
        st->sinks->add_sink(std::make_shared<spdlog::sinks::stderr_sink_mt>());
        st->sinks->set_pattern("%Y-%m-%d %H:%M:%S.%e %l [%n] %v");
        return st;
    }();
    return *s;
}

}  // namespace

bool configure_logging(spdlog::level::level_enum level) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    if (s.configured) {
        return false;
    }
    s.configured = true;
    s.level = level;
    spdlog::apply_all([level](const std::shared_ptr<spdlog::logger>& l) { l->set_level(level); });
    return true;
}

std::shared_ptr<spdlog::logger> get_logger() { return get_logger("api"); }

std::shared_ptr<spdlog::logger> get_logger(std::string_view name) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    std::string key(name);
    if (auto existing = spdlog::get(key)) {
        return existing;
    }
    auto created = std::make_shared<spdlog::logger>(key, s.sinks);
    created->set_level(s.level);
    created->flush_on(spdlog::level::trace);
    spdlog::register_logger(created);
    return created;
}

void add_sink(std::shared_ptr<spdlog::sinks::sink> sink) {
    sink->set_pattern("%l [%n] %v");
    state().sinks->add_sink(std::move(sink));
}

void remove_sink(const std::shared_ptr<spdlog::sinks::sink>& sink) { state().sinks->remove_sink(sink); }

}  // namespace logger
