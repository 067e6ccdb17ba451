// What --resume reads, on random bytes: an output of kelvor-batch in
// either format, and a run record. Reading never crashes or grows beyond
// one line; the part kept ends at a row's end within the input; every row
// read, written again, reads back the same (names of any bytes included,
// which JSON carries as \udcXX escapes, and the metadata columns); a JSON
// value written again parses to the same value.
//
// Input layout:
//   byte 0   0: CSV output, 1: JSON Lines output, 2: run record (modulo 3)
//   bytes 1- the file's bytes
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "frontend/json.h"
#include "frontend/row_format.h"
#include "fuzz_batch.h"

using namespace kelvor::frontend;

namespace {

bool same_row(const Row& a, const Row& b) {
    auto same_double = [](const std::optional<double>& x, const std::optional<double>& y) {
        return x.has_value() == y.has_value() && (!x || *x == *y || (*x != *x && *y != *y));
    };
    return a.reference == b.reference && a.degraded == b.degraded && a.status == b.status && a.message == b.message &&
           a.delay_samples == b.delay_samples && a.rate == b.rate && same_double(a.stoi, b.stoi) &&
           same_double(a.estoi, b.estoi) && same_double(a.delay_ms, b.delay_ms) && same_double(a.seconds, b.seconds) &&
           a.metadata == b.metadata;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    const int kind = data[0] % 3;
    if (kind == 2) {
        std::optional<JsonValue> value = parse_json(text);
        if (value) {
            std::optional<JsonValue> again = parse_json(value->to_json());
            if (!again || again->to_json() != value->to_json()) fuzz_fail("JSON written again differs", text);
        }
        return 0;
    }
    const Format format = kind == 1 ? Format::jsonl : Format::csv;
    std::istringstream in(text);
    long long kept = 0;
    std::vector<std::string> names;  // the output's metadata columns, known before its first row
    // Written again, a row reads back the same.
    auto written_again = [&](const Row& row) {
        Row shown = row;
        if (shown.stoi && !std::isfinite(*shown.stoi)) shown.stoi.reset();
        if (shown.estoi && !std::isfinite(*shown.estoi)) shown.estoi.reset();
        if (shown.delay_ms && !std::isfinite(*shown.delay_ms)) shown.delay_ms.reset();
        if (shown.seconds && !std::isfinite(*shown.seconds)) shown.seconds.reset();
        if (shown.metadata.size() != names.size()) fuzz_fail("metadata values", std::to_string(names.size()));
        std::istringstream again(header_line(format, names) + format_row(shown, format, names));
        int count = 0;
        auto same_as_shown = [&](const Row& back) {
            count++;
            if (!same_row(back, shown)) fuzz_fail("a row written again reads back otherwise", row.reference);
        };
        read_rows(again, format, same_as_shown, &names);
        if (count != 1) fuzz_fail("a row written again is not one row", row.reference);
    };
    try {
        kept = read_rows(in, format, written_again, nullptr, &names);
    } catch (const OutputFormatError&) {
        return 0;
    }
    if (kept < 0 || static_cast<size_t>(kept) > text.size()) fuzz_fail("kept length", std::to_string(kept));
    if (kept > 0 && text[static_cast<size_t>(kept) - 1] != '\n') fuzz_fail("kept part ends inside a line", text);
    return 0;
}
