"""The Python package against the real shared library on the simulated bus."""

import unittest

import veldrin


class PackageTest(unittest.TestCase):
    def test_status_texts_and_errors(self):
        self.assertEqual(veldrin.status_text(0), "success")
        self.assertEqual(veldrin.status_text(5), "library not initialised")
        self.assertEqual(veldrin.status_text(999), "unknown status code")
        lib = veldrin.Library(simulated="gen2")
        with self.assertRaises(veldrin.VeldrinError) as caught:
            lib.device_count()  # not initialised yet
        self.assertEqual(caught.exception.status, 5)

    def test_malformed_description_is_refused(self):
        with self.assertRaises(veldrin.VeldrinError) as caught:
            veldrin.Library(simulated="gen7 serial=X").open()
        self.assertEqual(caught.exception.status, 26)

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


if __name__ == "__main__":
    unittest.main()
