"""The Python package against the real shared library on the simulated bus."""

import json
import os
import subprocess
import sys
import tempfile
import unittest
from unittest import mock

import veldrin
from veldrin import core

try:
    import numpy
except ImportError:
    numpy = None
try:
    import matplotlib  # noqa: F401
    HAVE_MATPLOTLIB = True
except ImportError:
    HAVE_MATPLOTLIB = False

PACKAGE_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def run_module(*args):
    """python3 -m veldrin with this interpreter and this checkout's package."""
    env = dict(os.environ)
    env["PYTHONPATH"] = PACKAGE_ROOT + os.pathsep + env.get("PYTHONPATH", "")
    return subprocess.run([sys.executable, "-m", "veldrin", *args], capture_output=True, text=True,
                          timeout=120, env=env)


class PackageTest(unittest.TestCase):
    def test_status_texts_and_errors(self):
        self.assertEqual(veldrin.status_text(0), "success")
        self.assertEqual(veldrin.status_text(5), "library not initialised")
        self.assertEqual(veldrin.status_text(999), "unknown status code")
        lib = veldrin.Library(simulated="gen2")
        with self.assertRaises(veldrin.VeldrinError) as caught:
            lib.device_count()  # not initialised yet
        self.assertEqual(caught.exception.status, 5)

    def test_malformed_description_is_refused_with_the_parsers_reason(self):
        with self.assertRaises(veldrin.VeldrinError) as caught:
            veldrin.Library(simulated="gen2 colour=red").open()
        self.assertEqual(caught.exception.status, 26)
        self.assertIn('unknown key "colour"', str(caught.exception))

    def test_arguments_are_checked_by_name(self):
        with veldrin.Library(simulated="gen2 pace=fast") as lib:
            device = lib.device(1)
            for channel in (0, 3, -1, 5):
                with self.assertRaisesRegex(ValueError, "channel %d does not exist" % channel):
                    device.result(channel)
            with self.assertRaisesRegex(ValueError, "channel 0"):
                device.sizes(0)
            with self.assertRaisesRegex(TypeError, "amplitude_mv must be an int, not str"):
                device.set_dac(1, amplitude_mv="1000")
            with self.assertRaisesRegex(TypeError, "range_code must be an int, not float"):
                device.set_adc(1, 2.0)
        self.assertEqual(veldrin.PERIOD_SECONDS[6], 0.001)

    def test_completed_rows_are_taken_and_released(self):
        with veldrin.Library(simulated="gen2 signal=dc pace=fast") as lib:
            device = lib.device(1)
            device.start("sweep2d", channels=3, period=3, samples=25, points=4)
            rows = list(device.completed_rows(channels=3))
            self.assertEqual([(row, sorted(v), len(v[1]), len(v[2])) for row, v in rows],
                             [(p, [1, 2], 25, 25) for p in range(4)])
            with self.assertRaises(veldrin.VeldrinError) as caught:
                device.result_row(1, 3)
            self.assertEqual(caught.exception.code, 29)

    def test_measurement_and_sweep_on_the_demo_bus(self):
        with veldrin.Library(simulated="demo") as lib:
            self.assertEqual(lib.device_count(), 2)
            gen2 = lib.device(lib.index_of("SYBH00801xxxx"))
            gen2.set_dac(1, waveform=0, amplitude_mv=1500, offset_mv=0, frequency_hz=10)
            volts = gen2.measure(channels=1, period=6, samples=300)
            self.assertEqual(list(volts), [1])
            self.assertEqual(len(volts[1]), 300)
            # The simulated input sees DAC 1: a sine of 1.5 V amplitude.
            self.assertGreater(max(volts[1]), 1.2)
            self.assertLess(min(volts[1]), -1.2)

            gen2.set_sweep(2, 0, 1000)
            rows = gen2.sweep_2d(points=3, channels=1, period=8, samples=20)
            self.assertEqual(len(rows[1]), 3)
            self.assertTrue(all(len(row) == 20 for row in rows[1]))

            gen1 = lib.device(lib.index_of("SYAH00401xxxx"))
            with self.assertRaises(veldrin.VeldrinError) as caught:
                gen1.set_pwm_frequency(1000)
            self.assertEqual(caught.exception.status, 10)

    def test_identity_and_errors_carry_the_instruments_account(self):
        self.assertEqual(veldrin.library_version()[:2], (3, 0))
        with veldrin.Library(simulated="gen2 serial=SYBH008010042 pace=fast; "
                                       "gen1 serial=SYAH004010007 firmware=2 pace=fast") as lib:
            good, refused = lib.devices()
            self.assertEqual((good.serial_number, good.generation, good.firmware_version),
                             ("SYBH008010042", 2, 3))
            self.assertEqual((refused.serial_number, refused.generation, refused.firmware_version),
                             ("SYAH004010007", 1, 2))
            self.assertEqual(good.last_error, "")
            self.assertEqual(lib.open_devices(), 1)
            self.assertIn("Firmware version 2", refused.last_error)
            with self.assertRaises(veldrin.VeldrinError) as caught:
                refused.measure(samples=10)
            error = caught.exception
            self.assertEqual((error.code, error.call), (9, "runMeasurement"))
            self.assertEqual(error.status_text, veldrin.status_text(9))
            self.assertIn("Firmware version 2", error.last_error)
            self.assertIn(error.last_error, str(error))
            self.assertEqual(refused.last_error, error.last_error)

    def test_results_as_numpy_arrays_or_lists(self):
        with veldrin.Library(simulated="gen2 signal=dc pace=fast") as lib:
            device = lib.device(1)
            device.set_sweep(2, 0, 1000)
            for arrays in (True, False):
                if arrays and numpy is None:
                    continue
                with self.subTest(numpy=arrays), mock.patch.object(core, "_np", numpy if arrays else None):
                    volts = device.measure(channels=3, period=6, samples=50)
                    rows = device.sweep_2d(points=3, channels=1, period=6, samples=20)[1]
                    if arrays:
                        self.assertIsInstance(volts[1], numpy.ndarray)
                        self.assertEqual(volts[1].dtype, numpy.float64)
                        self.assertEqual(rows.shape, (3, 20))
                        self.assertTrue(numpy.allclose(volts[2], -0.75, atol=0.01))
                    else:
                        self.assertIsInstance(volts[1], list)
                        self.assertEqual([len(row) for row in rows], [20, 20, 20])
                        self.assertTrue(all(abs(v + 0.75) < 0.01 for v in volts[2]))
                    self.assertEqual(len(volts[1]), 50)

    def test_spike_filter_switch_and_calibration_state(self):
        peak = lambda values: max(float(v) for v in values)
        with veldrin.Library(simulated="gen2 signal=sine pace=fast; gen2 fault=no-calibration pace=fast") as lib:
            sine, uncalibrated = lib.devices()
            # The 50 Hz sine at 1 ms: the median clips its 1 V peak to 0.951 V.
            self.assertAlmostEqual(peak(sine.measure(channels=1, period=6, samples=100)[1]), 0.951, delta=0.01)
            self.assertAlmostEqual(peak(sine.measure(channels=1, period=6, samples=100, spike_filter=False)[1]),
                                   1.0, delta=0.01)
            self.assertEqual((sine.calibrated, uncalibrated.calibrated), (True, False))

    def test_progress_callback_and_wait_time_out(self):
        with veldrin.Library(simulated="gen2 signal=dc") as lib:
            device = lib.device(1)
            seen = []
            # 600 samples at 1 ms.
            volts = device.measure(channels=1, period=6, samples=600,
                                   progress=lambda received, expected: seen.append((received, expected)))
            self.assertEqual(len(volts[1]), 600)
            self.assertEqual(seen[-1], (600, 600))
            self.assertTrue(any(0 < received < 600 for received, _ in seen), seen)
            self.assertEqual(seen, sorted(seen))
            with self.assertRaises(TimeoutError):
                device.measure(channels=1, period=6, samples=2000, timeout=0.2)
            received, expected = device.progress()
            self.assertEqual(expected, 2000)
            self.assertLess(received, 2000)


class ModuleCommandTest(unittest.TestCase):
    def test_list_and_measure_as_json(self):
        done = run_module("--simulated", "demo pace=fast", "list", "--json")
        self.assertEqual(done.returncode, 0, done.stderr)
        devices = json.loads(done.stdout)["devices"]
        self.assertEqual([(d["serial"], d["generation"], d["opens"]) for d in devices],
                         [("SYAH004010001", 1, True), ("SYBH008010002", 2, True)])
        done = run_module("--simulated", "gen2 signal=dc pace=fast", "measure", "--device", "1",
                          "--samples", "40", "--json", "--no-progress")
        self.assertEqual(done.returncode, 0, done.stderr)
        header, point, end = [json.loads(line) for line in done.stdout.splitlines()]
        self.assertEqual(sorted(point["channels"]), ["1", "2"])
        self.assertEqual(len(point["channels"]["1"]), 40)
        self.assertTrue(end["complete"])

    def test_errors_name_the_instruments_reason(self):
        done = run_module("--simulated", "gen1 firmware=2 pace=fast", "measure", "--device", "1")
        self.assertEqual(done.returncode, 1)
        self.assertIn("9 (", done.stderr)
        self.assertIn("Firmware version 2", done.stderr)

    def test_plot_without_matplotlib_is_refused_before_measuring(self):
        with tempfile.TemporaryDirectory() as folder:
            os.mkdir(os.path.join(folder, "matplotlib"))
            with open(os.path.join(folder, "matplotlib", "__init__.py"), "w") as f:
                f.write("raise ImportError('not installed')\n")
            env = dict(os.environ, PYTHONPATH=folder + os.pathsep + PACKAGE_ROOT)
            # 1000 samples of 2 s: a measurement would not end within the time-out.
            done = subprocess.run([sys.executable, "-m", "veldrin", "--simulated", "gen2", "measure", "--device",
                                   "1", "--period", "16", "--samples", "1000", "--plot", "x.png"],
                                  capture_output=True, text=True, timeout=20, env=env)
        self.assertNotEqual(done.returncode, 0)
        self.assertIn("--plot needs matplotlib", done.stderr)

    @unittest.skipUnless(HAVE_MATPLOTLIB, "matplotlib is not installed")
    def test_plot(self):
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "out.png")
            done = run_module("--simulated", "gen2 pace=fast", "measure", "--device", "1",
                              "--samples", "100", "--plot", path)
            self.assertEqual(done.returncode, 0, done.stderr)
            with open(path, "rb") as image:
                self.assertEqual(image.read(8), b"\x89PNG\r\n\x1a\n")


if __name__ == "__main__":
    unittest.main()
