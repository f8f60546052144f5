#!/usr/bin/env python3
"""The Python module's figures on bench/compare.sh's 1 GiB prose file, in one run:

  - FileIndex.build from Python beside the C++ build (bench/index_file --file-index, a whole
    process, best of 5 each);
  - 1,000 random idx[n], in lines a second, beside itertools.islice and linecache.getline for
    the same first 10 of those lines;
  - IndexedFile(path) then len(), beside sum(1 for _ in open(path, 'rb'));
  - the data workflows' figures: a pickle round trip of the index beside its build, iterating
    every line beside open(path, 'rb'), lines() of 10,000 random indices beside a loop of
    idx[k], and spans() of every line beside the build;
  - lines --sample 1000 beside shuf -n 1000 (whole processes, hyperfine), and a Dask bag's count()
    from read_lines beside dask.bag.read_text's, where hyperfine and Dask are installed.

Usage: python bench/python_bench.py [BUILD_DIR]   (default build/default; run with the Python
that has line_reader installed, and after bench/compare.sh has written the file)
"""

import itertools
import json
import linecache
import os
import pickle
import random
import shutil
import subprocess
import sys
import tempfile
import time

import line_reader


def main():
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
    print(f"pickle round trip of the built index (its saved form): {pickled * 1000:.1f} ms, build "
          f"{built * 1000:.1f} ms, ratio {pickled / built:.3f}")
    saved = os.path.join(os.environ.get("TMPDIR", "/tmp"), "line_reader_python_bench.idx")
    index.save(saved)
    loaded = line_reader.FileIndex.load(saved, path)
    pickled_loaded, _ = best(lambda: pickle.loads(pickle.dumps(loaded)))
    print(f"pickle round trip of the loaded index (its saved index's path): {pickled_loaded * 1000:.2f} ms, "
          f"ratio {pickled_loaded / built:.4f}")
    os.remove(saved)
    iterated_index, _ = best(lambda: sum(1 for _ in index), runs=3)
    iterated_file, _ = best(lambda: sum(1 for _ in open(path, "rb")), runs=3)
    print(f"every line: for line in idx {iterated_index * 1000:.0f} ms, for line in open() "
          f"{iterated_file * 1000:.0f} ms, ratio {iterated_index / iterated_file:.3f}")
    many = [rng.randrange(len(index)) for _ in range(10000)]
    looped, _ = best(lambda: [index[k] for k in many])
    bulk, _ = best(lambda: index.lines(many))
    print(f"10,000 random lines: idx.lines() {bulk * 1000:.1f} ms ({10000 / bulk:,.0f} lines a second), "
          f"a loop of idx[k] {looped * 1000:.1f} ms: {looped / bulk:.2f} times as fast")
    floor = subprocess.run([os.path.join(build, "bench", "read_floor"), "--random", "10000", path],
                           capture_output=True, text=True, check=True).stdout.split()
    print(f"  the floor, 10,000 positioned reads of 64 bytes at random offsets in C: {floor[0]} ms on one "
          f"thread, {floor[1]} ms on two")
    spanned, _ = best(lambda: index.spans())
    print(f"spans() of every line: {spanned * 1000:.1f} ms, build {built * 1000:.1f} ms, ratio {spanned / built:.3f}")

    # Whole processes, warm: the index comes from the user's cache after the first run.
    lines_tool = os.path.join(build, "lines", "lines")
    if shutil.which("hyperfine") and os.path.exists(lines_tool):
        def mean_of(command, runs):
            with tempfile.NamedTemporaryFile(suffix=".json") as out:
                subprocess.run(["hyperfine", "-N", "-w", "2", "-r", str(runs), "--export-json", out.name, command],
                               stdout=subprocess.DEVNULL, check=True)
                return json.load(open(out.name))["results"][0]["median"]
        sampled = mean_of(f"{lines_tool} --sample 1000 {path}", 20)
        shuffled = mean_of(f"shuf -n 1000 {path}", 3)
        print(f"lines --sample 1000, warm: {sampled * 1000:.1f} ms, shuf -n 1000 {shuffled * 1000:.0f} ms, "
              f"ratio {sampled / shuffled:.4f}")
    else:
        print("lines --sample: needs hyperfine and the lines program")

    try:
        import dask.bag
        from line_reader.dask import read_lines
    except ImportError:
        print("Dask: not installed (Debian: python3-dask)")
    else:
        bag = read_lines(path)
        counted, lines_count = best(lambda: bag.count().compute(), runs=3)
        baseline, text_count = best(lambda: dask.bag.read_text(path).count().compute(), runs=1)
        assert lines_count == text_count == len(index)
        print(f"Dask count on the default scheduler: read_lines {counted * 1000:.1f} ms, read_text "
              f"{baseline * 1000:.0f} ms, ratio {counted / baseline:.4f}")


# Dask's processes scheduler spawns workers, which import this file again.
if __name__ == "__main__":
    main()
