"""The package's libftdi option, against a stand-in libftdi1 with virtual
instruments behind it (loaded first, so that libftdi1 by its standard name
finds it)."""

import ctypes
import os
import unittest

import veldrin

FAKE_LIBFTDI1 = os.environ.get("VELDRIN_FAKE_LIBFTDI1")


class LibFtdiOptionTest(unittest.TestCase):
    def test_simulated_and_libftdi_exclude_each_other(self):
        with self.assertRaises(ValueError):
            veldrin.Library(simulated="gen1", libftdi=True)

    @unittest.skipUnless(FAKE_LIBFTDI1, "no stand-in libftdi1 (VELDRIN_FAKE_LIBFTDI1)")
    def test_measures_through_libftdi(self):
        fake = ctypes.CDLL(FAKE_LIBFTDI1)
        self.assertEqual(fake.fakeLibftdi1UseDescription(b"ftdi; gen2 signal=dc"), 0)
        with veldrin.Library(libftdi=True) as lib:
            self.assertEqual(lib.device_count(), 1)
            volts = lib.device(1).measure(channels=3, period=6, samples=200)
            self.assertEqual(len(volts[1]), 200)
            self.assertTrue(all(abs(v - 1.25) < 0.05 for v in volts[1]))
            self.assertTrue(all(abs(v + 0.75) < 0.05 for v in volts[2]))


if __name__ == "__main__":
    unittest.main()
