"""Files as the command meets them: input read once, outputs written whole.

Input is read into memory in one go, so a pipe or ``/dev/stdin`` works as well
as a file.  Every output is produced in memory first and written only once the
whole run has succeeded, so a failed run leaves no output behind:

- ``-`` is standard output;
- a path that exists and is not a regular file (a FIFO, a device) is opened
  and written directly, as a shell redirection would;
- a regular file, or a new one, is written to a temporary file beside it and
  renamed into place, keeping the mode (and, where allowed, the owner) of the
  file it replaces; through a symlink, that is the link's target;
- a file the user may not write is refused, as the shell refuses it.
"""

from __future__ import annotations

import contextlib
import errno
import os
import stat
import sys
import tempfile
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Literal

from orin.field.cli import UsageError

__all__ = ["STDIO", "Target", "check_target", "input_name", "read_input", "write_outputs"]

#: The path that means standard input or output.
STDIO = "-"


def input_name(path: str) -> str:
    """How messages name an input."""
    return "stdin" if path == STDIO else path


def _refused(path: str, verb: str, exc: OSError) -> UsageError:
    return UsageError(f"{input_name(path)}: cannot {verb}: {exc.strerror or exc}")


def read_input(path: str) -> bytes:
    """The whole content of ``path`` (``-``: standard input), read once."""
    if path == STDIO:
        try:
            return sys.stdin.buffer.read()
        except OSError as exc:
            raise _refused(path, "read", exc) from None
    try:
        with open(path, "rb") as fh:
            return fh.read()
    except OSError as exc:
        raise _refused(path, "read", exc) from None


@dataclass(frozen=True)
class Target:
    """Where one output goes, as checked before the work starts."""

    path: str  #: as the user gave it, for messages
    how: Literal["stdout", "direct", "replace"]
    real: str  #: the file that is written: symlinks resolved
    mode: int | None = None  #: permission bits to keep; None for a new file
    owner: tuple[int, int] | None = None  #: (uid, gid) to keep


def check_target(path: str) -> Target:
    """Decide how ``path`` will be written, refusing what a shell would refuse.

    Raises
    ------
    UsageError
        If the path is a directory, its directory does not exist, or the user
        may not write it.
    """
    if path == STDIO:
        return Target(path, "stdout", path)
    try:
        st = os.stat(path)
    except FileNotFoundError:
        return _new_file(path)
    except OSError as exc:
        raise _refused(path, "write", exc) from None
    if stat.S_ISDIR(st.st_mode):
        raise _refused(path, "write", IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR)))
    if not stat.S_ISREG(st.st_mode):
        return Target(path, "direct", path)
    if not os.access(path, os.W_OK):
        raise _refused(path, "write", PermissionError(errno.EACCES, os.strerror(errno.EACCES)))
    real = os.path.realpath(path)
    if not os.access(os.path.dirname(real), os.W_OK | os.X_OK):
        # No temporary file can go beside it, but the shell would still
        # write the file itself; so do we, only once the data is complete.
        return Target(path, "direct", real)
    return Target(path, "replace", real, stat.S_IMODE(st.st_mode), (st.st_uid, st.st_gid))


def _new_file(path: str) -> Target:
    # A dangling symlink names the file to create, as it does for the shell.
    real = os.path.realpath(path)
    parent = os.path.dirname(real)
    try:
        st = os.stat(parent)
    except OSError as exc:
        raise _refused(path, "write", exc) from None
    if not stat.S_ISDIR(st.st_mode):
        raise _refused(path, "write", NotADirectoryError(errno.ENOTDIR, os.strerror(errno.ENOTDIR)))
    if not os.access(parent, os.W_OK | os.X_OK):
        raise _refused(path, "write", PermissionError(errno.EACCES, os.strerror(errno.EACCES)))
    return Target(path, "replace", real)


def _stage(target: Target, data: bytes) -> str:
    """Write ``data`` to a temporary file beside the target; return its name."""
    directory, name = os.path.split(target.real)
    fd, tmp = tempfile.mkstemp(dir=directory, prefix=f".{name}.", suffix=".part")
    try:
        with os.fdopen(fd, "wb") as fh:
            fh.write(data)
        if target.owner is not None and target.owner != (os.geteuid(), os.getegid()):
            # Only root may give a file away; for anyone else the new file
            # is theirs, as it would be had they created it. chown comes
            # before chmod because it clears set-id bits.
            with contextlib.suppress(OSError):
                os.chown(tmp, *target.owner)
        os.chmod(tmp, target.mode if target.mode is not None else 0o666 & ~_umask())
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise
    return tmp


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


def _write_all(fd: int, data: bytes) -> None:
    # os.write, not a buffered file: a buffered write into a pipe whose reader
    # has gone can report a short count instead of raising, and lose the rest.
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view):]


def _write_direct(target: Target, data: bytes) -> None:
    if target.how == "stdout":
        sys.stdout.flush()
        _write_all(sys.stdout.fileno(), data)
        return
    with open(target.real, "wb") as fh:
        _write_all(fh.fileno(), data)


def write_outputs(outputs: Sequence[tuple[Target, bytes]]) -> None:
    """Write every output, or (as far as the file system allows) none.

    Files to replace are all staged first and renamed only when every one of
    them, and every direct output, has been written.

    Raises
    ------
    UsageError
        If any output cannot be written; staged files are removed.
    BrokenPipeError
        If standard output is a pipe whose reader has gone.
    """
    staged: list[tuple[str, Target]] = []
    try:
        for target, data in outputs:
            if target.how == "replace":
                try:
                    staged.append((_stage(target, data), target))
                except OSError as exc:
                    raise _refused(target.path, "write", exc) from None
        for target, data in outputs:
            if target.how != "replace":
                try:
                    _write_direct(target, data)
                except BrokenPipeError:
                    raise
                except OSError as exc:
                    raise _refused(target.path, "write", exc) from None
        while staged:
            tmp, target = staged[0]
            try:
                os.replace(tmp, target.real)
            except OSError as exc:
                raise _refused(target.path, "write", exc) from None
            staged.pop(0)
    finally:
        for tmp, _target in staged:
            with contextlib.suppress(OSError):
                os.unlink(tmp)
