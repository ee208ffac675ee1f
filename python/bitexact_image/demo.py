"""A short demonstration of each function, writing its pictures as PNG files.

    venv/bin/python3 -m bitexact_image.demo OUTDIR    (the environment's own interpreter)

The same pictures as the Octave demo (bitexact_demo): a zoomed and a rotated
picture (gridlerp), a fan of turned and scaled patches (patchwarp), peaks
spread into hills and the peak that wins each cell (envsweep), and the
histogram of the scores of two classes (linscore).
"""
import os
import struct
import sys
import zlib

import numpy as np

import bitexact_image


def save_picture(outdir, name, picture):
    """Writes picture (values in [0, 1]; rows x columns, or rows x columns x 3)
    as outdir/name.png: 8-bit grey or RGB, written with zlib alone."""
    pixels = np.round(255 * np.clip(picture, 0, 1)).astype(np.uint8)
    rows, cols = pixels.shape[:2]
    colour = 2 if pixels.ndim == 3 else 0
    lines = b"".join(b"\0" + pixels[r].tobytes() for r in range(rows))

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data
                + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))

    path = os.path.join(outdir, name + ".png")
    with open(path, "wb") as file:
        file.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", cols, rows, 8,
                                                                       colour, 0, 0, 0))
                   + chunk(b"IDAT", zlib.compress(lines, 9)) + chunk(b"IEND", b""))
    print("  wrote %s (%d x %d)" % (path, rows, cols))


def synthetic_picture(n):
    """An n x n test picture in [0, 1]: rings, a checkerboard quadrant and a
    bright square, so that resampling shows."""
    c, r = np.meshgrid(np.arange(n), np.arange(n))
    u, v = (c - n / 2) / n, (r - n / 2) / n
    image = 0.5 + 0.5 * np.cos(40 * np.sqrt(u ** 2 + v ** 2))
    board = (np.floor(c / (n / 16)) + np.floor(r / (n / 16))) % 2
    quadrant = (c < n / 2) & (r < n / 2)
    image[quadrant] = 0.2 + 0.6 * board[quadrant]
    image[(r > 0.6 * n) & (r < 0.8 * n) & (c > 0.6 * n) & (c < 0.8 * n)] = 1
    return image


def demo_gridlerp(outdir):
    image = synthetic_picture(256)
    save_picture(outdir, "gridlerp_source", image)
    x, y = np.meshgrid(np.arange(256) / 4, np.arange(256) / 4)
    save_picture(outdir, "gridlerp_zoom", bitexact_image.gridlerp(image, x, y))
    print("  zoomed the top-left 64 x 64 pixels four times (%d samples)" % x.size)
    # Positions off the picture are clamped onto it: its border pixels stretch.
    c, r = np.meshgrid(np.arange(256.0), np.arange(256.0))
    t, centre = np.pi / 6, 127.5
    x = np.cos(t) * (c - centre) - np.sin(t) * (r - centre) + centre
    y = np.sin(t) * (c - centre) + np.cos(t) * (r - centre) + centre
    save_picture(outdir, "gridlerp_rotated", bitexact_image.gridlerp(image, x, y))
    print("  rotated the picture by 30 degrees about its centre")


def demo_patchwarp(outdir):
    image = synthetic_picture(256)
    n, gap, centre = 96, 4, (100, 110)   # 0-based (column, row) of every patch
    fan = np.ones((2 * n + gap, 4 * n + 3 * gap))
    outlines = np.repeat(image[:, :, None], 3, axis=2)
    for k in range(8):
        t, s = k * np.pi / 8, 0.6 * 2 ** (k / 4)
        A = [[s * np.cos(t), -s * np.sin(t), centre[0]], [s * np.sin(t), s * np.cos(t), centre[1]]]
        patch, x, y = bitexact_image.patchwarp(image, (n, n), A)
        r0, c0 = (k // 4) * (n + gap), (k % 4) * (n + gap)
        fan[r0:r0 + n, c0:c0 + n] = patch
        border = np.concatenate([np.stack([x[e], y[e]]) for e in
                                 (np.s_[0, :], np.s_[-1, :], np.s_[:, 0], np.s_[:, -1])], axis=1)
        cols, rows = np.round(border).astype(int)
        outlines[rows, cols] = (1, 1 - k / 7, 0)   # yellow for the first, red for the last
    save_picture(outdir, "patchwarp_fan", fan)
    save_picture(outdir, "patchwarp_outlines", outlines)
    print("  cut 8 patches of %d x %d, turned by 0 to 157.5 degrees, steps 0.6 to %.2f pixels"
          % (n, n, 0.6 * 2 ** (7 / 4)))
    same = patch.tobytes() == bitexact_image.gridlerp(image, x, y).tobytes()
    print("  the last patch equals gridlerp at its positions, bit for bit: %s" % same)


def demo_envsweep(outdir):
    n, peaks = 160, 14
    rng = np.random.default_rng(3)
    rows_at, cols_at = rng.integers(0, n, peaks), rng.integers(0, n, peaks)
    scores = np.full((n, n), -10.0)   # a background no peak loses to
    scores[rows_at, cols_at] = 0.4 + 0.6 * rng.random(peaks)
    save_picture(outdir, "envsweep_scores", (scores + 1) / 2)
    # Each peak spreads into a round hill; the argmax maps give, for every
    # cell, the 0-based column and row of the peak that wins it.
    ids = np.zeros((n, n))
    ids[rows_at, cols_at] = np.arange(1, peaks + 1)
    cost = 1 / 3000
    spread, best_col, best_row = bitexact_image.envsweep(scores, cost, 0, cost, 0, 0, 0, n, n, 1)
    save_picture(outdir, "envsweep_spread", (spread + 1) / 2)
    save_picture(outdir, "envsweep_best_col", best_col / n)
    save_picture(outdir, "envsweep_best_row", best_row / n)
    save_picture(outdir, "envsweep_regions", ids[best_row, best_col] / peaks)
    print("  spread %d peaks over %d x %d cells" % (peaks, n, n))
    # A coarser grid every 2.5 cells from cell (-21, -21), beyond the map on
    # both sides; the fraction of the step is dropped at each step.
    coarse, coarse_col, coarse_row = bitexact_image.envsweep(scores, cost, 0, cost, 0, -21, -21,
                                                       80, 80, 2.5)
    save_picture(outdir, "envsweep_coarse", (coarse + 1) / 2)
    save_picture(outdir, "envsweep_coarse_regions", ids[coarse_row, coarse_col] / peaks)
    print("  the same on an 80 x 80 grid with step 2.5 starting outside the map")


def demo_linscore(outdir):
    rng = np.random.default_rng(5)
    per_class = 4000
    centre0 = np.array([1000, 0.002, 5, -3, 40, 0])[:, None]
    centre1 = np.array([1060, 0.003, 5, -1, 38, 0.5])[:, None]
    spread = np.array([50, 0.001, 2, 2, 4, 1])[:, None]
    X = np.hstack([centre0 + spread * rng.standard_normal((6, per_class)),
                   centre1 + spread * rng.standard_normal((6, per_class))])
    label = np.repeat([0, 1], per_class)
    # Pooled statistics standardise; the weights are the class-mean difference
    # in standardised units, the bias puts the midpoint between them at 0.
    mu, sc = X.mean(axis=1), X.std(axis=1, ddof=1)
    m0 = (X[:, label == 0].mean(axis=1) - mu) / sc
    m1 = (X[:, label == 1].mean(axis=1) - mu) / sc
    w = m1 - m0
    s = bitexact_image.linscore(X, mu, sc, np.append(w, -w @ (m0 + m1) / 2))
    print("  scored %d samples of %d features; %.1f%% fall on their class's side of 0"
          % (s.size, X.shape[0], 100 * np.mean((s > 0) == label)))
    # The order of the sum is fixed: 1e16 + 1 + 1, from the first feature, stays 1e16.
    print("  linscore([1e16, 1, 1] as a column, 0s, 1s, [1, 1, 1, 0]) - 1e16 = %g"
          % (bitexact_image.linscore([[1e16], [1], [1]], [0, 0, 0], [1, 1, 1], [1, 1, 1, 0])[0] - 1e16))
    save_picture(outdir, "linscore_histogram", histogram_picture(s[label == 0], s[label == 1]))


def histogram_picture(a, b, height=300, bins=60, bar=8):
    """Two overlaid histograms over shared bins, RGB: a blue, b orange, their
    overlap darker, the score 0 as a grey line."""
    edges = np.linspace(min(a.min(), b.min()), max(a.max(), b.max()), bins + 1)
    counts = np.stack([np.histogram(a, edges)[0], np.histogram(b, edges)[0]])
    tops = np.round(height * counts / counts.max())
    level = np.arange(height, 0, -1)[:, None]
    in_a = np.repeat(level <= tops[0], bar, axis=1)[:, :, None]
    in_b = np.repeat(level <= tops[1], bar, axis=1)[:, :, None]
    picture = np.ones((height, bins * bar, 3))
    picture = np.where(in_a, (0.2, 0.45, 0.85), picture)
    picture = np.where(in_b, (0.95, 0.55, 0.1), picture)
    picture = np.where(in_a & in_b, (0.45, 0.3, 0.35), picture)
    zero = int(round(bins * bar * (0 - edges[0]) / (edges[-1] - edges[0])))
    if 1 <= zero <= bins * bar:
        picture[:, zero - 1] = 0.4
    return picture


def main(argv):
    outdir = argv[1] if len(argv) > 1 else "demo-output"
    os.makedirs(outdir, exist_ok=True)
    for demo in (demo_envsweep, demo_gridlerp, demo_linscore, demo_patchwarp):
        print("== " + demo.__name__)
        demo(outdir)
    print("Pictures are in " + outdir)


if __name__ == "__main__":
    main(sys.argv)
