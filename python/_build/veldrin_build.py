"""A build backend for the veldrin package that needs nothing but the standard library.

pip builds the package with it (pyproject.toml names it, from this folder), so
`pip install ./python` works offline in any virtual environment, also one
without setuptools or wheel (a stock venv of Python 3.12 and later has neither).
The package is pure Python: a wheel is a zip of veldrin/*.py and its metadata.
"""

import base64
import hashlib
import os
import zipfile

NAME = "veldrin"
VERSION = "3.0.0"
HERE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TAG = "py3-none-any"

METADATA = """Metadata-Version: 2.1
Name: {name}
Version: {version}
Summary: Python access to Veldrin USB measurement instruments through VeldrinLib
License: MIT
Requires-Python: >=3.7
Classifier: License :: OSI Approved :: MIT License
Classifier: Programming Language :: Python :: 3
Classifier: Operating System :: POSIX :: Linux
Classifier: Topic :: Scientific/Engineering
Provides-Extra: arrays
Requires-Dist: numpy; extra == "arrays"
Provides-Extra: plot
Requires-Dist: matplotlib; extra == "plot"

ctypes over the VeldrinLib shared library (libVeldrinLib.so.3), which must be
installed (Debian package or cmake --install) or named by VELDRIN_LIBRARY.
""".format(name=NAME, version=VERSION)

WHEEL = """Wheel-Version: 1.0
Generator: veldrin_build
Root-Is-Purelib: true
Tag: {tag}
""".format(tag=TAG)


def _dist_info():
    return "%s-%s.dist-info" % (NAME, VERSION)


def _files():
    """(name in the wheel, bytes) of the package's modules and its licence."""
    package = os.path.join(HERE, NAME)
    for entry in sorted(os.listdir(package)):
        if entry.endswith(".py"):
            with open(os.path.join(package, entry), "rb") as f:
                yield "%s/%s" % (NAME, entry), f.read()
    licence = os.path.join(HERE, "LICENSE")
    if os.path.exists(licence):
        with open(licence, "rb") as f:
            yield _dist_info() + "/LICENSE", f.read()


def _record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return "%s,sha256=%s,%d" % (name, digest, len(data))


def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_editable(config_settings=None):
    return []


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    folder = os.path.join(metadata_directory, _dist_info())
    os.makedirs(folder, exist_ok=True)
    for name, text in (("METADATA", METADATA), ("WHEEL", WHEEL)):
        with open(os.path.join(folder, name), "w") as f:
            f.write(text)
    return _dist_info()


def _write_wheel(wheel_directory, files):
    filename = "%s-%s-%s.whl" % (NAME, VERSION, TAG)
    records = []
    with zipfile.ZipFile(os.path.join(wheel_directory, filename), "w", zipfile.ZIP_DEFLATED) as wheel:
        for name, data in files:
            wheel.writestr(name, data)
            records.append(_record_line(name, data))
        for name, text in (("METADATA", METADATA), ("WHEEL", WHEEL)):
            path = "%s/%s" % (_dist_info(), name)
            wheel.writestr(path, text)
            records.append(_record_line(path, text.encode()))
        records.append("%s/RECORD,," % _dist_info())
        wheel.writestr("%s/RECORD" % _dist_info(), "\n".join(records) + "\n")
    return filename


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    return _write_wheel(wheel_directory, _files())


def build_editable(wheel_directory, config_settings=None, metadata_directory=None):
    # A path file that puts this folder on sys.path: edits take effect at once.
    return _write_wheel(wheel_directory, [("%s.pth" % NAME, (HERE + "\n").encode())])


def build_sdist(sdist_directory, config_settings=None):
    import tarfile

    base = "%s-%s" % (NAME, VERSION)
    filename = base + ".tar.gz"
    with tarfile.open(os.path.join(sdist_directory, filename), "w:gz") as archive:
        for entry in ("pyproject.toml", "LICENSE", NAME, "_build"):
            path = os.path.join(HERE, entry)
            if os.path.exists(path):
                archive.add(path, arcname="%s/%s" % (base, entry),
                            filter=lambda info: None if "__pycache__" in info.name else info)
        data = METADATA.encode()
        info = tarfile.TarInfo("%s/PKG-INFO" % base)
        info.size = len(data)
        import io
        archive.addfile(info, io.BytesIO(data))
    return filename
