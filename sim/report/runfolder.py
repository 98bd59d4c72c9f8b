"""Reads what one mp-sim run left in its output folder (sim/runner/README.md,
"Output folder") into plain Python values for the pages.

Times are seconds since the program started: frames.txt, steps.txt and the
journal (journal.jsonl, as mp-sim read it, its "t") all have them.
"""
import json
import os
import re
import wave
from array import array


def board_number(name):
    """One of the board's numbers, as sim/include/mpsim/board.h gives it."""
    here = os.path.dirname(os.path.abspath(__file__))
    with open(os.path.join(here, "..", "include", "mpsim", "board.h"), encoding="utf-8") as f:
        return int(re.search(r"\b%s = (\d+)" % name, f.read()).group(1))


DUTY = "/sys/devices/soc/1c21000.pwm/pwm/pwmchip0/pwm0/duty_cycle"
DUTY_FULL = board_number("BOARD_BACKLIGHT_PERIOD_NS")  # the duty of full brightness
GPIO128 = "/sys/class/gpio/gpio%d/value" % board_number("BOARD_GPIO_AUDIO_ENABLE")
SOUND = "/dev/snd/pcmC0D0p"  # each opening of the card starts a recording
KEYS = ("UP", "DOWN", "LEFT", "RIGHT", "START", "A", "B")

_STEP = re.compile(r"^\[\s*(-|[0-9.]+)\s*\] (.*)$")
_WHERE = re.compile(r"^(\S+?:\d+): (.*)$")
_INSTEAD = re.compile(r" \((\S+?:\d+): instead (.+)\)$")


def read_text(folder, name):
    try:
        with open(os.path.join(folder, name), encoding="utf-8", errors="replace") as f:
            return f.read()
    except OSError:
        return None


def parse_summary(text):
    """summary.txt: 'key: value' lines; indented lines belong to the key before."""
    out, items, key = {}, {}, None
    for line in (text or "").splitlines():
        if line.startswith("  ") and key is not None:
            items.setdefault(key, []).append(line.strip())
        elif ": " in line or line.endswith(":"):
            key, _, value = line.partition(":")
            out[key] = value.strip()
    return out, items


def parse_frames(text):
    frames = []
    for line in (text or "").splitlines():
        w = line.split()
        if len(w) >= 6 and not line.startswith("#"):
            width, _, height = w[5].partition("x")
            frames.append({"file": w[0], "push": int(w[2]), "t": float(w[3]),
                           "width": int(width), "height": int(height)})
    return frames


def parse_steps(text):
    """steps.txt: '[ time ] file:line: source' and the runner's own remarks."""
    steps = []
    for line in (text or "").splitlines():
        m = _STEP.match(line)
        if not m:
            if steps:  # a message that ran on to further lines
                steps[-1]["text"] += "\n" + line
            continue
        t = None if m.group(1) == "-" else float(m.group(1))
        rest = m.group(2)
        w = _WHERE.match(rest)
        step = {"t": t, "where": w.group(1) if w else "", "text": w.group(2) if w else rest}
        step["word"] = step["text"].split(" ", 1)[0] if w else ""
        steps.append(step)
    return steps


def decode_bytes(hexed):
    """A write's bytes as text, with C escapes for what is not printable."""
    try:
        raw = bytes.fromhex(hexed)
    except ValueError:
        return hexed
    out = []
    for b in raw:
        if b == 0:
            out.append("\\0")
        elif b == 10:
            out.append("\\n")
        elif 32 <= b < 127 and b != 92:
            out.append(chr(b))
        else:
            out.append("\\x%02x" % b)
    return "".join(out)


def parse_journal(text):
    """journal.jsonl: the journal as mp-sim read it, a JSON object a line
    (ns, t, pid, op, path, arg, result; sim/include/mpsim/journal.h). Bytes
    written or read, and a started program's arguments (each ended by \\0),
    are hex in arg."""
    entries = []
    for line in (text or "").splitlines():
        try:
            e = json.loads(line)
        except ValueError:
            continue
        if e["op"] in ("write", "read", "exec"):
            e["arg"] = decode_bytes(e["arg"])
        e["pid"] = str(e["pid"])
        entries.append(e)
    return entries


def read_recording(path):
    """A WAV the runner wrote (16-bit PCM): its samples per channel."""
    with wave.open(path, "rb") as w:
        rate, channels = w.getframerate(), w.getnchannels()
        if w.getsampwidth() != 2:
            raise ValueError("not 16-bit PCM")
        samples = array("h", w.readframes(w.getnframes()))
    return rate, [samples[c::channels] for c in range(channels)]


def recording_facts(path):
    rate, chans = read_recording(path)
    n = len(chans[0]) if chans else 0
    facts = {"file": os.path.basename(path), "rate": rate, "channels": len(chans),
             "frames": n, "seconds": n / rate if rate else 0.0, "peak": 0, "rms": 0.0,
             "clipped": 0, "same_channels": all(c == chans[0] for c in chans), "chans": chans}
    if n:
        peaks = [max(max(c), -min(c)) for c in chans]
        facts["peak"] = max(peaks)
        squares = sum(sum(map(int.__mul__, c, c)) for c in chans)
        facts["rms"] = (squares / (n * len(chans))) ** 0.5
        facts["clipped"] = sum(c.count(32767) + c.count(-32768) for c in chans)
    return facts


def golden_path(step, run_dir):
    """The golden PNG an expect-frame line compared with: the 'instead' file
    of a frame-golden line, else FILE relative to the file holding the line."""
    text = step["text"]
    m = _INSTEAD.search(text)
    if m:
        return m.group(2)
    words = text.split()
    if len(words) < 2:
        return None
    holder = step["where"].rsplit(":", 1)[0]
    path = os.path.join(os.path.dirname(holder), words[1])
    return path if os.path.isabs(path) else os.path.join(os.getcwd(), path)


def ignore_rects(text):
    words = _INSTEAD.sub("", text).split()
    rects = []
    for i, w in enumerate(words):
        if w == "ignore" and i + 4 < len(words):
            try:
                rects.append(tuple(int(v) for v in words[i + 1:i + 5]))
            except ValueError:
                pass
    return rects


def load(run_dir):
    """Everything the pages show of one run folder."""
    summary, lists = parse_summary(read_text(run_dir, "summary.txt"))
    frames = parse_frames(read_text(run_dir, "frames.txt"))
    steps = parse_steps(read_text(run_dir, "steps.txt"))
    journal = parse_journal(read_text(run_dir, "journal.jsonl"))
    names = sorted(os.listdir(run_dir))
    run = {
        "dir": run_dir,
        "summary": summary,
        "post": lists.get("post-conditions", []),
        "frames": frames,
        "steps": steps,
        "journal": journal,
        "recordings": [n for n in names if n.startswith("rec-") and n.endswith(".wav")],
        "closest": [n for n in names if n.startswith("closest-") and n.endswith(".png")],
        "stdout": read_text(run_dir, "stdout.txt") or "",
        "stderr": read_text(run_dir, "stderr.txt") or "",
        "finish": read_text(run_dir, "finish.txt"),
    }
    result = summary.get("result", "")
    run["passed"] = result == "passed"
    run["failure"] = result[len("FAILED at "):] if result.startswith("FAILED at ") else ""
    times = [s["t"] for s in steps if s["t"] is not None]
    times += [e["t"] for e in journal] + [f["t"] for f in frames]
    run["end"] = max(times) if times else 0.0
    # The pushes: each distinct frame stays on the panel until the next.
    pushes = int(summary.get("pushes", "0") or 0)
    for i, f in enumerate(frames):
        nxt = frames[i + 1] if i + 1 < len(frames) else None
        f["count"] = (nxt["push"] if nxt else pushes + 1) - f["push"]
        f["until"] = nxt["t"] if nxt else run["end"]
    return run
