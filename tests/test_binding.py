"""Method objects, argument binding and its errors, and the module globals the bodies read."""

import builtins
import ctypes
import inspect
import types

import cv2
import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import Sovelk
import oracle
from conftest import Filter, Recorder, assert_entries, module_entries, module_global

METHODS = list(oracle.PARAMETERS)

# PyObject_Call hands the dict to the callee exactly as built, whatever its keys are.
raw_call = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.py_object,
                             ctypes.py_object)(("PyObject_Call", ctypes.pythonapi))


@pytest.fixture
def a(rng):
    return rng.integers(0, 256, size=(5, 6, 3)).astype(np.uint8)


@pytest.fixture
def g(rng):
    return rng.integers(0, 256, size=(5, 6)).astype(np.uint8)


@pytest.fixture
def stack(rng):
    return rng.integers(0, 256, size=(49, 3, 4)).astype(np.float64)


# ---- method objects ---------------------------------------------------------------------------

@pytest.mark.parametrize("name", METHODS)
def test_method_object(name, f):
    meth = vars(Filter)[name]
    assert getattr(Filter, name) is meth
    assert (meth.__name__, meth.__qualname__, meth.__module__) == (
        name, "Joint_bilateral_filter." + name, "Sovelk")
    assert meth.__doc__ is None and meth.__globals__ is vars(Sovelk)
    params = oracle.PARAMETERS[name]
    sig = inspect.signature(meth)
    assert tuple(sig.parameters) == params
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD and p.default is p.empty for p in sig.parameters.values())
    bound = getattr(f, name)
    assert isinstance(bound, types.MethodType) and bound.__self__ is f and bound.__func__ is meth
    assert tuple(inspect.signature(bound).parameters) == params[1:]


def test_renaming_changes_only_the_name(f):
    meth = Filter.get_spatial_kernel
    try:
        meth.__name__ = "g"
        assert meth.__name__ == "g"
        assert meth.__qualname__ == "Joint_bilateral_filter.get_spatial_kernel"
        with pytest.raises(TypeError, match=r"^get_spatial_kernel\(\) takes exactly one argument \(2 given\)$"):
            f.get_spatial_kernel(1)
        with pytest.raises(AttributeError) as exc:
            Filter.get_spatial_kernel(object())
        assert_entries(exc.value, ("get_spatial_kernel", 22))
    finally:
        meth.__name__ = "get_spatial_kernel"


# ---- binding ------------------------------------------------------------------------------------

BINDING_ERRORS = [  # (id, call, text, line of the entry, or None: the body is not entered at all)
    ("init-one-arg", lambda f, a, g: Filter(3), "__init__() takes exactly 3 positional arguments (2 given)", 6),
    ("init-missing-before-duplicate", lambda f, a, g: Filter(3, sigma_s=3),
     "__init__() takes exactly 3 positional arguments (2 given)", 6),
    ("init-duplicate", lambda f, a, g: Filter(3, 0.1, sigma_s=3),
     "__init__() got multiple values for keyword argument 'sigma_s'", 6),
    ("init-first-offender-unexpected", lambda f, a, g: Filter(1, 0.1, mode=2, sigma_s=1),
     "__init__() got an unexpected keyword argument 'mode'", 6),
    ("init-first-offender-duplicate", lambda f, a, g: Filter(1, 0.1, sigma_s=1, mode=2),
     "__init__() got multiple values for keyword argument 'sigma_s'", 6),
    ("jbf-guidance-only", lambda f, a, g: f.joint_bilateral_filter(guidance=g),
     "joint_bilateral_filter() takes exactly 3 positional arguments (1 given)", 38),
    ("jbf-missing-beats-unexpected", lambda f, a, g: f.joint_bilateral_filter(img=a, guide=g),
     "joint_bilateral_filter() takes exactly 3 positional arguments (2 given)", 38),
    ("jbf-unexpected", lambda f, a, g: f.joint_bilateral_filter(a, g, mode=1),
     "joint_bilateral_filter() got an unexpected keyword argument 'mode'", 38),
    ("grk-duplicate", lambda f, a, g: f.get_range_kernel(g, tmp_guidance=g),
     "get_range_kernel() got multiple values for keyword argument 'tmp_guidance'", 26),
    ("grk-too-many", lambda f, a, g: f.get_range_kernel(g, g),
     "get_range_kernel() takes exactly 2 positional arguments (3 given)", 26),
    ("grk-empty-keywords", lambda f, a, g: Filter.get_range_kernel(f, **{}),
     "get_range_kernel() takes exactly 2 positional arguments (1 given)", 26),
    ("gsk-extra", lambda f, a, g: f.get_spatial_kernel(1),
     "get_spatial_kernel() takes exactly one argument (2 given)", None),
    ("grt-none", lambda f, a, g: Filter.get_range_table(),
     "get_range_table() takes exactly one argument (0 given)", None),
    ("gsk-keyword-self", lambda f, a, g: Filter.get_spatial_kernel(self=f),
     "get_spatial_kernel() takes no keyword arguments", None),
]


@pytest.mark.parametrize("call, text, line", [c[1:] for c in BINDING_ERRORS], ids=[c[0] for c in BINDING_ERRORS])
def test_binding_error(call, text, line, f, a, g):
    with pytest.raises(TypeError) as exc:
        call(f, a, g)
    assert type(exc.value) is TypeError and str(exc.value) == text
    # Raised before any statement runs, so nothing can follow the entry.
    assert assert_entries(exc.value, *([(text.split("(")[0], line)] if line else [])) == []


def test_binding_by_position_or_keyword(f, a, g, stack):
    for made in (Filter(sigma_r=0.1, sigma_s=3), Filter(sigma_s=3, sigma_r=0.1), Filter(3, sigma_r=0.1)):
        assert (made.sigma_s, made.sigma_r, made.wndw_size) == (3, 0.1, 19)
    model = oracle.Model(1, 0.1)
    expected = model.joint_bilateral_filter(a, g)
    for result in (Filter.joint_bilateral_filter(self=f, guidance=g, img=a),
                   Filter.joint_bilateral_filter(f, a, g, **{}),
                   raw_call(Filter.joint_bilateral_filter, (f, a, g), {}),
                   f.joint_bilateral_filter(a, guidance=g)):
        assert np.array_equal(result, expected)
    assert np.array_equal(Filter.get_range_kernel(self=f, tmp_guidance=stack), model.get_range_kernel(stack))
    assert np.array_equal(raw_call(Filter.get_spatial_kernel, (f,), {}), model.kernel_s)


KEY_POOL = ["self", "sigma_s", "sigma_r", "img", "guidance", "tmp_guidance", "mode"]


@settings(max_examples=300, deadline=None)
@given(method=st.sampled_from(METHODS), n_positional=st.integers(0, 4),
       keys=st.none() | st.lists(st.sampled_from(KEY_POOL), unique=True, max_size=5))
def test_binding_follows_the_rules(method, n_positional, keys):
    # Placeholders make every body fail at its first attribute access, past binding.
    args = [object() for _ in range(n_positional)]
    kwargs = None if keys is None else {k: object() for k in keys}
    expected = oracle.binding_error(method, n_positional, kwargs)
    meth = getattr(Filter, method)
    with pytest.raises(Exception) as exc:
        meth(*args) if kwargs is None else meth(*args, **kwargs)
    lines = [e[2] for e in module_entries(exc.value)]
    if expected is None:
        assert type(exc.value) is AttributeError, exc.value
        assert lines and lines[0] != oracle.FIRST_LINE[method]
    else:
        assert type(exc.value) is TypeError and str(exc.value) == expected
        assert lines == ([] if method in oracle.SINGLE_ARGUMENT else [oracle.FIRST_LINE[method]])


@pytest.mark.parametrize("method, n_positional, kwargs, text", [
    ("joint_bilateral_filter", 3, {1: 2}, "joint_bilateral_filter() keywords must be strings"),
    ("joint_bilateral_filter", 1, {"img": 0, "guidance": 0, 1: 2}, "joint_bilateral_filter() keywords must be strings"),
    ("joint_bilateral_filter", 1, {1: 2}, "joint_bilateral_filter() takes exactly 3 positional arguments (1 given)"),
    ("joint_bilateral_filter", 3, {"mode": 1, 1: 2}, "joint_bilateral_filter() got an unexpected keyword argument 'mode'"),
    ("joint_bilateral_filter", 3, {1: 2, "mode": 1}, "joint_bilateral_filter() keywords must be strings"),
    ("__init__", 3, {b"sigma_s": 1}, "__init__() keywords must be strings"),
    ("get_spatial_kernel", 1, {1: 2}, "get_spatial_kernel() takes no keyword arguments"),
])
def test_non_str_keys_in_a_raw_keyword_dict(method, n_positional, kwargs, text):
    with pytest.raises(TypeError) as exc:
        raw_call(getattr(Filter, method), tuple(object() for _ in range(n_positional)), kwargs)
    assert str(exc.value) == text == oracle.binding_error(method, n_positional, kwargs)
    line = None if method in oracle.SINGLE_ARGUMENT else oracle.FIRST_LINE[method]
    assert_entries(exc.value, *([(method, line)] if line else []))


class Key(str):
    pass


def test_str_subclass_keys_bind_like_str(f, a, g):
    expected = oracle.Model(1, 0.1).joint_bilateral_filter(a, g)
    assert np.array_equal(f.joint_bilateral_filter(a, **{Key("guidance"): g}), expected)
    with pytest.raises(TypeError, match=r"got multiple values for keyword argument 'img'$"):
        f.joint_bilateral_filter(a, g, **{Key("img"): a})


class EqError(Exception):
    pass


class EqRaises(str):
    __hash__ = str.__hash__

    def __eq__(self, other):
        raise EqError("compared")


class HashLikeImg:
    """Not a str, but collides with 'img' in a dict; raises on comparison once armed."""
    armed = False

    def __hash__(self):
        return hash("img")

    def __eq__(self, other):
        if HashLikeImg.armed:
            raise EqError("compared")
        return False


@pytest.mark.parametrize("n_positional, kwargs", [
    (2, {EqRaises("guidance"): 0}),     # found by the lookup of a missing parameter
    (3, {EqRaises("img"): 0}),          # met by the scan of surplus keys
    (3, {EqRaises("zzz"): 0}),          # same length as a bound parameter
    (1, {HashLikeImg(): 1, "img": 0, "guidance": 0}),
], ids=["lookup", "scan-duplicate", "scan-same-length", "non-str-collision"])
def test_keys_whose_comparison_raises_give_an_exception(n_positional, kwargs):
    HashLikeImg.armed = True
    try:
        # Which exception wins is the comparison's business; it must be an ordinary one.
        with pytest.raises((TypeError, EqError, AttributeError)):
            raw_call(Filter.joint_bilateral_filter, tuple(object() for _ in range(n_positional)), kwargs)
    finally:
        HashLikeImg.armed = False


# ---- module globals and builtins, looked up at each use ---------------------------------------

@pytest.mark.parametrize("name, call, entries", [
    ("np", lambda f, a, g, s: f.get_range_table(), [("get_range_table", 16)]),
    ("np", lambda f, a, g, s: f.get_spatial_kernel(), [("get_spatial_kernel", 22)]),
    ("np", lambda f, a, g, s: f.get_range_kernel(s), [("get_range_kernel", 29)]),
    ("np", lambda f, a, g, s: f.get_range_kernel(s[..., None]), [("get_range_kernel", 34)]),
    ("np", lambda f, a, g, s: f.joint_bilateral_filter(a, g), [("joint_bilateral_filter", 40)]),
    ("np", lambda f, a, g, s: Filter(1, 0.1), [("__init__", 12), ("get_spatial_kernel", 22)]),
    ("cv2", lambda f, a, g, s: f.joint_bilateral_filter(a, g), [("joint_bilateral_filter", 39)]),
], ids=["table", "spatial", "range-3axis", "range-4axis", "filter", "construction", "cv2"])
def test_missing_global_is_a_name_error_at_its_statement(name, call, entries, f, a, g, stack):
    with module_global(name, missing=True):
        assert not hasattr(builtins, name)
        with pytest.raises(NameError) as exc:
            call(f, a, g, stack)
    assert str(exc.value) == f"name '{name}' is not defined"
    assert assert_entries(exc.value, *entries) == []


def test_builtins_stand_in_for_a_missing_global(f, a, g):
    proxy = Recorder(np)
    with module_global("np", missing=True, in_builtins=proxy):
        result = f.joint_bilateral_filter(a, g)
    assert "clip" in proxy.reads
    assert np.array_equal(result, oracle.Model(1, 0.1).joint_bilateral_filter(a, g))


NP_READS = {  # attribute reads of `np`, in the order the statements make them
    "get_range_table": ["arange", "exp", "exp"],
    "get_spatial_kernel": ["meshgrid", "exp"],
    "get_range_kernel": ["expand_dims", "abs", "expand_dims", "prod", "int32"],
    "joint_bilateral_filter": ["int32", "int32"] + ["repeat", "expand_dims", "zeros"] * 2
    + ["expand_dims", "abs", "expand_dims", "prod", "int32", "sum", "sum", "clip", "uint8"],
}


@pytest.mark.parametrize("name", list(NP_READS))
def test_rebound_np_is_read_at_each_use(name, f, a, g, stack):
    args = {"get_range_kernel": (stack,), "joint_bilateral_filter": (a, g)}.get(name, ())
    plain = getattr(f, name)(*args)
    proxy = Recorder(np)
    with module_global("np", proxy):
        result = getattr(f, name)(*args)
    assert proxy.reads == NP_READS[name]
    np.testing.assert_equal(result, plain)


def test_rebound_cv2_pads_with_six_positional_arguments(f, a, g):
    calls = []
    proxy = Recorder(cv2, {"copyMakeBorder": lambda *args, **kw: calls.append((args, kw)) or cv2.copyMakeBorder(*args)})
    with module_global("cv2", proxy):
        f.joint_bilateral_filter(a, g)
    assert proxy.reads == ["BORDER_REFLECT", "copyMakeBorder", "copyMakeBorder"]
    assert calls == [((a, 3, 3, 3, 3, cv2.BORDER_REFLECT), {}), ((g, 3, 3, 3, 3, cv2.BORDER_REFLECT), {})]


# ---- strict unpacking ---------------------------------------------------------------------------

class Boom(Exception):
    pass


def _raising_after(*items):
    yield from items
    raise Boom("iterator failed")


T1, T2, T3 = np.zeros(256), np.ones(256), np.full(256, 0.5)


@pytest.mark.parametrize("tables, error, text", [
    (lambda: (T1, T2, T3), ValueError, "too many values to unpack (expected 2)"),
    (lambda: (T1,), ValueError, "need more than 1 value to unpack"),
    (lambda: (), ValueError, "need more than 0 values to unpack"),
    (lambda: iter([T1, T2, T3]), ValueError, "too many values to unpack (expected 2)"),
    (lambda: iter([T1]), ValueError, "need more than 1 value to unpack"),
    (lambda: _raising_after(), Boom, "iterator failed"),
    (lambda: _raising_after(T1, T2), Boom, "iterator failed"),   # asked once more after two
], ids=["tuple-3", "tuple-1", "tuple-0", "iter-3", "iter-1", "raises-first", "raises-third"])
def test_range_table_pair_is_unpacked_strictly(tables, error, text):
    class Sub(Filter):
        def get_range_table(self):
            return tables()

    obj = Sub.__new__(Sub)
    with pytest.raises(error) as exc:
        obj.__init__(1, 0.1)
    assert str(exc.value) == text
    rest = assert_entries(exc.value, ("__init__", 13))
    assert [e[0] for e in rest] == (["_raising_after"] if error is Boom else [])
    assert list(vars(obj)) == ["sigma_r", "sigma_s", "wndw_size", "pad_w", "kernel_s"]


@pytest.mark.parametrize("tables", [lambda: iter([T1, T2]), lambda: [T1, T2], lambda: (x for x in (T1, T2))])
def test_range_table_pair_from_any_iterable(tables):
    class Sub(Filter):
        def get_range_table(self):
            return tables()

    obj = Sub(1, 0.1)
    assert obj.table_r_color is T1 and obj.table_r_gray is T2


@pytest.mark.parametrize("grids, text", [
    (lambda x, y: (x, y, x), "too many values to unpack (expected 2)"),
    (lambda x, y: [x], "need more than 1 value to unpack"),
    (lambda x, y: iter(()), "need more than 0 values to unpack"),
])
def test_meshgrid_result_is_unpacked_strictly(grids, text, f):
    with module_global("np", Recorder(np, {"meshgrid": grids})):
        with pytest.raises(ValueError) as exc:
            f.get_spatial_kernel()
    assert str(exc.value) == text
    assert assert_entries(exc.value, ("get_spatial_kernel", 22)) == []
