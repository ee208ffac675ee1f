"""Every call of the conformance program that a Python caller can make, made
through the package: same results bit for bit, same errors, as the modules
in the stand-in host."""
import struct

import numpy as np
import pytest

import bitexact_image
from conftest import bits

DOUBLE, INT32 = 6, 12
DTYPES = {3: np.bool_, 6: np.float64, 7: np.float32, 9: np.uint8, 12: np.int32}
RETURNED, HOST_ERROR = 0, 1
# Inputs each function takes, and the result counts a Python call covers
# (the functions always return all their results).
ARITY = {"gridlerp": (3, (0, 1)), "patchwarp": (3, (0, 1, 2, 3)),
         "envsweep": (10, (3,)), "linscore": (4, (0, 1))}


class _Reader:
    def __init__(self, data):
        self.data, self.at = data, 0

    def take(self, fmt):
        values = struct.unpack_from("<" + fmt, self.data, self.at)
        self.at += struct.calcsize("<" + fmt)
        return values if len(values) > 1 else values[0]

    def text(self):
        count = self.take("I")
        self.at += count
        return self.data[self.at - count:self.at].decode()

    def array(self):
        classid, complex_, sparse, ndims = self.take("IBBI")
        dims = [self.take("Q") for _ in range(ndims)]
        count = self.take("Q")
        self.at += count
        return classid, bool(complex_ or sparse), dims, self.data[self.at - count:self.at]


def read_calls(path):
    with open(path, "rb") as file:
        data = file.read()
    header = b"bitexact conformance calls 1\n"
    assert data.startswith(header)
    at = len(header)
    while at < len(data):
        (length,) = struct.unpack_from("<I", data, at)
        call = _Reader(data[at + 4:at + 4 + length])
        at += 4 + length
        module, label, nlhs, nrhs = call.text(), call.text(), call.take("I"), call.take("I")
        inputs = [call.array() for _ in range(nrhs)]
        outcome, identifier, message = call.take("B"), call.text(), call.text()
        outputs = [call.array() if call.take("B") else None for _ in range(call.take("I"))]
        yield module, label, nlhs, inputs, outcome, identifier, message, outputs


def convertible(module, position, classid, special):
    """Whether the module reads this input as Python's conversion to float64
    does: real double arrays everywhere; any class for the scalars of
    envsweep (the module takes their value as a double), and anything for
    patchwarp's template, of which only the size is read."""
    if module == "patchwarp" and position == 1:
        return True
    if module == "envsweep" and position > 0:
        return classid in DTYPES and not special
    return classid == DOUBLE and not special


def replayable(module, nlhs, inputs, outcome):
    count, results = ARITY[module]
    return (len(inputs) == count and nlhs in results and outcome in (RETURNED, HOST_ERROR)
            and all(convertible(module, position, classid, special)
                    for position, (classid, special, _, _) in enumerate(inputs)))


def as_array(module, position, classid, dims, data, order):
    """An input as recorded, in column order (F) or copied into row order (C);
    read-only either way, so that a write would fail."""
    if module == "patchwarp" and position == 1:
        # The template's shape without its data.
        return np.broadcast_to(np.zeros((), np.uint8), dims)
    array = np.frombuffer(data, DTYPES[classid]).reshape(dims, order="F")
    if order == "C":
        array = np.ascontiguousarray(array)
        array.flags.writeable = False
    return array


def python_call(module, arrays):
    """The recorded inputs as a Python caller passes them: patchwarp's A as
    the 2 x 3 matrix of the six elements the module reads; envsweep's
    col_first and row_first 0-based, the 1-based cell minus one (a fraction
    dropped first, as the module drops it)."""
    args = list(arrays)
    if module == "patchwarp" and args[2].size >= 6:
        args[2] = args[2].reshape(-1, order="F")[:6].reshape((2, 3), order="F")
    if module != "envsweep":
        return args
    for position in (5, 6):
        first = args[position]
        if first.size:
            value = float(first.reshape(-1, order="F")[0])
            args[position] = np.trunc(value) - 1 if np.isfinite(value) else value
    return args


def python_refusal(module, args):
    """The identifier of the error a Python caller gets, on purpose, for a
    call the module accepts: an image or source of more than two dimensions,
    a template array of other than two, an A that is not 2 x 3."""
    if module in ("gridlerp", "patchwarp", "envsweep") and args[0].ndim > 2:
        return module + ":tooManyDimensions"
    if module == "patchwarp" and args[1].ndim > 2:
        return "patchwarp:tooManyDimensions"
    if module == "patchwarp" and args[2].shape != (2, 3):
        return "patchwarp:notTwoByThree"
    return None


def recorded_error(module, message):
    """The message a Python caller gets for a recorded error: envsweep's
    first positions have the range of 0-based ones."""
    if module == "envsweep":
        return message.replace("above -2^31 and below 2^31.",
                               "above -2^31 - 1 and below 2^31 - 1.")
    return message


def recorded_result(module, index, data):
    """A recorded result as Python returns it: envsweep's maps 0-based."""
    if module == "envsweep" and index > 0:
        return (np.frombuffer(data, np.int32) - 1).astype(np.int32).tobytes()
    return data


# Column order is how the modules' hosts hold arrays; row order is how most
# Python callers do, and must give the same bits.
@pytest.mark.parametrize("order", ["F", "C"])
def test_conformance_calls_give_the_same_bits(conformance_calls, order):
    replayed = {name: 0 for name in ARITY}
    total = {name: 0 for name in ARITY}
    for module, label, nlhs, inputs, outcome, identifier, message, outputs in \
            read_calls(conformance_calls):
        total[module] += 1
        if not replayable(module, nlhs, inputs, outcome):
            continue
        replayed[module] += 1
        where = "%s call %d (%s)" % (module, total[module] - 1, label)
        # Read-only views of the recorded bytes: a write would fail.
        arrays = [as_array(module, position, classid, dims, data, order)
                  for position, (classid, _, dims, data) in enumerate(inputs)]
        args = python_call(module, arrays)
        refusal = python_refusal(module, args) if outcome == RETURNED else None
        try:
            results = getattr(bitexact_image, module)(*args)
        except bitexact_image.Error as error:
            if refusal:
                assert error.identifier == refusal, where
                continue
            assert outcome == HOST_ERROR, "%s: %s" % (where, error)
            assert (error.identifier, error.message) == \
                (identifier, recorded_error(module, message)), where
            continue
        assert outcome == RETURNED and not refusal, "%s: expected the error %s" % (
            where, refusal or identifier)
        if not isinstance(results, tuple):
            results = (results,)
        for index, (result, expected) in enumerate(zip(results, outputs)):
            classid, _, dims, data = expected
            data = recorded_result(module, index, data)
            assert result.dtype == (np.int32 if classid == INT32 else np.float64), where
            assert result.size == int(np.prod(dims)), where
            if module in ("patchwarp", "envsweep"):
                assert list(result.shape) == dims, where
            assert bits(result) == data, where
        for position, (array, (_, _, _, data)) in enumerate(zip(arrays, inputs)):
            if not (module == "patchwarp" and position == 1):
                assert array.tobytes(order="F") == data, where
    print("replayed through Python:", ", ".join(
        "%s %d of %d" % (name, replayed[name], total[name]) for name in sorted(ARITY)))
    # Most calls of every module are ones a Python caller can make.
    for name in ARITY:
        assert replayed[name] > total[name] // 2, (name, replayed[name], total[name])
