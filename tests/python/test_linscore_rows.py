"""linscore on a C-ordered features x samples X, which is read as it is,
feature by feature, without a copy of X. (The conformance calls replayed in C
order, in test_conformance.py, give its scores and errors.)"""
import tracemalloc

import numpy as np
import pytest

import bitexact_image
from conftest import bits


# A large C-ordered X: the same scores as its column-ordered copy, and the call
# allocates no more than its scores (NumPy's allocations are traced).
def test_no_copy_of_x():
    rng = np.random.default_rng(7)
    X = rng.uniform(-3, 3, (300, 4099))
    mean, scale, w = rng.uniform(-1, 1, 300), rng.uniform(0.5, 2, 300), rng.uniform(-1, 1, 301)
    want = bitexact_image.linscore(np.asfortranarray(X), mean, scale, w)
    tracemalloc.start()
    try:
        scores = bitexact_image.linscore(X, mean, scale, w)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert bits(scores) == bits(want)
    assert peak < X.nbytes // 4


# K models at once (w of M + 1 rows and K columns): each column of the scores
# has the bits of the one-model call with that column of w, whatever X's
# layout, with NaN, infinities and signed zeros among the inputs.
def test_models_give_the_bits_of_one_model_each():
    rng = np.random.default_rng(8)
    X = rng.uniform(-3, 3, (6, 37))
    X[2, 5], X[4, 9] = np.nan, np.inf
    mean, scale = rng.uniform(-1, 1, 6), rng.uniform(0.5, 2, 6)
    scale[3] = 0.0
    w = rng.uniform(-1, 1, (8, 5))      # two rows past the bias, ignored
    w[6, 1] = -0.0
    for layout in (X, np.asfortranarray(X), X[:, ::-1][:, ::-1], X.T.copy().T):
        scores = bitexact_image.linscore(layout, mean, scale, w)
        assert scores.shape == (37, 5)
        for k in range(5):
            assert bits(scores[:, k]) == bits(bitexact_image.linscore(X, mean, scale, w[:, k]))
    out = np.empty((37, 5))
    assert bitexact_image.linscore(X, mean, scale, w, out=out) is out
    assert bits(out) == bits(bitexact_image.linscore(X, mean, scale, w))
    assert bitexact_image.linscore(X, mean, scale, w[:, :0]).shape == (37, 0)
    assert bits(bitexact_image.linscore(np.zeros((0, 3)), [], [], [[-0.0, 2.0], [7.0, 7.0]])) == \
        bits(np.array([[0.0, 2.0]] * 3))
    with pytest.raises(bitexact_image.Error, match="w has fewer elements") as caught:
        bitexact_image.linscore(X, mean, scale, w[:6])
    assert caught.value.identifier == "linscore:tooFewElements"
