// kelvor-batch's manifest reader on random bytes: every input ends in rows
// or in a ListingError, never in a crash, a hang or memory beyond one
// record; rows count up from 0, no row that is opened names a file with a
// NUL byte, shift cells in range, every row carries a value for each
// metadata column and a second reading (rewind) gives the same rows.
//
// Input layout:
//   byte 0   the manifest's name: 0 m.csv, 1 m.tsv, 2 m.txt (delimiter
//            sniffed from the header), modulo 3
//   bytes 1- the manifest's bytes
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "frontend/listing.h"
#include "fuzz_batch.h"

using namespace kelvor::frontend;

namespace {

std::vector<PairSpec> read_all(ManifestSource& source) {
    std::vector<PairSpec> rows;
    PairSpec listed;
    while (source.next(listed)) {
        if (listed.index != static_cast<int64_t>(rows.size())) fuzz_fail("row index", std::to_string(listed.index));
        if (listed.status == KELVOR_OK) {
            if (listed.reference.find('\0') != std::string::npos || listed.degraded.find('\0') != std::string::npos) {
                fuzz_fail("a name with a NUL byte is opened", listed.reference + " / " + listed.degraded);
            }
            if (listed.shift < 0 || listed.shift > 999999999) fuzz_fail("shift", std::to_string(listed.shift));
        }
        if (listed.metadata.size() != source.metadata().size()) {
            fuzz_fail("metadata values for every metadata column", std::to_string(listed.metadata.size()));
        }
        if (listed.reference.size() > CSV_MAX_FIELD || listed.degraded.size() > CSV_MAX_FIELD) {
            fuzz_fail("field over the limit", std::to_string(listed.reference.size()));
        }
        rows.push_back(listed);
    }
    return rows;
}

bool same(const std::vector<PairSpec>& a, const std::vector<PairSpec>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); i++) {
        if (a[i].reference != b[i].reference || a[i].degraded != b[i].degraded ||
            a[i].reference_path != b[i].reference_path || a[i].shift != b[i].shift || a[i].align != b[i].align ||
            a[i].status != b[i].status || a[i].facts != b[i].facts ||
            a[i].metadata != b[i].metadata) {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    enter_scratch_dir("fuzz_manifest");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    static const char* const names[] = {"m.csv", "m.tsv", "m.txt"};
    const char* name = names[data[0] % 3];
    FILE* f = fopen(name, "wb");
    if (f == nullptr) fuzz_fail("cannot write the manifest", name);
    if (size > 1 && fwrite(data + 1, 1, size - 1, f) != size - 1) fuzz_fail("cannot write the manifest", name);
    fclose(f);

    std::vector<PairSpec> first;
    bool failed = false;
    try {
        ManifestSource source(name);
        first = read_all(source);
    } catch (const ListingError&) {
        failed = true;
    }
    // The same bytes read again give the same rows or the same refusal.
    try {
        ManifestSource source(name);
        std::vector<PairSpec> again = read_all(source);
        if (failed || !same(first, again)) fuzz_fail("a second reading differs", name);
        source.rewind();
        if (!same(first, read_all(source))) fuzz_fail("rewind differs", name);
    } catch (const ListingError& e) {
        if (!failed) fuzz_fail("a second reading fails", e.what());
    }
    return 0;
}
