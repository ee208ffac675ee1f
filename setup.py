# The Python package bitexact_image: python/bitexact_image (the functions) and the
# extension bitexact_image._host, built from the module entries (modules/), the
# argument layer (modules/args.cpp), the kernels (core/) and the Python host
# (python/src/) with the flags every build of the modules uses.
#
#   python3 -m pip install --no-build-isolation .
import glob
import os
import platform

import pybind11
from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext
from setuptools.command.build_py import build_py

SOURCES = sorted(glob.glob("python/src/*.cpp")) + ["modules/args.cpp"] + sorted(glob.glob("core/*.cpp"))

# Same bits as every other build: C++17 without extensions, every product and
# sum rounded on its own (no fused multiply-add), no value-changing
# optimisation, and SSE2 rather than the x87 unit on 32-bit x86.
# -O3 as the CMake Release build: at the interpreter's default -O2, GCC leaves the
# vector kernels' helpers out of line, and gridlerp runs three times slower.
FLAGS = ["-std=c++17", "-O3", "-ffp-contract=off", "-fno-fast-math", "-fvisibility=hidden"]
if platform.machine() in ("i386", "i486", "i586", "i686", "x86"):
    FLAGS += ["-msse2", "-mfpmath=sse"]


class BuildExtension(build_ext):
    """Builds the AVX-512 files (core/*_avx512.cpp) without GCC's SLP and
    loop vectorisers, as CMake does: GCC 12 miscompiles plain code once
    AVX-512 is enabled, even at -O2, and these files are written in
    intrinsics."""

    NO_VECTORISERS = ["-fno-tree-slp-vectorize", "-fno-tree-loop-vectorize"]

    def build_extension(self, ext):
        compile_one = self.compiler._compile

        def compile_file(obj, src, src_ext, cc_args, extra_postargs, pp_opts):
            if src.endswith("_avx512.cpp"):
                extra_postargs = extra_postargs + self.NO_VECTORISERS
            compile_one(obj, src, src_ext, cc_args, extra_postargs, pp_opts)

        self.compiler._compile = compile_file
        try:
            super().build_extension(ext)
        finally:
            self.compiler._compile = compile_one

# The self-test's recorded calls: one file, kept with the toolbox, copied
# into the package when it is built.
SELFTEST_CALLS = "toolbox/bitexact_selftest.bin"


class build_py_with_selftest_calls(build_py):
    def run(self):
        super().run()
        self.copy_file(SELFTEST_CALLS, os.path.join(self.build_lib, "bitexact_image",
                                                    os.path.basename(SELFTEST_CALLS)))


setup(
    packages=["bitexact_image"],
    package_dir={"": "python"},
    # The types of the functions (a stub beside the module) and the marker
    # that tells type checkers the package has them.
    package_data={"bitexact_image": ["py.typed", "*.pyi"]},
    cmdclass={"build_ext": BuildExtension, "build_py": build_py_with_selftest_calls},
    ext_modules=[
        Extension(
            "bitexact_image._host",
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
