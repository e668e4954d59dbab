"""Spatial kernel, range tables and range kernel, against hand values and the numpy model."""

import math
import warnings

import numpy as np
import pytest

import oracle
from conftest import Filter, assert_entries


def _close(a, b):
    # np.exp may take different SIMD paths for scalars and arrays: hand values are compared to
    # within rounding, model values exactly.
    return np.allclose(a, b, rtol=1e-14, atol=0)


# ---- spatial kernel ----------------------------------------------------------------------------

@pytest.mark.parametrize("sigma_s", [-2, 1, 2, 3, 5, np.int32(2), True])
def test_spatial_kernel_matches_model(sigma_s):
    f = Filter(1, 0.1)
    stored = f.kernel_s
    f.sigma_s = sigma_s
    kernel = f.get_spatial_kernel()
    expected = oracle.spatial_kernel(sigma_s)
    assert kernel.dtype == np.float64 and kernel.shape == expected.shape
    assert np.array_equal(kernel, expected)
    assert f.kernel_s is stored and stored.shape == (7, 7)


@pytest.mark.parametrize("sigma_s", [1, 2, 4])
def test_spatial_kernel_is_the_gaussian(sigma_s):
    k = Filter(sigma_s, 0.1).kernel_s
    n, c = 6 * sigma_s + 1, 3 * sigma_s
    assert k.shape == (n, n) and k[c, c] == 1.0
    assert _close(k[[0, 0, -1, -1], [0, -1, 0, -1]], math.exp(-9))        # corners
    assert _close(k[[0, c, c, -1], [c, 0, -1, c]], math.exp(-4.5))        # middles of the edges
    assert _close(k[[c - 1, c + 1, c, c], [c, c, c - 1, c + 1]], math.exp(-0.5 / sigma_s ** 2))
    assert _close(k[c + 1, c + 2], math.exp(-5 / (2 * sigma_s ** 2)))       # rows down, columns across
    assert _close(k, k.T) and k.sum() > 1.0                                 # symmetric, not normalised


def test_spatial_kernel_of_zero_sigma_is_nan():
    f = Filter(1, 0.1)
    f.sigma_s = 0
    with pytest.warns(RuntimeWarning, match="invalid value"):
        k = f.get_spatial_kernel()
    assert k.shape == (1, 1) and np.isnan(k[0, 0])


# ---- range tables ------------------------------------------------------------------------------

@pytest.mark.parametrize("sigma_r", [0.05, 0.1, 0.3, 1, -0.1, 2.5, 1e6])
def test_range_tables_match_model(sigma_r):
    f = Filter(1, 0.1)
    stored = (f.table_r_color, f.table_r_gray)
    f.sigma_r = sigma_r
    tables = f.get_range_table()
    assert type(tables) is tuple and len(tables) == 2
    for table, expected in zip(tables, oracle.range_tables(sigma_r)):
        assert table.dtype == np.float64 and table.shape == (256,)
        assert np.array_equal(table, expected)
        assert table[0] == 1.0 and np.all(np.diff(table) <= 0) and table.min() >= 0.0
    # Fresh and independent: neither the stored tables nor each other.
    assert not np.shares_memory(*tables) and tables[0] is not stored[0] and tables[1] is not stored[1]
    tables[0][:] = -1.0
    assert np.array_equal(tables[1], oracle.range_tables(sigma_r)[1])


def test_range_tables_hand_values():
    color, gray = Filter(1, 0.1).get_range_table()
    assert _close(color[51], math.exp(-2)) and _close(gray[255], math.exp(-50))
    assert _close(Filter(1, 1).table_r_gray[255], math.exp(-0.5))
    assert np.allclose(Filter(1, 1e6).table_r_gray, 1.0, rtol=0, atol=1e-12)


@pytest.mark.parametrize("sigma_r", [0, 0.0, 1e-200], ids=["int", "float", "underflowing"])
def test_zero_sigma_r_gives_nan_then_zeros(sigma_r):
    f = Filter(1, 0.1)
    f.sigma_r = sigma_r
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        tables = f.get_range_table()
    texts = [str(w.message) for w in caught if w.category is RuntimeWarning]
    assert any("divide by zero" in t for t in texts) and any("invalid value" in t for t in texts)
    for table in tables:
        assert np.isnan(table[0]) and np.array_equal(table[1:], np.zeros(255))


class SquaresOnce:
    """A number that can be squared once; the second table's statement then fails."""
    used = False

    def __pow__(self, exponent):
        if self.used:
            raise ArithmeticError("squared twice")
        self.used = True
        return 0.01


@pytest.mark.parametrize("sigma_r, error, line", [
    (1e200, OverflowError, 17),
    (-(10 ** 160), OverflowError, 17),
    ("x", TypeError, 17),
    (SquaresOnce, ArithmeticError, 18),
    (None, AttributeError, 17),        # attribute deleted
], ids=["float-overflow", "int-overflow", "str", "second-statement", "missing"])
def test_range_table_failures_report_their_statement(sigma_r, error, line):
    f = Filter(1, 0.1)
    if sigma_r is None:
        del f.sigma_r
    else:
        f.sigma_r = sigma_r() if sigma_r is SquaresOnce else sigma_r
    with pytest.raises(error) as exc:
        f.get_range_table()
    rest = assert_entries(exc.value, ("get_range_table", line))
    assert [e[0] for e in rest] == (["__pow__"] if sigma_r is SquaresOnce else [])


# ---- range kernel ------------------------------------------------------------------------------

def _distinct_tables(f):
    # Different tables make the choice between gray and colour visible in the result.
    f.table_r_gray = np.linspace(1.0, 0.5, 256)
    f.table_r_color = np.linspace(1.0, 0.0, 256) ** 2
    return f


def _check(f, stack):
    before = stack.copy()
    result = f.get_range_kernel(stack)
    assert np.array_equal(stack, before)
    expected = oracle.Model.like(f).get_range_kernel(stack)
    assert result.dtype == expected.dtype and result.shape == expected.shape
    assert np.array_equal(result, expected)
    return result


@pytest.mark.parametrize("shape, table", [
    ((49, 4, 5), "gray"),
    ((49, 4, 5, 1), "gray"),
    ((49, 3, 2, 3), "color"),
    ((49, 3, 2, 2), "color"),
    ((49, 2, 3, 4), "color"),
    ((49, 2, 2, 3, 2), "color"),      # axis 3 is the channel axis whatever follows it
    ((49, 2, 2, 1, 3), "gray"),
])
@pytest.mark.parametrize("dtype", [np.float64, np.int32, np.int16])
def test_range_kernel_table_choice_and_product(shape, table, dtype, rng):
    f = _distinct_tables(Filter(1, 0.1))
    stack = rng.integers(0, 256, size=shape).astype(dtype)
    result = _check(f, stack)
    expanded = stack[..., None] if stack.ndim == 3 else stack
    diff = np.abs(expanded.astype(np.int64) - expanded[24][None].astype(np.int64))
    lookup = getattr(f, "table_r_" + table)[diff]
    by_hand = lookup[:, :, :, 0:1]
    for ch in range(1, lookup.shape[3]):
        by_hand = by_hand * lookup[:, :, :, ch:ch + 1]
    assert np.array_equal(result, by_hand)
    assert np.all(result[24] == 1.0)


@pytest.mark.parametrize("sigma_s, channels", [(1, None), (2, 3), (3, None), (3, 3)])
def test_range_kernel_of_real_tables(sigma_s, channels, rng):
    f = Filter(sigma_s, 0.1)
    n = (6 * sigma_s + 1) ** 2
    shape = (n, 5, 4) if channels is None else (n, 5, 4, channels)
    result = _check(f, rng.integers(0, 256, size=shape).astype(np.float64))
    assert np.all(result[(n - 1) // 2] == 1.0)
    assert np.all(f.get_range_kernel(np.full(shape, 77.0)) == 1.0)


@pytest.mark.parametrize("dtype, neighbour, centre, entry", [
    (np.float64, 0.9, 0.0, 0), (np.float64, 254.99, 0.0, 254), (np.float64, -0.9, 0.0, 0),
    (np.float64, -300.0, -45.5, 254),
    (np.uint8, 10, 20, 246),           # subtracted in uint8: wraps around to 246
])
def test_range_kernel_truncates_after_the_absolute_value(dtype, neighbour, centre, entry):
    f = _distinct_tables(Filter(1, 0.1))
    stack = np.full((49, 1, 1), neighbour, dtype=dtype)
    stack[24] = centre
    assert _check(f, stack)[0, 0, 0, 0] == f.table_r_gray[entry]


def test_range_kernel_reads_attributes_at_each_call(rng):
    f = Filter(1, 0.1)
    f.wndw_size = 5                  # centre plane 12 instead of 24
    f.table_r_gray = np.linspace(1.0, 0.0, 256)
    result = _check(f, rng.integers(0, 256, size=(25, 3, 3)).astype(np.float64))
    assert np.all(result[12] == 1.0)


@pytest.mark.parametrize("prepare, arg, error, line", [
    (lambda f: setattr(f, "wndw_size", 7.0), np.zeros((49, 2, 2)), IndexError, 34),
    (lambda f: None, np.zeros((49, 2)), IndexError, 30),
    (lambda f: None, [[[0.0]]] * 49, AttributeError, 28),
    (lambda f: None, np.array([0.0, 256.0] * 25).reshape(50, 1, 1)[1:], IndexError, 35),
    (lambda f: delattr(f, "wndw_size"), np.zeros((49, 2, 2)), AttributeError, 27),
    (lambda f: delattr(f, "table_r_gray"), np.zeros((49, 2, 2)), AttributeError, 31),
    (lambda f: delattr(f, "table_r_color"), np.zeros((49, 2, 2, 3)), AttributeError, 33),
    (lambda f: setattr(f, "table_r_gray", np.ones(10)), np.arange(49.0).reshape(49, 1, 1), IndexError, 35),
], ids=["float-window", "two-axes", "not-an-array", "difference-256", "no-window", "no-gray-table",
        "no-colour-table", "short-table"])
def test_range_kernel_failures(prepare, arg, error, line):
    f = Filter(1, 0.1)
    prepare(f)
    with pytest.raises(error) as exc:
        f.get_range_kernel(arg)
    assert assert_entries(exc.value, ("get_range_kernel", line)) == []
