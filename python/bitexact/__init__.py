"""bitexact: bit-exact image-analysis functions.

The four functions are the MEX modules of the same names, compiled from the
same sources with the same flags: for the same matrices they return the same
bits as the modules do in MATLAB or GNU Octave, on every build and machine.

How arrays are read
    Element (i, j) is row i, column j, whatever the array's memory order
    (C order, Fortran order or a strided view): the layout never changes a
    number. An array already float64 and in column (Fortran) order is read in
    place; any other is first copied into that form. So ``X.T`` of a C-ordered
    samples x features array is read without a copy.

    Shapes are counted as MATLAB counts them: a 0-d array (or a Python
    number) is 1 x 1; a 1-d array of n elements is the row 1 x n (as MATLAB's
    ``[a b c]``); an array of more than two dimensions has shape[0] rows and
    all its further dimensions together as columns, its elements taken in
    column order. Where a function takes only some elements of an array
    (``Y``, ``A``, ``mean``, ``scale``, ``w``, the scalars of envsweep), it
    takes them in that column order.

Types
    float64 is used as it is. bool, integer, float16 and float32 inputs are
    converted to float64, which is exact for every bool, float16 and float32
    value and for integers up to 2**53 in magnitude (larger integers round to
    the nearest double, as ``numpy.float64`` does). Complex input is refused
    (``bitexact.Error``, identifier ``<function>:notRealDouble``), as is
    anything that is not a number (TypeError).

Results
    New NumPy arrays in column order, sharing memory with nothing; the inputs
    are never written. The interpreter lock is released while a kernel runs,
    so threads may call the functions at once.

Errors
    ``bitexact.Error`` (a ValueError) with the module's own identifier
    (``err.identifier``, e.g. ``"gridlerp:emptyImage"``) and message
    (``err.message``, also ``str(err)``).
"""

import numpy as _np

from . import _host

__all__ = ["Error", "gridlerp", "patchwarp", "envsweep", "linscore"]
__version__ = "0.1.0"


class Error(ValueError):
    """An error of a module: ``identifier`` is ``"<module>:<reason>"`` (empty
    for a module's argument-count messages), ``message`` the module's text."""

    def __init__(self, identifier, message):
        super().__init__(message)
        self.identifier = identifier
        self.message = message

    def __reduce__(self):
        # Whole across processes (pickle), as distributed sends it back.
        return (Error, (self.identifier, self.message))


def _as_double(value, module, name):
    """value as an aligned float64 array in column order; copied only when
    it is not one already."""
    array = _np.asarray(value)
    if array.dtype.kind == "c":
        raise Error(module + ":notRealDouble",
                    "%s must be real; complex input is refused." % name)
    if array.dtype.kind not in "biuf":
        raise TypeError("%s: %s must be numeric, not %s" % (module, name, array.dtype))
    return _np.require(array, _np.float64, ["F_CONTIGUOUS", "ALIGNED"])


def _call(module, nlhs, inputs):
    identifier, message, results = _host.call(module, nlhs, inputs)
    if message is not None:
        raise Error(identifier, message)
    return results


def gridlerp(image, X, Y):
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

    Errors (bitexact.Error, identifier): gridlerp:emptyImage (positions to
    sample and an empty image), gridlerp:tooFewElements (Y shorter than X),
    gridlerp:tooLarge (a size past 2**31 - 1), gridlerp:notRealDouble
    (complex input).

    >>> float(gridlerp([[10, 20], [30, 40]], 0.5, 0.5))
    25.0
    """
    m = "gridlerp"
    X = _as_double(X, m, "X")
    (v,) = _call(m, 1, [_as_double(image, m, "image"), X, _as_double(Y, m, "Y")])
    return v.reshape(X.shape, order="F")


def patchwarp(image, template, A):
    """An affinely mapped, clamped, bilinearly sampled patch of an image.

    patch, x, y = patchwarp(image, template, A)

    image     the image, rows x columns.
    template  an array whose shape alone is used (any dtype), or a shape
              tuple (M, N); a tuple is always a shape. The patch is M x N.
    A         the 2 x 3 affine matrix; its first six elements in column order
              are used, so A = [[a, c, e], [b, d, f]] maps a grid cell (u, v)
              to column a*u + c*v + e and row b*u + d*v + f.

    The grid of M x N cells is centred on the origin; each cell is mapped
    through A, clamped onto the image and sampled as gridlerp samples.
    Returns patch, x, y: float64 arrays of M x N; x and y are the clamped
    0-based column and row positions sampled.

    Errors (bitexact.Error, identifier): patchwarp:emptyImage,
    patchwarp:tooFewElements (A has fewer than 6 elements),
    patchwarp:tooLarge, patchwarp:notRealDouble (complex image or A).

    >>> patchwarp([[1, 2], [3, 4]], (1, 1), [[1, 0, 0], [0, 1, 0]])[0]
    array([[1.]])
    """
    m = "patchwarp"
    if isinstance(template, tuple):
        if len(template) != 2 or not all(_np.ndim(n) == 0 and int(n) == n and n >= 0
                                         for n in template):
            raise ValueError("patchwarp: a template tuple is a shape (M, N) of two counts")
        shape = (int(template[0]), int(template[1]))
    else:
        shape = _np.shape(template)
    # A shape stands for an array of which the module reads only the size.
    patch, x, y = _call(m, 3, [_as_double(image, m, "image"), tuple(shape),
                               _as_double(A, m, "A")])
    return patch, x, y


def envsweep(source_map, col_quad, col_lin, row_quad, row_lin, col_first, row_first,
             out_cols, out_rows, pos_step):
    """A shifted, strided 2-D generalized distance transform with its argmax.

    out_map, best_col, best_row = envsweep(source_map, col_quad, col_lin,
        row_quad, row_lin, col_first, row_first, out_cols, out_rows, pos_step)

    For each cell of an out_rows x out_cols grid of positions, the maximum
    over all source cells of the source value minus
    col_quad*dc**2 + col_lin*dc + row_quad*dr**2 + row_lin*dr, where dc, dr
    is the displacement, with the source column and row that attain it. A
    negative quadratic coefficient turns its direction into a minimum.

    col_first, row_first  the first output position, a 1-based cell (as in
                          MATLAB); truncated toward zero.
    out_cols, out_rows    the grid's size; truncated toward zero.
    pos_step              the step between output positions (>= 0); the
                          fraction is dropped at each step.
    Each scalar is the first element of its argument.

    Returns out_map (float64), best_col and best_row (int32, 1-based source
    column and row), each out_rows x out_cols.

    Errors (bitexact.Error, identifier): envsweep:emptySource,
    envsweep:emptyScalar, envsweep:badScalar, envsweep:positionRange,
    envsweep:tooLarge, envsweep:outOfMemory, envsweep:notRealDouble.

    >>> v, c, r = envsweep([[0, 0, 0, 8], [6, 0, 0, 0], [0, 0, 4, 0]],
    ...                    1, 0, 1, 0, 1, 1, 2, 2, 2)
    >>> v.tolist(), c.tolist(), r.tolist()
    ([[5.0, 7.0], [5.0, 4.0]], [[1, 4], [1, 3]], [[2, 1], [2, 3]])
    """
    m = "envsweep"
    names = ("source_map", "col_quad", "col_lin", "row_quad", "row_lin", "col_first",
             "row_first", "out_cols", "out_rows", "pos_step")
    values = (source_map, col_quad, col_lin, row_quad, row_lin, col_first, row_first,
              out_cols, out_rows, pos_step)
    out_map, best_col, best_row = _call(m, 3, [_as_double(v, m, n) for v, n in zip(values, names)])
    return out_map, best_col, best_row


def linscore(X, mean, scale, w):
    """One standardised linear score per sample.

    scores = linscore(X, mean, scale, w)

    X      features x samples (M x N): one column per sample. For a C-ordered
           samples x features array S, pass S.T (read without a copy).
    mean   M means, scale M scales, w M weights and the bias (M + 1 values),
           each taken in column order.

    Returns scores, float64 of shape (N,): for each sample the sum, from the
    first feature to the last, of w[k] * ((X[k, j] - mean[k]) / scale[k]),
    then plus the bias w[M].

    Errors (bitexact.Error, identifier): linscore:tooFewElements,
    linscore:tooLarge, linscore:notRealDouble.

    >>> linscore([[1, 2, 3], [10, 20, 30]], [1, 10], [1, 10], [100, 1, 0.5]).tolist()
    [0.5, 101.5, 202.5]
    """
    m = "linscore"
    (scores,) = _call(m, 1, [_as_double(X, m, "X"), _as_double(mean, m, "mean"),
                             _as_double(scale, m, "scale"), _as_double(w, m, "w")])
    return scores.reshape(-1, order="F")


def selftest(path=None):
    """Check that this package gives the recorded bits on this machine.

    ok = bitexact.selftest()        (or, from a shell: python3 -m bitexact.selftest)

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
