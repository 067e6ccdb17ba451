// Records of a CSV or TSV stream: fields split at the delimiter, double
// quotes around a field that holds the delimiter, a quote ("" inside) or a
// line break; LF or CRLF line ends.
#ifndef KELVOR_BATCH_CSV_H
#define KELVOR_BATCH_CSV_H

#include <istream>
#include <string>
#include <vector>

namespace kelvor::batch {

class CsvReader {
public:
    CsvReader(std::istream& in, char delimiter) : in_(in), delimiter_(delimiter) {}
    // Reads the next record into fields. Returns false at the end of the
    // stream. complete is false for a last record that the stream cut off
    // (no line end after it, or inside an open quote).
    bool next(std::vector<std::string>& fields, bool& complete);
    // Bytes consumed so far: the offset of the next record.
    long long offset() const { return offset_; }

private:
    std::istream& in_;
    char delimiter_;
    long long offset_ = 0;
};

// True when the field must be quoted in a CSV record.
bool csv_needs_quotes(const std::string& field, char delimiter);
// The field as written in a record: quoted and its quotes doubled when needed.
std::string csv_field(const std::string& field, char delimiter = ',');

}  // namespace kelvor::batch

#endif
