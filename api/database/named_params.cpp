#include "database/named_params.hpp"

#include <algorithm>
#include <cctype>

namespace database {
namespace {

bool is_ident_start(char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_'; }
bool is_ident_char(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

// Returns the end of a dollar-quote tag starting at i ("$$" or "$tag$"), or npos when i does not start one.
std::size_t dollar_tag_end(std::string_view s, std::size_t i) {
    std::size_t j = i + 1;
    if (j < s.size() && s[j] == '$') return j + 1;
    if (j >= s.size() || !is_ident_start(s[j])) return std::string_view::npos;
    while (j < s.size() && is_ident_char(s[j])) ++j;
    return (j < s.size() && s[j] == '$') ? j + 1 : std::string_view::npos;
}

}  // namespace

positional_sql translate_named_params(std::string_view sql) {
    positional_sql out;
    out.text.reserve(sql.size());
    std::size_t i = 0;
    const std::size_t n = sql.size();

    auto copy_until = [&](std::size_t end) {
        end = std::min(end, n);
        out.text.append(sql.substr(i, end - i));
        i = end;
    };

    while (i < n) {
        char c = sql[i];
        if (c == '\'') {
            // A standard string literal: '' is an escaped quote. E'...' strings also allow \'.
            bool backslash = i > 0 && (sql[i - 1] == 'E' || sql[i - 1] == 'e') && (i < 2 || !is_ident_char(sql[i - 2]));
            std::size_t j = i + 1;
            while (j < n) {
                if (backslash && sql[j] == '\\') {
                    j += 2;
                } else if (sql[j] == '\'') {
                    if (j + 1 < n && sql[j + 1] == '\'') {
                        j += 2;
                    } else {
                        ++j;
                        break;
                    }
                } else {
                    ++j;
                }
            }
            copy_until(j);
        } else if (c == '"') {
            std::size_t j = i + 1;
            while (j < n) {
                if (sql[j] == '"') {
                    if (j + 1 < n && sql[j + 1] == '"') {
                        j += 2;
                        continue;
                    }
                    ++j;
                    break;
                }
                ++j;
            }
            copy_until(j);
        } else if (c == '-' && i + 1 < n && sql[i + 1] == '-') {
            auto eol = sql.find('\n', i);
            copy_until(eol == std::string_view::npos ? n : eol);
        } else if (c == '/' && i + 1 < n && sql[i + 1] == '*') {
            int depth = 0;
            std::size_t j = i;
            while (j < n) {
                if (sql[j] == '/' && j + 1 < n && sql[j + 1] == '*') {
                    ++depth;
                    j += 2;
                } else if (sql[j] == '*' && j + 1 < n && sql[j + 1] == '/') {
                    --depth;
                    j += 2;
                    if (depth == 0) break;
                } else {
                    ++j;
                }
            }
            copy_until(j);
        } else if (c == '$' && (i == 0 || !is_ident_char(sql[i - 1]))) {
            auto tag_end = dollar_tag_end(sql, i);
            if (tag_end == std::string_view::npos) {
                copy_until(i + 1);
                continue;
            }
            std::string_view tag = sql.substr(i, tag_end - i);
            auto close = sql.find(tag, tag_end);
            copy_until(close == std::string_view::npos ? n : close + tag.size());
        } else if (c == ':' && i + 1 < n && sql[i + 1] == ':') {
            copy_until(i + 2);
        } else if (c == ':' && i + 1 < n && is_ident_start(sql[i + 1]) && (i == 0 || sql[i - 1] != ':')) {
            std::size_t j = i + 1;
            while (j < n && is_ident_char(sql[j])) ++j;
            std::string name(sql.substr(i + 1, j - i - 1));
            auto found = std::find(out.names.begin(), out.names.end(), name);
            std::size_t index = static_cast<std::size_t>(found - out.names.begin());
            if (found == out.names.end()) out.names.push_back(std::move(name));
            out.text += '$';
            out.text += std::to_string(index + 1);
            i = j;
        } else {
            // Copy a run of ordinary characters in one go.
            std::size_t j = i + 1;
            while (j < n && sql[j] != '\'' && sql[j] != '"' && sql[j] != '-' && sql[j] != '/' && sql[j] != '$' && sql[j] != ':') ++j;
            copy_until(j);
        }
    }
    return out;
}

}  // namespace database
