"""python3 -m veldrin: list instruments, or measure and print, save or plot the result.

    python3 -m veldrin --simulated demo list
    python3 -m veldrin --simulated "gen2 signal=sine" measure --device 1 --period 6 --samples 100 --plot out.png
    python3 -m veldrin measure --device 1 --channels 1 --json

The same commands, options and files as the C tool `veldrin` (list, measure,
sweep1d, sweep2d): each point is written as it completes, to standard output or
--output, as CSV or JSON Lines (docs/measurement-files.md); summaries, progress
and messages go to standard error. --plot draws the measured channels against time with
matplotlib (Debian: python3-matplotlib; elsewhere pip install matplotlib).
"""

import argparse
import datetime
import json
import os
import signal
import sys
import time

from . import core, files


def _require_matplotlib():
    """matplotlib's pyplot on a file-only backend; exits at once when it is missing."""
    try:
        import matplotlib
    except ImportError:
        raise SystemExit("veldrin: --plot needs matplotlib (Debian: sudo apt install python3-matplotlib; "
                         "elsewhere: pip install matplotlib)")
    matplotlib.use("Agg")  # files only, no display needed
    import matplotlib.pyplot as plt
    return plt


def _plot(plt, path, volts, info):
    period = core.PERIOD_SECONDS[info["period_code"]]
    longest = max((len(values) for values in volts.values()), default=0)
    # Milliseconds for anything shorter than two seconds, else seconds.
    scale, unit = (1000.0, "ms") if longest * period < 2 else (1.0, "s")
    figure, axes = plt.subplots(figsize=(9, 4.5))
    for channel, values in sorted(volts.items()):
        values = list(values)
        times = [k * period * scale for k in range(len(values))]
        axes.plot(times, values, marker="." if len(values) <= 200 else None, linewidth=1,
                  label="input %d" % channel)
    axes.set_xlabel("time since the acquisition's start (%s)" % unit)
    axes.set_ylabel("volts")
    axes.set_title("%s (generation %s), period code %d (%g %s), %d samples, spike filter %s\n%s UTC" % (
        info["serial_number"], "I" * info["generation"], info["period_code"], period * scale, unit,
        info["samples_per_channel"], "on" if info["spike_filter"] else "off", info["started_utc"]), fontsize=10)
    axes.legend()
    axes.grid(True, alpha=0.3)
    figure.tight_layout()
    figure.savefig(path)
    plt.close(figure)


def _progress_bar(stream):
    def show(received, expected):
        if expected > 0:
            share = min(1.0, received / expected)
            stream.write("\r[%-30s] %3d%%" % ("#" * int(share * 30), int(share * 100)))
            stream.flush()
    return show


def _list(lib, arguments):
    devices = []
    lib.open_devices()  # all at once; each device's first call then only looks
    for device in lib.devices():
        status, last_error, calibrated = 0, "", None
        try:
            calibrated = device.calibrated  # opens the instrument
        except core.VeldrinError as error:
            status, last_error = error.code, error.last_error
        devices.append({"index": device.index, "serial": device.serial_number,
                        "generation": device.generation, "firmware": device.firmware_version,
                        "opens": status == 0,
                        "calibration": None if calibrated is None else ("stored" if calibrated else "missing"),
                        "status": status, "status_text": core.status_text(status), "last_error": last_error})
    if arguments.json:
        print(json.dumps({"devices": devices}))
    else:
        print("%d device%s" % (len(devices), "" if len(devices) == 1 else "s"))
        for d in devices:
            opens = "yes" if d["opens"] else "no: %s (%d)%s" % (
                d["status_text"], d["status"], ": " + d["last_error"] if d["last_error"] else "")
            print("  %-5d  %-16s  %-10s  %-8d  %-11s  %s" % (d["index"], d["serial"], "I" * d["generation"],
                                                             d["firmware"], d["calibration"] or "-", opens))
    for d in devices:
        if d["calibration"] == "missing":
            print("note: %s holds no calibration: its values use nominal factors" % d["serial"], file=sys.stderr)
    if not devices:
        print("note: no instrument found; `veldrin list` and `veldrin doctor` say why", file=sys.stderr)


# Set by Ctrl-C, which the measurement's loop looks at between rows and waits;
# a second Ctrl-C ends the program at once.
_interrupted = False


def _on_interrupt(number, frame):
    global _interrupted
    _interrupted = True
    signal.signal(signal.SIGINT, signal.SIG_DFL)


def _default_timeout(arguments, points):
    """The measurement's own duration, a quarter more and 10 s, as the C tool."""
    return arguments.samples * core.PERIOD_SECONDS[arguments.period] * points * 1.25 + 10.0


def _measure(lib, arguments, plt, out):
    device = lib.device(arguments.device)
    kind = arguments.command
    points = arguments.points if kind == "sweep2d" else 1
    numbers = [c for c in (1, 2) if arguments.channels & c]
    device.set_spike_filter(not arguments.raw)
    if arguments.range is not None:
        for channel in numbers:
            device.set_adc(channel, arguments.range)
    if kind != "measure":
        device.set_sweep(1, arguments.start, arguments.stop)
    if kind == "sweep2d":
        device.set_sweep(2, arguments.start2, arguments.stop2)
    period = core.PERIOD_SECONDS[arguments.period]
    serial = device.serial_number
    info = {"device": device.index, "serial_number": serial, "generation": device.generation,
            "firmware": device.firmware_version, "kind": kind, "period_code": arguments.period, "period_s": period,
            "samples_per_channel": arguments.samples, "points": points, "channels": numbers,
            "adc_range": 3 if arguments.range is None else arguments.range, "spike_filter": not arguments.raw,
            "calibration": "stored" if device.calibrated else "missing (nominal factors)",
            "started_utc": "", "library_version": "%d.%d.%d" % core.library_version(),
            "tool": "python3 -m veldrin (VeldrinLib %d.%d.%d)" % core.library_version(),
            "provider": ("the simulated bus: " + arguments.simulated) if arguments.simulated is not None
            else "libftdi1" if arguments.libftdi else "FTDI's D2XX library"}
    dac1, dac2 = [], []
    if kind != "measure":
        info["dac1_sweep_mv"] = [arguments.start, arguments.stop]
        dac1 = [(arguments.start + (arguments.stop - arguments.start) * k / max(1, arguments.samples - 1)) / 1000.0
                for k in range(arguments.samples)]
    if kind == "sweep2d":
        info["dac2_sweep_mv"] = [arguments.start2, arguments.stop2]
        dac2 = [(arguments.start2 + (arguments.stop2 - arguments.start2) * p / max(1, points - 1)) / 1000.0
                for p in range(points)]
        info["dac2_setpoints_v"] = dac2
    if info["calibration"] != "stored":
        print("note: %s holds no calibration: its values use nominal factors and can be off by a few percent"
              % serial, file=sys.stderr)
    info["started_utc"] = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")
    device.start(kind, arguments.channels, arguments.period, arguments.samples, points, not arguments.raw)
    writer = files.MeasurementFile(out, files.is_json_lines(arguments.output or "", arguments.json), numbers,
                                   period, dac1, dac2, kind == "sweep2d")
    writer.begin(info)
    volts = {c: [] for c in numbers}
    timeout = arguments.timeout if arguments.timeout is not None else _default_timeout(arguments, points)
    began = time.monotonic()
    seen = 0.0  # when the point before the next was seen complete
    next_row = 0
    ended = "complete"
    bar = _progress_bar(sys.stderr) if not arguments.no_progress and sys.stderr.isatty() else None
    try:
        for row, values in device.completed_rows(arguments.channels, timeout, stop=lambda: _interrupted):
            writer.append_point(row, seen, values)
            seen = time.monotonic() - began
            next_row = row + 1
            for channel, row_volts in values.items():
                if plt is not None:
                    volts[channel].extend(row_volts)
                _summary(channel).add(row_volts)
            if bar is not None and seen > 0.5:
                bar(next_row, points)
    except TimeoutError:
        ended = "timed out"
    if _interrupted:
        ended = "interrupted"
    if bar is not None:
        sys.stderr.write("\n")
    if ended != "complete" and points == 1:  # a sweep keeps its completed points
        partial = device.partial_row(next_row, arguments.channels)
        if any(len(v) for v in partial.values()):
            writer.append_point(next_row, seen, partial)
            for channel, row_volts in partial.items():
                _summary(channel).add(row_volts)
    writer.finish(ended == "complete")
    if arguments.output:
        print("wrote %d rows (%d point%s) to %s" % (writer.rows, writer.points, "" if writer.points == 1 else "s",
                                                    arguments.output), file=sys.stderr)
    for channel in numbers:
        print(_summary(channel).text(), file=sys.stderr)
    if plt is not None:
        _plot(plt, arguments.plot, volts, info)
        print("plotted to %s" % arguments.plot, file=sys.stderr)
    if ended == "timed out":
        print("veldrin: the measurement did not complete within %g s (--timeout SECONDS allows longer)\n"
              "veldrin: what arrived was written, marked incomplete (complete: false)" % timeout, file=sys.stderr)
        return 1
    if ended == "interrupted":
        print("veldrin: interrupted; what arrived was written, marked incomplete (complete: false)",
              file=sys.stderr)
        return 130
    return 0


_summaries = {}


class _Summary:
    def __init__(self, channel):
        self.channel, self.count, self.total, self.low, self.high = channel, 0, 0.0, None, None

    def add(self, values):
        for v in values:
            v = float(v)
            self.count += 1
            self.total += v
            self.low = v if self.low is None else min(self.low, v)
            self.high = v if self.high is None else max(self.high, v)

    def text(self):
        if not self.count:
            return "channel %d: 0 samples" % self.channel
        return "channel %d: %d samples, min %.6g V, mean %.6g V, max %.6g V" % (
            self.channel, self.count, self.low, self.total / self.count, self.high)


def _summary(channel):
    return _summaries.setdefault(channel, _Summary(channel))


def _parser():
    """The C tool's command line: the main options (--simulated, --libftdi,
    --ftdi, --device) anywhere on the line, the commands' own after them."""
    common = argparse.ArgumentParser(add_help=False)
    provider = common.add_mutually_exclusive_group()
    provider.add_argument("--simulated", metavar="DESCRIPTION", default=argparse.SUPPRESS,
                          help="the built-in simulated bus with the devices DESCRIPTION names")
    provider.add_argument("--libftdi", action="store_true", default=argparse.SUPPRESS,
                          help="libftdi1 instead of FTDI's D2XX library")
    provider.add_argument("--ftdi", action="store_true", default=argparse.SUPPRESS,
                          help="FTDI's D2XX library (the default)")
    common.add_argument("--device", type=int, metavar="N", default=argparse.SUPPRESS,
                        help="the instrument's index in `list`")
    parser = argparse.ArgumentParser(prog="python3 -m veldrin", description=__doc__.splitlines()[0],
                                     parents=[common])
    commands = parser.add_subparsers(dest="command", required=True)
    listing = commands.add_parser("list", parents=[common], help="the instruments and whether each opens")
    listing.add_argument("--json", action="store_true", help="machine-readable output")

    def ranged(low, high):
        def convert(text):
            value = int(text)
            if not low <= value <= high:
                raise argparse.ArgumentTypeError("%d is not in %d..%d" % (value, low, high))
            return value
        return convert

    def seconds(text):
        value = float(text)
        if not 0.001 <= value <= 1e7:
            raise argparse.ArgumentTypeError("%s is not in 0.001..1e7" % text)
        return value

    for name in ("measure", "sweep1d", "sweep2d"):
        command = commands.add_parser(name, parents=[common], help="as veldrin %s" % name)
        command.add_argument("--channels", type=ranged(1, 3), default=3, help="inputs: 1, 2 or 3 (both)")
        command.add_argument("--period", type=ranged(0, 16), default=8,
                             help="period code, 0 (10 us) to 16 (2 s); 6 is 1 ms")
        command.add_argument("--samples", type=ranged(0, 50000), default=1000, help="samples per channel (and point)")
        command.add_argument("--range", type=ranged(0, 3), help="ADC range of the measured inputs (default 3)")
        command.add_argument("--output", metavar="FILE", help="write the data to FILE, point by point")
        command.add_argument("--timeout", type=seconds, metavar="SECONDS",
                             help="stop after SECONDS, keeping what arrived (default: the measurement's own "
                                  "duration, a quarter more and 10 s)")
        command.add_argument("--json", action="store_true", help="JSON Lines instead of CSV")
        command.add_argument("--no-progress", action="store_true", help="no progress bar")
        command.add_argument("--raw", action="store_true", help="no spike filter: values only calibrated")
        command.add_argument("--plot", metavar="FILE", help="draw the channels into an image (PNG, SVG, PDF)")
        if name != "measure":
            command.add_argument("--start", type=ranged(-4500, 4500), default=-1000, help="DAC 1 sweep start, mV")
            command.add_argument("--stop", type=ranged(-4500, 4500), default=1000, help="DAC 1 sweep stop, mV")
        if name == "sweep2d":
            command.add_argument("--start2", type=ranged(-4500, 4500), default=-1000, help="DAC 2 first set-point")
            command.add_argument("--stop2", type=ranged(-4500, 4500), default=1000, help="DAC 2 last set-point")
            command.add_argument("--points", type=ranged(2, 50000), default=5, help="set-points of DAC 2")
    return parser


def main(argv=None):
    arguments = _parser().parse_args(argv)
    for name, default in (("simulated", None), ("libftdi", False), ("ftdi", False), ("device", 0)):
        if not hasattr(arguments, name):
            setattr(arguments, name, default)
    measuring = arguments.command != "list"
    if measuring and arguments.device < 1:
        print("veldrin: --device N is required (the index `list` shows)", file=sys.stderr)
        return 2
    # Refused before anything is measured: a plot without matplotlib, an
    # output file that cannot be created.
    plt = _require_matplotlib() if getattr(arguments, "plot", None) else None
    out = sys.stdout
    if measuring and arguments.output:
        try:
            out = open(arguments.output, "w", encoding="utf-8", newline="")
        except OSError as error:
            print("veldrin: cannot create %s: %s" % (arguments.output, error.strerror), file=sys.stderr)
            return 1
    if measuring:
        signal.signal(signal.SIGINT, _on_interrupt)
    try:
        with core.Library(simulated=arguments.simulated, libftdi=arguments.libftdi) as lib:
            if arguments.command == "list":
                _list(lib, arguments)
                return 0
            return _measure(lib, arguments, plt, out)
    except core.VeldrinError as error:
        print("veldrin: %s" % error, file=sys.stderr)
        return 2 if error.call == "useSimulatedBus" else 1
    except KeyboardInterrupt:
        print("\nveldrin: interrupted; the library was closed", file=sys.stderr)
        return 130
    finally:
        if out is not sys.stdout:
            written = out.tell() > 0
            out.close()
            if not written:  # a file the run never wrote to leaves nothing behind
                os.remove(arguments.output)


if __name__ == "__main__":
    sys.exit(main())
