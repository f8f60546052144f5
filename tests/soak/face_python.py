#!/usr/bin/env python3
"""The soak's worker for the Python module: random changes to real files
(appends of every shape, truncation, rewrites that size and time hide,
rotation, compressed members) and every query of `line_reader`, each answer
compared with the model; steps of threads sharing one object, and of the
user's own hostile paths and values. The protocol is README.md's.

    face_python.py --seed S --seconds N --workdir DIR --log STEPS.jsonl --python-path DIR [...]

Probes that may crash or deadlock the interpreter on purpose run in a child
process (`face_python.py --child NAME PAYLOAD`, the payload as JSON), so
that a hang is told from a crash and the worker goes on past a known one."""

import array
import collections
import copy
import ctypes
import glob
import hashlib
import itertools
import json
import os
import pickle
import random
import socket
import stat
import subprocess
import sys
import tempfile
import threading
import time
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, HERE)

import soaklib  # noqa: E402
from soaklib import Defect  # noqa: E402

# Each slot is one file and the index the worker holds of it. xz files get
# one stream each: a second stream is the xz_streams op's alone, so that its
# known defect has one signature instead of one for every query.
FORMS = ("plain", "plain", "gzip", "zstd", "xz")
SUFFIX = {"plain": ".log", "gzip": ".log.gz", "zstd": ".log.zst", "xz": ".log.xz"}
# A slot larger than this is rotated instead of grown: the model splits it often.
MOST_BYTES = 6 << 20
# A probe's time limit: each takes well under a second unless it is stuck.
CHILD_SECONDS = 10


# The model --------------------------------------------------------------------


def lines_of(text, ends):
    """The lines without their ends: an LF ends a line with "lf" (a CR just
    before it is part of the end, any other CR part of the line), CR LF alone
    with "crlf"; text after the last end is a line."""
    out = []
    for piece in soaklib.split_with_ends(text, ends):
        if piece.endswith(b"\r\n"):
            piece = piece[:-2]
        elif ends == "lf" and piece.endswith(b"\n"):
            piece = piece[:-1]
        out.append(piece)
    return out


def offsets_of(text, ends):
    at, out = 0, []
    for piece in soaklib.split_with_ends(text, ends):
        out.append(at)
        at += len(piece)
    return out


def some_bytes(r):
    """Bytes of a random shape and size, mostly small, now and then a MiB."""
    shape = r.choice(soaklib.SHAPES)
    size = r.randrange(*r.choice([(1, 64), (64, 4096), (4096, 1 << 17), (1 << 17, 1 << 20)]))
    if shape == "binary":
        size = min(size, 1 << 16)  # made a byte at a time
    elif shape == "long_line" and r.random() < 0.2:
        size = r.randrange(1 << 20, 3 << 20)
    return soaklib.make_bytes(r.getrandbits(32), size, shape)


def brief(value, most=300):
    text = repr(value)
    return text if len(text) <= most else text[:most] + f"... ({len(text)} chars)"


def same(got, want, what):
    if got != want:
        if isinstance(got, list) and isinstance(want, list):
            k = next((k for k, (g, w) in enumerate(zip(got, want)) if g != w), min(len(got), len(want)))
            raise Defect("wrong", f"{what}: {len(got)} lines, want {len(want)}; first difference at {k}: "
                                  f"got {brief(got[k:k + 2])}, want {brief(want[k:k + 2])}")
        raise Defect("wrong", f"{what}: got {brief(got)}, want {brief(want)}")


def digest(lines):
    h = hashlib.sha256()
    for line in lines:
        h.update(len(line).to_bytes(8, "little") + line)
    return h.hexdigest()


# Files and the indexes held of them ----------------------------------------------


class Slot:
    """A file the soak writes, and the bytes it wrote there."""

    def __init__(self, work, number):
        self.form = FORMS[number]
        self.path = os.path.join(work, f"s{number}{SUFFIX[self.form]}")
        self.raw = b""
        self._text = None

    def exists(self):
        return os.path.exists(self.path)

    def set_raw(self, raw):
        self.raw, self._text = raw, None

    def text(self, raw_mode=False):
        if raw_mode or self.form == "plain":
            return self.raw
        if self._text is None:
            self._text = soaklib.decompress(self.raw, self.form) if self.raw else b""
        return self._text

    def ident(self):
        st = os.stat(self.path)
        return st.st_dev, st.st_ino

    def member(self, data, r):
        """`data` as this slot's form writes it."""
        if self.form == "gzip" and r.random() < 0.3:
            return soaklib.raw_deflate_member(data)
        return soaklib.compress(data, self.form, r) if self.form != "plain" else data


class Held:
    """A FileIndex and what it must answer: the text it describes, while its
    file has only grown or was renamed away (then it reads the old file);
    after a change in place (`dirty`) its lookups may fail or read anything."""

    def __init__(self, index, slot, ends, raw):
        self.index, self.slot, self.ends, self.raw = index, slot, ends, raw
        self.mark_current()

    def mark_current(self):
        self.text = self.slot.text(self.raw)
        self.raw_seen = self.slot.raw
        self.ident = self.slot.ident()
        self.dirty = False
        self._lines = None

    @property
    def lines(self):
        if self._lines is None:
            self._lines = lines_of(self.text, self.ends)
        return self._lines

    def current_lines(self):
        return lines_of(self.slot.text(self.raw), self.ends)


# Children: probes that may crash or hang the interpreter ----------------------------


def child_pickle_refresh(p):
    """pickle.dumps or copy.copy on one thread while another refreshes with a
    progress callback; a stuck thread prints nothing and the parent's time
    limit tells the hang."""
    import line_reader

    with open(p["path"], "wb") as f:
        f.write(b"first\n")
    calls = []
    index = line_reader.FileIndex.build(p["path"], threads=1, progress=lambda done, total: calls.append(done))
    with open(p["path"], "ab") as f:
        f.write(b"".join(b"line %d of the appended part\n" % k for k in range(p["lines"])))
    done = {}

    def refresh():
        done["refresh"] = index.refresh()

    def take_copies():
        n = 0
        while "refresh" not in done or n < 3:
            (copy.copy if p["copy"] else pickle.dumps)(index)
            n += 1
        done["copies"] = n

    threads = [threading.Thread(target=refresh, daemon=True), threading.Thread(target=take_copies, daemon=True)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(p["seconds"])
    if any(t.is_alive() for t in threads):
        print(json.dumps({"stuck": [t.is_alive() for t in threads], "calls": len(calls)}), flush=True)
        os._exit(0)
    print(json.dumps({"refresh": done.get("refresh"), "count": len(pickle.loads(pickle.dumps(index))),
                      "copies": done.get("copies"), "calls": len(calls)}), flush=True)
    os._exit(0)


UNMADE_CALLS = (
    ("len", lambda o, p: len(o)), ("getitem", lambda o, p: o[0]), ("span", lambda o, p: o.span(0)),
    ("iter", lambda o, p: next(iter(o))), ("lines", lambda o, p: o.lines([0])), ("read", lambda o, p: o.read()),
    ("spans", lambda o, p: o.spans()), ("split", lambda o, p: o.split(2)), ("sample", lambda o, p: o.sample(0, 1)),
    ("longest_line", lambda o, p: o.longest_line), ("indexed_bytes", lambda o, p: o.indexed_bytes),
    ("compression", lambda o, p: o.compression), ("refresh", lambda o, p: o.refresh()),
    ("save", lambda o, p: o.save(p["save"])), ("pickle", lambda o, p: pickle.dumps(o)),
    ("copy", lambda o, p: copy.copy(o)),
)


def child_unmade(p):
    """One method of a FileIndex that __new__ made and no constructor finished."""
    import line_reader

    kind = line_reader.FileIndex
    if p["subclass"]:
        kind = type("Sub", (line_reader.FileIndex,), {})
    try:
        got = dict(UNMADE_CALLS)[p["method"]](kind.__new__(kind), p)
        outcome = f"returned {brief(got, 80)}"
    except TypeError:
        outcome = "TypeError"
    except Exception as e:
        outcome = f"raised {type(e).__name__}: {brief(str(e), 120)}"
    print(json.dumps({"outcome": outcome}), flush=True)
    os._exit(0)


def child_nofile(p):
    """A Dask bag of a few hundred partitions computed under a low limit of
    open files."""
    import resource

    import line_reader.dask

    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (min(p["limit"], hard), hard))
    try:
        bag = line_reader.dask.read_lines(p["path"], lines_per_partition=p["per_part"], ends=p["ends"],
                                          index_path=p["index_path"])
        got = bag.compute(scheduler=p["scheduler"])
        print(json.dumps({"partitions": bag.npartitions, "count": len(got), "digest": digest(got)}), flush=True)
    except Exception as e:
        print(json.dumps({"error": f"{type(e).__name__}: {e}"}), flush=True)
    os._exit(0)


CHILDREN = {"pickle_refresh": child_pickle_refresh, "unmade": child_unmade, "nofile": child_nofile}


# The worker --------------------------------------------------------------------------


class PythonWorker(soaklib.Worker):
    face = "python"

    def __init__(self):
        super().__init__()
        self.so = self.find_module()
        self.start_afresh()
        sys.path.insert(0, self.pkg)
        global line_reader
        import line_reader

        try:
            import line_reader.dask  # noqa: F401

            self.has_dask = True
        except ImportError:  # Dask is not there: its ops do nothing
            self.has_dask = False

    def find_module(self):
        where = self.args.python_path or os.path.join(self.args.build or "", "python")
        found = sorted(glob.glob(os.path.join(where, "_line_reader*.so")))
        if not found:
            sys.exit(f"face_python: no _line_reader module in {where}")
        return os.path.abspath(found[0])

    def start_afresh(self):
        """The package (the source's Python files beside the built module, as
        an install lays them out), the temporary folder and the slots, new."""
        self.pkg = os.path.join(self.work, "pkg")
        package = os.path.join(self.pkg, "line_reader")
        os.makedirs(package, exist_ok=True)
        for source in glob.glob(os.path.join(ROOT, "python", "line_reader", "*.py")) + [self.so]:
            target = os.path.join(package, os.path.basename(source))
            if not os.path.lexists(target):
                os.symlink(source, target)
        # Scratch files of pickling and the Dask reader's saved indexes land
        # here, and go with the workdir.
        self.tmp = os.path.join(self.work, "tmp")
        os.makedirs(self.tmp, exist_ok=True)
        os.environ["TMPDIR"] = tempfile.tempdir = self.tmp
        os.environ["PYTHONPATH"] = self.pkg
        self.slots = [Slot(self.work, k) for k in range(len(FORMS))]
        self.held = {}

    def reset(self):
        self.held.clear()
        super().reset()
        self.start_afresh()

    # Steps ---------------------------------------------------------------

    def generate(self, rng):
        op = rng.choices(list(OPS), weights=[w for w, _ in OPS.values()])[0]
        return {"op": op, "slot": rng.randrange(len(FORMS)), "seed": rng.getrandbits(40)}

    def execute(self, step):
        r = random.Random(step["seed"])
        slot = self.slots[step["slot"] % len(self.slots)]
        try:
            OPS[step["op"]][1](self, slot, r)
        except Defect:
            raise
        except Exception as e:
            # Whatever the model did not allow for: the module's failure, or
            # the soak's own (the traceback tells which).
            raise Defect("status", f"{e!r}\n{traceback.format_exc()[-2500:]}") from e

    def start_child(self, name, payload):
        """A probe in a child process, its payload given."""
        return subprocess.Popen([sys.executable, os.path.abspath(__file__), "--child", name, json.dumps(payload)],
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    def child_outcome(self, proc, name, timeout=CHILD_SECONDS):
        """A probe's JSON lines. A signal is a crash, a run over `timeout` a hang."""
        try:
            stdout, stderr = proc.communicate(timeout=timeout)
        except subprocess.TimeoutExpired as e:
            proc.kill()
            proc.communicate()
            raise Defect("hang", f"{name} ran over {timeout} s") from e
        out = [json.loads(line) for line in stdout.splitlines() if line.startswith(b"{")]
        if proc.returncode < 0 or proc.returncode == soaklib.SANITIZER_STATUS:
            raise Defect("crash", f"{name}: status {proc.returncode} after {brief(out, 1000)}: "
                                  f"{stderr[-1500:].decode('utf-8', 'replace')}")
        if proc.returncode != 0:
            raise RuntimeError(f"the {name} probe failed: {stderr[-2000:].decode('utf-8', 'replace')}")
        return out

    def child(self, name, payload, timeout=CHILD_SECONDS):
        return self.child_outcome(self.start_child(name, payload), name, timeout)

    def ensure(self, slot, r):
        """The slot's file, made when it is not there."""
        if not slot.exists():
            self.write_new(slot, r)

    def write_new(self, slot, r):
        raw = slot.member(some_bytes(r), r)
        soaklib.write_file(slot.path, b"")
        soaklib.append_small(slot.path, raw, r.choice([1, 512, 4096, 65536]))
        slot.set_raw(raw)

    def index_of(self, slot, r):
        """The index held of the slot's file, built when there is none."""
        self.ensure(slot, r)
        h = self.held.get(slot.path)
        if h is None:
            self.build(slot, r)
            h = self.held[slot.path]
        return h

    def dirty_in_place(self, slot):
        ident = slot.ident()
        for h in self.held.values():
            if h.slot is slot and h.ident == ident:
                h.dirty = True

    # File changes ------------------------------------------------------------

    def append(self, slot, r):
        if not slot.exists() or len(slot.raw) > MOST_BYTES:
            return self.rotate(slot, r)
        data = some_bytes(r)
        if slot.form == "xz":  # one stream, rewritten in place
            raw = soaklib.compress(slot.text() + data, "xz", r)
            self.dirty_in_place(slot)
            soaklib.write_file(slot.path, raw)
            return slot.set_raw(raw)
        more = slot.member(data, r)
        soaklib.append_small(slot.path, more, r.choice([1, 7, 512, 4096, 65536]))
        slot.set_raw(slot.raw + more)

    def truncate(self, slot, r):
        self.ensure(slot, r)
        if slot.form != "plain":  # a cut member is damaged data: a new one in place
            raw = slot.member(some_bytes(r), r)
            self.dirty_in_place(slot)
            soaklib.write_file(slot.path, raw)
            return slot.set_raw(raw)
        if not slot.raw:
            return
        # Strictly shorter: a truncation to the same size keeps the change time.
        size = r.randrange(len(slot.raw))
        self.dirty_in_place(slot)
        os.truncate(slot.path, size)
        slot.set_raw(slot.raw[:size])

    def rewrite(self, slot, r):
        """Same size, other bytes, the old modification time put back."""
        self.ensure(slot, r)
        if slot.form != "plain" or not slot.raw:
            return
        st = os.stat(slot.path)
        at = r.randrange(len(slot.raw))
        patch = bytes([r.choice(b"xyz\n\r")]) * min(r.randint(1, 16), len(slot.raw) - at)
        self.dirty_in_place(slot)
        with open(slot.path, "r+b") as f:
            f.seek(at)
            f.write(patch)
        os.utime(slot.path, ns=(st.st_atime_ns, st.st_mtime_ns))
        slot.set_raw(slot.raw[:at] + patch + slot.raw[at + len(patch):])

    def rotate(self, slot, r):
        """Renamed away, made anew empty, then filled; now and then the new
        name is a symbolic link to the new file."""
        if os.path.lexists(slot.path):
            os.replace(slot.path, slot.path + ".1")
        if r.random() < 0.2:
            target = slot.path + f".target{r.randrange(2)}"
            if os.path.lexists(target):
                os.unlink(target)
            soaklib.write_file(target, b"")
            os.symlink(os.path.basename(target), slot.path)
        self.write_new(slot, r)

    # Indexes made ---------------------------------------------------------------

    def build(self, slot, r):
        self.ensure(slot, r)
        ends = r.choice(["lf", "lf", "crlf"])
        raw = slot.form != "plain" and r.random() < 0.15
        calls = []

        def progress(done, total):
            calls.append((done, total))
            return r.choice([None, True])

        index = line_reader.FileIndex.build(slot.path, ends=ends, threads=r.choice([0, 1, 2, 3]),
                                            progress=progress if r.random() < 0.5 else None, raw=raw)
        h = Held(index, slot, ends, raw)
        self.held[slot.path] = h
        bad = [c for c in calls if c[0] > c[1]]
        if bad:
            raise Defect("wrong", f"progress said done {bad[0][0]} of {bad[0][1]}")
        self.check_counts(h, "build")

    def load(self, slot, r):
        """Saves the held index, then loads it: the file has only grown (its
        new bytes indexed by the load) or the load refuses."""
        h = self.index_of(slot, r)
        saved = slot.path + ".idx"
        h.index.save(saved)
        must = not h.dirty and slot.ident() == h.ident
        try:
            index = line_reader.FileIndex.load(saved, slot.path, ends=h.ends, threads=r.choice([0, 1, 2]), raw=h.raw)
        except line_reader.Error as e:
            if must:
                raise Defect("status", f"load of the index just saved: {e!r}")
            return
        h = self.held[slot.path] = Held(index, slot, h.ends, h.raw)
        self.check_counts(h, "load")

    def cached(self, slot, r):
        self.ensure(slot, r)
        ends = r.choice(["lf", "crlf"])
        h = self.held[slot.path] = Held(line_reader.FileIndex.cached(slot.path, ends=ends), slot, ends, False)
        self.check_counts(h, "cached")

    def check_counts(self, h, what):
        """The counts of an index just made or refreshed, and a few lines."""
        idx = h.index
        same((len(idx), idx.indexed_bytes), (len(h.lines), len(h.text)), f"{what}: (lines, indexed bytes)")
        same(idx.compression, "" if h.raw or h.slot.form == "plain" else h.slot.form, f"{what}: compression")
        if h.lines:
            r = random.Random(len(h.text))
            for k in [0, -1] + [r.randrange(len(h.lines)) for _ in range(3)]:
                same(idx[k], h.lines[k], f"{what}: idx[{k}]")

    # Queries, each against the model --------------------------------------------------

    def query(self, slot, r, ask):
        """ask(index, model lines, held, r) on the held index; while its file
        changed in place any answer or refusal goes (no crash, though)."""
        h = self.index_of(slot, r)
        try:
            ask(h.index, h.lines, h, r)
        except Defect as d:
            if not h.dirty or d.kind != "wrong":
                raise
        except (OSError, IndexError, ValueError) as e:
            if not h.dirty:
                raise Defect("status", f"{e!r} from an index whose file only grew or was renamed away") from e

    def refresh(self, slot, r):
        h = self.index_of(slot, r)
        now = slot.text(h.raw)
        if slot.ident() == h.ident and not h.dirty:
            want = {"none"} if slot.raw == h.raw_seen else {"appended"} | ({"none"} if now == h.text else set())
        else:
            want = {"replaced"} | ({"appended"} if now.startswith(h.text) else set()) | \
                   ({"none"} if slot.raw == h.raw_seen else set())
        try:
            got = h.index.refresh()
        except (line_reader.Error, OSError) as e:
            raise Defect("status", f"refresh() of a file that is whole: {e!r}") from e
        if got not in want:
            how = "another file" if slot.ident() != h.ident else "changed in place" if h.dirty else "grown"
            raise Defect("wrong", f"refresh said {got!r}, want one of {sorted(want)} ({how}, "
                                  f"{len(h.text)} -> {len(now)} bytes)")
        h.mark_current()
        self.check_counts(h, f"after refresh() said {got!r}")

    def get(self, idx, lines, h, r):
        n = len(lines)
        same(len(idx), n, "len")
        for _ in range(r.randint(1, 8)):
            k = r.randrange(-n - 2, n + 2) if n else r.randrange(-2, 2)
            if -n <= k < n:
                same(idx[k], lines[k], f"idx[{k}]")
            else:
                try:
                    got = idx[k]
                except IndexError:
                    continue
                raise Defect("wrong", f"idx[{k}] of {n} lines gave {brief(got)}")
        # A lookup of a compressed file decodes from the checkpoint before its
        # line (up to a MiB): a slice of a few hundred lines at most.
        a = r.randrange(-n - 3, n + 3)
        step = r.choice([None, 1, 2, 3, -1, -2, 7])
        b = a + (step or 1) * r.randrange(-3, 300)
        same(idx[a:b:step], lines[a:b:step], f"idx[{a}:{b}:{step}]")
        if lines and r.random() < 0.3:
            k = r.randrange(n)
            offsets = offsets_of(h.text, h.ends)
            same(idx.span(k), (offsets[k], len(lines[k])), f"span({k})")

    def iterate(self, idx, lines, h, r):
        if r.random() < 0.5:
            same(list(idx), lines, "list(idx)")
        else:
            n = r.randrange(len(lines) + 2)
            same(list(itertools.islice(iter(idx), n)), lines[:n], f"the first {n} lines of iter(idx)")

    def lines_(self, idx, lines, h, r):
        n = len(lines)
        most = 1000 if h.slot.form == "plain" or h.raw else 50  # as get's slices
        picked = [r.randrange(-n, n) for _ in range(r.choice([0, 1, 5, 100, most]))] if n else []
        # Native and little-endian buffers are read as they are; big-endian ones are be_buffer's.
        containers = {
            "list": list, "tuple": tuple, "generator": lambda v: (x for x in v),
            "array q": lambda v: array.array("q", v), "array i": lambda v: array.array("i", v),
            "memoryview l": lambda v: memoryview(array.array("l", v)),
            "le int16": lambda v: (ctypes.c_int16.__ctype_le__ * len(v))(*v),
        }
        kind = r.choice(sorted(containers))
        if kind == "le int16":
            picked = [k for k in picked if -32768 <= k < 32768]
        if r.random() < 0.15 and n:
            first = r.randrange(n)
            last = r.randrange(first, min(n, first + most) + 1)
            same(idx.lines(range(first, last)), lines[first:last], f"lines(range({first}, {last}))")
        same(idx.lines(containers[kind](picked)), [lines[k] for k in picked], f"lines({kind} of {len(picked)})")
        if r.random() < 0.2:
            outside = r.choice([n, -n - 1, 2**63 - 1, -(2**63)])
            try:
                got = idx.lines(picked[:3] + [outside])
            except IndexError:
                return
            raise Defect("wrong", f"lines() with {outside} among {n} lines gave {brief(got)}")

    def spans(self, idx, lines, h, r):
        n = len(lines)
        a = r.randrange(n + 1)
        b = r.choice([None, r.randrange(a, n + 1)])
        offsets, lengths = idx.spans(a, b)
        want = offsets_of(h.text, h.ends)[a:b]
        same(list(offsets), want, f"spans({a}, {b}) offsets")
        same(list(lengths), [len(line) for line in lines[a:b]], f"spans({a}, {b}) lengths")

    def read(self, idx, lines, h, r):
        pieces = soaklib.split_with_ends(h.text, h.ends)
        n = len(pieces)
        a, b = r.choice([None, r.randrange(-2, n + 2)]), r.choice([None, r.randrange(-2, n + 2)])
        same(idx.read(a, b), b"".join(pieces[a:b]), f"read({a}, {b})")

    def split(self, idx, lines, h, r):
        parts, by = r.choice([1, 2, 3, 7, 64, 1000]), r.choice(["lines", "bytes"])
        got = idx.split(parts, by=by)
        n = len(lines)
        offsets = offsets_of(h.text, h.ends) + [len(h.text)]
        if len(got) != parts or got[0][0] != 0 or got[-1][1] != n or \
                any(got[k][1] != got[k + 1][0] or got[k][0] > got[k][1] for k in range(parts - 1)):
            raise Defect("wrong", f"split({parts}, by={by!r}) of {n} lines: parts that do not cover each line once: "
                                  f"{brief(got)}")
        for first, stop, offset, length in got:
            if (offset, length) != (offsets[first], offsets[stop] - offsets[first]):
                raise Defect("wrong", f"split({parts}, by={by!r}): part {(first, stop, offset, length)}, "
                                      f"want offset {offsets[first]} length {offsets[stop] - offsets[first]}")
        if by == "lines" and max(p[1] - p[0] for p in got) - min(p[1] - p[0] for p in got) > 1:
            raise Defect("wrong", f"split({parts}) by lines: parts not equal within one: {brief(got)}")

    def sample(self, idx, lines, h, r):
        n = len(lines)
        k, seed = r.randrange(n + 1), r.getrandbits(r.choice([8, 32, 63]))
        got = idx.sample(k, seed=seed)
        if len(got) != k or got != sorted(set(got)) or (got and not 0 <= got[0] <= got[-1] < n):
            raise Defect("wrong", f"sample({k}, seed={seed}) of {n} lines: {brief(got)}")
        same(idx.sample(k, seed=seed), got, f"sample({k}, seed={seed}) again")
        try:
            got = idx.sample(n + 1)
        except ValueError:
            return
        raise Defect("wrong", f"sample({n + 1}) of {n} lines gave {brief(got)}")

    def pickled(self, slot, r):
        """A pickle or copy round trip: checked against the file as load()
        checks it, so the file as it is now, or line_reader.Error."""
        h = self.index_of(slot, r)
        how = r.choice(["pickle", "copy", "deepcopy"])
        before = set(os.listdir(self.tmp))
        try:
            if how == "pickle":
                other = pickle.loads(pickle.dumps(h.index, protocol=r.choice([2, pickle.HIGHEST_PROTOCOL])))
            else:
                other = (copy.copy if how == "copy" else copy.deepcopy)(h.index)
        except line_reader.Error as e:
            if not h.dirty and slot.ident() == h.ident:
                raise Defect("status", f"{how} of an index whose file only grew: {e!r}") from e
            return
        left = [f for f in set(os.listdir(self.tmp)) - before if not f.startswith("line_reader_dask_")]
        if left:
            raise Defect("leak", f"{how} left {left} in the temporary folder")
        same(list(other), h.current_lines(), f"{how} of the index: its lines")
        same(other.compression, h.index.compression, f"{how}: compression")

    def indexed_file(self, slot, r):
        self.ensure(slot, r)
        ends, raw = r.choice(["lf", "crlf"]), slot.form != "plain" and r.random() < 0.2
        f = line_reader.IndexedFile(slot.path, ends=ends, raw=raw)
        text = slot.text(raw)
        lines = lines_of(text, ends)
        n = len(lines)
        same(bytes(memoryview(f)), text, "IndexedFile's buffer")
        same(list(f), lines, "list(IndexedFile)")
        if n:
            k = r.randrange(-n, n)
            same((f[k], f.line(k % n + 1), bytes(f.view(k))), (lines[k],) * 3, f"IndexedFile [{k}], line(), view()")
        a, b = r.randrange(-n - 2, n + 2), r.randrange(-n - 2, n + 2)
        same(f[a:b], lines[a:b], f"IndexedFile[{a}:{b}]")

    def dask(self, slot, r):
        if not self.has_dask:
            return
        import line_reader.dask

        self.ensure(slot, r)
        ends = r.choice(["lf", "crlf"])
        where = r.choice([None, slot.path + f".dask-{ends}.idx"])
        parts = r.choice([{"npartitions": r.randint(1, 9)}, {"lines_per_partition": r.randint(1, 5000)}, {}])
        bag = line_reader.dask.read_lines(slot.path, ends=ends, index_path=where, **parts)
        lines = lines_of(slot.text(), ends)
        same(bag.count().compute(), len(lines), f"read_lines({parts}).count()")
        same(bag.compute(scheduler=r.choice(["sync", "threads"])), lines, f"read_lines({parts}).compute()")

    # Threads -------------------------------------------------------------------------

    def threads_refresh(self, slot, r):
        """Lookups on several threads while another appends' refresh runs:
        each answer is the line before the refresh or after it (only the
        last line may grow)."""
        h = self.index_of(slot, r)
        if h.dirty or slot.ident() != h.ident or slot.form == "xz":
            return self.refresh(slot, r)
        self.append(slot, r)
        if slot.ident() != h.ident:  # rotated, being too large
            return self.refresh(slot, r)
        old, new = h.lines, h.current_lines()
        n = len(old)
        wrong, failed = [], []

        def look(seed):
            rr = random.Random(seed)
            try:
                for _ in range(200):
                    if not n:
                        return
                    k = rr.randrange(n)
                    got = h.index.lines([k])[0] if rr.random() < 0.5 else h.index[k]
                    if got not in (old[k], new[k]):
                        wrong.append((k, got, old[k]))
            except Exception as e:
                failed.append(e)

        threads = [threading.Thread(target=look, args=(r.getrandbits(32),)) for _ in range(r.randint(2, 4))]
        for t in threads:
            t.start()
        got = h.index.refresh()
        for t in threads:
            t.join()
        if failed:
            raise Defect("status", f"a lookup during refresh() failed: {failed[0]!r}")
        if wrong:
            k, got_line, want = wrong[0]
            raise Defect("wrong", f"idx[{k}] during refresh() gave {brief(got_line)}, want {brief(want)}")
        if got not in ("appended", "none"):
            raise Defect("wrong", f"refresh() after an append said {got!r}")
        h.mark_current()
        self.check_counts(h, "after a refresh among lookups")

    def shared_iter(self, slot, r):
        """Case: several threads drain one iter(idx). Every line goes to one
        thread, in order on each; or a clean exception (then no line twice).
        A file of some MiB, so that pieces are refilled while others read."""
        path = os.path.join(self.work, "shared.log")
        ends = r.choice(["lf", "crlf"])
        body = lines_of(some_bytes(r), "lf")
        count = r.randint(150_000, 300_000)
        lines = [b"%d %s" % (k, body[k % len(body)][:40].replace(b"\r", b"").replace(b"\n", b"") if body else b"")
                 for k in range(count)]
        soaklib.write_file(path, b"".join(line + (b"\n" if ends == "lf" else b"\r\n") for line in lines))
        idx = line_reader.FileIndex.build(path, ends=ends)
        for _ in range(3):
            it = iter(idx)
            got = [[] for _ in range(r.randint(2, 6))]
            raised = []

            def drain(mine):
                try:
                    for line in it:
                        mine.append(line)
                except Exception as e:
                    raised.append(e)

            threads = [threading.Thread(target=drain, args=(mine,)) for mine in got]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
            known = set(lines)
            for mine in got:
                strange = [line for line in mine if line not in known]
                if strange:
                    raise Defect("wrong", f"a shared iterator gave lines not in the file: {brief(strange[:3])}")
                numbers = [int(line.split(b" ", 1)[0]) for line in mine]
                if numbers != sorted(numbers):
                    raise Defect("wrong", f"one thread got lines out of order: {brief(numbers[:20])}")
            every = collections.Counter(itertools.chain(*got))
            want = collections.Counter(lines)
            if raised:
                unclean = [e for e in raised if not isinstance(e, (RuntimeError, ValueError))]
                if unclean:
                    raise Defect("error", f"a shared iterator raised {unclean[0]!r}")
                if every - want:
                    raise Defect("wrong", f"lines given twice: {brief(list((every - want).items())[:5])}")
            elif every != want:
                raise Defect("wrong", f"{len(threads)} threads got {sum(every.values())} lines of {count}: "
                                      f"twice {brief(list((every - want).items())[:3])}, "
                                      f"never {brief(list((want - every).items())[:3])}")

    def pickle_refresh(self, slot, r):
        """Case: pickle.dumps or copy.copy on one thread while another runs
        refresh() with a progress callback: both end."""
        payload = {"path": os.path.join(self.work, "followed.log"), "copy": r.random() < 0.4,
                   "lines": r.randint(200_000, 400_000), "seconds": CHILD_SECONDS / 2}
        out = self.child("pickle_refresh", payload)
        if not out or "stuck" in out[-1]:
            raise Defect("hang", f"pickling and refresh() on two threads: {brief(out)}")
        got = out[-1]
        if got["refresh"] != "appended" or got["count"] != 1 + payload["lines"]:
            raise Defect("wrong", f"pickling during refresh() of 1 + {payload['lines']} lines: {got}")

    def stale_iter(self, slot, r):
        """Case: an iterator made before a refresh() that finds the file
        replaced raises, or yields one file's lines only."""
        path = os.path.join(self.work, "replaced.log")
        ends = r.choice(["lf", "crlf"])
        shape = r.choice(["prose", "crlf", "mixed_ends"])
        old_text = soaklib.make_bytes(r.getrandbits(32), r.randint(2 << 20, 3 << 20), shape)
        new_text = soaklib.make_bytes(r.getrandbits(32), r.randint(2 << 20, 3 << 20), shape)
        soaklib.write_file(path, old_text)
        old = lines_of(old_text, ends)
        idx = line_reader.FileIndex.build(path, ends=ends)
        it = iter(idx)
        taken = list(itertools.islice(it, r.randrange(min(len(old), 2000) + 1)))
        if r.random() < 0.5:
            os.replace(path, path + ".1")
        soaklib.write_file(path, new_text)
        same(idx.refresh(), "replaced", "refresh() of a file written anew")
        try:
            for line in it:
                taken.append(line)
        except Exception:
            same(taken, old[:len(taken)], "an iterator across a refresh that replaced its file, until it raised")
            return
        same(taken, old, "an iterator across a refresh that replaced its file")

    # The user's own paths and values -----------------------------------------------------

    def new_unmade(self, slot, r):
        """Case: every method of FileIndex.__new__(FileIndex) (or of a
        subclass) raises TypeError."""
        subclass = r.random() < 0.5
        # A child a method, side by side: one that crashes or hangs hides no other.
        procs = [(method, self.start_child("unmade", {"subclass": subclass, "method": method,
                                                      "save": os.path.join(self.work, f"unmade-{method}.idx")}))
                 for method, _ in UNMADE_CALLS]
        outcomes = {}
        for method, proc in procs:
            try:
                out = self.child_outcome(proc, f"{method} of an unmade FileIndex", timeout=5)
                outcomes[method] = ("wrong", out[-1]["outcome"] if out else "no answer")
            except Defect as d:
                outcomes[method] = (d.kind, d.detail[:200])
        bad = {m: o for m, o in outcomes.items() if o[1] != "TypeError"}
        if bad:
            # The worst of them names the defect, the same whichever a run meets first.
            kind = next(k for k in ("crash", "hang", "wrong") if any(o[0] == k for o in bad.values()))
            raise Defect(kind, f"FileIndex.__new__({'a subclass' if subclass else 'FileIndex'}): "
                               + "; ".join(f"{m}: {o[1]}" for m, o in bad.items()))

    def save_own(self, slot, r):
        """Case: the index saved over its own text (by its name, a link to it,
        or read_lines' index_path): refused with OSError, the text kept."""
        h = self.index_of(slot, r)
        how = r.choice(["save", "save via a symbolic link", "save via a hard link"] + ["read_lines"] * self.has_dask)
        target = slot.path
        if "link" in how:
            target = os.path.join(self.work, "own-link")
            if os.path.lexists(target):
                os.unlink(target)
            (os.symlink if "symbolic" in how else os.link)(os.path.realpath(slot.path), target)
        before = soaklib.file_sig(slot.path), soaklib.file_sig(target)
        try:
            if how == "read_lines":
                import line_reader.dask

                line_reader.dask.read_lines(slot.path, index_path=slot.path, ends=h.ends).compute(scheduler="sync")
            else:
                h.index.save(target)
            outcome = "no error"
        except OSError as e:
            outcome = repr(e)
        if (soaklib.file_sig(slot.path), soaklib.file_sig(target)) != before:
            # The text put back, as the user would wish.
            os.unlink(slot.path)
            soaklib.write_file(slot.path, slot.raw)
            self.held.pop(slot.path, None)
            raise Defect("changed", f"{how} with the indexed file's own path replaced it ({outcome})")
        if how != "read_lines" and outcome == "no error":
            raise Defect("status", f"{how} with the indexed file's own path said nothing")

    def save_node(self, slot, r):
        """Case: save() onto a FIFO, a socket or a character device (a twin
        of /dev/null): refused, or written into; the node stays."""
        h = self.index_of(slot, r)
        kind = r.choice(["fifo", "socket", "device"])
        node = os.path.join(self.work, f"node-{kind}")
        if os.path.lexists(node):
            os.unlink(node)
        held_open, stop = [], threading.Event()
        if kind == "fifo":
            os.mkfifo(node)
            # A reader, so that a save that writes into it as open() would does not block.
            fd = os.open(node, os.O_RDONLY | os.O_NONBLOCK)
            held_open.append(fd)

            def drain():
                while not stop.is_set():
                    try:
                        if not os.read(fd, 1 << 16):
                            time.sleep(0.01)
                    except BlockingIOError:
                        time.sleep(0.01)
                    except OSError:
                        return

            reader = threading.Thread(target=drain, daemon=True)
            reader.start()
        elif kind == "socket":
            s = socket.socket(socket.AF_UNIX)
            s.bind(node)
            held_open.append(s)
        else:
            os.mknod(node, stat.S_IFCHR | 0o666, os.makedev(1, 3))
        before = soaklib.file_sig(node)
        try:
            h.index.save(node)
            outcome = "no error"
        except OSError as e:
            outcome = repr(e)
        finally:
            stop.set()
            if kind == "fifo":
                reader.join()  # before its descriptor is closed and its number given to another file
        after = soaklib.file_sig(node)
        for thing in held_open:
            os.close(thing) if isinstance(thing, int) else thing.close()
        os.unlink(node)
        if after != before:
            raise Defect("changed", f"save() onto a {kind} made it {brief(after)}, was {brief(before)} ({outcome})")

    def be_buffer(self, slot, r):
        """Case: a big-endian buffer of indices to lines(): the lines its
        values name, or TypeError."""
        path = os.path.join(self.work, "numbered.log")
        lines = [b"line %d" % k for k in range(r.randint(300, 3000))]
        soaklib.write_file(path, b"".join(line + b"\n" for line in lines))
        idx = line_reader.FileIndex.build(path)
        width = r.choice([ctypes.c_int16, ctypes.c_int32, ctypes.c_int64])
        picked = [r.randrange(-len(lines), len(lines)) for _ in range(r.randint(1, 20))]
        buffer = (width.__ctype_be__ * len(picked))(*picked)
        try:
            got = idx.lines(r.choice([buffer, memoryview(buffer)]))
        except TypeError:
            return
        except IndexError as e:
            raise Defect("wrong", f"lines() of a big-endian {width.__name__} buffer {picked}: {e!r}") from e
        same(got, [lines[k] for k in picked], f"lines() of a big-endian {width.__name__} buffer {picked}")

    def dask_nofile(self, slot, r):
        """Case: a Dask bag of a few hundred partitions under a limit of 128
        open files: every line."""
        if not self.has_dask:
            return
        path = os.path.join(self.work, "parts.log")
        lines = [b"row %d %s" % (k, b"x" * r.randrange(30)) for k in range(r.randint(600, 3000))]
        soaklib.write_file(path, b"".join(line + b"\n" for line in lines))
        per_part = max(1, len(lines) // r.randint(200, 500))
        out = self.child("nofile", {"path": path, "per_part": per_part, "ends": "lf", "limit": 128,
                                    "index_path": path + ".idx", "scheduler": r.choice(["sync", "threads"])})
        got = out[-1] if out else {"error": "no answer"}
        if "error" in got:
            raise Defect("status", f"read_lines(lines_per_partition={per_part}) of {len(lines)} lines under 128 "
                                   f"open files: {got['error']}")
        same((got["count"], got["digest"]), (len(lines), digest(lines)), f"the bag of {got['partitions']} partitions")

    def error_names(self, slot, r):
        """Case: a line_reader.Error names the file it concerns (the saved
        index for one damaged, stale or of the other line ends)."""
        saved = os.path.join(self.work, "names.idx")
        case = r.choice(["fifo", "damaged", "stale", "other ends", "cut under a lookup"])
        text = os.path.join(self.work, "names.log")
        soaklib.write_file(text, b"".join(b"name %d\n" % k for k in range(r.randint(2, 5000))))
        concerned = saved
        if case == "fifo":
            concerned = os.path.join(self.work, "names.fifo")
            if not os.path.lexists(concerned):
                os.mkfifo(concerned)
            call = lambda: line_reader.FileIndex.build(concerned)  # noqa: E731
        elif case == "cut under a lookup":
            idx = line_reader.FileIndex.build(text)
            os.truncate(text, r.randrange(os.path.getsize(text) // 2))
            concerned = text
            call = lambda: idx[-1]  # noqa: E731
        else:
            line_reader.FileIndex.build(text, ends="crlf" if case == "other ends" else "lf").save(saved)
            if case == "damaged":
                with open(saved, "r+b") as f:
                    size = os.path.getsize(saved)
                    f.seek(r.randrange(size))
                    f.write(bytes(r.getrandbits(8) for _ in range(8)))
                    if r.random() < 0.5:
                        f.truncate(r.randrange(size))
            elif case == "stale":
                soaklib.write_file(text, b"another text\n")
            call = lambda: line_reader.FileIndex.load(saved, text)  # noqa: E731
        try:
            call()
        except line_reader.Error as e:
            if e.filename is None or os.path.realpath(os.fsdecode(e.filename)) != os.path.realpath(concerned):
                raise Defect("error", f"{case}: {e!r} names {e.filename!r}, not {concerned}") from e
            return
        except OSError:
            return  # the system's own error, with its file name
        if case != "damaged":  # a damaged byte may lie where no check needs it
            raise Defect("status", f"{case}: no error")

    def sample_seed(self, slot, r):
        """Case: sample() takes any int seed; another seed is ValueError or
        TypeError naming it."""
        h = self.index_of(slot, r)
        k = min(len(h.lines), r.randint(0, 5))
        for seed in (-1, 2**64, -(2**70) - 3, "a", 1.5):
            try:
                got = h.index.sample(k, seed=seed)
            except (ValueError, TypeError) as e:
                if isinstance(seed, int) or "seed" not in str(e):
                    raise Defect("error", f"sample({k}, seed={seed!r}): {e!r}") from e
                continue
            except Exception as e:
                raise Defect("error", f"sample({k}, seed={seed!r}): {e!r}") from e
            if not isinstance(seed, int):
                raise Defect("status", f"sample({k}, seed={seed!r}) took it: {got}")
            if len(got) != k or got != sorted(set(got)) or got != h.index.sample(k, seed=seed):
                raise Defect("wrong", f"sample({k}, seed={seed!r}) gave {got}")

    def huge_count(self, slot, r):
        """Case: split and sample with counts past 64 bits raise as Python's
        own (ValueError or OverflowError)."""
        h = self.index_of(slot, r)
        for name, call in (("split(2**64)", lambda: h.index.split(2**64)),
                           ("sample(2**64)", lambda: h.index.sample(2**64)),
                           ("split(-2**64)", lambda: h.index.split(-(2**64))),
                           ("sample(-2**64, seed=1)", lambda: h.index.sample(-(2**64), seed=1))):
            try:
                got = call()
            except (ValueError, OverflowError):
                continue
            except Exception as e:
                raise Defect("error", f"{name}: {e!r}") from e
            raise Defect("wrong", f"{name} gave {brief(got)}")

    def falsy_progress(self, slot, r):
        """Case: a progress callback that returns any false value but None
        cancels the build."""

        class No:
            def __bool__(self):
                return False

        value = r.choice([False, 0, "", [], No()])
        path = os.path.join(self.work, "cancelled.log")
        soaklib.write_file(path, b"".join(b"line %d\n" % k for k in range(300_000)))
        calls = []

        def progress(done, total):
            calls.append(done)
            return value

        try:
            idx = line_reader.FileIndex.build(path, threads=1, progress=progress)
        except line_reader.Error:
            return
        if calls:
            raise Defect("wrong", f"a progress callback that returned {value!r} did not cancel: {len(idx)} lines")

    def not_a_dir(self, slot, r):
        """Case: a path through a regular file is NotADirectoryError, as open() says."""
        self.ensure(slot, r)
        path = slot.path + "/" + r.choice(["x", "x/y", "."])
        try:
            r.choice([lambda: line_reader.FileIndex.build(path), lambda: line_reader.IndexedFile(path)])()
        except NotADirectoryError:
            return
        except OSError as e:
            raise Defect("error", f"{path}: {e!r}, not NotADirectoryError") from e
        raise Defect("status", f"{path}: no error")

    def xz_streams(self, slot, r):
        """A second (third) xz stream appended: every line, as xz -dc gives them."""
        path = os.path.join(self.work, "streams.log.xz")
        text = b""
        raw = b""
        for _ in range(r.randint(2, 3)):
            part = some_bytes(r)
            text += part
            raw += soaklib.compress(part, "xz", r)
        soaklib.write_file(path, raw)
        try:
            got = list(line_reader.FileIndex.build(path))
        except line_reader.Error as e:
            raise Defect("status", f"{len(raw)} bytes of xz streams: {e!r}") from e
        same(got, lines_of(text, "lf"), "the lines of xz streams")


OPS = {
    # File changes.
    "append": (12, PythonWorker.append),
    "truncate": (2, PythonWorker.truncate),
    "rewrite": (2, PythonWorker.rewrite),
    "rotate": (2, PythonWorker.rotate),
    # Indexes made.
    "build": (3, PythonWorker.build),
    "load": (2, PythonWorker.load),
    "cached": (1, PythonWorker.cached),
    "refresh": (5, PythonWorker.refresh),
    # Queries.
    "get": (6, lambda w, s, r: w.query(s, r, w.get)),
    "iterate": (3, lambda w, s, r: w.query(s, r, w.iterate)),
    "lines": (5, lambda w, s, r: w.query(s, r, w.lines_)),
    "spans": (2, lambda w, s, r: w.query(s, r, w.spans)),
    "read": (3, lambda w, s, r: w.query(s, r, w.read)),
    "split": (2, lambda w, s, r: w.query(s, r, w.split)),
    "sample": (2, lambda w, s, r: w.query(s, r, w.sample)),
    "pickle": (2, PythonWorker.pickled),
    "indexed_file": (2, PythonWorker.indexed_file),
    "dask": (1, PythonWorker.dask),
    "threads_refresh": (2, PythonWorker.threads_refresh),
    # The defects of one object in many threads, and of the user's own
    # paths and values: an op each, so that each has a signature of its own.
    "shared_iter": (1, PythonWorker.shared_iter),
    "pickle_refresh": (1, PythonWorker.pickle_refresh),
    "stale_iter": (1, PythonWorker.stale_iter),
    "new_unmade": (1, PythonWorker.new_unmade),
    "save_own": (1, PythonWorker.save_own),
    "save_node": (1, PythonWorker.save_node),
    "be_buffer": (1, PythonWorker.be_buffer),
    "dask_nofile": (1, PythonWorker.dask_nofile),
    "error_names": (1, PythonWorker.error_names),
    "sample_seed": (1, PythonWorker.sample_seed),
    "huge_count": (1, PythonWorker.huge_count),
    "falsy_progress": (1, PythonWorker.falsy_progress),
    "not_a_dir": (1, PythonWorker.not_a_dir),
    "xz_streams": (1, PythonWorker.xz_streams),
}


if __name__ == "__main__":
    if len(sys.argv) == 4 and sys.argv[1] == "--child":
        CHILDREN[sys.argv[2]](json.loads(sys.argv[3]))
    PythonWorker().main()
