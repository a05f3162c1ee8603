"""Runs the same measurement cases against both command lines, the C tool
`veldrin` and `python3 -m veldrin`, on the simulated bus, and reads back the
files they write: formats, --range, time-outs, refused output paths and
descriptions, Ctrl-C, and a tool killed mid-sweep.

Usage: check_measurement_files.py TOOL LIBRARY (the python package is found
beside this script, the library through VELDRIN_LIBRARY)."""

import csv
import json
import os
import re
import signal
import subprocess
import sys
import tempfile
import time

here = os.path.dirname(os.path.abspath(__file__))
tool, library = sys.argv[1], sys.argv[2]
env = dict(os.environ, VELDRIN_LIBRARY=library, PYTHONPATH=os.path.join(os.path.dirname(here), "python"))
command_lines = {"C": [tool], "Python": [sys.executable, "-m", "veldrin"]}
folder = tempfile.mkdtemp()


def run(line, *args, timeout=120):
    begun = time.monotonic()
    done = subprocess.run([*line, *args], capture_output=True, text=True, timeout=timeout, env=env)
    return done.returncode, done.stdout, done.stderr, time.monotonic() - begun


def read_csv(path):
    """The metadata lines and the rows; every row must have every column."""
    with open(path) as f:
        lines = f.read().splitlines()
    meta = dict(line[2:].split(": ", 1) for line in lines if line.startswith("# "))
    rows = list(csv.DictReader(line for line in lines if not line.startswith("#")))
    assert all(None not in row and None not in row.values() for row in rows), path
    return meta, rows


def whole_points(rows, samples):
    """The points a CSV holds, each checked whole: samples 0..n-1 in order."""
    points = {}
    for row in rows:
        points.setdefault(int(row["point"]), []).append(int(row["sample"]))
    assert all(samples_of == list(range(samples)) for samples_of in points.values()), points
    assert sorted(points) == list(range(len(points))), sorted(points)
    return len(points)


def dc_level(range_code):
    """Channel 1 of a DC input on `range_code`, as the C API reads it."""
    sys.path.insert(0, env["PYTHONPATH"])
    os.environ["VELDRIN_LIBRARY"] = library
    import veldrin
    with veldrin.Library(simulated="gen2 signal=dc pace=fast") as lib:
        device = lib.device(1)
        device.set_adc(1, range_code)
        return [float(v) for v in device.measure(channels=1, samples=20)[1]]


api_levels = {code: dc_level(code) for code in (2, 3)}
assert api_levels[2] != api_levels[3], api_levels

for name, line in command_lines.items():
    csv_path, jsonl_path = os.path.join(folder, name + ".csv"), os.path.join(folder, name + ".jsonl")

    # CSV, main options on either side of the command: metadata, every column,
    # values that read back exactly, the closing record.
    code, out, err, _ = run(line, "--simulated", "gen2 signal=dc pace=fast", "sweep2d", "--device", "1",
                            "--samples", "30", "--points", "3", "--range", "2", "--output", csv_path)
    assert code == 0 and out == "", (name, code, err)
    meta, rows = read_csv(csv_path)
    assert list(rows[0]) == ["point", "sample", "time_s", "point_start_s", "dac1_volts", "dac2_volts",
                             "channel1_volts", "channel2_volts"], (name, list(rows[0]))
    assert whole_points(rows, 30) == 3 and (meta["complete"], meta["points"]) == ("true", "3"), (name, meta)
    assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ", meta["started_utc"]), (name, meta)
    assert (meta["period_s"], meta["adc_range"], meta["kind"]) == ("0.005", "2", "sweep2d"), (name, meta)
    assert float(rows[31]["time_s"]) == 0.005 and float(rows[31]["dac2_volts"]) == 0.0, (name, rows[31])
    # --range applied: the same values the C API reads on range 2, not 3.
    assert [float(r["channel1_volts"]) for r in rows[:20]] == api_levels[2], (name, rows[:3], api_levels)

    # JSON Lines, --device before the command: a header, whole points, an end.
    code, out, err, _ = run(line, "--device", "1", "--simulated", "gen2 signal=dc pace=fast", "sweep2d",
                            "--samples", "30", "--points", "3", "--channels", "1", "--json")
    assert code == 0, (name, err)
    header, *points, end = [json.loads(text) for text in out.splitlines()]
    assert header["record"] == "measurement" and header["metadata"]["period_s"] == 0.005, (name, header)
    assert len(header["time_s"]) == 30 and header["time_s"][1] == 0.005, (name, header["time_s"][:3])
    assert [(p["point"], len(p["channels"]["1"]), "start_s" in p) for p in points] == [
        (0, 30, True), (1, 30, True), (2, 30, True)], (name, points)
    assert end == {"record": "end", "complete": True, "points": 3}, (name, end)

    # A time-out keeps what arrived and names --timeout.
    code, out, err, _ = run(line, "--simulated", "gen2 pace=real", "measure", "--device", "1", "--period", "6",
                            "--samples", "20000", "--timeout", "1", "--output", csv_path)
    meta, rows = read_csv(csv_path)
    assert code == 1 and "--timeout" in err and meta["complete"] == "false" and 100 < len(rows) < 20000, (
        name, code, err, meta, len(rows))

    # Refused before the instrument starts, with the reason.
    code, out, err, took = run(line, "--simulated", "gen2 pace=real", "measure", "--device", "1", "--period", "6",
                               "--samples", "20000", "--output", "/nonexistent/dir/x.csv")
    assert code == 1 and "No such file or directory" in err and took < 3, (name, code, err, took)
    for args in (["--range", "7"], ["--range", "-5"], ["--period", "17"], ["--points", "1"]):
        refused = os.path.join(folder, name + "-refused.csv")
        code, out, err, _ = run(line, "--simulated", "gen2 pace=fast", "sweep2d", "--device", "1", *args,
                                "--output", refused)
        assert code == 2 and not os.path.exists(refused), (name, args, code, err)
    code, out, err, _ = run(line, "--simulated", "gen2 colour=red", "list")
    assert code == 2 and 'unknown key "colour"' in err, (name, code, err)

    # Ctrl-C during a sweep too large to hold: answered promptly (within a
    # second on an idle machine; the bound leaves room for a loaded one),
    # every point in the file whole, marked incomplete.
    process = subprocess.Popen([*line, "--simulated", "gen2 pace=fast", "sweep2d", "--device", "1", "--samples",
                                "50000", "--points", "50000", "--output", csv_path], env=env,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    waited = time.monotonic()
    while not (os.path.exists(csv_path) and os.path.getsize(csv_path) > 4 << 20) and time.monotonic() - waited < 60:
        time.sleep(0.1)  # the first points on file
    interrupted_at = time.monotonic()
    process.send_signal(signal.SIGINT)
    out, err = process.communicate(timeout=60)
    took = time.monotonic() - interrupted_at
    meta, rows = read_csv(csv_path)
    assert process.returncode == 130 and took < 5.0, (name, process.returncode, took, err)
    assert meta["complete"] == "false" and whole_points(rows, 50000) >= 1, (name, meta, len(rows))
    print("%s: Ctrl-C answered in %.2f s after %d points" % (name, took, int(meta["points"])))

    # Killed mid-sweep: every point written before is whole, and no closing
    # record claims anything.
    process = subprocess.Popen([*line, "--simulated", "gen2 pace=real", "sweep2d", "--device", "1", "--period", "3",
                                "--samples", "500", "--points", "1000", "--output", jsonl_path], env=env,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(2.5)
    process.kill()
    process.wait()
    with open(jsonl_path) as f:
        records = [json.loads(text) for text in f.read().splitlines()]
    assert records[0]["record"] == "measurement" and records[-1]["record"] == "point", (name, records[-1])
    assert [r["point"] for r in records[1:]] == list(range(len(records) - 1)) and len(records) > 2, name
    assert all(len(r["channels"][c]) == 500 for r in records[1:] for c in ("1", "2")), name

# A description naming instruments under serial numbers no instrument has.
code, out, err, _ = run([tool], "--simulated", "gen2 serial=SYBH00801ABCD", "list")
assert code == 0 and 'serial number "SYBH00801ABCD" is no instrument\'s' in err, err
print("1 passed, 0 failed")
