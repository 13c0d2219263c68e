#include "common/route.hpp"

#include <stdexcept>

namespace common {

param_spec path_param(std::string name, param_type type, std::string description) {
    return {std::move(name), param_location::path, type, true, std::nullopt, std::move(description)};
}

param_spec required_query_param(std::string name, param_type type, std::string description) {
    return {std::move(name), param_location::query, type, true, std::nullopt, std::move(description)};
}

param_spec query_param(std::string name, param_type type, param_value default_value, std::string description) {
    return {std::move(name), param_location::query, type, false, std::move(default_value), std::move(description)};
}

database::session& request_context::db() const {
    if (m_db == nullptr) {
        throw std::logic_error("route was registered without a database session");
    }
    return *m_db;
}

}  // namespace common
