// Device access layer parts that need no fixed device path: value parsing
// through a kept-open handle, the per-operation write, the volume table.
#include "device/device.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

namespace {

class TempFile {
  public:
    TempFile() {
        char tmpl[] = "/tmp/mp_unit_XXXXXX";
        int fd = mkstemp(tmpl);
        EXPECT_GE(fd, 0);
        close(fd);
        path_ = tmpl;
    }
    ~TempFile() { unlink(path_.c_str()); }
    void set(const std::string &bytes) const {
        std::ofstream(path_, std::ios::binary | std::ios::trunc) << bytes;
    }
    std::string bytes() const {
        std::ifstream in(path_, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    const std::string &path() const { return path_; }

  private:
    std::string path_;
};

TEST(ReadValueFromFd, BooleanModeJudgesTheFirstByteOnly) {
    TempFile f;
    int fd = open(f.path().c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    f.set("0\n");
    EXPECT_EQ(read_value_from_fd(fd, 1), 0);
    f.set("1\n");
    EXPECT_EQ(read_value_from_fd(fd, 1), 1);
    f.set(std::string("\0", 1));
    EXPECT_EQ(read_value_from_fd(fd, 1), 1);
    f.set("");
    EXPECT_EQ(read_value_from_fd(fd, 1), 1) << "an empty read counts as level 1";
    close(fd);
    EXPECT_EQ(read_value_from_fd(-1, 1), 1);
}

TEST(ReadValueFromFd, ValueModeRewindsAndParsesLikeAtoi) {
    TempFile f;
    int fd = open(f.path().c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    f.set("4095\n");
    EXPECT_EQ(read_value_from_fd(fd, 0), 4095);
    // The same handle, rewound, sees the new value.
    f.set("17\n");
    EXPECT_EQ(read_value_from_fd(fd, 0), 17);
    f.set("  -42x");
    EXPECT_EQ(read_value_from_fd(fd, 0), -42);
    f.set("abc");
    EXPECT_EQ(read_value_from_fd(fd, 0), 0);
    close(fd);
    EXPECT_EQ(read_value_from_fd(-1, 0), 0);
}

TEST(ReadValueFromFd, NeverParsesPastTheBytesReadAndSaturates) {
    TempFile f;
    int fd = open(f.path().c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    // Ten digits fill the whole buffer: there is no terminator to stop at.
    f.set("9999999999999");
    EXPECT_EQ(read_value_from_fd(fd, 0), INT_MAX);
    f.set("-99999999999");
    EXPECT_EQ(read_value_from_fd(fd, 0), -999999999) << "only ten bytes are read";
    f.set("2147483647");
    EXPECT_EQ(read_value_from_fd(fd, 0), INT_MAX);
    close(fd);

    const char digits[4] = {'1', '2', '3', '4'};
    EXPECT_EQ(parse_int_bounded(digits, 3), 123);
    EXPECT_EQ(parse_int_bounded(digits, 0), 0);
    EXPECT_EQ(parse_int_bounded("-", 1), 0);
    EXPECT_EQ(parse_int_bounded("-99999999999", 12), INT_MIN);
    EXPECT_EQ(parse_int_bounded("-2147483648", 11), INT_MIN);
    EXPECT_EQ(parse_int_bounded("2147483648", 10), INT_MAX);
}

TEST(WriteValueToFile, WritesTenBytesOfZeroFilledText) {
    TempFile f;
    f.set("garbage-garbage");
    EXPECT_EQ(write_value_to_file(80000, f.path().c_str()), 1);
    // No truncation: the file keeps what lies beyond the ten bytes.
    EXPECT_EQ(f.bytes(), std::string("80000\0\0\0\0\0rbage", 15));
    f.set("");
    EXPECT_EQ(write_value_to_file(-5, f.path().c_str()), 1);
    EXPECT_EQ(f.bytes(), std::string("-5\0\0\0\0\0\0\0\0", 10));
}

TEST(WriteValueToFile, ReportsAFailedOpenWithThePath) {
    const std::string missing = "/tmp/mp_unit_no_such_dir/duty_cycle";
    testing::internal::CaptureStdout();
    EXPECT_EQ(write_value_to_file(1, missing.c_str()), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "open " + missing + " failed\n");
}

TEST(VolumeTable, StepsAndEnds) {
    init_audio_transfer();
    EXPECT_EQ(vol[0], 100);
    EXPECT_EQ(vol[200], 100);
    EXPECT_EQ(vol[201], 99);
    EXPECT_EQ(vol[236], 99);
    EXPECT_EQ(vol[237], 98);
    EXPECT_EQ(vol[274], 97);
    EXPECT_EQ(vol[3825], 2);
    EXPECT_EQ(vol[3826], 1);
    EXPECT_EQ(vol[3862], 1);
    EXPECT_EQ(vol[3863], 0);
    EXPECT_EQ(vol[3894], 0);
    EXPECT_EQ(vol[4095], 0);
    for (int i = 1; i < 4096; i++)
        ASSERT_LE(vol[i], vol[i - 1]) << "the percentage never rises with the reading, at " << i;
}

TEST(VolumeTable, OutOfRangeReadingsStayInsideTheTable) {
    init_audio_transfer();
    TempFile f;
    int saved = fd_vol;
    fd_vol = open(f.path().c_str(), O_RDONLY);
    ASSERT_GE(fd_vol, 0);
    f.set("-7\n");
    EXPECT_EQ(read_audio_volume(), 100);
    f.set("5000\n");
    EXPECT_EQ(read_audio_volume(), 0);
    f.set("99999999999\n");
    EXPECT_EQ(read_audio_volume(), 0);
    f.set("237\n");
    EXPECT_EQ(read_audio_volume(), 98);
    close(fd_vol);
    fd_vol = -1;
    EXPECT_EQ(read_audio_volume(), 100) << "a missing wheel reads as full volume";
    fd_vol = saved;
}

}  // namespace
