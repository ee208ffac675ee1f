"""The package's types as its users meet them, in the installation under test
(source or wheel): shipped with it, true to the functions, precise enough to
catch a wrong call, and the examples they type run."""
import os
import shutil
import subprocess
import sys

import pytest

import bitexact_image
from conftest import ROOT

SCRIPT = os.path.join(ROOT, "tests", "python", "typed_user_script.py")
# Shared by the source and the wheel installation's runs: NumPy's own types
# are checked once.
CACHE = os.path.join(ROOT, "build-python", "mypy-cache")


def mypy_strict(path, folder):
    """mypy --strict on one file, run from folder (nothing of the checkout on
    its path): its exit status and report."""
    os.makedirs(CACHE, exist_ok=True)
    done = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--cache-dir", CACHE,
                           "--no-error-summary", path], cwd=folder, capture_output=True,
                          text=True)
    return done.returncode, done.stdout + done.stderr


def test_types_shipped_with_the_installed_package():
    folder = os.path.dirname(bitexact_image.__file__)
    assert os.path.isfile(os.path.join(folder, "py.typed"))
    assert os.path.isfile(os.path.join(folder, "__init__.pyi"))
    assert not folder.startswith(os.path.join(ROOT, "python"))


def test_stub_matches_the_functions(tmp_path):
    # Every name, argument name, order and default of the stub against the
    # module as imported: a function changed without its stub fails here.
    done = subprocess.run([sys.executable, "-m", "mypy.stubtest", "bitexact_image"],
                          cwd=tmp_path, capture_output=True, text=True)
    assert done.returncode == 0, done.stdout + done.stderr


def test_user_script_passes_mypy_strict_and_runs(tmp_path):
    status, report = mypy_strict(SCRIPT, tmp_path)
    assert status == 0, report
    done = subprocess.run([sys.executable, SCRIPT], cwd=tmp_path, capture_output=True,
                          text=True)
    assert done.returncode == 0, done.stderr
    assert "gridlerp:emptyImage" in done.stdout


def test_mypy_rejects_a_wrong_call(tmp_path):
    # A patchwarp template of three counts, which the function refuses too.
    script = tmp_path / "wrong_call.py"
    shutil.copy(SCRIPT, script)
    with open(script, "a") as file:
        file.write("\nbitexact_image.patchwarp(image, (15, 17, 1), A)\n")
    wrong_line = sum(1 for _ in open(script))
    status, report = mypy_strict(script.name, tmp_path)
    assert status == 1, report
    errors = [line for line in report.splitlines() if ": error:" in line]
    assert len(errors) == 1, report
    assert errors[0].startswith("wrong_call.py:%d: error:" % wrong_line), report
    assert '"patchwarp"' in errors[0] and "tuple[int, int]" in errors[0].lower(), report
    with pytest.raises(ValueError):
        bitexact_image.patchwarp([[1.0]], (15, 17, 1), [[1, 0, 0], [0, 1, 0]])
