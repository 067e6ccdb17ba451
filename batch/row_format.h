// The output of kelvor-batch: its columns, one Row as a CSV record or a
// JSON Lines object, and reading a written output back (for --resume).
#ifndef KELVOR_BATCH_ROW_FORMAT_H
#define KELVOR_BATCH_ROW_FORMAT_H

#include <functional>
#include <istream>
#include <stdexcept>
#include <string>

#include "batch/pair.h"
#include "batch/row.h"

namespace kelvor::batch {

enum class Format { csv, jsonl };

// Column names, in output order: the CSV header and the JSON keys.
extern const char* const COLUMNS[10];

// The CSV header line (with its line end); empty for JSON Lines.
std::string header_line(Format format);

// One row with its line end. stoi and estoi are written with "%.17g",
// delay_ms and seconds in the shortest form that reads back to the same
// double; a column without a value, and a value that is not a finite
// number, is empty (CSV) or null (JSON): no NaN or infinity is ever
// written. CSV fields are quoted as RFC 4180 asks when they hold a comma,
// a quote or a line break, and keep their bytes as they are. JSON strings
// hold well-formed UTF-8 as it is and every other byte b as \udcXX (the
// lone surrogate U+DC00 + b, which Python's "surrogateescape" turns back
// into the byte).
std::string format_row(const Row& row, Format format);

// One JSON object (with a line end): the file kelvor-batch --details
// writes for each scored pair. It holds "details_format" (2), the row
// index, reference, degraded, stoi and estoi (17 digits), delay_samples,
// delay_ms, band_centre_hz (exact), frame_count, kept_frames as inclusive
// runs [[first, last], ...], and estoi_segment and stoi_correlation (one
// list per band) rounded to 4 decimals. Segment times are not written:
// segment m spans the kept frames m .. m + 29 (see the README).
std::string details_json(const Row& row, int64_t index, const Details& details);

// An output file that kelvor-batch did not write, or in the other format.
class OutputFormatError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Reads an output written by format_row (after header_line for CSV),
// calling on_row for every complete row. Returns the length in bytes of
// the complete part: a last line that was cut off (no line end, or not a
// whole row) lies behind it. An empty stream is fine (returns 0). Throws
// OutputFormatError when the content is not such an output in `format`.
// Lines (and CSV records) are at most CSV_MAX_RECORD bytes long.
long long read_rows(std::istream& in, Format format, const std::function<void(const Row&)>& on_row);

// The same, but stops before the first row for which keep returns false:
// the length returned ends before that row.
long long read_rows_until(std::istream& in, Format format, const std::function<bool(const Row&)>& keep);

}  // namespace kelvor::batch

#endif
