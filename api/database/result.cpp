#include "database/result.hpp"

#include "metrics/metrics.hpp"

namespace database {

error::error(const std::string& message, std::string sqlstate) : std::runtime_error(message), m_sqlstate(std::move(sqlstate)) {
    metrics::count_db_error();
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
