#pragma once
// What statements take and give: parameter and column values, rows and
// results, and the one error class of the database layer.

#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace database {

// Every failure of the database layer: connection, statement, commit,
// protocol. The classes below say what kind of failure it was, so that no
// caller reads SQLSTATEs; an `error` of none of them is any other failure.
class error : public std::runtime_error {
public:
    // Each failure is counted once, when it is made.
    explicit error(const std::string& message, std::string sqlstate = {});
    const std::string& sqlstate() const noexcept { return m_sqlstate; }

private:
    std::string m_sqlstate;
};

// The server cannot be reached, or the connection was lost or ended by the
// server (shutting down, restarting, a terminated backend): trying again
// later, or on another connection, may succeed.
class unreachable : public error {
    using error::error;
};

// The server refused because it is in recovery (a standby, or a primary that
// became one): the statement wrote, or the server cannot take it now.
class in_recovery : public error {
    using error::error;
};

// A wait on the server outlived its deadline inside the database layer, or the
// server cancelled the statement (statement_timeout).
class timed_out : public error {
    using error::error;
};

// The statement's input was unacceptable data (class 22: a value out of
// range, a box PostGIS cannot transform; or PostGIS's internal error XX000).
class bad_data : public error {
    using error::error;
};

// The error of the class that `sqlstate` belongs to; connection-level
// failures without one are `unreachable` when `connection_lost`.
std::exception_ptr classified_error(const std::string& message, std::string_view sqlstate, bool connection_lost);
[[noreturn]] void throw_classified(const std::string& message, std::string_view sqlstate, bool connection_lost);

// Raw bytes (bytea), kept apart from text so that both can be bound and read.
struct bytes {
    std::string data;
    bool operator==(const bytes&) const = default;
};

// A column value: NULL, boolean, integer, real, text or bytes.
using value = std::variant<std::monostate, bool, std::int64_t, double, std::string, bytes>;

// Statement parameters by name, for ":name" placeholders.
using params = std::vector<std::pair<std::string, value>>;

class row {
public:
    row(std::shared_ptr<const std::vector<std::string>> columns, std::vector<value> values)
        : m_columns(std::move(columns)), m_values(std::move(values)) {}

    // The value of the named column; throws database::error for an unknown name.
    const value& operator[](std::string_view column) const;
    const value& at(std::size_t index) const { return m_values.at(index); }
    std::size_t size() const noexcept { return m_values.size(); }
    bool is_null(std::string_view column) const { return std::holds_alternative<std::monostate>((*this)[column]); }
    // The named column as a real; integers are widened. Throws database::error for NULL or another type.
    double real(std::string_view column) const;

private:
    std::shared_ptr<const std::vector<std::string>> m_columns;
    std::vector<value> m_values;
};

class result {
public:
    result() = default;
    result(std::shared_ptr<const std::vector<std::string>> columns, std::vector<row> rows)
        : m_columns(std::move(columns)), m_rows(std::move(rows)) {}

    // The first column of the single row, or nothing when there is no row.
    // Throws database::error when there is more than one row.
    std::optional<value> scalar_one_or_none() const;
    // The first row, or nothing.
    std::optional<row> first() const;
    const std::vector<row>& rows() const noexcept { return m_rows; }

private:
    std::shared_ptr<const std::vector<std::string>> m_columns;
    std::vector<row> m_rows;
};

}  // namespace database
