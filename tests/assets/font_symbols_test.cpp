// The 8x8 font table is the public VGA font (its CRC-32), and every asset
// array has its exact size as the linker sees it (a short .bin would
// otherwise only show as garbage on the panel). What the images and clips
// look and sound like is what the end-to-end goldens show.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>

#include "assets.h"

namespace {

uint32_t crc32(const unsigned char *p, size_t len) {
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < len; ++i) {
        crc ^= p[i];
        for (int b = 0; b < 8; ++b) {
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
    }
    return ~crc;
}

TEST(Font, IsTheVgaTable) {
    EXPECT_EQ(crc32(fontdata_8x8, sizeof fontdata_8x8), 0x6B77BA17u);
}

// Symbol sizes in the mp_assets archive, read with the toolchain's nm.
TEST(Symbols, ArchiveHoldsEachArrayAtItsExactSize) {
    const std::string cmd = std::string(MP_NM) + " -S --defined-only '" + MP_ASSETS_ARCHIVE + "'";
    FILE *p = popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr) << cmd;
    std::map<std::string, unsigned long> sizes;
    char line[512];
    while (std::fgets(line, sizeof line, p)) {
        unsigned long addr = 0, size = 0;
        char type = 0;
        char name[256];
        if (std::sscanf(line, "%lx %lx %c %255s", &addr, &size, &type, name) == 4) {
            sizes[name] = size;
        }
    }
    ASSERT_EQ(pclose(p), 0) << cmd;
    const std::map<std::string, unsigned long> want = {
        {"sample_img", 172800},      {"color_img", 172800},     {"sample_img_down", 172800},
        {"sample_img_left", 172800}, {"sample_img_up", 172800}, {"sample_img_start", 172800},
        {"data0", 441000},           {"g_data0", 626220},       {"fontdata_8x8", 2048},
    };
    for (const auto &[name, size] : want) {
        ASSERT_TRUE(sizes.count(name)) << name << " missing from " << MP_ASSETS_ARCHIVE;
        EXPECT_EQ(sizes[name], size) << name;
    }
}

}  // namespace
