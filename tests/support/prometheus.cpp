#include "support/prometheus.hpp"

#include <cmath>
#include <regex>
#include <set>
#include <stdexcept>

namespace test_support {

namespace {

// The metric a histogram's sample belongs to ("x" of "x_bucket").
std::string family_of(const std::string& name, const std::map<std::string, std::string>& types) {
    for (const char* suffix : {"_bucket", "_sum", "_count"}) {
        const std::string s = suffix;
        if (name.size() > s.size() && name.ends_with(s)) {
            auto base = name.substr(0, name.size() - s.size());
            if (auto it = types.find(base); it != types.end() && it->second == "histogram") return base;
        }
    }
    return name;
}

}  // namespace

std::map<std::string, double> parse_exposition(std::string_view text) {
    static const std::regex comment(R"(# (HELP|TYPE) ([a-zA-Z_:][a-zA-Z0-9_:]*) (.*))");
    static const std::regex sample(
        R"re(([a-zA-Z_:][a-zA-Z0-9_:]*)(\{([a-zA-Z_][a-zA-Z0-9_]*="([^"\\\n]|\\.)*"(,[a-zA-Z_][a-zA-Z0-9_]*="([^"\\\n]|\\.)*")*)?\})? (-?[0-9.eE+-]+|\+Inf|NaN))re");
    static const std::set<std::string> kinds{"counter", "gauge", "histogram", "summary", "untyped"};
    std::map<std::string, std::string> types;
    std::map<std::string, double> out;
    std::map<std::string, double> last_bucket;  // per histogram series without le
    std::size_t start = 0;
    while (start < text.size()) {
        auto end = text.find('\n', start);
        if (end == std::string_view::npos) throw std::runtime_error("the last line has no line end");
        const std::string line(text.substr(start, end - start));
        start = end + 1;
        std::smatch m;
        if (std::regex_match(line, m, comment)) {
            if (m[1] == "TYPE") {
                if (!kinds.contains(m[3]) || types.contains(m[2])) throw std::runtime_error("bad TYPE line: " + line);
                types[m[2]] = m[3];
            }
            continue;
        }
        if (!std::regex_match(line, m, sample)) throw std::runtime_error("not a sample: " + line);
        const std::string name = m[1];
        const std::string family = family_of(name, types);
        if (!types.contains(family)) throw std::runtime_error("no TYPE before: " + line);
        const std::string series = line.substr(0, line.rfind(' '));
        const std::string value_text = m[7];
        const double value = value_text == "+Inf" ? HUGE_VAL : std::stod(value_text);
        if (out.contains(series)) throw std::runtime_error("repeated series: " + line);
        out[series] = value;
        if (family != name && name.ends_with("_bucket")) {
            // The series of its histogram: the labels without le.
            static const std::regex le(R"re(,?le="[^"]*")re");
            std::string key = family + std::regex_replace(std::string(m[2]), le, "");
            if (key.ends_with("{}")) key.resize(key.size() - 2);
            key = std::regex_replace(key, std::regex(R"(\{,)"), "{");
            if (last_bucket.contains(key) && value < last_bucket[key]) throw std::runtime_error("bucket decreases: " + line);
            last_bucket[key] = value;
        } else if (family != name && name.ends_with("_count")) {
            const std::string key = family + std::string(m[2]);
            if (!last_bucket.contains(key) || last_bucket[key] != value) throw std::runtime_error("count is not the +Inf bucket: " + line);
        }
    }
    return out;
}

}  // namespace test_support
