"""The report reads the journal as mp-sim parsed it: a device path with a
blank in it (here a file the finish script writes on the storage) reaches
the report whole, with its bytes."""
import os
import shutil
import subprocess
import sys

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "sim", "report"))
import runfolder  # noqa: E402

SCENARIO = """\
finish printf 'a\\tb' > '/mnt/UDISK/two words'
start
wait-exit timeout 30
"""


def main(mp_sim_bin, work):
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    scn = os.path.join(work, "blank.scn")
    with open(scn, "w") as f:
        f.write(SCENARIO)
    out = os.path.join(work, "out")
    r = subprocess.run([mp_sim_bin, "--no-report", scn, out], capture_output=True, text=True,
                       timeout=300)
    assert r.returncode == 0, r.stdout + r.stderr
    journal = runfolder.load(out)["journal"]
    opens = [e for e in journal if e["op"] == "open" and e["path"] == "/mnt/UDISK/two words"]
    writes = [e for e in journal if e["op"] == "write" and e["path"] == "/mnt/UDISK/two words"]
    assert len(opens) == 1 and opens[0]["arg"] == "wc" and opens[0]["result"] == "ok", opens
    assert len(writes) == 1 and writes[0]["arg"] == "a\\x09b" and writes[0]["result"] == "3", writes
    print("runfolder: the path with a blank came through whole")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))
