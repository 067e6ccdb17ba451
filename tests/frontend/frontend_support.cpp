#include "frontend_support.h"

#include <sndfile.h>
#include <cmath>

#include <filesystem>
#include <sstream>
#include <stdexcept>

#include "frontend/csv.h"
#include "frontend/row_format.h"

void TempDirTest::write_sample_pair() const {
    write_file(path("ref.wav"), wav_bytes(sample_ref(), 8000));
    write_file(path("deg.wav"), wav_bytes(sample_deg(), 8000));
}

void TempDirTest::mkdirs(const std::string& relative) const {
    std::filesystem::create_directories(path(relative));
}

std::vector<kelvor::frontend::PairSpec> all_pairs(kelvor::frontend::PairSource& source) {
    std::vector<kelvor::frontend::PairSpec> pairs;
    kelvor::frontend::PairSpec listed;
    while (source.next(listed)) pairs.push_back(listed);
    return pairs;
}

std::vector<std::vector<std::string>> csv_records(const std::string& text, char delimiter) {
    std::istringstream in(text);
    kelvor::frontend::CsvReader reader(in, delimiter);
    std::vector<std::vector<std::string>> records;
    std::vector<std::string> fields;
    bool complete = false;
    while (reader.next(fields, complete)) records.push_back(fields);
    return records;
}

void write_sound(const std::string& path, const std::vector<double>& samples, int rate, int format, int channels) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = format;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    if (f == nullptr) throw std::runtime_error("can't write " + path + ": " + sf_strerror(nullptr));
    sf_writef_double(f, samples.data(), static_cast<sf_count_t>(samples.size() / static_cast<size_t>(channels)));
    sf_close(f);
}

void write_pcm16(const std::string& path, const std::vector<int16_t>& samples, int rate) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    if (f == nullptr) throw std::runtime_error("can't write " + path);
    sf_write_short(f, samples.data(), static_cast<sf_count_t>(samples.size()));
    sf_close(f);
}

const std::vector<int16_t>& sample_ref() {
    static const std::vector<int16_t> x = load_samples(source_path("samples/ref.wav"));
    return x;
}

const std::vector<int16_t>& sample_deg() {
    static const std::vector<int16_t> x = load_samples(source_path("samples/deg.wav"));
    return x;
}

std::vector<double> to_doubles(const std::vector<int16_t>& x) {
    std::vector<double> y(x.size());
    for (size_t i = 0; i < x.size(); i++) y[i] = x[i] / 32768.0;
    return y;
}

std::vector<int16_t> tiled(const std::vector<int16_t>& x, int64_t n) {
    std::vector<int16_t> out(static_cast<size_t>(n));
    for (size_t i = 0; i < out.size(); i++) out[i] = x[i % x.size()];
    return out;
}

std::vector<double> resampled(const std::vector<double>& x, int from, int to) {
    // Band-limited interpolation: a sinc cut off at the lower Nyquist
    // frequency, Hann-windowed over 64 of its zero crossings.
    const double cutoff = 0.5 * std::min(from, to);
    const double reach = 32.0 / (2.0 * cutoff);  // seconds on either side
    const size_t n = x.size() * static_cast<size_t>(to) / static_cast<size_t>(from);
    std::vector<double> y(n, 0.0);
    for (size_t m = 0; m < n; m++) {
        const double t = static_cast<double>(m) / to;
        const long first = std::max(0L, static_cast<long>(std::ceil((t - reach) * from)));
        const long last = std::min(static_cast<long>(x.size()) - 1, static_cast<long>(std::floor((t + reach) * from)));
        double sum = 0.0;
        for (long i = first; i <= last; i++) {
            const double d = t - static_cast<double>(i) / from;
            const double arg = 2.0 * cutoff * d;
            const double sinc = arg == 0.0 ? 1.0 : std::sin(M_PI * arg) / (M_PI * arg);
            const double window = 0.5 + 0.5 * std::cos(M_PI * d / reach);
            sum += x[static_cast<size_t>(i)] * sinc * window;
        }
        y[m] = sum * 2.0 * cutoff / from;
    }
    return y;
}

std::vector<kelvor::frontend::Row> parse_rows(const std::string& text, bool jsonl) {
    std::istringstream in(text);
    std::vector<kelvor::frontend::Row> rows;
    kelvor::frontend::read_rows(in, jsonl ? kelvor::frontend::Format::jsonl : kelvor::frontend::Format::csv,
                             [&](const kelvor::frontend::Row& r) { rows.push_back(r); });
    return rows;
}
