#include "frontend/shard.h"

#include <charconv>

namespace kelvor::frontend {

bool parse_shard(const std::string& text, Shard& shard) {
    size_t slash = text.find('/');
    if (slash == std::string::npos) return false;
    auto number = [](const char* b, const char* e, int& out) {
        auto r = std::from_chars(b, e, out);
        return b != e && r.ec == std::errc() && r.ptr == e;
    };
    int k = 0;
    int n = 0;
    if (!number(text.data(), text.data() + slash, k) || !number(text.data() + slash + 1, text.data() + text.size(), n)) {
        return false;
    }
    if (n < 1 || k < 1 || k > n) return false;
    shard.index = k;
    shard.count = n;
    return true;
}

}  // namespace kelvor::frontend
