"""Python access to Veldrin USB measurement instruments through VeldrinLib.

    import veldrin
    lib = veldrin.Library(simulated="demo")      # or Library() for FTDI hardware
    with lib:
        dev = lib.device(1)
        dev.set_dac(1, amplitude_mv=1000, frequency_hz=50)
        volts = dev.measure(channels=3, period=8, samples=500)
        print(volts[1][:10])

The shared library is found through VELDRIN_LIBRARY (a path), in the checkout's
build tree (build/libVeldrinLib.so.3) when run from a checkout, or by the
system's library search (libVeldrinLib.so.3 installed by the Debian package or
`cmake --install`).
"""

from .core import (  # noqa: F401
    Device,
    Library,
    VeldrinError,
    load_library,
    status_text,
)

__all__ = ["Device", "Library", "VeldrinError", "load_library", "status_text"]
