#include "golden.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace mpt {

namespace {

bool updating() {
    const char *v = std::getenv("MP_UPDATE_GOLDEN");
    return v != nullptr && std::string(v) == "1";
}

}  // namespace

mpsim::Frame window_of(const uint32_t *fb, int w) {
    mpsim::Frame f;
    f.width = w;
    f.height = 180;
    f.px.assign(fb + static_cast<size_t>(39) * w, fb + static_cast<size_t>(39 + 180) * w);
    return f;
}

::testing::AssertionResult matches_golden(const std::string &name, const mpsim::Frame &f) {
    const std::string ref = std::string(DISPLAY_GOLDEN_DIR) + "/" + name + ".png";
    if (updating()) {
        std::filesystem::create_directories(DISPLAY_GOLDEN_DIR);
        if (!mpsim::write_png(ref, f)) {
            return ::testing::AssertionFailure() << "cannot write " << ref;
        }
        std::printf("wrote reference %s\n", ref.c_str());
        return ::testing::AssertionSuccess();
    }
    const auto want = mpsim::read_png(ref);
    if (!want) {
        return ::testing::AssertionFailure()
               << "no reference image " << ref
               << " (make it with MP_UPDATE_GOLDEN=1, see tests/display/README.md)";
    }
    if (want->width != f.width || want->height != f.height) {
        return ::testing::AssertionFailure()
               << name << ": drawn " << f.width << "x" << f.height << ", reference " << want->width
               << "x" << want->height;
    }
    int differ = 0;
    int first_x = -1, first_y = -1;
    for (int y = 0; y < f.height; ++y) {
        for (int x = 0; x < f.width; ++x) {
            if (f.at(x, y) != want->at(x, y)) {
                if (differ++ == 0) {
                    first_x = x;
                    first_y = y;
                }
            }
        }
    }
    if (differ == 0) {
        return ::testing::AssertionSuccess();
    }
    std::filesystem::create_directories(DISPLAY_OUTPUT_DIR);
    const std::string actual = std::string(DISPLAY_OUTPUT_DIR) + "/" + name + ".png";
    mpsim::write_png(actual, f);
    char buf[200];
    std::snprintf(
        buf, sizeof buf, "%s: %d pixels differ, the first at (%d, %d): drawn %08X, reference %08X",
        name.c_str(), differ, first_x, first_y, f.at(first_x, first_y), want->at(first_x, first_y));
    return ::testing::AssertionFailure() << buf << "; drawn image left in " << actual;
}

}  // namespace mpt
