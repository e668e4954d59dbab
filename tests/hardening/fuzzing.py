"""Property-based fuzzing of construction and of every method, run inside a child interpreter.

test_fuzz.py starts this file as a separate process per target, so that a segfault, an abort or a
hang takes down only the child; the parent then reports the case that was running. Before each
call the case is written to the file named by SOVELK_FUZZ_LASTCASE, and a faulthandler watchdog
ends the child (with every thread's stack) if one case runs longer than SOVELK_FUZZ_CASE_TIMEOUT.

A case is a tuple of plain literals (ints, strings, tuples), so that the text the parent prints
replays it exactly:  python tests/hardening/fuzzing.py --replay "<case>"

Properties checked for every case:
- the call returns, or raises an ordinary exception (an Exception, never SystemError, which the
  interpreter uses for a C function that broke its contract);
- arguments and the filter object are unchanged: contents, dtype, shape, strides and flags of
  every array, identity of every attribute value;
- a returned array shares no memory with an argument or an attribute;
- joint_bilateral_filter gives exactly what the statements give: the same result bytes, dtype
  and shape, or the same exception type and text, and the same warnings. The statements are
  forced with a subclass that overrides get_range_kernel, which the fast path never takes.
"""

import ast
import contextlib
import faulthandler
import math
import os
import sys
import types
import warnings

import numpy as np

import Sovelk

Filter = Sovelk.Joint_bilateral_filter


class RefFilter(Filter):
    """Overriding get_range_kernel keeps the fused kernel out: every call runs the statements."""

    def get_range_kernel(self, tmp_guidance):
        return super().get_range_kernel(tmp_guidance)


# Same name as the class it stands in for, so that the interpreter's messages (which name the
# object's type) read alike on both paths.
RefFilter.__name__ = RefFilter.__qualname__ = Filter.__name__


ATTRIBUTES = ("sigma_r", "sigma_s", "wndw_size", "pad_w", "kernel_s", "table_r_color", "table_r_gray")

# ---- odd objects ------------------------------------------------------------------------------


class Refused(RuntimeError):
    """Raised by the odd objects below; an ordinary exception the module must pass through."""


class RaisingGetattr:
    """Every attribute read fails, including dunder lookups made through the instance."""

    def __getattribute__(self, name):
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


class OddStr(str):
    """A str subclass as a keyword name; comparing it must not run into trouble."""

    def __eq__(self, other):
        raise Refused("str comparison refused")

    __hash__ = str.__hash__


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


def _rk_raises(tmp_guidance):
    raise Refused("range kernel refused")


TOKENS = {
    "nan": float("nan"),
    "inf": float("inf"),
    "-inf": float("-inf"),
    "np_i64_3": np.int64(3),
    "np_i64_1": np.int64(1),
    "np_u8_3": np.uint8(3),
    "np_i8_-1": np.int8(-1),
    "np_f16_3": np.float16(3),
    "np_f64_2.5": np.float64(2.5),
    "np_bool": np.bool_(True),
    "np_c64": np.complex64(1 + 1j),
    "np_i64_2**40": np.int64(2 ** 40),
    "np_u64_2**63": np.uint64(2 ** 63),
    "oddint_1": OddInt(1),
    "oddint_3": OddInt(3),
    "oddfloat_0.1": OddFloat(0.1),
    "raising_getattr": RaisingGetattr(),
    "raising_array": RaisingArray(),
    "raising_seq": RaisingSequence(),
    "dict": {"a": 1},
    "set": {1, 2},
    "object": object(),
    "bytearray": bytearray(b"\x01\x02\x03"),
    "range": range(5),
    "rk_raises": _rk_raises,
    "rk_none": lambda tmp_guidance: None,
    "rk_scalar": lambda tmp_guidance: 1.0,
    "rk_ones": lambda tmp_guidance: np.ones(np.shape(tmp_guidance)[:1] + (1, 1, 1)),
    "rk_list": lambda tmp_guidance: [1.0, 2.0],
    "nan_array": np.array(float("nan")),
    # Only for the harness's own test that a broken contract is noticed; never drawn.
    "selftest_system_error": lambda tmp_guidance: (_ for _ in ()).throw(SystemError("selftest")),
}

# ---- building values from recipes ---------------------------------------------------------------

SPECIAL_DTYPES = {"struct": np.dtype([("a", "u1"), ("b", "<f4")])}


def _dtype(name):
    return SPECIAL_DTYPES.get(name) or np.dtype(name)


EXTREME_WEIGHTS = (0.0, -0.0, 5e-324, 1e-310, 1e-200, 2.0 ** -970, 1e-160, 1e-20, 0.5, 1.0, 3.0,
                   1e20, 1e160, 2.0 ** 970, 1e300, 1.7e308, math.inf, -math.inf, math.nan, -1.0)


def _values(rng, n, fill, dtype):
    """n float64/complex/object values for `fill`, before conversion to `dtype`."""
    if fill == "u8":
        return rng.integers(0, 256, n).astype(np.float64)
    if fill == "wide":
        return rng.integers(-300, 600, n).astype(np.float64)
    if fill == "frac":
        return rng.random(n) * 256.0
    if fill == "zeros":
        return np.zeros(n)
    if fill == "weights":
        return rng.random(n)
    if fill == "weights_extreme":
        return rng.choice(np.array(EXTREME_WEIGHTS), n)
    if fill == "extreme":
        if dtype.kind in "iu":
            info = np.iinfo(dtype)
            pool = np.array([v for v in (info.min, info.max, 0, 1, 255, 256) if info.min <= v <= info.max],
                            dtype=object)
            return rng.choice(pool, n)
        return rng.choice(np.array([0.0, -0.0, 1.0, 255.0, 256.0, -1.0, 1e300, -1e300, 5e-324,
                                    math.inf, -math.inf, math.nan, 65504.0, 2.0 ** 31, -2.0 ** 31]), n)
    raise ValueError(f"unknown fill {fill!r}")


def _filled(dtype, shape, fill, seed):
    rng = np.random.default_rng(seed)
    n = int(np.prod(shape, dtype=np.int64))
    vals = _values(rng, n, fill, dtype)
    with np.errstate(all="ignore"), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        if dtype.kind == "O":
            objs = [int(v) if (isinstance(v, float) and v.is_integer()) else v for v in vals.tolist()]
            if fill == "extreme" and n:
                objs[rng.integers(0, n)] = None
            out = np.empty(n, dtype=object)
            out[:] = objs
        elif dtype.kind == "U" or dtype.kind == "S":
            out = np.array([str(int(v)) if math.isfinite(v) else "x" for v in vals.astype(float)],
                           dtype=dtype)
        elif dtype.kind == "V" and dtype.fields is None:
            out = np.frombuffer(rng.integers(0, 256, n * dtype.itemsize, dtype=np.uint8).tobytes(),
                                dtype=dtype).copy()
        elif dtype.fields is not None:
            out = np.zeros(n, dtype=dtype)
            out["a"] = np.asarray(vals, dtype=np.float64) % 256
            out["b"] = vals
        elif dtype.kind in "Mm":
            out = np.asarray(vals, dtype=np.float64).astype(np.int64).astype(dtype)
        elif dtype.kind == "c":
            v = np.asarray(vals, dtype=np.float64)
            out = (v + 1j * v[::-1]).astype(dtype)
        elif dtype.kind == "b":
            out = np.asarray(vals, dtype=np.float64) > 100
        else:
            out = np.asarray(vals).astype(dtype)
    return out.reshape(shape)


def _layout(arr, layout):
    """Apply layout tokens in a fixed order; each yields the same values in another memory form."""
    if "F" in layout:
        arr = np.asfortranarray(arr)
    if "strided" in layout and arr.ndim:
        big = np.zeros(tuple(2 * s + 1 for s in arr.shape), dtype=arr.dtype)
        view = big[tuple(slice(1, None, 2) for _ in arr.shape)]
        view[...] = arr
        arr = view
    if "flip" in layout and arr.ndim:
        # Negative strides with the same values: store reversed, view reversed again.
        rev = np.ascontiguousarray(arr[(slice(None, None, -1),) * arr.ndim])
        arr = rev[(slice(None, None, -1),) * arr.ndim]
    if "unaligned" in layout and arr.dtype.itemsize > 1 and arr.dtype.kind != "O":
        raw = np.zeros(arr.nbytes + 1, dtype=np.uint8)
        view = raw[1:].view(arr.dtype).reshape(arr.shape)
        view[...] = arr
        arr = view
    if "bcast" in layout and arr.ndim and arr.shape[0] > 1:
        # Zero stride along the first axis: every row is the first one (read-only by nature).
        arr = np.broadcast_to(arr[:1], arr.shape)
    sub = next((t for t in layout if t.startswith("sub_")), None)
    if sub == "sub_plain":
        arr = arr.view(PlainSub)
    elif sub == "sub_ufunc":
        arr = arr.view(UfuncRaising)
    elif sub == "sub_shape":
        arr = arr.view(ShapeLiar)
    elif sub == "sub_ndim":
        arr = arr.view(NdimLiar)
    elif sub == "sub_getitem":
        arr = arr.view(GetitemRaising)
    elif sub == "sub_masked":
        arr = np.ma.masked_array(arr, mask=np.zeros(arr.shape, dtype=bool))
    elif sub == "sub_matrix" and arr.ndim <= 2:
        arr = np.asmatrix(arr)
    if "readonly" in layout and arr.flags.writeable:
        arr.flags.writeable = False
    return arr


def build(recipe):
    """The object a value recipe stands for; a new object at every call."""
    kind = recipe[0]
    if kind == "lit":
        return recipe[1]
    if kind == "tok":
        return TOKENS[recipe[1]]
    if kind == "array":
        _, dtype, shape, layout, fill, seed = recipe
        return _layout(_filled(_dtype(dtype), tuple(shape), fill, seed), layout)
    if kind == "list":
        return _filled(_dtype(recipe[1][1]), tuple(recipe[1][2]), recipe[1][4], recipe[1][5]).tolist()
    if kind == "tuple":
        return tuple(_filled(_dtype(recipe[1][1]), tuple(recipe[1][2]), recipe[1][4], recipe[1][5]).ravel().tolist())
    if kind == "filterlike":
        # A plain object with a real filter's attributes, some of them left out.
        _, sigma_s, sigma_r, missing = recipe
        with np.errstate(all="ignore"), warnings.catch_warnings():
            warnings.simplefilter("ignore")
            attrs = dict(vars(Filter(sigma_s, sigma_r)))
        return types.SimpleNamespace(**{k: v for k, v in attrs.items() if k not in missing})
    if kind == "namespace":
        return types.SimpleNamespace(**{name: build(v) for name, v in recipe[1]})
    raise ValueError(f"unknown recipe {recipe!r}")


def build_filter(recipe, cls):
    """A filter object made with (sigma_s, sigma_r), then with the listed attributes replaced."""
    _, sigma_s, sigma_r, changes = recipe
    # Construction warns for a zero sigma; that is not what the case is about.
    with np.errstate(all="ignore"), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        f = cls(build(sigma_s), build(sigma_r))
    for name, value in changes:
        if value == ("del",):
            if name in vars(f):
                delattr(f, name)
        else:
            setattr(f, name, build(value))
    return f


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
    if issubclass(type(obj), types.SimpleNamespace):
        return (type(obj), tuple((k, id(v), snapshot(v, depth + 1)) for k, v in vars(obj).items()))
    if issubclass(type(obj), Filter):
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


# ---- running one case -------------------------------------------------------------------------

ERRSTATES = {
    "default": None,
    "raise": {"all": "raise"},
    "ignore": {"all": "ignore"},
    "warn": {"all": "warn"},
}


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


def outcome_of(fn, errstate, watch=None):
    """('ok', value) or ('err', exception), and the warnings raised, as (category, text)."""
    with warnings.catch_warnings(record=True) as caught, (watch or contextlib.nullcontext()):
        warnings.simplefilter("always")
        try:
            if ERRSTATES[errstate] is None:
                value = fn()
            else:
                with np.errstate(**ERRSTATES[errstate]):
                    value = fn()
            result = ("ok", value)
        except BaseException as exc:  # noqa: B902 - everything is judged below
            result = ("err", exc)
    return result, [(w.category.__name__, str(w.message)) for w in caught]


# OpenCV's binding itself reports a Python int beyond 64 bits passed as an image this way; the
# module hands the image over unchanged, so the error is OpenCV's to fix, not a broken contract here.
OPENCV_SYSTEM_ERROR = "<built-in function copyMakeBorder> returned a result with an exception set"


def judge_exception(exc, what):
    if isinstance(exc, SystemError) and str(exc) == OPENCV_SYSTEM_ERROR:
        return
    if isinstance(exc, SystemError) or not isinstance(exc, Exception):
        raise Violation(f"{what} raised {type(exc).__name__}: {exc}") from exc


def comparable(result):
    kind, value = result
    if kind == "err":
        return ("err", type(value).__name__, str(value))
    if isinstance(value, np.ndarray):
        base = value.view(np.ndarray)
        data = tuple(map(repr, base.ravel().tolist())) if base.dtype.kind == "O" else base.tobytes()
        return ("array", type(value).__name__, base.dtype.str, base.shape, data)
    if isinstance(value, tuple):
        return ("tuple",) + tuple(comparable(("ok", v)) for v in value)
    return ("value", repr(value))


def call_method(case, cls):
    """Build everything the case names afresh and return (callable, inputs to watch)."""
    target = case[0]
    if target == "construct":
        sigma_s, sigma_r = build(case[1][0]), build(case[1][1])
        inputs = [sigma_s, sigma_r]
        return (lambda: cls(sigma_s, sigma_r)), inputs, None
    if target == "unbound":
        method, self_recipe, arg_recipes = case[1]
        obj = build(self_recipe)
        args = [build(s) for s in arg_recipes]
        fn = getattr(Filter, method)
        # __init__ is the one method that writes attributes: only its other arguments must stay.
        watched = args if method == "__init__" else [obj] + args
        return (lambda: fn(obj, *args)), watched, None
    f = build_filter(case[1], cls)
    args = [build(s) for s in case[2]]
    method = {"spatial": "get_spatial_kernel", "tables": "get_range_table",
              "range_kernel": "get_range_kernel", "filter": "joint_bilateral_filter"}[target]
    bound = getattr(f, method)
    return (lambda: bound(*args)), args, f


def run_case(case):
    """Check every property for one case; raise Violation (an AssertionError) on a fault."""
    target, errstate = case[0], case[-1]
    fn, inputs, f = call_method(case, Filter)
    before = [snapshot(x) for x in inputs]
    attrs_before = snapshot(f) if f is not None else None
    watch = StatementWatch() if target == "filter" else None
    result, warned = outcome_of(fn, errstate, watch)
    STATS["cases"] += 1
    STATS["errors"] += result[0] == "err"
    STATS["fused"] += watch is not None and result[0] == "ok" and not watch.ran
    if result[0] == "err":
        judge_exception(result[1], target)
    for i, (x, snap) in enumerate(zip(inputs, before)):
        if snapshot(x) != snap:
            raise Violation(f"argument {i} ({type(x).__name__}) changed by the call")
    if f is not None and snapshot(f) != attrs_before:
        raise Violation("the filter object's attributes changed")
    if result[0] == "ok":
        watched = [a for x in inputs for a in arrays_in(x)]
        if f is not None:
            watched += list(arrays_in(f))
        values = result[1] if isinstance(result[1], tuple) else (result[1],)
        for v in values:
            if isinstance(v, np.ndarray) and any(np.may_share_memory(v, a) for a in watched):
                raise Violation("the result shares memory with an argument or attribute")
    if target == "filter":
        ref_fn, _, _ = call_method(case, RefFilter)
        ref_result, ref_warned = outcome_of(ref_fn, errstate)
        if comparable(result) != comparable(ref_result):
            raise Violation(f"fast path and statements differ:\n  {describe(result)}\n  {describe(ref_result)}")
        if warned != ref_warned:
            raise Violation(f"warnings differ: {warned} vs statements {ref_warned}")
    return result


def describe(result):
    kind, value = result
    if kind == "err":
        return f"{type(value).__name__}: {str(value)[:300]}"
    if isinstance(value, np.ndarray):
        return f"{value.dtype} {value.shape} {value.ravel()[:12]!r}"
    return repr(value)[:300]


# ---- strategies -------------------------------------------------------------------------------

def strategies():
    """The hypothesis strategies, built lazily so that --replay needs no hypothesis."""
    from hypothesis import strategies as st

    S = types.SimpleNamespace()
    all_dtypes = ("?", "i1", "u1", "i2", "u2", "i4", "u4", "i8", "u8", "f2", "f4", "f8", "g",
                  "c8", "c16", "G", "O", "U3", "S3", "V3", "M8[s]", "m8[s]", "struct", ">i4", ">f8")
    image_dtypes = ("u1", "u1", "u1", "i1", "u2", "i2", "i4", "f4", "f8", "f2", "?", "u8", "i8")
    sub_tokens = ("sub_plain", "sub_ufunc", "sub_shape", "sub_ndim", "sub_getitem", "sub_masked", "sub_matrix")
    layout_tokens = ("F", "strided", "flip", "unaligned", "bcast", "readonly")

    seeds = st.integers(0, 2 ** 32 - 1)
    layouts = st.tuples(
        st.lists(st.sampled_from(layout_tokens), max_size=3, unique=True),
        st.one_of(st.just(None), st.just(None), st.sampled_from(sub_tokens)),
    ).map(lambda t: tuple(sorted(t[0])) + ((t[1],) if t[1] else ()))
    plain_layouts = st.one_of(st.just(()), st.just(()), layouts)

    def array(dtypes, shapes, fills=("u8", "u8", "wide", "frac", "zeros", "extreme"), layout=layouts):
        return st.tuples(st.just("array"), st.sampled_from(dtypes), shapes, layout,
                         st.sampled_from(fills), seeds)

    any_shape = st.lists(st.one_of(st.integers(1, 5), st.integers(0, 5)), max_size=5).map(tuple)
    S.any_array = array(all_dtypes, any_shape)
    scalar_literals = st.sampled_from([None, 0, 1, 3, -1, 2 ** 31, 2 ** 63, 10 ** 30, 0.5, 2.0, 7.0,
                                       1e-300, 1e300, 1 + 2j, True, False, "3", b"3", ""])
    S.odd = st.one_of(
        scalar_literals.map(lambda v: ("lit", v)),
        st.sampled_from(sorted(k for k in TOKENS if not k.startswith(("rk_", "selftest_")))).map(lambda k: ("tok", k)),
        S.any_array.map(lambda a: ("list", a)),
        S.any_array.map(lambda a: ("tuple", a)),
    )
    S.anything = st.one_of(S.any_array, S.any_array, S.odd)

    # Images and guidance that usually fit each other, so that the calls get past the padding.
    @st.composite
    def image_pair(draw):
        h, w = draw(st.integers(1, 6)), draw(st.integers(1, 6))
        ch = draw(st.sampled_from((1, 2, 3, 3, 4, 5)))
        gc = draw(st.sampled_from((None, None, 1, 2, 3, 3, 4)))
        img_shape = (h, w, ch) if draw(st.integers(0, 11)) else draw(any_shape)
        g_shape = ((h, w) if gc is None else (h, w, gc)) if draw(st.integers(0, 11)) else draw(any_shape)
        img = draw(st.one_of(array(image_dtypes, st.just(img_shape), layout=plain_layouts),
                             array(all_dtypes, st.just(img_shape))) if draw(st.integers(0, 7)) == 0
                   else array(("u1",), st.just(img_shape), ("u8",), plain_layouts))
        guidance = draw(st.one_of(array(image_dtypes, st.just(g_shape), layout=plain_layouts),
                                  array(all_dtypes, st.just(g_shape))) if draw(st.integers(0, 7)) == 0
                        else array(("u1",), st.just(g_shape), ("u8",), plain_layouts))
        if draw(st.integers(0, 14)) == 0:
            img = draw(S.odd)
        if draw(st.integers(0, 14)) == 0:
            guidance = draw(S.odd)
        return (img, guidance)

    S.image_pair = image_pair()

    # Window geometry: pad_w small enough that the statements' stacks stay small, or so large that
    # padding fails at once (OpenCV refuses or cannot allocate); never in between, where a
    # legitimate call would allocate gigabytes.
    small_int = st.integers(-4, 7)
    huge_int = st.sampled_from([2 ** 20, 2 ** 29, 2 ** 30, 2 ** 31 - 1, 2 ** 31, 2 ** 63, 10 ** 30,
                                -2 ** 31, -2 ** 63])
    ints = st.one_of(small_int, small_int, huge_int).map(lambda v: ("lit", v))
    number_tokens = st.sampled_from(["nan", "inf", "np_i64_3", "np_u8_3", "np_i8_-1", "np_f16_3",
                                     "np_f64_2.5", "np_bool", "np_i64_2**40", "np_u64_2**63",
                                     "oddint_1", "oddint_3", "nan_array"]).map(lambda k: ("tok", k))
    odd_numbers = st.one_of(
        st.sampled_from([None, 7.0, 2.5, -1.0, 0.0, 1e300, True, "7", 1 + 0j]).map(lambda v: ("lit", v)),
        number_tokens, st.just(("tok", "raising_getattr")), st.just(("tok", "object")),
    )
    weight_fills = ("weights", "weights", "weights_extreme", "zeros", "wide")
    table_len = st.sampled_from((0, 1, 2, 50, 255, 256, 256, 256, 257, 300))
    S.table = array(("f8", "f8", "f8", "f4", "f2", "i4", "u1", "c16", "O", "?"),
                    table_len.map(lambda n: (n,)), weight_fills, plain_layouts)
    S.table_any = st.one_of(S.table, S.table, array(("f8",), st.sampled_from([(256, 1), (1, 256), (16, 16), ()]),
                                                    weight_fills), S.odd)

    @st.composite
    def kernel_for(draw, wndw):
        n = wndw * wndw
        shape = draw(st.sampled_from([(wndw, wndw), (n,), (n, 1), (1, n), (wndw, wndw, 1)]))
        if draw(st.integers(0, 5)) == 0:
            shape = (max(n + draw(st.integers(-2, 2)), 0),)
        return draw(array(("f8", "f8", "f8", "f4", "f2", "i8", "c16", "O", "?"), st.just(shape),
                          weight_fills, plain_layouts))

    @st.composite
    def filter_recipe(draw, allow_geometry=True):
        sigma_s = draw(st.one_of(st.sampled_from([0, 1, 1, 1, 1, 2, 2, 2, -1]).map(lambda v: ("lit", v)),
                                 st.sampled_from(["np_i64_1", "oddint_1", "np_bool"]).map(lambda k: ("tok", k))))
        sigma_r = draw(st.one_of(st.sampled_from([0.1, 0.1, 0.3, 1, 0, -0.5, 1e-200, 1e100, 50.0]).map(lambda v: ("lit", v)),
                                 st.sampled_from(["nan", "inf", "np_f16_3", "oddfloat_0.1"]).map(lambda k: ("tok", k))))
        changes = []
        mode = draw(st.sampled_from((0, 0, 0, 0, 1, 1, 1, 1, 2, 3))) if allow_geometry else 0
        if mode == 1:
            # A consistent window of another size: the fast path stays eligible.
            pad = draw(st.integers(0, 3))
            wndw = 2 * pad + 1
            changes += [("pad_w", ("lit", pad)), ("wndw_size", ("lit", wndw)),
                        ("kernel_s", draw(kernel_for(wndw)))]
        if mode >= 1:
            for name in draw(st.lists(st.sampled_from(["table_r_gray", "table_r_color"]), max_size=2, unique=True)):
                changes.append((name, draw(S.table)))
        if mode == 3 or (mode == 2 and draw(st.booleans())):
            # Anything goes, attribute by attribute.
            for name in draw(st.lists(st.sampled_from(ATTRIBUTES + ("get_range_kernel",)), min_size=1,
                                      max_size=3, unique=True)):
                if name in ("pad_w", "wndw_size"):
                    value = draw(st.one_of(ints, ints, odd_numbers))
                elif name == "kernel_s":
                    value = draw(st.one_of(kernel_for(draw(st.integers(0, 7))), S.odd))
                elif name in ("table_r_gray", "table_r_color"):
                    value = draw(S.table_any)
                elif name == "get_range_kernel":
                    value = ("tok", draw(st.sampled_from(sorted(k for k in TOKENS if k.startswith("rk_")))))
                else:
                    value = draw(S.odd)
                if draw(st.integers(0, 9)) == 0:
                    value = ("del",)
                changes.append((name, value))
        return ("filter", sigma_s, sigma_r, tuple(changes))

    S.filter_recipe = filter_recipe()

    # Ordinary calls in every memory layout: where the fast path runs and must match bit for bit.
    @st.composite
    def clean_filter(draw):
        changes = ()
        if draw(st.booleans()):
            pad = draw(st.integers(0, 3))
            changes = (("pad_w", ("lit", pad)), ("wndw_size", ("lit", 2 * pad + 1)),
                       ("kernel_s", draw(array(("f8",), st.just((2 * pad + 1, 2 * pad + 1)),
                                               ("weights", "weights_extreme"), plain_layouts))))
            if draw(st.booleans()):
                changes += (("table_r_gray", draw(array(("f8",), st.sampled_from([(256,), (300,)]),
                                                        ("weights", "weights_extreme"), plain_layouts))),
                            ("table_r_color", draw(array(("f8",), st.sampled_from([(256,), (257,)]),
                                                         ("weights", "weights_extreme"), plain_layouts))))
        return ("filter", ("lit", draw(st.sampled_from([1, 1, 2]))),
                ("lit", draw(st.sampled_from([0.02, 0.1, 0.1, 0.3, 1.0, 30.0]))), changes)

    @st.composite
    def clean_pair(draw):
        h, w = draw(st.integers(1, 7)), draw(st.integers(1, 7))
        gc = draw(st.sampled_from((None, None, 2, 3, 3, 4)))
        img = draw(array(("u1", "u1", "u1", "u2", "i2", "f4"), st.just((h, w, draw(st.integers(1, 4)))),
                         ("u8", "u8", "frac", "zeros"), plain_layouts))
        guidance = draw(array(("u1", "u1", "u1", "u2", "i2", "f4", "f8"),
                              st.just((h, w) if gc is None else (h, w, gc)),
                              ("u8", "u8", "u8", "frac", "zeros", "wide"), plain_layouts))
        return (img, guidance)
    errstates = st.sampled_from(("default", "default", "default", "raise", "ignore", "warn"))

    # Values for sigma_s that keep get_spatial_kernel small, or fail before allocating anything.
    sigma_s_values = st.one_of(
        st.sampled_from([0, 1, 2, -1, -3, 2 ** 61, 2 ** 63, 10 ** 30, 2.0, 0.5, True, None, "2", 1 + 0j]).map(lambda v: ("lit", v)),
        number_tokens,
        array(("i8", "u1", "f8", "O"), st.sampled_from([(), (), (1,), (2,), (2, 2)]), ("zeros",), plain_layouts),
        st.just(("tok", "raising_getattr")),
    )
    sigma_r_values = st.one_of(S.odd, number_tokens,
                               array(("f8", "i4", "c16", "O", "f2"), st.sampled_from([(), (1,), (3, 1), (256,)]),
                                     ("weights", "weights_extreme", "zeros"), plain_layouts))

    def attribute_value(name):
        if name == "sigma_s":
            return sigma_s_values
        if name == "sigma_r":
            return sigma_r_values
        if name in ("pad_w", "wndw_size"):
            return st.one_of(ints, ints, odd_numbers)
        if name == "kernel_s":
            return st.one_of(st.integers(0, 5).flatmap(kernel_for), S.odd)
        return S.table_any

    @st.composite
    def namespace(draw):
        names = draw(st.lists(st.sampled_from(ATTRIBUTES), max_size=7, unique=True))
        return ("namespace", tuple((n, draw(attribute_value(n))) for n in names))

    # Any object as self: odd values, bare namespaces, and namespaces carrying a real filter's
    # attributes (the methods never check the type of self, so those calls succeed).
    self_recipes = st.one_of(
        S.odd, namespace(),
        st.tuples(st.just("filterlike"), st.sampled_from([0, 1, 2]), st.sampled_from([0.1, 0.5]),
                  st.lists(st.sampled_from(ATTRIBUTES), max_size=2, unique=True).map(tuple)))

    S.targets = {
        "construct": st.tuples(st.just("construct"), st.tuples(sigma_s_values, sigma_r_values), errstates),
        "spatial": st.builds(
            lambda fs, s, e: ("spatial", fs[:3] + (fs[3] + (("sigma_s", s),),), (), e),
            filter_recipe(False), sigma_s_values, errstates),
        "tables": st.builds(
            lambda fs, s, e: ("tables", fs[:3] + (fs[3] + (("sigma_r", s),),), (), e),
            filter_recipe(False), sigma_r_values, errstates),
        "range_kernel": st.tuples(
            st.just("range_kernel"), S.filter_recipe,
            st.one_of(
                st.tuples(array(("f8", "f8", "i4", "u1", "i8", "f4", "f2", "O", "c16", "?", "u8", "i1"),
                                st.lists(st.integers(0, 5), min_size=3, max_size=5).map(
                                    lambda s: (49,) + tuple(s[1:])) | any_shape)),
                st.tuples(S.anything)),
            errstates),
        "filter": st.one_of(
            st.builds(lambda fs, pair, e: ("filter", fs, pair, e), S.filter_recipe, S.image_pair, errstates),
            st.builds(lambda fs, pair, e: ("filter", fs, pair, e), clean_filter(), clean_pair(), errstates)),
        "unbound": st.tuples(
            st.just("unbound"),
            st.one_of(
                st.tuples(st.just("joint_bilateral_filter"), self_recipes, S.image_pair.map(list).map(tuple)),
                st.tuples(st.sampled_from(["get_range_kernel", "get_spatial_kernel", "get_range_table", "__init__"]),
                          self_recipes, st.just(())),
            ),
            errstates),
    }
    return S


def fix_unbound_arity(case):
    """Unbound calls take the method's own parameters: add the missing ones as plain values."""
    if case[0] != "unbound":
        return case
    method, self_recipe, args = case[1]
    need = {"get_range_kernel": 1, "get_spatial_kernel": 0, "get_range_table": 0,
            "__init__": 2, "joint_bilateral_filter": 2}[method]
    args = tuple(args)[:need] + (("lit", 1),) * max(0, need - len(args))
    if method == "get_range_kernel" and args == (("lit", 1),):
        args = (("array", "f8", (49, 2, 3), (), "u8", 7),)
    return ("unbound", (method, self_recipe, args), case[2])


TARGETS = ("construct", "spatial", "tables", "range_kernel", "filter", "unbound")


def run_campaign(target, examples, seed):
    """The hypothesis loop for one target; returns the number of cases run."""
    from hypothesis import HealthCheck, Phase, given, settings
    from hypothesis import seed as hypothesis_seed

    last_case = os.environ.get("SOVELK_FUZZ_LASTCASE")
    case_timeout = float(os.environ.get("SOVELK_FUZZ_CASE_TIMEOUT", "60"))
    counter = {"n": 0}
    strategy = strategies().targets[target]

    @hypothesis_seed(seed)
    @settings(max_examples=examples, deadline=None, database=None, print_blob=False,
              phases=(Phase.generate, Phase.shrink),
              suppress_health_check=list(HealthCheck))
    @given(strategy)
    def fuzz(case):
        case = fix_unbound_arity(case)
        counter["n"] += 1
        if last_case:
            with open(last_case, "w") as fh:
                fh.write(repr(case))
        # A case that takes this long is a hang: dump every thread's stack and end the process.
        faulthandler.dump_traceback_later(case_timeout, exit=True)
        try:
            run_case(case)
        finally:
            faulthandler.cancel_dump_traceback_later()

    fuzz()
    return counter["n"]


def main(argv):
    faulthandler.enable()
    expected = os.environ.get("SOVELK_EXPECT_FILE")
    if expected and os.path.realpath(Sovelk.__file__) != os.path.realpath(expected):
        print(f"child imported {Sovelk.__file__}, parent tested {expected}", file=sys.stderr)
        return 3
    if argv[:1] == ["--replay"]:
        case = ast.literal_eval(argv[1])
        try:
            result = run_case(case)
        except Violation as exc:
            print(f"VIOLATION: {exc}")
            return 1
        print(f"ok: {describe(result)}")
        return 0
    target, examples, seed = argv[0], int(argv[1]), int(argv[2])
    n = run_campaign(target, examples, seed)
    print(f"FUZZ-DONE target={target} cases={n} seed={seed} errors={STATS['errors']} "
          f"fused={STATS['fused']}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
