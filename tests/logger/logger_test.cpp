// Log records as supervisors read them: one line each.

#include "logger/logger.hpp"

#include <gtest/gtest.h>

#include "support/log_capture.hpp"

namespace {

TEST(logger, every_record_is_one_line) {
    struct row {
        const char* text;
        const char* line;
    };
    const row table[] = {{"plain", "error [test] plain"},
                         {"FATAL:  terminating connection\nserver closed the connection", "error [test] FATAL:  terminating connection\\nserver closed the connection"},
                         {"a\r\nb\n", "error [test] a\\r\\nb\\n"}};
    for (const auto& r : table) {
        test_support::log_capture log;
        logger::get_logger("test")->error("{}", r.text);
        EXPECT_EQ(log.lines(), std::vector<std::string>{r.line}) << r.text;
    }
}

}  // namespace
