#!/usr/bin/env python3
"""Writes the starting corpus of one fuzz target: a valid call, then the same call
with one input changed at a time (class, complexity, sparsity, empty, a count
beyond the 32-bit range, NaN, infinities, -0). The byte layout is the one
call_decoder.h describes.

    make_corpus.py OUT_DIR N_INPUTS MAX_OUTPUTS ROWSxCOLS:v,v,... (one per input)
"""
import hashlib
import os
import sys

OTHER = ["single", "int32", "logical", "char", "int8", "uint8", "int16",
         "uint16", "uint32", "int64", "uint64", "double"]
SPECIAL = {"0": 0, "-0": 1, "1": 2, "-1": 3, "0.5": 4, "NaN": 8, "Inf": 9,
           "-Inf": 10, "1e20": 16, "2147483647": 18, "46341": 23}


def class_byte(name):
    if name == "double":
        return 0
    return next(b for b in range(128, 256) if OTHER[b % len(OTHER)] == name)


def value_byte(v):
    if v in SPECIAL:
        return SPECIAL[v]
    half = float(v) * 2
    assert half == int(half) and -104 <= half <= 103, v
    return int(half) + 152


def array(dims, values, cls="double", form=0, nzmax=None):
    out = [class_byte(cls), form | ({2: 0, 3: 8, 4: 12}[len(dims)])]
    for d in dims:
        out.append(d if d <= 8 else 224 + {46341: 0, 65536: 1, 2**31 - 1: 2,
                                           2**31: 3, 2**31 + 1: 4, 2**32: 5}[d])
    if form == 2:
        out.append(nzmax if nzmax is not None else len(values))
    out += [value_byte(v) for v in values]
    if form == 1:
        out += [value_byte("1") for _ in values]
    return out


def call(inputs, nlhs=0, nrhs=0):
    out = [nlhs, nrhs]
    for a in inputs:
        out += a
    return bytes(out)


def main():
    out_dir, n_inputs, max_outputs = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    bases = []
    for given in sys.argv[4:4 + n_inputs]:
        shape, values = given.split(":")
        bases.append(([int(d) for d in shape.split("x")], values.split(",")))
    calls = [call([array(d, v) for d, v in bases])]
    # Counts: every result count up to one too many, one input too few or too many.
    for nlhs in range(max_outputs + 2):
        calls.append(call([array(d, v) for d, v in bases], nlhs=128 + nlhs))
    for nrhs in (n_inputs - 1, n_inputs + 1):
        nrhs_byte = next(b for b in range(192, 256) if b % (n_inputs + 3) == nrhs)
        calls.append(call([array(d, v) for d, v in bases] + [array([1, 1], ["1"])],
                          nrhs=nrhs_byte))
    for i in range(n_inputs):
        d, v = bases[i]
        variants = [array(d, v, cls) for cls in ("single", "int32", "logical", "char")]
        variants += [array(d, v, form=1), array(d[:2], v, form=2),
                     array([0, 0], []), array([2**31, 0], []), array([0, 65536, 65536], []),
                     array(d, ["NaN"] * len(v)), array(d, ["Inf"] * len(v)),
                     array(d, ["-Inf"] * len(v)), array(d, ["-0"] * len(v)),
                     array([1, 1], v[:1])]
        for variant in variants:
            inputs = [array(dd, vv) for dd, vv in bases]
            inputs[i] = variant
            calls.append(call(inputs))
    os.makedirs(out_dir, exist_ok=True)
    for entry in calls:
        name = hashlib.sha1(entry).hexdigest()
        with open(os.path.join(out_dir, name), "wb") as f:
            f.write(entry)
    print(f"{len(calls)} calls in {out_dir}")


if __name__ == "__main__":
    main()
