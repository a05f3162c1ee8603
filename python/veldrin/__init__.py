"""Python access to Veldrin USB measurement instruments through VeldrinLib.

    import veldrin
    lib = veldrin.Library(simulated="demo")      # or Library() for FTDI hardware
    with lib:
        dev = lib.device(1)
        print(dev.serial_number, dev.generation, dev.firmware_version)
        dev.set_dac(1, amplitude_mv=1000, frequency_hz=50)
        volts = dev.measure(channels=3, period=8, samples=500,
                            progress=lambda done, total: print(done, "of", total))
        print(volts[1][:10])

Results are numpy arrays of volts where numpy is installed, lists otherwise.
A failing call raises VeldrinError, which carries the status code, its text
and the instrument's last error text. From the command line:

    python3 -m veldrin --simulated demo measure --device 2 --samples 200 --plot out.png

The shared library is found through VELDRIN_LIBRARY (a path), in the checkout's
build tree (build/libVeldrinLib.so.3) when run from a checkout, or by the
system's library search (libVeldrinLib.so.3 installed by the Debian package or
`cmake --install`).
"""

from .core import (  # noqa: F401
    PERIOD_SECONDS,
    Device,
    Library,
    VeldrinError,
    library_version,
    load_library,
    status_text,
)

__all__ = ["PERIOD_SECONDS", "Device", "Library", "VeldrinError", "library_version", "load_library", "status_text"]
