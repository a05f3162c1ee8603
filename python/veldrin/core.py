"""ctypes bindings over the public C interface of VeldrinLib."""

import ctypes
import ctypes.util
import os
import struct
import sys
import time

from . import _pe

try:  # Results are numpy arrays where numpy is installed, lists otherwise.
    import numpy as _np
except ImportError:  # pragma: no cover - depends on the machine
    _np = None

_lib = None
# The interpreter's pointer width: a Windows DLL must match it.
_PYTHON_BITS = struct.calcsize("P") * 8

BUFFER_TOO_SMALL = 28
INVALID_ARGUMENT = 26
CALIBRATION_STORED = 1

# Seconds between two samples, by period code.
PERIOD_SECONDS = (0.00001, 0.00002, 0.00005, 0.0001, 0.0002, 0.0005, 0.001, 0.002, 0.005,
                  0.01, 0.02, 0.05, 0.1, 0.2, 0.5, 1.0, 2.0)


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
        for build in (["build-win64", "build-win32", "build"] if sys.platform.startswith("win") else ["build"]):
            for name in names:
                yield os.path.join(root, build, name)
    # The system's library search: the dynamic loader by soname (its cache,
    # LD_LIBRARY_PATH, the default directories), then ctypes' own search
    # (on Windows the folders on PATH: loaded by its full path, the DLL finds
    # Qt5Core.dll and the runtime DLLs beside it).
    yield names[0]
    found = ctypes.util.find_library("VeldrinLib")
    if found:
        yield found


def _windows_mismatch(path):
    """On Windows, why this Python cannot load the DLL at path (a bare name
    is looked up on PATH), or None."""
    if not sys.platform.startswith("win"):
        return None
    found = path if os.path.dirname(path) else ctypes.util.find_library(path)
    return _pe.mismatch(found, _PYTHON_BITS) if found else None


def load_library():
    """Loads the shared library once and declares every export's signature."""
    global _lib
    if _lib is not None:
        return _lib
    errors = []
    for path in _candidates():
        if os.path.sep in path and not os.path.exists(path):
            continue
        problem = _windows_mismatch(path)
        if problem:
            errors.append(problem)
            continue
        try:
            lib = ctypes.CDLL(path)
            break
        except OSError as error:
            errors.append(str(error))
    else:
        raise OSError("VeldrinLib not found (set VELDRIN_LIBRARY to the path of %s): %s" % (
            "VeldrinLib.dll" if sys.platform.startswith("win") else "libVeldrinLib.so.3",
            "; ".join(errors or ["no candidate exists"])))

    c_int, c_int_p = ctypes.c_int, ctypes.POINTER(ctypes.c_int)
    c_double_p, c_bool_p = ctypes.POINTER(ctypes.c_double), ctypes.POINTER(ctypes.c_bool)
    signatures = {
        "getLibraryVersion": [c_int_p, c_int_p, c_int_p],
        "getDeviceSerialNumber": [c_int, ctypes.c_char_p, c_int],
        "getDeviceGeneration": [c_int, c_int_p],
        "getFirmwareVersion": [c_int, c_int_p],
        "getLastErrorText": [c_int, ctypes.c_char_p, c_int],
        "getMeasurementProgress": [c_int, c_int_p, c_int_p],
        "waitForMeasurement": [c_int, c_int, c_bool_p],
        "getResultChecked": [c_int, c_int, c_double_p, c_int, c_int_p],
        "get2DResultRow": [c_int, c_int, c_int, c_double_p, c_int, c_int_p],
        "openDevices": [c_int_p],
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
        "setSpikeFilter": [c_int, ctypes.c_bool],
        "getCalibrationState": [c_int, c_int_p],
        "getCompletedRows": [c_int, c_int_p, c_int_p],
        "waitForCompletedRows": [c_int, c_int, c_int, c_int_p],
        "releaseResultRows": [c_int, c_int],
        "getLibraryErrorText": [ctypes.c_char_p, c_int],
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


def library_version():
    """The shared library's version as (major, minor, patch)."""
    numbers = [ctypes.c_int(0) for _ in range(3)]
    _check(load_library().getLibraryVersion(*[ctypes.byref(n) for n in numbers]), "getLibraryVersion")
    return tuple(n.value for n in numbers)


def _text(call, *args):
    """Text a function writes into a caller's buffer, in a buffer large enough."""
    capacity = 256
    while True:
        buffer = ctypes.create_string_buffer(capacity)
        status = call(*args, buffer, capacity)
        if status == BUFFER_TOO_SMALL and capacity < 1 << 20:
            capacity *= 4
            continue
        return status, buffer.value.decode("utf-8", "replace")


class VeldrinError(RuntimeError):
    """A call returned a status other than 0.

    code: the status code; status_text: the library's text for it;
    last_error: the instrument's own account of its last failure ("" when
    it has none or the call named no instrument); call: the function's name.
    """

    def __init__(self, status, call, last_error=""):
        self.code = status
        self.status = status
        self.call = call
        self.status_text = status_text(status)
        self.last_error = last_error
        message = "%s failed: %d (%s)" % (call, status, self.status_text)
        if last_error:
            message += ": " + last_error
        super().__init__(message)


def _check(status, call):
    if status != 0:
        raise VeldrinError(status, call)


def _integer(name, value):
    """value as the int a C parameter takes; TypeError naming the parameter otherwise."""
    if isinstance(value, bool) or not isinstance(value, int):
        if _np is not None and isinstance(value, _np.integer):
            return int(value)
        raise TypeError("%s must be an int, not %s" % (name, type(value).__name__))
    return value


def _channel(channel):
    """An input channel number, 1 or 2; ValueError naming any other."""
    channel = _integer("channel", channel)
    if channel not in (1, 2):
        raise ValueError("channel %d does not exist: the channels are 1 and 2" % channel)
    return channel


def _values(buffer, count):
    """count doubles of a ctypes buffer as a numpy array or a list."""
    if _np is not None:
        return _np.ctypeslib.as_array(buffer)[:count].copy()
    return list(buffer[:count])


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
        self._spike_filters = {}

    def open(self):
        if self._libftdi:
            _check(self._lib.useLibFtdi(), "useLibFtdi")
        elif self._simulated is None:
            _check(self._lib.useFtdiLibrary(), "useFtdiLibrary")
        else:
            if not isinstance(self._simulated, str):
                raise TypeError("simulated must be a str, not %s" % type(self._simulated).__name__)
            status = self._lib.useSimulatedBus(self._simulated.encode("latin-1"))
            if status != 0:
                # The parser's reason: which device and what in it is wrong.
                raise VeldrinError(status, "useSimulatedBus", _text(self._lib.getLibraryErrorText)[1])
        _check(self._lib.initialise(), "initialise")
        # Spike filter per device index as last set; initialise turns every one on.
        self._spike_filters = {}
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

    def open_devices(self):
        """Opens every listed instrument that is not open yet, all at once.

        Returns how many are open afterwards. One that fails stays closed, and
        its own calls raise its reason (VeldrinError) as a first call would.
        """
        opened = ctypes.c_int(0)
        _check(self._lib.openDevices(ctypes.byref(opened)), "openDevices")
        return opened.value

    def device(self, index):
        return Device(self, index)

    def devices(self):
        return [Device(self, i) for i in range(1, self.device_count() + 1)]


class Device:
    """One instrument, addressed by its 1-based index.

    Results are numpy arrays of volts where numpy is installed, lists
    otherwise. A failing call raises VeldrinError with the instrument's last
    error text.
    """

    # Slice of waitForMeasurement, so that a progress callback is called and
    # Ctrl-C is seen a few times a second.
    WAIT_SLICE_MS = 100

    def __init__(self, library, index):
        self._lib = library._lib
        self._library = library
        self.index = index

    def __repr__(self):
        return "<veldrin.Device %d>" % self.index

    def _call(self, name, *args):
        status = getattr(self._lib, name)(self.index, *args)
        if status != 0:
            raise VeldrinError(status, name, self._last_error_or_empty())

    def _last_error_or_empty(self):
        status, text = _text(self._lib.getLastErrorText, self.index)
        return text if status == 0 else ""

    def _int(self, name):
        value = ctypes.c_int(0)
        self._call(name, ctypes.byref(value))
        return value.value

    # Identity, from what the library read when it listed the instrument;
    # none of these opens it.
    @property
    def serial_number(self):
        status, text = _text(self._lib.getDeviceSerialNumber, self.index)
        _check(status, "getDeviceSerialNumber")
        return text

    @property
    def generation(self):
        return self._int("getDeviceGeneration")

    @property
    def firmware_version(self):
        return self._int("getFirmwareVersion")

    @property
    def last_error(self):
        """Why the instrument's last operation failed; "" when it did not."""
        status, text = _text(self._lib.getLastErrorText, self.index)
        _check(status, "getLastErrorText")
        return text

    def set_pwm(self, channel, duty_percent):
        """Sets PWM output `channel` (1; generation II also 2) to a duty cycle of 0..100 percent."""
        self._call("setPWM", _integer("channel", channel), _integer("duty_percent", duty_percent))

    def set_pwm_frequency(self, frequency_hz):
        """Sets the frequency of both PWM outputs, 1..200000 Hz (generation II only)."""
        self._call("setPWMFrequency", _integer("frequency_hz", frequency_hz))

    def set_dac(self, channel, waveform=None, amplitude_mv=None, offset_mv=None, frequency_hz=None):
        """Sets the given properties of DAC output `channel` (1; generation II also 2), keeping the others.

        waveform: 0 sine, 1 square, 2 triangle; amplitude_mv: peak, and
        offset_mv, in millivolts (generation I -5000..5000, generation II
        -4500..4500); frequency_hz: 10..5000 Hz (generation I) or 10..20000 Hz
        (generation II). Each is sent to the instrument at once; a refused one
        raises VeldrinError and leaves the properties after it unset.
        """
        channel = _integer("channel", channel)
        settings = (("setDACWaveform", "waveform", waveform), ("setDACAmplitude", "amplitude_mv", amplitude_mv),
                    ("setDACOffset", "offset_mv", offset_mv), ("setDACFrequency", "frequency_hz", frequency_hz))
        for call, name, value in settings:
            if value is not None:
                self._call(call, channel, _integer(name, value))

    def set_adc(self, channel, range_code, flag=0):
        """Sets the input range and input switch of ADC `channel` (1 or 2) for the measurements started afterwards.

        range_code: generation I 2 (2.5 V) or 3 (20 V), one range for both
        channels; generation II 0 (0.1 V), 1 (0.4 V), 2 (2 V) or 3 (10 V) per
        channel. An instrument measures on range 3 until this is called.
        flag: generation II's input switch (0 off, else on); ignored by
        generation I.
        """
        self._call("setADCProperties", _channel(channel), _integer("range_code", range_code), _integer("flag", flag))

    def set_sweep(self, channel, start_mv, stop_mv):
        """The bounds, in millivolts (-4500..4500), that the next sweep drives DAC `channel` between."""
        self._call("setSweepProperties", _integer("channel", channel), _integer("start_mv", start_mv),
                   _integer("stop_mv", stop_mv))

    def set_spike_filter(self, enabled):
        """Switches the 5-sample median spike filter (on by default) for the
        measurements started afterwards; off, each value is only calibrated."""
        self._call("setSpikeFilter", bool(enabled))
        self._library._spike_filters[self.index] = bool(enabled)

    def _use_spike_filter(self, enabled):
        # Set only when it changes, so that a start's own error is the one raised.
        if self._library._spike_filters.get(self.index, True) != bool(enabled):
            self.set_spike_filter(enabled)

    @property
    def calibrated(self):
        """True when the instrument's stored calibration is in use, False when
        it has none (missing or erased) and nominal factors apply. Opens it."""
        return self._int("getCalibrationState") == CALIBRATION_STORED

    def is_complete(self):
        complete = ctypes.c_bool(False)
        self._call("isMeasurementComplete", ctypes.byref(complete))
        return complete.value

    def progress(self):
        """(values stored so far, values when complete) of the current measurement."""
        received, expected = ctypes.c_int(0), ctypes.c_int(0)
        self._call("getMeasurementProgress", ctypes.byref(received), ctypes.byref(expected))
        return received.value, expected.value

    def wait(self, timeout=30.0, progress=None):
        """Waits until the measurement is complete; TimeoutError after `timeout` seconds.

        progress: called as progress(received, expected) while it waits and
        once more when complete.
        """
        remaining_ms = max(0, int(timeout * 1000))
        complete = ctypes.c_bool(False)
        while True:
            slice_ms = min(self.WAIT_SLICE_MS, remaining_ms)
            self._call("waitForMeasurement", slice_ms, ctypes.byref(complete))
            if progress is not None:
                progress(*self.progress())
            if complete.value:
                return
            remaining_ms -= slice_ms
            if remaining_ms <= 0:
                raise TimeoutError("measurement on device %d did not complete" % self.index)

    def sizes(self, channel):
        """(rows, columns) of the channel's result: generation II the sweep
        points measured so far (released ones included) and the length of the
        first row still held; generation I the number of values and 0."""
        rows, columns = ctypes.c_int(0), ctypes.c_int(0)
        self._call("get2DResultSizes", _channel(channel), ctypes.byref(rows), ctypes.byref(columns))
        return rows.value, columns.value

    def _copy(self, name, *args):
        """Values a capacity-checked copy returns, asking again while more arrive."""
        count = ctypes.c_int(0)
        capacity = 0
        while True:
            buffer = (ctypes.c_double * max(capacity, 1))()
            status = getattr(self._lib, name)(self.index, *args, buffer, capacity, ctypes.byref(count))
            if status == BUFFER_TOO_SMALL:
                capacity = count.value
                continue
            if status != 0:
                raise VeldrinError(status, name, self._last_error_or_empty())
            return _values(buffer, count.value)

    def result(self, channel):
        """The channel's one-dimensional result (the first sweep point), in volts."""
        return self._copy("getResultChecked", _channel(channel))

    def result_row(self, channel, row):
        """One sweep point (row, from 0) of the channel's result, in volts."""
        return self._copy("get2DResultRow", _channel(channel), _integer("row", row))

    def result_2d(self, channel):
        """Every sweep point of the channel, in volts: a 2D numpy array where
        numpy is installed (a list of arrays while rows differ in length), else
        a list of lists."""
        channel = _channel(channel)
        rows = 1 if self.generation == 1 else self.sizes(channel)[0]
        values = [self.result_row(channel, row) for row in range(rows)]
        if _np is not None and values and len({len(row) for row in values}) == 1:
            return _np.vstack(values)
        return values

    def _collect(self, channels, two_dimensional):
        out = {}
        for channel in (1, 2):
            if channels & channel:
                out[channel] = self.result_2d(channel) if two_dimensional else self.result(channel)
        return out

    def measure(self, channels=3, period=8, samples=1000, timeout=30.0, progress=None, spike_filter=True):
        """Runs one measurement and returns {channel: volts}.

        channels: mask, 1 (input 1), 2 (input 2) or 3 (both); period: the
        period code (6 is 1 ms, 8 is 5 ms; PERIOD_SECONDS has them all);
        samples: per channel. spike_filter=False returns each value only
        calibrated, without the 5-sample median that removes spikes but lags
        two samples and clips fast signals (see VeldrinLib.h).
        """
        self._use_spike_filter(spike_filter)
        self._call("runMeasurement", _integer("channels", channels), _integer("period", period),
                   _integer("samples", samples))
        self.wait(timeout, progress)
        return self._collect(channels, False)

    def sweep_1d(self, channels=3, period=8, samples=1000, timeout=30.0, progress=None, spike_filter=True):
        """DAC 1 ramps from its sweep start to stop (set_sweep) across one
        acquisition; returns {channel: volts}."""
        self._use_spike_filter(spike_filter)
        self._call("run1DSweepMeasurement", _integer("channels", channels), _integer("period", period),
                   _integer("samples", samples))
        self.wait(timeout, progress)
        return self._collect(channels, False)

    def sweep_2d(self, points, channels=3, period=8, samples=100, timeout=60.0, progress=None,
                 spike_filter=True):
        """Runs a two-dimensional sweep and returns {channel: volts per point}."""
        self._use_spike_filter(spike_filter)
        self._call("run2DSweepMeasurement", _integer("channels", channels), _integer("period", period),
                   _integer("samples", samples), _integer("points", points))
        self.wait(timeout, progress)
        return self._collect(channels, True)

    def start(self, kind="measure", channels=3, period=8, samples=1000, points=2, spike_filter=True):
        """Starts a measurement and returns at once: kind "measure", "sweep1d"
        or "sweep2d" (with `points` set-points of DAC 2). Take its rows with
        completed_rows()."""
        channels, period, samples = (_integer("channels", channels), _integer("period", period),
                                     _integer("samples", samples))
        self._use_spike_filter(spike_filter)
        if kind == "measure":
            self._call("runMeasurement", channels, period, samples)
        elif kind == "sweep1d":
            self._call("run1DSweepMeasurement", channels, period, samples)
        elif kind == "sweep2d":
            self._call("run2DSweepMeasurement", channels, period, samples, _integer("points", points))
        else:
            raise ValueError("kind %r is none of measure, sweep1d, sweep2d" % (kind,))

    def completed_rows(self, channels=3, timeout=None, release=True, stop=None):
        """Yields (row, {channel: volts}) for each row (sweep point) of the
        current measurement as soon as it is complete, and, with release,
        lets the library free it afterwards, so that a measurement of any size
        runs in bounded memory. Ends when the measurement is complete; raises
        TimeoutError when it is not complete after `timeout` seconds (None:
        no limit). A measurement or a 1D sweep has one row, complete at its
        end. stop: a function asked between rows and waits (a few times a
        second); when it returns true the generator ends there. Ending early
        leaves the rows not taken readable: partial_row() copies what arrived
        of the one that was running.
        """
        numbers = [c for c in (1, 2) if _integer("channels", channels) & c]
        deadline = None if timeout is None else time.monotonic() + timeout
        completed, complete = ctypes.c_int(0), ctypes.c_bool(False)
        row = 0
        while True:
            self._call("waitForCompletedRows", row + 1, self.WAIT_SLICE_MS, ctypes.byref(completed))
            self._call("isMeasurementComplete", ctypes.byref(complete))
            done = complete.value
            if done:  # rows may have completed between the two calls
                self._call("getCompletedRows", ctypes.byref(completed), ctypes.byref(ctypes.c_int(0)))
            while row < completed.value:
                if stop is not None and stop():
                    return
                yield row, {c: self.result_row(c, row) for c in numbers}
                row += 1
                if release:
                    self._call("releaseResultRows", row)
            if done or (stop is not None and stop()):
                return
            if deadline is not None and time.monotonic() > deadline:
                raise TimeoutError("measurement on device %d did not complete within %g s" % (self.index, timeout))

    def partial_row(self, row, channels=3):
        """What arrived of a row that is not complete: {channel: volts}, empty
        lists where nothing did (a row never begun reads empty)."""
        out = {}
        for channel in (c for c in (1, 2) if _integer("channels", channels) & c):
            try:
                out[channel] = self.result_row(channel, row)
            except VeldrinError as error:
                if error.code != INVALID_ARGUMENT:
                    raise
                out[channel] = []
        return out
