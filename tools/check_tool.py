"""Runs the veldrin tool on the simulated bus and checks what it prints and writes."""

import csv
import os
import subprocess
import sys
import tempfile

tool = sys.argv[1]


def run(*args):
    done = subprocess.run([tool, *args], capture_output=True, text=True, timeout=120)
    return done.returncode, done.stdout, done.stderr


code, out, err = run("--simulated", "demo", "list")
assert code == 0, err
assert "2 devices" in out and "generation I," in out and "generation II," in out, out

with tempfile.TemporaryDirectory() as folder:
    path = os.path.join(folder, "m.csv")
    code, out, err = run("--simulated", "demo", "measure", "--device", "2", "--channels", "3",
                         "--period", "8", "--samples", "120", "--output", path)
    assert code == 0, err
    with open(path) as f:
        rows = list(csv.DictReader(f))
    assert len(rows) == 120, len(rows)
    assert set(rows[0]) == {"point", "sample", "channel1_volts", "channel2_volts"}, rows[0]
    float(rows[5]["channel1_volts"])

code, out, err = run("--simulated", "demo", "pwm", "--device", "1", "--frequency", "1000", "--duty", "10")
assert code == 1 and "operation not supported" in err, (code, err)
code, out, err = run("--simulated", "nonsense!", "list")
assert code == 2 and "26" in err, (code, err)

# --libftdi: a stand-in libftdi1 (second argument) found by its standard name.
if len(sys.argv) > 2:
    env = dict(os.environ, LD_LIBRARY_PATH=os.path.dirname(sys.argv[2]), FAKE_LIBFTDI1_BUS="ftdi; gen2")
    done = subprocess.run([tool, "--libftdi", "list"], capture_output=True, text=True, timeout=120, env=env)
    assert done.returncode == 0 and "1 device\n" in done.stdout and "1: generation II, ready" in done.stdout, (
        done.stdout, done.stderr)

print("1 passed, 0 failed")
