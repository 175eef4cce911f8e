"""Reading a file that a user or a client names.

A path may name something that never ends (``/dev/zero``) or a FIFO that no
one writes to: read whole, the first grows until memory runs out and the
second waits for ever. :func:`read_bounded` refuses directories and devices
and stops at a limit; with ``regular_only`` (for paths that a remote client
names) it takes regular files only and never waits to open one. The command
line and the MCP server read with it.

:func:`read_file` is for the functions of the library that take a path
(``Market.build_file``, ``Market.replay``, ``feeds.load``, the Dask shards):
it refuses directories and devices too, but reads a file of any size and
raises OSError, as Python's own file functions do.
"""

from __future__ import annotations

import errno
import os
import stat
import sys
from typing import IO, Final, Literal

from ._errors import shorten

__all__ = ["JSON_SPACE", "MiB", "FileRefused", "describe_size", "is_json_text", "open_checked",
           "read_bounded", "read_file", "read_stream"]

MiB: Final = 1 << 20

_CHUNK: Final = 4 * MiB

JSON_SPACE: Final = " \t\r\n"
"""The characters JSON takes as blanks between tokens."""


class FileRefused(Exception):
    """A file that was not read; ``str()`` says why, without the path (the
    caller names the file its own way). `cause` is ``"open"`` (the system's
    error), ``"type"`` (not a kind of file that is read) or ``"size"``."""

    def __init__(self, reason: str, cause: Literal["open", "type", "size"]) -> None:
        super().__init__(reason)
        self.cause = cause


def is_json_text(argument: str) -> bool:
    """Whether an argument that names a file or holds JSON text is the JSON
    text itself: it starts with ``{`` or ``[`` after JSON blanks."""
    return argument.lstrip(JSON_SPACE).startswith(("{", "["))


def describe_size(size: int) -> str:
    """``"16 MiB"`` for a whole number of MiB, else ``"1000 bytes"``."""
    return f"{size // MiB} MiB" if size >= MiB and size % MiB == 0 else f"{size} bytes"


def open_checked(path: str, *, regular_only: bool = False) -> IO[bytes]:
    """`path` opened for reading in binary; raises :class:`FileRefused` for a
    file that cannot be opened, a directory, a device, and with
    `regular_only` anything but a regular file, a symbolic link included."""
    if "\0" in path:
        raise FileRefused("the path holds a NUL character", "open")
    flags = os.O_RDONLY | getattr(os, "O_BINARY", 0) | getattr(os, "O_CLOEXEC", 0)
    if regular_only:
        # O_NONBLOCK: opening a FIFO must not wait for a writer before its type
        # is seen. O_NOFOLLOW: a link put in place after the caller resolved
        # the path is refused rather than followed out of where it pointed.
        flags |= getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_NOFOLLOW", 0)
    try:
        fd = os.open(path, flags)
    except OSError as error:
        if regular_only and error.errno == errno.ELOOP:
            raise FileRefused("it is a symbolic link", "type") from None
        raise FileRefused(error.strerror or str(error), "open") from None
    try:
        refusal = _refused_type(os.fstat(fd).st_mode, regular_only)
        if refusal is not None:
            raise FileRefused(refusal, "type")
        return os.fdopen(fd, "rb")
    except BaseException:
        os.close(fd)
        raise


def _refused_type(mode: int, regular_only: bool) -> str | None:
    """Why a file of `mode` is not read, or None."""
    if stat.S_ISDIR(mode):
        return "it is a directory"
    if stat.S_ISCHR(mode) or stat.S_ISBLK(mode):
        return "it is a device, not a file"
    if regular_only and not stat.S_ISREG(mode):
        return "it is not a regular file"
    return None


def read_stream(stream: IO[bytes], limit: int, expected: int = 0) -> bytes:
    """All of `stream`, or :class:`FileRefused` once it gives more than
    `limit` bytes. `expected` is the size the caller knows of, read at once."""
    chunks = []
    total = 0
    want = min(expected or _CHUNK, limit) + 1
    # Only an empty read is the end: a terminal answers a read a line at a time.
    while chunk := stream.read(want):
        chunks.append(chunk)
        total += len(chunk)
        if total > limit:
            raise FileRefused(f"it holds more than {describe_size(limit)}", "size")
        want = min(_CHUNK, limit + 1 - total)
    return b"".join(chunks)


def read_bounded(path: str, limit: int, *, regular_only: bool = False) -> bytes:
    """The bytes of the file at `path`: see :func:`open_checked`, and a file
    of more than `limit` bytes is refused, before reading when its size is
    known."""
    with open_checked(path, regular_only=regular_only) as file:
        status = os.fstat(file.fileno())
        size = status.st_size if stat.S_ISREG(status.st_mode) else 0
        if size > limit:
            raise FileRefused(f"it holds {size} bytes, more than {describe_size(limit)}",
                              "size")
        return read_stream(file, limit, size)


def read_file(path: str | os.PathLike[str]) -> bytes:
    """The bytes of the file at `path`, which may be of any size. Raises
    OSError: the system's own for a file that cannot be opened
    (FileNotFoundError, IsADirectoryError...), and one that says why for a
    directory or a device that opens."""
    with open(path, "rb") as file:
        status = os.fstat(file.fileno())
        refusal = _refused_type(status.st_mode, regular_only=False)
        if refusal is not None:
            raise OSError(f"cannot read {shorten(os.fspath(path))}: {refusal}; give a file "
                          "of feeds")
        return read_stream(file, sys.maxsize, status.st_size if stat.S_ISREG(status.st_mode)
                           else 0)
