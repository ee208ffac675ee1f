"""Shared pieces of the Python package's tests."""
import os
import subprocess

import numpy as np
import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def bits(array):
    """The bytes of an array in column order, every NaN made the one quiet NaN
    (which NaN survives where two meet is the processor's choice)."""
    values = np.array(array, order="F", copy=True)
    if values.dtype == np.float64:
        values[np.isnan(values)] = np.nan
    return values.tobytes(order="F")


@pytest.fixture(scope="session")
def conformance_calls(tmp_path_factory):
    """The conformance program's calls in full: the file named by
    BITEXACT_CALLS (./run python makes it), else written here by the program
    of the CMake build in build/."""
    path = os.environ.get("BITEXACT_CALLS")
    if path:
        return path
    program = os.path.join(ROOT, "build", "tests", "conformance", "conformance")
    if not os.path.exists(program):
        pytest.skip("the conformance program is not built (./run build makes it)")
    folder = tmp_path_factory.mktemp("conformance")
    subprocess.run([program, "run", os.path.join(ROOT, "build", "modules"), ".mexa64",
                    str(folder / "results.bin"), "--calls", str(folder / "calls.bin")],
                   check=True, stdout=subprocess.DEVNULL)
    return str(folder / "calls.bin")
