"""How the command line fails: one line on stderr, in the system's own words."""

from __future__ import annotations

# The command's name, at the start of every line it writes to stderr.
PROG = "sovelk"


class UserError(Exception):
    """A problem reported as one line and exit code 2 (the request, a file, the disk)."""


class InputOutOfMemory(MemoryError):
    """Out of memory for a reason the text names: an input's decoding, or the window's size."""


def os_reason(exc: OSError) -> str:
    """The operating system's own words for an error, e.g. 'No space left on device'."""
    return exc.strerror or str(exc)


def os_line(exc: OSError) -> str:
    """An OSError as one line: the reason, and the file it concerns when it names one."""
    where = f": '{exc.filename}'" if exc.filename else ""
    return f"{os_reason(exc)}{where}"


def cannot_write(path: str, exc: OSError) -> UserError:
    return UserError(f"cannot write '{path}': {os_reason(exc)}")
