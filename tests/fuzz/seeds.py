#!/usr/bin/env python3
"""Writes seed inputs for fuzz_script into corpus/script.

Each seed is a script of steps written with the words themselves; the word
pools and the command shapes are read from fuzz_script.cpp, so the seeds
stay in step with the decoder.  Run it after changing a pool or adding a
seed; inputs the fuzzer found are kept beside these.
"""
import hashlib
import os
import re
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = open(os.path.join(HERE, "fuzz_script.cpp")).read()


def pools():
    found = {}
    for m in re.finditer(r"const Pool (k\w+) = \{(.*?)\};", SOURCE, re.S):
        words = []
        for item in re.findall(r'((?:"(?:[^"\\]|\\.)*"\s*)+)', m.group(2)):
            words.append("".join(re.findall(r'"((?:[^"\\]|\\.)*)"', item)))
        found[m.group(1)] = words
    return found


POOLS = pools()
KINDS = re.search(r"enum Kind \{(.*?)\};", SOURCE, re.S).group(1)
KINDS = [k.strip() for k in KINDS.split(",")]
POOL_OF = dict(re.findall(r"case (\w+): return (k\w+);", SOURCE))
SHAPES = []
for m in re.finditer(r'\{"(KD\w+)", (\d+), \{([\w, ]+)\}\}', SOURCE):
    SHAPES.append((m.group(1), int(m.group(2)), [w.strip() for w in m.group(3).split(",")]))


def index(pool, word):
    return POOLS[pool].index(word)


def call(command, *words, inside=False):
    """Bytes of one call step with the given words (all from their own pools)."""
    shape = [s for s in SHAPES if s[0] == command][0]
    _, required, kinds = shape
    out = [9 if inside else 0, SHAPES.index(shape), len(words) - required]
    for kind, word in zip(kinds, words):
        out.append(index(POOL_OF[kind], word))
    return out


def set_element(array, idx, value):
    return [10, index("kTarget", array), index("kIndex", idx), index("kValue", value)]


SEEDS = {
    "arraymath": call("KDarrayMath", "A", "+", "B", "Out", "10")
    + call("KDarrayMath", "A", "SUM", "A", "Out", "10", "0", "0", "0", "2")
    + call("KDarrayMath", "C", "LOG", "A", "Out", "10", "1", "-1", "5", "3", "2", "1"),
    "vecmath": call("KDvecMath", "A", "C", "M", "Out")
    + call("KDvecMath", "A", "R+", "B", "Out", "0", "5", "0", "6", "4")
    + call("KDvecMath", "M", "T", "A", "Out", "0", "0", "0", "3", "2"),
    "matrixmath": call("KDmatrixMath", "M", "*", "M", "Out", "3", "3", "3", "3")
    + call("KDmatrixMath", "A", "T", "M", "Out", "2", "3", "2", "3", "1", "0", "5"),
    "matrixinv": call("KDmatrixInv", "3", "M")
    + call("KDmatrixInv", "3", "M", "0", "1", "A", "0")
    + call("KDmatrixInv", "2", "Z"),
    "solvecubic": call("KDsolveCubic", "1", "-1", "3", "0.5")
    + call("KDsolveCubic", "0", "1", "2", "3"),
    "polyexp": call("KDpolyExp1D", "0.5", "3", "A")
    + call("KDpolyExp1D", "2", "4", "B", "1", "10", "0")
    + call("KDpolyExp2D", "2", "3", "6", "A", "2")
    + call("KDpolyExp2D", "1", "2", "3", "A", "1", "5", "100", "0"),
    "lsq1d": call("KDdataLSq1D", "A", "Y", "10", "0", "Out", "F", "3", "Out2", "basis")
    + call("KDdataLSq1D", "A", "Y", "9", "1", "Out", "G", "2", "Out2", "basisRec", "B")
    + call("KDdataLSq1D", "A", "Y", "5", "-1", "Out", "F", "3", "Out2", "basisUnset"),
    "lsq2d": call("KDdataLSq2D", "A", "Y", "B", "10", "2", "0", "Out", "1")
    + call("KDdataLSq2D", "A", "Y", "M", "9", "1", "1", "Out", "1", "A"),
    "mqcoef": call("KDdataMqCoef", "Y", "A", "5", "F", "2", "10", "5",
                   "set FuncRet [model 2 dYdA W]", "W")
    + call("KDdataMqCoef", "Y", "A", "3", "F", "3", "0", "0", "unset -nocomplain FuncRet dYdA", "W"),
    "nlinlsq": call("KDdataNLinLSq", "Y", "A", "5", "B", "F", "2", "model", "W")
    + call("KDdataNLinLSq", "Y", "A", "5", "B", "F", "2", "model", "W")
    + set_element("W", "0", "0")
    + call("KDdataNLinLSq", "Y", "A", "5", "B", "G", "2", "modelRec", "W"),
    "mxmn": call("KDdataMxMn", "A", "10", "G")
    + call("KDdataMxMn", "B", "10", "<", "0", "10", "2", "-1"),
    "rnd": call("KDdataRnd1", "Out", "10", "PN", "10")
    + call("KDdataRnd1", "Out", "3", "P"),
    "integ": call("KDintegTrap", "integ", "0", "1", "1")
    + call("KDintegTrap", "integ", "0", "1", "4", "0.5", "1")
    + call("KDintegTrap", "integUnset", "0", "2", "3", "0.5", "0"),
    "datagrid": call("KDdataGrid", "10", "1", "X1", "X2", "1", "Y1", "Y2", "Zv", "Grd", "Nrm", "gI")
    + call("KDdataGrid", "10", "2", "X1", "X1", "5", "Y1", "Y1", "Zv", "Grd", "Nrm", "gJ"),
    "gridfill": call("KDgridFill2D", "Grd", "gI", "Nrm", "sI")
    + call("KDgridFill2D", "Grd", "gI", "", "sJ")
    + set_element("sI", "9", "4")
    + call("KDgridFill2D", "Grd", "gK", "Nrm", "sI"),
    "grid-then-fill": call("KDdataGrid", "10", "1", "X1", "X2", "1", "Y1", "Y2", "Zv", "Grd", "Nrm", "gI")
    + call("KDgridFill2D", "Grd", "gI", "Nrm", "sI"),
    "kill-lsq1d": call("KDdataLSq1D", "A", "Y", "10", "0", "Out", "F", "3", "Out2", "basisKill"),
    "kill-nlinlsq": call("KDdataNLinLSq", "Y", "A", "5", "B", "F", "2", "modelKill", "W"),
    "kill-mqcoef": call("KDdataMqCoef", "Y", "A", "5", "F", "2", "10", "5",
                        "set FuncRet [model 2 dYdA W]; killInterp", "W"),
    "kill-integ": call("KDintegTrap", "integKill", "0", "1", "3", "0.5", "1"),
    "inproc": call("KDarrayMath", "::A", "SQRT", "::A", "Out", "10", inside=True)
    + call("KDdataRnd1", "Out", "10", "P", inside=True),
}


def main():
    target = os.path.join(HERE, "corpus", "script")
    os.makedirs(target, exist_ok=True)
    for name, data in SEEDS.items():
        blob = bytes(b & 0xFF for b in data)
        path = os.path.join(target, "seed-" + name)
        with open(path, "wb") as f:
            f.write(blob)
    workers = os.path.join(HERE, "corpus", "workers")
    os.makedirs(workers, exist_ok=True)
    for worker in range(14):
        for variant in range(3):
            body = bytes([worker] + [(worker * 37 + variant * 91 + i * 13) % 256 for i in range(96)])
            name = "seed-%02d-%d-%s" % (worker, variant, hashlib.sha1(body).hexdigest()[:8])
            with open(os.path.join(workers, name), "wb") as f:
                f.write(body)
    return 0


if __name__ == "__main__":
    sys.exit(main())
