"""Large results and scratch blocks, which the Python host maps on their own:
the same numbers as small ones, and freed with their arrays (a few kept for
later results)."""
import numpy as np

import bitexact_image
from conftest import bits

RNG = np.random.default_rng(19)


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096


# A large result (mapped) holds what the same positions give in small calls
# (from the ordinary heap); a large envsweep has large scratch too, and its
# output rows are independent of one another.
def test_large_blocks_give_the_numbers_of_small_ones():
    image = RNG.uniform(-1, 1, (300, 200))
    X = RNG.uniform(-2, 202, (1100, 1000))
    Y = RNG.uniform(-2, 302, (1100, 1000))
    whole = bitexact_image.gridlerp(image, X, Y)
    assert whole.nbytes >= 4 << 20
    halves = [bitexact_image.gridlerp(image, X[:, :500], Y[:, :500]),
              bitexact_image.gridlerp(image, X[:, 500:], Y[:, 500:])]
    assert bits(whole) == bits(np.hstack(halves))

    source = RNG.uniform(0, 1, (700, 900))
    args = (0.5, 0.25, 1.5, -0.5, 3)
    out, col, row = bitexact_image.envsweep(source, *args, 1, 900, 700, 1)
    top = bitexact_image.envsweep(source, *args, 1, 900, 350, 1)
    bottom = bitexact_image.envsweep(source, *args, 351, 900, 350, 1)
    for whole, upper, lower in zip((out, col, row), top, bottom):
        assert bits(whole) == bits(np.vstack([upper, lower]))


# A large result freed is taken again by a later one that fits in it: results
# of other sizes in turn, each with the numbers of calls small enough to take
# fresh memory (a block too small for its result, or a result read before it
# is written, would show here).
def test_results_in_freed_blocks_hold_their_own_numbers():
    image = RNG.uniform(-1, 1, (300, 200))
    X = RNG.uniform(-2, 202, (1100, 1300))
    Y = RNG.uniform(-2, 302, (1100, 1300))
    for cols in (1000, 1300, 600, 1000, 480):
        whole = bitexact_image.gridlerp(image, X[:, :cols], Y[:, :cols])
        assert whole.nbytes >= 4 << 20
        strips = [slice(c, min(c + 200, cols)) for c in range(0, cols, 200)]
        parts = [bitexact_image.gridlerp(image, X[:, s], Y[:, s]) for s in strips]
        assert bits(whole) == bits(np.hstack(parts))
        del whole


# Each large result goes back to the system with its array, or is kept for a
# later result (a few at most), and a call's large scratch goes with the
# call: many calls leave the process no larger.
def test_large_blocks_are_freed():
    image = RNG.uniform(-1, 1, (64, 64))
    source = RNG.uniform(0, 1, (600, 600))

    def calls():
        patch = bitexact_image.patchwarp(image, (1024, 1024), [[1, 0, 30], [0, 1, 30]])
        assert patch[0].nbytes == 8 << 20
        bitexact_image.envsweep(source, 1, 0, 1, 0, 1, 1, 600, 600, 1)

    calls()
    before = resident_bytes()
    for _ in range(40):
        calls()
    # 40 calls of 36 MiB each would leave more than a gigabyte behind.
    assert resident_bytes() - before < 64 << 20


# Several threads calling in loops hold several large results at once: once
# freed, all of them are kept for the next ones (a fixed limit below what was
# held gave most back, and the next calls mapped and cleared fresh pages).
def test_as_many_blocks_kept_as_were_held_at_once():
    image = RNG.uniform(-1, 1, (64, 64))
    X = RNG.uniform(-2, 66, (1024, 1024))
    held = [bitexact_image.gridlerp(image, X, X) for _ in range(20)]
    assert sum(r.nbytes for r in held) == 160 << 20
    first = {r.ctypes.data for r in held}
    del held
    again = [bitexact_image.gridlerp(image, X, X) for _ in range(20)]
    assert {r.ctypes.data for r in again} == first
