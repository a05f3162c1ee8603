"""ctypes bindings over the public C interface of VeldrinLib."""

import ctypes
import ctypes.util
import os
import sys
import time

_lib = None


def _candidates():
    explicit = os.environ.get("VELDRIN_LIBRARY")
    if explicit:
        yield explicit
    here = os.path.dirname(os.path.abspath(__file__))
    root = os.path.dirname(os.path.dirname(here))
    if sys.platform.startswith("win"):
        names = ["VeldrinLib.dll"]
    elif sys.platform == "darwin":
        names = ["libVeldrinLib.3.dylib", "libVeldrinLib.dylib"]
    else:
        names = ["libVeldrinLib.so.3", "libVeldrinLib.so"]
    # Run from a checkout (PYTHONPATH=python): its plain build; sanitizer
    # builds cannot be loaded into an uninstrumented python. An installed
    # package has no checkout around it.
    if os.path.exists(os.path.join(root, "CMakeLists.txt")):
        for name in names:
            yield os.path.join(root, "build", name)
    # The system's library search: the dynamic loader by soname (its cache,
    # LD_LIBRARY_PATH, the default directories), then ctypes' own search.
    yield names[0]
    found = ctypes.util.find_library("VeldrinLib")
    if found:
        yield found


def load_library():
    """Loads the shared library once and declares every export's signature."""
    global _lib
    if _lib is not None:
        return _lib
    errors = []
    for path in _candidates():
        if os.path.sep in path and not os.path.exists(path):
            continue
        try:
            lib = ctypes.CDLL(path)
            break
        except OSError as error:
            errors.append(str(error))
    else:
        raise OSError("VeldrinLib not found: " + "; ".join(errors or ["no candidate exists"]))

    c_int, c_int_p = ctypes.c_int, ctypes.POINTER(ctypes.c_int)
    signatures = {
        "initialise": [],
        "closeLibrary": [],
        "getDeviceCount": [c_int_p],
        "getDeviceIndex": [ctypes.c_char_p, c_int_p],
        "setPWM": [c_int, c_int, c_int],
        "setPWMFrequency": [c_int, c_int],
        "setDACWaveform": [c_int, c_int, c_int],
        "setDACOffset": [c_int, c_int, c_int],
        "setDACAmplitude": [c_int, c_int, c_int],
        "setDACFrequency": [c_int, c_int, c_int],
        "setSweepProperties": [c_int, c_int, c_int, c_int],
        "setADCProperties": [c_int, c_int, c_int, c_int],
        "runMeasurement": [c_int, c_int, c_int, c_int],
        "run1DSweepMeasurement": [c_int, c_int, c_int, c_int],
        "run2DSweepMeasurement": [c_int, c_int, c_int, c_int, c_int],
        "isMeasurementComplete": [c_int, ctypes.POINTER(ctypes.c_bool)],
        "getResult": [c_int, c_int, c_int_p, ctypes.POINTER(ctypes.c_double)],
        "get2DResult": [c_int, c_int, ctypes.POINTER(ctypes.c_double)],
        "get2DResultSizes": [c_int, c_int, c_int_p, c_int_p],
        "useFtdiLibrary": [],
        "useLibFtdi": [],
        "useSimulatedBus": [ctypes.c_char_p],
    }
    for name, arguments in signatures.items():
        function = getattr(lib, name)
        function.argtypes = arguments
        function.restype = c_int
    lib.getStatusText.argtypes = [c_int]
    lib.getStatusText.restype = ctypes.c_char_p
    _lib = lib
    return lib


def status_text(status):
    """The library's English text for a status code."""
    return load_library().getStatusText(int(status)).decode("ascii", "replace")


class VeldrinError(RuntimeError):
    """A call returned a status other than 0."""

    def __init__(self, status, call):
        self.status = status
        self.call = call
        super().__init__("%s failed: %d (%s)" % (call, status, status_text(status)))


def _check(status, call):
    if status != 0:
        raise VeldrinError(status, call)


class Library:
    """The library state: a provider choice and, while open, the device list.

    simulated: None for FTDI hardware, or a simulated-bus description
    ("demo", "gen2", "gen1; gen2 serial=SYBH008010042", ...).
    libftdi: True to reach the hardware through the open-source libftdi1
    instead of FTDI's D2XX library (not together with simulated).
    """

    def __init__(self, simulated=None, libftdi=False):
        if simulated is not None and libftdi:
            raise ValueError("simulated and libftdi exclude each other")
        self._lib = load_library()
        self._simulated = simulated
        self._libftdi = libftdi

    def open(self):
        if self._libftdi:
            _check(self._lib.useLibFtdi(), "useLibFtdi")
        elif self._simulated is None:
            _check(self._lib.useFtdiLibrary(), "useFtdiLibrary")
        else:
            _check(self._lib.useSimulatedBus(self._simulated.encode("latin-1")), "useSimulatedBus")
        _check(self._lib.initialise(), "initialise")
        return self

    def close(self):
        self._lib.closeLibrary()

    def __enter__(self):
        return self.open()

    def __exit__(self, *exc):
        self.close()
        return False

    def device_count(self):
        count = ctypes.c_int(0)
        _check(self._lib.getDeviceCount(ctypes.byref(count)), "getDeviceCount")
        return count.value

    def index_of(self, serial_number):
        """1-based index of the device with this serial number ("xxxx" unit matches any)."""
        index = ctypes.c_int(0)
        _check(self._lib.getDeviceIndex(serial_number.encode("latin-1"), ctypes.byref(index)),
               "getDeviceIndex")
        return index.value

    def device(self, index):
        return Device(self, index)

    def devices(self):
        return [Device(self, i) for i in range(1, self.device_count() + 1)]


class Device:
    """One instrument, addressed by its 1-based index."""

    def __init__(self, library, index):
        self._lib = library._lib
        self.index = index

    def _call(self, name, *args):
        _check(getattr(self._lib, name)(self.index, *args), name)

    def set_pwm(self, channel, duty_percent):
        self._call("setPWM", channel, duty_percent)

    def set_pwm_frequency(self, frequency_hz):
        self._call("setPWMFrequency", frequency_hz)

    def set_dac(self, channel, waveform=None, amplitude_mv=None, offset_mv=None, frequency_hz=None):
        if waveform is not None:
            self._call("setDACWaveform", channel, waveform)
        if amplitude_mv is not None:
            self._call("setDACAmplitude", channel, amplitude_mv)
        if offset_mv is not None:
            self._call("setDACOffset", channel, offset_mv)
        if frequency_hz is not None:
            self._call("setDACFrequency", channel, frequency_hz)

    def set_adc(self, channel, range_code, flag=0):
        self._call("setADCProperties", channel, range_code, flag)

    def set_sweep(self, channel, start_mv, stop_mv):
        self._call("setSweepProperties", channel, start_mv, stop_mv)

    def is_complete(self):
        complete = ctypes.c_bool(False)
        self._call("isMeasurementComplete", ctypes.byref(complete))
        return complete.value

    def wait(self, timeout=30.0, poll=0.005):
        deadline = time.monotonic() + timeout
        while not self.is_complete():
            if time.monotonic() > deadline:
                raise TimeoutError("measurement on device %d did not complete" % self.index)
            time.sleep(poll)

    def sizes(self, channel):
        rows, columns = ctypes.c_int(0), ctypes.c_int(0)
        self._call("get2DResultSizes", channel, ctypes.byref(rows), ctypes.byref(columns))
        return rows.value, columns.value

    def result(self, channel):
        """The channel's one-dimensional result (the first sweep point), in volts."""
        rows, columns = self.sizes(channel)
        capacity = max(rows if columns == 0 else columns, 1)
        buffer = (ctypes.c_double * capacity)()
        count = ctypes.c_int(0)
        self._call("getResult", channel, ctypes.byref(count), buffer)
        return list(buffer[: count.value])

    def result_2d(self, channel):
        """Every sweep point of the channel: a list of rows, in volts."""
        rows, columns = self.sizes(channel)
        if columns == 0:
            return [self.result(channel)] if rows else []
        buffer = (ctypes.c_double * (rows * columns))()
        self._call("get2DResult", channel, buffer)
        values = list(buffer)
        return [values[r * columns:(r + 1) * columns] for r in range(rows)]

    def _collect(self, channels, two_dimensional):
        out = {}
        for channel in (1, 2):
            if channels & channel:
                out[channel] = self.result_2d(channel) if two_dimensional else self.result(channel)
        return out

    def measure(self, channels=3, period=8, samples=1000, timeout=30.0):
        """Runs one measurement and returns {channel: [volts, ...]}."""
        self._call("runMeasurement", channels, period, samples)
        self.wait(timeout)
        return self._collect(channels, False)

    def sweep_1d(self, channels=3, period=8, samples=1000, timeout=30.0):
        self._call("run1DSweepMeasurement", channels, period, samples)
        self.wait(timeout)
        return self._collect(channels, False)

    def sweep_2d(self, points, channels=3, period=8, samples=100, timeout=60.0):
        """Runs a two-dimensional sweep and returns {channel: [[volts, ...] per point]}."""
        self._call("run2DSweepMeasurement", channels, period, samples, points)
        self.wait(timeout)
        return self._collect(channels, True)
