#include "routers/vectile/text.hpp"

#include <cstdio>

namespace vectile {

std::string whole_text(double v) {
    char buf[512];
    std::snprintf(buf, sizeof buf, "%.0f", v);
    return buf;
}

std::string spaced_json(const nlohmann::ordered_json& doc) {
    if (doc.is_object()) {
        std::string out = "{";
        bool first = true;
        for (const auto& [key, value] : doc.items()) {
            if (!first) out += ", ";
            first = false;
            out += nlohmann::ordered_json(key).dump(-1, ' ', true);
            out += ": ";
            out += spaced_json(value);
        }
        return out + "}";
    }
    if (doc.is_array()) {
        std::string out = "[";
        for (std::size_t i = 0; i < doc.size(); ++i) {
            if (i > 0) out += ", ";
            out += spaced_json(doc[i]);
        }
        return out + "]";
    }
    return doc.dump(-1, ' ', true);
}

}  // namespace vectile
