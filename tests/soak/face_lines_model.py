"""The model that the lines face compares with: a text split into lines the
plainest way (soaklib's split), and what each of the program's answers
should print for it, as README.md's `lines` section and man/lines.1 state
them."""

import json
import re

from soaklib import split_with_ends


def ends_with_end(line, crlf):
    return line.endswith(b"\r\n") if crlf else line.endswith(b"\n")


class Text:
    """One text under one line-end rule: its lines with their ends, where
    each starts, and the first of the longest lines that end in a line end
    (0 and 0 when none is longer than 0 bytes, as the library states it)."""

    def __init__(self, text, crlf=False):
        self.text = text
        self.crlf = crlf
        self.lines = split_with_ends(text, "crlf" if crlf else "lf")
        self.starts = []
        at = 0
        for line in self.lines:
            self.starts.append(at)
            at += len(line)
        self.longest_line, self.longest_length = 0, 0
        for number, line in enumerate(self.lines, 1):
            if not ends_with_end(line, crlf):
                continue
            # With LF a CR before it belongs to the line end, and with CR LF the
            # end is those two bytes: either way the end is CR LF or LF.
            length = len(line) - (2 if line.endswith(b"\r\n") else 1)
            if length > self.longest_length:
                self.longest_line, self.longest_length = number, length

    @property
    def count(self):
        return len(self.lines)

    def render(self, numbers, number=False, offsets=False):
        """The lines `numbers` (from 1) as printed, in every form the docs
        allow: a line printed before another gets the line end it lacks, as
        sed prints it (only the last line can lack one). With CR LF it is
        not said which end that is, so both are taken, and none for a line
        that ends in a bare LF."""
        adds = [b"\n"]
        if self.crlf and self.lines:
            adds = [b"\r\n", b"\n"] + ([b""] if self.lines[-1].endswith(b"\n") else [])
        variants = []
        for add in adds:
            out = bytearray()
            for k, i in enumerate(numbers):
                line = self.lines[i - 1]
                if number:
                    out += b"%6d\t" % i
                if offsets:
                    out += b"%d:" % self.starts[i - 1]
                out += line
                if k + 1 < len(numbers) and not ends_with_end(line, self.crlf):
                    out += add
            variants.append(bytes(out))
        return variants

    def ranges(self, ranges):
        """The line numbers that ranges [(first, last or None for the end)]
        print, and the status: 1 when one starts past the end, or ends past
        it without running to the end."""
        numbers, status = [], 0
        for first, last in ranges:
            if first > self.count or (last is not None and last > self.count):
                status = 1
            if first <= self.count:
                numbers += range(first, min(self.count if last is None else last, self.count) + 1)
        return numbers, status

    def tail(self, k):
        return list(range(max(1, self.count - k + 1), self.count + 1))

    def summary(self, name, json_form, labelled, stream=False):
        """The summary as printed; the index's bytes, which the model has no
        say in, are left as None (0 for a stream)."""
        index = 0 if stream else None
        if json_form:
            return {"file": name, "bytes": len(self.text), "lines": self.count, "longest_line": self.longest_line,
                    "longest_length": self.longest_length, "index_bytes": index,
                    "line_ends": "crlf" if self.crlf else "lf"}
        body = (f"bytes: {len(self.text)}\nlines: {self.count}\nlongest line: {self.longest_line}\n"
                f"longest length: {self.longest_length}\nindex bytes: {'?' if index is None else index}\n")
        return (f"==> {name} <==\n" if labelled else "") + body


def summaries_expected(models, names, json_form, stream=False):
    """The printed summaries of several files (or one), with their total."""
    labelled = len(models) > 1
    parts = [m.summary(n, json_form, labelled, stream) for m, n in zip(models, names)]
    if labelled:
        total = {"files": len(models), "bytes": sum(len(m.text) for m in models),
                 "lines": sum(m.count for m in models)}
        if json_form:
            parts.append(dict(total, index_bytes=None))
        else:
            parts.append(f"==> total <==\nfiles: {total['files']}\nbytes: {total['bytes']}\n"
                         f"lines: {total['lines']}\nindex bytes: ?\n")
    return parts


def summaries_printed(out, json_form, stream=False):
    """The program's summaries in the model's form (the index's bytes of a
    file as None or '?'; a stream's are 0), or None when they cannot be read."""
    text = out.decode("utf-8", "replace")
    if not json_form:
        blocks = re.split(r"(?m)^(?===> )", text) if text.startswith("==> ") else [text]
        if not stream:
            blocks = [re.sub(r"(?m)^index bytes: \d+$", "index bytes: ?", b) for b in blocks]
        return [b for b in blocks if b]
    parts = []
    for line in text.splitlines():
        try:
            obj = json.loads(line)
        except ValueError:
            return None
        if not isinstance(obj, dict) or not isinstance(obj.get("index_bytes"), int):
            return None
        if not stream:
            obj["index_bytes"] = None
        parts.append(obj)
    return parts


def split_checked(model, n, out):
    """Why the parts of --split N are not the model's, or None: they must
    cover every line once, in order, in at most N parts of lines within one
    of each other, each with the byte offset of its first line and the
    bytes of all its lines."""
    rows = []
    for line in out.decode("ascii", "replace").splitlines():
        fields = line.split(" ")
        if len(fields) != 4 or not all(f.isdigit() for f in fields):
            return f"not a part: {line!r}"
        rows.append(tuple(int(f) for f in fields))
    if model.count == 0:
        return None if not rows else "parts of a file of no lines"
    if len(rows) != min(n, model.count):
        return f"{len(rows)} parts, the model {min(n, model.count)}"
    expect_first = 1
    sizes = set()
    for first, last, offset, size in rows:
        if first != expect_first or last < first:
            return f"part {first}-{last} after line {expect_first - 1}"
        end = model.starts[last] if last < model.count else len(model.text)
        if offset != model.starts[first - 1] or size != end - offset:
            return f"part {first}-{last}: offset {offset} bytes {size}, the model {model.starts[first - 1]} {end - offset}"
        sizes.add(last - first + 1)
        expect_first = last + 1
    if expect_first != model.count + 1:
        return f"the parts end at line {expect_first - 1} of {model.count}"
    if max(sizes) - min(sizes) > 1:
        return f"parts of {min(sizes)} to {max(sizes)} lines"
    return None


def sample_checked(model, k, out, number):
    """Why `out` is not min(K, lines) distinct lines of the model in file
    order, or None. The output splits into lines by the same rule; each is
    matched to the earliest model line after the one before that it equals,
    which is exact since no line holds a line end before its own."""
    printed = split_with_ends(out, "crlf" if model.crlf else "lf")
    want = min(k, model.count)
    if len(printed) != want:
        return f"{len(printed)} lines, the model {want}"
    i = 0
    for p in printed:
        while i < model.count and p != (b"%6d\t" % (i + 1) if number else b"") + model.lines[i]:
            i += 1
        if i == model.count:
            return f"line {p[:80]!r} is none of the file's lines after the ones before it"
        i += 1
    return None
