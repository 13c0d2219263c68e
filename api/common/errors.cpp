#include "common/errors.hpp"

namespace common {

nlohmann::ordered_json validation_error::body() const {
    nlohmann::ordered_json detail = nlohmann::ordered_json::array();
    for (const auto& issue : m_issues) {
        detail.push_back({{"loc", issue.loc}, {"msg", issue.msg}, {"type", issue.type}});
    }
    return {{"detail", detail}};
}

}  // namespace common
