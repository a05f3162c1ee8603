"""python3 -m veldrin: list instruments, or measure and print, save or plot the result.

    python3 -m veldrin --simulated demo list
    python3 -m veldrin --simulated "gen2 signal=sine" measure --device 1 --period 6 --samples 100 --plot out.png
    python3 -m veldrin measure --device 1 --channels 1 --json

Data (--json) goes to standard output; summaries, progress and messages to
standard error. --plot draws the measured channels against time with
matplotlib (Debian: python3-matplotlib; elsewhere pip install matplotlib).
"""

import argparse
import datetime
import json
import sys

from . import core


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


def _measure(lib, arguments, plt):
    device = lib.device(arguments.device)
    info = {"serial_number": device.serial_number, "generation": device.generation,
            "firmware": device.firmware_version, "period_code": arguments.period,
            "samples_per_channel": arguments.samples, "spike_filter": not arguments.raw,
            "calibration": "stored" if device.calibrated else "missing (nominal factors)",
            "library_version": "%d.%d.%d" % core.library_version(),
            "started_utc": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M:%S")}
    progress = None if arguments.no_progress or not sys.stderr.isatty() else _progress_bar(sys.stderr)
    volts = device.measure(channels=arguments.channels, period=arguments.period, samples=arguments.samples,
                           timeout=arguments.timeout, progress=progress, spike_filter=not arguments.raw)
    if progress is not None:
        sys.stderr.write("\n")
    if plt is not None:
        _plot(plt, arguments.plot, volts, info)
        print("plotted to %s" % arguments.plot, file=sys.stderr)
    if arguments.json:
        period = core.PERIOD_SECONDS[arguments.period]
        longest = max((len(values) for values in volts.values()), default=0)
        print(json.dumps({"device": device.index, "serial": device.serial_number,
                          "generation": device.generation, "metadata": info,
                          "time_s": [k * period for k in range(longest)],
                          "channels": {str(c): [float(v) for v in values] for c, values in volts.items()}}))
    for channel, values in sorted(volts.items()):
        values = list(values)
        summary = ", min %.4f V, mean %.4f V, max %.4f V" % (
            min(values), sum(values) / len(values), max(values)) if values else ""
        print("channel %d: %d samples%s" % (channel, len(values), summary), file=sys.stderr)


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python3 -m veldrin", description=__doc__.splitlines()[0])
    provider = parser.add_mutually_exclusive_group()
    provider.add_argument("--simulated", metavar="DESCRIPTION", help="the built-in simulated bus")
    provider.add_argument("--libftdi", action="store_true", help="libftdi1 instead of FTDI's D2XX library")
    commands = parser.add_subparsers(dest="command", required=True)
    listing = commands.add_parser("list", help="devices, their calibration and whether each opens")
    listing.add_argument("--json", action="store_true")
    measure = commands.add_parser("measure", help="run one measurement")
    measure.add_argument("--device", type=int, required=True)
    measure.add_argument("--channels", type=int, default=3, choices=(1, 2, 3), help="channel mask (1, 2 or 3)")
    measure.add_argument("--period", type=int, default=8, choices=range(17), metavar="CODE",
                         help="period code, 0 (10 us) to 16 (2 s); 6 is 1 ms")
    measure.add_argument("--samples", type=int, default=1000)
    measure.add_argument("--timeout", type=float, default=30.0, help="seconds")
    measure.add_argument("--raw", action="store_true", help="no spike filter: values only calibrated")
    measure.add_argument("--plot", metavar="FILE", help="draw the channels into an image (PNG, SVG, PDF)")
    measure.add_argument("--json", action="store_true", help="print the result as JSON")
    measure.add_argument("--no-progress", action="store_true", help="no progress bar on standard error")
    arguments = parser.parse_args(argv)
    # Refused before anything is measured.
    plt = _require_matplotlib() if getattr(arguments, "plot", None) else None

    try:
        with core.Library(simulated=arguments.simulated, libftdi=arguments.libftdi) as lib:
            if arguments.command == "list":
                _list(lib, arguments)
            else:
                _measure(lib, arguments, plt)
    except core.VeldrinError as error:
        print("veldrin: %s" % error, file=sys.stderr)
        return 1
    except TimeoutError as error:
        print("veldrin: %s" % error, file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("\nveldrin: interrupted; the library was closed", file=sys.stderr)
        return 130
    return 0


if __name__ == "__main__":
    sys.exit(main())
