"""What the soak's Python workers share: the model of a file's lines, the
changes made to real files, and the step loop of the workers' protocol
(README.md beside this file)."""

import argparse
import gzip
import json
import lzma
import os
import random
import shutil
import subprocess
import sys
import time
import zlib


class Defect(Exception):
    """A difference from the model: `kind` is wrong, status, changed, error or leak."""

    def __init__(self, kind, detail):
        super().__init__(detail)
        self.kind = kind
        self.detail = detail


# The model ------------------------------------------------------------------


def split_lines(text, ends="lf"):
    """The lines of `text` without their line ends, the plainest way: with
    "lf" an LF ends a line and a CR before it belongs to the line end; with
    "crlf" only CR LF does. A last line without a line end is a line; an
    empty text has none."""
    if not text:
        return []
    sep = b"\n" if ends == "lf" else b"\r\n"
    lines = text.split(sep)
    last = lines.pop()
    if ends == "lf":
        # Only a CR before an LF belongs to the line end.
        lines = [line[:-1] if line.endswith(b"\r") else line for line in lines]
    if last:
        lines.append(last)
    return lines


def split_with_ends(text, ends="lf"):
    """The lines of `text` each with its line end as the text has it."""
    if not text:
        return []
    sep = b"\n" if ends == "lf" else b"\r\n"
    parts = text.split(sep)
    out = [p + sep for p in parts[:-1]]
    if parts[-1]:
        out.append(parts[-1])
    return out


def decompress(data, form):
    """The text of compressed bytes by tools that are not ours: Python's gzip
    and lzma modules, and the zstd program."""
    if form == "gzip":
        return gzip.decompress(data)
    if form == "xz":
        return lzma.decompress(data, format=lzma.FORMAT_XZ)
    if form == "zstd":
        return subprocess.run(["zstd", "-dcq"], input=data, stdout=subprocess.PIPE, check=True).stdout
    return data


def compress(text, form, rng=None):
    """One gzip member, zstd frame or xz stream of `text`."""
    level = (rng or random).choice([1, 6, 9])
    if form == "gzip":
        return gzip.compress(text, compresslevel=level, mtime=0)
    if form == "xz":
        return lzma.compress(text, format=lzma.FORMAT_XZ, preset=level % 7)
    if form == "zstd":
        return subprocess.run(["zstd", "-cq", f"-{level}"], input=text, stdout=subprocess.PIPE, check=True).stdout
    return text


def raw_deflate_member(text):
    """A gzip member written by zlib with a sync flush in the middle, as
    writers that flush between records make it."""
    c = zlib.compressobj(6, zlib.DEFLATED, 31)
    half = len(text) // 2
    return c.compress(text[:half]) + c.flush(zlib.Z_SYNC_FLUSH) + c.compress(text[half:]) + c.flush()


# Bytes of many shapes ----------------------------------------------------------

SHAPES = ("prose", "crlf", "mixed_ends", "cut_ends", "binary", "long_line", "empty_lines", "utf8_bad", "nul")


def make_bytes(seed, size, shape):
    """`size` bytes (about) of one shape, the same for the same seed: CR and
    LF cut anywhere, NUL, invalid UTF-8, lines of megabytes."""
    rng = random.Random(seed)
    out = bytearray()
    words = [b"alpha", b"beta", b"gamma", b"\xc3\xa9t\xc3\xa9", b"x" * 13, b"GET /index.html", b"200", b"-"]
    while len(out) < size:
        if shape == "prose":
            out += b" ".join(rng.choice(words) for _ in range(rng.randint(0, 12))) + b"\n"
        elif shape == "crlf":
            out += b" ".join(rng.choice(words) for _ in range(rng.randint(0, 12))) + b"\r\n"
        elif shape == "mixed_ends":
            out += rng.choice(words) + rng.choice([b"\n", b"\r\n", b"\r", b"\r\r\n", b"\n\r"])
        elif shape == "cut_ends":
            out += rng.choice([b"\r", b"\n", b"a", b"\r\n"]) * rng.randint(1, 3)
        elif shape == "binary":
            out += bytes(rng.getrandbits(8) for _ in range(min(64, size - len(out) + 1)))
        elif shape == "long_line":
            out += b"L" * rng.randint(1, max(1, size)) + rng.choice([b"\n", b"\r\n", b""])
        elif shape == "empty_lines":
            out += rng.choice([b"\n", b"\r\n"]) * rng.randint(1, 20)
        elif shape == "utf8_bad":
            out += rng.choice([b"\xff\xfe", b"\xc3", b"\xed\xa0\x80", b"ok"]) + rng.choice([b"\n", b""])
        elif shape == "nul":
            out += b"\0" * rng.randint(1, 8) + rng.choice([b"\n", b"x", b"\r\n"])
        else:
            raise ValueError(shape)
    return bytes(out[:size])


# Files on disk ------------------------------------------------------------------


def write_file(path, data, mode="wb"):
    with open(path, mode) as f:
        f.write(data)
        f.flush()


def append_small(path, data, piece=4096):
    """Appends as a log is written: in small writes."""
    with open(path, "ab") as f:
        for i in range(0, len(data), piece):
            f.write(data[i:i + piece])
            f.flush()


def rewrite_same_size(path, data_seed):
    """Rewrites the file in place with other bytes of the same size and puts
    its old modification time back: a change that size and time hide."""
    st = os.stat(path)
    if st.st_size == 0:
        return
    rng = random.Random(data_seed)
    with open(path, "r+b") as f:
        at = rng.randrange(st.st_size)
        f.seek(at)
        f.write(bytes([rng.choice(b"xyz\n")]) * min(16, st.st_size - at))
    os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns))


def file_sig(path):
    """What must not change of a file the soak did not ask to change: its
    kind, inode and, for a regular file, its bytes."""
    try:
        st = os.lstat(path)
    except FileNotFoundError:
        return None
    import stat as st_mod
    sig = (st_mod.S_IFMT(st.st_mode), st.st_ino, st.st_rdev)
    if st_mod.S_ISREG(st.st_mode):
        with open(path, "rb") as f:
            sig += (zlib.crc32(f.read()), st.st_size)
    return sig


# Programs -----------------------------------------------------------------------

SANITIZER_STATUS = 86


def run(cmd, timeout=60, **kw):
    """Runs a program; a sanitizer's report or a signal is a crash (Defect)."""
    try:
        res = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout, **kw)
    except subprocess.TimeoutExpired as e:
        raise Defect("hang", f"{cmd} ran over {timeout} s") from e
    if res.returncode < 0 or res.returncode == SANITIZER_STATUS or b"Sanitizer" in res.stderr or \
            b"runtime error:" in res.stderr:
        raise Defect("crash", f"{cmd}: status {res.returncode}: {res.stderr[-2000:].decode('utf-8', 'replace')}")
    return res


# The step loop ------------------------------------------------------------------


class Worker:
    """A face's worker: subclasses set `face`, and give `generate(rng)`, which
    makes one step, `execute(step)`, which runs it and raises Defect, and
    `reset()`, which starts the state afresh after a known defect."""

    face = "?"

    def __init__(self):
        p = argparse.ArgumentParser()
        p.add_argument("--seed", type=int, required=True)
        p.add_argument("--seconds", type=float, required=True)
        p.add_argument("--workdir", required=True)
        p.add_argument("--log", required=True)
        p.add_argument("--steps")
        p.add_argument("--known")
        p.add_argument("--build")
        p.add_argument("--python-path")
        self.args = p.parse_args()
        self.work = self.args.workdir
        os.makedirs(self.work, exist_ok=True)
        self.known = set()
        if self.args.known and os.path.exists(self.args.known):
            with open(self.args.known) as f:
                self.known = {line.strip() for line in f if line.strip()}

    def generate(self, rng):
        raise NotImplementedError

    def execute(self, step):
        raise NotImplementedError

    def reset(self):
        shutil.rmtree(self.work, ignore_errors=True)
        os.makedirs(self.work, exist_ok=True)

    def steps(self):
        if self.args.steps:
            with open(self.args.steps) as f:
                for line in f:
                    if line.strip():
                        yield json.loads(line)
            return
        rng = random.Random(self.args.seed)
        deadline = time.monotonic() + self.args.seconds
        while time.monotonic() < deadline:
            yield self.generate(rng)

    def main(self):
        with open(self.args.log, "a") as log:
            for step in self.steps():
                log.write(json.dumps(step) + "\n")
                log.flush()
                try:
                    self.execute(step)
                except Defect as d:
                    sig = f"{self.face}.{step['op']}.{d.kind}"
                    detail = json.dumps(str(d.detail)[:4000])
                    if sig in self.known:
                        print(f"KNOWN {sig} {detail}", flush=True)
                        self.reset()
                        continue
                    print(f"DEFECT {sig} {detail}", flush=True)
                    sys.exit(3)
        sys.exit(0)
