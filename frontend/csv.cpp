#include "frontend/csv.h"

namespace kelvor::frontend {

CsvReader::CsvReader(std::istream& in, char delimiter)
    : in_(in), delimiter_(delimiter), quoting_(delimiter != '\t') {}

bool CsvReader::next(std::vector<std::string>& fields, bool& complete) {
    fields.clear();
    complete = false;
    std::string field;
    bool quoted = false;       // inside a quoted section
    bool begun = false;        // the current field has begun (a quote counts)
    bool trailing_cr = false;  // the field's last byte is a CR outside quotes
    size_t bytes = 0;          // of this record
    int64_t quote_line = 0;
    std::streambuf* buf = in_.rdbuf();
    auto too_long = [&](const char* what, size_t limit) {
        return CsvLimitError("the " + std::string(what) + " on line " + std::to_string(record_line_) +
                                 " is longer than " + std::to_string(limit) + " bytes",
                             record_line_);
    };
    auto add = [&](char ch) {
        if (field.size() >= CSV_MAX_FIELD) throw too_long("field", CSV_MAX_FIELD);
        field.push_back(ch);
    };
    for (;;) {
        int c = buf->sbumpc();
        if (c == std::char_traits<char>::eof()) {
            if (bytes == 0) return false;
            if (quoted) open_quote_line_ = quote_line;
            fields.push_back(std::move(field));
            return true;  // cut off: no line end
        }
        if (bytes == 0) {
            record_line_ = line_;
            open_quote_line_ = 0;
        }
        offset_++;
        if (++bytes > CSV_MAX_RECORD) throw too_long("record", CSV_MAX_RECORD);
        char ch = static_cast<char>(c);
        if (ch == '\n') line_++;
        if (quoted) {
            if (ch == '"') {
                if (buf->sgetc() == '"') {
                    buf->sbumpc();
                    offset_++;
                    bytes++;
                    add('"');
                } else {
                    quoted = false;
                }
            } else {
                add(ch);
            }
            trailing_cr = false;
        } else if (ch == '"' && quoting_ && !begun) {
            quoted = true;
            begun = true;
            quote_line = line_;
        } else if (ch == delimiter_) {
            fields.push_back(std::move(field));
            field.clear();
            begun = false;
            trailing_cr = false;
        } else if (ch == '\n') {
            if (trailing_cr) field.pop_back();
            fields.push_back(std::move(field));
            complete = true;
            return true;
        } else {
            add(ch);
            begun = true;
            trailing_cr = ch == '\r';
        }
    }
}

bool csv_needs_quotes(const std::string& field, char delimiter) {
    const char special[] = {'"', '\r', '\n', delimiter};
    return field.find_first_of(special, 0, sizeof special) != std::string::npos;
}

std::string csv_field(const std::string& field, char delimiter) {
    if (!csv_needs_quotes(field, delimiter)) return field;
    std::string out = "\"";
    for (char c : field) {
        if (c == '"') out.push_back('"');
        out.push_back(c);
    }
    out.push_back('"');
    return out;
}

}  // namespace kelvor::frontend
