"""Runs `veldrin doctor` on fake sysfs and /dev trees and checks its verdicts.

Usage: check_doctor.py VELDRIN_TOOL FAKE_D2XX_LIBRARY

Device access is checked for another user (--user UID:GID), so that the
verdicts hold when the tests run as root, who may open anything.
"""

import ctypes.util
import os
import platform
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

TOOL, FAKE_D2XX = sys.argv[1], sys.argv[2]
HERE = os.path.dirname(os.path.abspath(__file__))
OTHER_UID = 65534 if os.getuid() != 65534 else 65533
OTHER = "%d:%d" % (OTHER_UID, OTHER_UID)
SERIAL = "SYBH008010042"


def write(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(text + "\n")


class FakeMachine:
    """A sysfs tree with USB devices, their interfaces and drivers, and the
    matching /dev/bus/usb nodes (plain files whose mode and ACL stand in for
    the device nodes')."""

    def __init__(self, root):
        self.sys = os.path.join(root, "sys")
        self.dev = os.path.join(root, "dev")
        os.makedirs(os.path.join(self.sys, "bus/usb/devices"))
        os.makedirs(self.dev)

    def ftdi_sio(self, built_in=False):
        os.makedirs(os.path.join(self.sys, "bus/usb/drivers/ftdi_sio"))
        os.makedirs(os.path.join(self.sys, "module/ftdi_sio"))
        if not built_in:
            write(os.path.join(self.sys, "module/ftdi_sio/initstate"), "live")

    def device(self, name, vendor, product, serial=None, bus=1, number=2, drivers=(None,),
               mode=0o660, node=True):
        path = os.path.join(self.sys, "bus/usb/devices", name)
        for attribute, value in (("idVendor", vendor), ("idProduct", product), ("busnum", str(bus)),
                                 ("devnum", str(number)), ("product", "USB <-> Serial"),
                                 ("serial", serial)):
            if value is not None:
                write(os.path.join(path, attribute), value)
        for index, driver in enumerate(drivers):
            interface = "%s:1.%d" % (name, index)
            folder = os.path.join(path, interface)
            os.makedirs(folder)
            if driver:
                driver_dir = os.path.join(self.sys, "bus/usb/drivers", driver)
                os.makedirs(driver_dir, exist_ok=True)
                os.symlink(os.path.relpath(driver_dir, folder), os.path.join(folder, "driver"))
                os.symlink(os.path.relpath(folder, driver_dir), os.path.join(driver_dir, interface))
                if driver == "ftdi_sio":
                    os.makedirs(os.path.join(folder, "ttyUSB%d" % index))
        node_path = os.path.join(self.dev, "bus/usb/%03d/%03d" % (bus, number))
        if node:
            write(node_path, "")
            os.chmod(node_path, mode)
        return node_path


class DoctorTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp()
        self.machine = FakeMachine(self.folder)
        self.machine.device("usb1", "1d6b", "0002", number=1)  # a root hub

    def tearDown(self):
        shutil.rmtree(self.folder)

    def doctor(self, *extra, d2xx=FAKE_D2XX, user=OTHER, env=None):
        arguments = [TOOL, "doctor", "--sysfs", self.machine.sys, "--dev", self.machine.dev]
        if d2xx:
            arguments += ["--d2xx-library", d2xx]
        if user:
            arguments += ["--user", user]
        environment = {k: v for k, v in os.environ.items() if k != "SUDO_USER"}
        environment.update(env or {})
        done = subprocess.run(arguments + list(extra), capture_output=True, text=True, timeout=60,
                              env=environment)
        return done.returncode, done.stdout + done.stderr

    def assertProblem(self, output, pattern):
        self.assertRegex(output, r"PROBLEM  .*" + pattern)

    def test_no_ftdi_chip(self):
        self.machine.device("1-1", "046d", "c52b", serial="0123")
        code, out = self.doctor()
        self.assertEqual(code, 1, out)
        self.assertProblem(out, r"no FTDI chip \(USB vendor 0403\) is plugged in")
        self.assertIn("lsusb -d 0403:", out)
        self.assertIn("ftdi_sio is not loaded", out)
        # The D2XX library loads, and its device list is shown.
        self.assertRegex(out, r"ok +%s loads from %s, with every function"
                         % (re.escape(FAKE_D2XX), re.escape(os.path.realpath(FAKE_D2XX))))
        self.assertIn("D2XX lists 2 devices: FT000001 (0403:6001), SYAH004010001 (0403:6002)", out)
        self.assertEqual(out.count("PROBLEM"), 1, out)

    def test_chip_bound_to_ftdi_sio(self):
        for built_in in (False, True):
            with self.subTest(built_in=built_in):
                self.tearDown()
                self.setUp()
                self.machine.ftdi_sio(built_in=built_in)
                self.machine.device("1-1.2", "0403", "6001", serial=SERIAL, drivers=("ftdi_sio",),
                                    mode=0o666)
                code, out = self.doctor()
                self.assertEqual(code, 1, out)
                self.assertIn("ftdi_sio is %s, bound to 1-1.2:1.0"
                              % ("built into the kernel" if built_in else "loaded as a module"), out)
                self.assertIn("interface 1-1.2:1.0: driver ftdi_sio (ttyUSB0)", out)
                self.assertProblem(out, SERIAL + " is held by ftdi_sio: D2XX cannot open it")
                self.assertIn("echo -n 1-1.2:1.0 | sudo tee /sys/bus/usb/drivers/ftdi_sio/unbind", out)
                # A built-in driver cannot be unloaded: only unbinding helps.
                self.assertEqual("sudo rmmod ftdi_sio" in out, not built_in, out)
                self.assertEqual(out.count("PROBLEM"), 1, out)
                # libftdi1 detaches the driver itself: on that route it is no problem.
                code, out = self.doctor("--libftdi")
                self.assertIn(SERIAL + " is held by ftdi_sio; libftdi1 detaches it", out)
                self.assertNotIn("PROBLEM  " + SERIAL, out)
                self.assertIn("not in use: --libftdi", out)

    def test_chip_free_for_d2xx_and_open_to_its_group(self):
        node = self.machine.device("3-4", "0403", "6015", serial=SERIAL, bus=3, number=7,
                                   drivers=(None,), mode=0o660)
        gid = os.stat(node).st_gid
        code, out = self.doctor(user="%d:%d,%d" % (OTHER_UID, OTHER_UID, gid))
        self.assertEqual(code, 0, out)
        self.assertIn("3-4: 0403:6015 FT-X series \"USB <-> Serial\", serial number %s, bus/device 003/007"
                      % SERIAL, out)
        self.assertIn(SERIAL + " is free for D2XX", out)
        self.assertRegex(out, r"ok +.* can open %s \(.* 0660\) for reading and writing" % re.escape(node))
        self.assertIn("No problem found", out)

    def test_no_d2xx_library(self):
        self.machine.device("1-1", "0403", "6014", serial=SERIAL, mode=0o666)
        code, out = self.doctor(d2xx=os.path.join(self.folder, "libftd2xx.so"))
        self.assertEqual(code, 1, out)
        self.assertProblem(out, r"libftd2xx\.so does not load: .*No such file")
        self.assertIn("sudo ln -sf libftd2xx.so.1.4.24 /usr/local/lib/libftd2xx.so && sudo ldconfig", out)
        # FTDI's build for the processor the tool runs on.
        self.assertIn("install FTDI's D2XX library for Linux, its ", out)
        if platform.machine() == "x86_64":
            self.assertIn("install FTDI's D2XX library for Linux, its x86_64 build", out)
        self.assertEqual(out.count("PROBLEM"), 1, out)

        # Another library under that name: loads, but is not D2XX.
        code, out = self.doctor(d2xx=ctypes.util.find_library("m"))
        self.assertEqual(code, 1, out)
        self.assertProblem(out, r"loads but lacks FT_Open, FT_Close, .*FT_EEPROM_Program: it is not FTDI's")

    def test_d2xx_found_by_the_standard_name(self):
        self.machine.device("1-1", "0403", "6014", serial=SERIAL, mode=0o666)
        libraries = os.path.join(self.folder, "lib")
        os.makedirs(libraries)
        versioned = os.path.join(libraries, "libftd2xx.so.1.4.24")
        shutil.copy(FAKE_D2XX, versioned)
        search = {"LD_LIBRARY_PATH": libraries + ":" + os.environ.get("LD_LIBRARY_PATH", "")}
        if ctypes.util.find_library("ftd2xx") is None:
            # Only the versioned file: the name VeldrinLib loads is missing.
            code, out = self.doctor(d2xx=None, env=search)
            self.assertEqual(code, 1, out)
            self.assertProblem(out, r"libftd2xx\.so does not load .*, but %s is there" % re.escape(versioned))
            self.assertIn("sudo ln -sf libftd2xx.so.1.4.24 %s/libftd2xx.so && sudo ldconfig" % libraries, out)
        os.symlink("libftd2xx.so.1.4.24", os.path.join(libraries, "libftd2xx.so"))
        code, out = self.doctor(d2xx=None, env=search)
        self.assertEqual(code, 0, out)
        self.assertIn("libftd2xx.so loads from %s, with every function" % versioned, out)

    def test_device_node_the_user_cannot_open(self):
        node = self.machine.device("1-1", "0403", "6001", serial=SERIAL, mode=0o600)
        code, out = self.doctor()
        self.assertEqual(code, 1, out)
        self.assertProblem(out, r"cannot open %s \(.* 0600\) for reading and writing" % re.escape(node))
        # The node is not plugdev's: the rule is missing or not applied.
        self.assertIn("| sudo tee /etc/udev/rules.d/70-veldrin-ftdi.rules", out)
        self.assertIn("sudo udevadm trigger --action=change --subsystem-match=usb --attr-match=idVendor=0403", out)
        self.assertRegex(out, r"sudo usermod -aG plugdev \S+")

        # An access list entry for the user opens it (as uaccess gives the
        # user at the seat), where the file system keeps access lists.
        entries = [(1, 6, 0xFFFFFFFF), (2, 6, OTHER_UID), (4, 0, 0xFFFFFFFF), (0x10, 6, 0xFFFFFFFF),
                   (0x20, 0, 0xFFFFFFFF)]
        try:
            os.setxattr(node, "system.posix_acl_access",
                        struct.pack("<I", 2) + b"".join(struct.pack("<HHI", *e) for e in entries))
        except OSError:
            return
        code, out = self.doctor()
        self.assertEqual(code, 0, out)
        self.assertRegex(out, r"ok +.* can open %s" % re.escape(node))

    def test_missing_node_and_chips_that_are_not_instruments(self):
        self.machine.device("1-1", "0403", "6001", serial=SERIAL, node=False)
        self.machine.device("1-2", "0403", "6010", serial="FT4XYZ", number=3, drivers=("ftdi_sio", "ftdi_sio"))
        code, out = self.doctor()
        self.assertEqual(code, 1, out)
        self.assertProblem(out, r"/bus/usb/001/002 does not exist")
        self.assertIn("1-2: 0403:6010 FT2232", out)
        self.assertIn("not an instrument (its serial number does not start with SY)", out)
        self.assertEqual(out.count("PROBLEM"), 1, out)

        shutil.rmtree(os.path.join(self.machine.sys, "bus/usb/devices/1-1"))
        code, out = self.doctor()
        self.assertProblem(out, r"none of the FTDI chips is an instrument")

    def test_environment_roots_and_usage_errors(self):
        self.machine.device("1-1", "0403", "6001", serial=SERIAL, mode=0o666)
        done = subprocess.run(
            [TOOL, "doctor", "--d2xx-library", FAKE_D2XX, "--user", OTHER], capture_output=True, text=True,
            env=dict(os.environ, VELDRIN_SYSFS_ROOT=self.machine.sys, VELDRIN_DEV_ROOT=self.machine.dev),
            timeout=60)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        self.assertIn("reads %s and %s" % (self.machine.sys, self.machine.dev), done.stdout)
        self.assertEqual(self.doctor("--colour", "yes")[0], 2)
        self.assertEqual(self.doctor(user="no-such-user-here")[0], 2)
        code, out = self.doctor(user=None, env={"SUDO_USER": ""})
        if os.geteuid() == 0:
            self.assertIn("Checking device access for root", out)

    def test_d2xx_functions_match_the_library_loader(self):
        # Both doctors check for the functions the library resolves.
        source = os.path.join(os.path.dirname(HERE), "src", "FtdiLibrary.cpp")
        with open(source) as f:
            loader = set(re.findall(r'resolve\("(FT_\w+)"', f.read()))
        with open(os.path.join(HERE, "DoctorD2xx.h")) as f:
            text = f.read()
        listed = set(re.findall(r'"(FT_\w+)"', text[text.index("d2xxFunctions[]"):text.index("struct D2xxNode")]))
        self.assertEqual(listed, loader)


if __name__ == "__main__":
    del sys.argv[1:]
    unittest.main(verbosity=2)
