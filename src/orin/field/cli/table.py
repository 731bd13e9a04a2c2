"""The CSV tables of ``orin-field eval``: points in, points with their values out.

Rules, as a user reads them:

- Fields are separated by commas (with CSV quoting); blank lines and lines
  starting with ``#`` are skipped.
- The first line is a header only when neither of its first two fields is a
  number.  Any other field where x or y should be that is not a number is an
  error that names its line.
- Every row has as many fields as the first; the fields after x and y (ids,
  labels) come back unchanged, before the value columns.
- Numbers are written in the shortest form that reads back as the same
  double (``repr``).
"""

from __future__ import annotations

import csv
import io
import re
from collections.abc import Iterator, Mapping
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import NDArray

from orin.field.cli import UsageError

__all__ = ["PointTable", "read_points", "write_points"]

# Python's float() also takes digit separators ("1_000"), which no CSV
# writer produces; a field holding one is a typo, not a number.
_NOT_CSV_NUMBER = re.compile(r"_")


@dataclass(frozen=True)
class PointTable:
    """Points read from a CSV table, with what came beside them."""

    points: NDArray[np.float64]  #: (N, 2) x, y
    names: list[str]  #: column names: the header's, or x, y, col3, ...
    extras: list[list[str]]  #: per row, the fields after x and y, as read; [] when there are none


def _number(field: str) -> float | None:
    if _NOT_CSV_NUMBER.search(field):
        return None
    try:
        return float(field)
    except ValueError:
        return None


def _shown(line: str) -> str:
    text = line.strip()
    return repr(text if len(text) <= 40 else text[:37] + "...")


def _is_skipped(line: str) -> bool:
    text = line.strip()
    return not text or text.startswith("#")


def _csv_rows(lines: list[str]) -> Iterator[tuple[int, list[str]]]:
    # Comment lines reach the reader as blank ones, so that its line numbers
    # stay those of the input.
    reader = csv.reader("\n" if _is_skipped(line) else line for line in lines)
    try:
        for row in reader:
            if row and not (len(row) == 1 and not row[0].strip()):
                yield reader.line_num, row
    except csv.Error as exc:
        raise UsageError(f"line {reader.line_num}: {exc}") from None


def _plain_rows(lines: list[str]) -> Iterator[tuple[int, list[str]]]:
    # Without a quote character, CSV fields are exactly the comma-separated
    # pieces; splitting them directly is three times faster than csv.reader.
    for number, line in enumerate(lines, start=1):
        if not _is_skipped(line):
            yield number, line.rstrip("\r\n").split(",")


def read_points(data: bytes, name: str) -> PointTable:
    """Parse a CSV table of points.

    Parameters
    ----------
    data : bytes
        The whole input, UTF-8 (a byte-order mark is allowed).
    name : str
        How messages name the input.

    Raises
    ------
    UsageError
        For text that is not UTF-8, an unparsable x or y (naming the line),
        rows of differing length, or a table without points.
    """
    try:
        text = data.decode("utf-8-sig")
    except UnicodeDecodeError as exc:
        raise UsageError(f"{name}: not UTF-8 text (byte {exc.start})") from None
    # Lines end where a CSV reader ends them: at \n, \r or \r\n only.
    lines = list(io.StringIO(text, newline=""))
    rows = _csv_rows(lines) if '"' in text else _plain_rows(lines)
    names: list[str] | None = None
    width = first_line = 0
    xs: list[float] = []
    ys: list[float] = []
    extras: list[list[str]] = []
    try:
        for number, row in rows:
            if width == 0:
                width, first_line = len(row), number
                if len(row) >= 2 and _number(row[0]) is None and _number(row[1]) is None:
                    names = row
                    continue
            x = _number(row[0])
            y = _number(row[1]) if len(row) >= 2 else None
            if x is None or y is None:
                raise UsageError(f"line {number}: expected two numbers x,y, got {_shown(lines[number - 1])}")
            if len(row) != width:
                raise UsageError(f"line {number}: expected {width} fields, as on line {first_line}, got {len(row)}")
            xs.append(x)
            ys.append(y)
            if width > 2:
                extras.append(row[2:])
    except UsageError as exc:
        raise UsageError(f"{name}: {exc}") from None
    if not xs:
        what = "only a header" if names is not None else "no data lines"
        raise UsageError(f"{name}: no points to evaluate (the input holds {what})")
    if names is None:
        names = ["x", "y"] + [f"col{i}" for i in range(3, width + 1)]
    points = np.column_stack([np.array(xs, dtype=np.float64), np.array(ys, dtype=np.float64)])
    return PointTable(points, names, extras)


def write_points(table: PointTable, values: Mapping[str, NDArray[Any]]) -> bytes:
    """The table with one more column per entry of ``values``, as UTF-8 CSV.

    A column keeps its kind: floats (repr, the shortest round trip) or integers.
    """
    out = io.StringIO()
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow([*table.names, *values])
    # tolist() gives Python floats and ints, whose repr is what is wanted.
    columns = [table.points[:, 0].tolist(), table.points[:, 1].tolist()]
    columns += [np.asarray(v).reshape(-1).tolist() for v in values.values()]
    if table.extras:
        writer.writerows(
            [repr(x), repr(y), *extra, *map(repr, rest)] for (x, y, *rest), extra in zip(zip(*columns), table.extras)
        )
    else:
        # Numbers never need quoting; joining them directly is the fast path.
        out.writelines(",".join(map(repr, row)) + "\n" for row in zip(*columns))
    return out.getvalue().encode("utf-8")
