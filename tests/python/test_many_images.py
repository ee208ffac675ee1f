"""Many images at once with existing parallel engines: dask.array on threads
and distributed.LocalCluster with worker processes on the loopback interface
give, for every function, the same bits as a plain loop over the stack; so
do workers that got the package as a wheel uploaded to them."""
import hashlib
import logging
import os
import zipfile

import numpy as np
import pytest

import bitexact_image

RNG = np.random.default_rng(1515)
STACK = RNG.integers(0, 256, size=(8, 40, 48)).astype(float)    # 8 images, 40 x 48
X, Y = np.meshgrid(np.linspace(-1.5, 48.5, 31), np.linspace(-1.5, 40.5, 23))
A = np.array([[0.8, -0.5, 24.0], [0.5, 0.8, 20.0]])
MEAN, SCALE, W = STACK.mean(axis=(0, 2)), np.full(40, 64.0), RNG.uniform(-1, 1, 41)


# Each function on one image: its results as one float64 array (the int32
# argmax maps of envsweep convert exactly).
def one_gridlerp(image):
    return bitexact_image.gridlerp(image, X, Y)


def one_patchwarp(image):
    return np.stack(bitexact_image.patchwarp(image, (15, 17), A))


def one_envsweep(image):
    return np.stack(bitexact_image.envsweep(image, 0.05, 0, 0.08, 0, 2, 1, 20, 16, 2.5)).astype(float)


def one_linscore(image):
    # The image's columns as samples, its rows as features.
    return bitexact_image.linscore(image, MEAN, SCALE, W)


ONE = [one_gridlerp, one_patchwarp, one_envsweep, one_linscore]


def serial(one):
    return np.stack([one(image) for image in STACK])


@pytest.mark.parametrize("one", ONE, ids=lambda f: f.__name__[4:])
def test_dask_array_on_threads(one):
    import dask
    import dask.array as da

    # One image per block; each block's results flattened into one row.
    size = one(STACK[0]).size
    images = da.from_array(STACK, chunks=(1,) + STACK.shape[1:])
    results = images.map_blocks(lambda block: one(block[0]).reshape(1, -1), dtype=np.float64,
                                drop_axis=2, chunks=((1,) * len(STACK), (size,)))
    with dask.config.set(scheduler="threads", num_workers=2):
        parallel = results.compute()
    assert parallel.tobytes() == serial(one).reshape(len(STACK), -1).tobytes()


def start_cluster():
    """A LocalCluster of two worker processes on 127.0.0.1 and its client,
    or the reason there is none on this machine."""
    try:
        from distributed import Client, LocalCluster
        cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                               host="127.0.0.1", dashboard_address=None,
                               silence_logs=logging.ERROR)
    except Exception as error:   # no loopback, no processes, no sockets
        return None, "%s: %s" % (type(error).__name__, error)
    return Client(cluster, timeout="30s"), None


@pytest.fixture(scope="module")
def client():
    client, why = start_cluster()
    if client is None:
        pytest.skip("not checked on this machine: distributed.LocalCluster over loopback (%s)"
                    % why)
    yield client
    cluster = client.cluster
    client.close()
    cluster.close()


# The functions themselves travel to the worker processes (which import the
# installed package), each image as a task.
def test_local_cluster_worker_processes(client):
    pids = set(client.run(lambda: __import__("os").getpid()).values())
    assert len(pids) == 2
    assert_same_bits_as_serial(client)


def assert_same_bits_as_serial(client):
    images = list(STACK)
    n = len(images)
    futures = {
        "gridlerp": client.map(bitexact_image.gridlerp, images, [X] * n, [Y] * n),
        "patchwarp": client.map(bitexact_image.patchwarp, images, [(15, 17)] * n, [A] * n),
        "envsweep": client.map(bitexact_image.envsweep, images, *([v] * n for v in (
            0.05, 0, 0.08, 0, 2, 1, 20, 16, 2.5))),
        "linscore": client.map(bitexact_image.linscore, images, [MEAN] * n, [SCALE] * n, [W] * n),
    }
    for one in ONE:
        name = one.__name__[4:]
        gathered = client.gather(futures[name], errors="raise")
        results = [np.stack(r).astype(float) if isinstance(r, tuple) else r for r in gathered]
        assert np.stack(results).tobytes() == serial(one).tobytes(), name


# The recipe for a cluster in doc/many-images.md: the wheel sent to every
# worker with upload_file and unpacked there by pip into the worker's own
# folder, first on its sys.path. New worker processes, so that the package
# they import is the uploaded one (checked by its folder and its extension's
# bytes).
@pytest.mark.skipif(not os.environ.get("BITEXACT_WHEEL"),
                    reason="no wheel to upload (BITEXACT_WHEEL unset; ./run's wheel stage "
                    "builds one and sets it)")
def test_wheel_uploaded_to_local_cluster_workers():
    wheel = os.environ["BITEXACT_WHEEL"]
    client, why = start_cluster()
    if client is None:
        pytest.skip("not checked on this machine: distributed.LocalCluster over loopback (%s)"
                    % why)

    # Defined here, not at the module's top, so that it travels by value: by
    # name, the worker would import this module and with it bitexact_image before
    # the wheel is there.
    def install_wheel(dask_worker, wheel):
        import importlib
        import subprocess
        import sys
        folder = dask_worker.local_directory
        subprocess.run([sys.executable, "-m", "pip", "install", "--quiet", "--no-deps",
                        "--no-index", "--target", folder, os.path.join(folder, wheel)],
                       check=True)
        importlib.invalidate_caches()
        return folder

    def imported_extension(dask_worker):
        import hashlib

        from bitexact_image import _host
        with open(_host.__file__, "rb") as file:
            return dask_worker.local_directory, _host.__file__, hashlib.sha256(file.read()).digest()

    try:
        client.upload_file(wheel)
        folders = client.run(install_wheel, wheel=os.path.basename(wheel))
        assert len(set(folders.values())) == 2
        with zipfile.ZipFile(wheel) as archive:
            name = next(n for n in archive.namelist() if n.startswith("bitexact_image/_host"))
            expected = hashlib.sha256(archive.read(name)).digest()
        for folder, path, digest in client.run(imported_extension).values():
            assert path.startswith(os.path.join(folder, "bitexact_image") + os.sep), path
            assert digest == expected, path
        assert_same_bits_as_serial(client)
    finally:
        cluster = client.cluster
        client.close()
        cluster.close()
