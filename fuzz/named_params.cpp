// Any text through the ":name" translator: it must never fail, and what it
// reports must be consistent with its input.

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>

#include "database/named_params.hpp"

namespace {

bool identifier(const std::string& name) {
    if (name.empty() || !(std::isalpha(static_cast<unsigned char>(name[0])) || name[0] == '_')) return false;
    for (char c : name) {
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_')) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view sql(reinterpret_cast<const char*>(data), size);
    const auto out = database::translate_named_params(sql);
    std::set<std::string> seen;
    for (const auto& name : out.names) {
        if (!identifier(name)) std::abort();
        if (!seen.insert(name).second) std::abort();  // a repeated name reuses its number
        if (sql.find(":" + name) == std::string_view::npos) std::abort();
    }
    const auto colons = [](std::string_view s) { return std::count(s.begin(), s.end(), ':'); };
    // Each placeholder gives up its colon; nothing else is added or removed.
    if (colons(out.text) > colons(sql)) std::abort();
    if (colons(sql) == 0 && (out.text != sql || !out.names.empty())) std::abort();
    if (out.names.empty() && out.text != sql) std::abort();
    return 0;
}
