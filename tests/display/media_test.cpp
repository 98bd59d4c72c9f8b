// PNG files of panel frames and WAV files of sound recordings, as the harness
// writes them for a person to look at and listen to.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "mpsim/harness.h"

namespace {

namespace fs = std::filesystem;

class MediaFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("mp-media-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name() + "-" +
                std::to_string(reinterpret_cast<uintptr_t>(this)));
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string file(const std::string &name) const { return (dir_ / name).string(); }
    static void put(const std::string &path, const std::vector<uint8_t> &bytes) {
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char *>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
    }
    static std::vector<uint8_t> get(const std::string &path) {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    fs::path dir_;
};

TEST_F(MediaFiles, PngKeepsEveryChannelOfEveryPixel) {
    if (!mpsim::png_supported()) {
        EXPECT_FALSE(mpsim::write_png(file("a.png"), mpsim::Frame{3, 1, 0, 0, {1, 2, 3}}));
        EXPECT_FALSE(mpsim::read_png(file("a.png")).has_value());
        GTEST_SKIP() << "built without libpng";
    }
    mpsim::Frame f;
    f.width = 7;
    f.height = 5;
    for (uint32_t i = 0; i < 35; ++i) {
        // Distinct red, green, blue and alpha in every pixel, alpha not only 0xFF.
        f.px.push_back(((0x40u + i) << 24) | ((i * 7u) << 16) | ((255u - i) << 8) | (i * 3u + 1u));
    }
    f.px[0] = 0xFF0000FFu;
    f.px[1] = 0x00000000u;
    ASSERT_TRUE(mpsim::write_png(file("a.png"), f));
    const auto back = mpsim::read_png(file("a.png"));
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->width, 7);
    EXPECT_EQ(back->height, 5);
    EXPECT_EQ(back->px, f.px);
}

TEST_F(MediaFiles, PngWithoutAlphaReadsOpaque) {
    if (!mpsim::png_supported()) {
        GTEST_SKIP() << "built without libpng";
    }
    // 2 x 2 RGB, 8 bits: (1,2,3) (250,128,0) / (0,0,0) (255,255,255).
    put(file("rgb.png"),
        {0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a, 0x00, 0x00, 0x00, 0x0d, 0x49,
         0x48, 0x44, 0x52, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x02, 0x08, 0x02,
         0x00, 0x00, 0x00, 0xfd, 0xd4, 0x9a, 0x73, 0x00, 0x00, 0x00, 0x14, 0x49, 0x44,
         0x41, 0x54, 0x78, 0x9c, 0x63, 0x60, 0x64, 0x62, 0xfe, 0xd5, 0xc0, 0x00, 0x02,
         0xff, 0xff, 0xff, 0x07, 0x00, 0x14, 0x92, 0x04, 0x7e, 0xb1, 0xc9, 0x21, 0xc4,
         0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4e, 0x44, 0xae, 0x42, 0x60, 0x82});
    const auto rgb = mpsim::read_png(file("rgb.png"));
    ASSERT_TRUE(rgb.has_value());
    EXPECT_EQ(rgb->px, (std::vector<uint32_t>{0xFF010203u, 0xFFFA8000u, 0xFF000000u, 0xFFFFFFFFu}));

    // 2 x 1 with a palette: index 1 (40,50,60), index 0 (10,20,30).
    put(file("pal.png"),
        {0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x48, 0x44,
         0x52, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x01, 0x08, 0x03, 0x00, 0x00, 0x00, 0xc3,
         0xfc, 0x8f, 0xb8, 0x00, 0x00, 0x00, 0x06, 0x50, 0x4c, 0x54, 0x45, 0x0a, 0x14, 0x1e, 0x28,
         0x32, 0x3c, 0xd5, 0x1b, 0xb4, 0xe9, 0x00, 0x00, 0x00, 0x0b, 0x49, 0x44, 0x41, 0x54, 0x78,
         0x9c, 0x63, 0x60, 0x64, 0x00, 0x00, 0x00, 0x05, 0x00, 0x02, 0xd1, 0x66, 0x33, 0x78, 0x00,
         0x00, 0x00, 0x00, 0x49, 0x45, 0x4e, 0x44, 0xae, 0x42, 0x60, 0x82});
    const auto pal = mpsim::read_png(file("pal.png"));
    ASSERT_TRUE(pal.has_value());
    EXPECT_EQ(pal->width, 2);
    EXPECT_EQ(pal->height, 1);
    EXPECT_EQ(pal->px, (std::vector<uint32_t>{0xFF28323Cu, 0xFF0A141Eu}));
}

TEST_F(MediaFiles, PngRefusesBadInputWithoutThrowing) {
    EXPECT_FALSE(mpsim::read_png(file("missing.png")).has_value());
    put(file("junk.png"), {'n', 'o', 't', ' ', 'a', ' ', 'p', 'n', 'g'});
    EXPECT_FALSE(mpsim::read_png(file("junk.png")).has_value());
    EXPECT_FALSE(mpsim::write_png(file("empty.png"), mpsim::Frame{}));
    EXPECT_FALSE(mpsim::write_png(file("short.png"), mpsim::Frame{4, 4, 0, 0, {1, 2, 3}}));
    EXPECT_FALSE(mpsim::write_png((dir_ / "no" / "such" / "dir.png").string(),
                                  mpsim::Frame{1, 1, 0, 0, {1}}));
}

uint32_t le32(const std::vector<uint8_t> &b, size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (uint32_t{b[at + 3]} << 24);
}
uint16_t le16(const std::vector<uint8_t> &b, size_t at) {
    return static_cast<uint16_t>(b[at] | (b[at + 1] << 8));
}

TEST_F(MediaFiles, WavIsPcm16WithTheRecordingsRateAndChannels) {
    mpsim::Recording r;
    r.rate = 44100;
    r.channels = 2;
    r.samples = {0, -1, 32767, -32768, 258, -258};
    ASSERT_TRUE(mpsim::write_wav(file("a.wav"), r));
    const auto b = get(file("a.wav"));
    ASSERT_EQ(b.size(), 44u + 12u);
    EXPECT_EQ(std::string(b.begin(), b.begin() + 4), "RIFF");
    EXPECT_EQ(le32(b, 4), 36u + 12u);
    EXPECT_EQ(std::string(b.begin() + 8, b.begin() + 16), "WAVEfmt ");
    EXPECT_EQ(le32(b, 16), 16u);
    EXPECT_EQ(le16(b, 20), 1);  // PCM
    EXPECT_EQ(le16(b, 22), 2);
    EXPECT_EQ(le32(b, 24), 44100u);
    EXPECT_EQ(le32(b, 28), 44100u * 4u);
    EXPECT_EQ(le16(b, 32), 4);
    EXPECT_EQ(le16(b, 34), 16);
    EXPECT_EQ(std::string(b.begin() + 36, b.begin() + 40), "data");
    EXPECT_EQ(le32(b, 40), 12u);
    const std::vector<uint8_t> data(b.begin() + 44, b.end());
    EXPECT_EQ(data, (std::vector<uint8_t>{0x00, 0x00, 0xFF, 0xFF, 0xFF, 0x7F, 0x00, 0x80, 0x02,
                                          0x01, 0xFE, 0xFE}));
}

TEST_F(MediaFiles, WavOfMonoAndOfAnEmptyRecording) {
    mpsim::Recording mono;
    mono.rate = 8000;
    mono.channels = 1;
    mono.samples = {5, 6, 7};
    ASSERT_TRUE(mpsim::write_wav(file("m.wav"), mono));
    auto b = get(file("m.wav"));
    ASSERT_EQ(b.size(), 44u + 6u);
    EXPECT_EQ(le16(b, 22), 1);
    EXPECT_EQ(le32(b, 24), 8000u);
    EXPECT_EQ(le32(b, 28), 16000u);
    EXPECT_EQ(le16(b, 32), 2);

    mpsim::Recording empty;
    empty.rate = 44100;
    empty.channels = 2;
    ASSERT_TRUE(mpsim::write_wav(file("e.wav"), empty));
    b = get(file("e.wav"));
    ASSERT_EQ(b.size(), 44u);
    EXPECT_EQ(le32(b, 40), 0u);

    mpsim::Recording ragged = mono;
    ragged.channels = 2;  // 3 samples are not whole stereo frames
    EXPECT_FALSE(mpsim::write_wav(file("r.wav"), ragged));
    EXPECT_FALSE(mpsim::write_wav((dir_ / "no" / "x.wav").string(), mono));
}

}  // namespace
