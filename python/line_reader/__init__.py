"""Any line of a text file of any size, by number, from an index of its lines.

    import line_reader
    f = line_reader.IndexedFile("big.log")              # the text in memory, indexed
    f[0], f[-1], f[10:20], f.line(1), len(f)
    idx = line_reader.FileIndex.build("huge.log")       # the index alone; lines read on demand
    idx.save("huge.idx"); idx = line_reader.FileIndex.load("huge.idx", "huge.log")

Lines are bytes without their line ends. By default LF ends a line (a CR
before it belongs to the line end); with ends="crlf" only CR LF does.
"""

from ._line_reader import Error, FileIndex, IndexedFile, __version__

__all__ = ["Error", "FileIndex", "IndexedFile", "__version__"]


def _index_from_saved_path(path, ends, raw, saved):
    """A pickled FileIndex that names its saved index, loaded lazily and checked as load() checks it."""
    return FileIndex._from_saved_path(path, ends, raw, saved)


def _index_from_saved_form(path, ends, raw, form):
    """A pickled FileIndex, checked against its file as FileIndex.load checks it."""
    return FileIndex._from_saved_form(path, ends, raw, form)
