// The output of kelvor-batch: its columns, one Row as a CSV record or a
// JSON Lines object, and reading a written output back (for --resume).
#ifndef KELVOR_FRONTEND_ROW_FORMAT_H
#define KELVOR_FRONTEND_ROW_FORMAT_H

#include <functional>
#include <istream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "frontend/pair.h"
#include "frontend/row.h"

namespace kelvor::frontend {

enum class Format { csv, jsonl };

// What a standard column holds: text (kept byte for byte), a real number,
// a whole number, or a status of the library's table, written and read
// back as its name (kelvor_status_name) and held as its number everywhere
// else. Python makes them object, float64, Int64 and object (the name)
// columns.
enum class ColumnType { text, real, integer, status };

// How a number is written.
enum class NumberForm {
    none,      // text
    digits17,  // "%.17g": the scores, as people compare them digit by digit
    shortest,  // the shortest text that reads back to the same double
    whole,     // a whole number
};

// One standard column: its name, what it holds, how it is written and
// where the Row keeps it (exactly one member pointer is set).
struct Column {
    const char* name;
    ColumnType type;
    NumberForm form;
    std::string Row::*text;
    std::optional<double> Row::*real;
    std::optional<int64_t> Row::*integer;
    int Row::*status = nullptr;
};

// The standard columns of every output row, in output order: the CSV
// header, the JSON keys, the Python records and the dtypes of the Python
// DataFrames all come from this one table. The listing's own columns
// (metadata) follow them, each under its own name.
inline constexpr Column ROW_COLUMNS[] = {
    {"reference", ColumnType::text, NumberForm::none, &Row::reference, nullptr, nullptr},
    {"degraded", ColumnType::text, NumberForm::none, &Row::degraded, nullptr, nullptr},
    {"stoi", ColumnType::real, NumberForm::digits17, nullptr, &Row::stoi, nullptr},
    {"estoi", ColumnType::real, NumberForm::digits17, nullptr, &Row::estoi, nullptr},
    {"delay_samples", ColumnType::integer, NumberForm::whole, nullptr, nullptr, &Row::delay_samples},
    {"delay_ms", ColumnType::real, NumberForm::shortest, nullptr, &Row::delay_ms, nullptr},
    {"seconds", ColumnType::real, NumberForm::shortest, nullptr, &Row::seconds, nullptr},
    {"rate", ColumnType::integer, NumberForm::whole, nullptr, nullptr, &Row::rate},
    {"status", ColumnType::status, NumberForm::none, nullptr, nullptr, nullptr, &Row::status},
    {"message", ColumnType::text, NumberForm::none, &Row::message, nullptr, nullptr},
};
inline constexpr size_t ROW_COLUMN_COUNT = sizeof ROW_COLUMNS / sizeof ROW_COLUMNS[0];

// The standard column named name; nullptr when there is none.
const Column* find_column(const std::string& name);

// A column's value as written: text as it is, a number in its form; empty
// (CSV) or null (JSON) when it has no value or is not a finite number.
std::string cell_text(const Column& column, const Row& row, Format format);

// The metadata names as a list for messages: (a, b, c), or "none".
std::string column_list(const std::vector<std::string>& names);

// The CSV header line (with its line end): the standard columns, then the
// metadata columns; empty for JSON Lines.
std::string header_line(Format format, const std::vector<std::string>& metadata = {});

// One row with its line end: the standard columns, then row.metadata
// under the names in `metadata` (a missing value is empty). stoi and
// estoi are written with "%.17g", delay_ms and seconds in the shortest
// form that reads back to the same double; a column without a value, and
// a value that is not a finite number, is empty (CSV) or null (JSON): no
// NaN or infinity is ever written. Metadata values are always text (also
// "NA", "12" or ""). CSV fields are quoted as RFC 4180 asks when they hold
// a comma, a quote or a line break, and keep their bytes as they are.
// JSON strings (keys too) hold well-formed UTF-8 as it is and every other
// byte b as \udcXX (the lone surrogate U+DC00 + b, which Python's
// "surrogateescape" turns back into the byte).
std::string format_row(const Row& row, Format format, const std::vector<std::string>& metadata = {});

// One JSON object (with a line end): the file kelvor-batch --details
// writes for each scored pair. It holds "details_format" (2), the row
// index, reference, degraded, stoi and estoi (17 digits), delay_samples,
// delay_ms, the metadata columns (as strings, under their own names),
// band_centre_hz (exact), frame_count, kept_frames as inclusive runs
// [[first, last], ...], and estoi_segment and stoi_correlation (one list
// per band) rounded to 4 decimals. Segment times are not written: they
// follow from the kept frames (segment_times).
std::string details_json(const Row& row, int64_t index, const Details& details,
                         const std::vector<std::string>& metadata = {});

// The kept frames a segment of kelvor_details spans.
inline constexpr size_t SEGMENT_FRAMES = 30;

// The times of the segments of details whose kept frames are `kept`, in
// seconds of the reference, as kelvor_details gives them (a details file
// leaves them out): segment m starts where kept frame m starts and ends
// where kept frame m + SEGMENT_FRAMES - 1 ends (frames of 256 samples at
// 10 kHz, a hop of 128). Fewer kept frames than the segments need give no times.
void segment_times(const std::vector<int32_t>& kept, size_t segments, std::vector<double>& start,
                   std::vector<double>& end);

// The keys of a details file besides the metadata: a listing column of
// one of these names cannot be carried into it.
bool is_details_key(const std::string& name);

// An output file that kelvor-batch did not write, or in the other format.
class OutputFormatError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// An output of kelvor-batch whose metadata columns are not the ones asked
// for: its rows describe other pairs than the listing's.
class MetadataMismatch : public OutputFormatError {
public:
    using OutputFormatError::OutputFormatError;
};

// Reads an output written by format_row (after header_line for CSV),
// calling on_row for every complete row (its metadata filled). Returns the
// length in bytes of the complete part: a last line that was cut off (no
// line end, or not a whole row) lies behind it. An empty stream is fine
// (returns 0). Throws OutputFormatError when the content is not such an
// output in `format`. Lines (and CSV records) are at most CSV_MAX_RECORD
// bytes long.
//
// The metadata columns of an output are those after the standard ones in
// its header (CSV) or in its first row (JSON Lines, where every row must
// have the same). found, when given, receives them. When metadata is
// given, they must be exactly these names in this order, or
// MetadataMismatch is thrown, naming both lists; a CSV header with other
// metadata columns and no row after it counts as an empty output
// (returns 0).
long long read_rows(std::istream& in, Format format, const std::function<void(const Row&)>& on_row,
                    const std::vector<std::string>* metadata = nullptr, std::vector<std::string>* found = nullptr);

// The same, but stops before the first row for which keep returns false:
// the length returned ends before that row.
long long read_rows_until(std::istream& in, Format format, const std::function<bool(const Row&)>& keep,
                          const std::vector<std::string>* metadata = nullptr,
                          std::vector<std::string>* found = nullptr);

}  // namespace kelvor::frontend

#endif
