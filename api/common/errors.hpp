#pragma once
// The errors that end a request. Handlers throw them; the host's router alone
// turns each class into its status and JSON body, so no module below the
// server knows of HTTP status codes.
//
// Each is a std::exception, so a broad catch sees them like any other
// failure: code that catches std::exception to log and rethrow must rethrow.

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace common {

// A failure the caller is told about, with its text under "detail".
class request_error : public std::runtime_error {
public:
    explicit request_error(const std::string& detail) : std::runtime_error(detail) {}
    const char* detail() const noexcept { return what(); }
};

// The named thing does not exist (404).
class not_found : public request_error {
    using request_error::request_error;
};

// The request is well-formed but its values are unacceptable (400).
class bad_request : public request_error {
    using request_error::request_error;
};

// The request lacks the credentials its route requires (401).
class unauthorized : public request_error {
    using request_error::request_error;
};

// The path exists but not with the request's method (405).
class method_not_allowed : public request_error {
    using request_error::request_error;
};

// The work outlived its time limit (408).
class timed_out : public request_error {
    using request_error::request_error;
};

// The server failed; the detail says no more than the caller may know (500).
class internal_error : public request_error {
    using request_error::request_error;
};

// A dependency cannot serve the request now; retrying later may succeed (503),
// after `retry_after_seconds` when it is known.
class unavailable : public request_error {
public:
    explicit unavailable(const std::string& detail, int retry_after_seconds = 0)
        : request_error(detail), m_retry_after(retry_after_seconds) {}
    int retry_after_seconds() const noexcept { return m_retry_after; }

private:
    int m_retry_after;
};

// One failed parameter of a request, rendered as {"loc": [...], "msg": ..., "type": ...}.
struct validation_issue {
    std::vector<std::string> loc;
    std::string msg;
    std::string type;
};

// Parameters or a body that do not convert (422), with every issue found.
class validation_error : public std::runtime_error {
public:
    explicit validation_error(std::vector<validation_issue> issues)
        : std::runtime_error(issues.empty() ? "validation failed" : issues.front().msg), m_issues(std::move(issues)) {}
    const std::vector<validation_issue>& issues() const noexcept { return m_issues; }
    nlohmann::ordered_json body() const;

private:
    std::vector<validation_issue> m_issues;
};

}  // namespace common
