// Name handling and the written WAV header, in-process.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "driver/audio_io.h"
#include "support.h"

using namespace kelvor;

namespace {

TEST(BaseName, TextAfterTheLastSeparator) {
    EXPECT_STREQ(base_name("C:\\data\\ref.wav"), "ref.wav");
    EXPECT_STREQ(base_name("dir/sub/deg.pcm"), "deg.pcm");
    EXPECT_STREQ(base_name("mixed\\dir/x.wav"), "x.wav");
    EXPECT_STREQ(base_name("/x"), "x");
    EXPECT_STREQ(base_name("plain.wav"), "plain.wav");
    EXPECT_STREQ(base_name("dir/"), "dir/");
    EXPECT_STREQ(base_name("dir\\"), "dir\\");
    EXPECT_STREQ(base_name(""), "");
}

TEST(WavName, DotWavAnywhereInLowerOrUpperCase) {
    EXPECT_TRUE(is_wav_name("a.wav"));
    EXPECT_TRUE(is_wav_name("b.WAV"));
    EXPECT_TRUE(is_wav_name("take.wav.pcm"));
    EXPECT_FALSE(is_wav_name("c.Wav"));
    EXPECT_FALSE(is_wav_name("d.pcm"));
    EXPECT_FALSE(is_wav_name("wav"));
}

TEST(WavHeader, FieldsForMonoAndStereo) {
    std::string dir = make_temp_dir();
    std::string path = dir + "/h.wav";
    for (bool stereo : {false, true}) {
        FILE* f = fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        fputs("something longer than nothing", f);
        ASSERT_TRUE(write_wav_header(f, stereo, 10000, 10001));
        fclose(f);
        std::string h = read_file(path).substr(0, 44);
        auto u32 = [&](int at) {
            return static_cast<uint32_t>(static_cast<uint8_t>(h[at]) | static_cast<uint8_t>(h[at + 1]) << 8 |
                                         static_cast<uint8_t>(h[at + 2]) << 16 |
                                         static_cast<uint32_t>(static_cast<uint8_t>(h[at + 3])) << 24);
        };
        auto u16 = [&](int at) { return static_cast<uint32_t>(static_cast<uint8_t>(h[at]) | static_cast<uint8_t>(h[at + 1]) << 8); };
        uint32_t channels = stereo ? 2 : 1;
        EXPECT_EQ(h.substr(0, 4), "RIFF");
        EXPECT_EQ(u32(4), 36 + 10001 * 2 * channels);
        EXPECT_EQ(h.substr(8, 8), "WAVEfmt ");
        EXPECT_EQ(u32(16), 16u);
        EXPECT_EQ(u16(20), 1u);
        EXPECT_EQ(u16(22), channels);
        EXPECT_EQ(u32(24), 10000u);
        EXPECT_EQ(u32(28), 10000 * channels * 2);
        EXPECT_EQ(u16(32), channels * 2);
        EXPECT_EQ(u16(34), 16u);
        EXPECT_EQ(h.substr(36, 4), "data");
        EXPECT_EQ(u32(40), 10001 * 2 * channels);
    }
    remove_tree(dir);
}

}  // namespace
