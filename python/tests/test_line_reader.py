"""The Python module against a naive split, with Python's own conventions."""

import array
import bz2
import copy
import gc
import gzip
import multiprocessing
import operator
import pickle
import os
import pathlib
import random
import resource
import shutil
import subprocess
import sys
import threading
import time

import pytest

import line_reader


def naive(data, ends):
    """Lines without their ends; the text after the last end is a line too."""
    if ends == "crlf":
        lines = data.split(b"\r\n")
    else:
        lines = [line[:-1] if line.endswith(b"\r") else line for line in data.split(b"\n")[:-1]]
        lines.append(data.split(b"\n")[-1])
    if lines and lines[-1] == b"":
        lines.pop()
    return lines


def shapes():
    rng = random.Random(22)
    texts = [b"", b"a", b"\n", b"\r", b"\r\n", b"a\r\nb\n", b"\n" * 300, b"x" * 70000 + b"\r\n"]
    for size in (1, 17, 64, 65, 300, 5000, 70000):
        texts.append(bytes(rng.choice(b"ab\r\n\r\n \0z") for _ in range(size)))
    return texts


@pytest.mark.parametrize("ends", ["lf", "crlf"])
def test_matches_a_naive_split(tmp_path, ends):
    for number, data in enumerate(shapes()):
        path = tmp_path / f"{number}.txt"
        path.write_bytes(data)
        want = naive(data, ends)
        for lines in (
            line_reader.IndexedFile(path, ends=ends),
            line_reader.IndexedFile.from_bytes(data, ends=ends),
            line_reader.FileIndex.build(str(path), ends=ends, threads=3),
        ):
            assert len(lines) == len(want), (number, type(lines))
            assert lines[:] == want, (number, type(lines))
        f = line_reader.IndexedFile(str(path), ends=ends)
        assert list(f) == want
        assert [bytes(f.view(i)) for i in range(len(f))] == want


def test_slices_and_negative_indices():
    data = b"".join(b"line %d\n" % i for i in range(50))
    want = naive(data, "lf")
    for lines in (line_reader.IndexedFile.from_bytes(data),):
        for index in (0, 1, 49, -1, -50):
            assert lines[index] == want[index]
        for part in (slice(10, 20), slice(-5, None), slice(None, None, 7), slice(40, 10, -3), slice(60, 70)):
            assert lines[part] == want[part]
        assert lines.line(1) == want[0] and lines.line(50) == want[49]
        for bad in (50, -51):
            with pytest.raises(IndexError):
                lines[bad]
        with pytest.raises(IndexError):
            lines.line(0)


def test_file_index_slices_spans_save_and_load(tmp_path):
    data = b"".join(b"%d,%s\r\n" % (i, b"x" * (i % 13)) for i in range(2000))
    path = tmp_path / "data.csv"
    path.write_bytes(data)
    want = naive(data, "lf")
    index = line_reader.FileIndex.build(path)
    assert index[-1] == want[-1] and index[100:110] == want[100:110] and index[::500] == want[::500]
    offset, length = index.span(7)
    assert data[offset : offset + length] == want[7]
    with pytest.raises(IndexError):
        index[len(want)]
    saved = tmp_path / "data.idx"
    index.save(saved)
    loaded = line_reader.FileIndex.load(saved, path)
    assert loaded[:] == want
    assert (loaded.longest_line, loaded.longest_length) == (index.longest_line, index.longest_length)


def test_refresh_after_an_append(tmp_path):
    path = tmp_path / "app.log"
    path.write_bytes(b"one\ntwo\nthr")
    index = line_reader.FileIndex.build(path)
    assert index.refresh() == "none"
    with open(path, "ab") as log:
        log.write(b"ee\nfour\n")
    assert index.refresh() == "appended"
    assert index[:] == [b"one", b"two", b"three", b"four"]
    path.write_bytes(b"new\n")
    assert index.refresh() == "replaced" and index[:] == [b"new"]


def in_a_child(work):
    """Runs work() in a forked child; its exit status."""
    pid = os.fork()
    if pid == 0:
        try:
            os._exit(work())
        except BaseException:
            os._exit(99)
    return os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])


def test_each_exception(tmp_path):
    with pytest.raises(FileNotFoundError):
        line_reader.IndexedFile(tmp_path / "missing")
    with pytest.raises(FileNotFoundError):
        line_reader.FileIndex.build(str(tmp_path / "missing"))
    with pytest.raises(IsADirectoryError):
        line_reader.IndexedFile(tmp_path)
    garbage = tmp_path / "garbage.idx"
    garbage.write_bytes(b"not an index at all" * 10)
    text = tmp_path / "text.txt"
    text.write_bytes(b"a\nb\n")
    with pytest.raises(line_reader.Error, match="damaged or not an index") as raised:
        line_reader.FileIndex.load(garbage, text)
    assert isinstance(raised.value, OSError)
    with pytest.raises(ValueError):
        line_reader.IndexedFile(text, ends="cr")

    # A file its owner alone may read, tried as another user (root reads anything).
    text.chmod(0o600)

    def denied():
        if os.geteuid() == 0:
            os.setuid(65534)
        try:
            line_reader.IndexedFile(text)
        except PermissionError:
            return 0
        return 1

    assert in_a_child(denied) == 0

    # No room in the address space for the text.
    big = tmp_path / "big.txt"
    with open(big, "wb") as sparse:
        sparse.truncate(4 << 30)

    def no_memory():
        resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))
        try:
            line_reader.IndexedFile(big)
        except MemoryError:
            return 0
        return 1

    assert in_a_child(no_memory) == 0


def test_a_view_outlives_its_file():
    f = line_reader.IndexedFile.from_bytes(b"first\nsecond line\nthird\n")
    view = f.view(1)
    del f
    gc.collect()
    assert view.readonly and bytes(view) == b"second line"


def test_the_build_lets_other_threads_run(tmp_path):
    path = tmp_path / "zeros"
    with open(path, "wb") as sparse:
        sparse.truncate(1 << 30)
    count = 0
    done = False

    def spin():
        nonlocal count
        while not done:
            count += 1

    thread = threading.Thread(target=spin)
    thread.start()
    try:
        before = count
        line_reader.FileIndex.build(path, threads=1)
        during = count - before
    finally:
        done = True
        thread.join()
    assert during > 1000


def test_a_progress_exception_cancels_and_propagates(tmp_path):
    path = tmp_path / "zeros"
    with open(path, "wb") as sparse:
        sparse.truncate(64 << 20)
    calls = []

    def progress(done, total):
        calls.append((done, total))
        raise KeyError("stop")

    with pytest.raises(KeyError, match="stop"):
        line_reader.FileIndex.build(pathlib.Path(path), threads=1, progress=progress)
    assert len(calls) == 1 and calls[0][1] == 64 << 20


def counted_lines(first, stop):
    return b"".join(b"%d\n" % k for k in range(first, stop))


def test_one_index_read_while_another_thread_refreshes(tmp_path):
    # Appends, rotations and saves on one thread; lookups on two others.
    # Every line k reads b"k", whatever the refresh has reached.
    path = tmp_path / "app.log"
    path.write_bytes(counted_lines(0, 1000))
    index = line_reader.FileIndex.build(path, threads=2)
    stop = time.monotonic() + 3
    wrong = []
    # Threads switched often: 2.2.0 crashed in under 2 s every time.
    switch = sys.getswitchinterval()
    sys.setswitchinterval(1e-4)

    def read():
        rng = random.Random()
        while time.monotonic() < stop:
            count = len(index)
            k = rng.randrange(count)
            try:
                line, (offset, length) = index[k], index.span(k)
                lines = index[k : k + 50 : 7]
            except (IndexError, line_reader.Error):  # a rotation meanwhile: the file is shorter
                continue
            if line != b"%d" % k or length != len(line) or lines != [b"%d" % i for i in range(k, k + 50, 7)][: len(lines)]:
                wrong.append((k, line, offset, length))

    readers = [threading.Thread(target=read) for _ in range(2)]
    for reader in readers:
        reader.start()
    written, rounds = 1000, 0
    while time.monotonic() < stop:
        rounds += 1
        if rounds % 5 == 0:
            written = 500
            path.write_bytes(counted_lines(0, written))
        else:
            with open(path, "ab") as log:
                log.write(counted_lines(written, written + 100))
            written += 100
        index.refresh()
        if rounds % 7 == 0:
            index.save(tmp_path / "app.idx")
    for reader in readers:
        reader.join()
    sys.setswitchinterval(switch)
    assert not wrong and len(index) == written


def test_the_progress_callback_during_a_refresh(tmp_path):
    # A nested refresh, the callback's own exceptions (Ctrl-C among them),
    # and a bound method of the index's owner: a cycle through the index.
    path = tmp_path / "grows.log"
    armed = []

    def progress(done, total):
        if armed:
            armed[0]()

    def interrupt():
        raise KeyboardInterrupt

    for act, raised in ((lambda: index.refresh(), "being refreshed"), (interrupt, ""), (lambda: {}[0], "0")):
        path.write_bytes(b"a\n")
        armed.clear()
        index = line_reader.FileIndex.build(path, threads=1, progress=progress)
        with open(path, "ab") as log:
            log.truncate(64 << 20)
        armed.append(act)
        with pytest.raises((RuntimeError, KeyboardInterrupt, KeyError), match=raised):
            index.refresh()
        assert (len(index), index.indexed_bytes) == (1, 2)
        armed.clear()
        assert index.refresh() == "appended" and index.indexed_bytes == 64 << 20

    class Owner:
        def __init__(self):
            self.index = line_reader.FileIndex.build(path, progress=self.progress)

        def progress(self, done, total):
            return True

    gc.collect()
    before = len(os.listdir("/proc/self/fd"))
    for _ in range(50):
        Owner()
    gc.collect()
    assert len(os.listdir("/proc/self/fd")) == before


@pytest.mark.parametrize("ends", ["lf", "crlf"])
def test_a_gzip_file_read_by_its_text(tmp_path, ends):
    data = b"".join(shapes())
    path = tmp_path / "text.gz"
    path.write_bytes(gzip.compress(data[: len(data) // 2]) + gzip.compress(data[len(data) // 2 :]))
    index = line_reader.FileIndex.build(path, ends=ends)
    assert (index.compression, index.indexed_bytes) == ("gzip", len(data))
    assert list(index) == naive(data, ends)
    index.save(tmp_path / "text.idx")
    assert list(line_reader.FileIndex.load(tmp_path / "text.idx", path, ends=ends)) == naive(data, ends)
    assert list(line_reader.IndexedFile(path, ends=ends)) == naive(data, ends)


@pytest.mark.parametrize("ends", ["lf", "crlf"])
def test_lines_in_bulk_parts_and_samples(tmp_path, ends):
    data = b"".join(shapes()) + b"".join(b"line %d\r\n" % i for i in range(3000))
    path = tmp_path / "text.txt"
    path.write_bytes(data)
    lines = naive(data, ends)
    index = line_reader.FileIndex.build(path, ends=ends)
    # Offsets of each line by the naive split: where each starts in the data.
    offsets, at = [], 0
    for line in lines:
        offsets.append(at)
        at += len(line)
        at += 2 if data[at : at + 2] == b"\r\n" else (1 if ends == "lf" and data[at : at + 1] == b"\n" else 0)
    rng = random.Random(5)
    asked = [rng.randrange(-len(lines), len(lines)) for _ in range(500)]
    assert index.lines(asked) == [lines[k] for k in asked]
    assert index.lines(array.array("q", asked[:50])) == [lines[k] for k in asked[:50]]
    assert index.lines(range(10, 20)) == lines[10:20]
    with pytest.raises(IndexError):
        index.lines([len(lines)])
    assert list(index) == lines
    first, stop = len(lines) // 3, len(lines) // 2
    assert index.read(first, stop) == data[offsets[first] : offsets[stop]]
    assert index.read(5, 5) == b""
    got_offsets, got_lengths = index.spans()
    assert list(got_offsets) == offsets and list(got_lengths) == [len(line) for line in lines]
    for by in ("lines", "bytes"):
        parts = index.split(7, by=by)
        assert [p[0] for p in parts[1:]] == [p[1] for p in parts[:-1]] and (parts[0][0], parts[-1][1]) == (0, len(lines))
        assert sum(p[3] for p in parts) == len(data) and parts[0][2] == 0
        if by == "lines":
            assert max(p[1] - p[0] for p in parts) - min(p[1] - p[0] for p in parts) <= 1
    sample = index.sample(100, seed=3)
    assert sample == index.sample(100, seed=3) and sample == sorted(set(sample)) and 0 <= sample[0] and sample[-1] < len(lines)
    assert sorted(index.sample(len(lines))) == list(range(len(lines)))


def test_an_index_pickled_to_spawned_workers(tmp_path):
    path = tmp_path / "text.txt"
    path.write_bytes(b"".join(b"record %d\n" % i for i in range(20000)))
    index = line_reader.FileIndex.build(path)
    with multiprocessing.get_context("spawn").Pool(2) as pool:
        got = pool.starmap(operator.getitem, [(index, k) for k in (0, 777, 19999)])
    assert got == [b"record 0", b"record 777", b"record 19999"]
    assert copy.deepcopy(index)[5] == b"record 5" and copy.copy(index)[-1] == b"record 19999"
    pickled = pickle.dumps(index)
    with open(path, "r+b") as f:
        f.write(b"RECORD")
    with pytest.raises(line_reader.Error, match="another file|changed"):
        pickle.loads(pickled)
    with pytest.raises(TypeError, match="FileIndex"):
        pickle.dumps(line_reader.IndexedFile(path))


def test_a_dask_bag_of_exact_line_ranges(tmp_path):
    dask_bag = pytest.importorskip("dask.bag")
    import line_reader.dask

    data = b"".join(b"row %d\n" % i for i in range(10007)) + b"no end"
    path = tmp_path / "rows.txt"
    path.write_bytes(data)
    saved = tmp_path / "rows.idx"
    for parts in ({"npartitions": 4}, {"lines_per_partition": 999}):
        bag = line_reader.dask.read_lines(path, index_path=saved, **parts)
        assert bag.count().compute(scheduler="processes") == 10008
        # A bag made from it counts its own elements, not the file's lines.
        assert bag.filter(lambda line: line.endswith(b"7")).count().compute(scheduler="sync") == 1000
        assert bag.compute(scheduler="processes") == naive(data, "lf")
        firsts = bag.map_partitions(lambda part: [(part.first, len(part))]).compute(scheduler="sync")
        assert [first for first, _ in firsts] == [sum(n for _, n in firsts[:k]) for k in range(len(firsts))]
    assert isinstance(bag, dask_bag.Bag) and bag.npartitions == 11
    # Changed after the bag was made: each worker's index finds it out.
    with open(path, "r+b") as f:
        f.write(b"ROW")
    with pytest.raises(line_reader.Error):
        bag.compute(scheduler="processes")
    assert line_reader.dask.read_lines(path, index_path=saved).compute(scheduler="sync")[0] == b"ROW 0"


def test_one_cache_for_lines_and_python(tmp_path, monkeypatch):
    lines = os.environ.get("LINE_READER_LINES")
    if not lines:
        pytest.skip("LINE_READER_LINES names no lines program")
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path / "cache"))
    path = tmp_path / "text.txt"
    path.write_bytes(b"".join(b"line %d\n" % i for i in range(5000)))
    # An entry that lines made, used by Python: pickled as its saved index's path.
    subprocess.run([lines, "-c", str(path)], check=True, capture_output=True)
    index = line_reader.FileIndex.cached(path)
    assert index[4999] == b"line 4999" and index.__reduce__()[0] is line_reader._index_from_saved_path
    # And the reverse: an entry that Python made, loaded by lines.
    shutil.rmtree(tmp_path / "cache")
    assert len(line_reader.FileIndex.cached(path)) == 5000
    said = subprocess.run([lines, "-v", str(path), "17"], check=True, capture_output=True)
    assert said.stdout == b"line 16\n" and b"index loaded from" in said.stderr


def test_python_s_own_errors(tmp_path):
    text = tmp_path / "text.txt"
    text.write_bytes(b"a\nb\n")
    index = line_reader.FileIndex.build(text)
    f = line_reader.IndexedFile(text)
    saved = tmp_path / "text.idx"
    index.save(saved)
    (tmp_path / "folder").mkdir()
    crlf = tmp_path / "crlf.idx"
    line_reader.FileIndex.build(text, ends="crlf").save(crlf)
    compressed = tmp_path / "text.bz2"
    compressed.write_bytes(bz2.compress(b"a\nb\n"))
    cases = [
        (lambda: line_reader.FileIndex.build(f"{text}\0.csv"), ValueError, "null", None),
        (lambda: line_reader.IndexedFile(f"{text}\0.csv"), ValueError, "null", None),
        (lambda: index.save(f"{saved}\0.tmp"), ValueError, "null", None),
        (lambda: index[2**63], IndexError, "range", None),
        (lambda: index[2**64], IndexError, "range", None),
        (lambda: index[-(2**64)], IndexError, "range", None),
        (lambda: index.span(2**64), IndexError, "range", None),
        (lambda: f[2**64], IndexError, "range", None),
        (lambda: f.line(2**64), IndexError, "range", None),
        (lambda: index.save(tmp_path / "nothere" / "x.idx"), FileNotFoundError, "", tmp_path / "nothere" / "x.idx"),
        (lambda: index.save(tmp_path / "folder"), IsADirectoryError, "", tmp_path / "folder"),
        (lambda: line_reader.FileIndex.load(tmp_path / "none.idx", text), FileNotFoundError, "", tmp_path / "none.idx"),
        (lambda: line_reader.FileIndex.load(tmp_path / "folder", text), IsADirectoryError, "", tmp_path / "folder"),
        (lambda: line_reader.FileIndex.load(crlf, text), line_reader.Error, "other line ends", None),
        (lambda: line_reader.FileIndex.build(compressed), line_reader.Error, "compressed", None),
        (lambda: line_reader.IndexedFile(compressed), line_reader.Error, "compressed", None),
    ]
    for number, (call, kind, message, names) in enumerate(cases):
        with pytest.raises(kind, match=message) as raised:
            call()
        if names is not None:
            assert raised.value.filename == str(names), number
    assert line_reader.IndexedFile(compressed, raw=True)[:] == naive(compressed.read_bytes(), "lf")
    text.unlink()
    text.mkdir()
    with pytest.raises(IsADirectoryError) as raised:
        index.refresh()
    assert raised.value.filename == str(text)


def test_a_save_onto_a_full_file_system(tmp_path):
    # A tmpfs of 64 KiB, where one can be mounted (root, in a mount namespace).
    if shutil.which("unshare") is None:
        pytest.skip("no unshare here")
    text = tmp_path / "text.txt"
    text.write_bytes(counted_lines(0, 200_000))
    full = tmp_path / "full"
    full.mkdir()
    script = (
        "import errno, line_reader, sys\n"
        "try:\n"
        f"    line_reader.FileIndex.build({str(text)!r}).save({str(full / 'x.idx')!r})\n"
        "except OSError as e:\n"
        "    sys.exit(0 if e.errno == errno.ENOSPC and 'space' in str(e) else 3)\n"
        "sys.exit(4)\n"
    )
    mount = f"mount -t tmpfs -o size=64k tmpfs '{full}' || exit 77; exec '{sys.executable}' -c \"$0\""
    result = subprocess.run(["unshare", "--mount", "sh", "-c", mount, script], capture_output=True)
    if result.returncode == 77 or b"unshare failed" in result.stderr or b"Operation not permitted" in result.stderr:
        pytest.skip("no file system can be mounted here")
    assert result.returncode == 0, result.stderr
