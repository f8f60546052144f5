#!/usr/bin/env python3
"""The Python module's figures on bench/compare.sh's 1 GiB prose file, in one run:

  - FileIndex.build from Python beside the C++ build (bench/index_file --file-index, a whole
    process, best of 5 each);
  - 1,000 random idx[n], in lines a second, beside itertools.islice and linecache.getline for
    the same first 10 of those lines;
  - IndexedFile(path) then len(), beside sum(1 for _ in open(path, 'rb'));
  - the data workflows' figures: a pickle round trip of the index beside its build, iterating
    every line beside open(path, 'rb'), lines() of 10,000 random indices beside a loop of
    idx[k], and spans() of every line beside the build.

Usage: python bench/python_bench.py [BUILD_DIR]   (default build/default; run with the Python
that has line_reader installed, and after bench/compare.sh has written the file)
"""

import itertools
import linecache
import os
import pickle
import random
import subprocess
import sys
import time

import line_reader

build = sys.argv[1] if len(sys.argv) > 1 else "build/default"
path = os.path.join(os.environ.get("TMPDIR", "/tmp"), "line_reader_compare_1GiB_log.txt")
if not os.path.exists(path):
    sys.exit(f"{path} is missing: run bench/compare.sh first")
subprocess.run(["cat", path], stdout=subprocess.DEVNULL, check=True)  # into the page cache


def best(work, runs=5):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        result = work()
        times.append(time.perf_counter() - start)
    return min(times), result


tool = os.path.join(build, "bench", "index_file")
cpp, _ = best(lambda: subprocess.run([tool, "--file-index", path], stdout=subprocess.DEVNULL, check=True))
python, index = best(lambda: line_reader.FileIndex.build(path))
print(f"FileIndex.build: Python {python * 1000:.1f} ms, C++ (whole process) {cpp * 1000:.1f} ms, "
      f"ratio {python / cpp:.3f}")

rng = random.Random(23)
numbers = [rng.randrange(len(index)) for _ in range(1000)]
spent, _ = best(lambda: [index[n] for n in numbers])
print(f"1,000 random idx[n]: {spent * 1e6 / 1000:.2f} us each, {1000 / spent:,.0f} lines a second")

sample = numbers[:10]
start = time.perf_counter()
with open(path, "rb") as text:
    for n in sample:
        text.seek(0)
        assert next(itertools.islice(text, n, n + 1)).rstrip(b"\r\n") == index[n]
islice = time.perf_counter() - start
start = time.perf_counter()
for n in sample:
    linecache.getline(path, n + 1)
getline = time.perf_counter() - start
linecache.clearcache()
print(f"the same first 10 lines: islice {islice:.2f} s, linecache.getline {getline:.2f} s, idx[n] "
      f"{spent / 100 * 1000:.3f} ms")

owner, count = best(lambda: len(line_reader.IndexedFile(path)), runs=3)
start = time.perf_counter()
with open(path, "rb") as text:
    naive = sum(1 for _ in text)
iterated = time.perf_counter() - start
print(f"IndexedFile(path) then len(): {owner * 1000:.1f} ms ({count} lines); sum(1 for _ in open()) "
      f"{iterated * 1000:.1f} ms ({naive} lines); ratio {owner / iterated:.3f}")

built, index = best(lambda: line_reader.FileIndex.build(path))
pickled, _ = best(lambda: pickle.loads(pickle.dumps(index)))
print(f"pickle round trip: {pickled * 1000:.1f} ms, build {built * 1000:.1f} ms, ratio {pickled / built:.3f}")
iterated_index, _ = best(lambda: sum(1 for _ in index), runs=3)
iterated_file, _ = best(lambda: sum(1 for _ in open(path, "rb")), runs=3)
print(f"every line: for line in idx {iterated_index * 1000:.0f} ms, for line in open() "
      f"{iterated_file * 1000:.0f} ms, ratio {iterated_index / iterated_file:.3f}")
many = [rng.randrange(len(index)) for _ in range(10000)]
looped, _ = best(lambda: [index[k] for k in many])
bulk, _ = best(lambda: index.lines(many))
print(f"10,000 random lines: idx.lines() {bulk * 1000:.1f} ms ({10000 / bulk:,.0f} lines a second), "
      f"a loop of idx[k] {looped * 1000:.1f} ms: {looped / bulk:.2f} times as fast")
spanned, _ = best(lambda: index.spans())
print(f"spans() of every line: {spanned * 1000:.1f} ms, build {built * 1000:.1f} ms, ratio {spanned / built:.3f}")
