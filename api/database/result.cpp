#include "database/result.hpp"

#include "metrics/metrics.hpp"

namespace database {

error::error(const std::string& message, std::string sqlstate) : std::runtime_error(message), m_sqlstate(std::move(sqlstate)) {
    metrics::count_db_error();
}

std::exception_ptr classified_error(const std::string& message, std::string_view sqlstate, bool connection_lost) {
    std::string state(sqlstate);
    // 08: connection exception; 57P: shutdown, crash, not accepting connections, database dropped.
    if (sqlstate.starts_with("08") || sqlstate.starts_with("57P") || (sqlstate.empty() && connection_lost)) {
        return std::make_exception_ptr(unreachable(message, std::move(state)));
    }
    if (sqlstate == "25006") return std::make_exception_ptr(in_recovery(message, std::move(state)));
    if (sqlstate == "57014") return std::make_exception_ptr(timed_out(message, std::move(state)));
    if (sqlstate.starts_with("22") || sqlstate == "XX000") return std::make_exception_ptr(bad_data(message, std::move(state)));
    return std::make_exception_ptr(error(message, std::move(state)));
}

void throw_classified(const std::string& message, std::string_view sqlstate, bool connection_lost) {
    std::rethrow_exception(classified_error(message, sqlstate, connection_lost));
}

// ---------------------------------------------------------------- rows and results

const value& row::operator[](std::string_view column) const {
    for (std::size_t i = 0; i < m_columns->size(); ++i) {
        if ((*m_columns)[i] == column) return m_values[i];
    }
    throw error("no column named " + std::string(column));
}

double row::real(std::string_view column) const {
    const value& v = (*this)[column];
    if (auto* d = std::get_if<double>(&v)) return *d;
    if (auto* i = std::get_if<std::int64_t>(&v)) return static_cast<double>(*i);
    throw error("column " + std::string(column) + " is not a number");
}

std::optional<value> result::scalar_one_or_none() const {
    if (m_rows.empty()) return std::nullopt;
    if (m_rows.size() > 1) throw error("Multiple rows were found when one or none was required");
    if (m_rows.front().size() == 0) throw error("the result has no columns");
    return m_rows.front().at(0);
}

std::optional<row> result::first() const {
    if (m_rows.empty()) return std::nullopt;
    return m_rows.front();
}

}  // namespace database
