#include "frontend/json.h"

#include <cmath>
#include <cstdio>

#include "frontend/text.h"

namespace kelvor::frontend {

namespace {

void append_utf8(std::string& out, unsigned code) {
    if (code < 0x80) {
        out.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (code >> 6)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (code >> 12)));
        out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (code >> 18)));
        out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
}

unsigned hex_digit(char h) {
    return h >= '0' && h <= '9' ? unsigned(h - '0')
         : h >= 'a' && h <= 'f' ? unsigned(h - 'a' + 10)
         : h >= 'A' && h <= 'F' ? unsigned(h - 'A' + 10) : 16u;
}

// Four hex digits at text[i] into code; i moves past them.
bool hex4(const std::string& text, size_t& i, unsigned& code) {
    if (i + 4 > text.size()) return false;
    code = 0;
    for (size_t k = 0; k < 4; k++) {
        unsigned d = hex_digit(text[i + k]);
        if (d > 15) return false;
        code = code * 16 + d;
    }
    i += 4;
    return true;
}

// Reads the JSON string that starts at text[i] (its opening quote): on
// success out holds its bytes (\udcXX escapes become the byte XX again,
// other escapes UTF-8) and i is just past the closing quote.
bool read_json_string(const std::string& text, size_t& i, std::string& out) {
    if (i >= text.size() || text[i] != '"') return false;
    i++;
    out.clear();
    while (i < text.size() && text[i] != '"') {
        char c = text[i++];
        if (c != '\\') {
            out.push_back(c);
            continue;
        }
        if (i >= text.size()) return false;
        char e = text[i++];
        switch (e) {
        case 'n': out.push_back('\n'); break;
        case 'r': out.push_back('\r'); break;
        case 't': out.push_back('\t'); break;
        case 'b': out.push_back('\b'); break;
        case 'f': out.push_back('\f'); break;
        case 'u': {
            unsigned code = 0;
            if (!hex4(text, i, code)) return false;
            if (code >= 0xDC80 && code <= 0xDCFF) {
                out.push_back(static_cast<char>(code - 0xDC00));  // an escaped byte (json_quote)
                break;
            }
            if (code >= 0xD800 && code <= 0xDBFF && text.compare(i, 2, "\\u") == 0) {
                size_t at = i + 2;
                unsigned low = 0;
                if (hex4(text, at, low) && low >= 0xDC00 && low <= 0xDFFF) {
                    i = at;
                    code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                }
            }
            append_utf8(out, code);
            break;
        }
        default: out.push_back(e);
        }
    }
    if (i >= text.size()) return false;
    i++;
    return true;
}

class Parser {
public:
    Parser(const std::string& text, int max_depth) : text_(text), max_depth_(max_depth) {}

    std::optional<JsonValue> document() {
        JsonValue v;
        space();
        if (!value(v, 0)) return std::nullopt;
        space();
        if (i_ != text_.size()) return std::nullopt;
        return v;
    }

private:
    void space() {
        while (i_ < text_.size() && (text_[i_] == ' ' || text_[i_] == '\t' || text_[i_] == '\n' || text_[i_] == '\r')) i_++;
    }

    bool literal(const char* word) {
        size_t n = std::char_traits<char>::length(word);
        if (text_.compare(i_, n, word) != 0) return false;
        i_ += n;
        return true;
    }

    bool digits() {
        size_t from = i_;
        while (i_ < text_.size() && text_[i_] >= '0' && text_[i_] <= '9') i_++;
        return i_ > from;
    }

    bool number(JsonValue& v) {
        size_t from = i_;
        if (i_ < text_.size() && text_[i_] == '-') i_++;
        if (i_ < text_.size() && text_[i_] == '0') i_++;
        else if (!digits()) return false;
        if (i_ < text_.size() && text_[i_] == '.') {
            i_++;
            if (!digits()) return false;
        }
        if (i_ < text_.size() && (text_[i_] == 'e' || text_[i_] == 'E')) {
            i_++;
            if (i_ < text_.size() && (text_[i_] == '+' || text_[i_] == '-')) i_++;
            if (!digits()) return false;
        }
        v.kind = JsonValue::Kind::number;
        v.text = text_.substr(from, i_ - from);
        return true;
    }

    bool value(JsonValue& v, int depth) {
        if (depth > max_depth_ || i_ >= text_.size()) return false;
        char c = text_[i_];
        if (c == '"') {
            v.kind = JsonValue::Kind::string;
            return read_json_string(text_, i_, v.text);
        }
        if (c == '{' || c == '[') {
            const bool object = c == '{';
            v.kind = object ? JsonValue::Kind::object : JsonValue::Kind::array;
            i_++;
            space();
            if (i_ < text_.size() && text_[i_] == (object ? '}' : ']')) {
                i_++;
                return true;
            }
            for (;;) {
                space();
                std::string key;
                if (object) {
                    if (i_ >= text_.size() || text_[i_] != '"' || !read_json_string(text_, i_, key)) return false;
                    space();
                    if (i_ >= text_.size() || text_[i_++] != ':') return false;
                    space();
                }
                JsonValue item;
                if (!value(item, depth + 1)) return false;
                if (object) v.members.emplace_back(std::move(key), std::move(item));
                else v.items.push_back(std::move(item));
                space();
                if (i_ >= text_.size()) return false;
                char next = text_[i_++];
                if (next == (object ? '}' : ']')) return true;
                if (next != ',') return false;
            }
        }
        if (literal("true") || literal("false")) {
            v.kind = JsonValue::Kind::boolean;
            v.boolean = c == 't';
            return true;
        }
        if (literal("null")) {
            v.kind = JsonValue::Kind::null;
            return true;
        }
        return number(v);
    }

    const std::string& text_;
    int max_depth_;
    size_t i_ = 0;
};

}  // namespace

std::string json_quote(const std::string& s) {
    std::string out = "\"";
    for (size_t i = 0; i < s.size();) {
        char c = s[i];
        unsigned char u = static_cast<unsigned char>(c);
        if (u >= 0x80) {
            size_t n = utf8_sequence(s, i);
            if (n > 0) {
                out.append(s, i, n);
                i += n;
            } else {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\udc%02x", u);
                out += buf;
                i++;
            }
            continue;
        }
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (u < 0x20) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", u);
                out += buf;
            } else {
                out.push_back(c);
            }
        }
        i++;
    }
    out.push_back('"');
    return out;
}

std::string json_number(double v) {
    if (!std::isfinite(v)) return "null";
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}

JsonValue JsonValue::of(bool b) {
    JsonValue v;
    v.kind = Kind::boolean;
    v.boolean = b;
    return v;
}

JsonValue JsonValue::of(long long n) {
    JsonValue v;
    v.kind = Kind::number;
    v.text = std::to_string(n);
    return v;
}

JsonValue JsonValue::of(const std::string& s) {
    JsonValue v;
    v.kind = Kind::string;
    v.text = s;
    return v;
}

JsonValue JsonValue::array(std::vector<JsonValue> values) {
    JsonValue v;
    v.kind = Kind::array;
    v.items = std::move(values);
    return v;
}

JsonValue JsonValue::object(std::vector<std::pair<std::string, JsonValue>> members) {
    JsonValue v;
    v.kind = Kind::object;
    v.members = std::move(members);
    return v;
}

const JsonValue* JsonValue::find(const std::string& key) const {
    for (const auto& m : members) {
        if (m.first == key) return &m.second;
    }
    return nullptr;
}

std::string JsonValue::to_json() const {
    switch (kind) {
    case Kind::null: return "null";
    case Kind::boolean: return boolean ? "true" : "false";
    case Kind::number: return text;
    case Kind::string: return json_quote(text);
    case Kind::array: {
        std::string out = "[";
        for (size_t k = 0; k < items.size(); k++) out += (k > 0 ? ", " : "") + items[k].to_json();
        return out + "]";
    }
    case Kind::object: {
        std::string out = "{";
        for (size_t k = 0; k < members.size(); k++) {
            out += (k > 0 ? ", " : "") + json_quote(members[k].first) + ": " + members[k].second.to_json();
        }
        return out + "}";
    }
    }
    return "null";
}

std::optional<JsonValue> parse_json(const std::string& text, int max_depth) {
    return Parser(text, max_depth).document();
}

}  // namespace kelvor::frontend
