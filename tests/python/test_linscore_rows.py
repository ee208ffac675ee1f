"""linscore on a C-ordered features x samples X, which is read as it is,
feature by feature, without a copy of X. (The conformance calls replayed in C
order, in test_conformance.py, give its scores and errors.)"""
import tracemalloc

import numpy as np

import bitexact
from conftest import bits


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
