#include "batch_support.h"

#include <sndfile.h>
#include <soxr.h>

#include <sstream>
#include <stdexcept>

#include "batch/row_format.h"

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

std::vector<double> resampled(const std::vector<double>& x, int from, int to) {
    std::vector<double> y(x.size() * static_cast<size_t>(to) / static_cast<size_t>(from) + 16);
    soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT64_I, SOXR_FLOAT64_I);
    soxr_quality_spec_t q = soxr_quality_spec(SOXR_VHQ, 0);
    size_t done = 0;
    soxr_oneshot(from, to, 1, x.data(), x.size(), nullptr, y.data(), y.size(), &done, &io, &q, nullptr);
    y.resize(done);
    return y;
}

ToolRun run_batch(const std::vector<std::string>& args, const std::string& cwd) {
    std::vector<std::string> argv{KELVOR_BATCH_EXE};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv, cwd);
}

std::vector<kelvor::batch::Row> parse_rows(const std::string& text, bool jsonl) {
    std::istringstream in(text);
    std::vector<kelvor::batch::Row> rows;
    kelvor::batch::read_rows(in, jsonl ? kelvor::batch::Format::jsonl : kelvor::batch::Format::csv,
                             [&](const kelvor::batch::Row& r) { rows.push_back(r); });
    return rows;
}
