// Records of a CSV or TSV stream: fields split at the delimiter, LF or
// CRLF line ends. In CSV a field that begins with a double quote is quoted
// (it may hold the delimiter, line breaks and "" for a quote); a quote
// anywhere else is an ordinary character. TSV has no quoting at all.
#ifndef KELVOR_FRONTEND_CSV_H
#define KELVOR_FRONTEND_CSV_H

#include <cstdint>
#include <istream>
#include <stdexcept>
#include <string>
#include <vector>

namespace kelvor::frontend {

// The largest record and the largest field a reader accepts, in bytes:
// far beyond any list of file names, small enough that a stream of
// anything else (a device, a binary file) cannot exhaust memory.
constexpr size_t CSV_MAX_RECORD = size_t{1} << 20;
constexpr size_t CSV_MAX_FIELD = size_t{64} << 10;

// A record or a field longer than the reader's limits. line() is the line
// on which the record began (1-based).
class CsvLimitError : public std::runtime_error {
public:
    CsvLimitError(const std::string& what, int64_t line) : std::runtime_error(what), line_(line) {}
    int64_t line() const { return line_; }

private:
    int64_t line_;
};

class CsvReader {
public:
    // Fields may be quoted unless the delimiter is a tab (TSV).
    CsvReader(std::istream& in, char delimiter);

    // Reads the next record into fields. Returns false at the end of the
    // stream. complete is false for a last record that the stream cut off
    // (no line end after it, or inside an open quote). Throws
    // CsvLimitError for a record over CSV_MAX_RECORD bytes or a field over
    // CSV_MAX_FIELD bytes, as soon as the limit is passed.
    bool next(std::vector<std::string>& fields, bool& complete);
    // Bytes consumed so far: the offset of the next record.
    long long offset() const { return offset_; }
    // The line on which the last record read began (1-based).
    int64_t record_line() const { return record_line_; }
    // For a record cut off inside a quote: the line on which that quote
    // opened; 0 otherwise.
    int64_t open_quote_line() const { return open_quote_line_; }

private:
    std::istream& in_;
    char delimiter_;
    bool quoting_;
    long long offset_ = 0;
    int64_t line_ = 1;  // line of the next byte
    int64_t record_line_ = 0;
    int64_t open_quote_line_ = 0;
};

// True when the field must be quoted in a CSV record.
bool csv_needs_quotes(const std::string& field, char delimiter);
// The field as written in a record: quoted and its quotes doubled when needed.
std::string csv_field(const std::string& field, char delimiter = ',');

}  // namespace kelvor::frontend

#endif
