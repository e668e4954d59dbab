"""Property-based fuzzing of construction and of every method, run inside a child interpreter.

test_fuzz.py starts this file as a separate process per target, so that a segfault, an abort or a
hang takes down only the child; the parent then reports the case that was running. Before each
call an account of the case is written to the file named by SOVELK_FUZZ_LASTCASE, and a
faulthandler watchdog ends the child (with every thread's stack) if one case runs longer than
SOVELK_FUZZ_CASE_TIMEOUT.

The cases are drawn by hypothesis strategies (hypothesis.extra.numpy for dtypes, shapes and
values), and replay is hypothesis's own: one seed gives the same cases in the same order, so
    PYTHONPATH=<folder of the Sovelk build> python tests/hardening/fuzzing.py TARGET CASES SEED
runs them again, a crash included. A violated property is shrunk and printed with the blob for
hypothesis's @reproduce_failure; with SOVELK_FUZZ_DB naming a folder, failing cases are also kept
in hypothesis's example database there and tried first by later runs.

Properties checked for every case:
- the call returns, or raises an ordinary exception (an Exception, never SystemError, which the
  interpreter uses for a C function that broke its contract);
- arguments and the filter object are unchanged: contents, dtype, shape, strides and flags of
  every array, identity of every attribute value;
- a returned array shares no memory with an argument or an attribute;
- joint_bilateral_filter gives exactly what the statements give: the same result bytes, dtype
  and shape, or the same exception type and text, and the same warnings.
"""

import contextlib
import faulthandler
import functools
import hashlib
import os
import sys
import types
import warnings

import numpy as np

import Sovelk

# Run as a script, this file still finds the helpers it shares with the other tests.
sys.path.insert(1, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from conftest import Statements, comparable, outcome  # noqa: E402

Filter = Sovelk.Joint_bilateral_filter
ATTRIBUTES = ("sigma_r", "sigma_s", "wndw_size", "pad_w", "kernel_s", "table_r_color", "table_r_gray")
TARGETS = ("construct", "spatial", "tables", "range_kernel", "filter", "unbound")

# ---- odd objects ------------------------------------------------------------------------------


class Refused(RuntimeError):
    """Raised by the odd objects below; an ordinary exception the module must pass through."""


# True while a case's calls run. While cases are drawn, hypothesis asks drawn objects for their
# __class__ (isinstance), which RaisingGetattr then answers.
UNDER_TEST = {"on": False}


class RaisingGetattr:
    """Every attribute read fails, including dunder lookups made through the instance."""

    def __getattribute__(self, name):
        if name == "__class__" and not UNDER_TEST["on"]:
            return RaisingGetattr
        raise Refused(f"attribute {name!r} refused")


class RaisingArray:
    """Claims to convert to an array, then fails while converting."""

    def __array__(self, *args, **kwargs):
        raise Refused("__array__ refused")

    def __len__(self):
        return 3


class RaisingSequence:
    """A sequence whose length and items fail."""

    def __len__(self):
        raise Refused("__len__ refused")

    def __getitem__(self, i):
        raise Refused("__getitem__ refused")


class OddInt(int):
    """An int subclass with its own arithmetic, so a fast path may not treat it as a plain int."""

    def __mul__(self, other):
        return OddInt(int(self) * int(other) + 1)

    __rmul__ = __mul__

    def __index__(self):
        return int(self)


class OddFloat(float):
    pass


class UfuncRaising(np.ndarray):
    """Every ufunc on it fails (arithmetic, abs, comparisons)."""

    def __array_ufunc__(self, *args, **kwargs):
        raise Refused("ufunc refused")


class ShapeLiar(np.ndarray):
    """Reports one more row than it has; the buffer protocol still tells the truth."""

    @property
    def shape(self):
        real = np.ndarray.shape.__get__(self)
        return (real[0] + 1,) + real[1:] if real else (2,)


class NdimLiar(np.ndarray):
    @property
    def ndim(self):
        return np.ndarray.ndim.__get__(self) + 1


class GetitemRaising(np.ndarray):
    def __getitem__(self, key):
        raise Refused("indexing refused")


class PlainSub(np.ndarray):
    pass


# Instance overrides of get_range_kernel.
def rk_raises(tmp_guidance):
    raise Refused("range kernel refused")


def rk_none(tmp_guidance):
    return None


def rk_scalar(tmp_guidance):
    return 1.0


def rk_ones(tmp_guidance):
    return np.ones(np.shape(tmp_guidance)[:1] + (1, 1, 1))


def rk_list(tmp_guidance):
    return [1.0, 2.0]


RANGE_KERNELS = (rk_raises, rk_none, rk_scalar, rk_ones, rk_list)
ODD_OBJECTS = (RaisingGetattr(), RaisingArray(), RaisingSequence(), {"a": 1}, {1, 2}, object(),
               bytearray(b"\x01\x02\x03"), range(5))
NUMBERS = (float("nan"), float("inf"), float("-inf"), np.int64(3), np.int64(1), np.uint8(3), np.int8(-1),
           np.float16(3), np.float64(2.5), np.bool_(True), np.complex64(1 + 1j), np.int64(2 ** 40),
           np.uint64(2 ** 63), OddInt(1), OddInt(3), OddFloat(0.1), np.array(float("nan")))
EXTREME_WEIGHTS = (0.0, -0.0, 5e-324, 1e-310, 1e-200, 2.0 ** -970, 1e-160, 1e-20, 0.5, 1.0, 3.0,
                   1e20, 1e160, 2.0 ** 970, 1e300, 1.7e308, float("inf"), -float("inf"), float("nan"), -1.0)


class _Delete:
    """Marks an attribute that the case deletes instead of replacing."""

    def __repr__(self):
        return "<deleted>"


DELETE = _Delete()

# ---- memory layouts: the same values in another form --------------------------------------------


def _strided(a):
    big = np.zeros(tuple(2 * s + 1 for s in a.shape), dtype=a.dtype)
    view = big[tuple(slice(1, None, 2) for _ in a.shape)]
    view[...] = a
    return view


def _flipped(a):
    # Negative strides with the same values: store reversed, view reversed again.
    rev = np.ascontiguousarray(a[(slice(None, None, -1),) * a.ndim])
    return rev[(slice(None, None, -1),) * a.ndim]


def _unaligned(a):
    if a.dtype.itemsize == 1 or a.dtype.hasobject:
        return a
    raw = np.zeros(a.nbytes + 1, dtype=np.uint8)
    view = raw[1:].view(a.dtype).reshape(a.shape)
    view[...] = a
    return view


def _broadcast(a):
    # Zero stride along the first axis: every row is the first one (read-only by nature).
    return np.broadcast_to(a[:1], a.shape) if a.shape[0] > 1 else a


LAYOUTS = {"F": np.asfortranarray, "strided": _strided, "flip": _flipped, "unaligned": _unaligned,
           "bcast": _broadcast}
SUBCLASSES = {
    "plain": lambda a: a.view(PlainSub),
    "ufunc": lambda a: a.view(UfuncRaising),
    "shape": lambda a: a.view(ShapeLiar),
    "ndim": lambda a: a.view(NdimLiar),
    "getitem": lambda a: a.view(GetitemRaising),
    "masked": lambda a: np.ma.masked_array(a, mask=np.zeros(a.shape, dtype=bool)),
    "matrix": lambda a: np.asmatrix(a) if a.ndim <= 2 else a,
}
PLAIN = (frozenset(), None, False)


def arrange(arr, layout):
    """`arr` in the memory layout (layouts, subclass, read-only) drawn for it."""
    names, sub, readonly = layout
    for name, make in LAYOUTS.items():  # a fixed order, so a case always means the same array
        if name in names and arr.ndim:
            arr = make(arr)
    if sub:
        arr = SUBCLASSES[sub](arr)
    if readonly and arr.flags.writeable:
        arr.flags.writeable = False
    return arr


# ---- snapshots: what "unchanged" means ---------------------------------------------------------

def snapshot(obj, depth=0):
    """A comparable record of an object's observable state, by value and by identity."""
    if issubclass(type(obj), np.ndarray):
        base = obj.view(np.ndarray)
        flags = tuple(bool(base.flags[k]) for k in ("C_CONTIGUOUS", "F_CONTIGUOUS", "WRITEABLE", "ALIGNED"))
        if base.dtype.kind == "O":
            data = tuple(id(x) for x in base.ravel(order="K"))
        else:
            data = base.tobytes(order="A")
        record = (type(obj), base.dtype.str, base.dtype.descr if base.dtype.fields else None,
                  base.shape, base.strides, flags, data, id(base.base) if base.base is not None else None)
        if issubclass(type(obj), np.ma.MaskedArray):
            record += (np.ma.getmaskarray(obj).tobytes(), )
        return record
    if issubclass(type(obj), (list, tuple)) and depth < 8:
        return (type(obj), len(obj), tuple(snapshot(x, depth + 1) for x in obj))
    if issubclass(type(obj), (types.SimpleNamespace, Filter)):
        return (type(obj), tuple((k, id(v), snapshot(v, depth + 1)) for k, v in vars(obj).items()))
    if issubclass(type(obj), (dict, set, bytearray)):
        return (type(obj), repr(obj))
    return (type(obj), id(obj))


def arrays_in(obj, depth=0):
    if issubclass(type(obj), np.ndarray):
        yield obj
    elif issubclass(type(obj), (list, tuple)) and depth < 2:
        for x in obj:
            yield from arrays_in(x, depth + 1)
    elif issubclass(type(obj), (types.SimpleNamespace, Filter)):
        for v in vars(obj).values():
            yield from arrays_in(v, depth + 1)


def describe(obj, depth=0):
    """A readable account of a case's object for failure reports (arrays summarised)."""
    if issubclass(type(obj), np.ndarray):
        base = obj.view(np.ndarray)
        flags = "".join(k[0] for k in ("C_CONTIGUOUS", "F_CONTIGUOUS", "WRITEABLE", "ALIGNED") if base.flags[k])
        values = repr(base.ravel(order="K")[:6].tolist())[:120]
        return (f"{type(obj).__name__}(dtype={base.dtype.str}, shape={base.shape}, strides={base.strides}, "
                f"flags={flags}, first={values})")
    if type(obj) in (list, tuple) and depth < 4:
        inner = ", ".join(describe(x, depth + 1) for x in obj[:8]) + (", ..." if len(obj) > 8 else "")
        return f"[{inner}]" if type(obj) is list else f"({inner})"
    if type(obj) is types.SimpleNamespace:
        return "namespace(" + ", ".join(f"{k}={describe(v, depth + 1)}" for k, v in vars(obj).items()) + ")"
    try:
        return f"{type(obj).__name__}:{repr(obj)}"[:200]
    except Exception as exc:  # noqa: BLE001 - an odd object's repr may fail too
        return f"{type(obj).__name__}:<repr failed: {exc}>"


# ---- running one case -------------------------------------------------------------------------
#
# A case is (target, filter setup or construction arguments, call arguments, numpy error state).
# A filter setup is (sigma_s, sigma_r, ((attribute, new value or DELETE), ...)); it is built once
# as a plain filter and once as Statements, so that both paths see the same attribute values.

ERRSTATES = {"default": None, "raise": {"all": "raise"}, "ignore": {"all": "ignore"}, "warn": {"all": "warn"}}


class Violation(AssertionError):
    pass


class StatementWatch:
    """Notices whether the statements ran: they build the window stacks with numpy's Python-level
    repeat, which the fused kernel never calls. A profile hook sees that call."""

    def __init__(self):
        self.ran = False

    def __call__(self, frame, event, arg):
        if event == "call" and frame.f_code.co_name == "repeat" and "numpy" in frame.f_code.co_filename:
            self.ran = True

    def __enter__(self):
        sys.setprofile(self)
        return self

    def __exit__(self, *exc):
        sys.setprofile(None)


STATS = {"cases": 0, "fused": 0, "errors": 0}


def quietly(fn):
    """Run fn with numpy's errors and the interpreter's warnings silenced."""
    with np.errstate(all="ignore"), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return fn()


def build_filter(setup, cls):
    """A filter made with (sigma_s, sigma_r), then with the listed attributes replaced."""
    sigma_s, sigma_r, changes = setup
    # Construction warns for a zero sigma; that is not what the case is about.
    f = quietly(lambda: cls(sigma_s, sigma_r))
    for name, value in changes:
        if value is DELETE:
            if name in vars(f):
                delattr(f, name)
        else:
            setattr(f, name, value)
    return f


METHODS = {"spatial": "get_spatial_kernel", "tables": "get_range_table",
           "range_kernel": "get_range_kernel", "filter": "joint_bilateral_filter"}


def call_method(case, cls):
    """(callable, inputs that must stay unchanged, the filter object or None)."""
    target, setup, args = case[:3]
    if target == "construct":
        return (lambda: cls(*args)), list(args), None
    if target == "unbound":
        method, obj = setup
        fn = getattr(Filter, method)
        # __init__ is the one method that writes attributes: only its other arguments must stay.
        watched = list(args) if method == "__init__" else [obj] + list(args)
        return (lambda: fn(obj, *args)), watched, None
    f = build_filter(setup, cls)
    bound = getattr(f, METHODS[target])
    return (lambda: bound(*args)), list(args), f


def in_errstate(fn, errstate):
    def call():
        with np.errstate(**ERRSTATES[errstate]) if ERRSTATES[errstate] else contextlib.nullcontext():
            return fn()
    return call


# OpenCV's binding itself reports a Python int beyond 64 bits passed as an image this way; the
# module hands the image over unchanged, so the error is OpenCV's to fix, not a broken contract here.
OPENCV_SYSTEM_ERROR = "<built-in function copyMakeBorder> returned a result with an exception set"


def run_case(case):
    """Check every property for one case; raise Violation (an AssertionError) on a fault."""
    UNDER_TEST["on"] = True
    try:
        return _run_case(case)
    finally:
        UNDER_TEST["on"] = False


def _run_case(case):
    target, errstate = case[0], case[3]
    fn, inputs, f = call_method(case, Filter)
    before = [snapshot(x) for x in inputs]
    attrs_before = snapshot(f) if f is not None else None
    watch = StatementWatch() if target == "filter" else contextlib.nullcontext()
    with watch:
        (value, exc), warned = outcome(in_errstate(fn, errstate), catch=BaseException)
    STATS["cases"] += 1
    STATS["errors"] += exc is not None
    STATS["fused"] += target == "filter" and exc is None and not watch.ran
    if exc is not None and not (isinstance(exc, SystemError) and str(exc) == OPENCV_SYSTEM_ERROR):
        if isinstance(exc, SystemError) or not isinstance(exc, Exception):
            raise Violation(f"{target} raised {type(exc).__name__}: {exc}") from exc
    for i, (x, snap) in enumerate(zip(inputs, before)):
        if snapshot(x) != snap:
            raise Violation(f"argument {i} ({type(x).__name__}) changed by the call")
    if f is not None and snapshot(f) != attrs_before:
        raise Violation("the filter object's attributes changed")
    if exc is None:
        watched = [a for x in inputs for a in arrays_in(x)] + (list(arrays_in(f)) if f is not None else [])
        for v in value if type(value) is tuple else (value,):
            if issubclass(type(v), np.ndarray) and any(np.may_share_memory(v, a) for a in watched):
                raise Violation("the result shares memory with an argument or attribute")
    if target == "filter":
        ref_fn, _, _ = call_method(case, Statements)
        (ref_value, ref_exc), ref_warned = outcome(in_errstate(ref_fn, errstate), catch=BaseException)
        if comparable(value, exc) != comparable(ref_value, ref_exc):
            raise Violation("fast path and statements differ:\n  "
                            f"{describe(value if exc is None else exc)}\n  "
                            f"{describe(ref_value if ref_exc is None else ref_exc)}")
        if warned != ref_warned:
            raise Violation(f"warnings differ: {warned} vs statements {ref_warned}")
    return value, exc


# ---- strategies -------------------------------------------------------------------------------

def strategies():
    """The hypothesis strategy of each target."""
    import hypothesis.extra.numpy as hnp
    from hypothesis import strategies as st

    dt = np.dtype

    def pick(values):
        # By index: hypothesis inspects the elements of sampled_from, and some of these odd
        # objects refuse every attribute read.
        return st.sampled_from(range(len(values))).map(tuple(values).__getitem__)

    struct = dt([("a", "u1"), ("b", "<f4")])
    all_dtypes = st.one_of(
        hnp.boolean_dtypes(), hnp.integer_dtypes(endianness="="), hnp.unsigned_integer_dtypes(endianness="="),
        hnp.floating_dtypes(endianness="=", sizes=(16, 32, 64, 128)), hnp.complex_number_dtypes(endianness="="),
        hnp.integer_dtypes(endianness=">", sizes=(32,)), hnp.floating_dtypes(endianness=">", sizes=(64,)),
        hnp.datetime64_dtypes(max_period="s", min_period="s"), hnp.timedelta64_dtypes(max_period="s", min_period="s"),
        hnp.byte_string_dtypes(min_len=1, max_len=3), hnp.unicode_string_dtypes(min_len=1, max_len=3),
        st.sampled_from([dt("O"), dt("V3"), struct]))
    image_dtypes = st.sampled_from([dt(c) for c in ("u1", "u1", "u1", "i1", "u2", "i2", "i4", "f4", "f8", "f2",
                                                    "?", "u8", "i8")])
    # Text from a few characters: hypothesis's full unicode table costs each child a second to
    # build, and the module never looks inside strings.
    some_text = st.lists(st.sampled_from("09x\u00e9\u4e2d"), max_size=3).map("".join)
    objects_in_arrays = st.one_of(st.none(), st.integers(-300, 600), st.floats(), some_text)

    def values(dtype, how):
        """Elements for arrays of `dtype`: its whole range ("any"), image-like, weights or zeros."""
        if how == "zeros":
            return st.just(0)
        if dtype.hasobject:
            return objects_in_arrays
        if dtype.kind == "U":
            return some_text.filter(lambda t: len(t) <= dtype.itemsize // 4)
        if dtype.kind == "V" and dtype.fields is None:
            return st.binary(min_size=dtype.itemsize, max_size=dtype.itemsize)
        if how in ("image", "wide") and dtype.kind in "iuf":
            # Intensities, or ("wide") beyond both ends of the 8-bit range.
            low, high = (0, 255) if how == "image" else (-300, 600)
            if dtype.kind == "f":
                return st.floats(low, high, width=8 * dtype.itemsize)
            return st.integers(max(low, int(np.iinfo(dtype).min)), min(high, int(np.iinfo(dtype).max)))
        if how == "weights" and dtype == dt("f8"):
            return st.floats(0, 1) | st.sampled_from(EXTREME_WEIGHTS)
        return None  # hypothesis's own, extremes included

    layouts = st.tuples(st.frozensets(st.sampled_from(sorted(LAYOUTS)), max_size=3),
                        st.one_of(st.none(), st.none(), st.sampled_from(sorted(SUBCLASSES))), st.booleans())
    plain_layouts = st.one_of(st.just(PLAIN), st.just(PLAIN), layouts)

    # Strategies are made once per distinct argument set: making one costs more than a draw.
    @functools.lru_cache(maxsize=None)
    def values_of(dtype, shape, how, every_element):
        return hnp.arrays(dtype, shape, elements=values(dtype, how), fill=st.nothing() if every_element else None)

    @functools.lru_cache(maxsize=None)
    def arrays(dtypes, shapes, how="any", layout=layouts, every_element=False):
        """Arrays of the given dtypes (a name, names or a strategy) and shapes (a tuple or a
        strategy) in the given layouts. Unless every_element, hypothesis fills most elements
        with one value and draws a few others, which is cheap."""
        if isinstance(dtypes, str):
            dtypes = st.just(dt(dtypes))
        elif isinstance(dtypes, tuple):
            dtypes = st.sampled_from([dt(d) for d in dtypes])
        shapes = st.just(shapes) if isinstance(shapes, tuple) else shapes

        @st.composite
        def draw_array(draw):
            made = draw(values_of(draw(dtypes), draw(shapes), how, every_element))
            return arrange(made, draw(layout))
        return draw_array()

    any_shape = hnp.array_shapes(min_dims=0, max_dims=5, min_side=0, max_side=5)
    any_array = arrays(all_dtypes, any_shape)
    scalars = st.sampled_from([None, 0, 1, 3, -1, 2 ** 31, 2 ** 63, 10 ** 30, 0.5, 2.0, 7.0, 1e-300, 1e300,
                               1 + 2j, True, False, "3", b"3", ""])
    odd = st.one_of(scalars, pick(ODD_OBJECTS + NUMBERS),
                    any_array.map(lambda a: a.view(np.ndarray).tolist()),
                    any_array.map(lambda a: tuple(a.view(np.ndarray).ravel().tolist())))
    anything = st.one_of(any_array, any_array, odd)

    # Images and guidance that usually fit each other, so that the calls get past the padding.
    @st.composite
    def image_pair(draw):
        h, w = draw(st.integers(1, 6)), draw(st.integers(1, 6))
        ch = draw(st.sampled_from((1, 2, 3, 3, 4, 5)))
        gc = draw(st.sampled_from((None, None, 1, 2, 3, 3, 4)))
        img_shape = (h, w, ch) if draw(st.integers(0, 11)) else draw(any_shape)
        g_shape = ((h, w) if gc is None else (h, w, gc)) if draw(st.integers(0, 11)) else draw(any_shape)
        pair = []
        for shape in (img_shape, g_shape):
            kind = draw(st.integers(0, 15))
            if kind == 0:
                pair.append(draw(odd))
            elif kind == 1:
                pair.append(draw(arrays(all_dtypes, shape)))
            elif kind == 2:
                pair.append(draw(arrays(image_dtypes, shape, layout=plain_layouts)))
            else:
                pair.append(draw(arrays("u1", shape, layout=plain_layouts)))
        return tuple(pair)

    # Window geometry: pad_w small enough that the statements' stacks stay small, or so large that
    # padding fails at once (OpenCV refuses or cannot allocate); never in between, where a
    # legitimate call would allocate gigabytes.
    small_int = st.integers(-4, 7)
    huge_int = st.sampled_from([2 ** 20, 2 ** 29, 2 ** 30, 2 ** 31 - 1, 2 ** 31, 2 ** 63, 10 ** 30, -2 ** 31, -2 ** 63])
    ints = st.one_of(small_int, small_int, huge_int)
    numbers = pick(NUMBERS)
    odd_numbers = st.one_of(st.sampled_from([None, 7.0, 2.5, -1.0, 0.0, 1e300, True, "7", 1 + 0j]), numbers,
                            pick([RaisingGetattr(), object()]))
    table_dtypes = ("f8", "f8", "f8", "f4", "f2", "i4", "u1", "c16", "O", "?")
    table_len = st.sampled_from((0, 1, 2, 50, 255, 256, 256, 256, 257, 300))
    table = arrays(table_dtypes, table_len.map(lambda n: (n,)), "weights", plain_layouts)
    table_any = st.one_of(table, table, arrays("f8", st.sampled_from([(256, 1), (1, 256), (16, 16), ()]), "weights"),
                          odd)

    @functools.lru_cache(maxsize=None)
    def kernel_for(wndw):
        n = wndw * wndw
        shapes = st.one_of(st.sampled_from([(wndw, wndw), (n,), (n, 1), (1, n), (wndw, wndw, 1)]),
                           st.integers(-2, 2).map(lambda d: (max(n + d, 0),)))
        return arrays(("f8", "f8", "f8", "f4", "f2", "i8", "c16", "O", "?"), shapes, "weights", plain_layouts)

    sigma_s_plain = st.one_of(st.sampled_from([0, 1, 1, 1, 1, 2, 2, 2, -1]),
                              pick([np.int64(1), OddInt(1), np.bool_(True)]))
    sigma_r_plain = st.one_of(st.sampled_from([0.1, 0.1, 0.3, 1, 0, -0.5, 1e-200, 1e100, 50.0]),
                              pick([float("nan"), float("inf"), np.float16(3), OddFloat(0.1)]))

    @st.composite
    def filter_setup(draw, allow_geometry=True):
        changes = []
        mode = draw(st.sampled_from((0, 0, 0, 0, 1, 1, 1, 1, 2, 3))) if allow_geometry else 0
        if mode == 1:
            # A consistent window of another size: the fast path stays eligible.
            pad = draw(st.integers(0, 3))
            changes += [("pad_w", pad), ("wndw_size", 2 * pad + 1), ("kernel_s", draw(kernel_for(2 * pad + 1)))]
        if mode >= 1:
            for name in draw(st.lists(st.sampled_from(["table_r_gray", "table_r_color"]), max_size=2, unique=True)):
                changes.append((name, draw(table)))
        if mode == 3 or (mode == 2 and draw(st.booleans())):
            # Anything goes, attribute by attribute.
            for name in draw(st.lists(st.sampled_from(ATTRIBUTES + ("get_range_kernel",)), min_size=1,
                                      max_size=3, unique=True)):
                if name in ("pad_w", "wndw_size"):
                    value = draw(st.one_of(ints, ints, odd_numbers))
                elif name == "kernel_s":
                    value = draw(st.one_of(st.integers(0, 7).flatmap(kernel_for), odd))
                elif name in ("table_r_gray", "table_r_color"):
                    value = draw(table_any)
                elif name == "get_range_kernel":
                    value = draw(pick(RANGE_KERNELS))
                else:
                    value = draw(odd)
                changes.append((name, DELETE if draw(st.integers(0, 9)) == 0 else value))
        return (draw(sigma_s_plain), draw(sigma_r_plain), tuple(changes))

    # Ordinary calls in every memory layout: where the fast path runs and must match bit for bit.
    # Every element is drawn, so that the images have texture for the weights to work on.
    @st.composite
    def clean_filter(draw):
        changes = ()
        if draw(st.booleans()):
            pad = draw(st.integers(0, 3))
            wndw = 2 * pad + 1
            changes = (("pad_w", pad), ("wndw_size", wndw),
                       ("kernel_s", draw(arrays("f8", (wndw, wndw), "weights", plain_layouts))))
            if draw(st.booleans()):
                changes += (("table_r_gray", draw(arrays("f8", st.sampled_from([(256,), (300,)]), "weights",
                                                         plain_layouts))),
                            ("table_r_color", draw(arrays("f8", st.sampled_from([(256,), (257,)]), "weights",
                                                          plain_layouts))))
        return (draw(st.sampled_from([1, 1, 2])), draw(st.sampled_from([0.02, 0.1, 0.1, 0.3, 1.0, 30.0])), changes)

    @st.composite
    def clean_pair(draw):
        # From 2x2 up: a 1x1 image is one the fast path leaves to the statements, and hypothesis
        # would draw that smallest case often.
        h, w = draw(st.integers(2, 7)), draw(st.integers(2, 7))
        gc = draw(st.sampled_from((None, None, 2, 3, 3, 4)))
        img = draw(arrays(("u1", "u1", "u1", "u2", "i2", "f4"), (h, w, draw(st.integers(1, 4))),
                          "image", plain_layouts, every_element=True))
        guidance = draw(arrays(("u1", "u1", "u1", "u2", "i2", "f4", "f8"), (h, w) if gc is None else (h, w, gc),
                               draw(st.sampled_from(("image", "image", "wide"))), plain_layouts, every_element=True))
        return (img, guidance)

    errstates = st.sampled_from(("default", "default", "default", "raise", "ignore", "warn"))

    # Values for sigma_s that keep get_spatial_kernel small, or fail before allocating anything.
    sigma_s_values = st.one_of(
        st.sampled_from([0, 1, 2, -1, -3, 2 ** 61, 2 ** 63, 10 ** 30, 2.0, 0.5, True, None, "2", 1 + 0j]),
        numbers, pick(ODD_OBJECTS[:1]),
        arrays(("i8", "u1", "f8", "O"), st.sampled_from([(), (), (1,), (2,), (2, 2)]), "zeros", plain_layouts))
    sigma_r_values = st.one_of(odd, numbers, arrays(("f8", "i4", "c16", "O", "f2"),
                                                    st.sampled_from([(), (1,), (3, 1), (256,)]), "weights",
                                                    plain_layouts))
    attribute_values = {"sigma_s": sigma_s_values, "sigma_r": sigma_r_values, "pad_w": st.one_of(ints, ints, odd_numbers),
                        "wndw_size": st.one_of(ints, ints, odd_numbers),
                        "kernel_s": st.one_of(st.integers(0, 5).flatmap(kernel_for), odd),
                        "table_r_color": table_any, "table_r_gray": table_any}

    @st.composite
    def namespace(draw):
        names = draw(st.lists(st.sampled_from(ATTRIBUTES), max_size=7, unique=True))
        return types.SimpleNamespace(**{n: draw(attribute_values[n]) for n in names})

    def filterlike(sigma_s, sigma_r, missing):
        # A plain object with a real filter's attributes, some of them left out.
        attrs = vars(quietly(lambda: Filter(sigma_s, sigma_r)))
        return types.SimpleNamespace(**{k: v for k, v in attrs.items() if k not in missing})

    # Any object as self: odd values, bare namespaces, and namespaces carrying a real filter's
    # attributes (the methods never check the type of self, so those calls succeed).
    selves = st.one_of(odd, namespace(), st.builds(filterlike, st.sampled_from([0, 1, 2]), st.sampled_from([0.1, 0.5]),
                                                   st.frozensets(st.sampled_from(ATTRIBUTES), max_size=2)))
    stack_args = st.one_of(
        arrays(("f8", "f8", "i4", "u1", "i8", "f4", "f2", "O", "c16", "?", "u8", "i1"),
               st.one_of(hnp.array_shapes(min_dims=2, max_dims=4, min_side=0, max_side=5).map(lambda s: (49,) + s),
                         any_shape)),
        anything)
    unbound_args = {"get_range_kernel": st.tuples(stack_args), "get_spatial_kernel": st.just(()),
                    "get_range_table": st.just(()), "__init__": st.tuples(sigma_s_values, sigma_r_values),
                    "joint_bilateral_filter": image_pair()}

    @st.composite
    def unbound(draw):
        method = draw(st.sampled_from(sorted(unbound_args)))
        return ("unbound", (method, draw(selves)), draw(unbound_args[method]), draw(errstates))

    def with_attribute(name, values):
        # A filter of the usual kind with one attribute replaced by anything at all.
        return st.builds(lambda setup, v: setup[:2] + (setup[2] + ((name, v),),), filter_setup(False), values)

    return {
        "construct": st.tuples(st.just("construct"), st.none(), st.tuples(sigma_s_values, sigma_r_values), errstates),
        "spatial": st.tuples(st.just("spatial"), with_attribute("sigma_s", sigma_s_values), st.just(()), errstates),
        "tables": st.tuples(st.just("tables"), with_attribute("sigma_r", sigma_r_values), st.just(()), errstates),
        "range_kernel": st.tuples(st.just("range_kernel"), filter_setup(), st.tuples(stack_args), errstates),
        "filter": st.one_of(st.tuples(st.just("filter"), filter_setup(), image_pair(), errstates),
                            st.tuples(st.just("filter"), clean_filter(), clean_pair(), errstates)),
        "unbound": unbound(),
    }


def describe_case(case):
    target, setup, args, errstate = case
    if target == "unbound":
        return f"unbound {setup[0]} self={describe(setup[1])} args={describe(args)} errstate={errstate}"
    if setup is None:
        return f"{target} args={describe(args)} errstate={errstate}"
    sigma_s, sigma_r, changes = setup
    changed = ", ".join(f"{name}={describe(value)}" for name, value in changes)
    return (f"{target} Filter({describe(sigma_s)}, {describe(sigma_r)}) [{changed}] args={describe(args)} "
            f"errstate={errstate}")


def run_campaign(target, examples, seed):
    """The hypothesis loop for one target; returns the number of cases run and their digest."""
    from hypothesis import HealthCheck, Phase, given, settings
    from hypothesis import seed as hypothesis_seed
    from hypothesis.database import DirectoryBasedExampleDatabase

    last_case = os.environ.get("SOVELK_FUZZ_LASTCASE")
    case_timeout = float(os.environ.get("SOVELK_FUZZ_CASE_TIMEOUT", "60"))
    db = os.environ.get("SOVELK_FUZZ_DB")
    digest = hashlib.sha256()
    counter = {"n": 0}

    @hypothesis_seed(seed)
    @settings(max_examples=examples, deadline=None, print_blob=True,
              database=DirectoryBasedExampleDatabase(db) if db else None,
              phases=(Phase.reuse, Phase.generate, Phase.shrink) if db else (Phase.generate, Phase.shrink),
              suppress_health_check=list(HealthCheck))
    @given(strategies()[target])
    def fuzz(case):
        counter["n"] += 1
        text = describe_case(case)
        digest.update(text.encode())
        if last_case:
            with open(last_case, "w") as fh:
                fh.write(text)
        # A case that takes this long is a hang: dump every thread's stack and end the process.
        faulthandler.dump_traceback_later(case_timeout, exit=True)
        try:
            run_case(case)
        finally:
            faulthandler.cancel_dump_traceback_later()

    fuzz()
    return counter["n"], digest.hexdigest()[:16]


def main(argv):
    faulthandler.enable()
    expected = os.environ.get("SOVELK_EXPECT_FILE")
    if expected and os.path.realpath(Sovelk.__file__) != os.path.realpath(expected):
        print(f"child imported {Sovelk.__file__}, parent tested {expected}", file=sys.stderr)
        return 3
    target, examples, seed = argv[0], int(argv[1]), int(argv[2])
    n, digest = run_campaign(target, examples, seed)
    print(f"FUZZ-DONE target={target} cases={n} seed={seed} errors={STATS['errors']} "
          f"fused={STATS['fused']} digest={digest}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
