// Keys, the volume wheel's table and where the built pieces are.
#include <stdlib.h>
#include <unistd.h>

#include <array>
#include <sstream>

#include "mpsim/harness.h"

namespace mpsim {

namespace {

std::string env_or(const char *name, const std::string &fallback) {
    const char *v = getenv(name);
    return v != nullptr && v[0] != '\0' ? std::string(v) : fallback;
}

std::vector<std::string> split(const std::string &s, char sep) {
    std::vector<std::string> out;
    std::string cur;
    for (char c : s) {
        if (c == sep) {
            if (!cur.empty())
                out.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    if (!cur.empty())
        out.push_back(cur);
    return out;
}

}  // namespace

unsigned key_gpio(Key k) {
    return static_cast<unsigned>(board_keys[static_cast<size_t>(k)].gpio);
}

// The program's table: readings 0..200 give 100 percent, then one percent
// less every 37 readings from 201 (99 - (i - 200) / 37), and 0 from 3863 on.
// The reading returned is in the middle of the readings that give `percent`.
int volume_raw_for_percent(int percent) {
    if (percent >= 100)
        return 100;
    if (percent <= 0)
        return 4000;
    int lo = 200 + 37 * (99 - percent);
    int hi = lo + 36;
    if (lo < 201)
        lo = 201;
    return lo + (hi - lo) / 2;
}

std::string preload_library() {
    if (const char *v = getenv("MPSIM_PRELOAD"); v != nullptr && v[0] != '\0')
        return v;
    std::string dir = MPSIM_PRELOAD_DIR;
    std::string multiarch = MPSIM_MULTIARCH;
    if (!multiarch.empty() &&
        access((dir + "/lib/" + multiarch + "/libmpsim.so").c_str(), R_OK) == 0)
        return dir + "/$LIB/libmpsim.so";
    return MPSIM_PRELOAD_FILE;
}

std::string alsa_plugin() {
    return env_or("MPSIM_ALSA_PLUGIN", MPSIM_PLUGIN_FILE);
}

std::string mp_test_binary() {
    return env_or("MPSIM_MP_TEST", MPSIM_MP_TEST_FILE);
}

std::vector<std::string> emulator() {
    if (const char *v = getenv("MPSIM_EMULATOR"); v != nullptr)
        return split(v, ' ');
    return split(MPSIM_EMULATOR_DEFAULT, '|');
}

}  // namespace mpsim
