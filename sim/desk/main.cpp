// mp-desk [options]: the handheld on the desk. A simulated device in a
// window, running the real, unmodified mp_test: its panel as the panel last
// received it, lit by the backlight, its keys, wheel, detect lines and battery
// under the operator's hands, its sound on the desktop's output, and its
// storage kept from one boot to the next.
#define SDL_MAIN_HANDLED
#include <SDL.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "desk_device.h"
#include "sound.h"
#include "view.h"

namespace {

namespace fs = std::filesystem;
using desk::Entry;
using mpsim::Key;

struct Options {
    int zoom = 3;
    bool mute = false;
    std::string boot = "plain";
    bool fresh = false;
    std::string shots = ".";
    desk::DeskConfig device;
};

void usage(std::FILE *to) {
    std::fprintf(
        to,
        "usage: mp-desk [options]\n"
        "  --zoom N           panel pixels per device pixel (1 to 8, default 3)\n"
        "  --mute             no sound on the desktop's output\n"
        "  --boot MODE        at start: plain (default), factory, porch or off\n"
        "  --storage DIR      the device's storage (porch file, version files); default\n"
        "                     $XDG_STATE_HOME/mp-desk or ~/.local/state/mp-desk\n"
        "  --fresh            start with factory-fresh storage\n"
        "  --root DIR         device root for every boot (made anew each time, kept at quit)\n"
        "  --te-clock N       panel clock: the panel refreshes at N / (lines + porch) Hz\n"
        "  --finish CMD       the normal application the hand-off starts\n"
        "  --sys-version TEXT /etc/version of the storage\n"
        "  --app-version TEXT the application's version file in the storage\n"
        "  --shots DIR        where P saves panel screenshots (default: .)\n"
        "Keys: arrows, Return (START), A, B; wheel or + - for the volume; H, U detect\n"
        "levels; [ ] battery; F1 power on, F2 factory entry, F3 porch-adjust entry,\n"
        "F4 off, F5 power cycle, F8 factory-fresh; P screenshot; Ctrl+Q quit.\n");
}

std::optional<Options> parse(int argc, char **argv) {
    Options o;
    if (const char *state = std::getenv("XDG_STATE_HOME"); state != nullptr && *state != '\0')
        o.device.storage = std::string(state) + "/mp-desk";
    else if (const char *home = std::getenv("HOME"); home != nullptr && *home != '\0')
        o.device.storage = std::string(home) + "/.local/state/mp-desk";
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::optional<std::string> {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "mp-desk: %s needs a value\n", a.c_str());
                return std::nullopt;
            }
            return std::string(argv[++i]);
        };
        std::optional<std::string> v;
        if (a == "--mute") {
            o.mute = true;
            continue;
        }
        if (a == "--fresh") {
            o.fresh = true;
            continue;
        }
        if (a == "-h" || a == "--help") {
            usage(stdout);
            std::exit(0);
        }
        if (!(v = value()))
            return std::nullopt;
        if (a == "--zoom")
            o.zoom = std::atoi(v->c_str());
        else if (a == "--boot")
            o.boot = *v;
        else if (a == "--storage")
            o.device.storage = *v;
        else if (a == "--root")
            o.device.root = fs::absolute(*v).string();
        else if (a == "--te-clock")
            o.device.te_clock = std::atoi(v->c_str());
        else if (a == "--finish")
            o.device.finish = *v;
        else if (a == "--sys-version")
            o.device.sys_version = *v;
        else if (a == "--app-version")
            o.device.app_version = *v;
        else if (a == "--shots")
            o.shots = *v;
        else {
            std::fprintf(stderr, "mp-desk: unknown option %s\n", a.c_str());
            return std::nullopt;
        }
    }
    if (o.zoom < 1 || o.zoom > 8 || o.device.te_clock <= 0 || o.device.storage.empty() ||
        (o.boot != "plain" && o.boot != "factory" && o.boot != "porch" && o.boot != "off")) {
        std::fprintf(stderr, "mp-desk: bad --zoom, --te-clock, --boot or storage folder\n");
        return std::nullopt;
    }
    // The device reaches its storage through links, which need whole paths.
    o.device.storage = fs::absolute(o.device.storage).string();
    return o;
}

bool set(const char *env) {
    return env != nullptr && *env != '\0';
}

// The device's keys on the keyboard.
constexpr std::pair<SDL_Keycode, Key> kDeviceKeys[] = {
    {SDLK_UP, Key::Up},     {SDLK_RIGHT, Key::Right},  {SDLK_DOWN, Key::Down},
    {SDLK_LEFT, Key::Left}, {SDLK_RETURN, Key::Start}, {SDLK_KP_ENTER, Key::Start},
    {SDLK_a, Key::A},       {SDLK_b, Key::B}};

std::optional<Key> device_key(SDL_Keycode k) {
    for (const auto &[code, key] : kDeviceKeys)
        if (code == k)
            return key;
    return std::nullopt;
}

// The panel as shown, 1:1, in the next free panel-NNNN.png of `dir`.
std::string save_shot(const std::string &dir, const mpsim::Frame &lit) {
    if (!mpsim::png_supported())
        return "no PNG support in this build";
    for (int n = 1; n < 10000; ++n) {
        char name[32];
        std::snprintf(name, sizeof name, "panel-%04d.png", n);
        const fs::path p = fs::path(dir) / name;
        if (fs::exists(p))
            continue;
        if (!mpsim::write_png(p.string(), lit))
            return "cannot write " + p.string();
        std::printf("mp-desk: saved %s\n", p.c_str());
        std::fflush(stdout);
        return "saved " + p.string();
    }
    return "no free screenshot name in " + dir;
}

}  // namespace

int main(int argc, char **argv) {
    std::optional<Options> opt = parse(argc, argv);
    if (!opt) {
        usage(stderr);
        return 2;
    }
    SDL_SetMainReady();
    // Without a display SDL would fall back to drawing off screen, where no
    // one sees the device; a driver asked for by name is taken as it is.
    const bool driver_named = set(std::getenv("SDL_VIDEODRIVER"));
    if (!driver_named && !set(std::getenv("DISPLAY")) && !set(std::getenv("WAYLAND_DISPLAY"))) {
        std::fprintf(stderr, "mp-desk: no display to open a window on (DISPLAY is not set)\n");
        return 1;
    }
    if (!driver_named && !set(std::getenv("WAYLAND_DISPLAY")))
        SDL_SetHint(SDL_HINT_VIDEODRIVER, "x11");
    if (SDL_Init(SDL_INIT_VIDEO) != 0 ||
        (!driver_named && (std::strcmp(SDL_GetCurrentVideoDriver(), "offscreen") == 0 ||
                           std::strcmp(SDL_GetCurrentVideoDriver(), "dummy") == 0))) {
        std::fprintf(stderr, "mp-desk: no display to open a window on (%s)\n",
                     set(SDL_GetError()) ? SDL_GetError() : "no video driver but off screen");
        SDL_Quit();
        return 1;
    }
    const desk::Layout layout{opt->zoom};
    SDL_Window *window =
        SDL_CreateWindow("mp-desk", SDL_WINDOWPOS_UNDEFINED, SDL_WINDOWPOS_UNDEFINED,
                         layout.width(), layout.height(), 0);
    if (window == nullptr) {
        std::fprintf(stderr, "mp-desk: no window (%s)\n", SDL_GetError());
        SDL_Quit();
        return 1;
    }
    std::optional<desk::Speaker> speaker;
    if (!opt->mute) {
        if (SDL_InitSubSystem(SDL_INIT_AUDIO) == 0)
            speaker.emplace();
        else
            std::printf("mp-desk: no sound output (%s)\n", SDL_GetError());
    }

    int status = 0;
    try {
        if (opt->fresh)
            fs::remove_all(opt->device.storage);
        desk::DeskDevice device(opt->device);
        std::printf("mp-desk: device storage in %s\n", device.storage().c_str());
        std::fflush(stdout);
        std::string note;  // the last thing the desk did that the window should say
        auto power_on = [&](Entry e) {
            note.clear();
            device.power_on(e);
            if (speaker)
                speaker->power_on(device.root());
        };
        auto power_off = [&] {
            if (speaker)
                speaker->power_off();
            device.power_off();
        };
        if (opt->boot == "plain")
            power_on(Entry::Plain);
        else if (opt->boot == "factory")
            power_on(Entry::Factory);
        else if (opt->boot == "porch")
            power_on(Entry::PorchAdjust);

        desk::Canvas canvas(layout.width(), layout.height());
        std::optional<desk::Status> shown;
        bool dirty = true;
        uint32_t last_draw = 0;
        bool quit = false;
        auto handle = [&](const SDL_Event &e) {
            switch (e.type) {
                case SDL_QUIT:
                    quit = true;
                    break;
                case SDL_WINDOWEVENT:
                    // Keys held while the window loses the keyboard would
                    // stay held on the device for ever.
                    if (e.window.event == SDL_WINDOWEVENT_FOCUS_LOST)
                        device.release_keys();
                    dirty = true;
                    break;
                case SDL_MOUSEWHEEL:
                    device.step_volume(e.wheel.direction == SDL_MOUSEWHEEL_FLIPPED ? -e.wheel.y
                                                                                   : e.wheel.y);
                    break;
                case SDL_KEYUP:
                    if (auto k = device_key(e.key.keysym.sym))
                        device.set_key(*k, false);
                    break;
                case SDL_KEYDOWN: {
                    if (e.key.repeat != 0)
                        break;  // a held key is one press on the device
                    const bool shift = (e.key.keysym.mod & KMOD_SHIFT) != 0;
                    const bool ctrl = (e.key.keysym.mod & KMOD_CTRL) != 0;
                    if (auto k = device_key(e.key.keysym.sym)) {
                        device.set_key(*k, true);
                        break;
                    }
                    // The desk's own keys: power, storage, wheel, detect
                    // lines, battery, screenshot.
                    const std::pair<std::vector<SDL_Keycode>, std::function<void()>> desk_keys[] = {
                        {{SDLK_q}, [&] { quit = quit || ctrl; }},
                        {{SDLK_F1, SDLK_F5}, [&] { power_on(Entry::Plain); }},
                        {{SDLK_F2}, [&] { power_on(Entry::Factory); }},
                        {{SDLK_F3}, [&] { power_on(Entry::PorchAdjust); }},
                        {{SDLK_F4}, power_off},
                        {{SDLK_F8}, [&] { power_off(), device.factory_fresh(); }},
                        {{SDLK_PLUS, SDLK_EQUALS, SDLK_KP_PLUS}, [&] { device.step_volume(1); }},
                        {{SDLK_MINUS, SDLK_KP_MINUS}, [&] { device.step_volume(-1); }},
                        {{SDLK_PAGEUP}, [&] { device.step_volume(10); }},
                        {{SDLK_PAGEDOWN}, [&] { device.step_volume(-10); }},
                        {{SDLK_HOME}, [&] { device.set_volume(100); }},
                        {{SDLK_END}, [&] { device.set_volume(0); }},
                        {{SDLK_h}, [&] { device.toggle_headphone(); }},
                        {{SDLK_u}, [&] { device.toggle_usb(); }},
                        {{SDLK_LEFTBRACKET}, [&] { device.step_battery(shift ? -10 : -1); }},
                        {{SDLK_RIGHTBRACKET}, [&] { device.step_battery(shift ? 10 : 1); }},
                        {{SDLK_p, SDLK_F12}, [&] {
                             const desk::Status st = device.status();
                             note = save_shot(opt->shots, desk::lit_panel(device.panel(), st.duty));
                             dirty = true;
                         }}};
                    for (const auto &[codes, act] : desk_keys)
                        if (std::find(codes.begin(), codes.end(), e.key.keysym.sym) != codes.end())
                            act();
                    break;
                }
                default:
                    break;
            }
        };

        while (!quit) {
            SDL_Event e;
            if (SDL_WaitEventTimeout(&e, 15) != 0) {
                handle(e);
                while (!quit && SDL_PollEvent(&e) != 0)
                    handle(e);
            }
            device.tick();
            if (speaker)
                speaker->follow(device.state());
            const desk::Status s = device.status();
            // The sweep changes the backlight every 10 ms: drawing at the
            // desktop's rate is enough to see it as the device shows it.
            if ((dirty || !shown || s != *shown) && SDL_GetTicks() - last_draw >= 16) {
                desk::draw_window(canvas, layout, s, desk::lit_panel(device.panel(), s.duty), note);
                SDL_Surface *src = SDL_CreateRGBSurfaceWithFormatFrom(
                    canvas.pixels(), canvas.width(), canvas.height(), 32, canvas.width() * 4,
                    SDL_PIXELFORMAT_ARGB8888);
                SDL_Surface *dst = SDL_GetWindowSurface(window);
                if (src != nullptr && dst != nullptr) {
                    SDL_SetSurfaceBlendMode(src, SDL_BLENDMODE_NONE);
                    SDL_BlitSurface(src, nullptr, dst, nullptr);
                    SDL_UpdateWindowSurface(window);
                }
                SDL_FreeSurface(src);
                shown = s;
                dirty = false;
                last_draw = SDL_GetTicks();
            }
        }
        // Quitting is a power-off: mp_test is stopped as init stops it and
        // gives the keys back.
        power_off();
    } catch (const std::exception &ex) {
        std::fprintf(stderr, "mp-desk: %s\n", ex.what());
        status = 1;
    }
    speaker.reset();
    SDL_DestroyWindow(window);
    SDL_Quit();
    return status;
}
