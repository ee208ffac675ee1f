"""The self-test: the recorded calls of bitexact_selftest.bin (shipped in this
package, the same file as the MATLAB and Octave toolbox's) replayed through
this package's functions, every result compared bit for bit."""

import os
import platform
import struct
import sys

import numpy as _np

# Beside this file in an installed package; in a checkout (an editable
# install), in the toolbox folder where it is kept.
_HERE = os.path.dirname(os.path.abspath(__file__))
FILE = os.path.join(_HERE, "bitexact_selftest.bin")
if not os.path.exists(FILE):
    FILE = os.path.join(os.path.dirname(os.path.dirname(_HERE)), "toolbox", "bitexact_selftest.bin")
MODULES = ("gridlerp", "patchwarp", "envsweep", "linscore")
_KINDS = {0: _np.dtype("<f8"), 1: _np.dtype("<i4")}
_SHOWN = 3


class _File:
    def __init__(self, path):
        with open(path, "rb") as file:
            self.data = file.read()
        self.path, self.at = path, 0
        if self.take(8) != b"BXGOLDEN" or self.u32() != 1:
            raise ValueError("%s is not a file of self-test calls (version 1)" % path)

    def take(self, count):
        if self.at + count > len(self.data):
            raise ValueError("%s is truncated" % self.path)
        self.at += count
        return self.data[self.at - count:self.at]

    def u32(self):
        return struct.unpack("<I", self.take(4))[0]

    def array(self):
        kind, _, rows, cols = struct.unpack("<B3sII", self.take(12))
        if kind == 2:
            return _np.zeros((rows, cols))
        if kind not in _KINDS:
            raise ValueError("%s holds an array of unknown kind %d" % (self.path, kind))
        dtype = _KINDS[kind]
        values = _np.frombuffer(self.take(rows * cols * dtype.itemsize), dtype)
        return values.astype(dtype.newbyteorder("="), copy=False).reshape((rows, cols), order="F")


def _hex(values, count=None):
    values = _np.asarray(values).ravel(order="F")
    shown = values if count is None else values[:count]
    width = values.dtype.itemsize * 2
    text = " ".join("%0*x" % (width, int(v)) for v in
                    shown.view(_np.uint64 if width == 16 else _np.uint32))
    if count is not None and values.size > count:
        text += " ... (%d elements)" % values.size
    return text


def _difference(expected, got):
    """Where a result differs from the recorded one; "" when every bit is
    equal (a NaN equal to any NaN)."""
    got = _np.asarray(got)
    if got.dtype != expected.dtype.newbyteorder("="):
        return "dtype %s, recorded %s" % (got.dtype, expected.dtype)
    if got.size != expected.size or (got.ndim == 2 and got.shape != expected.shape):
        return "shape %s, recorded %s" % (got.shape, expected.shape)
    a = got.reshape(-1, order="F") if got.ndim == 2 else got.reshape(-1)
    b = expected.reshape(-1, order="F")
    if a.dtype == _np.float64:
        same = (a.view(_np.uint64) == b.view(_np.uint64)) | (_np.isnan(a) & _np.isnan(b))
    else:
        same = a == b
    bad = _np.flatnonzero(~same)
    if bad.size == 0:
        return ""
    k = bad[0]
    return "element %d: recorded %s (%r), got %s (%r)" % (
        k + 1, _hex(b[k:k + 1]), b[k].item(), _hex(a[k:k + 1]), a[k].item())


def _describe(index, name, label, why, inputs, expected, got):
    lines = ["  call %d (%s, %s): %s" % (index, name, label, why)]
    for i, value in enumerate(inputs):
        if name == "patchwarp" and i == 1:
            lines.append("    input %d, %d x %d: (its size alone counts)" % ((i + 1,) + value.shape))
        else:
            lines.append("    input %d, %d x %d: %s" % ((i + 1,) + value.shape + (_hex(value, 8),)))
    for r, value in enumerate(expected):
        lines.append("    result %d recorded: %s" % (r + 1, _hex(value, 8)))
        if r < len(got) and isinstance(got[r], _np.ndarray):
            lines.append("    result %d got:      %s" % (r + 1, _hex(got[r], 8)))
    return "\n".join(lines)


def _as_python_call(name, inputs):
    """A recorded call's inputs as a Python caller passes them: patchwarp's
    template as its shape and A as the 2 x 3 matrix of the six elements the
    module reads (any, for an empty patch); envsweep's col_first and row_first 0-based (the 1-based
    cell, its fraction dropped, minus one)."""
    arguments = list(inputs)
    if name == "patchwarp":
        arguments[1] = inputs[1].shape
        if inputs[2].size >= 6:
            arguments[2] = inputs[2].reshape(-1, order="F")[:6].reshape((2, 3), order="F")
        elif inputs[1].size == 0:
            arguments[2] = _np.zeros((2, 3))    # an empty patch reads nothing of A
    if name == "envsweep":
        for k in (5, 6):
            if inputs[k].size:
                value = float(inputs[k].reshape(-1, order="F")[0])
                arguments[k] = float(_np.trunc(value)) - 1 if _np.isfinite(value) else value
    return arguments


def _as_python_results(name, expected):
    """The recorded results as Python returns them: envsweep's maps 0-based."""
    if name != "envsweep":
        return expected
    return expected[:1] + [(m - 1).astype(m.dtype) for m in expected[1:]]


def _setting():
    import numpy
    return "%s %s, Python %s, NumPy %s" % (platform.system(), platform.machine(),
                                          platform.python_version(), numpy.__version__)


_STDOUT = object()


def run(path=None, out=_STDOUT):
    """Replays the calls and prints the report to out (sys.stdout as it is
    then; None prints nothing); returns (ok, lines)."""
    if out is _STDOUT:
        out = sys.stdout
    import bitexact_image
    functions = [getattr(bitexact_image, name) for name in MODULES]
    source = _File(path or FILE)
    total = source.u32()
    calls, differing, failures = [0] * 4, [0] * 4, []
    for index in range(1, total + 1):
        module, count_in, count_out, length = struct.unpack("<4B", source.take(4))
        label = source.take(length).decode("ascii")
        if not 1 <= module <= 4:
            raise ValueError("%s: call %d names no module" % (source.path, index))
        inputs = [source.array() for _ in range(count_in)]
        expected = [source.array() for _ in range(count_out)]
        name = MODULES[module - 1]
        calls[module - 1] += 1
        arguments = _as_python_call(name, inputs)
        expected = _as_python_results(name, expected)
        got, why = [], ""
        try:
            results = functions[module - 1](*arguments)
            got = list(results) if isinstance(results, tuple) else [results]
        except Exception as error:  # a module's error, or anything else, is a difference
            why = "error: %s" % error
        for r in range(count_out):
            if why:
                break
            why = _difference(expected[r], got[r]) if r < len(got) else "no result"
            if why:
                why = "result %d, %s" % (r + 1, why)
        if why:
            differing[module - 1] += 1
            if len(failures) < _SHOWN:
                failures.append(_describe(index, name, label, why, inputs, expected, got))
    if source.at != len(source.data):
        raise ValueError("%s has bytes after its last call" % source.path)

    where = os.path.dirname(os.path.abspath(bitexact_image.__file__))
    lines = []
    for m, name in enumerate(MODULES):
        if differing[m] == 0:
            lines.append("%s: %d calls, all bits equal (%s)" % (name, calls[m], where))
        else:
            lines.append("%s: %d of %d calls DIFFER (%s)" % (name, differing[m], calls[m], where))
    setting = "%s, bitexact_image %s" % (_setting(), bitexact_image.__version__)
    ok = sum(differing) == 0
    if ok:
        lines.append("bitexact_selftest: %d calls, all bits equal to the recorded results (%s)"
                     % (total, setting))
    else:
        lines.append("bitexact_selftest: %d of %d calls DIFFER from the recorded results (%s); "
                     "see help(bitexact_image.selftest) for what to send. The first of them:"
                     % (sum(differing), total, setting))
        lines.extend(failures)
    if out is not None:
        out.write("\n".join(lines) + "\n")
        out.flush()
    return ok, lines


def main():
    ok, _ = run()
    return 0 if ok else 1
