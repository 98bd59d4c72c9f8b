// Small program for the simulated device: draws one image with draw_image,
// which pushes the frame to the panel, and exits. draw_image always ends with
// a panel push (a TE wait and a write to the panel's update file), so it is
// only ever run on the simulated device, never on the machine's own /sys.
//
//   display_probe image down|left|up|start|sample|color
//       maps the framebuffer like the program does and draws that asset
//   display_probe guarded W H w h DUMP
//       draws a w x h test image into a W x H in-memory framebuffer with guard
//       words around it, writes the framebuffer's words to DUMP; exit status 3
//       when a guard word changed
//   display_probe none
//       draws with no framebuffer mapped
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "assets.h"
#include "device/device.h"
#include "display/draw.h"
#include "guarded_fb.h"
#include "probe_image.h"

namespace {

const uint8_t *asset(const std::string &name) {
    if (name == "down")
        return sample_img_down;
    if (name == "left")
        return sample_img_left;
    if (name == "up")
        return sample_img_up;
    if (name == "start")
        return sample_img_start;
    if (name == "sample")
        return sample_img;
    if (name == "color")
        return color_img;
    return nullptr;
}

int usage() {
    std::fprintf(stderr, "usage: display_probe image NAME | guarded W H w h DUMP | none\n");
    return 2;
}

int draw_asset(const std::string &name) {
    const uint8_t *img = asset(name);
    if (img == nullptr) {
        return usage();
    }
    FB_init();
    init_fd();
    draw_image(240, 180, img);
    deinit_fd();
    FB_deinit();
    return 0;
}

int draw_guarded(int fw, int fh, int w, int h, const char *dump) {
    const auto img = mpt::probe_image(w > 0 ? w : 0, h > 0 ? h : 0);
    const uint8_t dummy[4] = {1, 2, 3, 4};  // never read: nothing is copied for an empty image
    int rc = 0;
    {
        mpt::GuardedFb fb(fw, fh);
        init_fd();
        draw_image(w, h, img.empty() ? dummy : img.data());
        deinit_fd();
        if (!fb.guards_intact()) {
            std::fprintf(stderr, "guard words changed\n");
            rc = 3;
        }
        std::FILE *fp = std::fopen(dump, "wb");
        const auto words = fb.contents();
        if (fp == nullptr ||
            (!words.empty() && std::fwrite(words.data(), 4, words.size(), fp) != words.size())) {
            std::fprintf(stderr, "cannot write %s\n", dump);
            rc = rc ? rc : 4;
        }
        if (fp != nullptr) {
            std::fclose(fp);
        }
    }
    return rc;
}

int draw_without_framebuffer() {
    FB_buf = nullptr;
    width = 240;
    height = 240;
    init_fd();
    draw_image(240, 180, sample_img_up);
    deinit_fd();
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc == 3 && std::strcmp(argv[1], "image") == 0) {
        return draw_asset(argv[2]);
    }
    if (argc == 7 && std::strcmp(argv[1], "guarded") == 0) {
        return draw_guarded(std::atoi(argv[2]), std::atoi(argv[3]), std::atoi(argv[4]),
                            std::atoi(argv[5]), argv[6]);
    }
    if (argc == 2 && std::strcmp(argv[1], "none") == 0) {
        return draw_without_framebuffer();
    }
    return usage();
}
