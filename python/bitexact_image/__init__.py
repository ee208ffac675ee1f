"""bitexact_image: bit-exact image-analysis functions.

The four functions are the MEX modules of the same names, compiled from the
same sources with the same flags: for the same matrices they return the same
bits as the modules do in MATLAB or GNU Octave, on every build and machine.

How arrays are read
    Element (i, j) is row i, column j, whatever the array's memory order
    (C order, Fortran order or a strided view): the layout never changes a
    number. An array already float64 and in column (Fortran) order is read in
    place; any other is first copied into that form. So ``X.T`` of a C-ordered
    samples x features array is read without a copy. gridlerp and patchwarp
    read a float64 image, X, Y and A where they lie, whatever their steps (C
    or Fortran order, slices, one channel of an interleaved image).

    Sizes are checked before anything is copied or converted: an input too
    large for a module gets the module's own error (``<function>:tooLarge``)
    at once, also from a broadcast view that would be huge once copied.

    Shapes are counted as MATLAB counts them: a 0-d array (or a Python
    number) is 1 x 1; a 1-d array of n elements is the row 1 x n (as MATLAB's
    ``[a b c]``); an array of more than two dimensions has shape[0] rows and
    all its further dimensions together as columns, its elements taken in
    column order. Where a function takes only some elements of an array
    (``Y``, ``mean``, ``scale``, ``w``, the scalars of envsweep), it takes
    them in that column order, and copies or converts only those.

    What no Python caller means is refused (``bitexact_image.Error``) after the
    module's own checks and before anything is made or converted: an image
    or source map of more than two dimensions (``<function>:tooManyDimensions``;
    pass one channel, ``img[:, :, k]``, read without a copy), a patchwarp
    template array of other than two dimensions (a list is an array, not a
    shape), an A that is not 2 x 3 (``patchwarp:notTwoByThree``).

Indices
    0-based everywhere, as Python indexes: positions, envsweep's col_first
    and row_first, and its best_col and best_row maps (MATLAB's minus one).

Types
    float64 is used as it is. bool, integer, float16 and float32 inputs are
    converted to float64, which is exact for every bool, float16 and float32
    value and for integers up to 2**53 in magnitude (larger integers round to
    the nearest double, as ``numpy.float64`` does). Complex input is refused
    (``bitexact_image.Error``, identifier ``<function>:notRealDouble``), as is
    anything that is not a number (TypeError), ragged nested lists included.
    Masked arrays (``numpy.ma``) are refused (TypeError) rather than read
    without their mask: pass ``a.filled(value)`` to say what a masked element
    holds.

Results
    New NumPy arrays, sharing memory with nothing; the inputs are never
    written. gridlerp's result follows X's order, patchwarp's three are
    C-ordered unless the image is Fortran-ordered, envsweep's three follow
    the source map's order (C in, C out), and linscore's scores are 1-D (N
    x K in column order for K models). Every function also writes into
    arrays the caller gives (``out=``: the result's dtype and shape, any
    positive steps).
    The interpreter lock is released while a kernel runs, so threads may call
    the functions at once.

Threads
    Every function takes ``workers=``, as SciPy's functions do: the most
    threads the call runs on. 1 (the default) computes on the calling thread
    alone and starts none, which suits dask and process pools; -1 takes every
    processor the process may run on (``os.sched_getaffinity``), -2 all but
    one, and so on; n > 1 takes n. Each result element is computed on its own,
    so the bits are the same for every count. The threads come from one pool
    of the package, started on the first call that needs one (at most 64,
    besides the calling thread); a call too small to gain from them stays on
    the calling thread. Several threads may call with workers=-1 at once: the
    pool serves their calls in turn, and each caller computes too.

Errors
    ``bitexact_image.Error`` (a ValueError) with the module's own identifier
    (``err.identifier``, e.g. ``"gridlerp:emptyImage"``) and message
    (``err.message``, as in MATLAB and Octave); ``str(err)`` is the message
    after the function's name, e.g. ``"gridlerp: The image is empty; there
    is nothing to sample."``. A call that finds no memory for
    its results, scratch or copies ends with ``<function>:outOfMemory``.
"""

import operator as _operator
import os as _os

import numpy as _np

from . import _host

__all__ = ["Error", "gridlerp", "patchwarp", "envsweep", "linscore"]
__version__ = "0.1.0"


class Error(ValueError):
    """An error of a module: ``identifier`` is ``"<module>:<reason>"`` (empty
    for a module's argument-count messages), ``message`` the module's own
    text (as in MATLAB and Octave), ``function`` the function's name (by
    default the identifier's first part); ``str(err)`` is
    ``"<function>: <message>"``."""

    def __init__(self, identifier, message, function=None):
        if function is None:
            function = identifier.partition(":")[0]
        super().__init__("%s: %s" % (function, message) if function else message)
        self.identifier = identifier
        self.message = message
        self.function = function

    def __reduce__(self):
        # Whole across processes (pickle), as distributed sends it back.
        return (Error, (self.identifier, self.message, self.function))


_LIMIT = 2 ** 31 - 1


def _numeric(value, module, name):
    """value as a NumPy array of real numbers, not copied where it is one."""
    if isinstance(value, _np.ma.MaskedArray):
        raise TypeError("%s: %s is a masked array, which is refused; pass %s.filled(value) "
                        "to say what its masked elements hold" % (module, name, name))
    try:
        array = _np.asarray(value)
    except (ValueError, TypeError) as error:   # ragged nesting, among others
        raise TypeError("%s: %s must be numeric: %s" % (module, name, error)) from None
    if array.dtype.kind == "c":
        raise Error(module + ":notRealDouble",
                    "%s must be real; complex input is refused." % name)
    if array.dtype.kind not in "biuf":
        raise TypeError("%s: %s must be numeric, not %s" % (module, name, array.dtype))
    return array


def _as_double(value, module, name):
    """value as an aligned float64 array in column order; copied only when
    it is not one already."""
    return _column_order(_numeric(value, module, name))


def _column_order(array):
    if array.ndim == 2 and min(array.shape) >= _STRIP and not (
            array.flags.f_contiguous and array.flags.aligned and array.dtype == _np.float64
            and array.dtype.isnative):
        return _column_order_in_tiles(array)
    return _np.require(array, _np.float64, ["F_CONTIGUOUS", "ALIGNED"])


# A matrix in another order is copied tile by tile: _STRIP rows by _RUN
# columns, whose cache lines stay in the nearest cache while the tile is
# turned. NumPy's own copy walks whole columns of a row-ordered matrix, one
# cache line per element, and is several times slower on a large image.
_STRIP, _RUN = 32, 256


def _column_order_in_tiles(array):
    rows, cols = array.shape
    out = _np.empty((rows, cols), _np.float64, order="F")
    for row in range(0, rows, _STRIP):
        for col in range(0, cols, _RUN):
            out[row:row + _STRIP, col:col + _RUN] = array[row:row + _STRIP, col:col + _RUN]
    return out


def _leading(array, count):
    """The first `count` elements of a numeric array in column order (all of
    them if it has fewer), float64; converted only as far as that."""
    count = max(0, min(count, array.size))
    if count == array.size:
        return _column_order(array)
    out = _np.empty(count, _np.float64)
    part, rest = out, array.T        # the column order of array is the row order of array.T
    while count:
        if rest.ndim <= 1:
            part[...] = rest.reshape(-1)[:count]
            break
        inner = rest[0].size
        whole, count = divmod(count, inner)
        if whole:
            part[:whole * inner].reshape(rest[:whole].shape)[...] = rest[:whole]
        if count:
            part, rest = part[whole * inner:], rest[whole]
    return out


def _first(array):
    """The first element of a non-empty numeric array as a Python float."""
    return float(array[(0,) * array.ndim])


def _array(value, module, name):
    """value as a NumPy array of real numbers: an ndarray of numbers as it
    is, anything else through _numeric."""
    if type(value) is _np.ndarray and value.dtype.kind in "biuf":
        return value
    return _numeric(value, module, name)


def _converted(module, call, *inputs):
    """call(*inputs): the call with its inputs converted. A copy that finds no
    memory ends the call as the host does, with the module's identifier."""
    try:
        return call(*inputs)
    except MemoryError:
        return (module + ":outOfMemory", "Out of memory.")


def _processors():
    """The processors this process may run on."""
    try:
        return len(_os.sched_getaffinity(0))
    except (AttributeError, OSError):
        return _os.cpu_count() or 1


def _workers(workers, module):
    """workers as a thread count from 1: n itself, or for a negative n the
    processors this process may run on plus one plus n (-1 is all of them)."""
    try:
        n = _operator.index(workers)
    except TypeError:
        raise TypeError("%s: workers must be an int, not %s"
                        % (module, type(workers).__name__)) from None
    if n > 0:
        return min(n, _LIMIT)
    if n == 0:
        raise ValueError("%s: workers must not be zero" % module)
    processors = _processors()
    if processors + 1 + n < 1:
        raise ValueError("%s: workers value out of range; got %d, must not be less than %d"
                         % (module, n, -processors))
    return processors + 1 + n


def _result(found):
    """The results of a call, or its error raised."""
    if type(found) is tuple:
        raise Error(*found)
    return found


def gridlerp(image, X, Y, out=None, workers=1):
    """Bilinear samples of an image at clamped 0-based positions.

    v = gridlerp(image, X, Y)

    image  the image, rows x columns.
    X      column positions, 0-based: X = 0 is the first column exactly.
    Y      row positions, 0-based; Y's first X.size elements (in column
           order) pair with X's elements in column order, so a Y shaped like X
           pairs element for element.

    Returns v, float64, shaped like X (a Python number gives a 0-d array):
    the image sampled at each (X, Y), each position first clamped onto the
    image. A NaN position gives NaN.

    out    optional: a float64 array of X's shape (any steps) that receives v;
           nothing is allocated then.
    workers  the most threads to sample on: 1 (the default) the calling
           thread alone, -1 every processor the process may use; the same
           bits for every count (see help(bitexact_image), Threads).

    Layouts: the image, X and Y are read where they lie when float64 (C or
    Fortran order, slices, one channel of an interleaved image); v comes back
    in X's order (C in, C out).

    Errors (bitexact_image.Error, identifier): gridlerp:emptyImage (positions to
    sample and an empty image), gridlerp:tooFewElements (Y shorter than X),
    gridlerp:tooManyDimensions (an image of more than two dimensions: pass
    one channel, image[:, :, k]),
    gridlerp:tooLarge (a size past 2**31 - 1), gridlerp:notRealDouble
    (complex input), gridlerp:outOfMemory.

    >>> float(gridlerp([[10, 20], [30, 40]], 0.5, 0.5))
    25.0
    """
    m = "gridlerp"
    threads = _workers(workers, m)
    found = _converted(m, _host.gridlerp, _array(image, m, "image"), _array(X, m, "X"),
                       _array(Y, m, "Y"), out, threads)
    return _result(found)[0]


def patchwarp(image, template, A, out=None, workers=1):
    """An affinely mapped, clamped, bilinearly sampled patch of an image.

    patch, x, y = patchwarp(image, template, A)

    image     the image, rows x columns.
    template  a 2-D array whose shape alone is used (any dtype), or a shape
              tuple (M, N) of whole numbers from 0; a tuple is always a shape,
              and any other tuple raises ValueError. A list is an array, not
              a shape. The patch is M x N.
    A         the 2 x 3 affine matrix (no other shape): A = [[a, c, e],
              [b, d, f]] maps a grid cell (u, v) to column a*u + c*v + e and
              row b*u + d*v + f.

    The grid of M x N cells is centred on the origin; each cell is mapped
    through A, clamped onto the image and sampled as gridlerp samples.
    Returns patch, x, y: float64 arrays of M x N; x and y are the clamped
    0-based column and row positions sampled. They are in C order unless the
    image is in Fortran order; ``out=(patch, x, y)`` takes three float64
    arrays of M x N (any steps) instead, and nothing is allocated.
    ``workers`` is the most threads to compute on: 1 (the default) the
    calling thread alone, -1 every processor the process may use; the same
    bits for every count (see help(bitexact_image), Threads).

    Errors (bitexact_image.Error, identifier): patchwarp:emptyImage,
    patchwarp:tooFewElements (A has fewer than 6 elements),
    patchwarp:tooManyDimensions (an image or template of more than two
    dimensions), patchwarp:badTemplate (a template array of fewer),
    patchwarp:notTwoByThree (A not 2 x 3),
    patchwarp:tooLarge, patchwarp:notRealDouble (complex image or A),
    patchwarp:outOfMemory.

    >>> patchwarp([[1, 2], [3, 4]], (1, 1), [[1, 0, 0], [0, 1, 0]])[0]
    array([[1.]])
    """
    m = "patchwarp"
    threads = _workers(workers, m)
    shape = tuple(_template_shape(template))
    found = _converted(m, _host.patchwarp, _array(image, m, "image"), shape, _array(A, m, "A"),
                       out, threads)
    patch, x, y = _result(found)
    return patch, x, y


def _count(n):
    """n as a count (a whole number from 0), or None."""
    if type(n) is int:
        return min(n, 2 ** 31) if n >= 0 else None
    try:
        if _np.ndim(n) != 0 or not n >= 0 or int(n) != n:
            return None
        # Every count past 2**31 - 1 is refused alike; no larger one is needed.
        return min(int(n), 2 ** 31)
    except (TypeError, ValueError, OverflowError):
        return None


def _template_shape(template):
    """The template's shape: a tuple is the shape (M, N) itself; anything else
    is an array (a list too), whose shape the extension takes only when it
    has two dimensions."""
    if type(template) is _np.ndarray:
        return template.shape
    if isinstance(template, tuple):
        if len(template) == 2:
            rows, cols = template
            if type(rows) is int and type(cols) is int and 0 <= rows < _LIMIT and \
                    0 <= cols < _LIMIT:
                return template
        shape = tuple(_count(n) for n in template)
        if len(shape) != 2 or None in shape:
            raise ValueError("patchwarp: a template tuple is a shape (M, N) of two counts "
                             "(whole numbers from 0), not %r" % (template,))
        return shape
    try:
        return _np.shape(template)
    except ValueError as error:   # ragged nesting
        raise TypeError("patchwarp: the template has no shape: %s" % error) from None


def envsweep(source_map, col_quad, col_lin, row_quad, row_lin, col_first, row_first,
             out_cols, out_rows, pos_step, out=None, workers=1):
    """A shifted, strided 2-D generalized distance transform with its argmax.

    out_map, best_col, best_row = envsweep(source_map, col_quad, col_lin,
        row_quad, row_lin, col_first, row_first, out_cols, out_rows, pos_step)

    Output cell [j, i] sits at source row py[j] and source column px[i] and
    holds, with positive quadratic coefficients, the maximum over all source
    cells [y, x] of

        source_map[y, x] - (col_quad*dc**2 + col_lin*dc)
                         - (row_quad*dr**2 + row_lin*dr)

    where dc = px[i] - x and dr = py[j] - y: the displacement from the
    source cell to the output position (output minus source), and best_col,
    best_row give the x and y that attain it. A negative quadratic
    coefficient makes its direction a minimum instead.

    NaN cells are left out, as numpy.nanmax leaves them out: a NaN never
    gives a result and changes no other one ([[0, nan, 1]] with coefficients
    1, 0, 1, 0 and three positions from column 0 gives [[0, 0, 1]] from
    columns 0, 2, 2), and a map of NaNs gives NaN from [0, 0]. Where a
    direction is a maximum, a +inf cell gives +inf (the first such cell by
    column, then row) and a -inf cell counts only where every other cell is
    NaN; a minimum the other way round.

    col_first, row_first  the first output position px[0], py[0]: a 0-based
                          source column and row, as Python indexes (MATLAB's
                          1-based col_first minus one); positions before 0
                          or past the map are allowed. A fraction is dropped
                          toward zero (int(col_first)), so 2.7 is column 2
                          and -0.5 is column 0.
    out_cols, out_rows    the grid's size; truncated toward zero. With
                          either 0 the three results are empty and come
                          back at once, the source unread.
    pos_step              the step between output positions (>= 0); each
                          position is the previous one plus pos_step,
                          truncated toward zero.
    Each scalar is the first element of its argument.

    Returns out_map (float64), best_col and best_row (int32, the 0-based
    source column and row, so source_map[best_row, best_col] is the source
    value that won; MATLAB's maps minus one), each out_rows x out_cols.

    out    optional: a tuple of three arrays of out_rows x out_cols (float64,
           int32, int32) with the same steps in elements, which receive the
           results; nothing is allocated then.
    workers  the most threads to compute on: 1 (the default) the calling
           thread alone, -1 every processor the process may use; the same
           bits for every count (see help(bitexact_image), Threads).

    Layouts: a float64 source is read where it lies (C or Fortran order,
    slices, one channel of an interleaved array), and the results come back
    in the source's order (C in, C out); the same bits either way.

    Errors (bitexact_image.Error, identifier): envsweep:tooManyDimensions (a
    source of more than two dimensions: pass one channel), envsweep:emptySource,
    envsweep:emptyScalar, envsweep:badScalar, envsweep:positionRange,
    envsweep:tooLarge, envsweep:outOfMemory, envsweep:notRealDouble.

    >>> v, c, r = envsweep([[0, 0, 0, 8], [6, 0, 0, 0], [0, 0, 4, 0]],
    ...                    1, 0, 1, 0, 0, 0, 2, 2, 2)
    >>> v.tolist(), c.tolist(), r.tolist()
    ([[5.0, 7.0], [5.0, 4.0]], [[0, 3], [0, 2]], [[1, 0], [1, 2]])
    """
    m = "envsweep"
    threads = _workers(workers, m)
    values = (col_quad, col_lin, row_quad, row_lin, col_first, row_first, out_cols, out_rows,
              pos_step)
    scalars = tuple(_scalar(v, m, n) for v, n in zip(values, _ENVSWEEP_NAMES[1:]))
    found = _converted(m, _host.envsweep, _array(source_map, m, "source_map"), scalars, out,
                       threads)
    out_map, best_col, best_row = _result(found)
    return out_map, best_col, best_row


_ENVSWEEP_NAMES = ("source_map", "col_quad", "col_lin", "row_quad", "row_lin", "col_first",
                   "row_first", "out_cols", "out_rows", "pos_step")


def _scalar(value, module, name):
    """The first element of a numeric value (in column order) as a float, or
    the shape of an empty one, which the module refuses."""
    if type(value) is float:
        return value
    if type(value) is int and -2 ** 63 <= value < 2 ** 63:
        return float(value)     # rounded to the nearest double, as from an int64
    array = _numeric(value, module, name)
    return _first(array) if array.size else array.shape


def linscore(X, mean, scale, w, out=None, workers=1):
    """One standardised linear score per sample.

    scores = linscore(X, mean, scale, w)

    X      features x samples (M x N): one column per sample. Read where it
           lies when float64 (C or Fortran order, slices, one channel of an
           interleaved array); for a samples x features array S, pass S.T.
    mean   M means, scale M scales, w M weights and the bias (M + 1 values),
           each taken in column order; read where they lie when float64.

    Returns scores, float64 of shape (N,): for each sample the sum, from the
    first feature to the last, of w[k] * ((X[k, j] - mean[k]) / scale[k]),
    then plus the bias w[M].

    Several models at once: a 2-D w of M + 1 (or more) rows and K columns,
    one model per column, gives scores of shape (N, K); X is standardised
    once, and column k has the bits of linscore(X, mean, scale, w[:, k]).
    A 1-D w (or a w of one row) is one model.

    out    optional: a float64 array of the scores' shape, (N,) or (N, K)
           (any steps), that receives them; nothing is allocated then.
    workers  the most threads to score on: 1 (the default) the calling
           thread alone, -1 every processor the process may use; the same
           bits for every count (see help(bitexact_image), Threads).

    Errors (bitexact_image.Error, identifier): linscore:tooFewElements,
    linscore:tooLarge, linscore:notRealDouble, linscore:outOfMemory.

    >>> linscore([[1, 2, 3], [10, 20, 30]], [1, 10], [1, 10], [100, 1, 0.5]).tolist()
    [0.5, 101.5, 202.5]
    """
    m = "linscore"
    threads = _workers(workers, m)
    found = _converted(m, _host.linscore, _array(X, m, "X"), _array(mean, m, "mean"),
                       _array(scale, m, "scale"), _array(w, m, "w"), out, threads)
    return _result(found)[0]


def selftest(path=None):
    """Check that this package gives the recorded bits on this machine.

    ok = bitexact_image.selftest()

    or, from a shell, with the interpreter of the environment the package is
    installed in (venv/ in the README's steps; a python3 found first on PATH
    may be another, without the package):

        venv/bin/python3 -m bitexact_image.selftest

    Calls gridlerp, patchwarp, envsweep and linscore with the few thousand
    calls stored in bitexact_selftest.bin (shipped in this package; the same
    file as the MATLAB and Octave toolbox's bitexact_selftest uses) and
    compares every result bit for bit with the result recorded when the file
    was made: never within a tolerance, only a NaN counts as equal to any NaN
    (which NaN survives where two meet is the processor's choice).

    Prints one line per function, then, last, either
        bitexact_selftest: N calls, all bits equal to the recorded results (<system>, <versions>)
    or a count of the calls that differ followed by the first of them, each
    with its inputs and both results in hexadecimal. Returns True when every
    result has the recorded bits, False otherwise (the command's exit status
    is 0 or 1). ``path`` replays another file of calls.

    When it fails, please send in a new issue of the project: everything it
    printed; the output of ``python3 -c "import platform, numpy;
    print(platform.platform(), platform.python_version(), numpy.__version__)"``;
    how the package was built and installed (pip from a checkout, a wheel:
    which one and from where; the compiler and its version, any flags you
    set in CFLAGS or CXXFLAGS); and the processor (lscpu on Linux, sysctl -n
    machdep.cpu.brand_string on macOS, the system information on Windows).
    """
    from . import _selftest
    ok, _ = _selftest.run(path)
    return ok


__all__ += ["selftest"]
