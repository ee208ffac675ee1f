"""The wheel (BITEXACT_WHEEL, set by ./run's wheel stage) as installed: the
extension imported is the wheel's own, the wheel carries every file of the
package, and the needs README.md states for this Debian release are the
wheel's."""
import hashlib
import os
import re
import sys
import sysconfig
import zipfile

import pytest

import bitexact_image
from conftest import ROOT

sys.path.insert(0, os.path.join(ROOT, "package"))
import wheel_needs  # noqa: E402

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
    return bitexact_image._host.__file__


def test_installed_extension_is_the_wheels():
    installed = os.path.realpath(extension_path())
    site = os.path.realpath(sysconfig.get_paths()["platlib"])
    assert installed.startswith(site + os.sep) and sys.prefix != sys.base_prefix, installed
    assert not installed.startswith(os.path.realpath(ROOT) + os.sep + "python"), installed
    inside = members()["bitexact_image/" + os.path.basename(installed)]
    with open(installed, "rb") as file:
        assert hashlib.sha256(file.read()).digest() == hashlib.sha256(inside).digest()


def test_wheel_carries_every_file_of_the_package():
    # The package's folder in the checkout, its data included: nothing left
    # behind by the build, nothing missing once installed.
    names = set(members())
    folder = os.path.join(ROOT, "python", "bitexact_image")
    for dirpath, dirnames, filenames in os.walk(folder):
        dirnames[:] = [d for d in dirnames if d != "__pycache__"]
        for name in filenames:
            relative = os.path.relpath(os.path.join(dirpath, name), os.path.dirname(folder))
            assert relative.replace(os.sep, "/") in names, relative
    installed = os.path.dirname(bitexact_image.__file__)
    for name in names:
        if name.startswith("bitexact_image/"):
            assert os.path.isfile(os.path.join(os.path.dirname(installed), name)), name


def stated_needs(release):
    """The row of README.md's wheel table for Debian RELEASE ("12"), or None."""
    with open(os.path.join(ROOT, "README.md")) as file:
        for line in file:
            if re.match(r"\|\s*Debian %s\b" % re.escape(release), line):
                return line
    return None


def test_tag_and_stated_needs_are_the_extensions():
    # The needs are read from the wheel built here (what ./run's wheel stage
    # prints); README.md states them for each Debian release, and the row of
    # this machine's release must be what was built.
    needs = wheel_needs.wheel_needs(WHEEL)
    assert [needs["tag"], needs["abi"], needs["platform"]] == \
        ["cp%d%d" % sys.version_info[:2]] * 2 + ["linux_x86_64"], needs
    assert set(needs["needed"]) <= SYSTEM_LIBRARIES, needs["needed"]
    release = debian_release()
    if release is None:
        pytest.skip("not checked on this machine: the wheel's needs as README.md states them "
                    "(not a Debian release)")
    row = stated_needs(release)
    assert row is not None, "README.md's wheel table has no row for Debian %s" % release
    assert "`%s`" % needs["tag"] in row, (needs["tag"], row)
    for family in wheel_needs.FAMILIES:
        assert "`%s_%s`" % (family, needs[family]) in row, (family, needs[family], row)


def debian_release():
    """This machine's Debian release ("12", "13"), or None elsewhere."""
    try:
        with open("/etc/os-release") as file:
            fields = dict(line.rstrip("\n").split("=", 1) for line in file if "=" in line)
    except OSError:
        return None
    if fields.get("ID") != "debian":
        return None
    return fields.get("VERSION_ID", "").strip('"') or None
