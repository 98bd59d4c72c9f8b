// Reference images of screens, stored as PNG files under tests/display/golden.
//
// With MP_UPDATE_GOLDEN=1 in the environment the comparison writes the
// reference instead of comparing (see README.md); otherwise a mismatch leaves
// the image actually drawn under the build folder for a look.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "mpsim/harness.h"

namespace mpt {

// The window (rows 39 to 218, all columns) of a framebuffer `w` words wide.
mpsim::Frame window_of(const uint32_t *fb, int w);

// Compares f with the reference `name`.png, or writes it when updating.
::testing::AssertionResult matches_golden(const std::string &name, const mpsim::Frame &f);

}  // namespace mpt

// Skips the current test when this build cannot read PNG files.
#define MPT_REQUIRE_PNG()                                                                       \
    do {                                                                                        \
        if (!mpsim::png_supported()) {                                                          \
            GTEST_SKIP() << "built without libpng: reference images cannot be read or written"; \
        }                                                                                       \
    } while (0)
