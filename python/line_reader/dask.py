"""A Dask bag of a text file's lines, in exact line ranges from one index.

    import line_reader.dask
    bag = line_reader.dask.read_lines("huge.jsonl", npartitions=16)
    bag.count().compute()                  # the line count, from the index: no pass over the file
    bag.map(json.loads).filter(...).compute()

Each partition is lines [first, stop) of the file, read through the
index, which the partition's task holds pickled: it names the saved index it
was loaded from, and unpickling it, when the partition is first read,
checks the file against it (a changed file is line_reader.Error, never a
wrong line). With
dask.distributed the bag runs on a cluster wherever the file and the saved
index (`index_path`) lie on storage that every worker sees at the same path.
Dask is needed by this module alone (Debian: python3-dask).
"""

import hashlib
import math
import os
import pickle
import tempfile

import dask.bag
from dask.highlevelgraph import HighLevelGraph

from . import FileIndex

__all__ = ["LineBag", "LinePart", "read_lines"]

# Partitions of about this much text when neither count is given.
_PARTITION_BYTES = 64 << 20


class LinePart:
    """Lines [first, stop) of an indexed file: its length without a read, its
    lines read a MiB at a time as it is iterated. The index comes pickled and
    is unpickled (and checked against the file) at the first iteration, so
    that a count needs neither."""

    __slots__ = ("_pickled", "_index", "first", "stop")

    def __init__(self, pickled_index, first, stop):
        self._pickled, self._index, self.first, self.stop = pickled_index, None, first, stop

    def __len__(self):
        return self.stop - self.first

    def __iter__(self):
        if self._index is None:
            self._index = pickle.loads(self._pickled)
        return self._index._iterate(self.first, self.stop)

    def __reduce__(self):
        return (LinePart, (self._pickled, self.first, self.stop))

    def __repr__(self):
        return f"LinePart(lines {self.first} to {self.stop})"


class LineBag(dask.bag.Bag):
    """The bag of read_lines: its count() is the line count that the index
    holds, a graph of one value that runs no task on any scheduler. A bag
    made from it (by map, filter, ...) counts its elements as any bag does."""

    _line_count = None  # set on the bag that read_lines makes, and only on it

    def count(self, split_every=None):
        if self._line_count is None:
            return super().count(split_every=split_every)
        key = "count-" + self.name
        return dask.bag.Item(HighLevelGraph.from_collections(key, {key: self._line_count}), key)


def _saved_index_path(path, ends):
    """A saved index's name in the temporary folder, from the file's identity."""
    state = os.stat(path)
    key = f"{os.path.realpath(path)}\0{state.st_dev}\0{state.st_ino}\0{ends}".encode()
    name = "line_reader_dask_" + hashlib.sha256(key).hexdigest()[:24] + ".idx"
    return os.path.join(tempfile.gettempdir(), name)


def read_lines(path, npartitions=None, lines_per_partition=None, ends="lf", index_path=None):
    """A bag of the file's lines (bytes, without their line ends), in
    `npartitions` parts of equal lines (or parts of `lines_per_partition`;
    by default parts of about 64 MiB). The index is built once, or loaded
    from `index_path` (by default a name in the temporary folder made from
    the file's identity) while it describes the file, and saved there."""
    if npartitions is not None and lines_per_partition is not None:
        raise ValueError("give npartitions or lines_per_partition, not both")
    path = os.fspath(path)
    saved = os.fspath(index_path) if index_path is not None else _saved_index_path(path, ends)
    index = None
    if os.path.exists(saved):
        try:
            # Bytes appended since are indexed by each load.
            index = FileIndex.load(saved, path, ends=ends)
        except OSError:
            index = None
    if index is None:
        FileIndex.build(path, ends=ends).save(saved)
        index = FileIndex.load(saved, path, ends=ends)
    count = len(index)
    if lines_per_partition is not None:
        if lines_per_partition < 1:
            raise ValueError("lines_per_partition must be 1 or more")
        npartitions = max(1, math.ceil(count / lines_per_partition))
        bounds = [(k * lines_per_partition, min(count, (k + 1) * lines_per_partition)) for k in range(npartitions)]
    else:
        if npartitions is None:
            npartitions = max(1, min(count, math.ceil(index.indexed_bytes / _PARTITION_BYTES)))
        if npartitions < 1:
            raise ValueError("npartitions must be 1 or more")
        bounds = [(first, stop) for first, stop, _, _ in index.split(npartitions)]
    name = "read_lines-" + hashlib.sha256(f"{saved}\0{count}\0{bounds}".encode()).hexdigest()[:32]
    # Pickled once: loaded from its saved index, it pickles as that index's path.
    pickled = pickle.dumps(index)
    graph = {(name, k): (LinePart, pickled, first, stop) for k, (first, stop) in enumerate(bounds)}
    bag = LineBag(graph, name, len(bounds))
    bag._line_count = count
    return bag
