#pragma once
// Errors that end a request with an HTTP answer.
//
// `http_error` deliberately does not derive from std::exception: handlers
// catch std::exception to turn unexpected failures into 500 answers, and an
// HTTP error raised below them (for example by the connection pool) must pass
// through such catch blocks unchanged to reach the host, which renders it.

#include <exception>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>
#include <nlohmann/json.hpp>

namespace host {

class http_error {
public:
    http_error(unsigned status_code, std::string detail) : m_status(status_code), m_detail(std::move(detail)) {}

    unsigned status_code() const noexcept { return m_status; }
    const std::string& detail() const noexcept { return m_detail; }

private:
    unsigned m_status;
    std::string m_detail;
};

// One failed parameter of a request, rendered as {"loc": [...], "msg": ..., "type": ...}.
struct validation_issue {
    std::vector<std::string> loc;
    std::string msg;
    std::string type;
};

// Raised by the host when typed parameters do not convert; answered with 422.
class validation_error {
public:
    explicit validation_error(std::vector<validation_issue> issues) : m_issues(std::move(issues)) {}
    const std::vector<validation_issue>& issues() const noexcept { return m_issues; }
    nlohmann::ordered_json body() const;

private:
    std::vector<validation_issue> m_issues;
};

// True when `e` is the cancellation of an operation: the request was abandoned.
inline bool is_cancellation(const std::exception& e) {
    auto* se = dynamic_cast<const boost::system::system_error*>(&e);
    return se != nullptr && se->code() == boost::asio::error::operation_aborted;
}

}  // namespace host
