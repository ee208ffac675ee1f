"""The package's functions timed at the call level, as a Python user calls
them, beside what such a user would call instead: OpenCV (cv2.remap,
cv2.warpAffine, cv2.distanceTransform), scipy.ndimage (map_coordinates,
affine_transform), the NumPy expression for linscore, and a lower envelope in
numba with envsweep's rules, which must give envsweep's bits.

Every call is timed whole (conversions, copies, fresh results), one thread,
each case's calls interleaved round after round in this one process, and the
medians compared; inputs are C-ordered (NumPy's default) and Fortran-ordered.
Also: each call's peak memory beyond its inputs, and the smallest calls.
A second table times the large calls on several threads: workers=1, 2 and -1
(every processor), the speed-up of workers=2 over workers=1, beside OpenCV
with its own default thread count.

    python3 bench/python_table.py TABLE.md [--reps=N] [--only=NAME] [--path=TEXT]

writes a Markdown table (./run bench puts it into doc/performance.md). --path=TEXT
puts the kernel path the package's calls run into the table's heading (./run bench
asks the benchmark binary, whose kernels resolve BITEXACT_KERNEL_PATH as the
package's do). --only=NAME times only the calls of the function NAME (e.g.
envsweep), with np.add as the smallest call's reference, for a quick look while
working on one of them.
"""
import os

# One thread for every library, set before any of them loads.
for _name in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS",
              "NUMBA_NUM_THREADS"):
    os.environ[_name] = "1"

import platform  # noqa: E402
import sys  # noqa: E402
import time  # noqa: E402

import cv2  # noqa: E402
import numba  # noqa: E402
import numpy as np  # noqa: E402
import scipy  # noqa: E402
import scipy.ndimage as ndimage  # noqa: E402

import bitexact_image  # noqa: E402

# OpenCV's own choice, for the table of threads; one thread for the first.
CV2_THREADS = cv2.getNumThreads()
cv2.setNumThreads(1)
MIB = 1 << 20


# ---------------------------------------------------------------- timing

def timed(functions, reps, settle=0.0, best=None):
    """Median wall-clock seconds of each function, the functions called in
    turn, round after round, so that all of them see the same machine.
    settle: seconds to wait, untimed, before each call, so that threads a
    call left busy (OpenCV's pool keeps its threads spinning for a while after
    a parallel call) do not run into the next call's. best: a dict that
    receives each function's fastest round."""
    times = {name: [] for name in functions}
    for name, f in functions.items():   # a first call of each, not timed
        f()
    for _ in range(reps):
        for name, f in functions.items():
            if settle:
                time.sleep(settle)
            start = time.perf_counter()
            f()
            times[name].append(time.perf_counter() - start)
    if best is not None:
        best.update({name: float(min(t)) for name, t in times.items()})
    return {name: float(np.median(t)) for name, t in times.items()}


def back_to_back(functions, rounds, calls=3):
    """Median wall-clock seconds of each function called `calls` times in a
    row, right after one untimed call of its own, as a loop in a script
    calls it; the functions take turns round after round. Between calls of
    one function no other call runs, so threads a call wakes are still where
    the call left them for the next."""
    times = {name: [] for name in functions}
    for _ in range(rounds):
        for name, f in functions.items():
            f()
            for _ in range(calls):
                start = time.perf_counter()
                f()
                times[name].append(time.perf_counter() - start)
    return {name: float(np.median(t)) for name, t in times.items()}


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def peak_bytes(f):
    """How far the process's resident memory rises above where it stood
    during one call of f (the high-water mark is reset first), or None where
    the system cannot reset it."""
    try:
        with open("/proc/self/clear_refs", "w") as refs:
            refs.write("5")
    except OSError:
        return None
    before = resident_bytes()
    f()
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024 - before
    return None


# ------------------------------------------ envsweep's rules, in numba

@numba.njit(cache=False)
def _envelope(f, first, stride, length, quad, lin, first_pos, out_len, step,
              out, out_first, arg, env_src, env_bound):
    """One line: envsweep's lower envelope with its single-precision
    boundaries, its tie rules and its position steps."""
    env_src[0] = 0
    env_bound[0] = np.float32(-1.0e20)
    env_bound[1] = np.float32(1.0e20)
    h = 0
    for q in range(1, length):
        fq = f[first + q * stride]
        while True:
            v = env_src[h]
            fv = f[first + v * stride]
            s = np.float32((((fq - fv) - lin * float(q - v)) + quad * float(q * q - v * v))
                           / (float(q - v) * (quad + quad)))
            if s <= env_bound[h]:
                h -= 1
            else:
                break
        h += 1
        env_src[h] = q
        env_bound[h] = s
        env_bound[h + 1] = np.float32(1.0e20)
    k = 0
    p = first_pos
    for j in range(out_len):
        while float(env_bound[k + 1]) < float(p):
            k += 1
        v = env_src[k]
        d = p - v
        out[out_first + j * stride] = (quad * float(d * d) + lin * float(d)) + f[first + v * stride]
        arg[out_first + j * stride] = v
        p = int(float(p) + step)


@numba.njit(cache=False)
def _envsweep(source, col_quad, col_lin, row_quad, row_lin, col_first, row_first,
              out_cols, out_rows, step):
    """envsweep of a Fortran-ordered source: both passes and the composition
    of the index maps, over flat column-ordered arrays; col_first, row_first
    and the maps 0-based, as the package's."""
    rows, cols = source.shape
    f = source.T.ravel()   # column order, without a copy for a Fortran-ordered source
    qx, lx, qy, ly = -col_quad, -col_lin, -row_quad, -row_lin
    R, C = out_rows, out_cols
    mid_map = np.empty(R * cols)
    mid_row = np.empty(R * cols, np.int32)
    out_map = np.empty(R * C)
    best_col = np.empty(R * C, np.int32)
    best_row = np.empty(R * C, np.int32)
    length = max(rows, cols)
    env_src = np.empty(length, np.int32)
    env_bound = np.empty(length + 1, np.float32)
    for x in range(cols):
        _envelope(f, x * rows, 1, rows, qy, ly, row_first, R, step,
                  mid_map, x * R, mid_row, env_src, env_bound)
    for j in range(R):
        _envelope(mid_map, j, R, cols, qx, lx, col_first, C, step,
                  out_map, j, best_col, env_src, env_bound)
    for i in range(C):
        for j in range(R):
            x = best_col[j + i * R]
            best_row[j + i * R] = mid_row[j + x * R]
    return (out_map.reshape((C, R)).T, best_col.reshape((C, R)).T,
            best_row.reshape((C, R)).T)


# ---------------------------------------------------------------- cases

def same_bits(a, b):
    a, b = np.asarray(a), np.asarray(b)
    return a.shape == b.shape and a.dtype == b.dtype and \
        np.asfortranarray(a).tobytes("F") == np.asfortranarray(b).tobytes("F")


class Table:
    def __init__(self, only=None):
        self.rows = []
        self.problems = []
        self.only = only

    def wanted(self, text):
        return self.only is None or text.startswith(self.only)

    def case(self, task, ours, peers, reps, bound=None):
        """ours: {layout: (call text, f, bytes a call may hold: copies of its
        inputs, results, scratch)}; peers: {call text: f}."""
        if not self.wanted(task):
            return
        functions = {("ours", layout): f for layout, (_, f, _) in ours.items()}
        functions.update({("peer", text): f for text, f in peers.items()})
        t = timed(functions, reps)
        first = True
        for layout, (text, f, allowed) in ours.items():
            peak = peak_bytes(f)
            memory = "" if peak is None else "%.0f (%.0f)" % (peak / MIB, allowed / MIB)
            if peak is not None and peak > allowed + 2 * MIB:
                memory += " over"
            for peer, peer_time in ([(p, t[("peer", p)]) for p in peers] or [("", None)]):
                self.rows.append((task if first else "", layout, "`%s`" % text,
                                  "%.3f" % (1e3 * t[("ours", layout)]), memory,
                                  "`%s`" % peer if peer else "",
                                  "" if peer_time is None else "%.3f" % (1e3 * peer_time),
                                  "" if peer_time is None else
                                  "%.2fx" % (peer_time / t[("ours", layout)])))
                first = False
                memory = ""

    def check(self, what, ok):
        if not ok:
            self.problems.append(what)


def build(reps, only=None):
    rng = np.random.default_rng(19)
    table = Table(only)
    f8 = 8

    # gridlerp beside cv2.remap (float64 image, float32 maps made beforehand,
    # replicated border) and map_coordinates (order 1, nearest: the clamp).
    for size, grid in ((1024, 2048), (64, 256)):
        image = rng.uniform(0, 255, (size, size))
        X = rng.uniform(-0.01 * size, 1.01 * size, (grid, grid))
        Y = rng.uniform(-0.01 * size, 1.01 * size, (grid, grid))
        image_f, X_f, Y_f = (np.asfortranarray(a) for a in (image, X, Y))
        map_x, map_y = X.astype(np.float32), Y.astype(np.float32)
        coords = np.stack([Y, X])
        table.check("gridlerp %d: C and F layouts differ" % size,
                    same_bits(bitexact_image.gridlerp(image, X, Y), bitexact_image.gridlerp(image_f, X_f, Y_f)))
        result = grid * grid * f8
        table.case("gridlerp, %d² image, %d² positions" % (size, grid), {
            "C": ("gridlerp(image, X, Y)", lambda: bitexact_image.gridlerp(image, X, Y),
                  image.nbytes + result),
            "F": ("gridlerp(image, X, Y)", lambda: bitexact_image.gridlerp(image_f, X_f, Y_f), result),
        }, {
            "cv2.remap(image, X32, Y32, INTER_LINEAR, BORDER_REPLICATE)":
                lambda: cv2.remap(image, map_x, map_y, cv2.INTER_LINEAR,
                                  borderMode=cv2.BORDER_REPLICATE),
            "map_coordinates(image, [Y, X], order=1, mode='nearest')":
                lambda: ndimage.map_coordinates(image, coords, order=1, mode="nearest"),
        }, reps if size > 64 else 10 * reps)

    # A camera frame as it comes (C-ordered 480 x 640): one position, read
    # where the frame lies, beside cv2.remap of one position.
    frame = rng.uniform(0, 255, (480, 640))
    x1, y1 = np.array([[321.25]]), np.array([[200.5]])
    x1_32, y1_32 = x1.astype(np.float32), y1.astype(np.float32)
    table.case("gridlerp, one position on a C-ordered 480 x 640 frame", {
        "C": ("gridlerp(frame, x, y)", lambda: bitexact_image.gridlerp(frame, x1, y1), f8),
    }, {
        "cv2.remap(frame, x32, y32, INTER_LINEAR, BORDER_REPLICATE)":
            lambda: cv2.remap(frame, x1_32, y1_32, cv2.INTER_LINEAR,
                              borderMode=cv2.BORDER_REPLICATE),
    }, 100 * reps)

    # 25 patches of 96 x 96 cut from the same frame at 25 centres, turned by
    # 10 degrees, beside cv2.warpAffine cutting the same 25 patches.
    turn = np.deg2rad(10)
    centres = [(80 + 120 * (k % 5), 60 + 90 * (k // 5)) for k in range(25)]
    maps = [np.array([[np.cos(turn), -np.sin(turn), cx], [np.sin(turn), np.cos(turn), cy]])
            for cx, cy in centres]
    half96 = (96 - 1) / 2
    cv_maps = [np.array([[m[0, 0], m[0, 1], m[0, 2] - (m[0, 0] + m[0, 1]) * half96],
                         [m[1, 0], m[1, 1], m[1, 2] - (m[1, 0] + m[1, 1]) * half96]])
               for m in maps]
    patches = tuple(np.empty((96, 96)) for _ in range(3))

    def cut_ours():
        for m in maps:
            bitexact_image.patchwarp(frame, (96, 96), m, out=patches)

    def cut_cv2():
        for m in cv_maps:
            cv2.warpAffine(frame, m, (96, 96), flags=cv2.INTER_LINEAR | cv2.WARP_INVERSE_MAP,
                           borderMode=cv2.BORDER_REPLICATE)

    table.case("patchwarp, 25 patches of 96 x 96 from a C-ordered 480 x 640 frame", {
        "C": ("patchwarp(frame, (96, 96), A, out=patches) x 25", cut_ours, 0),
    }, {"cv2.warpAffine(frame, M, (96, 96), INTER_LINEAR | WARP_INVERSE_MAP) x 25": cut_cv2},
        10 * reps)

    # patchwarp beside cv2.warpAffine (the patch alone) and affine_transform:
    # a 2048² grid turned by 30 degrees and scaled by 0.5 about the centre of
    # a 1024² image.
    image = rng.uniform(0, 255, (1024, 1024))
    image_f = np.asfortranarray(image)
    angle, scale = np.deg2rad(30), 0.5
    a, b, c, d = scale * np.cos(angle), scale * np.sin(angle), -scale * np.sin(angle), \
        scale * np.cos(angle)
    A = np.array([[a, c, 511.5], [b, d, 511.5]])
    half = (2048 - 1) / 2
    # Output pixel (row i, column j) samples column a*(j - half) + c*(i - half) + e
    # and row b*(j - half) + d*(i - half) + f: OpenCV's inverse map gives its
    # source column and row from (x, y) = (j, i), scipy's matrix its source
    # (row, column) from (i, j).
    cv_map = np.array([[a, c, A[0, 2] - a * half - c * half],
                       [b, d, A[1, 2] - b * half - d * half]])
    patch = bitexact_image.patchwarp(image, (2048, 2048), A)[0]
    warped = cv2.warpAffine(image, cv_map, (2048, 2048),
                            flags=cv2.INTER_LINEAR | cv2.WARP_INVERSE_MAP,
                            borderMode=cv2.BORDER_REPLICATE)
    # OpenCV quantises its interpolation weights: close, not the same bits.
    table.check("patchwarp: cv2.warpAffine's patch is not the same picture",
                np.median(np.abs(warped - patch)) < 4)
    table.check("patchwarp: C and F layouts differ",
                all(same_bits(u, v) for u, v in zip(bitexact_image.patchwarp(image, (2048, 2048), A),
                                                    bitexact_image.patchwarp(image_f, (2048, 2048), A))))
    matrix = np.array([[d, b], [c, a]])
    offset = np.array([A[1, 2] - b * half - d * half, A[0, 2] - a * half - c * half])
    results = 3 * 2048 * 2048 * f8
    table.case("patchwarp, 2048² grid, 1024² image, three results", {
        "C": ("patchwarp(image, (2048, 2048), A)",
              lambda: bitexact_image.patchwarp(image, (2048, 2048), A), image.nbytes + results),
        "F": ("patchwarp(image, (2048, 2048), A)",
              lambda: bitexact_image.patchwarp(image_f, (2048, 2048), A), results),
    }, {
        "cv2.warpAffine(image, M, (2048, 2048), INTER_LINEAR | WARP_INVERSE_MAP, BORDER_REPLICATE)":
            lambda: cv2.warpAffine(image, cv_map, (2048, 2048),
                                   flags=cv2.INTER_LINEAR | cv2.WARP_INVERSE_MAP,
                                   borderMode=cv2.BORDER_REPLICATE),
        "affine_transform(image, matrix, offset, (2048, 2048), order=1, mode='nearest')":
            lambda: ndimage.affine_transform(image, matrix, offset, (2048, 2048), order=1,
                                             mode="nearest"),
    }, reps)

    # envsweep beside cv2.distanceTransform (DIST_L2, DIST_MASK_PRECISE: the
    # same lower-envelope algorithm, on a binary image of as many cells) and
    # the numba envelope, whose bits must be envsweep's.
    source = rng.uniform(0, 100, (1024, 1024))
    source_f = np.asfortranarray(source)
    binary = (rng.uniform(0, 1, (1024, 1024)) > 0.01).astype(np.uint8)
    args = (0.05, 0.1, 0.05, -0.1, 0, 0, 1024, 1024, 1.0)
    ours = bitexact_image.envsweep(source_f, *args)
    theirs = _envsweep(source_f, *args[:6], 1024, 1024, 1.0)
    table.check("envsweep: the numba envelope gives other bits",
                all(same_bits(u, v) for u, v in zip(ours, theirs)))
    table.check("envsweep: C and F layouts differ",
                all(same_bits(u, v) for u, v in zip(ours, bitexact_image.envsweep(source, *args))))
    results = 1024 * 1024 * (8 + 4 + 4)
    scratch = 12 * 1024 * 1024
    table.case("envsweep, 1024² noise to 1024², step 1 (as many source cells as the peers)", {
        "C": ("envsweep(source, 0.05, 0.1, 0.05, -0.1, 0, 0, 1024, 1024, 1)",
              lambda: bitexact_image.envsweep(source, *args), results + scratch),
        "F": ("envsweep(source, 0.05, 0.1, 0.05, -0.1, 0, 0, 1024, 1024, 1)",
              lambda: bitexact_image.envsweep(source_f, *args), results + scratch),
    }, {
        "cv2.distanceTransform(binary, DIST_L2, DIST_MASK_PRECISE)":
            lambda: cv2.distanceTransform(binary, cv2.DIST_L2, cv2.DIST_MASK_PRECISE),
        "numba lower envelope, envsweep's rules (same bits, checked)":
            lambda: _envsweep(source_f, *args[:6], 1024, 1024, 1.0),
    }, reps)

    # linscore: 512 features x 16,384 samples, as S.T of a C-ordered samples x
    # features array (read in place), and as a C-ordered features x samples
    # array (read feature by feature); beside the NumPy expression.
    S = rng.standard_normal((16384, 512))
    mu, sc, w = rng.standard_normal(512), rng.uniform(0.5, 2, 512), rng.standard_normal(513)
    weights, bias = w[:-1], w[-1]
    X = np.ascontiguousarray(S.T)
    mu_col, sc_col = mu[:, None], sc[:, None]
    table.check("linscore: S.T and C-ordered X give other bits",
                same_bits(bitexact_image.linscore(S.T, mu, sc, w), bitexact_image.linscore(X, mu, sc, w)))
    scores = 16384 * f8
    table.case("linscore, 512 features x 16,384 samples, passed as `S.T`", {
        "F (S.T)": ("linscore(S.T, mean, scale, w)", lambda: bitexact_image.linscore(S.T, mu, sc, w),
                    scores + S.nbytes),
    }, {"((S - mean) / scale) @ w[:-1] + w[-1]": lambda: ((S - mu) / sc) @ weights + bias}, reps)
    table.case("linscore, 512 features x 16,384 samples, C-ordered X", {
        "C": ("linscore(X, mean, scale, w)", lambda: bitexact_image.linscore(X, mu, sc, w), scores),
    }, {"w[:-1] @ ((X - mean[:, None]) / scale[:, None]) + w[-1]":
        lambda: weights @ ((X - mu_col) / sc_col) + bias}, reps)

    # The smallest calls, many times over.
    one = np.ones((1, 1))
    calls = 2000
    small = {
        "gridlerp(1.0, 0.0, 0.0)": lambda: bitexact_image.gridlerp(1.0, 0.0, 0.0),
        "patchwarp(1.0, (1, 1), A)": lambda: bitexact_image.patchwarp(1.0, (1, 1), A),
        "envsweep(1.0, 1, 0, 1, 0, 1, 1, 1, 1, 1)":
            lambda: bitexact_image.envsweep(1.0, 1, 0, 1, 0, 1, 1, 1, 1, 1),
        "linscore(1.0, 0.0, 1.0, [1.0, 0.0])": lambda: bitexact_image.linscore(1.0, 0.0, 1.0, [1.0, 0.0]),
        "np.add(a, b), a and b 1 x 1": lambda: np.add(one, one),
    }

    def repeat(f):
        def run():
            for _ in range(calls):
                f()
        return run

    small = {text: f for text, f in small.items()
             if table.wanted(text) or text.startswith("np.add")}
    t = timed({text: repeat(f) for text, f in small.items()}, 7)
    smallest = [(text, 1e6 * t[text] / calls) for text in small]
    return table, smallest


def threads_table(reps):
    """The large calls (Fortran-ordered inputs, linscore's S.T) on 1, 2 and
    every processor, with OpenCV's peers on OpenCV's default threads: rows of
    (call, ms at 1, ms at 2, ms at -1, speed-up 2 over 1, the same between the
    fastest rounds, the same for calls back to back, peer, peer ms), and
    the checks that failed (every count must give the bits of one)."""
    rng = np.random.default_rng(23)
    image = np.asfortranarray(rng.uniform(0, 255, (1024, 1024)))
    X = np.asfortranarray(rng.uniform(-10, 1034, (2048, 2048)))
    Y = np.asfortranarray(rng.uniform(-10, 1034, (2048, 2048)))
    map_x, map_y = X.astype(np.float32), Y.astype(np.float32)
    angle, scale = np.deg2rad(30), 0.5
    a, b = scale * np.cos(angle), scale * np.sin(angle)
    A = np.array([[a, -b, 511.5], [b, a, 511.5]])
    half = (2048 - 1) / 2
    cv_map = np.array([[a, -b, A[0, 2] - a * half + b * half],
                       [b, a, A[1, 2] - b * half - a * half]])
    source = np.asfortranarray(rng.uniform(0, 100, (1024, 1024)))
    binary = (rng.uniform(0, 1, (1024, 1024)) > 0.01).astype(np.uint8)
    args = (0.05, 0.1, 0.05, -0.1, 0, 0, 1024, 1024, 1.0)
    S = rng.standard_normal((16384, 512))
    mu, sc, w = rng.standard_normal(512), rng.uniform(0.5, 2, 512), rng.standard_normal(513)
    cases = [
        ("gridlerp(image, X, Y), 2048² positions, 1024² image",
         lambda n: bitexact_image.gridlerp(image, X, Y, workers=n),
         "cv2.remap(image, X32, Y32, INTER_LINEAR, BORDER_REPLICATE)",
         lambda: cv2.remap(image, map_x, map_y, cv2.INTER_LINEAR,
                           borderMode=cv2.BORDER_REPLICATE)),
        ("patchwarp(image, (2048, 2048), A), 1024² image",
         lambda n: bitexact_image.patchwarp(image, (2048, 2048), A, workers=n),
         "cv2.warpAffine(image, M, (2048, 2048), INTER_LINEAR | WARP_INVERSE_MAP)",
         lambda: cv2.warpAffine(image, cv_map, (2048, 2048),
                                flags=cv2.INTER_LINEAR | cv2.WARP_INVERSE_MAP,
                                borderMode=cv2.BORDER_REPLICATE)),
        ("envsweep(source, ...), 1024² to 1024², step 1",
         lambda n: bitexact_image.envsweep(source, *args, workers=n),
         "cv2.distanceTransform(binary, DIST_L2, DIST_MASK_PRECISE)",
         lambda: cv2.distanceTransform(binary, cv2.DIST_L2, cv2.DIST_MASK_PRECISE)),
        ("linscore(S.T, mean, scale, w), 512 x 16,384",
         lambda n: bitexact_image.linscore(S.T, mu, sc, w, workers=n), "", None),
    ]
    rows, problems = [], []
    cv2.setNumThreads(CV2_THREADS)
    try:
        for text, ours, peer_text, peer in cases:
            if not text.startswith(ONLY or ""):
                continue
            one = ours(1)
            one = one if isinstance(one, tuple) else (one,)
            for n in (2, -1):
                found = ours(n)
                found = found if isinstance(found, tuple) else (found,)
                if not all(same_bits(u, v) for u, v in zip(one, found)):
                    problems.append("%s: workers=%d gives other bits" % (text.split("(")[0], n))
            functions = {n: (lambda n=n: ours(n)) for n in (1, 2, -1)}
            if peer is not None:
                functions["peer"] = peer
            fastest = {}
            t = timed(functions, reps, settle=0.02, best=fastest)
            steady = back_to_back({n: functions[n] for n in (1, 2)}, reps)
            rows.append((text, t[1], t[2], t[-1], t[1] / t[2], fastest[1] / fastest[2],
                         steady[1] / steady[2], peer_text, t.get("peer")))
    finally:
        cv2.setNumThreads(1)
    callers = None
    if ONLY is None:
        callers = several_callers([ours for _, ours, _, _ in cases], reps, problems)
    return rows, problems, callers


def several_callers(calls, reps, problems, callers=4):
    """`callers` Python threads at once, each making every call with
    workers=-1, against the same calls made one after another with workers=1,
    and, as what the machine gives threads that share nothing of ours, the
    same threads at once with workers=1: (callers, median seconds of the
    threads with -1, one after another, the threads with 1); a call that
    gives other bits than workers=1 is added to `problems`."""
    import threading
    expected = [call(1) for call in calls]
    expected = [e if isinstance(e, tuple) else (e,) for e in expected]
    at_once, in_turn, alone, wrong = [], [], [], []

    def caller(check, workers=-1):
        for call, bits in zip(calls, expected):
            found = call(workers)
            if not check:
                continue
            found = found if isinstance(found, tuple) else (found,)
            if not all(same_bits(u, v) for u, v in zip(bits, found)):
                wrong.append(call)

    def side_by_side(*args):
        """Seconds until `callers` threads running caller(*args) have all
        finished."""
        threads = [threading.Thread(target=caller, args=args) for _ in range(callers)]
        start = time.perf_counter()
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        return time.perf_counter() - start

    # A first round, untimed, checks the bits; the timed ones only call.
    side_by_side(True)
    for _ in range(reps):
        time.sleep(0.02)
        start = time.perf_counter()
        for _ in range(callers):
            for call in calls:
                call(1)
        in_turn.append(time.perf_counter() - start)
        time.sleep(0.02)
        at_once.append(side_by_side(False))
        time.sleep(0.02)
        alone.append(side_by_side(False, 1))
    if wrong:
        problems.append("several callers at once: workers=-1 gives other bits")
    return (callers, float(np.median(at_once)), float(np.median(in_turn)),
            float(np.median(alone)))


ONLY = None


def processor():
    try:
        with open("/proc/cpuinfo") as info:
            flags = ""
            name = platform.processor()
            for line in info:
                if line.startswith("model name"):
                    name = line.split(":", 1)[1].strip()
                if line.startswith("flags"):
                    flags = line.split(":", 1)[1].split()
                    break
        extras = [n for n, f in (("AVX2", "avx2"), ("AVX-512", "avx512f")) if f in flags]
        return "%s (%s)" % (name, ", ".join(extras)) if extras else name
    except OSError:
        return platform.processor()


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    reps = 7
    only = None
    path = ""
    for arg in sys.argv[2:]:
        if arg.startswith("--path="):
            path = "; kernel path " + arg.split("=", 1)[1]
        if arg.startswith("--reps="):
            reps = int(arg.split("=", 1)[1])
        if arg.startswith("--only="):
            only = arg.split("=", 1)[1]
    global ONLY
    ONLY = only
    table, smallest = build(reps, only)
    # At least nine rounds on threads: a call that faults in fresh memory on
    # two threads now and then takes twice its time (the system preparing
    # large pages), which three rounds' median does not pass over.
    thread_reps = max(reps, 9)
    thread_rows, thread_problems, callers = threads_table(thread_reps)
    table.problems += thread_problems
    lines = [
        "Python %s on %s%s: medians of %d rounds (wall-clock time), one thread, each case's "
        "calls interleaved in one process. NumPy %s, OpenCV %s, SciPy %s, numba %s. "
        "Each call is timed whole: conversions, copies and results included (large "
        "results in blocks that earlier calls freed, where one fits, as the peers' "
        "come from malloc). "
        "Ratios above 1 mean bitexact_image is faster. Peak MiB: how far the process's memory "
        "rose during one call (in brackets what the call may hold: copies of its inputs, "
        "its results, its scratch)."
        % (platform.python_version(), processor(), path, reps, np.__version__, cv2.__version__,
           scipy.__version__, numba.__version__),
        "",
        "| call | layout | bitexact_image | ms | peak MiB | what a Python user calls instead | ms "
        "| ratio |",
        "|---|---|---|---:|---:|---|---:|---:|",
    ]
    for row in table.rows:
        lines.append("| " + " | ".join(row) + " |")
    for text, microseconds in smallest:
        lines.append("| smallest call | | `%s` | %.4f | | | | |" % (text, microseconds / 1e3))
    processors = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") \
        else os.cpu_count()
    lines += [
        "",
        "On threads: the same calls with `workers=` 1, 2 and -1 (here %d processors), "
        "Fortran-ordered inputs, medians of %d rounds; speed-up: workers=2 over workers=1. "
        "OpenCV with its default threads (%d). Each call starts 20 ms after the one "
        "before, untimed, so that no thread a call left busy runs into the next. "
        "Fastest rounds: the speed-up between the fastest round of each, which a "
        "thread of the call losing its processor to another program slows less "
        "than the medians. Back to back: the speed-up of the median call among "
        "calls made one right after another, as a loop makes them (%d rounds of "
        "one untimed call and three timed ones). "
        "Every count gives the bits of workers=1 (checked)." % (processors, thread_reps,
                                                                 CV2_THREADS, thread_reps),
        "",
        "| call | workers=1 ms | workers=2 ms | workers=-1 ms | speed-up 2/1 "
        "| fastest rounds 2/1 | back to back 2/1 | OpenCV, its default threads | ms |",
        "|---|---:|---:|---:|---:|---:|---:|---|---:|",
    ]
    for text, t1, t2, tall, speedup, best_speedup, steady, peer, tpeer in thread_rows:
        lines.append("| `%s` | %.3f | %.3f | %.3f | %.2fx | %.2fx | %.2fx | %s | %s |"
                     % (text, 1e3 * t1, 1e3 * t2, 1e3 * tall, speedup, best_speedup, steady,
                        "`%s`" % peer if peer else "",
                        "" if tpeer is None else "%.3f" % (1e3 * tpeer)))
    if callers is not None:
        count, at_once, in_turn, alone = callers
        ideal = in_turn / processors
        lines += ["", "Several callers: %d Python threads at once, each making the four calls "
                  "above with workers=-1, took %.1f ms; the same %d calls one after another "
                  "with workers=1 took %.1f ms, which is %.1f ms over %d processors: %.2f "
                  "times that. The same threads at once with workers=1, which share no "
                  "thread of the package, took %.1f ms: %.2f times it, what this machine "
                  "gives %d threads that run side by side (medians of %d rounds; every call "
                  "with the bits of workers=1, checked)."
                  % (count, 1e3 * at_once, 4 * count, 1e3 * in_turn, 1e3 * ideal, processors,
                     at_once / ideal, 1e3 * alone, alone / ideal, count, thread_reps)]
    if table.problems:
        lines += ["", "Checks that failed: " + "; ".join(table.problems) + "."]
    else:
        lines += ["", "Checked in the same run: each call gives the same bits in C and "
                  "Fortran order, and the numba envelope gives envsweep's bits."]
    text = "\n".join(lines) + "\n"
    with open(sys.argv[1], "w") as out:
        out.write(text)
    print(text)
    if table.problems:
        sys.exit(1)


if __name__ == "__main__":
    main()
