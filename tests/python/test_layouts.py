"""Every function reads float64 inputs where they lie, whatever their steps,
and writes into the caller's arrays: the same bits in every layout, no copy
of an input, no allocation with out=, and a wrong out refused by name."""
import tracemalloc

import numpy as np
import pytest

import bitexact_image
from conftest import bits

RNG = np.random.default_rng(2718)


def layouts(matrix):
    """matrix in column order, in C order, as a slice of a larger C-ordered
    array and as one channel of an interleaved rows x cols x 3 array."""
    rows, cols = matrix.shape
    big = RNG.uniform(-1, 1, (2 * rows, cols + 20))
    big[::2, 10:10 + cols] = matrix
    rgb = RNG.uniform(-1, 1, (rows, cols, 3))
    rgb[..., 1] = matrix
    return {"F": np.asfortranarray(matrix), "C": np.ascontiguousarray(matrix),
            "slice": big[::2, 10:10 + cols], "channel": rgb[..., 1]}


def calls():
    """Each function with the inputs it reads as matrices, as (name, call)."""
    image = RNG.uniform(0, 255, (48, 64))
    X, Y = RNG.uniform(-2, 66, (17, 9)), RNG.uniform(-2, 50, (17, 9))
    A = np.array([[0.9, 0.2, 30.5], [-0.1, 1.1, 20.25]])
    source = RNG.integers(0, 20, (30, 41)).astype(float)
    features = RNG.uniform(-3, 3, (7, 50))
    mean, scale, w = RNG.uniform(-1, 1, (7, 1)), RNG.uniform(0.5, 2, (7, 1)), RNG.uniform(-1, 1, (8, 1))
    return [
        ("gridlerp image", [image], lambda m: bitexact_image.gridlerp(m, X, Y)),
        ("gridlerp X, Y", [X, Y], lambda x, y: bitexact_image.gridlerp(image, x, y)),
        ("patchwarp image", [image], lambda m: bitexact_image.patchwarp(m, (13, 11), A)),
        ("patchwarp A", [A], lambda a: bitexact_image.patchwarp(image, (13, 11), a)),
        ("envsweep", [source], lambda s: bitexact_image.envsweep(s, 0.3, 0.1, 0.2, -0.1, 0, 2, 25, 22,
                                                           1.5)),
        ("linscore X", [features], lambda x: bitexact_image.linscore(x, mean, scale, w)),
        ("linscore vectors", [mean, scale, w], lambda m, s, v: bitexact_image.linscore(features, m, s, v)),
    ]


def as_list(found):
    return list(found) if isinstance(found, tuple) else [found]


# Only addresses depend on the layout: every function gives the column-order
# call's bits from every layout of every matrix it reads.
def test_every_layout_gives_the_same_bits():
    for name, matrices, call in calls():
        want = as_list(call(*[np.asfortranarray(m) for m in matrices]))
        for layout in ("C", "slice", "channel"):
            got = as_list(call(*[layouts(m)[layout] for m in matrices]))
            for g, w in zip(got, want):
                assert g.shape == w.shape and bits(g) == bits(w), (name, layout)


# A float64 input with positive steps is never copied (NumPy's allocations are
# traced): a call allocates its results alone, and with out= nothing.
def test_inputs_read_in_place_and_out_allocates_nothing():
    for name, matrices, call in calls():
        for layout in ("C", "F", "slice", "channel"):
            inputs = [layouts(m)[layout] for m in matrices]
            call(*inputs)
            tracemalloc.start()
            try:
                results = as_list(call(*inputs))
                peak = tracemalloc.get_traced_memory()[1]
            finally:
                tracemalloc.stop()
            assert peak < sum(r.nbytes for r in results) + 2048, (name, layout, peak)
    image = layouts(RNG.uniform(0, 1, (200, 300)))["channel"]
    X = layouts(RNG.uniform(0, 299, (100, 120)))["slice"]
    source = layouts(RNG.uniform(0, 9, (150, 160)))["C"]
    features = layouts(RNG.uniform(0, 9, (40, 500)))["slice"]
    v = np.empty((100, 120))
    patch = [np.empty((60, 70)) for _ in range(3)]
    swept = (np.empty((80, 90)), np.empty((80, 90), np.int32), np.empty((80, 90), np.int32))
    scores = np.empty(1000)[::2]
    A = np.array([[1.0, 0.1, 100.0], [0.0, 1.0, 90.0]])
    mean, scale, w = np.zeros(40), np.ones(40), np.ones(41)
    runs = [lambda: bitexact_image.gridlerp(image, X, X, out=v),
            lambda: bitexact_image.patchwarp(image, (60, 70), A, out=tuple(patch)),
            lambda: bitexact_image.envsweep(source, 1, 0, 1, 0, 1, 1, 90, 80, 1, out=swept),
            lambda: bitexact_image.linscore(features, mean, scale, w, out=scores)]
    for run in runs:
        run()
        tracemalloc.start()
        try:
            found = run()
            peak = tracemalloc.get_traced_memory()[1]
        finally:
            tracemalloc.stop()
        assert peak < 2048
    assert found is scores and bits(scores) == bits(bitexact_image.linscore(np.asfortranarray(features),
                                                                       mean, scale, w))


# A wrong out is refused before anything runs, naming what the call makes.
def test_wrong_out_names_what_was_expected():
    image = np.ones((4, 5))
    with pytest.raises(TypeError, match="float64"):
        bitexact_image.gridlerp(image, np.ones((2, 3)), np.ones((2, 3)), out=np.empty((2, 3), np.float32))
    with pytest.raises(ValueError, match=r"\(2, 3\)"):
        bitexact_image.gridlerp(image, np.ones((2, 3)), np.ones((2, 3)), out=np.empty((3, 2)))
    with pytest.raises(ValueError, match=r"\(2, 2\)"):
        bitexact_image.patchwarp(image, (2, 2), np.ones((2, 3)), out=(np.empty((2, 2)),) * 2 + (np.empty(4),))
    good = (np.empty((2, 3)), np.empty((2, 3), np.int32), np.empty((2, 3), np.int32))
    args = (image, 1, 0, 1, 0, 1, 1, 3, 2, 1)
    with pytest.raises(TypeError, match="int32"):
        bitexact_image.envsweep(*args, out=good[:2] + (np.empty((2, 3)),))
    with pytest.raises(ValueError, match=r"\(2, 3\)"):
        bitexact_image.envsweep(*args, out=(np.empty((3, 2)),) + good[1:])
    with pytest.raises(ValueError, match="same steps"):
        bitexact_image.envsweep(*args, out=(np.empty((2, 3), order="F"),) + good[1:])
    with pytest.raises(TypeError, match="tuple of three"):
        bitexact_image.envsweep(*args, out=good[0])
    with pytest.raises(ValueError, match=r"\(5,\)"):
        bitexact_image.linscore(image, np.zeros(4), np.ones(4), np.ones(5), out=np.empty(4))


# Results given in out= that share memory with an input or with each other
# are refused before anything is written; disjoint slices of one buffer are not.
def test_out_sharing_memory_is_refused():
    image = RNG.uniform(0, 1, (20, 30))
    X = RNG.uniform(0, 29, (10, 12))
    buffer = np.zeros((10, 24))
    with pytest.raises(ValueError, match="out shares memory with X"):
        bitexact_image.gridlerp(image, X, X, out=X)
    with pytest.raises(ValueError, match="out shares memory with image"):
        bitexact_image.gridlerp(image, X, X, out=image[:10, :12])
    bitexact_image.gridlerp(image, X, X, out=buffer[:, ::2])
    bitexact_image.gridlerp(buffer[:, 1::2], X, X, out=buffer[:, ::2])      # apart, interleaved
    A = np.array([[1.0, 0.1, 5.0], [0.0, 1.0, 4.0]])
    patch = np.zeros((6, 7))
    with pytest.raises(ValueError, match=r"out\[0\] shares memory with out\[2\]"):
        bitexact_image.patchwarp(image, (6, 7), A, out=(patch, np.zeros((6, 7)), patch))
    source = RNG.uniform(0, 9, (8, 9))
    swept = (np.zeros((8, 9)), np.zeros((8, 9), np.int32), np.zeros((8, 9), np.int32))
    with pytest.raises(ValueError, match="out\\[0\\] shares memory with source_map"):
        bitexact_image.envsweep(source, 1, 0, 1, 0, 1, 1, 9, 8, 1, out=(source,) + swept[1:])
    features = RNG.uniform(0, 9, (4, 10))
    mean, scale, w = np.zeros(4), np.ones(4), np.ones(5)
    with pytest.raises(ValueError, match="out shares memory with X"):
        bitexact_image.linscore(features, mean, scale, w, out=features[0])


# A large result, which lies on pages of its own, is traced as NumPy's data
# are while it lives, and no longer once it is gone.
def test_large_results_are_traced():
    X = np.zeros((1024, 1024))
    tracemalloc.start()
    try:
        v = bitexact_image.gridlerp(np.ones((2, 2)), X, X)
        living = tracemalloc.get_traced_memory()[0]
        del v
        gone = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    assert living >= X.nbytes > gone
