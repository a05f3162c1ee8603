"""Runs the veldrin tool on the simulated bus and checks what it prints and writes.

VELDRIN_TOOL_LAUNCHER names a program to run the tool through (Wine, for the
Windows build); Ctrl-C and the progress bar on a terminal are then not
checked, since a signal to the launcher does not reach the tool as a console
interrupt and the emulator's console is no terminal of ours."""

import csv
import json
import os
import pty
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


def read_csv(text):
    """Metadata from the '# key: value' lines, and the rows below them."""
    lines = text.splitlines()
    meta = dict(line[2:].split(": ", 1) for line in lines if line.startswith("# "))
    return meta, list(csv.DictReader(line for line in lines if not line.startswith("#")))


# list: index, serial number, generation, firmware and whether each opens.
code, out, err = run("--simulated", "gen1 serial=SYAH004010001; gen2 serial=SYBH008010002; "
                     "gen1 serial=SYAH004010009 firmware=2", "list")
assert code == 0, err
lines = out.splitlines()
assert lines[0] == "3 devices", out
assert lines[2].split() == ["1", "SYAH004010001", "I", "1", "stored", "yes"], out
assert lines[3].split() == ["2", "SYBH008010002", "II", "3", "stored", "yes"], out
assert lines[4].split()[:6] == ["3", "SYAH004010009", "I", "2", "-", "no:"], out
assert "(9): Firmware version 2 is not accepted" in lines[4], out

# The provider flags work after the command too; the plain FTDI chip is named
# on standard error, and so is a missing calibration.
code, out, err = run("list", "--json", "--simulated", "gen1 serial=SYAH004010001 pace=fast; ftdi serial=FT000001; "
                     "gen2 serial=SYBH008010002 pace=fast; gen2 serial=SYBH008010004 fault=no-calibration pace=fast")
assert code == 0, err
devices = json.loads(out)["devices"]
assert [(d["index"], d["serial"], d["generation"], d["firmware"], d["opens"], d["calibration"])
        for d in devices] == [(1, "SYAH004010001", 1, 1, True, "stored"), (2, "SYBH008010002", 2, 3, True, "stored"),
                              (3, "SYBH008010004", 2, 3, True, "missing")], devices
assert "1 other FTDI device is on the bus but not listed" in err and "SYBH008010004 holds no calibration" in err, err
code, out, err = run("--simulated", "ftdi", "list")
assert code == 0 and out == "0 devices\n" and "names no gen1 or gen2 device" in err, (out, err)

# A file with its metadata and a time column; standard output stays empty.
with tempfile.TemporaryDirectory() as folder:
    path = os.path.join(folder, "m.csv")
    code, out, err = run("--simulated", "demo", "measure", "--device", "2", "--channels", "3",
                         "--period", "8", "--samples", "120", "--output", path)
    assert code == 0 and out == "", (err, out)
    assert "wrote 120 rows" in err and "channel 2: 120 samples" in err, err
    with open(path) as f:
        meta, rows = read_csv(f.read())
    assert len(rows) == 120, len(rows)
    assert list(rows[0]) == ["point", "sample", "time_s", "channel1_volts", "channel2_volts"], rows[0]
    assert abs(float(rows[5]["time_s"]) - 0.025) < 1e-12 and float(rows[5]["channel1_volts"]) != 0, rows[5]
    assert (meta["serial_number"], meta["generation"], meta["firmware"], meta["period_code"], meta["period_s"],
            meta["samples_per_channel"], meta["channels"], meta["spike_filter"], meta["calibration"],
            meta["library_version"], meta["complete"]) == (
        "SYBH008010002", "2", "3", "8", "0.005", "120", "[1,2]", "true", "stored", "3.0.0", "true"), meta
    assert meta["started_utc"].endswith("Z"), meta

# A DAC setting and a measurement in one run: the input sees the new level.
# --raw switches the spike filter off, which the metadata records.
code, out, err = run("--simulated", "gen2 pace=fast", "--device", "1", "dac", "--waveform", "0", "--amplitude", "0",
                     "--offset", "1000", "measure", "--channels", "1", "--samples", "20", "--raw")
assert code == 0, err
meta, rows = read_csv(out)
assert all(abs(float(row["channel1_volts"]) - 1.0) < 0.01 for row in rows), rows
assert meta["spike_filter"] == "false" and json.loads(meta["dac"])["offset_mv"] == 1000, meta
code, out, err = run("--simulated", "gen2 signal=dc fault=no-calibration pace=fast", "measure", "--device", "1",
                     "--channels", "1", "--samples", "10")
assert code == 0 and read_csv(out)[0]["calibration"] == "missing (nominal factors)", out
assert "holds no calibration" in err, err

# Unknown, malformed and out-of-range options are usage errors.
for args in (["measure", "--device", "1", "--sample", "5"], ["measure", "--device", "1", "--ouput", "x.csv"],
             ["measure", "--device", "1", "--channels", "0"], ["measure", "--device", "1", "--timeout", "0"],
             ["measure", "--device", "1", "--samples", "many"], ["measure"], ["status", "99"], ["list", "find", "x"]):
    code, out, err = run("--simulated", "gen2 pace=fast", *args)
    assert code == 2 and out == "" and err.endswith("\n"), (args, code, out, err)
code, out, err = run("--version")
assert code == 0 and out.startswith("veldrin 3.0.0 (VeldrinLib 3."), out

# --json: JSON Lines on standard output, a header, one record per sweep point
# and an end record.
code, out, err = run("--simulated", "gen2 signal=dc pace=fast", "sweep2d", "--device", "1", "--channels", "1",
                     "--samples", "30", "--points", "3", "--json")
assert code == 0, err
header, *points, end = [json.loads(line) for line in out.splitlines()]
assert (header["serial"], header["generation"], header["kind"]) == ("SYBH008010001", 2, "sweep2d"), header
assert [(p["point"], len(p["channels"]["1"])) for p in points] == [(0, 30), (1, 30), (2, 30)], points
assert all(abs(v - 1.25) < 0.01 for v in points[0]["channels"]["1"]), points
assert end == {"record": "end", "complete": True, "points": 3}, end

# A measurement of about a second draws a progress bar when standard error is
# a terminal, ending its line; a short one, or one whose standard error is a
# file, draws none.
def measure_on_terminal(*args):
    master, slave = pty.openpty()
    done = subprocess.run([tool, "--simulated", "gen2", "measure", "--device", "1", *args],
                          stdout=subprocess.PIPE, stderr=slave, timeout=120)
    os.close(slave)
    text = b""
    while True:
        try:
            chunk = os.read(master, 65536)
        except OSError:
            break
        if not chunk:
            break
        text += chunk
    os.close(master)
    return done.returncode, text.decode().replace("\r\n", "\n")


if not launcher:
    code, err = measure_on_terminal("--period", "6", "--samples", "1000")
    assert code == 0 and "100%  2000/2000 values\n" in err and err.count(" values") >= 3, repr(err)
    code, err = measure_on_terminal("--period", "3", "--samples", "100")
    assert code == 0 and "values" not in err, repr(err)
code, out, err = run("--simulated", "gen2", "measure", "--device", "1", "--period", "6", "--samples", "1000")
assert code == 0 and "values" not in err, repr(err)

# Ctrl-C during a long measurement ends it, writes what arrived, marked
# incomplete, and closes the library.
if not launcher:
    process = subprocess.Popen([tool, "--simulated", "gen2", "measure", "--device", "1", "--period", "6",
                                "--samples", "20000"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    time.sleep(1.5)
    interrupted_at = time.monotonic()
    process.send_signal(signal.SIGINT)
    out, err = process.communicate(timeout=30)
    assert process.returncode == 130, (process.returncode, err)
    assert time.monotonic() - interrupted_at < 3, "Ctrl-C was not answered promptly"
    assert "interrupted; what arrived was written, marked incomplete" in err, err
    meta, rows = read_csv(out)
    assert meta["complete"] == "false" and 100 < len(rows) < 20000, (meta, len(rows))

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
    assert done.returncode == 0 and lines[0] == "1 device" and lines[2].split()[2:] == ["II", "3", "stored", "yes"], (
        done.stdout, done.stderr)
    # An empty list says which provider looked and what it found.
    with tempfile.TemporaryDirectory() as sysfs:
        env.update(FAKE_LIBFTDI1_BUS="ftdi", VELDRIN_SYSFS_ROOT=sysfs)
        done = subprocess.run([tool, "list", "--libftdi"], capture_output=True, text=True, timeout=120, env=env)
    assert done.stdout == "0 devices\n" and "libftdi1 found no instrument" in done.stderr, done.stderr
    assert "but no FTDI chip (USB vendor 0403) is visible" in done.stderr, done.stderr
    assert "`veldrin --libftdi doctor`" in done.stderr, done.stderr

# Ctrl-C while the instruments are opened for the list ends it too (a silent
# one keeps the opening busy for its 4 s reply time-out).
if not launcher:
    process = subprocess.Popen([tool, "--simulated", "; ".join("gen2 serial=SYBH00801000%d" % i for i in range(1, 5))
                                + "; gen2 serial=SYBH008010005 fault=no-reply", "list"],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    time.sleep(1.2)
    process.send_signal(signal.SIGINT)
    out, err = process.communicate(timeout=30)
    assert process.returncode == 130 and "interrupted" in err, (process.returncode, err)

print("1 passed, 0 failed")
