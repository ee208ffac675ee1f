"""A script as a user writes it, from the README's examples: each function,
its errors, and many images on threads and on a cluster whose workers get
the package as a wheel. test_types.py checks it with mypy --strict against
the installed package's types and then runs it."""
import importlib
import os
import subprocess
import sys

import dask.array as da
import numpy as np
from distributed import Client, Worker
from numpy.typing import NDArray

import bitexact

# dask and distributed are typed only in part: dask.array does not export its
# functions by name, and some Client methods carry no types. Those lines say
# so; everything of bitexact is checked in full.

image = np.add.outer(np.arange(40.0), np.arange(48.0) ** 1.5)
X, Y = np.meshgrid(np.linspace(-1, 48, 9), np.linspace(-1, 40, 7))
A = [[0.8, -0.5, 24.0], [0.5, 0.8, 20.0]]

v = bitexact.gridlerp(image, X, Y)                        # shaped like X
patch, x, y = bitexact.patchwarp(image, (15, 17), A)      # a shape (M, N)
same_patch, _, _ = bitexact.patchwarp(image, patch, A)    # or an array of that shape
out_map, best_col, best_row = bitexact.envsweep(image, 0.05, 0, 0.08, 0, 2, 1, 20, 16, 2.5)
features = image[:5]                                      # 5 features x 48 samples
scores = bitexact.linscore(features, features.mean(axis=1), [1, 2, 3, 4, 5],
                           [0.5, -1, 0.25, 1, -0.5, 3])

first_source_col: NDArray[np.int32] = best_col            # 1-based, int32
print(v.shape, patch.shape, out_map.shape, int(first_source_col[0, 0]), scores.shape)
assert v.shape == X.shape and patch.tobytes() == same_patch.tobytes()

try:
    bitexact.gridlerp(np.zeros((0, 0)), 0.5, 0.5)
except bitexact.Error as err:
    identifier: str = err.identifier
    message: str = err.message
    print(identifier, "-", message)
    assert identifier == "gridlerp:emptyImage" and str(err) == message

# Many images on threads: the kernels release the interpreter lock.
images = np.stack([image, image[::-1], 255 - image])
stack = da.from_array(images, chunks=(1,) + images.shape[1:])  # type: ignore[attr-defined]
on_threads = stack.map_blocks(lambda b: bitexact.gridlerp(b[0], X, Y)[None], dtype=float,
                              chunks=(1,) + X.shape).compute(scheduler="threads")
assert on_threads.tobytes() == np.stack([bitexact.gridlerp(i, X, Y) for i in images]).tobytes()


# Many images on a cluster: the wheel built once (./run wheel), sent to every
# worker and unpacked by pip into the worker's own folder, which is first on
# its sys.path.
def install_wheel(dask_worker: Worker, wheel: str) -> str:
    folder = dask_worker.local_directory
    subprocess.run([sys.executable, "-m", "pip", "install", "--quiet", "--no-deps",
                    "--no-index", "--target", folder, os.path.join(folder, wheel)], check=True)
    importlib.invalidate_caches()
    return folder


def gridlerp_on_cluster(client: Client, wheel_path: str) -> list[NDArray[np.float64]]:
    client.upload_file(wheel_path)  # type: ignore[no-untyped-call]
    client.run(install_wheel, wheel=os.path.basename(wheel_path))
    futures = client.map(  # type: ignore[no-untyped-call]
        bitexact.gridlerp, list(images), [X] * len(images), [Y] * len(images))
    results: list[NDArray[np.float64]] = client.gather(futures)  # type: ignore[no-untyped-call]
    return results
