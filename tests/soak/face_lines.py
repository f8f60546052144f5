#!/usr/bin/env python3
"""The soak's face of the lines program: random changes to real files
(plain and compressed), each followed by runs of `lines` whose output is
compared byte for byte with the model (face_lines_model.py); hostile cache
entries; follow across appends, truncation and rotation; streams; memory
limits. Speaks the workers' protocol of README.md beside it."""

import base64
import gzip
import lzma
import os
import random
import re
import resource
import shlex
import signal
import subprocess
import sys
import threading
import time
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import soaklib  # noqa: E402
from face_lines_model import Text, sample_checked, split_checked, summaries_expected, summaries_printed  # noqa: E402
from soaklib import Defect, append_small, compress, make_bytes, raw_deflate_member, write_file  # noqa: E402

# The files the steps change and ask about, each of one form for good, so
# that a step names its file and stays valid whatever came before it.
SLOTS = {"a.log": "plain", "b.log": "plain", "c.log.gz": "gzip", "d.log.zst": "zstd", "e.log.xz": "xz"}
UNIT_OP = {"gzip": "gzip_member", "zstd": "zstd_frame", "xz": "xz_stream"}
# What the saved-index mutator of the C++ face can do to an entry.
MUTATIONS = ("starts_all", "starts_one", "start_extra", "two_byte_ends", "no_ranges", "drop_end", "range_overlap",
             "page_overlap", "checkpoint_shift", "checkpoint_bit", "window_text", "longest", "same")
# The forms this build refuses, by their first bytes, and the article its
# name takes.
REFUSED = {"bzip2": (b"BZh91AY&SY", "a bzip2"), "lz4": (b"\x04\x22\x4d\x18", "an lz4"), "zip": (b"PK\x03\x04", "a zip")}
SMALL_SHAPES = [s for s in soaklib.SHAPES if s != "binary"]
POLL = 0.6  # three of the program's polls between two changes of a followed file


def unit_of(form, text, seed):
    """One gzip member, zstd frame or xz stream of `text`, in the forms
    writers make them; a plain file's text is itself."""
    rng = random.Random(seed)
    if form == "plain":
        return text
    if form == "gzip" and rng.random() < 0.3:
        return raw_deflate_member(text)
    if form == "xz" and rng.random() < 0.5:
        # Several blocks to a stream, as xz -T0 writes: each a checkpoint.
        size = rng.choice([16, 64, 256]) << 10
        return subprocess.run(["xz", "-cq", f"--block-size={size}", "-T1"], input=text, stdout=subprocess.PIPE,
                              check=True).stdout
    return compress(text, form, rng)


class Slot:
    """A file's model: the units the soak wrote, each (bytes on disk, text)
    (a plain file's the same; a compressed file's a member, frame or
    stream), then zero bytes of padding."""

    def __init__(self, name, form):
        self.name, self.form = name, form
        self.units = []
        self.pad = 0

    def data(self):
        return b"".join(c for c, _ in self.units) + b"\0" * self.pad

    def text(self):
        return b"".join(t for _, t in self.units)


class LinesWorker(soaklib.Worker):
    face = "lines"

    def __init__(self):
        super().__init__()
        build = os.path.abspath(self.args.build or os.path.join(soaklib.__file__, "..", "..", "..", "build", "default"))
        self.exe = os.path.join(build, "lines", "lines")
        self.mutator = os.path.join(build, "tests", "soak", "soak_lib")
        with open(self.exe, "rb") as f:
            # A sanitizer's shadow memory takes more address space than any limit leaves.
            self.sanitized = b"__asan_init" in f.read()
        self.cache_home = os.environ.get("XDG_CACHE_HOME") or os.path.join(self.work, ".cache")
        self.env = dict(os.environ, XDG_CACHE_HOME=self.cache_home)
        self.env.pop("LINES_CACHE_LIMIT", None)
        self.big_streams = {}
        self.start_afresh()

    # State ---------------------------------------------------------------

    def start_afresh(self):
        os.makedirs(os.path.join(self.work, "targets"), exist_ok=True)
        self.slots = {name: Slot(name, form) for name, form in SLOTS.items()}
        for slot in self.slots.values():
            write_file(self.path(slot), b"")
        subprocess.run(["rm", "-rf", os.path.join(self.cache_home, "line_reader")])

    def reset(self):
        super().reset()
        self.start_afresh()

    def path(self, slot):
        return os.path.join(self.work, slot.name)

    def cache_folder(self):
        return os.path.join(self.cache_home, "line_reader")

    def entry(self, path, crlf):
        st = os.stat(path)
        return os.path.join(self.cache_folder(), f"{st.st_dev:016x}-{st.st_ino:016x}-{'crlf' if crlf else 'lf'}")

    def forget(self, path):
        for crlf in (False, True):
            for end in (".idx", ".sum"):
                try:
                    os.remove(self.entry(path, crlf) + end)
                except FileNotFoundError:
                    pass

    def cache_state(self):
        state = {}
        try:
            for name in os.listdir(self.cache_folder()):
                with open(os.path.join(self.cache_folder(), name), "rb") as f:
                    state[name] = zlib.crc32(f.read())
        except FileNotFoundError:
            pass
        return state

    # Running the program ----------------------------------------------------

    def lines(self, args, stdin=None, env=None):
        res = soaklib.run([self.exe] + args, timeout=40, cwd=self.work, stdin=stdin, env=env or self.env)
        res.args = " ".join(shlex.quote(a) for a in ["lines"] + args)
        return res

    @staticmethod
    def detail(res, why):
        return f"{res.args}: {why}; status {res.returncode}; stderr {res.stderr[-600:].decode('utf-8', 'replace')!r}"

    def expect(self, res, outs, status):
        """The run's status and output against the model's: any of `outs`."""
        if res.returncode != status:
            raise Defect("status", self.detail(res, f"the model says status {status}"))
        if isinstance(outs, bytes):
            outs = [outs]
        if res.stdout not in outs:
            raise Defect("wrong", self.detail(res, "output differs from the model's: " + diff(outs[0], res.stdout)))

    def stretch_args(self, step):
        args = []
        for flag in ("number", "offsets"):
            if step.get(flag):
                args.append({"number": "-n", "offsets": "-b"}[flag])
        if step.get("crlf"):
            args.append("--crlf")
        if step.get("threads"):
            args.append(f"--threads={step['threads']}")
        return args

    def prepared(self, step, path, args):
        """Runs the program as the step's cache mode asks: cold (the entry
        removed first), warm (the index saved by a count first), without
        the cache, or with the cache as the steps left it."""
        mode = step.get("mode", "as_is")
        env = dict(self.env, LINES_CACHE_LIMIT=step["limit"]) if step.get("limit") else self.env
        if mode == "cold":
            self.forget(path)
        elif mode == "warm":
            self.lines(["-c"] + (["--crlf"] if step.get("crlf") else []) + (["--raw"] if "--raw" in args else [])
                       + [path], env=env)
        elif mode == "nocache":
            args = ["--no-cache"] + args
        return args, env

    # Changes to the files -----------------------------------------------------

    def change_append(self, slot, step):
        if len(slot.text()) > 24 << 20:
            self.change_truncate(slot, {"seed": step["seed"], "to": 0})
        self.strip_padding(slot)
        text = make_bytes(step["seed"], step["size"], step["shape"])
        unit = unit_of(slot.form, text, step["seed"])
        append_small(self.path(slot), unit, step.get("piece", 4096))
        slot.units.append((unit, text))
        return text

    def strip_padding(self, slot):
        if slot.pad:
            slot.pad = 0
            os.truncate(self.path(slot), len(slot.data()))

    def change_truncate(self, slot, step):
        """To any byte of a plain file, to a unit's end of a compressed one
        (the only cut that leaves it whole)."""
        rng = random.Random(step["seed"])
        had = len(slot.data())
        if slot.form == "plain":
            text = slot.text()[:0 if step.get("to") == 0 else rng.randrange(len(slot.text()) + 1)]
            slot.units = [(text, text)]
        else:
            slot.units = [] if step.get("to") == 0 else slot.units[:rng.randrange(len(slot.units) + 1)]
        slot.pad = 0
        # A truncation to the same size is a touch (the times move): follow_touch's case.
        if len(slot.data()) < had:
            os.truncate(self.path(slot), len(slot.data()))

    def change_rewrite(self, slot, step):
        """The same size, other bytes, the old modification time put back: a
        change that only the change time (and the text) tells."""
        path, text = self.path(slot), slot.text()
        if slot.form != "plain" or not text:
            return
        rng = random.Random(step["seed"])
        at = rng.randrange(len(text))
        new = bytes([rng.choice(b"xyz\n\r")]) * min(16, len(text) - at)
        st = os.stat(path)
        time.sleep(0.01)  # past the coarse clock of file times, so that the change time moves
        with open(path, "r+b") as f:
            f.seek(at)
            f.write(new)
        os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns))
        text = text[:at] + new + text[at + len(new):]
        slot.units = [(text, text)]

    def change_rotate(self, slot, step, fill_at_once=False):
        """Renamed away, made anew empty, then filled (at once for a
        compressed file, which a poll must not see half made, when asked)."""
        path = self.path(slot)
        os.replace(path, path + ".1")
        text = make_bytes(step["seed"], step["size"], step["shape"]) if step["size"] else b""
        slot.units, slot.pad = [(unit_of(slot.form, text, step["seed"]), text)] if text else [], 0
        if fill_at_once:
            write_file(path + ".new", slot.data())
            os.replace(path + ".new", path)
        else:
            write_file(path, b"")
            time.sleep(step.get("pause", 0))
            append_small(path, slot.data(), step.get("piece", 4096))
        return text

    def change_symlink(self, slot, step):
        """The name made a symbolic link to the file moved away, or to a copy."""
        path = self.path(slot)
        real = os.path.realpath(path)
        target = os.path.join(self.work, "targets", f"{slot.name}.{step['seed']}")
        if step.get("copy"):
            write_file(target, slot.data())
        else:
            os.replace(real, target)
        if os.path.lexists(path):
            os.remove(path)
        os.symlink(target, path)

    # Queries ------------------------------------------------------------------

    def slot_of(self, step):
        return self.slots[step["slot"]]

    def resolved_ranges(self, count, raw, rising=False):
        """Ranges [(first, last or None)] from the step's numbers, taken
        modulo the count so that some fall past the end."""
        out = []
        for a, b, kind in raw:
            first = 1 + a % (count + 2)
            last = first if kind == "one" else None if kind == "open" else first + b % max(1, count + 3 - first)
            out.append((first, last))
        if rising:
            kept = []
            for first, last in sorted(out, key=lambda r: r[0]):
                if not kept or (kept[-1][1] is not None and first > kept[-1][1]):
                    kept.append((first, last))
            out = kept
        return out

    @staticmethod
    def range_args(ranges):
        return [str(f) if l == f else f"{f}-" if l is None else f"{f}-{l}" for f, l in ranges]

    def op_line(self, step):
        slot = self.slot_of(step)
        model = Text(slot.text(), step.get("crlf", False))
        ranges = self.resolved_ranges(model.count, step["ranges"])
        args, env = self.prepared(step, slot.name, self.stretch_args(step))
        numbers, status = model.ranges(ranges)
        outs = model.render(numbers, step.get("number"), step.get("offsets"))
        for _ in range(2 if step.get("mode") == "warm" else 1):
            self.expect(self.lines(args + [slot.name] + self.range_args(ranges), env=env), outs, status)

    def op_tail(self, step):
        slot = self.slot_of(step)
        model = Text(slot.text(), step.get("crlf", False))
        k = step["k"] % (model.count + 3)
        args, env = self.prepared(step, slot.name, self.stretch_args(step) + ["-t", str(k)])
        outs = model.render(model.tail(k), step.get("number"), step.get("offsets"))
        self.expect(self.lines(args + [slot.name], env=env), outs, 0)

    def op_count(self, step):
        slots = [self.slots[s] for s in step["slots"]]
        crlf = step.get("crlf", False)
        models = [Text(s.text(), crlf) for s in slots]
        args, env = self.prepared(dict(step, mode=step["mode"] if len(slots) == 1 else "as_is"), slots[0].name,
                                  ["-c"] + (["--crlf"] if crlf else []))
        if len(slots) == 1:
            out = b"%d\n" % models[0].count
        else:
            out = b"".join(b"%d %s\n" % (m.count, s.name.encode()) for m, s in zip(models, slots))
            out += b"%d total\n" % sum(m.count for m in models)
        self.expect(self.lines(args + [s.name for s in slots], env=env), out, 0)

    def op_summary(self, step):
        slots = [self.slots[s] for s in step["slots"]]
        crlf = step.get("crlf", False)
        models = [Text(s.text(), crlf) for s in slots]
        flag = "--json" if step.get("json") else "-s"
        args, env = self.prepared(dict(step, mode=step["mode"] if len(slots) == 1 else "as_is"), slots[0].name,
                                  [flag] + (["--crlf"] if crlf else []))
        res = self.lines(args + [s.name for s in slots], env=env)
        self.expect_summary(res, models, [s.name for s in slots], step.get("json"))

    def expect_summary(self, res, models, names, json_form, stream=False):
        if res.returncode != 0:
            raise Defect("status", self.detail(res, "the model says status 0"))
        want = summaries_expected(models, names, json_form, stream)
        got = summaries_printed(res.stdout, json_form, stream)
        if got != want:
            raise Defect("wrong", self.detail(res, f"summary {res.stdout[:800]!r}, the model {want!r}"))

    def op_split(self, step):
        slot = self.slot_of(step)
        model = Text(slot.text(), step.get("crlf", False))
        args, env = self.prepared(step, slot.name, [f"--split={step['n']}"] + (["--crlf"] if step.get("crlf") else []))
        res = self.lines(args + [slot.name], env=env)
        if res.returncode != 0:
            raise Defect("status", self.detail(res, "the model says status 0"))
        why = split_checked(model, step["n"], res.stdout)
        if why:
            raise Defect("wrong", self.detail(res, why + f"; printed {res.stdout[:400]!r}"))

    def op_sample(self, step):
        """K distinct lines in file order, the same for the same seed; every
        line when K is not fewer than the lines, as shuf -n gives them."""
        slot = self.slot_of(step)
        model = Text(slot.text(), step.get("crlf", False))
        k = 1 + step["k"] % (model.count + 3)
        extra = (["-n"] if step.get("number") else []) + (["--crlf"] if step.get("crlf") else [])
        args, env = self.prepared(step, slot.name, extra + [f"--sample={k}", f"--seed={step['seed']}"])
        first = None
        for _ in range(2):
            res = self.lines(args + [slot.name], env=env)
            if res.returncode != 0:
                raise Defect("status", self.detail(res, f"a sample of {k} of {model.count} lines: the model says status 0"))
            why = sample_checked(model, k, res.stdout, step.get("number"))
            if why:
                raise Defect("wrong", self.detail(res, why))
            if first is not None and res.stdout != first:
                raise Defect("wrong", self.detail(res, "another sample for the same seed"))
            first = res.stdout

    def stream_case(self, step, model):
        """The arguments and expected answer of a stream query: rising
        ranges, -t, -c, -s or --json."""
        kind = step["ask"]
        args = self.stretch_args(step) + (["--raw"] if step.get("raw") else [])
        if kind == "ranges":
            ranges = self.resolved_ranges(model.count, step["ranges"], rising=True)
            numbers, status = model.ranges(ranges)
            return args, self.range_args(ranges), model.render(numbers, step.get("number"), step.get("offsets")), status
        if kind == "tail":
            k = step["k"] % (model.count + 3)
            return args + ["-t", str(k)], [], model.render(model.tail(k), step.get("number"), step.get("offsets")), 0
        if kind == "count":
            return [a for a in args if a not in ("-n", "-b")] + ["-c"], [], [b"%d\n" % model.count], 0
        return [a for a in args if a not in ("-n", "-b")] + ["--json" if kind == "json" else "-s"], [], None, 0

    def op_stream(self, step):
        """The file's bytes through a pipe, in pieces of any size."""
        slot = self.slot_of(step)
        data = slot.data()
        model = Text(data if step.get("raw") else slot.text(), step.get("crlf", False))
        args, ranges, outs, status = self.stream_case(step, model)
        rng = random.Random(step["seed"])
        pieces = []
        at = 0
        while at < len(data):
            n = rng.choice([1, 7, 512, 4096, 65536, 1 << 20])
            pieces.append(data[at:at + n])
            at += n
        res = self.fed([self.exe] + args + ["-"] + ranges, pieces)
        res.args = "lines " + " ".join(shlex.quote(a) for a in args + ["-"] + ranges) + f" < {slot.name}"
        crashed(res)
        if outs is None:
            self.expect_summary(res, [model], ["-"], step["ask"] == "json", stream=True)
        else:
            self.expect(res, outs, status)

    def fed(self, cmd, pieces, keep=None, **kw):
        """Runs the program with `pieces` written to its standard input as they
        come, a writer that may stop early as head's does; `keep` takes its
        output a block at a time instead of keeping it."""
        proc = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                env=self.env, cwd=self.work, **kw)
        out, err = [], []

        def feed():
            try:
                for piece in pieces:
                    proc.stdin.write(piece)
                    proc.stdin.flush()
            except (BrokenPipeError, ValueError, OSError):
                pass
            finally:
                try:
                    proc.stdin.close()
                except OSError:
                    pass

        def drain():
            for block in iter(lambda: proc.stdout.read1(1 << 20), b""):
                (keep or out.append)(block)

        threads = [threading.Thread(target=feed, daemon=True), threading.Thread(target=drain, daemon=True),
                   threading.Thread(target=lambda: err.append(proc.stderr.read()), daemon=True)]
        for t in threads:
            t.start()
        try:
            proc.wait(timeout=40)
        except subprocess.TimeoutExpired as e:
            proc.kill()
            raise Defect("hang", f"{cmd} ran over 40 s") from e
        for t in threads:
            t.join(5)
        return subprocess.CompletedProcess(cmd, proc.returncode, b"".join(out), b"".join(err))

    def op_devstdin(self, step):
        """/dev/stdin or - redirected from the file: a stream, with nothing
        saved in the cache."""
        slot = self.slot_of(step)
        model = Text(slot.text(), step.get("crlf", False))
        args, ranges, outs, status = self.stream_case(dict(step, raw=False), model)
        before = self.cache_state()
        with open(self.path(slot), "rb") as f:
            res = self.lines(args + [step["name"]] + ranges, stdin=f)
        res.args += f" < {slot.name}"
        if outs is None:
            self.expect_summary(res, [model], [step["name"]], step["ask"] == "json", stream=True)
        else:
            self.expect(res, outs, status)
        after = self.cache_state()
        if after != before:
            raise Defect("changed", self.detail(res, f"a stream saved in the cache: {sorted(set(after.items()) - set(before.items()))}"))

    def op_raw(self, step):
        """--raw takes the bytes as they are; the text's answers after it
        are still the text's."""
        slot = self.slot_of(step)
        self.strip_padding(slot)  # padding is zero_pad's case
        raw, text = Text(slot.data()), Text(slot.text())
        if step["ask"] == "count":
            res = self.lines(["--raw", "-c", slot.name])
            self.expect(res, b"%d\n" % raw.count, 0)
        else:
            ranges = self.resolved_ranges(raw.count, step["ranges"])
            numbers, status = raw.ranges(ranges)
            self.expect(self.lines(["--raw", slot.name] + self.range_args(ranges)), raw.render(numbers), status)
        self.expect(self.lines(["-c", slot.name]), b"%d\n" % text.count, 0)
        if text.count:
            k = 1 + step["k"] % text.count
            self.expect(self.lines([slot.name, str(k)]), text.render([k]), 0)

    # Compressed files: units appended, padding, cut short ----------------------

    def op_unit(self, step):
        """A gzip member, zstd frame or xz stream appended (as gzip -c new >>
        app.log.gz does), then every line read back and the new ones looked
        up, from the saved index as the steps left it."""
        slot = self.slot_of(step)
        self.change_append(slot, step)
        model = Text(slot.text())
        self.expect(self.lines([slot.name, "1-"]), model.render(list(range(1, model.count + 1))), 0)
        self.expect(self.lines(["-c", slot.name]), b"%d\n" % model.count, 0)
        if model.count:
            k = model.count - step["k"] % min(model.count, 50)
            self.expect(self.lines([slot.name, f"{k}-"]), model.render(list(range(k, model.count + 1))), 0)
            # Lookups that start at checkpoints before the new unit and decode into it.
            numbers = spread(model.count, step["k"])
            self.expect(self.lines([slot.name] + [str(n) for n in numbers]), model.render(numbers), 0)

    def op_zero_pad(self, step):
        """Zero bytes after whole gzip members, as block padding leaves them:
        read as gzip -dc reads them."""
        slot = self.slots["c.log.gz"]
        if not slot.units:
            self.change_append(slot, dict(step, shape="prose", size=2000))
        slot.pad += step["zeros"]
        append_small(self.path(slot), b"\0" * step["zeros"])
        model = Text(slot.text())
        res = self.lines(["-c", slot.name])
        self.expect(res, b"%d\n" % model.count, 0)
        self.expect(self.lines([slot.name, "1-"]), model.render(list(range(1, model.count + 1))), 0)
        with open(self.path(slot), "rb") as f:
            res = self.lines(["-c", "-"], stdin=f)
        self.expect(res, b"%d\n" % model.count, 0)

    def op_cut_short(self, step):
        """A compressed file cut short (a copy interrupted, a disk filled):
        never an answer of fewer lines with status 0 and no word of it."""
        form = step["form"]
        text = b"".join(b"line %d of the cut file\n" % i for i in range(step["lines"]))
        data = unit_of(form, text, step["seed"])
        cut = data[:max(20, int(len(data) * step["at"]))]
        name, path = self.scratch("cut", form)
        write_file(path, cut)
        decoded = Text(partial_text(cut, form))
        whole = decoded.count - (1 if decoded.lines and not decoded.lines[-1].endswith(b"\n") else 0)
        ask = step["ask"]
        try:
            if ask in ("count", "count_nocache", "summary", "json", "stream"):
                flag = {"summary": "-s", "json": "--json"}.get(ask, "-c")
                extra = ["--no-cache"] if ask == "count_nocache" else []
                if ask == "stream":
                    with open(path, "rb") as f:
                        res = self.lines([flag, "-"], stdin=f)
                else:
                    res = self.lines(extra + [flag, name])
                if res.returncode == 0:
                    raise Defect("status", self.detail(res, f"status 0 for a file cut short ({whole} whole lines decode "
                                                            f"before the cut); printed {res.stdout[:200]!r}"))
                counted = re.search(rb"(?m)^(?:lines: )?(\d+)$|\"lines\": (\d+)", res.stdout)
                if counted and int(counted.group(1) or counted.group(2)) > whole:
                    raise Defect("wrong", self.detail(res, f"more lines than the {whole} before the cut"))
            elif form == "gzip" and whole > 10:
                # The whole lines before the cut are the file's lines so far.
                k = 1 + step["k"] % (whole * 9 // 10)
                res = self.lines([name, str(k)])
                if res.stdout != b"line %d of the cut file\n" % (k - 1):
                    raise Defect("wrong", self.detail(res, f"line {k} of {whole} whole lines before the cut: "
                                                           f"printed {res.stdout[:200]!r}"))
        finally:
            self.forget(path)
            os.remove(path)

    # Follow ------------------------------------------------------------------

    def follow(self, cmd, act, seed):
        """Runs `lines -f` while `act()` changes the file, then stops it as a
        user does (SIGTERM or SIGINT); its output, standard error and status."""
        proc = subprocess.Popen([self.exe, "-v"] + cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                env=self.env, cwd=self.work, start_new_session=True)
        out, err = [], []
        readers = [threading.Thread(target=lambda s=s, into=into: into.extend(iter(lambda: s.read1(65536), b"")),
                                    daemon=True) for s, into in ((proc.stdout, out), (proc.stderr, err))]
        for r in readers:
            r.start()
        deadline = time.monotonic() + 30
        # Ready once it has its index (or waits for the file): changes before
        # that are part of what it prints first.
        ready = (b"indexed ", b"index loaded", b"waiting for it", b"answered from")
        while not any(w in b"".join(err) for w in ready):
            if proc.poll() is not None or time.monotonic() > deadline:
                break
            time.sleep(0.02)
        if proc.poll() is None and time.monotonic() <= deadline:
            time.sleep(POLL / 2)
            act()
            time.sleep(POLL + 0.4)
        if proc.poll() is None:
            proc.send_signal(signal.SIGTERM if seed % 2 else signal.SIGINT)
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired as e:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
            raise Defect("hang", f"lines -f {cmd} did not end on a signal") from e
        for r in readers:
            r.join(5)
        res = subprocess.CompletedProcess(cmd, proc.returncode, b"".join(out), b"".join(err))
        res.args = "lines " + " ".join(shlex.quote(a) for a in cmd)
        if res.returncode < 0 and -res.returncode not in (signal.SIGTERM, signal.SIGINT) or \
                res.returncode == soaklib.SANITIZER_STATUS or b"Sanitizer" in res.stderr or b"runtime error:" in res.stderr:
            raise Defect("crash", self.detail(res, "crashed while following"))
        if time.monotonic() > deadline and not any(w in res.stderr for w in ready):
            raise Defect("hang", self.detail(res, "never had its index within 30 s"))
        return res

    def op_follow(self, step):
        """Appends, truncation and rotation of a followed file, POLL apart;
        printed: the range asked for, then what came, a file truncated or
        replaced from its start, one renamed away read to its end first."""
        slot = self.slot_of(step)
        crlf = step.get("crlf", False)
        compressed = slot.form != "plain"
        if compressed:
            # Made empty and filled while followed is a case of its own (follow_new);
            # padding stripped while followed is a truncation.
            self.strip_padding(slot)
            if not slot.units:
                self.change_append(slot, step["actions"][0])
        model = Text(slot.text(), crlf)
        ranges = self.resolved_ranges(model.count, step["ranges"][:1]) if step["ranges"] else []
        numbers, _ = model.ranges(ranges)
        expected = [model.render(numbers)[0]]

        def act():
            for a in step["actions"]:
                do = a["do"]
                if do == "truncate" and not compressed:
                    had = len(slot.text())
                    self.change_truncate(slot, a)
                    if len(slot.text()) < had:
                        expected.append(slot.text())  # followed from its start
                    time.sleep(POLL)
                    expected.append(self.change_append(slot, a))
                elif do in ("rotate", "append_rotate", "truncate"):
                    if do == "append_rotate":
                        # Before the next poll: what came must still be printed.
                        expected.append(self.change_append(slot, a))
                    expected.append(self.change_rotate(slot, dict(a, pause=POLL), fill_at_once=compressed))
                else:
                    expected.append(self.change_append(slot, a))
                time.sleep(POLL)

        self.followed((["--crlf"] if crlf else []) + ["-f", slot.name] + self.range_args(ranges), act, step, expected)

    def op_follow_touch(self, step):
        """A followed file touched (its times moved, its bytes the same, as
        touch or a truncation to its own size leave it), then appended to:
        nothing was truncated or rewritten, so nothing is printed again."""
        slot = self.slots[step["slot"] if SLOTS[step["slot"]] == "plain" else "a.log"]
        path = self.path(slot)

        def act():
            if step.get("truncate"):
                os.truncate(path, len(slot.data()))
            else:
                os.utime(path)
            time.sleep(POLL)
            expected.append(self.change_append(slot, dict(step, shape="prose")))
            time.sleep(POLL)

        expected = []
        self.followed(["-f", slot.name], act, step, expected)

    def op_follow_new(self, step):
        """A compressed log made empty first and filled later (producer |
        gzip > app.log.gz), or not there yet: printed by its text, told by
        its first bytes once it has them."""
        form = step["form"]
        name, path = self.scratch("new", form)
        if not step.get("absent"):
            write_file(path, b"")
        texts = [make_bytes(step["seed"] + i, step["size"], "prose") for i in range(2)]

        def act():
            for i, text in enumerate(texts):
                if step.get("absent") and i == 0:
                    write_file(path, b"")
                    time.sleep(POLL)
                append_small(path, unit_of(form, text, step["seed"] + i), 512)
                time.sleep(POLL)

        self.followed(["-f", name], act, step, texts, path)

    def op_follow_empty(self, step):
        """-f of a file that appears holding no line, then lines: said once
        and right; "has 0 lines" answers a range that nobody asked for."""
        form = step["form"]
        name, path = self.scratch("empty", form)
        text = make_bytes(step["seed"], step["size"], "prose")

        def act():
            write_file(path + ".new", unit_of(form, b"", step["seed"]))
            os.replace(path + ".new", path)
            time.sleep(POLL)
            append_small(path, unit_of(form, text, step["seed"]))
            time.sleep(POLL)

        res = self.followed(["-f", name], act, step, [text], path)
        if b"has 0 lines" in res.stderr:
            raise Defect("error", self.detail(res, "'has 0 lines' said of a followed file, for no range asked"))

    def scratch(self, stem, form):
        """A file of the step's own, not there yet."""
        name = stem + {"plain": ".log", "gzip": ".gz", "zstd": ".zst", "xz": ".xz"}[form]
        path = os.path.join(self.work, name)
        if os.path.lexists(path):
            os.remove(path)
        return name, path

    def followed(self, cmd, act, step, expected, scratch=None):
        """follow(), its output compared with `expected` as `act` left it;
        the step's own file removed after."""
        try:
            res = self.follow(cmd, act, step["seed"])
        finally:
            if scratch and os.path.exists(scratch):
                self.forget(scratch)
                os.remove(scratch)
        want = b"".join(expected)
        if res.stdout != want:
            raise Defect("wrong", self.detail(res, "followed output differs from the model's: " + diff(want, res.stdout)))
        return res

    # Memory, messages and the index's size ------------------------------------

    def op_memlimit(self, step):
        """-t 1 of a stream whose last line does not fit under the address
        space limit: "not enough memory" and status 2 as files end, never a
        crash nor part of the line with status 0."""
        if self.sanitized:
            return
        limit = step["mib"] << 20
        size = limit + (32 << 20)
        chunk = b"a" * (1 << 20)
        if step["form"] == "plain":
            pieces = (chunk for _ in range(size >> 20))
        else:
            if size not in self.big_streams:
                c = zlib.compressobj(1, zlib.DEFLATED, 31)
                self.big_streams[size] = b"".join(c.compress(chunk) for _ in range(size >> 20)) + c.flush()
            data = self.big_streams[size]
            pieces = (data[i:i + (1 << 20)] for i in range(0, len(data), 1 << 20))

        def limited():
            resource.setrlimit(resource.RLIMIT_AS, (limit, limit))

        got = {"bytes": 0, "a_only": True}

        def count(block):
            got["bytes"] += len(block)
            got["a_only"] = got["a_only"] and block.count(b"a") == len(block)

        res = self.fed([self.exe, "-t", "1", "-"], pieces, preexec_fn=limited, keep=count)
        res.args = f"lines -t 1 - < ({step['form']} line of {size >> 20} MiB), address space {step['mib']} MiB"
        crashed(res)
        if res.returncode == 0 and (got["bytes"] != size or not got["a_only"]):
            raise Defect("status", self.detail(res, f"status 0 with {got['bytes']} of the line's {size} bytes"))

    def op_refuse(self, step):
        """A form this build does not read: refused with status 2, named with
        its article ("an lz4")."""
        magic, article = REFUSED[step["form"]]
        name = f"refused.{step['form']}"
        write_file(os.path.join(self.work, name), magic + make_bytes(step["seed"], 64, "binary"))
        res = self.lines([name, "1"])
        if res.returncode != 2:
            raise Defect("status", self.detail(res, "the model says status 2"))
        if f"{article} file".encode() not in res.stderr:
            raise Defect("error", self.detail(res, f"does not say '{article} file'"))

    def op_refuse_quoted(self, step):
        """The command that the refusal suggests names the file as a shell
        reads it, whatever its name holds."""
        form = step["form"]
        name = step["name"] + "." + form
        path = os.path.join(self.work, name)
        write_file(path, REFUSED[form][0] + b"\0" * 32)
        try:
            res = self.lines([name, "1"])
        finally:
            os.remove(path)
        message = res.stderr.decode("utf-8", "replace")
        command = re.search(r"read it as (.*?) \| lines - N", message)
        if res.returncode != 2 or not command:
            raise Defect("error", self.detail(res, "no command suggested"))
        try:
            words = shlex.split(command.group(1))
        except ValueError as e:
            raise Defect("error", self.detail(res, f"the suggested command is no shell's: {e}")) from e
        if not words or words[-1] != name:
            raise Defect("error", self.detail(res, f"the suggested command names {words[-1:]} for {name!r}"))

    def op_allowance(self, step):
        """The saved index of a gzip file of base64 text (which deflates to
        about 75 %) within the README's allowance: 2.2 bytes a line plus
        1.5 % of the text."""
        rng = random.Random(step["seed"])
        raw = base64.b64encode(rng.randbytes(step["mib"] << 20))
        width = step["width"]
        text = b"".join(raw[i:i + width] + b"\n" for i in range(0, len(raw), width))
        path = os.path.join(self.work, "base64.gz")
        write_file(path, gzip.compress(text, 6, mtime=0))
        try:
            res = self.lines(["-c", "base64.gz"])
            self.expect(res, b"%d\n" % text.count(b"\n"), 0)
            saved = os.path.getsize(self.entry(path, False) + ".idx")
            count = text.count(b"\n")
            allowance = 2.2 * count + 0.015 * len(text)
            # A few KiB of header and tables are not the text's to answer for.
            if saved > allowance + 8192:
                raise Defect("wrong", self.detail(res, f"saved index of {saved} bytes for {len(text)} bytes of text "
                                                       f"in {count} lines: {saved / allowance:.2f} times the "
                                                       f"allowance of {allowance:.0f}"))
        finally:
            self.forget(path)
            os.remove(path)

    # Hostile cache entries -------------------------------------------------------

    def saved_entry(self, slot, crlf, raw=False):
        """The slot's cache entry, saved by a count run; None if none was."""
        self.lines(["-c"] + (["--crlf"] if crlf else []) + (["--raw"] if raw else []) + [slot.name])
        entry = self.entry(self.path(slot), crlf)
        return entry if os.path.exists(entry + ".idx") else None

    def op_sum(self, step):
        """The summary beside the index, its count rewritten and its FNV sum
        made right: the count printed is still the file's."""
        slot = self.slot_of(step)
        crlf = step.get("crlf", False)
        model = Text(slot.text(), crlf)
        entry = self.saved_entry(slot, crlf)
        if entry is None or not os.path.exists(entry + ".sum"):
            return
        with open(entry + ".sum", "rb") as f:
            summary = f.read()
        forged = re.sub(rb"(?m)^lines \d+$", b"lines %d" % (model.count + step["delta"]), summary[:summary.rfind(b"hash ")])
        write_file(entry + ".sum", forged + b"hash %016x\n" % fnv1a(forged))
        args = (["--crlf"] if crlf else []) + (["--json"] if step.get("json") else ["-c"]) + [slot.name]
        res = self.lines(args)
        if step.get("json"):
            self.expect_summary(res, [model], [slot.name], True)
        else:
            self.expect(res, b"%d\n" % model.count, 0)

    def op_mutate(self, step):
        """A saved index made to lie with every hash right, then asked twice:
        the model's answer each time (a warning is fine), or a refusal that
        the program mends by indexing anew."""
        if not os.access(self.mutator, os.X_OK):
            return  # the mutator is not built
        slot = self.slot_of(step)
        crlf = step.get("crlf", False)
        model = Text(slot.text(), crlf)
        entry = self.saved_entry(slot, crlf)
        if entry is None:
            return
        res = subprocess.run([self.mutator, "--mutate", step["kind"], "--seed", str(step["seed"]), "--index",
                              entry + ".idx"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
        if res.returncode != 0:
            return  # none of the kind applies here (4), or the index was not its to read
        if (step.get("drop_sum") or step["kind"] == "longest") and os.path.exists(entry + ".sum"):
            # Else a count or summary comes from the summary, never reading the index.
            os.remove(entry + ".sum")
        extra = ["--crlf"] if crlf else []
        ask = step["ask"]
        # Twice: a refusal must be mended by the first run, not met again.
        for _ in range(2):
            if ask == "summary":
                self.expect_summary(self.lines(extra + ["--json", slot.name]), [model], [slot.name], True)
            elif ask == "count":
                self.expect(self.lines(extra + ["-c", slot.name]), b"%d\n" % model.count, 0)
            elif ask == "tail":
                k = step["k"] % (model.count + 3)
                self.expect(self.lines(extra + ["-t", str(k), slot.name]), model.render(model.tail(k)), 0)
            else:
                # Rising: a line printed before another is the line face's case.
                ranges = self.resolved_ranges(model.count, step["ranges"], rising=True)
                if ask == "spread":
                    ranges = [(n, n) for n in spread(model.count, step["k"])]
                numbers, status = model.ranges(ranges)
                self.expect(self.lines(extra + [slot.name] + self.range_args(ranges)), model.render(numbers), status)
        # A lie that the answers above cannot see (a last line end dropped)
        # shows once more is indexed after it: an append, read back whole.
        # (A second xz stream is xz_stream's case.)
        if slot.form != "xz":
            self.change_append(slot, {"seed": step["seed"], "size": 200, "shape": "prose"})
            model = Text(slot.text(), crlf)
            self.expect(self.lines(extra + ["-c", slot.name]), b"%d\n" % model.count, 0)
            self.expect(self.lines(extra + [slot.name, "1-"]), model.render(list(range(1, model.count + 1))), 0)
        # What comes later is the later steps' to answer for.
        self.forget(self.path(slot))

    # Steps ------------------------------------------------------------------------

    def execute(self, step):
        op = step["op"]
        if op in ("append", "truncate", "rewrite", "rotate", "symlink"):
            slot = self.slot_of(step)
            if op == "rewrite" and slot.form != "plain":
                return
            getattr(self, "change_" + op)(slot, step)
        elif op in UNIT_OP.values():
            self.op_unit(step)
        elif op in ("follow_plain", "follow_gzip", "follow_zstd", "follow_xz"):
            self.op_follow(step)
        elif op.startswith("mutate_"):
            self.op_mutate(dict(step, kind=op[len("mutate_"):]))
        else:
            getattr(self, "op_" + op)(step)

    def generate(self, rng):
        r = rng.random
        slot = rng.choice(list(SLOTS))
        seed = rng.getrandbits(32)
        crlf = r() < 0.25
        step = {"slot": slot, "seed": seed}
        ranges = [[rng.getrandbits(20), rng.getrandbits(20), rng.choice(["one", "span", "span", "open"])]
                  for _ in range(rng.choice([1, 1, 2, 3, 4]))]
        query = {"mode": rng.choice(["cold", "warm", "nocache", "as_is", "as_is"]), "crlf": crlf,
                 "number": r() < 0.25, "offsets": r() < 0.2}
        if r() < 0.1:
            query["threads"] = rng.randint(1, 3)
        if r() < 0.05:
            query["limit"] = rng.choice(["1", "64K", "1M"])
        k = rng.getrandbits(16)
        table = [
            (14, lambda: dict(step, op="append", slot=rng.choice(["a.log", "b.log"]), **self.shape(rng))),
            (3, lambda: dict(step, op="truncate", to=0 if r() < 0.3 else None)),
            (3, lambda: dict(step, op="rewrite")),
            (2, lambda: dict(step, op="rotate", **self.shape(rng))),
            (1, lambda: dict(step, op="symlink", copy=r() < 0.5)),
            (6, lambda: dict(step, slot=(s := rng.choice(["c.log.gz", "d.log.zst", "e.log.xz"])),
                             op=UNIT_OP[SLOTS[s]], k=k, **self.shape(rng, small=True))),
            (1, lambda: dict(step, op="zero_pad", zeros=rng.choice([1, 8, 512, 4096]))),
            (16, lambda: dict(step, op="line", ranges=ranges, **query)),
            (5, lambda: dict(step, op="tail", k=rng.choice([0, 1, 2, 10, k]), **query)),
            (5, lambda: dict(step, op="count", slots=rng.sample(list(SLOTS), rng.choice([1, 1, 2, 3])), **query)),
            (5, lambda: dict(step, op="summary", slots=rng.sample(list(SLOTS), rng.choice([1, 1, 2])),
                             json=r() < 0.5, **query)),
            (3, lambda: dict(step, op="split", n=rng.choice([1, 2, 3, 7, 100]), **query)),
            (3, lambda: dict(step, op="sample", k=rng.choice([0, 1, 5, k]), **query)),
            (6, lambda: dict(step, op="stream", ask=rng.choice(["ranges", "ranges", "tail", "count", "summary", "json"]),
                             ranges=ranges, k=k, raw=SLOTS[slot] != "plain" and r() < 0.2, **query)),
            (3, lambda: dict(step, op="devstdin", name=rng.choice(["/dev/stdin", "-"]),
                             ask=rng.choice(["ranges", "tail", "count", "json"]), ranges=ranges, k=k, **query)),
            (2, lambda: dict(step, op="raw", slot=rng.choice(["c.log.gz", "d.log.zst", "e.log.xz"]),
                             ask=rng.choice(["count", "ranges"]), ranges=ranges, k=k)),
            # By form: a second xz stream followed and a gzip member rotated away
            # before the next poll are cases of their own.
            (2, lambda: dict(step, op="follow_" + SLOTS[slot], crlf=crlf, ranges=ranges[:1] if r() < 0.4 else [],
                             actions=[dict(do=rng.choice(["append", "append", "truncate", "rotate", "append_rotate"]),
                                           seed=rng.getrandbits(32), **self.shape(rng, small=True))
                                      for _ in range(rng.randint(1, 4))])),
            (0.5, lambda: dict(step, op="follow_touch", truncate=r() < 0.5, size=rng.choice([10, 3000]))),
            (0.5, lambda: dict(step, op="follow_new", form=rng.choice(["plain", "gzip", "zstd", "xz"]),
                               absent=r() < 0.3, size=rng.choice([10, 3000]))),
            (0.5, lambda: dict(step, op="follow_empty", form=rng.choice(["plain", "gzip", "zstd", "xz"]),
                               size=rng.choice([10, 3000]))),
            (1, lambda: dict(step, op="cut_short", form=rng.choice(["gzip", "zstd", "xz"]), lines=rng.choice([50, 30000]),
                             at=rng.uniform(0.2, 0.95), k=k,
                             ask=rng.choice(["count", "count_nocache", "summary", "json", "stream", "line"]))),
            (0.3, lambda: dict(step, op="memlimit", form=rng.choice(["plain", "gzip"]), mib=256)),
            (0.5, lambda: dict(step, op="refuse", form=rng.choice(list(REFUSED)))),
            (0.5, lambda: dict(step, op="refuse_quoted", form=rng.choice(list(REFUSED)),
                               name=rng.choice(["my log", "it's", "a$b", "x;y", "star*", "ünï"]))),
            (0.2, lambda: dict(step, op="allowance", mib=rng.choice([4, 6]), width=rng.choice([76, 200, 1000, 4000]))),
            (1.5, lambda: dict(step, op="sum", delta=rng.choice([-1, 1, 5, 1000]), crlf=crlf, json=r() < 0.3)),
            (6, lambda: dict(step, op="mutate_" + (kind := rng.choice(MUTATIONS)), crlf=crlf, drop_sum=r() < 0.5, k=k,
                             slot=self.mutated_slot(rng, kind),
                             ranges=ranges, ask=rng.choice(["ranges", "spread", "spread", "tail", "count", "summary"]))),
        ]
        pick = r() * sum(w for w, _ in table)
        for weight, make in table:
            pick -= weight
            if pick < 0:
                return make()
        return table[0][1]()

    def mutated_slot(self, rng, kind):
        """Half the time the largest file, which has pages, ranges and
        checkpoints to lie about; a compressed one for a checkpoint's lie."""
        names = [s for s in SLOTS if SLOTS[s] != "plain"] if kind.startswith(("checkpoint", "window")) else list(SLOTS)
        return rng.choice(names) if rng.random() < 0.5 else max(names, key=lambda s: len(self.slots[s].data()))

    @staticmethod
    def shape(rng, small=False):
        """A size and a shape for bytes appended: mostly small writes, now
        and then a line of megabytes or a file of many lines."""
        pick = rng.random()
        if pick < 0.8 or (small and pick < 0.85):
            return {"size": rng.choice([1, 2, 3, 17, 100, 4000, 70000]), "shape": rng.choice(SMALL_SHAPES),
                    "piece": rng.choice([1, 3, 64, 4096])}
        if pick < 0.9:
            return {"size": rng.choice([1, 3]) << 20, "shape": "long_line", "piece": 1 << 16}
        if small:
            return {"size": rng.choice([1, 2]) << 20, "shape": "prose", "piece": 1 << 16}
        return {"size": rng.choice([1, 4]) << 20, "shape": rng.choice(["prose", "empty_lines"]), "piece": 1 << 16}


def spread(count, k):
    """A line in each fifth of `count`, rising: each decoded from its own
    checkpoint."""
    return sorted({1 + (count * i + k % max(1, count)) // 5 for i in range(5)})


def crashed(res):
    if res.returncode < 0 or res.returncode == soaklib.SANITIZER_STATUS or b"Sanitizer" in res.stderr or \
            b"runtime error:" in res.stderr:
        raise Defect("crash", f"{res.args}: status {res.returncode}: {res.stderr[-2000:].decode('utf-8', 'replace')}")


def diff(want, got):
    at = next((i for i, (a, b) in enumerate(zip(want, got)) if a != b), min(len(want), len(got)))
    return (f"{len(got)} bytes, the model {len(want)}; first difference at byte {at}: "
            f"{got[max(0, at - 40):at + 40]!r}, the model {want[max(0, at - 40):at + 40]!r}")


def fnv1a(data):
    h = 14695981039346656037
    for c in data:
        h = ((h ^ c) * 1099511628211) & 0xFFFFFFFFFFFFFFFF
    return h


def partial_text(data, form):
    """What the tools that are not ours decode of a cut-short file before
    its cut."""
    if form == "gzip":
        return zlib.decompressobj(31).decompress(data)
    if form == "xz":
        return lzma.LZMADecompressor().decompress(data)
    return subprocess.run(["zstd", "-dcq"], input=data, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL).stdout


if __name__ == "__main__":
    LinesWorker().main()
