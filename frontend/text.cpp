#include "frontend/text.h"

#include <cstdio>

namespace kelvor::frontend {

size_t utf8_sequence(const std::string& s, size_t i) {
    auto byte = [&](size_t k) { return i + k < s.size() ? static_cast<unsigned char>(s[i + k]) : 0u; };
    auto continuation = [&](size_t k, unsigned lo = 0x80, unsigned hi = 0xBF) {
        unsigned b = byte(k);
        return i + k < s.size() && b >= lo && b <= hi;
    };
    unsigned b0 = byte(0);
    if (b0 < 0x80) return 1;
    if (b0 >= 0xC2 && b0 <= 0xDF) return continuation(1) ? 2 : 0;
    if (b0 >= 0xE0 && b0 <= 0xEF) {
        unsigned lo = b0 == 0xE0 ? 0xA0 : 0x80;
        unsigned hi = b0 == 0xED ? 0x9F : 0xBF;
        return continuation(1, lo, hi) && continuation(2) ? 3 : 0;
    }
    if (b0 >= 0xF0 && b0 <= 0xF4) {
        unsigned lo = b0 == 0xF0 ? 0x90 : 0x80;
        unsigned hi = b0 == 0xF4 ? 0x8F : 0xBF;
        return continuation(1, lo, hi) && continuation(2) && continuation(3) ? 4 : 0;
    }
    return 0;
}

std::string shown(const std::string& s) {
    std::string out;
    out.reserve(s.size());
    char buf[8];
    for (size_t i = 0; i < s.size();) {
        const unsigned char u = static_cast<unsigned char>(s[i]);
        const size_t n = utf8_sequence(s, i);
        if (n == 0 || u < 0x20 || u == 0x7F) {  // a stray byte or a C0 control
            std::snprintf(buf, sizeof buf, "\\x%02x", u);
            out += buf;
            i++;
            continue;
        }
        if (n == 2 && u == 0xC2 && static_cast<unsigned char>(s[i + 1]) < 0xA0) {  // C1: U+0080 to U+009F
            std::snprintf(buf, sizeof buf, "\\x%02x", static_cast<unsigned char>(s[i + 1]));
            out += buf;
        } else if (n == 3 && u == 0xE2) {
            const unsigned code = (u & 0x0Fu) << 12 | (static_cast<unsigned char>(s[i + 1]) & 0x3Fu) << 6 |
                                  (static_cast<unsigned char>(s[i + 2]) & 0x3Fu);
            const bool reorders = code == 0x200E || code == 0x200F || (code >= 0x202A && code <= 0x202E) ||
                                  (code >= 0x2066 && code <= 0x2069);
            if (reorders) {
                std::snprintf(buf, sizeof buf, "\\u%04x", code);
                out += buf;
            } else {
                out.append(s, i, n);
            }
        } else {
            out.append(s, i, n);
        }
        i += n;
    }
    return out;
}

}  // namespace kelvor::frontend
