"""How the package reads NumPy arrays: layouts, shapes, types, errors, and
what it does to its inputs and results."""
import pickle
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import bitexact_image
from conftest import bits

RNG = np.random.default_rng(15)
IMAGE = RNG.integers(-50, 50, size=(7, 9)).astype(float) / 4
X = RNG.uniform(-2, 11, size=(5, 6))
Y = RNG.uniform(-2, 9, size=(5, 6))
A = np.array([[0.9, -0.3, 4.2], [0.4, 1.1, 3.1]])
FEATURES = RNG.uniform(-5, 5, size=(4, 11))   # 4 features x 11 samples
MEAN, SCALE, W = RNG.uniform(-1, 1, 4), RNG.uniform(0.5, 2, 4), RNG.uniform(-1, 1, 5)


def every_layout(array):
    """The same matrix in C order, Fortran order, as a strided view and as a
    transposed view of its transpose."""
    padded = np.zeros((array.shape[0] * 2, array.shape[1] * 3))
    padded[::2, ::3] = array
    return [np.ascontiguousarray(array), np.asfortranarray(array), padded[::2, ::3],
            np.ascontiguousarray(array.T).T]


def all_calls(image, x, y, a, features):
    """One call of every function; the results as one tuple."""
    return ((bitexact_image.gridlerp(image, x, y),) + bitexact_image.patchwarp(image, (4, 3), a)
            + bitexact_image.envsweep(image, 0.5, 0.1, 0.25, -0.2, 2, 1, 5, 4, 1.5)
            + (bitexact_image.linscore(features, MEAN, SCALE, W),))


REFERENCE = all_calls(IMAGE, X, Y, A, FEATURES)


# The layout of an array never changes a number.
def test_every_layout_gives_the_same_bits():
    for layouts in zip(every_layout(IMAGE), every_layout(X), every_layout(Y), every_layout(A),
                       every_layout(FEATURES)):
        results = all_calls(*layouts)
        assert [bits(r) for r in results] == [bits(r) for r in REFERENCE]
        assert [r.shape for r in results] == [r.shape for r in REFERENCE]


# Large images are copied into column order tile by tile: every layout and
# type still gives the bits of the column-ordered float64 image, tails of the
# tiles included.
def test_large_images_in_every_layout():
    image = RNG.integers(-2000, 2000, size=(77, 301)).astype(np.float32) / 8
    reference = all_calls(np.asfortranarray(image, np.float64), X * 20, Y * 20, A, FEATURES)
    for layout in every_layout(image) + [image.astype(">f8"), image.astype(">f4")]:
        results = all_calls(layout, X * 20, Y * 20, A, FEATURES)
        assert [bits(r) for r in results] == [bits(r) for r in reference]


# Arrays already float64 in column order are read where they are: the
# samples x features array of a caller is passed as its transpose.
def test_column_ordered_float64_is_not_copied():
    samples = np.ascontiguousarray(FEATURES.T)
    assert np.shares_memory(bitexact_image._as_double(samples.T, "linscore", "X"), samples)
    assert not np.shares_memory(bitexact_image._as_double(samples, "linscore", "X"), samples)
    # Misaligned float64 is copied into aligned memory first.
    raw = np.zeros(FEATURES.size * 8 + 1, np.uint8)
    misaligned = raw[1:].view(np.float64).reshape(FEATURES.shape, order="F")
    misaligned[...] = FEATURES
    assert not misaligned.flags.aligned
    assert bits(bitexact_image.linscore(misaligned, MEAN, SCALE, W)) == bits(REFERENCE[-1])
    assert bits(bitexact_image.linscore(samples.T, MEAN, SCALE, W)) == bits(REFERENCE[-1])


# Shapes are counted as MATLAB counts them; gridlerp's result is shaped like X.
def test_shapes():
    image = np.array([[10.0, 20.0], [30.0, 40.0]])
    assert bitexact_image.gridlerp(image, 0.5, 0.5).shape == ()
    assert bitexact_image.gridlerp(image, [0.5, -5, 1, 0], [0.5, 0.5, 7, 0]).tolist() == [25, 20, 40, 10]
    v = bitexact_image.gridlerp(image, np.zeros((2, 3, 2)), np.zeros(12))
    assert v.shape == (2, 3, 2) and np.all(v == 10)
    assert bitexact_image.gridlerp(image, np.zeros((0, 3)), []).shape == (0, 3)
    # A 1-d image is the row 1 x n; rows below it clamp onto it.
    assert float(bitexact_image.gridlerp([1.0, 2.0, 3.0], 1.5, 4)) == 2.5
    # A 1-d X for linscore is one feature over n samples.
    assert bitexact_image.linscore([1.0, 2.0, 3.0], 1, 2, [4, 1]).tolist() == [1.0, 3.0, 5.0]
    # A three-dimensional image is refused (MATLAB would take its channels as
    # further columns); one channel is what is meant.
    stack = np.arange(24.0).reshape(2, 3, 4, order="F")
    assert float(bitexact_image.gridlerp(stack[:, :, 2], 1, 1)) == stack[1, 1, 2]
    # patchwarp: a tuple is a shape, an array gives its shape (any dtype).
    for template in ((3, 2), np.zeros((3, 2), complex), np.zeros((3, 2), bool)):
        assert bits(bitexact_image.patchwarp(IMAGE, template, A)[0]) == \
            bits(bitexact_image.patchwarp(IMAGE, np.zeros((3, 2)), A)[0])
    assert bitexact_image.patchwarp(IMAGE, (0, 5), A)[0].shape == (0, 5)
    with pytest.raises(ValueError):
        bitexact_image.patchwarp(IMAGE, (3, 2, 1), A)
    with pytest.raises(ValueError):
        bitexact_image.patchwarp(IMAGE, (3, -2), A)
    scores = bitexact_image.linscore(FEATURES, MEAN, SCALE, W)
    assert scores.shape == (11,)
    out_map, best_col, best_row = REFERENCE[4:7]
    assert out_map.shape == best_col.shape == best_row.shape == (4, 5)
    assert best_col.dtype == best_row.dtype == np.int32


# bool, integers, float16 and float32 convert to float64 exactly; complex and
# non-numbers are refused.
def test_types():
    small = IMAGE * 4    # integers from -50 to 49
    for dtype in (np.int8, np.int16, np.int32, np.int64, np.float16, np.float32):
        assert bits(bitexact_image.gridlerp(small.astype(dtype), X, Y)) == bits(
            bitexact_image.gridlerp(small, X, Y)), dtype
    mask = small > 0
    assert bits(bitexact_image.gridlerp(mask, X, Y)) == bits(bitexact_image.gridlerp(mask * 1.0, X, Y))
    assert bits(bitexact_image.envsweep(IMAGE, np.float32(0.5), 0.1, 0.25, -0.2, np.int64(2), True,
                                  np.uint8(5), 4.0, np.array([1.5]))[0]) == bits(REFERENCE[4])
    with pytest.raises(bitexact_image.Error) as caught:
        bitexact_image.gridlerp(IMAGE, X, Y + 0j)
    assert caught.value.identifier == "gridlerp:notRealDouble"
    with pytest.raises(bitexact_image.Error) as caught:
        bitexact_image.envsweep(IMAGE, 0.5j, 0, 0, 0, 1, 1, 1, 1, 1)
    assert caught.value.identifier == "envsweep:notRealDouble"
    with pytest.raises(TypeError):
        bitexact_image.linscore(FEATURES, "mean", SCALE, W)
    with pytest.raises(TypeError):
        bitexact_image.gridlerp(IMAGE, [None], [0.0])


# Errors carry the module's identifier and message, as in MATLAB and Octave.
@pytest.mark.parametrize("call, identifier, message", [
    (lambda: bitexact_image.gridlerp(np.zeros((0, 4)), 0, 0), "gridlerp:emptyImage",
     "The image is empty; there is nothing to sample."),
    (lambda: bitexact_image.gridlerp(IMAGE, X, Y[:2]), "gridlerp:tooFewElements",
     "Y has fewer elements than the call needs."),
    (lambda: bitexact_image.gridlerp(np.zeros((2 ** 31, 0)), 0, 0), "gridlerp:tooLarge",
     "The image has more than 2^31 - 1 rows or columns."),
    # A template of no memory whose trailing dimensions count as its columns.
    (lambda: bitexact_image.patchwarp(IMAGE, np.broadcast_to(0.0, (2, 2 ** 20, 2 ** 20)),
                                [1, 0, 0, 1, 0, 0]),
     "patchwarp:tooLarge", "The size template has more than 2^31 - 1 rows or columns."),
    # 2^31 - 1 features put w's bias at element 2^31 - 1, past any 32-bit view.
    (lambda: bitexact_image.linscore(np.broadcast_to(0.0, (2 ** 31 - 1, 1)),
                               np.broadcast_to(0.0, (2 ** 31 - 1,)),
                               np.broadcast_to(1.0, (2 ** 31 - 1,)),
                               np.broadcast_to(1.0, (2 ** 31,))),
     "linscore:tooLarge", "w has more than 2^31 - 1 elements."),
    (lambda: bitexact_image.patchwarp(IMAGE, (2, 2), [1, 0, 0, 1, 0]), "patchwarp:tooFewElements",
     "A has fewer elements than the call needs."),
    (lambda: bitexact_image.envsweep(IMAGE, [], 0, 0, 0, 1, 1, 1, 1, 1), "envsweep:emptyScalar",
     "col_quad is empty; it must hold a number."),
    (lambda: bitexact_image.envsweep(IMAGE, 0, 0, 0, 0, 1, 1, -1, 1, 1), "envsweep:badScalar",
     "out_cols must be a finite number from 0 to 2^31 - 1."),
    (lambda: bitexact_image.envsweep(IMAGE, 0, 0, 0, 0, 1, 1, 1, 1, np.nan), "envsweep:badScalar",
     "pos_step must be a number not below 0."),
    (lambda: bitexact_image.envsweep(np.zeros((0, 3)), 0, 0, 0, 0, 1, 1, 1, 1, 1),
     "envsweep:emptySource", "source_map is empty; there is nothing to transform."),
    (lambda: bitexact_image.envsweep(IMAGE, 0, 0, 0, 0, 2 ** 31 - 2, 1, 3, 1, 1),
     "envsweep:positionRange", "The output positions leave the 32-bit integer range."),
    (lambda: bitexact_image.linscore(FEATURES, MEAN, SCALE, W[:4]), "linscore:tooFewElements",
     "w has fewer elements than the call needs."),
    # Python's own refusals, of calls the module would take: they come after
    # the module's checks (a call both refuse fails as in MATLAB).
    (lambda: bitexact_image.gridlerp(np.zeros((4, 4, 3)), 0, 0), "gridlerp:tooManyDimensions",
     "The image has 3 dimensions; pass one channel, image[:, :, k], which is read without a "
     "copy."),
    (lambda: bitexact_image.patchwarp(np.zeros((4, 4, 3)), (2, 2), A), "patchwarp:tooManyDimensions",
     "The image has 3 dimensions; pass one channel, image[:, :, k], which is read without a "
     "copy."),
    (lambda: bitexact_image.patchwarp(np.zeros((4, 4, 3)), (2, 2), [1, 0]),
     "patchwarp:tooFewElements", "A has fewer elements than the call needs."),
    (lambda: bitexact_image.patchwarp(IMAGE, np.zeros((2, 2, 2)), A), "patchwarp:tooManyDimensions",
     "The template is an array of 3 dimensions; pass a 2-D array or the shape (M, N) as a "
     "tuple (a list is an array, not a shape)."),
    (lambda: bitexact_image.patchwarp(IMAGE, [3, 4], A), "patchwarp:badTemplate",
     "The template is an array of 1 dimension; pass a 2-D array or the shape (M, N) as a "
     "tuple (a list is an array, not a shape)."),
    (lambda: bitexact_image.patchwarp(IMAGE, (2, 2), A.ravel(order="F")), "patchwarp:notTwoByThree",
     "A has the shape (6,); it must be the 2 x 3 array [[a, c, e], [b, d, f]]."),
    (lambda: bitexact_image.patchwarp(IMAGE, (0, 2), A.T), "patchwarp:notTwoByThree",
     "A has the shape (3, 2); it must be the 2 x 3 array [[a, c, e], [b, d, f]]."),
    (lambda: bitexact_image.envsweep(np.zeros((4, 4, 2)), 1, 0, 1, 0, 0, 0, 1, 1, 1),
     "envsweep:tooManyDimensions", "source_map has 3 dimensions; pass one channel, "
     "source_map[:, :, k], which is read without a copy."),
    (lambda: bitexact_image.envsweep(np.zeros((4, 4, 2)), 1, 0, 1, 0, 0, 0, -1, 1, 1),
     "envsweep:badScalar", "out_cols must be a finite number from 0 to 2^31 - 1."),
    (lambda: bitexact_image.envsweep(IMAGE, 0, 0, 0, 0, 2 ** 31 - 1, 1, 1, 1, 1), "envsweep:badScalar",
     "col_first must be a finite number above -2^31 - 1 and below 2^31 - 1."),
    (lambda: bitexact_image.envsweep(IMAGE, 0, 0, 0, 0, 1, -2.0 ** 31 - 1, 1, 1, 1),
     "envsweep:badScalar",
     "row_first must be a finite number above -2^31 - 1 and below 2^31 - 1."),
])
def test_errors(call, identifier, message):
    with pytest.raises(bitexact_image.Error) as caught:
        call()
    assert isinstance(caught.value, ValueError)
    assert (caught.value.identifier, caught.value.message, str(caught.value)) == \
        (identifier, message, identifier.split(":")[0] + ": " + message)
    # Whole after a trip between processes.
    copy = pickle.loads(pickle.dumps(caught.value))
    assert (type(copy), copy.identifier, copy.message, str(copy)) == \
        (bitexact_image.Error, identifier, message, str(caught.value))


# envsweep's first positions and maps are 0-based: the maps index the source
# directly, and a fraction of col_first or row_first is dropped toward zero.
def test_envsweep_is_zero_based():
    source = RNG.uniform(0, 1, (5, 6))     # a cost of 1 a cell keeps every cell its own
    value, col, row = bitexact_image.envsweep(source, 1, 0, 1, 0, 0, 0, 6, 5, 1)
    assert (col == np.arange(6)).all() and (row == np.arange(5)[:, None]).all()
    assert bits(source[row, col]) == bits(value)
    shifted = bitexact_image.envsweep(source, 1, 0, 1, 0, 2, 1, 3, 3, 1)
    assert bits(shifted[1]) == bits(col[1:4, 2:5]) and bits(shifted[2]) == bits(row[1:4, 2:5])
    for first, whole in ((2.7, 2), (-0.5, 0), (-1.5, -1)):
        assert [bits(r) for r in bitexact_image.envsweep(source, 1, 0, 1, 0, first, first, 3, 3, 1.5)] \
            == [bits(r) for r in bitexact_image.envsweep(source, 1, 0, 1, 0, whole, whole, 3, 3, 1.5)]


# A NaN cell is never chosen ([0, NaN, 1] keeps its 1), and a map of NaNs
# gives NaN from cell [0, 0]: the maps are 0-based here too.
def test_envsweep_leaves_out_nan_cells():
    value, col, row = bitexact_image.envsweep([[0, np.nan, 1]], 1, 0, 1, 0, 0, 0, 3, 1, 1)
    assert (value.tolist(), col.tolist(), row.tolist()) == ([[0, 0, 1]], [[0, 2, 2]], [[0, 0, 0]])
    value, col, row = bitexact_image.envsweep(np.full((2, 3), np.nan), 1, 0, 1, 0, 0, 0, 2, 2, 1)
    assert np.isnan(value).all() and not col.any() and not row.any()


# Inputs are read, never written (read-only arrays are accepted); results are
# new, writeable arrays of their own.
def test_inputs_untouched_and_results_own_their_memory():
    inputs = [IMAGE.copy(), X.copy(), Y.copy(), A.copy(), FEATURES.copy()]
    for array in inputs:
        array.flags.writeable = False
    results = all_calls(*inputs)
    for array, original in zip(inputs, [IMAGE, X, Y, A, FEATURES]):
        assert bits(array) == bits(original)
    for result in results:
        assert result.flags.writeable
        assert not any(np.shares_memory(result, array) for array in inputs)
        assert not any(np.shares_memory(result, other) for other in results if other is not result)
        result[...] = 0   # writing a result disturbs nothing else
    assert [bits(r) for r in all_calls(*inputs)] == [bits(r) for r in REFERENCE]


# Calls on many threads at once (the interpreter lock released inside) keep
# apart: every result and every error is the one of the call alone.
def test_threads():
    def work(k):
        if k % 3 == 0:
            try:
                bitexact_image.gridlerp(np.zeros((0, 2)), 0, 0)
            except bitexact_image.Error as error:
                return error.identifier
        return [bits(r) for r in all_calls(IMAGE + k, X, Y, A, FEATURES)]

    with ThreadPoolExecutor(4) as pool:
        results = list(pool.map(work, range(24)))
    for k, result in enumerate(results):
        expected = "gridlerp:emptyImage" if k % 3 == 0 else \
            [bits(r) for r in all_calls(IMAGE + k, X, Y, A, FEATURES)]
        assert result == expected


# Run in a process of its own whose address space cannot hold a large block:
# a copy or allocation in proportion to a huge input fails there at once.
LIMITED = r"""
import resource
import numpy as np
import bitexact_image
resource.setrlimit(resource.RLIMIT_AS, (3 << 30, 3 << 30))
huge = np.broadcast_to(0.25, (2 ** 33,))            # 64 GiB once copied
tall = np.broadcast_to(1.0, (2 ** 31, 1))
ok = np.ones((2, 2), order="F")
def outcome(call):
    try:
        result = call()
    except bitexact_image.Error as error:
        return error.identifier, None
    return [(r.shape, r.ravel().tolist())
            for r in (result if isinstance(result, tuple) else (result,))], None
calls = {
    "gridlerp image": lambda: bitexact_image.gridlerp(tall, 0.5, 0.5),
    "gridlerp X": lambda: bitexact_image.gridlerp(ok, tall, 0.5),
    "patchwarp image": lambda: bitexact_image.patchwarp(tall, (2, 2), [1, 0, 0, 1, 0, 0]),
    "envsweep source": lambda: bitexact_image.envsweep(tall, 1, 0, 1, 0, 1, 1, 1, 1, 1),
    "linscore X": lambda: bitexact_image.linscore(tall, 0, 1, [1, 0]),
    "gridlerp Y": lambda: bitexact_image.gridlerp(ok, 0.5, huge),
    "patchwarp A": lambda: bitexact_image.patchwarp(ok, (1, 1), huge),
    "envsweep scalars": lambda: bitexact_image.envsweep(ok, huge, np.broadcast_to(0.0, huge.shape),
                                                  1, 0, 1, 1, 1, 1, 1),
    "linscore mean, scale, w": lambda: bitexact_image.linscore([[1.0]], huge, huge, huge),
    "envsweep empty output": lambda: bitexact_image.envsweep([[1.0]], 1, 0, 1, 0, 1, 1, 0,
                                                       2 ** 31 - 1, 1),
    "envsweep results": lambda: bitexact_image.envsweep([[1.0]], 1, 0, 1, 0, 1, 1, 1, 2 ** 31 - 1, 0),
}
print(repr({name: outcome(call) for name, call in calls.items()}))
"""


# Sizes are checked before anything is copied, only the elements a module
# reads are converted, and memory that is not there is the module's error.
def test_no_memory_in_proportion_to_what_is_not_read():
    import ast
    import subprocess
    import sys
    found = ast.literal_eval(subprocess.run([sys.executable, "-c", LIMITED], check=True,
                                            capture_output=True, text=True).stdout)
    for name in ("gridlerp image", "gridlerp X", "patchwarp image", "envsweep source",
                 "linscore X"):
        # A copy would have failed for memory first (outOfMemory).
        assert found[name][0] == name.split()[0] + ":tooLarge", name
    assert found["gridlerp Y"][0] == [((), [1.0])]
    assert found["patchwarp A"][0] == "patchwarp:notTwoByThree"   # refused, not converted
    assert found["linscore mean, scale, w"][0] == [((1,), [(1.0 - 0.25) / 0.25 * 0.25 + 0.25])]
    assert found["envsweep scalars"][0] == [((1, 1), [1.0]), ((1, 1), [1]), ((1, 1), [1])]
    assert found["envsweep empty output"][0] == [((2 ** 31 - 1, 0), [])] * 3
    assert found["envsweep results"] == ("envsweep:outOfMemory", None)


# The private entry points cannot be made to read memory they were not given:
# a shape stands only for an input whose data is not read (an empty envsweep
# scalar, a patchwarp template).
def test_host_entries_refuse_what_would_crash():
    image = np.ones((2, 2), order="F")
    assert isinstance(bitexact_image._host.envsweep(image, (1.0,) * 9), list)
    for position in range(9):
        scalars = [1.0] * 9
        scalars[position] = (2, 2)
        with pytest.raises(TypeError):
            bitexact_image._host.envsweep(image, tuple(scalars))
    assert bitexact_image._host.envsweep(image, ((0,),) + (1.0,) * 8)[0] == "envsweep:emptyScalar"
    with pytest.raises(ValueError):
        bitexact_image._host.envsweep(image, (1.0,) * 8)
    inputs = [image, np.ones(2), np.ones(2), np.ones(3)]
    assert isinstance(bitexact_image._host.linscore(*inputs), list)
    for position in range(4):
        shaped = list(inputs)
        shaped[position] = (2, 2)
        with pytest.raises(TypeError):
            bitexact_image._host.linscore(*shaped)
    # gridlerp and patchwarp read arrays only; a template tuple is checked as
    # counts, and a count past any size is too large.
    with pytest.raises(TypeError):
        bitexact_image._host.gridlerp(image, (2, 2), image)
    for template in ((-1, 2), (2, "a")):
        with pytest.raises((ValueError, TypeError)):
            bitexact_image._host.patchwarp(image, template, np.ones(6))
    assert bitexact_image._host.patchwarp(image, (2 ** 64, 1), np.ones(6))[0] == "patchwarp:tooLarge"


# The Python layer's own refusals are the ones its docstrings name.
def test_refusals_of_the_python_layer():
    for template in ((None, 2), (np.inf, 2), (np.nan, 2), (2.5, 1), ("3", 1), (1,), (1, 2, 3)):
        with pytest.raises(ValueError, match="shape"):
            bitexact_image.patchwarp(IMAGE, template, A)
    with pytest.raises(bitexact_image.Error, match="rows or columns"):
        bitexact_image.patchwarp(IMAGE, (2 ** 64, 1), A)
    ragged = [[1.0, 2.0], [3.0]]
    for call in (lambda: bitexact_image.gridlerp(ragged, 0, 0),
                 lambda: bitexact_image.gridlerp(IMAGE, 0, ragged),
                 lambda: bitexact_image.patchwarp(IMAGE, ragged, A),
                 lambda: bitexact_image.envsweep(IMAGE, ragged, 0, 1, 0, 1, 1, 1, 1, 1),
                 lambda: bitexact_image.linscore(FEATURES, MEAN, SCALE, [W, [1]]),
                 lambda: bitexact_image.linscore(FEATURES, MEAN, np.array([1, None]), W)):
        with pytest.raises(TypeError):
            call()
    masked = np.ma.masked_array(IMAGE, IMAGE > 0)
    for call in (lambda: bitexact_image.gridlerp(masked, X, Y),
                 lambda: bitexact_image.patchwarp(masked, (2, 2), A),
                 lambda: bitexact_image.envsweep(masked, 1, 0, 1, 0, 1, 1, 1, 1, 1),
                 lambda: bitexact_image.linscore(FEATURES, np.ma.masked_array(MEAN), SCALE, W)):
        with pytest.raises(TypeError, match="masked"):
            call()
    # A masked array as a template gives its shape, as any array does.
    assert bitexact_image.patchwarp(IMAGE, masked, A)[0].shape == IMAGE.shape


# C-ordered positions of one shape are read where they lie and give a C-ordered
# result with the bits of the column-ordered call.
def test_c_ordered_positions_read_in_place():
    import tracemalloc
    image = np.asfortranarray(IMAGE)
    x = RNG.uniform(-2, 11, size=(300, 400))
    y = RNG.uniform(-2, 9, size=(300, 400))
    tracemalloc.start()
    v = bitexact_image.gridlerp(image, x, y)
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    assert peak < x.nbytes + x.nbytes // 4     # the result alone: neither X nor Y copied
    assert v.flags.c_contiguous and v.shape == x.shape
    assert bits(v) == bits(bitexact_image.gridlerp(image, np.asfortranarray(x), np.asfortranarray(y)))
    for shape in ((3, 4, 5), (1, 7), (7, 1)):
        x3 = RNG.uniform(-2, 11, size=shape)
        y3 = RNG.uniform(-2, 9, size=shape)
        expected = bitexact_image.gridlerp(image, np.asfortranarray(x3), np.asfortranarray(y3))
        for yy in (y3, np.asfortranarray(y3), y3[::-1][::-1]):
            got = bitexact_image.gridlerp(image, x3, yy)
            assert got.shape == shape and bits(got) == bits(expected)


# A C-ordered source is transformed where it lies (float64) or after a
# conversion that keeps its order (other types), and envsweep's results come
# back in C order with the bits of the column-ordered call.
def test_c_ordered_source_read_in_place():
    import tracemalloc
    source = RNG.uniform(0, 10, (300, 400))
    args = (0.5, 0.1, 0.3, -0.2, 2, 1, 150, 200, 1.5)
    tracemalloc.start()
    got = bitexact_image.envsweep(source, *args)
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    results = sum(g.nbytes for g in got)
    assert peak < results + source.nbytes // 4      # the results alone: the source not copied
    want = bitexact_image.envsweep(np.asfortranarray(source), *args)
    for g, w in zip(got, want):
        assert g.flags.c_contiguous and g.shape == w.shape == (200, 150) and bits(g) == bits(w)
    ints = (source * 100).astype(np.int32)
    for g, w in zip(bitexact_image.envsweep(ints, *args),
                    bitexact_image.envsweep(np.asfortranarray(ints, np.float64), *args)):
        assert g.flags.c_contiguous and bits(g) == bits(w)
