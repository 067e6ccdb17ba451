// The reference profile on the pairs of tests/data/reference, read with the
// batch tool's reader: the resampler against the reference's own 10 kHz
// signal, and every pair's scores at every rate.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "frontend/audio_file.h"
#include "frontend/pair.h"
#include "conditioning/polyphase.h"
#include "support.h"

using namespace kelvor::frontend;

namespace {

std::string fixture(const std::string& name) {
    return source_path("tests/data/reference/" + name);
}

std::vector<double> read_doubles(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<double> v;
    double d;
    while (in.read(reinterpret_cast<char*>(&d), sizeof d)) v.push_back(d);
    return v;
}

TEST(ReferenceFixture, ResamplerGivesTheReferencesSignal) {
    for (int rate : {16000, 22050}) {
        SCOPED_TRACE(rate);
        const Audio clean = read_audio(fixture("audio/u0_" + std::to_string(rate) + "_clean.flac"), AudioOptions{}, "clean");
        const std::vector<double> x = clean.as_doubles();
        const std::vector<double> expected = read_doubles(fixture("resampled/u0_" + std::to_string(rate) + "_clean.10k.slices.f64"));
        ASSERT_EQ(expected.size(), 9000u);
        int32_t up = 0, down = 0;
        ASSERT_EQ(kelvor::polyphase_ratio(rate, &up, &down), kelvor::RATE_OK);
        const kelvor::PolyphaseFilter* f = kelvor::polyphase_acquire(up, down);
        const int64_t n = static_cast<int64_t>(x.size());
        const int64_t outputs = kelvor::polyphase_output_length(f, n);
        ASSERT_EQ(outputs, 56044);
        const int64_t starts[] = {0, 26522, 53044};
        for (int part = 0; part < 3; part++) {
            const int64_t k0 = starts[part];
            const int64_t first = kelvor::polyphase_newest(f, k0) - f->taps + 1;
            const int64_t end = kelvor::polyphase_newest(f, k0 + 2999) + 1;
            std::vector<double> span(static_cast<size_t>(end - first), 0.0);
            for (int64_t i = std::max<int64_t>(first, 0); i < std::min(end, n); i++) span[static_cast<size_t>(i - first)] = x[static_cast<size_t>(i)];
            std::vector<double> y(3000);
            std::vector<double> scratch(static_cast<size_t>(kelvor::polyphase_scratch_size(f, 3000)));
            kelvor::polyphase_run(f, span.data(), first, k0, 3000, y.data(), scratch.data());
            for (int k = 0; k < 3000; k++) {
                ASSERT_NEAR(y[static_cast<size_t>(k)], expected[static_cast<size_t>(part * 3000 + k)], 1e-10)
                    << "output " << k0 + k;
            }
        }
        kelvor::polyphase_release(f);
    }
}

TEST(ReferenceFixture, EveryRateScoresAsTheReference) {
    std::ifstream in(fixture("scores.csv"));
    std::string line;
    std::getline(in, line);
    int pairs = 0;
    while (std::getline(in, line)) {
        std::stringstream cells(line);
        std::string reference, degraded, rate, condition, stoi, estoi, deterministic;
        std::getline(cells, reference, ',');
        std::getline(cells, degraded, ',');
        std::getline(cells, rate, ',');
        std::getline(cells, condition, ',');
        std::getline(cells, stoi, ',');
        std::getline(cells, estoi, ',');
        std::getline(cells, deterministic, ',');
        SCOPED_TRACE(degraded);
        PairSpec listed;
        listed.reference = reference;
        listed.degraded = degraded;
        listed.reference_path = fixture(reference);
        listed.degraded_path = fixture(degraded);
        const Row row = score_pair(listed, PairOptions{});
        if (condition == "too_short") {
            EXPECT_EQ(row.status, KELVOR_ERR_TOO_SHORT);
            continue;
        }
        ASSERT_TRUE(row.ok()) << row.message;
        EXPECT_EQ(*row.rate, std::stoi(rate));
        EXPECT_NEAR(*row.stoi, std::stod(stoi), 1e-10);
        if (deterministic == "1") {
            EXPECT_NEAR(*row.estoi, std::stod(estoi), 1e-10);
        }
        pairs++;
    }
    EXPECT_EQ(pairs, 12);
}

}  // namespace
