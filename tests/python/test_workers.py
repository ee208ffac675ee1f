"""workers=: the same bits on any number of threads, threads only where a call
asks for them, and the pool's behaviour under concurrent callers, forks and
failures."""
import multiprocessing
import os
import subprocess
import sys
import threading
import warnings

import numpy as np
import pytest

import bitexact_image
from conftest import bits

RNG = np.random.default_rng(2718)
COUNTS = (2, 3, 4, 7, 16)
PATHS = ("avx512", "avx2", "sse2", "scalar")

# Each large enough that 16 threads each get a range (more than 16 x 32768
# elements of work), with odd sizes, so that ranges end inside vectors and
# lines; positions outside the image and NaN ones among them.
IMAGE = RNG.uniform(-1, 1, (97, 131))
GX = RNG.uniform(-3, 134, (731, 757))
GY = RNG.uniform(-3, 100, (731, 757))
GX[5, 9] = np.nan
A = np.array([[0.31, -0.07, 60.0], [0.05, 0.29, 45.0]])
SOURCE = RNG.uniform(0, 1, (400, 411))
FEATURES = RNG.uniform(-5, 5, (67, 9001))
MEAN, SCALE = RNG.uniform(-1, 1, 67), RNG.uniform(0.5, 2, 67)
WEIGHTS = RNG.uniform(-1, 1, (68, 3))


def layouts(array):
    return {"C": np.ascontiguousarray(array), "F": np.asfortranarray(array)}


# Each call as one tuple of results, for every layout of its large input.
def calls():
    for name, x in layouts(GX).items():
        y = np.array(GY, order=name)
        yield "gridlerp " + name, lambda w, x=x, y=y: (bitexact_image.gridlerp(IMAGE, x, y, workers=w),)
    for name, image in layouts(IMAGE).items():
        yield "patchwarp " + name, lambda w, image=image: bitexact_image.patchwarp(
            image, (733, 745), A, workers=w)
    for name, source in layouts(SOURCE).items():
        yield "envsweep " + name, lambda w, source=source: bitexact_image.envsweep(
            source, 0.05, 0.01, 0.08, -0.02, 3, -2, 390, 410, 1.5, workers=w)
    for name, features in layouts(FEATURES).items():
        yield "linscore " + name, lambda w, features=features: (
            bitexact_image.linscore(features, MEAN, SCALE, WEIGHTS[:, 0], workers=w),
            bitexact_image.linscore(features, MEAN, SCALE, WEIGHTS, workers=w))


def all_bits(results):
    return [bits(r) for r in results]


# The point of the design: splitting the work never changes a bit, on any
# kernel path (a path the processor lacks runs the best one below it); 100
# asks for more threads than the pool has.
@pytest.mark.parametrize("path", PATHS)
def test_every_thread_count_gives_the_bits_of_one(path, monkeypatch):
    monkeypatch.setenv("BITEXACT_KERNEL_PATH", path)
    for name, call in calls():
        one = all_bits(call(1))
        for count in COUNTS + (-1, 100):
            assert all_bits(call(count)) == one, (name, count)


# workers=1 must be safe inside process pools: it starts no thread. A fresh
# interpreter, so that no earlier test has started the pool; the count after
# workers=2 shows that the measure sees the pool's thread.
def test_one_worker_starts_no_thread():
    script = """
import os, numpy as np, bitexact_image
tasks = lambda: len(os.listdir("/proc/self/task"))
x = np.random.default_rng(1).uniform(0, 9, (800, 800))
before = tasks()
bitexact_image.gridlerp(x, x, x)
bitexact_image.patchwarp(x, (800, 800), [[1, 0, 0], [0, 1, 0]])
bitexact_image.envsweep(x, 1, 0, 1, 0, 0, 0, 800, 800, 1)
bitexact_image.linscore(x, x[:, 0], x[:, 1] + 1, x.ravel()[:801])
after_one = tasks()
bitexact_image.gridlerp(x, x, x, workers=2)
print(before, after_one, tasks())
"""
    found = subprocess.run([sys.executable, "-c", script], check=True, capture_output=True,
                           text=True).stdout.split()
    before, after_one, after_two = map(int, found)
    assert after_one == before
    assert after_two == before + 1


# The pool's threads run where their caller may run: a caller confined to one
# processor (after earlier calls placed the pool elsewhere) keeps the thread it
# wakes there too. A fresh interpreter, whose new threads are the pool's.
@pytest.mark.skipif(len(os.sched_getaffinity(0)) < 2, reason="one processor: nothing to confine")
def test_pool_threads_stay_where_their_caller_may_run():
    script = """
import os, numpy as np, bitexact_image
tasks = lambda: set(os.listdir("/proc/self/task"))
x = np.random.default_rng(1).uniform(0, 9, (800, 800))
before = tasks()
for cpu in sorted(os.sched_getaffinity(0)):
    os.sched_setaffinity(0, {cpu})
    bitexact_image.gridlerp(x, x, x, workers=2)
    for task in tasks() - before:
        with open("/proc/self/task/%s/status" % task) as status:
            allowed = [l.split()[1] for l in status if l.startswith("Cpus_allowed_list")]
        print(cpu, allowed[0])
"""
    found = subprocess.run([sys.executable, "-c", script], check=True, capture_output=True,
                           text=True).stdout.split("\n")
    rows = [row.split() for row in found if row]
    assert rows and len(rows) == len(os.sched_getaffinity(0))
    for cpu, allowed in rows:
        assert allowed == cpu, rows


# Bad counts are refused before anything runs, with SciPy's meanings.
def test_workers_is_checked():
    with pytest.raises(ValueError, match="zero"):
        bitexact_image.gridlerp(IMAGE, 1.0, 1.0, workers=0)
    with pytest.raises(TypeError, match="int"):
        bitexact_image.linscore(FEATURES, MEAN, SCALE, WEIGHTS[:, 0], workers=2.0)
    with pytest.raises(ValueError, match="out of range"):
        bitexact_image.envsweep(SOURCE, 1, 0, 1, 0, 0, 0, 2, 2, 1, workers=-(os.cpu_count() + 9))


# Callers on several threads at once, each asking for every processor, share
# one pool: every call finishes, with the bits of one thread.
def test_concurrent_callers_share_the_pool():
    expected = {name: all_bits(call(1)) for name, call in calls()}
    failures = []

    def caller():
        try:
            for _ in range(2):
                for name, call in calls():
                    if all_bits(call(-1)) != expected[name]:
                        failures.append(name)
        except Exception as error:   # noqa: BLE001 - reported below
            failures.append(repr(error))

    threads = [threading.Thread(target=caller) for _ in range(6)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=300)
    assert not any(thread.is_alive() for thread in threads), "a caller never finished"
    assert failures == []


def child_call(queue):
    queue.put(bits(bitexact_image.gridlerp(IMAGE, GX, GY, workers=4)))


# A process forked after the pool started has none of its threads: it must
# start its own rather than wait forever on its parent's.
def test_forked_child_gets_a_pool_of_its_own():
    expected = bits(bitexact_image.gridlerp(IMAGE, GX, GY, workers=4))
    context = multiprocessing.get_context("fork")
    queue = context.Queue()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)   # forking with threads
        child = context.Process(target=child_call, args=(queue,))
        child.start()
    found = queue.get(timeout=120)
    child.join(timeout=60)
    assert child.exitcode == 0
    assert found == expected


# A range that fails in a pool thread (here: no memory for envsweep's
# scratch, with the address space capped after the pool started) ends the
# call with the module's error, not a crash or a hang, and the pool serves
# the next call.
def test_failure_in_a_pool_thread_is_the_calls_error():
    script = """
import resource, numpy as np, bitexact_image
source = np.zeros((1 << 17, 64))
bitexact_image.gridlerp(source[:900, :], source[:900, :], source[:900, :], workers=2)
with open("/proc/self/statm") as statm:
    used = int(statm.read().split()[0]) * 4096
resource.setrlimit(resource.RLIMIT_AS, (used + (60 << 20), resource.RLIM_INFINITY))
try:
    bitexact_image.envsweep(source, 1, 0, 1, 0, 0, 0, 1, 1, 1, workers=2)
    print("done")
except bitexact_image.Error as error:
    print(error.identifier)
print(bitexact_image.envsweep(source[:50, :8], 1, 0, 1, 0, 0, 0, 1, 1, 1, workers=2)[0].shape)
"""
    found = subprocess.run([sys.executable, "-c", script], check=True, capture_output=True,
                           text=True, timeout=300).stdout.split("\n")
    assert found[:2] == ["envsweep:outOfMemory", "(1, 1)"]
