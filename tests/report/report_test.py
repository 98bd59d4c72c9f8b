#!/usr/bin/python3
"""The pages mp-sim writes after a run, opened in headless Chromium as an
engineer would open them from disk.

report_test.py MP_SIM WORKDIR
    A passing factory test and a run failing an expect-frame: each page loads
    with no console error, shows one picture per distinct frame, a duty plot
    with a point per duty write and a player per recording that plays as long
    as the WAV; the failing one the golden, the frame seen and a difference
    with as many marked pixels as the runner counted. Without its generator
    mp-sim still passes and says in one line why there is no page.
"""
import glob
import json
import os
import re
import select
import shutil
import subprocess
import sys
import tempfile
import time
import wave

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
CHROMIUM = "/usr/bin/chromium"
DUTY = "/sys/devices/soc/1c21000.pwm/pwm/pwmchip0/pwm0/duty_cycle"


class Chromium:
    """Headless Chromium driven over the DevTools protocol on a pipe (fds 3, 4)."""

    def __init__(self):
        self.profile = tempfile.mkdtemp()
        cmd_r, self.cmd_w = os.pipe()
        self.out_r, out_w = os.pipe()

        def fds():
            a, b = os.dup(cmd_r) + 10, os.dup(out_w) + 10
            os.dup2(cmd_r, a), os.dup2(out_w, b), os.dup2(a, 3), os.dup2(b, 4)
        self.proc = subprocess.Popen(
            [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
             "--no-first-run", "--disable-background-networking", "--disable-component-update",
             "--disable-sync", "--user-data-dir=" + self.profile, "--remote-debugging-pipe"],
            preexec_fn=fds, pass_fds=(3, 4), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(cmd_r), os.close(out_w)
        self.buf, self.events, self.next_id = b"", [], 0

    def call(self, method, params=None, session=None, timeout=60):
        self.next_id += 1
        msg = {"id": self.next_id, "method": method, "params": params or {}}
        if session:
            msg["sessionId"] = session
        os.write(self.cmd_w, json.dumps(msg).encode() + b"\0")
        reply = self.wait(lambda m: m.get("id") == self.next_id, timeout, method)
        assert "error" not in reply, (method, reply["error"])
        return reply["result"]

    def wait(self, match, timeout, what):
        end = time.monotonic() + timeout
        while True:
            for m in self.events:
                if match(m):
                    self.events.remove(m)
                    return m
            assert time.monotonic() < end, "Chromium gave no " + what
            if select.select([self.out_r], [], [], 1)[0]:
                data = os.read(self.out_r, 1 << 20)
                assert data, "Chromium ended"
                self.buf += data
                *msgs, self.buf = self.buf.split(b"\0")
                self.events += [json.loads(m) for m in msgs]

    def open(self, path):
        """Loads the page; returns the session and its console errors so far."""
        target = self.call("Target.createTarget", {"url": "about:blank"})["targetId"]
        s = self.call("Target.attachToTarget", {"targetId": target, "flatten": True})["sessionId"]
        for domain in ("Runtime", "Log", "Page"):
            self.call(domain + ".enable", session=s)
        self.call("Page.navigate", {"url": "file://" + path}, session=s)
        self.wait(lambda m: m.get("method") == "Page.loadEventFired" and m.get("sessionId") == s,
                  60, "load of " + path)
        return s

    def errors(self):
        bad = [m for m in self.events if m.get("method") == "Runtime.exceptionThrown" or
               (m.get("method") == "Runtime.consoleAPICalled" and
                m["params"]["type"] in ("error", "assert")) or
               (m.get("method") == "Log.entryAdded" and m["params"]["entry"]["level"] == "error")]
        return [json.dumps(m["params"])[:300] for m in bad]

    def eval(self, session, expr):
        r = self.call("Runtime.evaluate", {"expression": expr, "awaitPromise": True,
                                           "returnByValue": True}, session=session)
        assert "exceptionDetails" not in r, r
        return r["result"]["value"]

    def close(self):
        self.proc.kill()
        self.proc.wait()
        shutil.rmtree(self.profile, ignore_errors=True)


PAGE = """(async () => {
  const chart = document.querySelector('.chart:not([hidden])');
  const loaded = sel => [...document.querySelectorAll(sel)].filter(
      i => i.complete && i.naturalWidth === 240 && i.naturalHeight === 180).length;
  const players = [...document.querySelectorAll('audio.player')];
  const durations = await Promise.all(players.map(a => a.readyState >= 1 ? a.duration :
      new Promise(r => { a.onloadedmetadata = () => r(a.duration); a.onerror = () => r(-1); })));
  let magenta = -1;
  const diff = document.querySelector('img.difference');
  if (diff && diff.complete) {
    const c = document.createElement('canvas');
    c.width = diff.naturalWidth; c.height = diff.naturalHeight;
    const g = c.getContext('2d');
    g.drawImage(diff, 0, 0);
    const px = g.getImageData(0, 0, c.width, c.height).data;
    magenta = 0;
    for (let i = 0; i < px.length; i += 4)
      if (px[i] === 255 && px[i + 1] === 0 && px[i + 2] === 255) magenta++;
  }
  return {verdict: document.getElementById('verdict').textContent, frames: loaded('img.frame'),
          dutyPoints: chart.querySelectorAll('.duty-plot circle').length, durations,
          trio: ['img.expected', 'img.seen', 'img.difference'].map(loaded), magenta,
          failure: (document.getElementById('failure') || {}).textContent || ''};
})()"""


def mp_sim(mp_sim_bin, scenario, out, env=None):
    # The pages are written whatever the caller's environment turns off.
    base = {k: v for k, v in os.environ.items() if k not in ("MP_NO_REPORT", "MPSIM_REPORT_SCRIPT")}
    return subprocess.run([mp_sim_bin, os.path.join(ROOT, scenario), out], capture_output=True,
                          text=True, timeout=300, env=dict(base, **(env or {})))


def check_page(browser, out, passed):
    s = browser.open(os.path.join(out, "index.html"))
    got = browser.eval(s, PAGE)
    assert browser.errors() == [], browser.errors()
    assert got["verdict"] == ("PASSED" if passed else "FAILED"), got["verdict"]
    assert got["frames"] == len(glob.glob(out + "/frame-*.png")) > 0, got["frames"]
    with open(out + "/journal.txt") as f:
        duty = sum(1 for line in f if re.search(" write %s [0-9a-f]+ [0-9]+$" % DUTY, line))
    assert got["dutyPoints"] == duty > 0, (got["dutyPoints"], duty)
    lengths = []
    for rec in sorted(glob.glob(out + "/rec-*.wav")):
        with wave.open(rec) as w:
            if w.getnframes():
                lengths.append(w.getnframes() / w.getframerate())
    assert len(got["durations"]) == len(lengths), (got["durations"], lengths)
    assert all(abs(a - b) < 0.01 for a, b in zip(got["durations"], lengths)), got["durations"]
    return got


def main(mp_sim_bin, work):
    if not os.access(CHROMIUM, os.X_OK):
        print("chromium is not installed (scripts/setup-deps --browser installs it)")
        return 77
    shutil.rmtree(work, ignore_errors=True)
    passing, failing, bare = work + "/pass", work + "/fail", work + "/bare"
    r = mp_sim(mp_sim_bin, "sim/scenarios/factory-pass.scn", passing)
    assert r.returncode == 0, r.stderr
    r = mp_sim(mp_sim_bin, "tests/report/wrong-golden.scn", failing)
    assert r.returncode == 1, r.stderr
    differs = re.search(r"differs in (\d+) pixel", r.stderr)
    assert differs, "the failing run must fail on its frame:\n" + r.stderr
    runner_count = int(differs.group(1))

    browser = Chromium()
    try:
        got = check_page(browser, passing, True)
        assert got["trio"] == [0, 0, 0], got["trio"]
        assert len(got["durations"]) >= 3, "the factory test plays on the image and status screens"
        got = check_page(browser, failing, False)
        assert got["trio"] == [1, 1, 1], got["trio"]
        assert got["magenta"] == runner_count, (got["magenta"], runner_count)
        assert "wrong-golden.scn:13" in got["failure"] and "expect-frame" in got["failure"]
    finally:
        browser.close()

    r = mp_sim(mp_sim_bin, "sim/scenarios/ordinary-boot.scn", bare,
               {"MPSIM_REPORT_SCRIPT": work + "/no-such-generator"})
    why = [line for line in r.stderr.splitlines() if "report" in line]
    assert r.returncode == 0 and len(why) == 1, (r.returncode, r.stderr)
    assert not os.path.exists(bare + "/index.html")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))
