"""Runs the veldrin tool on the simulated bus and checks what it prints and writes.

VELDRIN_TOOL_LAUNCHER names a program to run the tool through (Wine, for the
Windows build); Ctrl-C is then not checked, since a signal to the launcher
does not reach the tool as a console interrupt."""

import csv
import json
import os
import signal
import subprocess
import sys
import tempfile
import time

tool = sys.argv[1]
launcher = os.environ.get("VELDRIN_TOOL_LAUNCHER", "")
command = [launcher, tool] if launcher else [tool]


def run(*args):
    done = subprocess.run([*command, *args], capture_output=True, text=True, timeout=120)
    return done.returncode, done.stdout, done.stderr


# list: index, serial number, generation, firmware and whether each opens.
code, out, err = run("--simulated", "gen1 serial=SYAH004010001; gen2 serial=SYBH008010002; "
                     "gen1 serial=SYAH004010009 firmware=2", "list")
assert code == 0, err
lines = out.splitlines()
assert lines[0] == "3 devices", out
assert lines[2].split() == ["1", "SYAH004010001", "I", "1", "yes"], out
assert lines[3].split() == ["2", "SYBH008010002", "II", "3", "yes"], out
assert lines[4].split()[:5] == ["3", "SYAH004010009", "I", "2", "no:"], out
assert "(9): Firmware version 2 is not accepted" in lines[4], out

code, out, err = run("--simulated", "demo pace=fast", "list", "--json")
assert code == 0, err
devices = json.loads(out)["devices"]
assert [(d["index"], d["serial"], d["generation"], d["firmware"], d["opens"]) for d in devices] == [
    (1, "SYAH004010001", 1, 1, True), (2, "SYBH008010002", 2, 3, True)], devices

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

# measure --json: only JSON on standard output, one row per sweep point.
code, out, err = run("--simulated", "gen2 signal=dc pace=fast", "sweep2d", "--device", "1", "--channels", "1",
                     "--samples", "30", "--points", "3", "--json")
assert code == 0, err
result = json.loads(out)
assert (result["serial"], result["generation"], result["kind"]) == ("SYBH008010001", 2, "sweep2d"), result
assert [len(row) for row in result["channels"]["1"]] == [30, 30, 30], result
assert all(abs(v - 1.25) < 0.01 for v in result["channels"]["1"][0]), result

# A measurement of about a second draws a progress bar on standard error,
# ending its line; a short one draws none.
code, out, err = run("--simulated", "gen2", "measure", "--device", "1", "--period", "6", "--samples", "1000")
assert code == 0, err
assert err.endswith("100%  2000/2000 values\n") and err.count(" values") >= 3, repr(err)
code, out, err = run("--simulated", "gen2", "measure", "--device", "1", "--period", "3", "--samples", "100")
assert code == 0 and "values" not in err, repr(err)

# Ctrl-C during a long measurement ends it and closes the library.
if not launcher:
    process = subprocess.Popen([tool, "--simulated", "gen2", "measure", "--device", "1", "--period", "6",
                                "--samples", "20000"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    time.sleep(1.5)
    interrupted_at = time.monotonic()
    process.send_signal(signal.SIGINT)
    out, err = process.communicate(timeout=30)
    assert process.returncode == 130, (process.returncode, err)
    assert time.monotonic() - interrupted_at < 3, "Ctrl-C was not answered promptly"
    assert "interrupted; the measurement was ended and the library closed" in err, err
    assert "channel 1" not in out, out

# Errors print the status text and the instrument's last error text.
code, out, err = run("--simulated", "gen1 firmware=2 pace=fast", "measure", "--device", "1")
assert code == 1, (code, err)
assert "9 (the firmware version is not accepted for this hardware): Firmware version 2" in err, err
code, out, err = run("--simulated", "demo pace=fast", "pwm", "--device", "1", "--frequency", "1000", "--duty", "10")
assert code == 1 and "operation not supported" in err, (code, err)
code, out, err = run("--simulated", "nonsense!", "list")
assert code == 2 and "26" in err, (code, err)

# status: one line, ended; a code that is no number is refused.
code, out, err = run("status", "28")
assert code == 0 and out == "28: buffer too small\n", repr(out)
code, out, err = run("status", "x")
assert code == 2 and err.endswith("\n"), (code, err)

# --libftdi: a stand-in libftdi1 (second argument) found by its standard name.
if len(sys.argv) > 2:
    env = dict(os.environ, LD_LIBRARY_PATH=os.path.dirname(sys.argv[2]), FAKE_LIBFTDI1_BUS="ftdi; gen2")
    done = subprocess.run([tool, "--libftdi", "list"], capture_output=True, text=True, timeout=120, env=env)
    lines = done.stdout.splitlines()
    assert done.returncode == 0 and lines[0] == "1 device" and lines[2].split()[2:] == ["II", "3", "yes"], (
        done.stdout, done.stderr)

print("1 passed, 0 failed")
