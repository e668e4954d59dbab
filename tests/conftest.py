"""Shared helpers: traceback entries, module-global swaps and fresh interpreters."""

import builtins
import contextlib
import json
import logging
import os
import subprocess
import sys
import traceback
import warnings
import zlib

import numpy as np
import pytest

# The path probe below needs SOVELK_EXPLAIN_PATH=1, which the module reads once, at import. Set
# for this import only: fresh interpreters started by tests see the environment as it was.
_explain_before = os.environ.get("SOVELK_EXPLAIN_PATH")
os.environ["SOVELK_EXPLAIN_PATH"] = "1"
try:
    import Sovelk
finally:
    if _explain_before is None:
        del os.environ["SOVELK_EXPLAIN_PATH"]
    else:
        os.environ["SOVELK_EXPLAIN_PATH"] = _explain_before

# ---- tests that run long: run on request -----------------------------------------------------

LONG_TESTS = ("fuzzing, leak checks, mypy runs, Ctrl-C timing and the hardening tests that fork or end "
              "interpreters")
_long_deselected = pytest.StashKey[int]()


def pytest_addoption(parser):
    parser.addoption("--long", action="store_true",
                     help=f"also run the tests marked long ({LONG_TESTS}); -m long runs only those")


def pytest_configure(config):
    config.addinivalue_line(
        "markers", f"long: {LONG_TESTS}; left out unless --long, -m long or the test's file is named")


def pytest_collection_modifyitems(config, items):
    """Leaves out the long tests, so that `python -m pytest` stays quick as tests are added.

    They run with --long, with a -m expression that names them, or when their file is named on
    the command line (`python -m pytest tests/hardening/test_fuzz.py` still fuzzes)."""
    if config.getoption("--long") or "long" in (config.option.markexpr or ""):
        return
    named = set()
    for arg in config.args:
        path = config.invocation_params.dir / arg.split("::")[0]
        if path.is_file():
            named.add(path.resolve())
    keep, left_out = [], []
    for item in items:
        long = item.get_closest_marker("long") is not None and item.path.resolve() not in named
        (left_out if long else keep).append(item)
    if left_out:
        config.hook.pytest_deselected(items=left_out)
        items[:] = keep
    config.stash[_long_deselected] = len(left_out)


def pytest_terminal_summary(terminalreporter, config):
    left_out = config.stash.get(_long_deselected, 0)
    if left_out:
        terminalreporter.write_line(
            f"{left_out} long tests left out ({LONG_TESTS}): `python -m pytest -m long` runs them")


MODULE_FILE = "Sovelk"
ENTRY_PREFIX = "Sovelk.Joint_bilateral_filter."
MODULE_DIR = os.path.dirname(os.path.abspath(Sovelk.__file__))
Filter = Sovelk.Joint_bilateral_filter


def tb_entries(exc):
    """The traceback of `exc` as (name, filename, lineno), outermost first."""
    return [(fs.name, fs.filename, fs.lineno) for fs in traceback.extract_tb(exc.__traceback__)]


def module_entries(exc):
    return [e for e in tb_entries(exc) if e[1] == MODULE_FILE]


def assert_entries(exc, *expected):
    """Check that the module's entries are exactly `expected`, as (method, line) pairs, in order.

    They must follow the caller's own frames directly and form one run; whatever the failing
    call added itself (numpy's Python frames, an override's frame) must come after them.
    Returns those trailing entries so a test can say what they should be.
    """
    entries = tb_entries(exc)
    want = [(name if name == "init Sovelk" else ENTRY_PREFIX + name, MODULE_FILE, line)
            for name, line in expected]
    positions = [i for i, e in enumerate(entries) if e[1] == MODULE_FILE]
    assert [entries[i] for i in positions] == want, entries
    if not want:
        return []
    first = positions[0]
    assert first >= 1, f"no caller frame before the module's entries: {entries}"
    assert positions == list(range(first, first + len(want))), f"entries not contiguous: {entries}"
    return entries[first + len(want):]


PATH_MESSAGES = {"statements ran": "statements", "int32 fast path ran": "int32",
                 "8-bit fast path ran": "uint8"}


class _PathRecorder(logging.Handler):
    def __init__(self):
        super().__init__(logging.DEBUG)
        self.paths = []
        self.reasons = []

    def emit(self, record):
        text = record.getMessage()
        self.paths += [path for key, path in PATH_MESSAGES.items() if key in text]
        self.reasons.append(text)


@contextlib.contextmanager
def recorded_paths():
    """The path each filtering call took inside the block, in order: "statements", "int32" (the
    fast path from padded int32 arrays) or "uint8" (the 8-bit fast path end to end); the logged
    texts, with the reasons, are in `.reasons`."""
    logger = logging.getLogger("Sovelk")
    recorder = _PathRecorder()
    saved = logger.level, logger.propagate
    logger.addHandler(recorder)
    logger.setLevel(logging.DEBUG)
    logger.propagate = False
    try:
        yield recorder
    finally:
        logger.removeHandler(recorder)
        logger.setLevel(saved[0])
        logger.propagate = saved[1]


def path_of(call):
    """(result of call(), the one path the filtering call took; None if it failed first)."""
    with recorded_paths() as rec:
        out = call()
    assert len(rec.paths) <= 1, rec.reasons
    return out, (rec.paths or [None])[0]


@pytest.fixture
def rng(request):
    # A stable seed per test, so a failure reproduces with the same data.
    return np.random.default_rng(zlib.crc32(request.node.nodeid.encode()))


@pytest.fixture
def f():
    return Filter(1, 0.1)


@contextlib.contextmanager
def module_global(name, value=None, *, missing=False, in_builtins=None):
    """Temporarily rebind (or delete, with missing=True) a global of the module.

    With `in_builtins` an object is also put into the builtins under that name. Everything is
    restored afterwards, even when the body fails, so no other test sees the change.
    """
    g = vars(Sovelk)
    snapshot = dict(g)
    had_builtin = hasattr(builtins, name)
    saved_builtin = getattr(builtins, name, None)
    try:
        if missing:
            del g[name]
        else:
            g[name] = value
        if in_builtins is not None:
            setattr(builtins, name, in_builtins)
        yield
    finally:
        # Rebuilt from the snapshot so that the order of the globals is kept as well.
        g.clear()
        g.update(snapshot)
        if in_builtins is not None:
            if had_builtin:
                setattr(builtins, name, saved_builtin)
            else:
                delattr(builtins, name)


class Recorder:
    """Stands in for a library module: forwards attribute reads and records their names."""

    def __init__(self, target, overrides=None):
        self._target = target
        self._overrides = overrides or {}
        self.reads = []

    def __getattr__(self, name):
        self.reads.append(name)
        if name in self._overrides:
            return self._overrides[name]
        return getattr(self._target, name)


def run_python(code, timeout=120):
    """Run `code` in a fresh interpreter that can import the module under test."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (MODULE_DIR, os.path.dirname(__file__),
                                                    env.get("PYTHONPATH")) if p)
    try:
        return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                              timeout=timeout, env=env)
    except subprocess.TimeoutExpired as exc:
        pytest.fail(f"fresh interpreter did not finish within {timeout} s: {exc.stdout!r} {exc.stderr!r}")


def run_json(code, timeout=120):
    """Run `code`, which prints one JSON document as its last line, and return that document."""
    proc = run_python(code, timeout)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.strip().splitlines()[-1])


# Prelude for fresh-interpreter snippets: the same entry extraction as above, printable as JSON.
SNIPPET_PRELUDE = """
import json, sys, traceback
def entries(exc):
    return [[fs.name, fs.filename, fs.lineno] for fs in traceback.extract_tb(exc.__traceback__)]
def report(**kw):
    print(json.dumps(kw))
"""


# ---- the statements as a reference, and comparable outcomes -----------------------------------

class Statements(Filter):
    """Overriding get_range_kernel keeps the fused kernel out: every call runs the statements."""

    def get_range_kernel(self, tmp_guidance):
        return super().get_range_kernel(tmp_guidance)


# Named like the class it stands in for, so that the interpreter's messages (which name the
# object's type) read alike on both paths.
Statements.__name__ = Statements.__qualname__ = Filter.__name__


def outcome(call, catch=Exception):
    """Run `call`, recording every warning: (value, exception), warnings as (category, text).

    Exactly one of value and exception is meaningful; `catch` widens what is caught (a fuzzer
    judges KeyboardInterrupt or SystemExit out of a call instead of stopping)."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            result = (call(), None)
        except catch as exc:  # noqa: BLE001 - the exception itself is the outcome
            result = (None, exc)
    return result, [(w.category.__name__, str(w.message)) for w in caught]


def comparable(value, exc=None):
    """An outcome as plain data, equal across paths exactly when they did the same thing: arrays
    by type, dtype, shape and bytes, exceptions by type and text, tuples item by item."""
    if exc is not None:
        return ("error", type(exc).__name__, str(exc))
    if issubclass(type(value), np.ndarray):
        base = value.view(np.ndarray)
        data = tuple(map(repr, base.ravel().tolist())) if base.dtype.hasobject else base.tobytes()
        return ("array", type(value).__name__, base.dtype.str, base.shape, data)
    if type(value) is tuple:
        return ("tuple",) + tuple(comparable(v) for v in value)
    return ("value", repr(value))
