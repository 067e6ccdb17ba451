// JSON as kelvor-batch writes and reads it: strings of any bytes, numbers
// that are never NaN, and a small parser for the records it reads back.
#ifndef KELVOR_FRONTEND_JSON_H
#define KELVOR_FRONTEND_JSON_H

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kelvor::frontend {

// A JSON string holding the bytes of s. Well-formed UTF-8 is written as it
// is; every other byte b (0x80 to 0xFF) becomes the escape \udcXX of the
// lone surrogate U+DC00 + b, as Python's "surrogateescape" decodes it: no
// name makes a line invalid JSON, and os.fsencode() of the decoded string
// gives the bytes back. Control characters are escaped.
std::string json_quote(const std::string& s);

// A number with 17 significant digits (it reads back to the same double);
// null for NaN and the infinities, which JSON lacks.
std::string json_number(double v);

// One JSON value.
struct JsonValue {
    enum class Kind { null, boolean, number, string, array, object };
    Kind kind = Kind::null;
    bool boolean = false;
    std::string text;                                         // a string's bytes, or a number as written
    std::vector<JsonValue> items;                             // array
    std::vector<std::pair<std::string, JsonValue>> members;  // object, in order

    static JsonValue null() { return JsonValue{}; }
    static JsonValue of(bool b);
    static JsonValue of(long long n);
    static JsonValue of(const std::string& s);
    static JsonValue of(const char* s) { return of(std::string(s)); }
    static JsonValue array(std::vector<JsonValue> values);
    static JsonValue object(std::vector<std::pair<std::string, JsonValue>> members);

    // The member named key of an object; null when there is none.
    const JsonValue* find(const std::string& key) const;
    // Compact JSON text: the form used in messages and for comparing values.
    std::string to_json() const;
    bool operator==(const JsonValue& other) const { return to_json() == other.to_json(); }
    bool operator!=(const JsonValue& other) const { return !(*this == other); }
};

// Parses text holding one JSON value (white space around it allowed).
// Nothing when it is not JSON, or nests deeper than max_depth.
std::optional<JsonValue> parse_json(const std::string& text, int max_depth = 16);

}  // namespace kelvor::frontend

#endif
