#include "helpers/utils/utf8.hpp"

namespace helpers::utils {

bool is_database_text(std::string_view text) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    while (p < end) {
        const unsigned char c = *p;
        if (c == 0) return false;
        if (c < 0x80) {
            ++p;
            continue;
        }
        int follow = 0;
        unsigned min = 0;
        unsigned cp = 0;
        if ((c & 0xE0) == 0xC0) {
            follow = 1, min = 0x80, cp = c & 0x1Fu;
        } else if ((c & 0xF0) == 0xE0) {
            follow = 2, min = 0x800, cp = c & 0x0Fu;
        } else if ((c & 0xF8) == 0xF0) {
            follow = 3, min = 0x10000, cp = c & 0x07u;
        } else {
            return false;
        }
        if (end - p <= follow) return false;
        for (int i = 1; i <= follow; ++i) {
            if ((p[i] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (p[i] & 0x3Fu);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        p += follow + 1;
    }
    return true;
}

}  // namespace helpers::utils
