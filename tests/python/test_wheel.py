"""The wheel (BITEXACT_WHEEL, set by ./run's wheel stage) as installed: the
extension imported is the wheel's own, the wheel carries every file of the
package, and the needs README.md states for it are the extension's."""
import hashlib
import os
import re
import subprocess
import sys
import sysconfig
import zipfile

import pytest

import bitexact
from conftest import ROOT

WHEEL = os.environ.get("BITEXACT_WHEEL")
pytestmark = pytest.mark.skipif(not WHEEL, reason="no wheel under test (BITEXACT_WHEEL unset; "
                                "./run's wheel stage builds one and sets it)")

# What every Linux system has; a wheel needing any other library would fail
# to import where that library is missing.
SYSTEM_LIBRARIES = {"libc.so.6", "libm.so.6", "libstdc++.so.6", "libgcc_s.so.1",
                    "ld-linux-x86-64.so.2"}


def members():
    with zipfile.ZipFile(WHEEL) as wheel:
        return {name: wheel.read(name) for name in wheel.namelist()}


def extension_path():
    return bitexact._host.__file__


def test_installed_extension_is_the_wheels():
    installed = os.path.realpath(extension_path())
    site = os.path.realpath(sysconfig.get_paths()["platlib"])
    assert installed.startswith(site + os.sep) and sys.prefix != sys.base_prefix, installed
    assert not installed.startswith(os.path.realpath(ROOT) + os.sep + "python"), installed
    inside = members()["bitexact/" + os.path.basename(installed)]
    with open(installed, "rb") as file:
        assert hashlib.sha256(file.read()).digest() == hashlib.sha256(inside).digest()


def test_wheel_carries_every_file_of_the_package():
    # The package's folder in the checkout, its data included: nothing left
    # behind by the build, nothing missing once installed.
    names = set(members())
    folder = os.path.join(ROOT, "python", "bitexact")
    for dirpath, dirnames, filenames in os.walk(folder):
        dirnames[:] = [d for d in dirnames if d != "__pycache__"]
        for name in filenames:
            relative = os.path.relpath(os.path.join(dirpath, name), os.path.dirname(folder))
            assert relative.replace(os.sep, "/") in names, relative
    installed = os.path.dirname(bitexact.__file__)
    for name in names:
        if name.startswith("bitexact/"):
            assert os.path.isfile(os.path.join(os.path.dirname(installed), name)), name


def test_tag_and_stated_needs_are_the_extensions():
    tag = os.path.basename(WHEEL)[:-len(".whl")].split("-")[-3:]
    assert tag == ["cp%d%d" % sys.version_info[:2]] * 2 + ["linux_x86_64"], tag
    dynamic = subprocess.run(["objdump", "-p", extension_path()], capture_output=True,
                             text=True, check=True).stdout
    needed = set(re.findall(r"NEEDED\s+(\S+)", dynamic))
    assert needed <= SYSTEM_LIBRARIES, needed
    symbols = subprocess.run(["objdump", "-T", extension_path()], capture_output=True,
                             text=True, check=True).stdout
    with open(os.path.join(ROOT, "README.md")) as file:
        readme = file.read()
    for family in ("GLIBC", "GLIBCXX", "CXXABI"):
        versions = re.findall(r"\(%s_([0-9.]+)\)" % family, symbols)
        highest = max(versions, key=lambda v: tuple(int(n) for n in v.split(".")))
        assert "`%s_%s`" % (family, highest) in readme, (family, highest)
