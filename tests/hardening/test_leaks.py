"""Repeated calls, succeeding and failing, keep no references and no memory.

A reference the module forgets to drop shows as a reference count that grows with the number of
calls (for an argument, the filter object or one of its attributes) or, for objects the module
made itself, as traced memory that grows with the number of calls. Every scenario runs a warm-up
(numpy and the interpreter fill their caches on first use), then two equal batches: memory that
grows by more than a few bytes per call across them is a leak, since any leaked object costs at
least 16 bytes.
"""

import gc
import os
import sys
import tracemalloc
import warnings

import cv2
import numpy as np
import pytest

import Sovelk
from conftest import Statements

pytestmark = pytest.mark.long  # run with --long or -m long (see tests/conftest.py)

Filter = Sovelk.Joint_bilateral_filter
ROUNDS = int(os.environ.get("SOVELK_LEAK_ROUNDS", "200"))
WARMUP = 100


class FailingRangeKernel(Filter):
    def get_range_kernel(self, tmp_guidance):
        raise RuntimeError("range kernel refused")


def make_inputs(seed, h=6, w=7, ch=3, gc=None):
    rng = np.random.default_rng(seed)
    img = rng.integers(0, 256, size=(h, w, ch)).astype(np.uint8)
    shape = (h, w) if gc is None else (h, w, gc)
    return img, rng.integers(0, 256, size=shape).astype(np.uint8)


def fresh_filter(cls=Filter, sigma_s=1):
    # sigma_r is a float object of its own, so that its reference count is the module's business.
    with np.errstate(all="ignore"):
        return cls(sigma_s, float("0.1") + 0.0)


def scenario_objects(name):
    """(call, watched objects, expected exception type or None) for one scenario."""
    img, guidance = make_inputs(1)
    f = fresh_filter()
    if name == "filter_gray":
        return (lambda: f.joint_bilateral_filter(img, guidance)), [f, img, guidance], None
    if name == "filter_colour":
        img, guidance = make_inputs(2, gc=3)
        return (lambda: f.joint_bilateral_filter(img, guidance)), [f, img, guidance], None
    if name == "filter_statements":
        r = fresh_filter(Statements)
        return (lambda: r.joint_bilateral_filter(img, guidance)), [r, img, guidance], None
    if name == "filter_keywords":
        return (lambda: f.joint_bilateral_filter(guidance=guidance, img=img)), [f, img, guidance], None
    if name == "filter_nan_kernel":
        # sigma_s 0: a NaN kernel, numpy warns; the statements run whatever the path.
        z = fresh_filter(sigma_s=0)
        return (lambda: z.joint_bilateral_filter(img, guidance)), [z, img, guidance], None
    if name == "filter_none_image":
        return (lambda: f.joint_bilateral_filter(None, guidance)), [f, guidance], cv2.error
    if name == "filter_empty_image":
        empty = np.zeros((0, 4, 3), np.uint8)
        return (lambda: f.joint_bilateral_filter(empty, guidance)), [f, empty, guidance], cv2.error
    if name == "filter_negative_pad":
        f.pad_w = -1
        return (lambda: f.joint_bilateral_filter(img, guidance)), [f, img, guidance], Exception
    if name == "filter_gray_image":
        flat = img[:, :, 0].copy()
        return (lambda: f.joint_bilateral_filter(flat, guidance)), [f, flat, guidance], ValueError
    if name == "filter_guidance_mismatch":
        other = np.zeros((3, 3), np.uint8)
        return (lambda: f.joint_bilateral_filter(img, other)), [f, img, other], ValueError
    if name == "filter_wrong_kernel":
        f.kernel_s = np.ones((5, 5))
        return (lambda: f.joint_bilateral_filter(img, guidance)), [f, img, guidance], ValueError
    if name == "filter_out_of_table":
        wide = guidance.astype(np.int16) * 3
        return (lambda: f.joint_bilateral_filter(img, wide)), [f, img, wide], IndexError
    if name == "filter_failing_override":
        e = fresh_filter(FailingRangeKernel)
        return (lambda: e.joint_bilateral_filter(img, guidance)), [e, img, guidance], RuntimeError
    if name == "filter_memory_refused":
        # Window stacks of 2**40 planes: refused before anything is allocated.
        big = fresh_filter(Statements)
        big.wndw_size = 2 ** 20 + 1
        return (lambda: big.joint_bilateral_filter(img, guidance)), [big, img, guidance], MemoryError
    if name == "filter_binding_error":
        return (lambda: f.joint_bilateral_filter(img)), [f, img], TypeError
    if name == "filter_unexpected_keyword":
        return (lambda: f.joint_bilateral_filter(img, guidance, mode=1)), [f, img, guidance], TypeError
    if name == "range_kernel":
        stack = np.random.default_rng(3).integers(0, 256, size=(49, 4, 5, 3)).astype(np.float64)
        return (lambda: f.get_range_kernel(stack)), [f, stack], None
    if name == "range_kernel_too_few_axes":
        flat = np.zeros((49, 4))
        return (lambda: f.get_range_kernel(flat)), [f, flat], IndexError
    if name == "range_kernel_not_array":
        return (lambda: f.get_range_kernel([1, 2, 3])), [f], AttributeError
    if name == "spatial_kernel":
        return (lambda: f.get_spatial_kernel()), [f], None
    if name == "spatial_kernel_float_sigma":
        f.sigma_s = 2.0
        return (lambda: f.get_spatial_kernel()), [f], TypeError
    if name == "range_table":
        return (lambda: f.get_range_table()), [f], None
    if name == "range_table_overflow":
        f.sigma_r = 1e200
        return (lambda: f.get_range_table()), [f], OverflowError
    if name == "range_table_keyword":
        return (lambda: Filter.get_range_table(self=f)), [f], TypeError
    if name == "construct":
        sigma_r = float("0.3") + 0.0
        return (lambda: Filter(1, sigma_r)), [sigma_r], None
    if name == "construct_float_sigma":
        sigma_s = float("2.0") + 0.0
        return (lambda: Filter(sigma_s, 0.1)), [sigma_s], TypeError
    if name == "construct_text_sigma":
        text = "ab" + str(len(name))
        return (lambda: Filter(text, 0.1)), [text], TypeError
    if name == "construct_missing_argument":
        return (lambda: Filter(1)), [], TypeError
    if name == "construct_bad_table_unpack":
        class ThreeTables(Filter):
            def get_range_table(self):
                return (1, 2, 3)
        return (lambda: ThreeTables(1, 0.1)), [ThreeTables], ValueError
    raise ValueError(name)


SCENARIOS = [
    "filter_gray", "filter_colour", "filter_statements", "filter_keywords", "filter_nan_kernel",
    "filter_none_image", "filter_empty_image", "filter_negative_pad", "filter_gray_image",
    "filter_guidance_mismatch", "filter_wrong_kernel", "filter_out_of_table",
    "filter_failing_override", "filter_memory_refused", "filter_binding_error",
    "filter_unexpected_keyword", "range_kernel", "range_kernel_too_few_axes",
    "range_kernel_not_array", "spatial_kernel", "spatial_kernel_float_sigma", "range_table",
    "range_table_overflow", "range_table_keyword", "construct", "construct_float_sigma",
    "construct_text_sigma", "construct_missing_argument", "construct_bad_table_unpack",
]


def run(call, expected, rounds):
    for _ in range(rounds):
        try:
            result = call()
        except Exception as exc:  # every scenario names the exception it expects
            if expected is None or not isinstance(exc, expected):
                raise
            del exc
        else:
            assert expected is None, f"expected {expected.__name__}, the call returned"
            del result


def watched_references(objects):
    """Reference counts of the watched objects, their attribute values and their type."""
    counted = []
    for obj in objects:
        counted.append(obj)
        if isinstance(obj, Filter):
            counted.append(type(obj))
            counted.extend(vars(obj).values())
    # Small ints and other shared constants move with everything else the interpreter does.
    counted = [o for o in counted if not isinstance(o, (int, bool, type(None)))]
    return [(type(o).__name__, sys.getrefcount(o)) for o in counted]


BATCHES = 4
NUMPY_DIR = os.path.dirname(np.__file__)


def measured(snapshot):
    # numpy keeps bookkeeping per address for a while, so its own allocations can grow for
    # thousands of calls whenever addresses are not handed out again soon: always under ASan
    # (quarantine), and in a long test run whose earlier tests fragmented the heap (np.meshgrid
    # alone shows it). Sovelk's objects are still counted: what the module makes is traced to
    # the frame that called it.
    return snapshot.filter_traces([tracemalloc.Filter(False, tracemalloc.__file__),
                                   tracemalloc.Filter(False, os.path.join(NUMPY_DIR, "*"))])


def batch_growth(call, expected):
    """Traced memory growth over equal batches of calls after a warm-up, and two snapshots."""
    tracemalloc.start()
    try:
        run(call, expected, WARMUP)
        gc.collect()
        first = previous = measured(tracemalloc.take_snapshot())
        growth = []
        for _ in range(BATCHES):
            run(call, expected, ROUNDS)
            gc.collect()
            now = measured(tracemalloc.take_snapshot())
            growth.append(sum(s.size_diff for s in now.compare_to(previous, "filename")))
            previous = now
    finally:
        tracemalloc.stop()
    return growth, first, previous


def leaking(growth):
    # A leak grows every batch alike, by at least 16 bytes a call. Caches that fill up (numpy
    # keeps a few) grow the first batches, then stop; so the first batch is not judged.
    return min(growth[1:]) > 8 * ROUNDS


@pytest.mark.parametrize("name", SCENARIOS)
def test_repeated_calls_keep_no_references_or_memory(name):
    with warnings.catch_warnings():
        # numpy's warnings (sigma_s 0) would fill the warning registry, which is not a leak.
        warnings.simplefilter("ignore")
        call, objects, expected = scenario_objects(name)
        run(call, expected, WARMUP)
        gc.collect()
        refs_before = watched_references(objects)
        growth, first, last = batch_growth(call, expected)
        refs_after = watched_references(objects)

    calls = BATCHES * ROUNDS + 2 * WARMUP
    assert refs_after == refs_before, f"reference counts drifted over {calls} calls"
    print(f"{name}: traced memory growth per batch of {ROUNDS} calls: {growth}")
    if leaking(growth):
        top = last.compare_to(first, "lineno")[:8]
        pytest.fail(f"traced memory grew in every batch of {ROUNDS} calls: {growth}\n"
                    + "\n".join(map(str, top)))


def test_leak_check_sees_a_leak():
    """The measurements above notice one leaked object per call and one extra reference, so
    their silence means something."""
    kept = []
    img, guidance = make_inputs(4)
    f = fresh_filter()

    def leaky():
        result = f.joint_bilateral_filter(img, guidance)
        kept.append(object())  # what a forgotten reference to a temporary looks like
        return result

    growth, _, _ = batch_growth(leaky, None)
    assert leaking(growth), growth

    before = watched_references([f, img])

    def keeps_a_reference():
        kept.append(img)
        return f.joint_bilateral_filter(img, guidance)

    run(keeps_a_reference, None, 3)
    assert watched_references([f, img]) != before
