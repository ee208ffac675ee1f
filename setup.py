# The Python package bitexact: python/bitexact (the functions) and the
# extension bitexact._host, built from the module entries (modules/), the
# argument layer (modules/args.cpp), the kernels (core/) and the Python host
# (python/src/) with the flags every build of the modules uses.
#
#   python3 -m pip install --no-build-isolation .
import glob
import os
import platform

import pybind11
from setuptools import Extension, setup
from setuptools.command.build_py import build_py

SOURCES = sorted(glob.glob("python/src/*.cpp")) + ["modules/args.cpp"] + sorted(glob.glob("core/*.cpp"))

# Same bits as every other build: C++17 without extensions, every product and
# sum rounded on its own (no fused multiply-add), no value-changing
# optimisation, and SSE2 rather than the x87 unit on 32-bit x86.
FLAGS = ["-std=c++17", "-ffp-contract=off", "-fno-fast-math", "-fvisibility=hidden"]
if platform.machine() in ("i386", "i486", "i586", "i686", "x86"):
    FLAGS += ["-msse2", "-mfpmath=sse"]

# The self-test's recorded calls: one file, kept with the toolbox, copied
# into the package when it is built.
SELFTEST_CALLS = "toolbox/bitexact_selftest.bin"


class build_py_with_selftest_calls(build_py):
    def run(self):
        super().run()
        self.copy_file(SELFTEST_CALLS, os.path.join(self.build_lib, "bitexact",
                                                    os.path.basename(SELFTEST_CALLS)))


setup(
    packages=["bitexact"],
    package_dir={"": "python"},
    cmdclass={"build_py": build_py_with_selftest_calls},
    ext_modules=[
        Extension(
            "bitexact._host",
            sources=SOURCES,
            # Rebuilt when a header changes too.
            depends=sorted(glob.glob("core/*.h") + glob.glob("modules/*.h")
                           + glob.glob("modules/host_interface/*.h") + glob.glob("python/src/*.h")),
            include_dirs=[".", "modules/host_interface", pybind11.get_include()],
            extra_compile_args=FLAGS,
            language="c++",
        )
    ],
    # Out of build/, which is the CMake build's.
    options={"build": {"build_base": "build-python/setuptools"}},
)
