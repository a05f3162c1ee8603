"""Which VeldrinLib.dll the package loads on Windows, decided from the real
32-bit and 64-bit DLLs' PE headers (VELDRIN_WIN32_DLL, VELDRIN_WIN64_DLL)."""

import os
import unittest
from unittest import mock

from veldrin import _pe, core

DLLS = {32: os.environ.get("VELDRIN_WIN32_DLL", ""), 64: os.environ.get("VELDRIN_WIN64_DLL", "")}


class DllChoiceTest(unittest.TestCase):
    def setUp(self):
        for bits, path in DLLS.items():
            if not os.path.isfile(path):
                self.skipTest("no %d-bit VeldrinLib.dll given (VELDRIN_WIN%d_DLL)" % (bits, bits))

    def load_on_windows(self, python_bits, candidates):
        """load_library as a Windows Python of python_bits, with these candidates;
        returns the path handed to ctypes."""
        loaded = []

        def cdll(path):
            loaded.append(path)
            return mock.MagicMock()

        with mock.patch.object(core.sys, "platform", "win32"), \
                mock.patch.object(core, "_PYTHON_BITS", python_bits), \
                mock.patch.object(core, "_candidates", lambda: iter(candidates)), \
                mock.patch.object(core.ctypes, "CDLL", cdll), \
                mock.patch.object(core, "_lib", None):
            core.load_library()
        return loaded

    def test_headers(self):
        for bits, path in DLLS.items():
            self.assertEqual(_pe.dll_bits(path), bits)
        self.assertIsNone(_pe.dll_bits(__file__))
        self.assertIsNone(_pe.dll_bits(os.path.join(os.path.dirname(__file__), "absent.dll")))

    def test_the_matching_dll_is_loaded_whichever_comes_first(self):
        for python_bits in (32, 64):
            for order in ((32, 64), (64, 32)):
                with self.subTest(python=python_bits, order=order):
                    loaded = self.load_on_windows(python_bits, [DLLS[bits] for bits in order])
                    self.assertEqual(loaded, [DLLS[python_bits]])

    def test_a_mismatch_says_which_is_which_and_what_to_install(self):
        for python_bits, dll_bits, package in ((64, 32, "win64"), (32, 64, "win32")):
            with self.subTest(python=python_bits):
                with self.assertRaises(OSError) as caught:
                    self.load_on_windows(python_bits, [DLLS[dll_bits]])
                self.assertIn("this Python is %d-bit; %s is a %d-bit DLL: use the %s zip"
                              % (python_bits, DLLS[dll_bits], dll_bits, package), str(caught.exception))


if __name__ == "__main__":
    unittest.main()
