"""Every code block of README.md and doc/*.md runs as pasted, each program in
a new empty folder: Python under this interpreter, Octave and MATLAB in
octave-cli with the CMake build's modules and the toolbox on the path, shell
in bash. What the marks above a block mean is in doc/developers.md."""
import glob
import os
import re
import shutil
import signal
import subprocess
import sys

import pytest

from conftest import ROOT

PAGES = [os.path.join(ROOT, "README.md")] + sorted(glob.glob(os.path.join(ROOT, "doc", "*.md")))
RUN = {"python", "octave", "matlab", "sh", "bash"}
SHOWN = {"text"}
FENCE = re.compile(r"^(\s*)```(.*)$")
MARK = re.compile(r"^<!-- (fragment of the block before|not run: (.*)) -->$")
SECONDS = 120


def blocks(page):
    """Each fenced block of a page: (line, language, code, mark, reason), the
    mark the last line above it that is not blank."""
    with open(page, encoding="utf-8") as file:
        lines = file.read().split("\n")
    found, i = [], 0
    while i < len(lines):
        fence = FENCE.match(lines[i])
        if not fence:
            i += 1
            continue
        indent, start = fence.group(1), i
        above = next((line.strip() for line in reversed(lines[:i]) if line.strip()), "")
        mark = MARK.match(above)
        i += 1
        while i < len(lines) and lines[i].strip() != "```":
            i += 1
        code = "\n".join(line[len(indent):] for line in lines[start + 1:i]) + "\n"
        found.append((start + 1, fence.group(2).strip(), code, mark and mark.group(1),
                      mark and mark.group(2)))
        if i == len(lines):
            found.append((start + 1, "unclosed", code, None, None))
        i += 1
    return found


def programs():
    """The programs to run, [where, language, code], a fragment joined to the
    program before it, and what is wrong with the marks, one line each."""
    found, wrong = [], []
    for page in PAGES:
        name = os.path.relpath(page, ROOT)
        last = None
        for line, language, code, mark, reason in blocks(page):
            where = "%s:%d" % (name, line)
            if language not in RUN | SHOWN:
                wrong.append("%s: a block of language %r (say python, octave, matlab, sh or "
                             "text)" % (where, language))
            elif mark == "fragment of the block before":
                if last is None or last[1] != language:
                    wrong.append("%s: a fragment with no %s block before it" % (where, language))
                else:
                    last[2] += code
            elif reason is not None and not reason.strip():
                wrong.append("%s: not run, and no reason given" % where)
            elif language in RUN and reason is None:
                last = [where, language, code]
                found.append(last)
                continue
            else:
                last = None
    return found, wrong


PROGRAMS, WRONG = programs()


# A block nobody marked would be run or left out silently.
def test_every_block_is_a_program_a_fragment_or_marked():
    assert PROGRAMS and not WRONG, "\n".join(WRONG)


def written(folder, name, code):
    path = os.path.join(folder, name)
    with open(path, "w", encoding="utf-8") as file:
        file.write(code)
    return path


def command(language, code, folder):
    """The command that runs the code as a reader would, from the folder."""
    if language == "python":
        path = written(folder, "block.py", code)
        return [sys.executable, path]
    if language in ("sh", "bash"):
        path = written(folder, "block.sh", code)
        return ["bash", "-e", "-o", "pipefail", path]
    octave = shutil.which("octave-cli")
    modules = os.path.join(ROOT, "build", "octave")
    if octave is None:
        pytest.skip("not checked on this machine: no octave-cli")
    if not glob.glob(os.path.join(modules, "*.mex")):
        pytest.skip("the modules for Octave are not built (./run build makes them)")
    path = written(folder, "block.m", code)
    return [octave, "--no-gui", "--no-window-system", "--norc", "--quiet", "--no-history",
            "--eval", "addpath('%s'); addpath('%s', '-end'); source('%s');"
            % (modules, os.path.join(ROOT, "toolbox"), path)]


# Each program as pasted, in a folder of its own, where venv/ is this
# interpreter's environment (the README's shell commands name it so).
@pytest.mark.parametrize("where, language, code", PROGRAMS, ids=[p[0] for p in PROGRAMS])
def test_block_runs_as_pasted(where, language, code, tmp_path):
    os.symlink(sys.prefix, str(tmp_path / "venv"))
    # In a session of its own, so that a block that hangs is ended with every
    # process it started.
    run = subprocess.Popen(command(language, code, str(tmp_path)), cwd=str(tmp_path),
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                           start_new_session=True)
    try:
        output, ended = run.communicate(timeout=SECONDS)[0], True
    except subprocess.TimeoutExpired:
        os.killpg(run.pid, signal.SIGKILL)
        output, ended = run.communicate()[0], False
    assert ended, "%s: the %s block did not end within %d s:\n%s" % (
        where, language, SECONDS, "\n".join(output.splitlines()[-20:]))
    assert run.returncode == 0, "%s: the %s block failed (exit status %d):\n%s" % (
        where, language, run.returncode, "\n".join(output.splitlines()[-40:]))
