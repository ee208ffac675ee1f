"""A script as a user writes it, from the README's examples: each function
and its errors, with nothing but NumPy beside the package, so that what
mypy --strict judges is the package's own types and no other library's.
test_types.py checks it against the installed package's types and then runs
it; the recipes for many images (dask, distributed) are run by
test_many_images.py."""
import numpy as np
from numpy.typing import NDArray

import bitexact_image

image = np.add.outer(np.arange(40.0), np.arange(48.0) ** 1.5)
X, Y = np.meshgrid(np.linspace(-1, 48, 9), np.linspace(-1, 40, 7))
A = [[0.8, -0.5, 24.0], [0.5, 0.8, 20.0]]

v = bitexact_image.gridlerp(image, X, Y)                        # shaped like X
patch, x, y = bitexact_image.patchwarp(image, (15, 17), A)      # a shape (M, N)
same_patch, _, _ = bitexact_image.patchwarp(image, patch, A)    # or an array of that shape
out_map, best_col, best_row = bitexact_image.envsweep(image, 0.05, 0, 0.08, 0, 2, 1, 20, 16, 2.5)
features = image[:5]                                      # 5 features x 48 samples
scores = bitexact_image.linscore(features, features.mean(axis=1), [1, 2, 3, 4, 5],
                           [0.5, -1, 0.25, 1, -0.5, 3])

first_source_col: NDArray[np.int32] = best_col            # 0-based, int32
print(v.shape, patch.shape, out_map.shape, int(first_source_col[0, 0]), scores.shape)
assert v.shape == X.shape and patch.tobytes() == same_patch.tobytes()

try:
    bitexact_image.gridlerp(np.zeros((0, 0)), 0.5, 0.5)
except bitexact_image.Error as err:
    identifier: str = err.identifier
    message: str = err.message
    print(identifier, "-", message)
    assert identifier == "gridlerp:emptyImage" and str(err) == "gridlerp: " + message
