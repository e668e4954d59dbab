"""joint_bilateral_filter: bit-equality with the numpy model, hand-checked borders, failures."""

import warnings

import cv2
import numpy as np
import pytest

import oracle
from conftest import SNIPPET_PRELUDE, Filter, Recorder, assert_entries, module_global, outcome, run_json

# ---- random cases against the model -----------------------------------------------------------

IMAGE_VALUES = {  # dtype: value range drawn; some lie outside 0..255 to reach the clipping
    np.uint8: (0, 256), np.uint16: (0, 700), np.int16: (-200, 400),
    np.int32: (-50, 300), np.float32: (-20.0, 300.0), np.float64: (0.0, 256.0),
}
GUIDES = [(None, np.uint8), (3, np.uint8), (None, np.float32), (3, np.int16),   # (channels, dtype)
          (2, np.uint8), (4, np.uint8), (None, np.uint16), (3, np.float64)]


def _make_cases(count=300, seed=20240611):
    rng = np.random.default_rng(seed)
    # Images smaller than any window: every slice reaches far into the mirrored border.
    cases = [(h, w, 3, np.uint8, GUIDES[(h + w + s) % 2], s, 0.1, "c", int(rng.integers(1 << 30)))
             for s in (1, 2, 3) for h, w in [(1, 1), (1, 4), (4, 1), (2, 3), (3, 2), (5, 5)]]
    while len(cases) < count:
        sigma_s = int(rng.choice([1, 1, 2, 2, 3]))
        side = {1: 100, 2: 60, 3: 45}[sigma_s] if rng.random() < 0.15 else 30
        h, w = (int(v) for v in rng.integers(1, side + 1, size=2))
        dtype = list(IMAGE_VALUES)[rng.choice(6, p=[.4, .1, .15, .1, .15, .1])]
        guide = GUIDES[rng.choice(8, p=[.3, .3, .08, .08, .06, .06, .06, .06])]
        channels = int(rng.choice([3, 3, 3, 2, 4]))
        sigma_r = float(rng.choice([0.02, 0.05, 0.1, 0.3, 1.0], p=[.1, .2, .3, .2, .2]))
        layout = str(rng.choice(["c", "fortran", "strided", "readonly"], p=[.7, .1, .1, .1]))
        cases.append((h, w, channels, dtype, guide, sigma_s, sigma_r, layout, int(rng.integers(1 << 30))))
    return cases


CASES = _make_cases()


def _case_id(case):
    h, w, ch, dtype, (gch, gdtype), sigma_s, sigma_r, layout, _ = case
    return (f"{h}x{w}x{ch}-{np.dtype(dtype).name}-g{gch or 1}{np.dtype(gdtype).name}"
            f"-s{sigma_s}-r{sigma_r}-{layout}")


def _arrange(a, layout):
    if layout == "fortran":
        return np.asfortranarray(a)
    if layout == "strided":
        wide = np.zeros((a.shape[0], 2 * a.shape[1]) + a.shape[2:], a.dtype)
        wide[:, ::2] = a
        return wide[:, ::2]
    if layout == "readonly":
        a = a.copy()
        a.flags.writeable = False
    return a


def _guidance(rng, h, w, channels, dtype):
    shape = (h, w) if channels is None else (h, w, channels)
    if rng.random() < 0.5:
        values = rng.integers(0, 256, size=shape).astype(np.float64)
    else:
        # A few flat regions with mild noise: edges the filter should keep.
        regions = (np.add.outer(np.arange(h), np.arange(w)) * 4 // max(h + w, 1)) % 4
        values = rng.integers(0, 256, size=4)[regions].astype(np.float64)
        if channels is not None:
            values = np.repeat(values[..., None], channels, axis=2)
        values = np.clip(values + rng.normal(0, 6, size=shape), 0, 255)
    return values.astype(dtype) if np.issubdtype(dtype, np.floating) else np.floor(values).astype(dtype)


def _image(rng, h, w, channels, dtype):
    low, high = IMAGE_VALUES[dtype]
    if np.issubdtype(dtype, np.floating):
        return rng.uniform(low, high, size=(h, w, channels)).astype(dtype)
    return rng.integers(low, high, size=(h, w, channels)).astype(dtype)


def _run(call):
    """Result and the RuntimeWarnings raised while computing it."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = call()
    return result, sorted({(w.category.__name__, str(w.message)) for w in caught})


@pytest.mark.parametrize("case", CASES, ids=[_case_id(c) for c in CASES])
def test_matches_model(case):
    h, w, channels, dtype, (gch, gdtype), sigma_s, sigma_r, layout, seed = case
    rng = np.random.default_rng(seed)
    img = _arrange(_image(rng, h, w, channels, dtype), layout)
    guidance = _arrange(_guidance(rng, h, w, gch, gdtype), layout)
    img_before, guidance_before = img.copy(), guidance.copy()
    result, warned = _run(lambda: Filter(sigma_s, sigma_r).joint_bilateral_filter(img, guidance))
    expected, model_warned = _run(lambda: oracle.Model(sigma_s, sigma_r).joint_bilateral_filter(img, guidance))
    assert result.dtype == np.uint8 and result.shape == img.shape
    assert np.array_equal(result, expected), np.argwhere(result != expected)[:5]
    assert warned == model_warned
    assert np.array_equal(img, img_before) and np.array_equal(guidance, guidance_before)
    assert not np.shares_memory(result, img)


def test_repeated_calls_agree_and_leave_the_object_alone(rng):
    f = Filter(2, 0.1)
    img, guidance = (rng.integers(0, 256, (20, 17, 3)).astype(np.uint8) for _ in range(2))
    attributes = dict(vars(f))
    first, second = f.joint_bilateral_filter(img, guidance), f.joint_bilateral_filter(img, guidance)
    assert first is not second and np.array_equal(first, second)
    assert vars(f).keys() == attributes.keys() and all(vars(f)[k] is v for k, v in attributes.items())


@pytest.mark.parametrize("sigma_s", [1, 2, 3])
@pytest.mark.parametrize("sigma_r", [0.05, 0.3])
def test_flat_patch_keeps_numpy_rounding(sigma_s, sigma_r, rng):
    # Normalised weights sum to a hair under one, so a flat 200 comes out partly as 199:
    # the cast truncates, nothing rounds.
    img = np.full((20, 20, 3), 200, np.uint8)
    guidance = rng.integers(0, 256, (20, 20)).astype(np.uint8)
    result = Filter(sigma_s, sigma_r).joint_bilateral_filter(img, guidance)
    assert np.array_equal(result, oracle.Model(sigma_s, sigma_r).joint_bilateral_filter(img, guidance))
    assert set(np.unique(result)) == {199, 200}


@pytest.mark.parametrize("sigma_s", [1, 2, 3])
@pytest.mark.parametrize("channels", [1, 3])
def test_single_pixel_sums_like_numpy(sigma_s, channels):
    # With one pixel the offset axis is the only one left, and numpy then sums it pairwise
    # rather than in offset order; a one-level difference shows for some values.
    f, model = Filter(sigma_s, 0.1), oracle.Model(sigma_s, 0.1)
    guidance = np.full((1, 1), 7, np.uint8)
    for value in range(256):
        img = np.full((1, 1, channels), value, np.uint8)
        assert np.array_equal(f.joint_bilateral_filter(img, guidance),
                              model.joint_bilateral_filter(img, guidance)), value


# ---- hand-checked cases -----------------------------------------------------------------------

def _one_hot_filter(*weights):
    """A sigma_s 1 filter whose spatial kernel holds only the given ((row, col), weight) entries
    and whose range weights are all one, so each output is a known mix of known pixels."""
    f = Filter(1, 0.1)
    f.kernel_s = np.zeros((7, 7))
    for (r, c), weight in weights:
        f.kernel_s[r, c] = weight
    f.table_r_gray = f.table_r_color = np.ones(256)
    return f


def test_first_row_draws_on_mirrored_rows():
    img = np.repeat((10 * np.arange(8)).astype(np.uint8)[:, None, None], 4, axis=1).repeat(3, axis=2)
    guidance = np.zeros((8, 4), np.uint8)
    drawn = [_one_hot_filter(((i, 3), 1.0)).joint_bilateral_filter(img, guidance)[0, 0, 0] for i in range(7)]
    assert drawn == [20, 10, 0, 0, 10, 20, 30]        # rows 2, 1, 0, 0, 1, 2, 3


def test_every_offset_reads_the_mirrored_pixel():
    h, w = 5, 6
    img = ((16 * np.arange(h)[:, None] + np.arange(w))[:, :, None] + np.array([0, 80, 160])).astype(np.uint8)
    guidance = np.zeros((h, w, 3), np.uint8)

    def reflect(p, n):  # the edge pixel is repeated: -1 -> 0, n -> n - 1
        return -p - 1 if p < 0 else (2 * n - 1 - p if p >= n else p)

    for i in range(7):
        for j in range(7):
            result = _one_hot_filter(((i, j), 1.0)).joint_bilateral_filter(img, guidance)
            rows, cols = [reflect(r + i - 3, h) for r in range(h)], [reflect(c + j - 3, w) for c in range(w)]
            assert np.array_equal(result, img[np.ix_(rows, cols)]), (i, j)


def test_values_are_truncated_before_weighting_and_clipped_after():
    img = np.array([[[10.7, -0.5, 254.9], [300.2, -1.5, 0.99]]], np.float32)
    result = _one_hot_filter(((3, 3), 1.0)).joint_bilateral_filter(img, np.zeros((1, 2), np.uint8))
    assert result.tolist() == [[[10, 0, 254], [255, 0, 0]]]


def test_weighted_mean_is_truncated():
    # Centre weight 1 and right-hand neighbour 1/9: 0.9 * 200 + 0.1 * 209 = 200.9 -> 200.
    img = np.array([[[200], [209]]], np.uint8).repeat(3, axis=2)
    result = _one_hot_filter(((3, 3), 1.0), ((3, 4), 1 / 9)).joint_bilateral_filter(img, np.zeros((1, 2), np.uint8))
    assert result[0, 0].tolist() == [200, 200, 200]


def test_guidance_edge_is_kept():
    img = np.zeros((12, 12, 3), np.uint8)
    img[:, 6:] = 250
    guidance = np.where(np.arange(12) < 6, 0, 255).astype(np.uint8)[None, :].repeat(12, 0)
    result = Filter(2, 0.05).joint_bilateral_filter(img, guidance)
    assert result[:, :6].max() == 0 and result[:, 6:].min() >= 249


# ---- what the method reads --------------------------------------------------------------------

def test_range_kernel_receives_the_whole_guidance_stack(rng):
    img, guidance = (rng.integers(0, 256, (6, 5, 3)).astype(np.uint8) for _ in range(2))
    f, seen = Filter(1, 0.1), []
    f.get_range_kernel = lambda tmp_guidance: seen.append(tmp_guidance.copy()) or np.ones((49, 6, 5, 1))
    result = f.joint_bilateral_filter(img, guidance)
    tmp_img, tmp_guidance = oracle.window_stacks(img, guidance, 7, 3)
    assert len(seen) == 1 and seen[0].dtype == np.float64 and np.array_equal(seen[0], tmp_guidance)
    assert np.array_equal(seen[0][24], guidance)
    assert np.array_equal(result, oracle.combine(f.kernel_s, np.ones((49, 6, 5, 1)), tmp_img, 7))


@pytest.mark.parametrize("change", ["kernel", "gray-table", "colour-table", "smaller-window"])
def test_reassigned_attributes_are_used(change, rng):
    img = rng.integers(0, 256, (9, 8, 3)).astype(np.uint8)
    guidance = rng.integers(0, 256, (9, 8, 3) if change == "colour-table" else (9, 8)).astype(np.uint8)
    f = Filter(1, 0.1)
    if change == "kernel":
        f.kernel_s = rng.random((7, 7)) + 0.01
    elif change == "gray-table":
        f.table_r_gray = np.linspace(1.0, 0.2, 256)
    elif change == "colour-table":
        f.table_r_color = np.linspace(1.0, 0.6, 256) ** 3
    else:
        f.wndw_size, f.pad_w, f.kernel_s = 5, 2, rng.random((5, 5)) + 0.01
    result = f.joint_bilateral_filter(img, guidance)
    assert np.array_equal(result, oracle.Model.like(f).joint_bilateral_filter(img, guidance))
    assert not np.array_equal(result, oracle.Model(1, 0.1).joint_bilateral_filter(img, guidance))


def test_zero_sigma_s_leaves_the_cast_to_numpy(rng):
    img, guidance = rng.integers(0, 256, (4, 5, 3)).astype(np.uint8), rng.integers(0, 256, (4, 5)).astype(np.uint8)
    f, _ = _run(lambda: Filter(0, 0.1))
    result, warned = _run(lambda: f.joint_bilateral_filter(img, guidance))
    expected, model_warned = _run(lambda: oracle.Model.like(f).joint_bilateral_filter(img, guidance))
    assert np.array_equal(result, expected) and warned == model_warned and warned


# ---- failures ---------------------------------------------------------------------------------

@pytest.mark.parametrize("img_shape, guidance_shape, line", [
    ((6,), (5, 6), 47),
    ((5, 6, 3), (7, 6), 51),
    ((5, 6, 3), (5, 4, 3), 51),
    ((5, 6, 3), (1, 6), 51),
    ((5, 6, 3), (5, 6, 1), 51),
    ((5, 6, 1), (5, 6), 50),
    ((1, 6, 1), (1, 6), 50),
    ((1, 1, 1), (1, 1), None),
], ids=lambda v: "x".join(map(str, v)) if isinstance(v, tuple) else str(v))
def test_shape_problems_fail_like_the_statements(img_shape, guidance_shape, line, rng):
    # Whether OpenCV drops a channel axis of length one decides several of these; the module
    # must do whatever the statements do.
    img = rng.integers(0, 256, img_shape).astype(np.uint8)
    guidance = rng.integers(0, 256, guidance_shape).astype(np.uint8)
    (result, exc), _ = outcome(lambda: Filter(1, 0.1).joint_bilateral_filter(img, guidance))
    (expected, model_exc), _ = outcome(lambda: oracle.Model(1, 0.1).joint_bilateral_filter(img, guidance))
    if line is None:
        assert exc is None and model_exc is None and np.array_equal(result, expected)
        return
    assert type(exc) is type(model_exc)
    # The module words its own unpacking errors; the interpreter's differ.
    assert str(exc) == ("need more than 1 value to unpack" if line == 47 else str(model_exc))
    assert assert_entries(exc, ("joint_bilateral_filter", line)) == []


def test_unpacking_messages_of_the_image_shape():
    with pytest.raises(ValueError, match="^need more than 2 values to unpack$") as exc:
        Filter(1, 0.1).joint_bilateral_filter(np.zeros((5, 6), np.uint8), np.zeros((5, 6), np.uint8))
    assert assert_entries(exc.value, ("joint_bilateral_filter", 47)) == []

    # OpenCV refuses four axes, so pad with numpy's equivalent of its mirror mode instead.
    def pad(src, top, bottom, left, right, mode):
        return np.pad(src, [(top, bottom), (left, right)] + [(0, 0)] * (src.ndim - 2), mode="symmetric")

    with module_global("cv2", Recorder(cv2, {"copyMakeBorder": pad})):
        with pytest.raises(ValueError, match=r"^too many values to unpack \(expected 3\)$") as exc:
            Filter(1, 0.1).joint_bilateral_filter(np.zeros((5, 6, 3, 1)), np.zeros((5, 6)))
    assert assert_entries(exc.value, ("joint_bilateral_filter", 47)) == []


def test_failure_inside_the_range_kernel_shows_both_entries():
    guidance = np.zeros((5, 6), np.int16)
    guidance[2, 3] = 300                        # a difference of 300 is past the table's end
    with pytest.raises(IndexError) as exc:
        Filter(1, 0.1).joint_bilateral_filter(np.zeros((5, 6, 3), np.uint8), guidance)
    assert assert_entries(exc.value, ("joint_bilateral_filter", 54), ("get_range_kernel", 35)) == []


def _swap(name, value):
    return lambda f: setattr(f, name, value)


class _NegativeShape(np.ndarray):
    """OpenCV pads it from its buffer; only a statement that reads its shape fails, in numpy."""

    @property
    def shape(self):
        return (-1, 6)


@pytest.mark.parametrize("prepare, args, error, line", [
    (_swap("kernel_s", np.ones((5, 5))), "arrays", ValueError, 53),
    (_swap("pad_w", -1), "arrays", cv2.error, 40),
    (lambda f: delattr(f, "wndw_size"), "arrays", AttributeError, 44),
    (_swap("get_range_kernel", lambda tg: None), "arrays", TypeError, 56),
    (_swap("get_range_kernel", lambda tg: np.ones((49, 2))), "arrays", ValueError, 58),
    (lambda f: None, "list-image", cv2.error, 40),
    (lambda f: None, "list-guidance", cv2.error, 41),
    (lambda f: None, "negative-shape-guidance", ValueError, 45),  # the guidance's window stack
    (None, "arrays", AttributeError, 40),           # self is a plain object
], ids=["kernel-size", "negative-pad", "no-window", "range-kernel-none", "range-kernel-unbroadcastable",
        "list-image", "list-guidance", "guidance-stack", "plain-self"])
def test_failures_report_their_statement(prepare, args, error, line, rng):
    img = rng.integers(0, 256, (5, 6, 3)).astype(np.uint8)
    guidance = rng.integers(0, 256, (5, 6)).astype(np.uint8)
    img, guidance = (img.tolist() if args == "list-image" else img,
                     guidance.tolist() if args == "list-guidance" else guidance)
    if args == "negative-shape-guidance":
        guidance = guidance.view(_NegativeShape)
    f = Filter(1, 0.1) if prepare else object()
    if prepare:
        prepare(f)
    with pytest.raises(error) as exc:
        Filter.joint_bilateral_filter(f, img, guidance)
    assert assert_entries(exc.value, ("joint_bilateral_filter", line)) == []


EMPTY_SOURCES = {"none": "None", "no-rows": "np.zeros((0, 6{}), np.uint8)",
                 "no-columns": "np.zeros((5, 0{}), np.uint8)", "empty-tuple": "()"}


def test_empty_sources_raise_opencvs_error():
    """OpenCV's own assertion (cv2.error) at the padding line, for image and guidance alike.

    Some OpenCV releases spin for ever on an empty source: a fresh interpreter with a deadline
    turns such a hang into a failure.
    """
    cases = {f"{which}-{name}": (which, code.format(", 3" if which == "img" else ""))
             for which in ("img", "guidance") for name, code in EMPTY_SOURCES.items()}
    out = run_json(SNIPPET_PRELUDE + f"""
import cv2
import numpy as np
import Sovelk
good = np.zeros((5, 6, 3), np.uint8)
seen = {{}}
for key, (which, code) in {cases!r}.items():
    empty = eval(code)
    args = (empty, good[..., 0]) if which == "img" else (good, empty)
    try:
        Sovelk.Joint_bilateral_filter(1, 0.1).joint_bilateral_filter(*args)
        seen[key] = None
    except Exception as e:
        seen[key] = [isinstance(e, cv2.error), [x for x in entries(e) if x[1] == "Sovelk"]]
report(seen=seen)
""", timeout=60)
    entry = "Sovelk.Joint_bilateral_filter.joint_bilateral_filter"
    assert out["seen"] == {key: [True, [[entry, "Sovelk", 40 if which == "img" else 41]]]
                           for key, (which, _) in cases.items()}
