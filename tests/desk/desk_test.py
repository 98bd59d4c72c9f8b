#!/usr/bin/python3
"""mp-desk in a real window under Xvfb, driven by synthetic key events, muted.

desk_test.py factory MP_DESK
    Power on holding the factory entry: the information screen and its
    calibration, A with B into the colour test, on to the first key prompt.
    Each time the window's panel area is the frame the device took, scaled by
    the zoom; at a quarter of the full backlight duty it is a quarter as
    bright. A power cycle boots with the porch the calibration stored, and
    quitting stops mp_test, which gives the keys back.
desk_test.py no-display COMMAND...
    Without a display each command says so in one line and ends with status 1.
"""
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time

import numpy as np
from PIL import ImageGrab

ZOOM, EDGE = 2, 16  # the window's panel: 240 x 180 pixels at ZOOM, EDGE from the corner
TE_CLOCK = 21672  # 63 frames per second at the default porch 24: calibration moves it
DUTY = "/sys/devices/soc/1c21000.pwm/pwm/pwmchip0/pwm0/duty_cycle"
BIND = "/sys/bus/platform/drivers/gpio-keys-polled/"
GPIO = {"a": 138, "b": 137, "Return": 139}


def wait(cond, what, timeout=120):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if cond():
            return
        time.sleep(0.1)
    sys.exit("FAILED: no " + what)


def no_display(commands):
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    for cmd in commands:
        r = subprocess.run([cmd], env=env, capture_output=True, text=True, timeout=60)
        lines = (r.stdout + r.stderr).splitlines()
        assert r.returncode == 1 and len(lines) == 1, f"{cmd}: status {r.returncode}, {lines}"


def factory(desk_bin, tmp):
    root, storage = tmp + "/root", tmp + "/storage"
    r, w = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(w), "-screen", "0", "1280x800x24",
                             "-nolisten", "tcp"], pass_fds=[w], stderr=subprocess.DEVNULL)
    display = ":" + os.read(r, 16).decode().strip()
    env = dict(os.environ, DISPLAY=display)
    # The number comes when the server listens; under load it may take clients
    # a moment later, and mp-desk gives up on a display that does not answer.
    wait(lambda: subprocess.run(["xdotool", "getdisplaygeometry"], env=env, capture_output=True,
                                timeout=60).returncode == 0, "answer from Xvfb", 60)
    desk = subprocess.Popen([desk_bin, "--mute", "--zoom", str(ZOOM), "--boot", "off",
                             "--te-clock", str(TE_CLOCK), "--storage", storage, "--root", root],
                            env=env)
    try:
        def xdo(*args):
            return subprocess.run(["xdotool", *args], env=env, capture_output=True, text=True,
                                  timeout=60).stdout

        # xdotool walks the window tree and gives up (empty output) when a window
        # it reaches is destroyed meanwhile, as happens while SDL sets up: ask
        # again until the one window and its place are answered twice the same.
        find = ("search", "--onlyvisible", "--name", "^mp-desk$")
        seen = []

        def placed():
            ids = xdo(*find).split()
            geo = xdo("getwindowgeometry", "--shell", ids[0]).split() if len(ids) == 1 else []
            seen.append((ids, geo))
            return len(geo) > 0 and seen[-2:] == [seen[-1]] * 2

        wait(placed, "window")
        win, geo = seen[-1][0][0], dict(kv.split("=") for kv in seen[-1][1])
        xdo("windowfocus", "--sync", win)
        x0, y0 = int(geo["X"]) + EDGE, int(geo["Y"]) + EDGE

        def read(path, mode="rb"):
            try:
                with open(root + path, mode) as f:
                    return f.read()
            except FileNotFoundError:  # the device is being made anew
                return None

        def frames():
            try:
                return sorted(f for f in os.listdir(root + "/.sim/frames") if f.endswith(".frame"))
            except FileNotFoundError:
                return []

        def frame(name):
            b = read("/.sim/frames/" + name)
            width, height = struct.unpack_from("<2I", b, 4)
            px = np.frombuffer(b, "<u4", width * height, 24).reshape(height, width)
            return np.stack([(px >> s) & 0xFF for s in (16, 8, 0)], axis=-1).astype(int)

        def shows_last(n, dim=1):
            def ok():
                f = frames()
                if len(f) < n:
                    return False
                want = (frame(f[-1]) // dim).repeat(ZOOM, 0).repeat(ZOOM, 1)
                box = (x0, y0, x0 + want.shape[1], y0 + want.shape[0])
                got = np.asarray(ImageGrab.grab(bbox=box, xdisplay=display).convert("RGB"))
                return np.abs(got.astype(int) - want).max() <= 1
            wait(ok, f"frame {n - 1} in the window's panel" + (f" at 1/{dim}" if dim > 1 else ""))

        def gpio_level(gpio):  # State: magic, version, then the line levels
            b = read("/.sim/state")
            return struct.unpack_from("<i", b, 8 + 4 * gpio)[0] if b else None

        def press(*keys, until=None):
            xdo("keydown", *keys)
            wait(lambda: all(gpio_level(GPIO[k]) == 0 for k in keys), "key on the device")
            wait(until, "effect of the keys") if until else time.sleep(0.7)
            xdo("keyup", *keys)

        def first_porch():  # the bytes the boot gave the panel's porch first
            for line in (read("/.sim/journal", "r") or "").splitlines():
                f = line.split(" ")
                if f[2:4] == ["write", "/sys/kernel/screen_update/lcdporch"]:
                    return bytes.fromhex(f[4])
            return None

        xdo("key", "F2")
        shows_last(1)  # the information screen
        wait(lambda: len(frames()) >= 3, "calibrated porch on the screen", 180)
        shows_last(3)
        stored = read("/mnt/UDISK/.lcdporch")
        press("a", "b", until=lambda: len(frames()) >= 4)
        shows_last(4)  # white: the colour test
        for n in (5, 6, 7):  # black, the colour image, the DOWN prompt
            press("Return")
            shows_last(n)
        with open(root + DUTY, "w") as f:
            f.write("20000")
        shows_last(7, dim=4)

        xdo("key", "F5")  # power cycle: an ordinary boot
        wait(lambda: first_porch() == stored, f"boot with the stored porch {stored}")
        wait(lambda: read("/finish.txt"), "normal application after the hand-off")
        xdo("key", "F2")
        wait(lambda: len(frames()) >= 1, "information screen after a power cycle")
        xdo("key", "ctrl+q")
        assert desk.wait(60) == 0, "mp-desk did not end cleanly"
        writes = [line.split(" ")[3] for line in read("/.sim/journal", "r").splitlines()
                  if line.split(" ")[2] == "write"]
        assert writes.index(BIND + "bind") > writes.index(BIND + "unbind"), "keys not given back"
        assert read("/finish.txt") is None, "quitting handed off instead of powering off"
    finally:
        desk.kill()
        desk.wait()
        xvfb.terminate()
        xvfb.wait()


if __name__ == "__main__":
    if sys.argv[1] == "no-display":
        no_display(sys.argv[2:])
    else:
        missing = [t for t in ("Xvfb", "xdotool") if shutil.which(t) is None]
        if missing:
            print("skipped: not installed:", *missing)
            sys.exit(77)
        with tempfile.TemporaryDirectory(prefix="desk-test-") as tmp:
            factory(sys.argv[2], tmp)
    print("passed")
