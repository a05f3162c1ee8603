"""Which Windows a DLL is built for, read from its PE header.

A 64-bit Python cannot load a 32-bit DLL and the reverse; Windows says only
"[WinError 193] %1 is not a valid Win32 application". The loader reads the
header first and, on a mismatch, passes the DLL over with a message that
names both sides and the package to install instead.
"""

import struct

# IMAGE_FILE_HEADER.Machine values and the pointer width they stand for.
_MACHINE_BITS = {0x014C: 32, 0x01C4: 32, 0x8664: 64, 0xAA64: 64}
_PACKAGE = {32: "win32", 64: "win64"}


def dll_bits(path):
    """32 or 64 for a Windows DLL of those machines, None for anything else
    (not a PE file, unreadable, an unknown machine)."""
    try:
        with open(path, "rb") as dll:
            dos = dll.read(64)
            if len(dos) < 64 or dos[:2] != b"MZ":
                return None
            (offset,) = struct.unpack_from("<I", dos, 0x3C)
            dll.seek(offset)
            header = dll.read(6)
    except OSError:
        return None
    if len(header) < 6 or header[:4] != b"PE\0\0":
        return None
    (machine,) = struct.unpack_from("<H", header, 4)
    return _MACHINE_BITS.get(machine)


def mismatch(path, python_bits):
    """Why a Python of python_bits cannot load the DLL at path, or None when
    it can (or the header does not say: then loading it tells)."""
    bits = dll_bits(path)
    if bits is None or bits == python_bits:
        return None
    return "this Python is %d-bit; %s is a %d-bit DLL: use the %s zip" % (
        python_bits, path, bits, _PACKAGE[python_bits])
