"""Where results go on disk: output locations checked before any work, rows
written as they arrive, finished files that appear atomically.

    folder = check_dir("out", "-o")                 # ValueError naming -o, before computing
    store = RowFile.start("out/landscape.csv", fields, n_points, key)   # or .resume(...)
    store.add(indices, rows)        # appended to out/landscape.partial.csv, flushed
    store.finish()                  # out/landscape.csv in index order, written atomically
    store.discard()                 # the partial file goes

The partial file holds a first line naming the scan (its key: the grid and
whatever else decides the numbers), a header, and one line per row prefixed
with the row's index in the grid, in the order the rows arrived. A row is on
disk once ``add`` returns; a client killed in the middle of a write leaves
at most a truncated last line, which ``resume`` drops. ``finish`` writes the
rows in index order to a temporary file in the same directory and renames
it over the final name, so a finished file is never seen half written. Only
the index offsets of the rows are held in memory (8 bytes a row).
"""

from __future__ import annotations

import contextlib
import math
import os
import tempfile
import uuid
from array import array

MAGIC = "# lpa_host partial rows, v1:"


def check_dir(path: str, flag: str, files=()) -> str:
    """The absolute path of an output directory, made if missing; ValueError
    naming flag if it cannot be made or written, or if one of `files` (names
    in it the caller will write) is a directory."""
    folder = os.path.abspath(os.path.expanduser(path))
    if os.path.exists(folder) and not os.path.isdir(folder):
        raise ValueError(f"{flag}: {folder} is a file, not a directory")
    try:
        os.makedirs(folder, exist_ok=True)
    except OSError as exc:
        raise ValueError(f"{flag}: cannot make the directory {folder}: "
                         f"{exc.strerror or exc}") from None
    for name in files:
        if os.path.isdir(os.path.join(folder, name)):
            raise ValueError(f"{flag}: {os.path.join(folder, name)} is a directory; the "
                             "results are written to a file of that name")
    try:
        fd, probe = tempfile.mkstemp(dir=folder, prefix=".write-test-")
        os.close(fd)
        os.unlink(probe)
    except OSError as exc:
        raise ValueError(f"{flag}: cannot write in {folder}: {exc.strerror or exc}") from None
    return folder


def check_figure_file(path: str, flag: str) -> str:
    """The absolute path of a figure to write; ValueError naming flag if its
    directory cannot be written or matplotlib knows no such format."""
    from matplotlib.figure import Figure
    target = os.path.abspath(os.path.expanduser(path))
    formats = Figure().canvas.get_supported_filetypes()
    ext = os.path.splitext(target)[1].lstrip(".").lower()
    if ext not in formats:
        raise ValueError(f"{flag}: {path!r} must end in one of "
                         f"{', '.join('.' + f for f in sorted(formats))}")
    check_dir(os.path.dirname(target), flag, files=[os.path.basename(target)])
    return target


def _beside(path: str) -> str:
    """A new, empty file in path's directory, named after it, with the
    permissions a file made there gets (mkstemp's would be private)."""
    folder, name = os.path.split(os.path.abspath(path))
    root, ext = os.path.splitext(name)
    tmp = os.path.join(folder, f".{root}.{uuid.uuid4().hex[:12]}.tmp{ext}")
    open(tmp, "xb").close()
    return tmp


def write_atomically(path: str, write) -> str:
    """write(temporary path), then the file renamed to path: it appears whole
    or not at all."""
    tmp = _beside(path)
    try:
        write(tmp)
        os.replace(tmp, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise
    return path


def save_figure(fig, path: str) -> str:
    """fig saved to path atomically."""
    return write_atomically(path, lambda tmp: fig.savefig(tmp, dpi=110))


def cell(v) -> str:
    """A CSV cell: floats with all their digits (repr), lists space-separated,
    None empty. Numbers and bools only; no quoting is needed."""
    if isinstance(v, list):
        return " ".join(cell(x) for x in v)
    if v is None:
        return ""
    return repr(v) if isinstance(v, float) else str(v)


def partial_path(final: str) -> str:
    root, ext = os.path.splitext(final)
    return f"{root}.partial{ext or '.csv'}"


class Mismatch(ValueError):
    """A partial file that belongs to another scan."""


class RowFile:
    def __init__(self, final: str, fields, n: int, key: str, fh, done: bytearray):
        self.final, self.path = final, partial_path(final)
        self.fields, self.n, self.key = tuple(fields), int(n), key
        self._fh, self.done = fh, done
        self.n_done = sum(done)

    # -- opening -------------------------------------------------------------

    @classmethod
    def start(cls, final: str, fields, n: int, key: str) -> "RowFile":
        """A new partial file (one left over is replaced)."""
        path = partial_path(final)
        fh = open(path, "w", newline="")
        fh.write(f"{MAGIC} {key}\n" + ",".join(("index",) + tuple(fields)) + "\n")
        fh.flush()
        return cls(final, fields, n, key, fh, bytearray(n))

    @classmethod
    def resume(cls, final: str, fields, n: int, key: str) -> "RowFile":
        """The partial file of final, its complete rows counted as done; a new one
        if there is none. Mismatch if it belongs to another scan."""
        path = partial_path(final)
        if not os.path.exists(path):
            return cls.start(final, fields, n, key)
        done = bytearray(n)
        with open(path, "rb") as fh:
            head = [fh.readline().decode("utf-8", "replace").rstrip("\n") for _ in range(2)]
            if head != [f"{MAGIC} {key}", ",".join(("index",) + tuple(fields))]:
                raise Mismatch(f"{path} belongs to another scan (its grid, --segment or "
                               "--count-d differ)")
            good = fh.tell()
            width = len(fields) + 1
            for line in fh:
                if not line.endswith(b"\n"):
                    break  # the write a killed client did not finish
                parts = line.split(b",")
                try:
                    i = int(parts[0])
                except ValueError:
                    break
                if len(parts) != width or not 0 <= i < n:
                    break
                done[i] = 1
                good += len(line)
        fh = open(path, "r+", newline="")
        fh.truncate(good)
        fh.seek(good)
        return cls(final, fields, n, key, fh, done)

    # -- rows ----------------------------------------------------------------

    def add(self, indices, rows) -> None:
        """Append rows (dicts with self.fields) at grid indices; on disk when
        this returns. Indices already done are left as they are."""
        lines = []
        for i, row in zip(indices, rows):
            if not self.done[i]:
                self.done[i] = 1
                self.n_done += 1
                lines.append(",".join([str(i)] + [cell(row.get(k)) for k in self.fields]))
        if lines:
            self._fh.write("\n".join(lines) + "\n")
            self._fh.flush()

    def todo(self, task) -> bool:
        """Whether a task (a list of indices) has a point not done."""
        return not all(self.done[i] for i in task)

    @property
    def complete(self) -> bool:
        return self.n_done == self.n

    # -- the end -------------------------------------------------------------

    def close(self) -> None:
        if not self._fh.closed:
            self._fh.close()

    def finish(self) -> str:
        """Write the final file, rows in index order, atomically, and return its
        path. The partial file stays until ``discard``: a run stopped between
        finishing its files still finds every row."""
        self.close()
        offsets = array("q", [-1]) * self.n
        with open(self.path, "rb") as src:
            src.readline()
            src.readline()
            pos = src.tell()
            for line in src:
                i = int(line[:line.index(b",")])
                if offsets[i] < 0:
                    offsets[i] = pos
                pos += len(line)
            missing = sum(1 for x in offsets if x < 0)
            if missing:
                raise RuntimeError(f"{self.path} lacks {missing} rows")

            def write(tmp):
                with open(tmp, "wb") as out:
                    out.write((",".join(self.fields) + "\n").encode())
                    for off in offsets:
                        src.seek(off)
                        line = src.readline()
                        out.write(line[line.index(b",") + 1:])

            write_atomically(self.final, write)
        return self.final

    def discard(self) -> None:
        """Remove the partial file (once every final file is written)."""
        self.close()
        with contextlib.suppress(FileNotFoundError):
            os.unlink(self.path)


def read_rows(path: str, keys) -> list[dict]:
    """Columns `keys` of a finished file as floats (bools for True/False)."""
    import csv
    out = []
    with open(path, newline="") as fh:
        for r in csv.DictReader(fh):
            out.append({k: _value(r[k]) for k in keys})
    return out


def _value(text: str):
    if text in ("True", "False"):
        return text == "True"
    try:
        return float(text)
    except ValueError:
        return math.nan
