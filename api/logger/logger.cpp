#include "logger/logger.hpp"

#include <mutex>
#include <string>
#include <string_view>

#include <spdlog/sinks/dist_sink.h>
#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>

namespace logger {
namespace {

// Every record is one line, whatever its text holds: libpq's and other
// libraries' messages span several, and supervisors read the log by lines.
class one_line_sinks : public spdlog::sinks::dist_sink_mt {
protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
        std::string_view text(msg.payload.data(), msg.payload.size());
        if (text.find_first_of("\r\n") == std::string_view::npos) return spdlog::sinks::dist_sink_mt::sink_it_(msg);
        std::string escaped;
        escaped.reserve(text.size() + 8);
        for (char c : text) {
            if (c == '\n') {
                escaped += "\\n";
            } else if (c == '\r') {
                escaped += "\\r";
            } else {
                escaped += c;
            }
        }
        spdlog::details::log_msg one_line = msg;
        one_line.payload = escaped;
        spdlog::sinks::dist_sink_mt::sink_it_(one_line);
    }
};

struct logging_state {
    std::mutex mutex;
    std::shared_ptr<spdlog::sinks::dist_sink_mt> sinks = std::make_shared<one_line_sinks>();
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
