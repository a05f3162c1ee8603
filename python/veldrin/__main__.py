"""python3 -m veldrin: list instruments, or measure and print, save or plot the result.

    python3 -m veldrin --simulated demo list
    python3 -m veldrin --simulated demo measure --device 2 --samples 200 --plot out.png
    python3 -m veldrin measure --device 1 --channels 1 --json

--plot draws the measured channels with matplotlib (Debian: python3-matplotlib).
"""

import argparse
import json
import sys

from . import core


def _plot(path, volts, period):
    try:
        import matplotlib
    except ImportError:
        raise SystemExit("veldrin: --plot needs matplotlib (Debian: python3-matplotlib)")
    matplotlib.use("Agg")  # files only, no display needed
    import matplotlib.pyplot as plt

    figure, axes = plt.subplots(figsize=(8, 4))
    for channel, values in sorted(volts.items()):
        axes.plot(range(len(values)), list(values), label="channel %d" % channel)
    axes.set_xlabel("sample (period code %d)" % period)
    axes.set_ylabel("volts")
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
        status, last_error = 0, ""
        try:
            device.is_complete()  # opens the instrument
        except core.VeldrinError as error:
            status, last_error = error.code, error.last_error
        devices.append({"index": device.index, "serial": device.serial_number,
                        "generation": device.generation, "firmware": device.firmware_version,
                        "opens": status == 0, "status": status, "status_text": core.status_text(status),
                        "last_error": last_error})
    if arguments.json:
        print(json.dumps({"devices": devices}))
        return
    print("%d device%s" % (len(devices), "" if len(devices) == 1 else "s"))
    for d in devices:
        opens = "yes" if d["opens"] else "no: %s (%d)%s" % (
            d["status_text"], d["status"], ": " + d["last_error"] if d["last_error"] else "")
        print("  %-5d  %-16s  %-10s  %-8d  %s" % (d["index"], d["serial"], "I" * d["generation"],
                                                  d["firmware"], opens))


def _measure(lib, arguments):
    device = lib.device(arguments.device)
    progress = None if arguments.no_progress else _progress_bar(sys.stderr)
    volts = device.measure(channels=arguments.channels, period=arguments.period,
                           samples=arguments.samples, timeout=arguments.timeout, progress=progress)
    if progress is not None:
        sys.stderr.write("\n")
    if arguments.plot:
        _plot(arguments.plot, volts, arguments.period)
    if arguments.json:
        print(json.dumps({"device": device.index, "serial": device.serial_number,
                          "generation": device.generation,
                          "channels": {str(c): [float(v) for v in values] for c, values in volts.items()}}))
        return
    for channel, values in sorted(volts.items()):
        values = list(values)
        summary = ", min %.4f V, mean %.4f V, max %.4f V" % (
            min(values), sum(values) / len(values), max(values)) if values else ""
        print("channel %d: %d samples%s" % (channel, len(values), summary))
    if arguments.plot:
        print("plotted to %s" % arguments.plot)


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python3 -m veldrin", description=__doc__.splitlines()[0])
    provider = parser.add_mutually_exclusive_group()
    provider.add_argument("--simulated", metavar="DESCRIPTION", help="the built-in simulated bus")
    provider.add_argument("--libftdi", action="store_true", help="libftdi1 instead of FTDI's D2XX library")
    commands = parser.add_subparsers(dest="command", required=True)
    listing = commands.add_parser("list", help="devices and whether each opens")
    listing.add_argument("--json", action="store_true")
    measure = commands.add_parser("measure", help="run one measurement")
    measure.add_argument("--device", type=int, required=True)
    measure.add_argument("--channels", type=int, default=3, help="channel mask (1, 2 or 3)")
    measure.add_argument("--period", type=int, default=8, help="period code")
    measure.add_argument("--samples", type=int, default=1000)
    measure.add_argument("--timeout", type=float, default=30.0, help="seconds")
    measure.add_argument("--plot", metavar="FILE", help="draw the channels into an image (PNG, SVG, PDF)")
    measure.add_argument("--json", action="store_true", help="print the result as JSON")
    measure.add_argument("--no-progress", action="store_true", help="no progress bar on standard error")
    arguments = parser.parse_args(argv)

    try:
        with core.Library(simulated=arguments.simulated, libftdi=arguments.libftdi) as lib:
            if arguments.command == "list":
                _list(lib, arguments)
            else:
                _measure(lib, arguments)
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
