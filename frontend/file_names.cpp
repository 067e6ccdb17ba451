#include "frontend/file_names.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace kelvor::frontend {

namespace {

template <size_t N>
bool has_any(const std::string& name, const char* const (&extensions)[N]) {
    return std::any_of(std::begin(extensions), std::end(extensions),
                       [&](const char* extension) { return has_extension(name, extension); });
}

}  // namespace

bool has_extension(const std::string& name, const char* extension) {
    const size_t n = std::strlen(extension);
    if (name.size() < n) return false;
    // ASCII case only: the bytes of a name are not text in any locale.
    for (size_t i = 0; i < n; i++) {
        char c = name[name.size() - n + i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != extension[i]) return false;
    }
    return true;
}

bool is_raw_name(const std::string& name) {
    return has_any(name, RAW_EXTENSIONS);
}

bool is_audio_name(const std::string& name) {
    return has_any(name, AUDIO_EXTENSIONS);
}

bool is_listing_name(const std::string& name) {
    return has_any(name, LISTING_EXTENSIONS);
}

}  // namespace kelvor::frontend
