// Replays a fuzz target's committed corpus in the ordinary build, so every
// seed and every finding kept there is a test of the suite.
//   replay DIR...   runs each file of each folder through the target once
#include <dirent.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char **argv) {
    int cases = 0;
    for (int i = 1; i < argc; i++) {
        DIR *dir = opendir(argv[i]);
        if (dir == nullptr) {
            std::perror(argv[i]);
            return 1;
        }
        std::vector<std::string> names;
        while (const dirent *e = readdir(dir)) {
            if (e->d_name[0] != '.' && e->d_type != DT_DIR)
                names.emplace_back(e->d_name);
        }
        closedir(dir);
        std::sort(names.begin(), names.end());
        for (const std::string &n : names) {
            std::ifstream in(std::string(argv[i]) + "/" + n, std::ios::binary);
            const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
            std::printf("%s\n", n.c_str());
            std::fflush(stdout);  // a failing case is the last name printed
            LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
            cases++;
        }
    }
    std::printf("%d cases\n", cases);
    return cases > 0 ? 0 : 1;
}
