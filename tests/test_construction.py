"""Construction of a filter object: its seven attributes, their order, and partial failures."""

from fractions import Fraction

import numpy as np
import pytest

import oracle
from conftest import Filter, assert_entries

ATTRIBUTES = ["sigma_r", "sigma_s", "wndw_size", "pad_w", "kernel_s", "table_r_color", "table_r_gray"]


@pytest.mark.parametrize("sigma_s, wndw_size, pad_w", [(1, 7, 3), (3, 19, 9), (-1, -5, -3), (np.int64(2), 13, 6)])
def test_geometry_and_precomputed_arrays(sigma_s, wndw_size, pad_w):
    f = Filter(sigma_s, 0.1)
    assert list(vars(f)) == ATTRIBUTES
    assert f.sigma_s is sigma_s and (f.wndw_size, f.pad_w) == (wndw_size, pad_w)
    # The arithmetic is the argument's own: ints stay ints, numpy scalars stay numpy scalars.
    assert type(f.wndw_size) is type(f.pad_w) is (int if type(sigma_s) is int else np.int64)
    model = oracle.Model(sigma_s, 0.1)
    assert f.kernel_s.dtype == np.float64 and f.kernel_s.shape == (max(wndw_size, 0),) * 2
    for name in ATTRIBUTES[4:]:
        assert np.array_equal(getattr(f, name), getattr(model, name))
    assert f.table_r_color is not f.table_r_gray


def test_zero_sigma_s_constructs_with_a_nan_kernel():
    with pytest.warns(RuntimeWarning, match="invalid value"):
        f = Filter(0, 0.1)
    assert (f.wndw_size, f.pad_w) == (1, 0)
    assert f.kernel_s.shape == (1, 1) and np.isnan(f.kernel_s[0, 0])


def test_float_sigma_s_fails_in_the_spatial_kernel():
    f = Filter.__new__(Filter)
    with pytest.raises(TypeError) as exc:
        f.__init__(2.0, 0.1)
    # range() is C code: nothing may follow the module's two entries.
    assert assert_entries(exc.value, ("__init__", 12), ("get_spatial_kernel", 22)) == []
    assert list(vars(f)) == ATTRIBUTES[:4]
    assert (f.sigma_s, f.wndw_size, f.pad_w) == (2.0, 13.0, 6.0) and type(f.wndw_size) is float


def test_str_sigma_s_fails_when_one_is_added():
    f = Filter.__new__(Filter)
    with pytest.raises(TypeError) as exc:
        f.__init__("ab", 0.1)
    assert str(exc.value) == 'can only concatenate str (not "int") to str'
    assert assert_entries(exc.value, ("__init__", 9)) == []
    assert vars(f) == {"sigma_r": 0.1, "sigma_s": "ab"}


def test_huge_sigma_s_is_refused_before_numpy_allocates():
    f = Filter.__new__(Filter)
    with pytest.raises(MemoryError, match="get_spatial_kernel needs about .* GiB") as exc:
        f.__init__(10 ** 6, 0.1)
    # Refused before meshgrid runs: no numpy frame follows the module's entries.
    assert assert_entries(exc.value, ("__init__", 12), ("get_spatial_kernel", 22)) == []
    assert list(vars(f)) == ATTRIBUTES[:4]


@pytest.mark.parametrize("sigma_r", [Fraction(1, 10), 3, -0.25])
def test_sigma_r_is_stored_as_given(sigma_r):
    f = Filter(1, sigma_r)
    assert f.sigma_r is sigma_r
    assert np.array_equal(f.table_r_gray, oracle.range_tables(sigma_r)[1])


@pytest.mark.parametrize("sigma_r, error", [(1e200, OverflowError), (10 ** 200, OverflowError), (None, TypeError)])
def test_unusable_sigma_r_fails_after_the_spatial_kernel(sigma_r, error):
    f = Filter.__new__(Filter)
    with pytest.raises(error) as exc:
        f.__init__(1, sigma_r)
    assert assert_entries(exc.value, ("__init__", 13), ("get_range_table", 17)) == []
    assert list(vars(f)) == ATTRIBUTES[:5]


def _slots_with(n):
    """An object that accepts only the first n of the attributes __init__ sets."""
    return type(f"Slots{n}", (), {"__slots__": ATTRIBUTES[:n]})()


@pytest.mark.parametrize("n, line", [(0, 7), (1, 8), (2, 9), (3, 10), (4, 12)])
def test_self_is_not_type_checked(n, line):
    with pytest.raises(AttributeError) as exc:
        Filter.__init__(_slots_with(n), 1, 0.1)
    assert assert_entries(exc.value, ("__init__", line)) == []


def test_overrides_are_called_in_order_on_the_partly_built_object():
    seen = []
    kernel, first, second = object(), object(), object()

    class Sub(Filter):
        def get_spatial_kernel(self):
            seen.append(("get_spatial_kernel", list(vars(self))))
            return kernel

        def get_range_table(self):
            seen.append(("get_range_table", list(vars(self))))
            return first, second

    f = Sub(2, 0.3)
    assert seen == [("get_spatial_kernel", ATTRIBUTES[:4]), ("get_range_table", ATTRIBUTES[:5])]
    assert f.kernel_s is kernel and f.table_r_color is first and f.table_r_gray is second


def test_instance_attribute_shadows_a_method():
    f = Filter.__new__(Filter)
    f.get_range_table = lambda: ("c", "g")
    Filter.__init__(f, 1, 0.1)
    assert (f.table_r_color, f.table_r_gray) == ("c", "g")


def test_override_failure_adds_its_own_frame_after_the_entry():
    class Sub(Filter):
        def get_spatial_kernel(self):
            raise KeyError("from the override")

    with pytest.raises(KeyError) as exc:
        Sub(1, 0.1)
    assert [e[0] for e in assert_entries(exc.value, ("__init__", 12))] == ["get_spatial_kernel"]


def test_init_again_overwrites_in_place():
    f = Filter(1, 0.1)
    old_kernel = f.kernel_s
    assert f.__init__(2, 0.3) is None
    assert list(vars(f)) == ATTRIBUTES
    assert (f.sigma_s, f.sigma_r, f.wndw_size, f.pad_w) == (2, 0.3, 13, 6)
    assert f.kernel_s is not old_kernel
    fresh = Filter(2, 0.3)
    for name in ATTRIBUTES[4:]:
        assert np.array_equal(getattr(f, name), getattr(fresh, name))
