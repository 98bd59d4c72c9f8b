// Runs one of the program's time-critical steps a given number of times, for
// counting instructions under an emulator: the count of a run with N steps
// less the count of a run with none is N steps' worth, set-up and exit
// cancelled out (bench/insn-count does the subtraction).
//
//   mp_insn_count STEP N
//
// STEP: fill, fill-limit, image, image-limit, text2, text3, text6,
// text2-limit, text3-limit, text6-limit, period, status, keys.
//
// The status and key steps read plain files in a fresh folder holding what
// the device files hold: only the program's own instructions are counted,
// the kernel's side of a read is not (it is not emulated).
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>

#include "device/device.h"
#include "input/keys.h"
#include "workloads.h"

namespace {

int value_file(const std::string &dir, const char *name, const char *text) {
    const std::string path = dir + "/" + name;
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || write(fd, text, strlen(text)) != static_cast<ssize_t>(strlen(text))) {
        std::perror(path.c_str());
        std::exit(1);
    }
    return fd;
}

void open_value_files() {
    char dir[] = "/tmp/mp-insn-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        std::perror("mkdtemp");
        std::exit(1);
    }
    // Nothing held, no headphone plug, no cable, a full battery.
    for (int i = 0; i < KEY_COUNT; ++i)
        fd_key[i] = value_file(dir, ("key" + std::to_string(i)).c_str(), "1\n");
    fd_head = value_file(dir, "head", "1\n");
    fd_usb = value_file(dir, "usb", "0\n");
    fd_bat = value_file(dir, "bat", "88\n");
    fd_vol = value_file(dir, "vol", "0\n");  // wheel at the top: full volume
    // Open descriptors keep the data; the folder need not outlive set-up.
    for (const char *f :
         {"key0", "key1", "key2", "key3", "key4", "key5", "key6", "head", "usb", "bat", "vol"})
        unlink((std::string(dir) + "/" + f).c_str());
    rmdir(dir);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s STEP N\n", argv[0]);
        return 2;
    }
    const std::string step = argv[1];
    const long n = std::strtol(argv[2], nullptr, 10);

    workload::Canvas canvas;
    workload::prepare_audio();
    open_value_files();

    const std::map<std::string, std::function<void()>> steps{
        {"fill", workload::fill_window},
        {"fill-limit", [&] { workload::fill_window_limit(canvas); }},
        {"image", workload::copy_window_image},
        {"image-limit", [&] { workload::copy_image_limit(canvas); }},
        {"text2", [] { workload::text_line(2); }},
        {"text3", [] { workload::text_line(3); }},
        {"text6", [] { workload::text_line(6); }},
        {"text2-limit", [&] { workload::text_limit(canvas, 2); }},
        {"text3-limit", [&] { workload::text_limit(canvas, 3); }},
        {"text6-limit", [&] { workload::text_limit(canvas, 6); }},
        {"period", workload::audio_period},
        {"status", workload::status_pass},
        {"keys", workload::key_pass},
    };
    const auto it = steps.find(step);
    if (it == steps.end() || n < 0) {
        std::fprintf(stderr, "%s: unknown step '%s' or bad count\n", argv[0], step.c_str());
        return 2;
    }
    // Once outside the count in every run, so that first-time work (the
    // status screen's detect boxes, lazy symbol binding) cancels out.
    it->second();
    for (long i = 0; i < n; ++i)
        it->second();
    return 0;
}
