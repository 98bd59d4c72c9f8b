"""The run's figures as geometry on one time axis: the templates turn the
lanes made here into SVG. Every lane's x is seconds since the program
started, at the same scale."""
import math

from runfolder import DUTY, DUTY_FULL, GPIO128, KEYS

LABEL_W = 150  # the lane titles, left of the plot
PAD = 12       # plot margin left and right
FIT_W = 1060   # the plot's width when the whole run fits

ACTION_WORDS = {
    "hold", "release", "press", "volume", "volume-raw", "battery", "headphone", "usb",
    "te-clock", "te", "underrun", "remove", "refuse-write", "sound-fails",
    "sound-write-fails", "sound-suspend", "wall-clock-step", "no-gpio", "unwritable",
    "wall-clock", "slow-writes", "trap", "journal-reads",
}


class Axis:
    def __init__(self, end, zoom=1):
        self.end = max(end, 0.05) * 1.02
        self.zoom = zoom
        # At zoom 1 the whole run fits a page; the closer views are wide
        # enough that the 10 ms steps of the backlight sweep and the 100 ms
        # halves of the failure display's blink stand apart.
        self.scale = FIT_W / self.end * zoom
        self.width = round(self.end * self.scale) + 2 * PAD

    def x(self, t):
        return round(PAD + max(t or 0.0, 0.0) * self.scale, 1)

    def ticks(self):
        step = next(s for s in (0.05, 0.1, 0.2, 0.5, 1, 2, 5, 10, 20, 30, 60, 120, 300)
                    if s * self.scale >= 70 or s == 300)
        n = int(self.end / step) + 1
        return [{"x": self.x(i * step), "label": ("%g" % round(i * step, 3)) + " s"}
                for i in range(n)]


def zooms(end):
    """Zoom 1 (the whole run), then closer by four while the view before is
    too coarse to set 10 ms steps apart (under 400 pixels a second)."""
    out = [1]
    while len(out) < 3 and FIT_W / max(end, 0.05) * out[-1] < 400:
        out.append(out[-1] * 4)
    return out


def chart(axis, run, failed_t):
    """Every lane of the time line at one scale."""
    end, steps, journal = axis.end, run["steps"], run["journal"]
    duty_h = 84
    lanes = [{"kind": "panel", "title": "Panel", "sub": "frames pushed", "h": 58,
              "data": panel_lane(axis, run["frames"], journal)}]
    for k in key_lanes(axis, steps, end):
        lanes.append({"kind": "key", "title": "Key " + k["key"], "sub": "held", "h": 20, "data": k})
    lanes.append({"kind": "duty", "title": "Backlight duty", "sub": "pwm0/duty_cycle", "h": duty_h,
                  "data": duty_lane(axis, journal, end, duty_h)})
    sound = [{"x": axis.x(t), "w": max(axis.x(t + length) - axis.x(t), 1), "t": t,
              "label": name[:-4], "text": "%s, %.3f s" % (name, length)}
             for t, length, name in run.get("sound", [])]
    if sound:
        lanes.append({"kind": "value", "title": "Sound", "sub": "recordings, as opened", "h": 24,
                      "data": sound})
    for title, sub, changes in (
            ("Headphone", "detect line, set", scenario_levels(steps, "headphone")),
            ("USB", "detect line, set", scenario_levels(steps, "usb")),
            ("Audio enable", "written", gpio128_levels(journal))):
        lanes.append({"kind": "level", "title": title, "sub": sub, "h": 28,
                      "data": level_lane(axis, changes, end)})
    for title, sub, words, label in (
            ("Volume wheel", "set", ("volume", "volume-raw"), volume_label),
            ("Battery", "raw reading, set", ("battery",), battery_label)):
        segs = value_lane(axis, steps, words, end, label)
        if segs:
            lanes.append({"kind": "value", "title": title, "sub": sub, "h": 24, "data": segs})
    faults, checks = event_marks(axis, steps, run["failure"])
    if faults:
        lanes.append({"kind": "marks", "title": "Board, faults", "sub": "scenario lines", "h": 30,
                      "data": faults})
    lanes.append({"kind": "checks", "title": "Checks", "sub": "expect lines", "h": 24,
                  "data": checks})
    y = 24
    for lane in lanes:
        lane["y"] = y
        y += lane["h"]
    ended = next((s for s in steps if s["text"].startswith("program ended")), None)
    return {"axis": axis, "ticks": axis.ticks(), "lanes": lanes, "h": y + 22, "ended": ended,
            "ended_x": axis.x(ended["t"]) if ended else None,
            "failed_t": failed_t, "failed_x": axis.x(failed_t) if failed_t is not None else None}


def actions(steps):
    return [s for s in steps if s["word"] in ACTION_WORDS]


def led_to(frame, acts):
    """The last operator or board action at or before the frame's push."""
    before = [a for a in acts if (a["t"] or 0.0) <= frame["t"]]
    return before[-1] if before else None


def panel_lane(axis, frames, journal):
    segs = []
    for i, f in enumerate(frames):
        x0, x1 = axis.x(f["t"]), axis.x(f["until"])
        segs.append({"i": i, "x": x0, "w": max(x1 - x0, 1.5), "file": f["file"],
                     "t": f["t"], "count": f["count"], "thumb": x1 - x0 >= 50})
    ticks = [axis.x(e["t"]) for e in journal if e["op"] == "push"]
    return {"segs": segs, "pushes": ticks}


def key_lanes(axis, steps, end):
    """Per key used: the intervals it was held (hold/release, press ... for S)."""
    held, bars = {}, {k: [] for k in KEYS}
    for s in steps:
        w = s["text"].split()
        t = s["t"] or 0.0
        if not w:
            continue
        if w[0] == "hold":
            for k in w[1:]:
                held.setdefault(k, t)
        elif w[0] == "release":
            for k in (list(held) if w[1:] == ["all"] else w[1:]):
                if k in held:
                    bars.setdefault(k, []).append((held.pop(k), t))
        elif w[0] == "press":
            keys = w[1:w.index("for")] if "for" in w else w[1:]
            hold_for = float(w[w.index("for") + 1]) if "for" in w else 0.2
            for k in keys:
                bars.setdefault(k, []).append((t, t + hold_for))
    for k, t in held.items():
        bars.setdefault(k, []).append((t, end))
    lanes = []
    for k, spans in bars.items():
        if spans:
            lanes.append({"key": k, "bars": [
                {"x": axis.x(a), "w": max(axis.x(b) - axis.x(a), 2), "a": a, "b": b}
                for a, b in spans]})
    return lanes


def level_lane(axis, changes, end):
    """A 0/1 line from (time, level) changes; before the first, unknown."""
    segs = []
    for i, (t, level) in enumerate(changes):
        t1 = changes[i + 1][0] if i + 1 < len(changes) else end
        segs.append({"x": axis.x(t), "w": max(axis.x(t1) - axis.x(t), 1), "level": level, "t": t})
    first = axis.x(changes[0][0]) if changes else axis.x(end)
    return {"segs": segs, "unknown_w": first - axis.x(0)}


def scenario_levels(steps, word):
    out = []
    for s in steps:
        w = s["text"].split()
        if len(w) == 2 and w[0] == word and w[1] in ("0", "1"):
            out.append((s["t"] or 0.0, int(w[1])))
    return out


def gpio128_levels(journal):
    out = []
    for e in journal:
        if e["op"] == "write" and e["path"] == GPIO128 and e["result"].isdigit():
            out.append((e["t"], 1 if e["arg"][:1] == "1" else 0))
    return out


def duty_lane(axis, journal, end, height):
    """Step plot of every successful duty write; refused writes as crosses."""
    pts, refused = [], []
    for e in journal:
        if e["op"] != "write" or e["path"] != DUTY:
            continue
        digits = ""
        for c in e["arg"]:
            if not c.isdigit():
                break
            digits += c
        if not e["result"].isdigit():
            refused.append({"x": axis.x(e["t"]), "t": e["t"], "why": e["result"]})
        elif digits:
            pts.append((e["t"], int(digits)))
    top = max([DUTY_FULL] + [v for _, v in pts])

    def y(v):
        return round(4 + (height - 8) * (1 - v / top), 1)
    d = ""
    for i, (t, v) in enumerate(pts):
        d += ("M%s,%s" % (axis.x(t), y(v))) if i == 0 else ("H%sV%s" % (axis.x(t), y(v)))
    if pts:
        d += "H%s" % axis.x(end)
    grid = [{"y": y(v), "label": "%d %%" % round(100 * v / DUTY_FULL)}
            for v in (0, DUTY_FULL // 2, DUTY_FULL)]
    dots = [{"x": axis.x(t), "y": y(v), "t": t, "v": v} for t, v in pts]
    return {"d": d, "grid": grid, "dots": dots if len(dots) <= 400 else [], "n": len(pts),
            "refused": refused}


def value_lane(axis, steps, words, end, label):
    """Labelled segments of a value the scenario sets (volume wheel, battery)."""
    marks = [(s["t"] or 0.0, s["text"]) for s in steps if s["word"] in words]
    segs = []
    for i, (t, text) in enumerate(marks):
        t1 = marks[i + 1][0] if i + 1 < len(marks) else end
        segs.append({"x": axis.x(t), "w": max(axis.x(t1) - axis.x(t), 1), "t": t,
                     "label": label(text.split()), "text": text})
    return segs


def volume_label(w):
    return ("%s %%" % w[1]) if w[0] == "volume" else ("raw %s" % w[1])


def battery_label(w):
    try:
        return "%s (%.2f V)" % (w[1], int(w[1]) / 21)
    except (ValueError, IndexError):
        return " ".join(w[1:])


def event_marks(axis, steps, failed_at):
    """Faults and other board actions, and the scenario's checks."""
    lane_words = {"hold", "release", "press", "volume", "volume-raw", "battery", "headphone",
                  "usb"}
    faults, checks = [], []
    for s in steps:
        x = axis.x(s["t"])
        if s["word"] in ACTION_WORDS and s["word"] not in lane_words:
            faults.append({"x": x, "t": s["t"] or 0.0, "text": s["text"], "where": s["where"]})
        elif s["word"].startswith("expect-"):
            checks.append({"x": x, "t": s["t"] or 0.0, "text": s["text"], "where": s["where"],
                           "failed": bool(failed_at) and failed_at.startswith(s["where"] + ":")})
    return faults, checks


def envelope(facts, scale, height):
    """Min/max outline of a recording's samples, one column per pixel, at the
    timeline's scale so that lengths compare; full scale at the lane's edges."""
    n = facts["frames"]
    if not n:
        return None
    cols = max(160, min(3000, round(facts["seconds"] * scale)))
    half = height / 2
    upper, lower, clipped = [], [], []
    per = n / cols
    for c in range(cols):
        a, b = int(c * per), max(int((c + 1) * per), int(c * per) + 1)
        hi = max(max(ch[a:b]) for ch in facts["chans"])
        lo = min(min(ch[a:b]) for ch in facts["chans"])
        upper.append(round(half - hi / 32768 * half, 1))
        lower.append(round(half - lo / 32768 * half, 1))
        if hi >= 32767 or lo <= -32768:
            clipped.append(c)
    d = "M0,%s" % upper[0] + "".join("L%d,%s" % (c, v) for c, v in enumerate(upper))
    d += "".join("L%d,%s" % (c, lower[c]) for c in range(cols - 1, -1, -1)) + "Z"
    ticks = []
    step = next(s for s in (0.05, 0.1, 0.2, 0.5, 1, 2, 5, 10, 30, 60)
                if s * cols / max(facts["seconds"], 1e-9) >= 60 or s == 60)
    for i in range(int(facts["seconds"] / step) + 1):
        ticks.append({"x": round(i * step / facts["seconds"] * cols, 1),
                      "label": "%g s" % round(i * step, 3)})
    return {"d": d, "w": cols, "h": height, "clipped": clipped, "ticks": ticks}


def dbfs(v):
    return "%.1f dBFS" % (20 * math.log10(v / 32768)) if v > 0 else "silent"
