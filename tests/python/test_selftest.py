"""The package's self-test: the installed package ships the recorded calls
and gives every recorded bit, from Python and from the command line, with
the last line the README shows; a one-bit change of a recorded result fails
and names the call, and a damaged file is refused, never passed."""
import importlib
import io
import os
import re
import subprocess
import sys

import pytest

import bitexact_image
from bitexact_image import _selftest

LAST_LINE = re.compile(r"^bitexact_selftest: \d+ calls, all bits equal to the recorded "
                       r"results \(.+\)$")


def test_the_installed_package_gives_every_recorded_bit(capsys):
    shipped = os.path.join(os.path.dirname(bitexact_image.__file__), "bitexact_selftest.bin")
    assert os.path.isfile(shipped), "the package does not ship its self-test's calls"
    assert bitexact_image.selftest() is True
    lines = capsys.readouterr().out.splitlines()
    assert len(lines) == 5 and LAST_LINE.match(lines[-1]), lines
    # The same file as the toolbox's, where a checkout has it.
    toolbox = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(
        os.path.abspath(__file__)))), "toolbox", "bitexact_selftest.bin")
    with open(shipped, "rb") as a, open(toolbox, "rb") as b:
        assert a.read() == b.read()


def test_the_command_gives_the_same_last_line():
    run = subprocess.run([sys.executable, "-m", "bitexact_image.selftest"], capture_output=True,
                         text=True, cwd=os.path.dirname(os.path.dirname(bitexact_image.__file__)))
    assert run.returncode == 0, run.stdout + run.stderr
    assert LAST_LINE.match(run.stdout.splitlines()[-1]), run.stdout
    assert run.stderr == ""
    # Imported as a module, the command's module still calls as the function.
    importlib.import_module("bitexact_image.selftest")
    assert callable(bitexact_image.selftest)


def test_a_changed_bit_fails_and_a_damaged_file_is_refused(tmp_path):
    with open(_selftest.FILE, "rb") as file:
        data = bytearray(file.read())
    # The lowest bit of the last recorded element: linscore's 1e16 + 2.
    data[-8] ^= 1
    changed = tmp_path / "changed.bin"
    changed.write_bytes(bytes(data))
    out = io.StringIO()
    ok, lines = _selftest.run(str(changed), out)
    assert not ok
    text = out.getvalue()
    assert re.search(r"linscore: 1 of \d+ calls DIFFER", text), text
    assert re.search(r"call \d+ \(linscore, golden: summation order\): result 1, element 2: "
                     r"recorded 4341c37937e08000 .*, got 4341c37937e08001", text), text
    assert "input 1, 3 x 2: 4341c37937e08000 3ff0000000000000" in text

    changed.write_bytes(bytes(data[:-100]))
    with pytest.raises(ValueError, match="truncated"):
        _selftest.run(str(changed), None)
