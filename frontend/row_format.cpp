#include "frontend/row_format.h"

#include <algorithm>
#include <charconv>
#include <iterator>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "frontend/csv.h"
#include "frontend/json.h"
#include "kelvor/stoi.h"

namespace kelvor::frontend {

namespace {

std::string shortest_text(double v) {
    char buf[40];
    auto result = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, result.ptr);
}

// ----------------------------------------------------------- reading back

bool parse_double(const std::string& text, std::optional<double>& out) {
    if (text.empty() || text == "null") {
        out.reset();
        return true;
    }
    const char* begin = text.c_str();
    char* end = nullptr;
    double v = std::strtod(begin, &end);
    if (end != begin + text.size()) return false;
    out = v;
    return true;
}

bool parse_int(const std::string& text, std::optional<int64_t>& out) {
    if (text.empty() || text == "null") {
        out.reset();
        return true;
    }
    int64_t v = 0;
    auto result = std::from_chars(text.data(), text.data() + text.size(), v);
    if (result.ec != std::errc() || result.ptr != text.data() + text.size()) return false;
    out = v;
    return true;
}

// Fills row from the values of the standard columns in table order, then
// the metadata values; false if one is malformed.
bool row_from_cells(std::vector<std::string>& v, Row& row) {
    if (v.size() < ROW_COLUMN_COUNT) return false;
    row = Row{};
    for (size_t c = 0; c < ROW_COLUMN_COUNT; c++) {
        const Column& column = ROW_COLUMNS[c];
        switch (column.type) {
        case ColumnType::text: row.*column.text = std::move(v[c]); break;
        case ColumnType::real:
            if (!parse_double(v[c], row.*column.real)) return false;
            break;
        case ColumnType::integer:
            if (!parse_int(v[c], row.*column.integer)) return false;
            break;
        case ColumnType::status:
            // A name the library's table does not hold is no row of ours.
            row.*column.status = kelvor_status_from_name(v[c].c_str());
            if (row.*column.status == KELVOR_ERR_LAST) return false;
            break;
        }
    }
    row.metadata.assign(std::make_move_iterator(v.begin() + ROW_COLUMN_COUNT), std::make_move_iterator(v.end()));
    return true;
}

// A flat JSON object of string, number and null values, as format_row
// writes it: the values of the standard columns in table order (strings as
// their bytes, numbers as written, null as "null"), then the other
// members' values, whose keys go to names in their order. False when it is
// not such an object, names a standard column twice or lacks one.
bool json_cells(const std::string& line, std::vector<std::string>& v, std::vector<std::string>& names) {
    v.assign(ROW_COLUMN_COUNT, std::string());
    names.clear();
    // A row nests nothing: members deeper than the object are refused early.
    std::optional<JsonValue> object = parse_json(line, 1);
    if (!object || object->kind != JsonValue::Kind::object) return false;
    bool seen[ROW_COLUMN_COUNT] = {};
    for (auto& [key, value] : object->members) {
        switch (value.kind) {
        case JsonValue::Kind::string:
        case JsonValue::Kind::number: break;
        case JsonValue::Kind::null: value.text = "null"; break;
        default: return false;
        }
        const Column* column = find_column(key);
        if (column == nullptr) {
            names.push_back(std::move(key));
            v.push_back(std::move(value.text));
            continue;
        }
        const size_t c = static_cast<size_t>(column - ROW_COLUMNS);
        if (seen[c]) return false;
        seen[c] = true;
        v[c] = std::move(value.text);
    }
    return std::all_of(std::begin(seen), std::end(seen), [](bool s) { return s; });
}

}  // namespace

const Column* find_column(const std::string& name) {
    for (const Column& column : ROW_COLUMNS) {
        if (name == column.name) return &column;
    }
    return nullptr;
}

std::string cell_text(const Column& column, const Row& row, Format format) {
    const std::string none = format == Format::jsonl ? "null" : "";
    switch (column.type) {
    case ColumnType::text: return row.*column.text;
    case ColumnType::real: {
        const std::optional<double>& v = row.*column.real;
        if (!v || !std::isfinite(*v)) return none;
        return column.form == NumberForm::digits17 ? json_number(*v) : shortest_text(*v);
    }
    case ColumnType::integer: {
        const std::optional<int64_t>& v = row.*column.integer;
        return v ? std::to_string(*v) : none;
    }
    case ColumnType::status: return kelvor_status_name(row.*column.status);
    }
    return none;
}

std::string column_list(const std::vector<std::string>& names) {
    if (names.empty()) return "none";
    std::string text = "(";
    for (size_t i = 0; i < names.size(); i++) text += (i > 0 ? ", " : "") + names[i];
    return text + ")";
}

std::string header_line(Format format, const std::vector<std::string>& metadata) {
    if (format == Format::jsonl) return "";
    std::string line;
    for (const Column& column : ROW_COLUMNS) {
        if (!line.empty()) line.push_back(',');
        line += column.name;
    }
    for (const std::string& name : metadata) {
        line.push_back(',');
        line += csv_field(name);
    }
    line.push_back('\n');
    return line;
}

namespace {

const std::string& metadata_value(const Row& row, size_t k) {
    static const std::string empty;
    return k < row.metadata.size() ? row.metadata[k] : empty;
}

// The JSON members of a row, separated by ", ": the standard columns from
// the first up to `end` (not included), then the metadata under their
// names. JSON Lines rows and details files write a row's cells alike.
void append_json_members(std::string& out, const Row& row, const Column* end, const std::vector<std::string>& metadata) {
    for (const Column* column = ROW_COLUMNS; column != end; column++) {
        if (column != ROW_COLUMNS) out += ", ";
        out += json_quote(column->name);
        out += ": ";
        const std::string cell = cell_text(*column, row, Format::jsonl);
        const bool quoted = column->type == ColumnType::text || column->type == ColumnType::status;
        out += quoted ? json_quote(cell) : cell;
    }
    for (size_t k = 0; k < metadata.size(); k++) {
        out += ", " + json_quote(metadata[k]) + ": " + json_quote(metadata_value(row, k));
    }
}

}  // namespace

std::string format_row(const Row& row, Format format, const std::vector<std::string>& metadata) {
    std::string line;
    if (format == Format::csv) {
        for (size_t c = 0; c < ROW_COLUMN_COUNT; c++) {
            if (c > 0) line.push_back(',');
            line += csv_field(cell_text(ROW_COLUMNS[c], row, format));
        }
        for (size_t k = 0; k < metadata.size(); k++) {
            line.push_back(',');
            line += csv_field(metadata_value(row, k));
        }
    } else {
        line.push_back('{');
        append_json_members(line, row, std::end(ROW_COLUMNS), metadata);
        line.push_back('}');
    }
    line.push_back('\n');
    return line;
}

namespace {

// A value of the details arrays: 4 decimals without trailing zeros (plenty
// for a plot of values in [-1, 1], a third of the bytes of a full double);
// null when not finite.
void append_rounded(std::string& out, double v) {
    if (!std::isfinite(v)) {
        out += "null";
        return;
    }
    char buf[64];
    int n = std::snprintf(buf, sizeof buf, "%.4f", v);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof buf) {
        out += json_number(v);
        return;
    }
    while (n > 0 && buf[n - 1] == '0') n--;
    if (n > 0 && buf[n - 1] == '.') n--;
    std::string text(buf, static_cast<size_t>(n));
    out += text == "-0" ? "0" : text;
}

void append_rounded_array(std::string& out, const std::vector<double>& values) {
    out.push_back('[');
    for (size_t i = 0; i < values.size(); i++) {
        if (i > 0) out.push_back(',');
        append_rounded(out, values[i]);
    }
    out.push_back(']');
}

// Ascending frame indices as inclusive runs: [[first,last],...].
void append_runs(std::string& out, const std::vector<int32_t>& frames) {
    out.push_back('[');
    for (size_t i = 0; i < frames.size();) {
        size_t j = i;
        while (j + 1 < frames.size() && frames[j + 1] == frames[j] + 1) j++;
        if (i > 0) out.push_back(',');
        out += "[" + std::to_string(frames[i]) + "," + std::to_string(frames[j]) + "]";
        i = j + 1;
    }
    out.push_back(']');
}

}  // namespace

void segment_times(const std::vector<int32_t>& kept, size_t segments, std::vector<double>& start,
                   std::vector<double>& end) {
    // The geometry of kelvor_details: frames of 256 samples at 10 kHz with
    // a hop of 128.
    constexpr double HOP = 128.0;
    constexpr double FRAME = 256.0;
    constexpr double RATE = 10000.0;
    constexpr size_t SEGMENT = SEGMENT_FRAMES;
    start.clear();
    end.clear();
    if (segments == 0 || kept.size() < segments + SEGMENT - 1) return;
    for (size_t m = 0; m < segments; m++) {
        start.push_back(HOP * kept[m] / RATE);
        end.push_back((HOP * kept[m + SEGMENT - 1] + FRAME) / RATE);
    }
}

bool is_details_key(const std::string& name) {
    static const char* const keys[] = {"details_format", "row", "band_centre_hz", "frame_count", "kept_frames",
                                       "estoi_segment", "stoi_correlation", "segment_start", "segment_end"};
    return find_column(name) != nullptr ||
           std::any_of(std::begin(keys), std::end(keys), [&](const char* key) { return name == key; });
}

std::string details_json(const Row& row, int64_t index, const Details& d, const std::vector<std::string>& metadata) {
    std::string out = "{\"details_format\": 2, \"row\": " + std::to_string(index) + ", ";
    // The row's cells up to the delay: what was scored and its scores.
    append_json_members(out, row, find_column("delay_ms") + 1, metadata);
    out += ", \"band_centre_hz\": [";
    for (size_t j = 0; j < d.band_centre_hz.size(); j++) {
        if (j > 0) out.push_back(',');
        out += std::isfinite(d.band_centre_hz[j]) ? shortest_text(d.band_centre_hz[j]) : "null";
    }
    out += "], \"frame_count\": " + std::to_string(d.frame_count);
    out += ", \"kept_frames\": ";
    append_runs(out, d.kept_frames);
    out += ",\n\"estoi_segment\": ";
    append_rounded_array(out, d.estoi_segment);
    out += ",\n\"stoi_correlation\": [";
    for (size_t j = 0; j < d.stoi_correlation.size(); j++) {
        out += j > 0 ? ",\n" : "\n";
        append_rounded_array(out, d.stoi_correlation[j]);
    }
    out += "]}\n";
    return out;
}

namespace {

std::string mismatch_text(const std::vector<std::string>& found, const std::vector<std::string>& wanted) {
    return "its metadata columns are " + column_list(found) + ", the listing's are " + column_list(wanted);
}

}  // namespace

long long read_rows_until(std::istream& in, Format format, const std::function<bool(const Row&)>& keep,
                          const std::vector<std::string>* metadata, std::vector<std::string>* found) {
    long long good = 0;
    Row row;
    std::vector<std::string> names;
    if (found != nullptr) found->clear();
    if (format == Format::csv) {
        CsvReader reader(in, ',');
        std::vector<std::string> fields;
        bool complete = false;
        try {
            if (!reader.next(fields, complete)) return 0;
            if (!complete) return 0;  // a header cut off: nothing of value yet
            bool standard = fields.size() >= ROW_COLUMN_COUNT;
            for (size_t c = 0; standard && c < ROW_COLUMN_COUNT; c++) standard = fields[c] == ROW_COLUMNS[c].name;
            if (!standard) {
                throw OutputFormatError("it is not a kelvor-batch CSV output (its first line is not the CSV header)");
            }
            names.assign(fields.begin() + ROW_COLUMN_COUNT, fields.end());
            if (found != nullptr) *found = names;
            const bool other = metadata != nullptr && names != *metadata;
            good = reader.offset();
            while (reader.next(fields, complete)) {
                if (!complete) break;
                // Another listing's header over no rows is an empty output.
                if (other) throw MetadataMismatch(mismatch_text(names, *metadata));
                if (fields.size() != ROW_COLUMN_COUNT + names.size() || !row_from_cells(fields, row)) {
                    throw OutputFormatError("its row on line " + std::to_string(reader.record_line()) +
                                            " is not a kelvor-batch CSV row");
                }
                if (!keep(row)) break;
                good = reader.offset();
            }
            if (other) return 0;
        } catch (const CsvLimitError& e) {
            throw OutputFormatError(std::string("it is not a kelvor-batch CSV output: ") + e.what());
        }
        return good;
    }
    std::string line;
    std::vector<std::string> v;
    std::vector<std::string> keys;
    bool first = true;
    std::streambuf* buf = in.rdbuf();
    for (int64_t number = 1;; number++) {
        // One line, without its line end; a line without one was cut off.
        line.clear();
        bool ended = false;
        for (int c = buf->sbumpc(); c != std::char_traits<char>::eof(); c = buf->sbumpc()) {
            if (c == '\n') {
                ended = true;
                break;
            }
            if (line.size() >= CSV_MAX_RECORD) {
                throw OutputFormatError("it is not a kelvor-batch JSON Lines output: its line " + std::to_string(number) +
                                        " is longer than " + std::to_string(CSV_MAX_RECORD) + " bytes");
            }
            line.push_back(static_cast<char>(c));
        }
        if (!ended) break;
        if (!json_cells(line, v, keys) || !row_from_cells(v, row)) {
            if (good == 0 && !line.empty() && line[0] != '{') {
                throw OutputFormatError("it is not a kelvor-batch JSON Lines output");
            }
            throw OutputFormatError("its line " + std::to_string(number) + " is not a kelvor-batch JSON row");
        }
        if (first) {
            names = keys;
            if (found != nullptr) *found = names;
            if (metadata != nullptr && names != *metadata) throw MetadataMismatch(mismatch_text(names, *metadata));
            first = false;
        } else if (keys != names) {
            throw OutputFormatError("its line " + std::to_string(number) + " has the metadata columns " +
                                    column_list(keys) + ", its first line " + column_list(names));
        }
        if (!keep(row)) break;
        good += static_cast<long long>(line.size()) + 1;
    }
    return good;
}

long long read_rows(std::istream& in, Format format, const std::function<void(const Row&)>& on_row,
                    const std::vector<std::string>* metadata, std::vector<std::string>* found) {
    return read_rows_until(
        in, format,
        [&](const Row& row) {
            on_row(row);
            return true;
        },
        metadata, found);
}

}  // namespace kelvor::frontend
