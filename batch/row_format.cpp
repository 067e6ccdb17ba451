#include "batch/row_format.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "batch/csv.h"
#include "batch/json.h"

namespace kelvor::batch {

const char* const COLUMNS[10] = {"reference", "degraded", "stoi", "estoi", "delay_samples",
                                 "delay_ms", "seconds", "rate", "status", "message"};

namespace {

std::string score_text(double v) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}

std::string shortest_text(double v) {
    char buf[40];
    auto result = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, result.ptr);
}

// The ten values as text, without quoting; `none` for a missing one.
std::vector<std::string> cells(const Row& row, const std::string& none) {
    auto number = [&](const std::optional<double>& v, bool score) {
        if (!v || !std::isfinite(*v)) return none;
        return score ? score_text(*v) : shortest_text(*v);
    };
    return {row.reference,
            row.degraded,
            number(row.stoi, true),
            number(row.estoi, true),
            row.delay_samples ? std::to_string(*row.delay_samples) : none,
            number(row.delay_ms, false),
            number(row.seconds, false),
            row.rate ? std::to_string(*row.rate) : none,
            row.status,
            row.message};
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

// Fills row from the ten values in column order; false if one is malformed.
bool row_from_cells(const std::vector<std::string>& v, Row& row) {
    if (v.size() != 10 || v[8].empty()) return false;
    row = Row{};
    row.reference = v[0];
    row.degraded = v[1];
    std::optional<int64_t> rate;
    if (!parse_double(v[2], row.stoi) || !parse_double(v[3], row.estoi) || !parse_int(v[4], row.delay_samples) ||
        !parse_double(v[5], row.delay_ms) || !parse_double(v[6], row.seconds) || !parse_int(v[7], rate)) {
        return false;
    }
    if (rate) row.rate = static_cast<int>(*rate);
    row.status = v[8];
    row.message = v[9];
    return true;
}

// A flat JSON object of string, number and null values, as format_row
// writes it, into the ten cells (null and numbers as their text).
bool json_cells(const std::string& line, std::vector<std::string>& v) {
    v.assign(10, std::string());
    std::vector<bool> seen(10, false);
    size_t i = 0;
    auto ws = [&] {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) i++;
    };
    auto string_at = [&](std::string& out) { return read_json_string(line, i, out); };
    ws();
    if (i >= line.size() || line[i++] != '{') return false;
    for (;;) {
        ws();
        std::string key;
        if (!string_at(key)) return false;
        ws();
        if (i >= line.size() || line[i++] != ':') return false;
        ws();
        std::string value;
        if (i < line.size() && line[i] == '"') {
            if (!string_at(value)) return false;
        } else {
            size_t b = i;
            while (i < line.size() && line[i] != ',' && line[i] != '}' && line[i] != ' ') i++;
            value = line.substr(b, i - b);
            if (value.empty()) return false;
        }
        for (int c = 0; c < 10; c++) {
            if (key == COLUMNS[c]) {
                v[static_cast<size_t>(c)] = value;
                seen[static_cast<size_t>(c)] = true;
            }
        }
        ws();
        if (i >= line.size()) return false;
        char c = line[i++];
        if (c == '}') break;
        if (c != ',') return false;
    }
    ws();
    if (i != line.size()) return false;
    for (bool s : seen) {
        if (!s) return false;
    }
    return true;
}

}  // namespace

std::string header_line(Format format) {
    if (format == Format::jsonl) return "";
    std::string line;
    for (int c = 0; c < 10; c++) {
        if (c > 0) line.push_back(',');
        line += COLUMNS[c];
    }
    line.push_back('\n');
    return line;
}

std::string format_row(const Row& row, Format format) {
    std::string line;
    if (format == Format::csv) {
        std::vector<std::string> v = cells(row, "");
        for (size_t c = 0; c < v.size(); c++) {
            if (c > 0) line.push_back(',');
            line += csv_field(v[c]);
        }
    } else {
        std::vector<std::string> v = cells(row, "null");
        line.push_back('{');
        for (size_t c = 0; c < v.size(); c++) {
            if (c > 0) line += ", ";
            line += json_quote(COLUMNS[c]);
            line += ": ";
            bool text = c == 0 || c == 1 || c == 8 || c == 9;
            line += text ? json_quote(v[c]) : v[c];
        }
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
        out += score_text(v);
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

std::string details_json(const Row& row, int64_t index, const Details& d) {
    std::string out = "{\"details_format\": 2, \"row\": " + std::to_string(index);
    out += ", \"reference\": " + json_quote(row.reference);
    out += ", \"degraded\": " + json_quote(row.degraded);
    out += ", \"stoi\": " + (row.stoi ? json_number(*row.stoi) : "null");
    out += ", \"estoi\": " + (row.estoi ? json_number(*row.estoi) : "null");
    out += ", \"delay_samples\": " + (row.delay_samples ? std::to_string(*row.delay_samples) : "null");
    out += ", \"delay_ms\": " + (row.delay_ms && std::isfinite(*row.delay_ms) ? shortest_text(*row.delay_ms) : "null");
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

long long read_rows_until(std::istream& in, Format format, const std::function<bool(const Row&)>& keep) {
    long long good = 0;
    Row row;
    if (format == Format::csv) {
        CsvReader reader(in, ',');
        std::vector<std::string> fields;
        bool complete = false;
        try {
            if (!reader.next(fields, complete)) return 0;
            if (!complete) return 0;  // a header cut off: nothing of value yet
            if (fields.size() != 10 || fields[0] != COLUMNS[0] || fields[9] != COLUMNS[9]) {
                throw OutputFormatError("it is not a kelvor-batch CSV output (its first line is not the CSV header)");
            }
            good = reader.offset();
            while (reader.next(fields, complete)) {
                if (!complete) break;
                if (!row_from_cells(fields, row)) {
                    throw OutputFormatError("its row on line " + std::to_string(reader.record_line()) +
                                            " is not a kelvor-batch CSV row");
                }
                if (!keep(row)) break;
                good = reader.offset();
            }
        } catch (const CsvLimitError& e) {
            throw OutputFormatError(std::string("it is not a kelvor-batch CSV output: ") + e.what());
        }
        return good;
    }
    std::string line;
    std::vector<std::string> v;
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
        if (!json_cells(line, v) || !row_from_cells(v, row)) {
            if (good == 0 && !line.empty() && line[0] != '{') {
                throw OutputFormatError("it is not a kelvor-batch JSON Lines output");
            }
            throw OutputFormatError("its line " + std::to_string(number) + " is not a kelvor-batch JSON row");
        }
        if (!keep(row)) break;
        good += static_cast<long long>(line.size()) + 1;
    }
    return good;
}

long long read_rows(std::istream& in, Format format, const std::function<void(const Row&)>& on_row) {
    return read_rows_until(in, format, [&](const Row& row) {
        on_row(row);
        return true;
    });
}

}  // namespace kelvor::batch
