#include "batch/csv.h"

namespace kelvor::batch {

bool CsvReader::next(std::vector<std::string>& fields, bool& complete) {
    fields.clear();
    complete = false;
    std::string field;
    bool quoted = false;      // inside a quoted section
    bool any = false;         // read at least one character of this record
    std::streambuf* buf = in_.rdbuf();
    for (;;) {
        int c = buf->sbumpc();
        if (c == std::char_traits<char>::eof()) {
            if (!any) return false;
            fields.push_back(std::move(field));
            return true;  // cut off: no line end
        }
        offset_++;
        any = true;
        char ch = static_cast<char>(c);
        if (quoted) {
            if (ch == '"') {
                if (buf->sgetc() == '"') {
                    buf->sbumpc();
                    offset_++;
                    field.push_back('"');
                } else {
                    quoted = false;
                }
            } else {
                field.push_back(ch);
            }
        } else if (ch == '"') {
            quoted = true;
        } else if (ch == delimiter_) {
            fields.push_back(std::move(field));
            field.clear();
        } else if (ch == '\n') {
            if (!field.empty() && field.back() == '\r') field.pop_back();
            fields.push_back(std::move(field));
            complete = true;
            return true;
        } else {
            field.push_back(ch);
        }
    }
}

bool csv_needs_quotes(const std::string& field, char delimiter) {
    return field.find_first_of(std::string("\"\r\n") + delimiter) != std::string::npos;
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

}  // namespace kelvor::batch
