"""The pieces of the ``orin-field`` command, one job per module.

``orin.field.__main__`` parses the arguments and puts these together:
``files`` (input read once, outputs written whole), ``table`` (the CSV of
points), ``raster`` (cells, .npy, GeoTIFF and ROS maps) and ``picture``
(the heat map image).
"""

from __future__ import annotations

__all__ = ["UsageError", "one_line"]


class UsageError(Exception):
    """Bad input from the user: reported as one line on stderr, exit status 2."""


def one_line(exc: BaseException | str) -> str:
    """The message of ``exc`` on one line (library messages may span several)."""
    text = " ".join(str(exc).split())
    return text or (type(exc).__name__ if isinstance(exc, BaseException) else "")
