"""Signals during a command: every cleanup runs, and no file is created that its cleanup misses.

Ctrl-C raises KeyboardInterrupt and the other terminating signals raise
``Terminated``, so that every ``finally`` and ``except`` on the way out runs;
the process then ends by the signal itself, as a shell expects.  Either waits
for the end of a ``signals_held`` block, so that a file being created is known
to its cleanup before the exception unwinds.
"""

from __future__ import annotations

import contextlib
import os
import signal
import sys
import threading
from typing import Any, Dict, Iterator, Optional

# Signals whose default action ends the process and that a handler can catch
# safely (not the ones raised by a fault in the process itself).
_TERMINATING = ("SIGTERM", "SIGHUP", "SIGQUIT", "SIGALRM", "SIGUSR1", "SIGUSR2", "SIGXCPU", "SIGVTALRM",
                "SIGPROF", "SIGPWR")


class Terminated(BaseException):
    """A terminating signal arrived; raised like KeyboardInterrupt so that every cleanup runs."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


class _Held:
    depth = 0
    pending: Optional[BaseException] = None


@contextlib.contextmanager
def signals_held() -> Iterator[None]:
    """Hold back an interrupt raised by a signal handler until the block ends.

    Creating a file and recording its name for the cleanup are two steps; an
    exception raised between them would leave a file no cleanup knows of.
    Handlers that call ``hold_or_raise`` are held here and raised at the end.
    Signal handlers run in the main thread only, so a block in another thread
    holds nothing: the exception must not surface in a thread that did not get it.
    """
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    _Held.depth += 1
    try:
        yield
    finally:
        _Held.depth -= 1
        if _Held.depth == 0 and _Held.pending is not None:
            pending, _Held.pending = _Held.pending, None
            raise pending


def hold_or_raise(exc: BaseException) -> None:
    """Raise ``exc`` now, or at the end of the ``signals_held`` block that is running."""
    if _Held.depth == 0:
        raise exc
    if _Held.pending is None:
        _Held.pending = exc


@contextlib.contextmanager
def cleanup_on_signals() -> Iterator[None]:
    """Turn terminating signals into ``Terminated`` for the duration of a command.

    Only signals left at their default action are taken over: one the caller
    chose to ignore (``nohup``) stays ignored.  Ctrl-C still raises
    KeyboardInterrupt.
    """
    installed: Dict[int, Any] = {}

    def handler(signum: int, frame: Any) -> None:
        # A second signal must not cut short the cleanup that the first one starts.
        for num in installed:
            if num != signal.SIGINT:
                signal.signal(num, signal.SIG_IGN)
        hold_or_raise(Terminated(signum))

    def interrupt(signum: int, frame: Any) -> None:
        hold_or_raise(KeyboardInterrupt())

    if threading.current_thread() is threading.main_thread():
        for name in _TERMINATING:
            num = getattr(signal, name, None)
            if num is not None and signal.getsignal(num) == signal.SIG_DFL:
                installed[num] = signal.signal(num, handler)
        if signal.getsignal(signal.SIGINT) is signal.default_int_handler:
            installed[signal.SIGINT] = signal.signal(signal.SIGINT, interrupt)
    try:
        yield
    finally:
        for num, previous in installed.items():
            signal.signal(num, previous)


def die_by(signum: int) -> int:
    """End the process by ``signum`` itself, so that the parent sees how it ended."""
    sys.stdout.flush()
    sys.stderr.flush()
    if signum == getattr(signal, "SIGQUIT", None):
        # Its default action writes a core file: that would be the very file
        # left behind that the cleanup just avoided.
        with contextlib.suppress(ImportError, ValueError, OSError):
            import resource

            resource.setrlimit(resource.RLIMIT_CORE, (0, resource.getrlimit(resource.RLIMIT_CORE)[1]))
    signal.signal(signum, signal.SIG_DFL)
    if hasattr(signal, "pthread_sigmask"):
        signal.pthread_sigmask(signal.SIG_UNBLOCK, {signum})
    os.kill(os.getpid(), signum)
    return 128 + signum  # only if the signal did not end the process
