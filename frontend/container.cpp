#include "frontend/container.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace kelvor::frontend {

namespace {

// The most chunk headers followed before the data chunk: real files have a
// handful (fmt, fact, LIST, bext, JUNK, ...).
constexpr int MOST_CHUNKS = 4096;

bool read_at(int fd, int64_t at, unsigned char* out, size_t size) {
    size_t got = 0;
    while (got < size) {
        const ssize_t n = ::pread(fd, out + got, size - got, static_cast<off_t>(at) + static_cast<off_t>(got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        got += static_cast<size_t>(n);
    }
    return true;
}

uint64_t little(const unsigned char* p, int bytes) {
    uint64_t v = 0;
    for (int i = bytes; i-- > 0;) v = v << 8 | p[i];
    return v;
}

uint64_t big(const unsigned char* p, int bytes) {
    uint64_t v = 0;
    for (int i = 0; i < bytes; i++) v = v << 8 | p[i];
    return v;
}

bool is(const unsigned char* p, const char* tag) {
    return std::memcmp(p, tag, 4) == 0;
}

// Whether a 32-bit size field followed by `present` bytes says "unknown":
// 0 or all ones, or the placeholder some writers to a pipe leave (2^31 -
// 4096) over fewer bytes, as no whole file is laid out.
bool unknown_size(uint64_t size, int64_t present) {
    constexpr uint64_t PLACEHOLDER = 0x7FFFF000u;
    return present > 0 &&
           (size == 0 || size == 0xFFFFFFFFu || (size == PLACEHOLDER && static_cast<uint64_t>(present) < size));
}

// A streamed file's size field read as "to the end": all ones, which the
// decoder takes so.
void patch_all_ones(DataExtent& extent, int64_t at, int size) {
    extent.patch_at = at;
    extent.patch_size = size;
    std::memset(extent.patch, 0xFF, sizeof extent.patch);
}

// WAV: RIFF (little-endian), RIFX (big-endian), RF64 and BW64 (sizes
// over 4 GiB in a ds64 chunk). Chunks of an even length follow "WAVE".
DataExtent riff(int fd, int64_t file_size, const unsigned char* head) {
    DataExtent extent;
    const bool wide = is(head, "RF64") || is(head, "BW64");
    const bool swapped = is(head, "RIFX");
    if (!is(head + 8, "WAVE")) return extent;
    auto number = [&](const unsigned char* p, int bytes) { return swapped ? big(p, bytes) : little(p, bytes); };
    int64_t ds64_data_at = -1;  // the offset of the 64-bit data size
    uint64_t ds64_data = 0;
    int64_t at = 12;
    for (int chunk = 0; chunk < MOST_CHUNKS && at + 8 <= file_size; chunk++) {
        unsigned char header[8];
        if (!read_at(fd, at, header, 8)) return extent;
        const uint64_t size = number(header + 4, 4);
        if (wide && is(header, "ds64")) {
            unsigned char sizes[16];
            if (size < 16 || !read_at(fd, at + 8, sizes, 16)) return extent;
            ds64_data_at = at + 16;
            ds64_data = little(sizes + 8, 8);
        }
        if (is(header, "data")) {
            extent.known = true;
            extent.present = file_size - (at + 8);
            if (wide && size == 0xFFFFFFFFu) {
                if (ds64_data_at < 0) return DataExtent{};
                // A ds64 size that says "unknown" is told the bytes present.
                if ((ds64_data == 0 || ds64_data == ~uint64_t{0}) && extent.present > 0) {
                    extent.streamed = true;
                    extent.patch_at = ds64_data_at;
                    extent.patch_size = 8;
                    for (int i = 0; i < 8; i++) extent.patch[i] = static_cast<unsigned char>(uint64_t(extent.present) >> (8 * i));
                    return extent;
                }
                extent.stated = ds64_data > uint64_t(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(ds64_data);
                return extent;
            }
            if (unknown_size(size, extent.present)) {
                extent.streamed = true;
                if (size == 0) patch_all_ones(extent, at + 4, 4);
                return extent;
            }
            extent.stated = static_cast<int64_t>(size);
            return extent;
        }
        at += 8 + static_cast<int64_t>(size) + static_cast<int64_t>(size & 1);
    }
    return extent;
}

// AIFF and AIFC: big-endian chunks of an even length after "AIFF"/"AIFC".
// The audio is the SSND chunk's, after its offset and block size; COMM
// states the frames, which for PCM give the bytes too.
DataExtent aiff(int fd, int64_t file_size, const unsigned char* head) {
    DataExtent extent;
    const bool compressed = is(head + 8, "AIFC");
    if (!compressed && !is(head + 8, "AIFF")) return extent;
    int64_t comm_bytes = -1;  // bytes COMM's frames take, when its samples are PCM
    int64_t at = 12;
    for (int chunk = 0; chunk < MOST_CHUNKS && at + 8 <= file_size; chunk++) {
        unsigned char header[8];
        if (!read_at(fd, at, header, 8)) return extent;
        const uint64_t size = big(header + 4, 4);
        if (is(header, "COMM")) {
            unsigned char comm[22];
            const size_t need = compressed ? 22 : 18;
            if (size < need || !read_at(fd, at + 8, comm, need)) return extent;
            const uint64_t channels = big(comm, 2), frames = big(comm + 2, 4), bits = big(comm + 6, 2);
            const bool pcm = !compressed || is(comm + 18, "NONE") || is(comm + 18, "twos") || is(comm + 18, "sowt");
            if (pcm && bits >= 1 && bits <= 64) comm_bytes = static_cast<int64_t>(frames * channels * ((bits + 7) / 8));
        }
        if (is(header, "SSND")) {
            unsigned char offset[4];
            if (size != 0 && size != 0xFFFFFFFFu && size < 8) return extent;
            if (!read_at(fd, at + 8, offset, 4)) return extent;
            const int64_t skip = static_cast<int64_t>(big(offset, 4));
            extent.known = true;
            extent.present = file_size - (at + 16 + skip);
            if (extent.present < 0) extent.present = 0;
            const bool unknown = size == 0 || size == 0xFFFFFFFFu;
            // The decoder reads an SSND of unknown size to the end, and
            // takes the frames from the bytes rather than from COMM.
            if (unknown && comm_bytes <= 0 && extent.present > 0) {
                extent.streamed = true;
                return extent;
            }
            extent.stated = unknown ? 0 : static_cast<int64_t>(size) - 8 - skip;
            if (comm_bytes > extent.stated) extent.stated = comm_bytes;
            return extent;
        }
        at += 8 + static_cast<int64_t>(size) + static_cast<int64_t>(size & 1);
    }
    return extent;
}

// AU (".snd", big-endian; "dns." little-endian): a fixed header with the
// data's offset and size; all ones is "unknown".
DataExtent au(int64_t file_size, const unsigned char* head) {
    DataExtent extent;
    const bool swapped = is(head, "dns.");
    const uint64_t offset = swapped ? little(head + 4, 4) : big(head + 4, 4);
    const uint64_t size = swapped ? little(head + 8, 4) : big(head + 8, 4);
    if (offset < 24 || static_cast<int64_t>(offset) > file_size) return extent;
    extent.known = true;
    extent.present = file_size - static_cast<int64_t>(offset);
    if (unknown_size(size, extent.present)) {
        extent.streamed = true;
        if (size == 0) patch_all_ones(extent, 8, 4);
        return extent;
    }
    extent.stated = static_cast<int64_t>(size);
    return extent;
}

const unsigned char W64_RIFF[16] = {'r', 'i', 'f', 'f', 0x2E, 0x91, 0xCF, 0x11,
                                    0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00};
const unsigned char W64_WAVE[16] = {'w', 'a', 'v', 'e', 0xF3, 0xAC, 0xD3, 0x11,
                                    0x8C, 0xD1, 0x00, 0xC0, 0x4F, 0x8E, 0xDB, 0x8A};
const unsigned char W64_DATA[16] = {'d', 'a', 't', 'a', 0xF3, 0xAC, 0xD3, 0x11,
                                    0x8C, 0xD1, 0x00, 0xC0, 0x4F, 0x8E, 0xDB, 0x8A};

// NIST SPHERE: "NIST_1A", the header's size, then "name -type value"
// lines up to "end_head"; the samples follow the header.
DataExtent nist(int fd, int64_t file_size) {
    DataExtent extent;
    unsigned char text[4096];
    const int64_t most = file_size < 4096 ? file_size : 4096;
    if (!read_at(fd, 0, text, static_cast<size_t>(most))) return extent;
    const std::string head(reinterpret_cast<const char*>(text), static_cast<size_t>(most));
    const int64_t header = std::strtoll(head.c_str() + 8, nullptr, 10);
    if (header < 16 || header > file_size) return extent;
    // The integer field `name`; -1 when the header has none.
    auto field = [&](const std::string& name) -> long long {
        const size_t at = head.find("\n" + name + " -i ");
        return at == std::string::npos ? -1 : std::strtoll(head.c_str() + at + name.size() + 5, nullptr, 10);
    };
    const size_t coding = head.find("\nsample_coding -s");
    if (coding != std::string::npos) {
        const size_t value = head.find(' ', coding + 18);
        const std::string kind = value == std::string::npos ? "" : head.substr(value + 1, 4);
        if (kind != "pcm\n" && kind.compare(0, 3, "pcm") != 0 && kind != "ulaw" && kind != "alaw") return extent;
    }
    const long long samples = field("sample_count"), width = field("sample_n_bytes");
    const long long channels = field("channel_count") < 0 ? 1 : field("channel_count");
    if (samples < 0 || width < 1 || width > 8 || channels < 1 || channels > 65535 ||
        samples > INT64_MAX / 8 / channels) {
        return extent;
    }
    extent.known = true;
    extent.present = file_size - header;
    extent.stated = samples * channels * width;
    return extent;
}

// Wave64: chunks named by a GUID, whose 64-bit sizes count their 24-byte
// header, each starting on a multiple of 8.
DataExtent w64(int fd, int64_t file_size) {
    DataExtent extent;
    unsigned char head[40];
    if (!read_at(fd, 0, head, 40) || std::memcmp(head + 24, W64_WAVE, 16) != 0) return extent;
    int64_t at = 40;
    for (int chunk = 0; chunk < MOST_CHUNKS && at + 24 <= file_size; chunk++) {
        unsigned char header[24];
        if (!read_at(fd, at, header, 24)) return extent;
        const uint64_t size = little(header + 16, 8);
        if (size < 24 || size > uint64_t(INT64_MAX) - 8) return extent;
        if (std::memcmp(header, W64_DATA, 16) == 0) {
            extent.known = true;
            extent.present = file_size - (at + 24);
            extent.stated = static_cast<int64_t>(size) - 24;
            return extent;
        }
        at += static_cast<int64_t>((size + 7) / 8 * 8);
    }
    return extent;
}

}  // namespace

DataExtent data_extent(int fd) {
    struct stat st {};
    unsigned char head[16];
    if (fstat(fd, &st) != 0 || st.st_size < 16 || !read_at(fd, 0, head, 16)) return DataExtent{};
    const int64_t file_size = st.st_size;
    if (is(head, "RIFF") || is(head, "RIFX") || is(head, "RF64") || is(head, "BW64")) return riff(fd, file_size, head);
    if (is(head, "FORM")) return aiff(fd, file_size, head);
    if (is(head, ".snd") || is(head, "dns.")) return au(file_size, head);
    if (std::memcmp(head, "NIST_1A\n", 8) == 0) return nist(fd, file_size);
    if (std::memcmp(head, W64_RIFF, 16) == 0) return w64(fd, file_size);
    return DataExtent{};
}

}  // namespace kelvor::frontend
