"""linscore on a C-ordered features x samples X, which is read as it is,
feature by feature: the scores and errors of the column-ordered call, and
no copy of X."""
import tracemalloc

import numpy as np

import bitexact
from conftest import bits
from test_conformance import (HOST_ERROR, RETURNED, as_array, read_calls, replayable)


# The conformance program's linscore calls, X given in C order: the same
# bits, the same errors and messages.
def test_conformance_calls_in_c_order(conformance_calls):
    rows_read = 0
    for module, label, nlhs, inputs, outcome, identifier, message, outputs in \
            read_calls(conformance_calls):
        if module != "linscore" or not replayable(module, nlhs, inputs, outcome):
            continue
        arrays = [as_array(module, p, classid, dims, data)
                  for p, (classid, _, dims, data) in enumerate(inputs)]
        X = np.ascontiguousarray(arrays[0])
        rows_read += X.ndim == 2 and not X.flags.f_contiguous
        try:
            scores = bitexact.linscore(X, *arrays[1:])
        except bitexact.Error as error:
            assert outcome == HOST_ERROR, label
            assert (error.identifier, error.message) == (identifier, message), label
            continue
        assert outcome == RETURNED, label
        assert bits(scores) == outputs[0][3], label
    assert rows_read > 100


# A large C-ordered X: the same scores as its column-ordered copy, and the call
# allocates no more than its scores (NumPy's allocations are traced).
def test_no_copy_of_x():
    rng = np.random.default_rng(7)
    X = rng.uniform(-3, 3, (300, 4099))
    mean, scale, w = rng.uniform(-1, 1, 300), rng.uniform(0.5, 2, 300), rng.uniform(-1, 1, 301)
    want = bitexact.linscore(np.asfortranarray(X), mean, scale, w)
    tracemalloc.start()
    try:
        scores = bitexact.linscore(X, mean, scale, w)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert bits(scores) == bits(want)
    assert peak < X.nbytes // 4
