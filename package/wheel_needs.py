"""What a built wheel of the Python package needs where it is installed, read
from the wheel itself: the interpreter its tag names, the shared libraries its
extension lists as needed, and the highest version of each C and C++ library
symbol family it calls. ./run's wheel stage prints it; the wheel's test
compares it with what README.md states for the release it was built on.

    python3 package/wheel_needs.py WHEEL
"""
import os
import re
import subprocess
import sys
import tempfile
import zipfile

# The symbol families of the GNU C library and GCC's C++ library.
FAMILIES = ("GLIBC", "GLIBCXX", "CXXABI")


def version_key(version):
    return tuple(int(part) for part in version.split("."))


def extension_needs(path):
    """The libraries the extension at PATH lists as needed, and the highest
    version it calls of each symbol family: (needed, {family: version})."""
    dynamic = subprocess.run(["objdump", "-p", path], capture_output=True, text=True,
                             check=True).stdout
    needed = sorted(set(re.findall(r"NEEDED\s+(\S+)", dynamic)))
    symbols = subprocess.run(["objdump", "-T", path], capture_output=True, text=True,
                             check=True).stdout
    highest = {}
    for family in FAMILIES:
        versions = re.findall(r"\b%s_([0-9][0-9.]*)\b" % family, symbols)
        if versions:
            highest[family] = max(versions, key=version_key)
    return needed, highest


def wheel_needs(wheel):
    """What WHEEL needs: {"tag": "cp311", "needed": [...], "GLIBC": "2.32", ...}."""
    name = os.path.basename(wheel)[:-len(".whl")]
    python_tag, abi_tag, platform_tag = name.split("-")[-3:]
    with zipfile.ZipFile(wheel) as archive, tempfile.TemporaryDirectory() as folder:
        extensions = [member for member in archive.namelist()
                      if re.match(r"bitexact_image/_host\..*\.so$", member)]
        if len(extensions) != 1:
            raise ValueError("%s holds %d extensions, not one" % (wheel, len(extensions)))
        needed, highest = extension_needs(archive.extract(extensions[0], folder))
    return dict(tag=python_tag, abi=abi_tag, platform=platform_tag, needed=needed, **highest)


def describe(needs):
    """One line a user reads: the interpreter, the C and C++ library versions."""
    symbols = ", ".join("`%s_%s`" % (family, needs[family])
                        for family in FAMILIES if family in needs)
    return "CPython %s.%s (`%s`, %s); %s; needs %s" % (
        needs["tag"][2], needs["tag"][3:], needs["tag"], needs["platform"], symbols,
        " ".join(needs["needed"]))


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    print("The wheel needs: " + describe(wheel_needs(sys.argv[1])))
