"""The fast path of joint_bilateral_filter gives the statements' bytes, warnings and errors.

`Statements` overrides get_range_kernel with a call to the base method: that runs the very same
code but makes the call ineligible for the fused kernel, so it is the reference every fast
result is compared with. Whether a call took the fused kernel is read from its memory: the
statements allocate wndw_size**2 image-sized float64 planes, the kernel none.
"""

import os
import platform
import subprocess
import sys
import textwrap
import tracemalloc
import warnings

import numpy as np
import pytest

import Sovelk
from conftest import (SNIPPET_PRELUDE, Recorder, Statements, comparable, module_entries, module_global, path_of,
                      recorded_paths, run_json)
from conftest import outcome as recorded_outcome

Filter = Sovelk.Joint_bilateral_filter


def reference(filt, img, guidance):
    """The statements' result for the attributes `filt` has now."""
    ref = Statements.__new__(Statements)
    ref.__dict__.update(filt.__dict__)
    return ref.joint_bilateral_filter(img, guidance)


def traced_call(filt, img, guidance):
    """(result, peak bytes numpy allocated during the call)."""
    tracemalloc.start()
    try:
        out = filt.joint_bilateral_filter(img, guidance)
        return out, tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()


def took_fused_kernel(filt, img, guidance):
    """True when the call allocated less than one window stack, i.e. built no stacks."""
    out, peak = traced_call(filt, img, guidance)
    stack = filt.wndw_size ** 2 * img.size * 8
    return peak < stack / 2


def random_case(rng, index):
    """One random filter call: sizes, dtypes, channels, sigmas and memory layouts vary."""
    sigma_s = int(rng.integers(1, 5))
    sigma_r = float(np.exp(rng.uniform(np.log(0.01), np.log(10))))
    wndw = 6 * sigma_s + 1
    # The statements cost wndw**2 * h * w: keep most cases small, a few large with small windows.
    if index % 50 == 0:
        h, w = int(rng.integers(150, 301)), int(rng.integers(100, 201))
        sigma_s, wndw = 1, 7
    elif index % 7 == 0:
        h, w = int(rng.integers(1, wndw)), int(rng.integers(1, wndw))  # smaller than the window
    else:
        budget = 400_000 // (wndw * wndw)
        h = int(rng.integers(2, max(3, int(np.sqrt(budget)) + 1)))
        w = int(rng.integers(1, max(2, budget // h + 1)))
    img_ch = int(rng.choice([1, 3, 4]))
    guid_ch = int(rng.integers(1, 5))
    dtype = rng.choice(["uint8", "uint16", "int16", "int32", "float32", "float64"])
    top = {"uint8": 256, "uint16": 65536, "int16": 32768, "int32": 1 << 20}.get(dtype, 256)
    if rng.random() < 0.2:
        # Flat regions: the weighted means land on integers, where a one-ulp error truncates.
        img = np.full((h, w, img_ch), rng.integers(0, min(top, 256)), dtype=dtype)
    else:
        img = rng.integers(0, top, (h, w, img_ch)).astype(dtype)
        if dtype.startswith("float"):
            img += rng.random(img.shape).astype(dtype)
    guidance = rng.integers(0, 256, (h, w) if guid_ch == 1 else (h, w, guid_ch)).astype(
        rng.choice(["uint8", "float32", "int16"]))
    layout = rng.integers(0, 4)
    if layout == 1:  # non-contiguous: every other column of a wider array
        img = np.repeat(img, 2, axis=1)[:, ::2]
    elif layout == 2:  # negative strides
        img = np.ascontiguousarray(img[::-1, ::-1])[::-1, ::-1]
        guidance = np.ascontiguousarray(guidance[::-1])[::-1]
    elif layout == 3:
        img = np.asfortranarray(img)
    return Filter(sigma_s, sigma_r), img, guidance


def outcome(call):
    """The result's bytes, or the exception's type and text, and the warnings raised."""
    (value, exc), warns = recorded_outcome(call)
    return comparable(value, exc), warns


@pytest.mark.parametrize("block", range(10))
def test_random_calls_equal_the_statements(block):
    """1000 random calls: the module's result, warnings and errors equal the statements'."""
    rng = np.random.default_rng(1000 + block)
    fused_runs = 0
    for index in range(100 * block, 100 * block + 100):
        filt, img, guidance = random_case(rng, index)
        img_before, guidance_before = img.copy(), guidance.copy()
        got = outcome(lambda: filt.joint_bilateral_filter(img, guidance))
        want = outcome(lambda: reference(filt, img, guidance))
        assert got == want, (index, img.shape, img.dtype, guidance.shape, filt.sigma_s, filt.sigma_r)
        assert np.array_equal(img, img_before) and np.array_equal(guidance, guidance_before)
        fused_runs += got[0][0] == "array"
    assert fused_runs > 50  # most random calls are valid filter calls


@pytest.mark.parametrize("gray", [True, False])
def test_common_calls_take_the_fused_kernel(rng, gray):
    img = rng.integers(0, 256, (64, 48, 3), dtype=np.uint8)
    guidance = img[:, :, 1].copy() if gray else img[:, :, ::-1].copy()
    filt = Filter(3, 0.1)
    assert took_fused_kernel(filt, img, guidance)
    assert np.array_equal(filt.joint_bilateral_filter(img, guidance), reference(filt, img, guidance))


def test_flat_patch_keeps_numpys_rounding():
    """A flat 200 comes out partly as 199 in numpy's float64 sums; the kernel must agree."""
    img = np.full((40, 40, 3), 200, np.uint8)
    guidance = np.full((40, 40), 90, np.uint8)
    filt = Filter(2, 0.1)
    out = filt.joint_bilateral_filter(img, guidance)
    assert np.array_equal(out, reference(filt, img, guidance))
    assert took_fused_kernel(filt, img, guidance)


# ---- every eligibility condition hands over to the statements ---------------------------------

def underflowing_case():
    """sigma_r 0.01 leaves subnormal table entries near a difference of 97 levels."""
    filt = Filter(1, 0.01)
    assert 0 < filt.table_r_gray[97] < np.finfo(np.float64).tiny
    img = np.zeros((6, 6, 3), np.uint8)
    guidance = np.zeros((6, 6), np.uint8)
    guidance[:, 3:] = 97
    return filt, img, guidance


def underflowing_products_case():
    """Spatial weights of 2^-40 and table entries near 2^-1000: their products underflow in the
    statements at every pixel near the 250s, pixels that the single-precision pass decides
    without computing those products."""
    filt = Filter(1, 0.1)
    filt.kernel_s = np.full_like(filt.kernel_s, 1.5 * 2.0 ** -40)
    table = filt.table_r_gray.copy()
    table[240:] = (1 + 2.0 ** -52) * 2.0 ** -1000
    filt.table_r_gray = table
    rng = np.random.default_rng(0)  # none of those pixels is left to the exact sequence
    img = rng.integers(0, 256, (24, 48, 3), dtype=np.uint8)
    guidance = rng.integers(0, 10, (24, 48), dtype=np.uint8)
    guidance[11:14, 19:22] = 250
    return filt, img, guidance


@pytest.mark.parametrize("case", [underflowing_case, underflowing_products_case])
def test_underflow_reported_when_numpy_would_report_it(case):
    filt, img, guidance = case()
    assert np.array_equal(filt.joint_bilateral_filter(img, guidance), reference(filt, img, guidance))
    with np.errstate(under="raise"):
        with pytest.raises(FloatingPointError) as fast:
            filt.joint_bilateral_filter(img, guidance)
        with pytest.raises(FloatingPointError) as slow:
            reference(filt, img, guidance)
    assert str(fast.value) == str(slow.value)
    assert module_entries(fast.value) == module_entries(slow.value)
    with np.errstate(under="warn"):
        assert outcome(lambda: filt.joint_bilateral_filter(img, guidance)) == outcome(
            lambda: reference(filt, img, guidance))


@pytest.mark.parametrize("sigma_s, kernel", [
    (0, None),  # a NaN spatial kernel: invalid-value warnings
    (1, "zeros"),  # all weights zero: 0/0 in the normalisation
    (1, "huge"),  # weights overflow to inf in the sum
])
def test_floating_point_warnings_equal_the_statements(sigma_s, kernel):
    filt = Filter(sigma_s, 0.1) if sigma_s else Filter.__new__(Filter)
    if not sigma_s:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            Filter.__init__(filt, 0, 0.1)
    if kernel == "zeros":
        filt.kernel_s = np.zeros_like(filt.kernel_s)
    elif kernel == "huge":
        filt.kernel_s = np.full_like(filt.kernel_s, 1e308)
    rng = np.random.default_rng(5)
    img = rng.integers(0, 256, (9, 8, 3), dtype=np.uint8)
    guidance = rng.integers(0, 256, (9, 8), dtype=np.uint8)
    got, path = path_of(lambda: outcome(lambda: filt.joint_bilateral_filter(img, guidance)))
    assert got == outcome(lambda: reference(filt, img, guidance))
    assert got[1], "the case is meant to warn"
    assert path != "uint8", "NaN or an event must leave the cast and its warnings to numpy"


def test_override_of_get_range_kernel_is_called(rng):
    calls = []

    class Counting(Filter):
        def get_range_kernel(self, tmp_guidance):
            calls.append(tmp_guidance.shape)
            return super().get_range_kernel(tmp_guidance)

    img = rng.integers(0, 256, (10, 12, 3), dtype=np.uint8)
    Counting(1, 0.1).joint_bilateral_filter(img, img[:, :, 0].copy())
    assert calls == [(49, 10, 12)]
    instance = Filter(1, 0.1)
    instance.get_range_kernel = lambda g: calls.append("instance") or Filter.get_range_kernel(instance, g)
    instance.joint_bilateral_filter(img, img[:, :, 0].copy())
    assert calls[-1] == "instance"


def test_single_pixel_image_equals_the_statements():
    """numpy sums a lone pixel's offsets pairwise, not in order."""
    filt = Filter(2, 0.3)
    for value in range(0, 256, 5):
        img = np.full((1, 1, 3), value, np.uint8)
        guidance = np.full((1, 1), 255 - value, np.uint8)
        assert np.array_equal(filt.joint_bilateral_filter(img, guidance), reference(filt, img, guidance))


def test_a_numpy_that_sums_the_offsets_out_of_order_gets_the_statements():
    """The fused kernel adds the window offsets in order, as numpy's sum over axis 0 does today:
    a numpy that sums otherwise (here a np.sum in place before the import, adding the planes in
    reverse) must leave every call to the statements, whose bits it then decides."""
    out = run_json(SNIPPET_PRELUDE + """
import logging, os
import numpy as np
summed_in_order = np.sum
def reversed_sum(a, axis=None, **kwargs):
    return summed_in_order(np.ascontiguousarray(a[::-1]) if axis == 0 else a, axis=axis, **kwargs)
np.sum = reversed_sum
os.environ["SOVELK_EXPLAIN_PATH"] = "1"
import Sovelk
texts = []
class Record(logging.Handler):
    def emit(self, record):
        texts.append(record.getMessage())
logger = logging.getLogger("Sovelk")
logger.addHandler(Record())
logger.setLevel(logging.DEBUG)
class Statements(Sovelk.Joint_bilateral_filter):
    def get_range_kernel(self, g):
        return super().get_range_kernel(g)
# A flat image under an uneven guidance: means a few units in the last place from 200, which
# the order of the sums decides.
img = np.full((40, 40, 3), 200, np.uint8)
guidance = np.random.default_rng(3).integers(0, 256, (40, 40), dtype=np.uint8)
got = Sovelk.Joint_bilateral_filter(2, 0.1).joint_bilateral_filter(img, guidance)
want = Statements(2, 0.1).joint_bilateral_filter(img, guidance)
report(same=bool(np.array_equal(got, want)), first=texts[0])
""")
    assert out["same"] and "statements ran" in out["first"] and "in order" in out["first"], out


def test_patched_numpy_function_is_used(rng, monkeypatch):
    seen = []
    original = np.sum

    def spy(*args, **kwargs):
        seen.append(kwargs.get("axis"))
        return original(*args, **kwargs)

    monkeypatch.setattr(np, "sum", spy)
    img = rng.integers(0, 256, (8, 8, 3), dtype=np.uint8)
    out = Filter(1, 0.1).joint_bilateral_filter(img, img[:, :, 0].copy())
    assert seen == [0, 0]
    monkeypatch.undo()
    assert np.array_equal(out, reference(Filter(1, 0.1), img, img[:, :, 0].copy()))


@pytest.mark.parametrize("name, value", [("add", np.maximum), ("multiply", np.minimum), ("_NoValue", object())],
                         ids=["add", "multiply", "_NoValue"])
def test_names_numpys_own_functions_read_are_heard(rng, monkeypatch, name, value):
    """np.sum reads numpy.add, np.prod numpy.multiply, and both numpy._NoValue, at each call:
    rebinding one changes what the statements compute (or makes them raise) without replacing any
    function they call, and the module must do what the statements then do."""
    img = rng.integers(0, 256, (9, 11, 3), dtype=np.uint8)
    guidance = rng.integers(0, 256, (9, 11, 3), dtype=np.uint8)
    filt = Filter(1, 0.1)
    monkeypatch.setattr(np, name, value)
    got = recorded_outcome(lambda: filt.joint_bilateral_filter(img, guidance))
    want = recorded_outcome(lambda: reference(filt, img, guidance))
    monkeypatch.undo()
    assert comparable(*got[0]) == comparable(*want[0]) and got[1] == want[1]
    if got[0][1] is not None:
        assert module_entries(got[0][1]) == module_entries(want[0][1])


@pytest.mark.parametrize("source", ["None", "np.zeros((0, 6, 3), np.uint8)", "()"])
def test_empty_source_raises_opencvs_error_and_never_hangs(source):
    """OpenCV before 5.1 loops forever in copyMakeBorder on an empty source; 5.1 raises. Every
    OpenCV gives 5.1's error, at the padding line."""
    out = run_json(SNIPPET_PRELUDE + f"""
import cv2, numpy as np, Sovelk
try:
    Sovelk.Joint_bilateral_filter(1, 0.1).joint_bilateral_filter({source}, np.zeros((4, 6), np.uint8))
    report(outcome=None)
except cv2.error as e:
    report(outcome=[str(e), e.code, e.err, [x for x in entries(e) if x[1] == "Sovelk"]])
""", timeout=60)
    text, code, err, where = out["outcome"]
    assert code == -215 and err == "!_src.empty()" and "in function 'copyMakeBorder'" in text, out
    assert where == [["Sovelk.Joint_bilateral_filter.joint_bilateral_filter", "Sovelk", 40]]


def test_attribute_defined_on_the_class_is_read_through_it(rng):
    reads = []

    class Watched(Filter):
        @property
        def wndw_size(self):
            reads.append(1)
            return self.__dict__["wndw_size"]

        @wndw_size.setter
        def wndw_size(self, value):
            self.__dict__["wndw_size"] = value

    img = rng.integers(0, 256, (6, 7, 3), dtype=np.uint8)
    filt = Watched(1, 0.1)
    reads.clear()
    out = filt.joint_bilateral_filter(img, img[:, :, 0].copy())
    # The statements read wndw_size at every use: twice per window offset, and more.
    assert len(reads) > 2 * 49
    assert np.array_equal(out, reference(Filter(1, 0.1), img, img[:, :, 0].copy()))


@pytest.mark.parametrize("change", ["float32 kernel", "kernel as a list", "short table", "table subclass",
                                    "int subclass pad", "guidance beyond the table"])
def test_unusual_attributes_give_the_statements_result(rng, change):
    filt = Filter(1, 0.2)
    img = rng.integers(0, 256, (7, 9, 3), dtype=np.uint8)
    guidance = rng.integers(0, 256, (7, 9), dtype=np.uint8)
    if change == "float32 kernel":
        filt.kernel_s = filt.kernel_s.astype(np.float32)
    elif change == "kernel as a list":
        filt.kernel_s = filt.kernel_s.tolist()
    elif change == "short table":
        filt.table_r_gray = filt.table_r_gray[:100]
    elif change == "table subclass":
        filt.table_r_gray = filt.table_r_gray.view(np.ma.MaskedArray)
    elif change == "int subclass pad":
        filt.pad_w = type("Int", (int,), {})(3)
    elif change == "guidance beyond the table":
        guidance = guidance.astype(np.int32) * 2
    assert outcome(lambda: filt.joint_bilateral_filter(img, guidance)) == outcome(
        lambda: reference(filt, img, guidance))


# The kernel's paths of this architecture, narrowest first, as SOVELK_ISA names them.
ARM = platform.machine() in ("aarch64", "arm64")
PATHS = ["scalar", "neon"] if ARM else ["scalar", "avx2", "avx512"]
ISA_SETTINGS = "neon or scalar" if ARM else "avx512, avx2 or scalar"
OTHER_ISA = "avx2" if ARM else "neon"  # a path of the other architecture


def test_result_does_not_depend_on_the_thread_count_or_the_vector_path(tmp_path):
    """The same call on one CPU, or capped to narrower vectors by SOVELK_ISA, gives the same bytes;
    the cap takes the named path where the CPU has it, and a setting that names none is ignored."""
    rng = np.random.default_rng(11)
    img = rng.integers(0, 256, (97, 83, 3), dtype=np.uint8)
    guidance = rng.integers(0, 256, (97, 83, 3), dtype=np.uint8)
    np.save(tmp_path / "img.npy", img)
    np.save(tmp_path / "guid.npy", guidance)
    script = textwrap.dedent(f"""
        import logging, os, sys, numpy as np, Sovelk
        if sys.argv[1] == "one cpu":
            os.sched_setaffinity(0, {{0}})
        logging.basicConfig(level=logging.DEBUG, format="%(message)s", stream=sys.stdout)
        img = np.load({str(tmp_path / 'img.npy')!r}); g = np.load({str(tmp_path / 'guid.npy')!r})
        out = Sovelk.Joint_bilateral_filter(2, 0.2).joint_bilateral_filter(img, g)
        np.save({str(tmp_path / 'out.npy')!r}, out)
    """)

    def run(setting):
        env = dict(os.environ, SOVELK_EXPLAIN_PATH="1")
        env.pop("SOVELK_ISA", None)
        if setting not in (None, "one cpu"):
            env["SOVELK_ISA"] = setting
        proc = subprocess.run([sys.executable, "-c", script, str(setting)], check=True, timeout=120, env=env,
                              capture_output=True, text=True)
        assert proc.stdout.count("8-bit fast path ran (") == 1, proc.stdout
        return np.load(tmp_path / "out.npy"), proc.stdout.split("ran (")[1].split(")")[0]

    expected = Filter(2, 0.2).joint_bilateral_filter(img, guidance)
    _, best = run(None)
    # Another architecture's path name is ignored as any other: "neon" on x86, "avx2" on ARM.
    for setting in ["one cpu", "scalar", "avx2", "avx512", "neon", "AVX2", "sse"]:
        out, path = run(setting)
        assert np.array_equal(out, expected), setting
        capped = PATHS[min(PATHS.index(setting), PATHS.index(best))] if setting in PATHS else best
        assert path == capped, (setting, path)


@pytest.mark.parametrize("name, value, warned", [
    ("SOVELK_ISA", "AVX2", "SOVELK_ISA='AVX2' is ignored; it takes " + ISA_SETTINGS),
    ("SOVELK_ISA", OTHER_ISA, f"SOVELK_ISA='{OTHER_ISA}' is ignored; it takes " + ISA_SETTINGS),
    ("SOVELK_NUM_THREADS", "0", "SOVELK_NUM_THREADS='0' is ignored; it takes a positive whole number of threads"),
    ("SOVELK_NUM_THREADS", "2.5\n", "SOVELK_NUM_THREADS='2.5\\x0a' is ignored"),
    ("SOVELK_NUM_THREADS", " 2\n", None),
    ("SOVELK_ISA", "scalar", None),
    ("SOVELK_ISA", "", None),  # empty: unset, as a shell's `SOVELK_ISA= command`
], ids=["isa-upper-case", "isa-other-architecture", "threads-zero", "threads-fraction", "threads-blanks", "isa-scalar", "isa-empty"])
def test_a_setting_the_module_cannot_use_is_named_once_on_stderr(name, value, warned):
    # Calls that take the fused kernel, the statements and a failing one: one line in all.
    code = textwrap.dedent("""
        import numpy as np, Sovelk
        img = np.arange(300, dtype=np.uint8).reshape(10, 10, 3)
        filt = Sovelk.Joint_bilateral_filter(1, 0.1)
        for _ in range(3):
            assert filt.joint_bilateral_filter(img, img).shape == img.shape
            try:
                filt.joint_bilateral_filter(img[:, :, 0], img)
            except ValueError:
                pass
        print("ok")
    """)
    env = dict(os.environ)
    env.pop("SOVELK_ISA", None)
    env.pop("SOVELK_NUM_THREADS", None)
    env[name] = value
    proc = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0 and proc.stdout == "ok\n", proc.stderr
    lines = proc.stderr.splitlines()
    if warned is None:
        assert lines == []
    else:
        assert len(lines) == 1 and lines[0].startswith("Sovelk: warning: " + warned), lines


# ---- the 8-bit path: padding, output and ownership of its own --------------------------------

def test_padding_mirrors_like_opencv_beyond_small_images():
    """A one-hot spatial kernel and a flat table make the result one shifted slice of the padded
    image, so every window offset shows the padding, also where the border is wider than the
    image and must reflect more than once."""
    import cv2
    rng = np.random.default_rng(3)
    for sigma_s, (h, w) in [(1, (1, 2)), (1, (2, 1)), (1, (3, 2)), (2, (2, 3)), (2, (1, 5))]:
        filt = Filter(sigma_s, 0.1)
        filt.table_r_gray = np.ones(256)
        pad, n = filt.pad_w, filt.wndw_size
        img = rng.integers(0, 256, (h, w, 3), dtype=np.uint8)
        want = cv2.copyMakeBorder(img, pad, pad, pad, pad, cv2.BORDER_REFLECT)
        with recorded_paths() as rec:
            for i in range(n * n):
                filt.kernel_s = np.zeros((n, n))
                filt.kernel_s.flat[i] = 1.0
                got = filt.joint_bilateral_filter(img, img[:, :, 0].copy())
                assert np.array_equal(got, want[i // n:i // n + h, i % n:i % n + w]), (h, w, i)
        assert rec.paths == ["uint8"] * (n * n), rec.reasons


def _layouts(rng, h, w):
    img = rng.integers(0, 256, (h, w, 3), dtype=np.uint8)
    wide = np.repeat(rng.integers(0, 256, (h, w, 4), dtype=np.uint8), 2, axis=1)
    readonly = img.copy()
    readonly.flags.writeable = False
    gray = rng.integers(0, 256, (h, w), dtype=np.uint8)
    return [
        (img, gray),
        (img[::-1, ::-1], np.asfortranarray(gray)),  # negative strides, Fortran order
        (wide[:, ::2, 1:], img[:, :, ::-1]),  # strided view, colour guidance flipped
        (readonly, np.broadcast_to(gray[:1], (h, w))),  # read-only, broadcast rows
        (np.full((h, w, 2), 200, np.uint8), img[:, :, :2]),  # flat patch, two channels each
    ]


@pytest.mark.parametrize("h, w, sigma_s", [(37, 29, 2), (2, 1, 1), (1, 2, 3), (5, 4, 2)])
def test_8bit_path_equals_the_statements(h, w, sigma_s, rng):
    filt = Filter(sigma_s, 0.15)
    for img, guidance in _layouts(rng, h, w):
        before = img.copy(), guidance.copy()
        out, path = path_of(lambda: filt.joint_bilateral_filter(img, guidance))
        assert path == "uint8"
        assert out.tobytes() == reference(filt, img, guidance).tobytes()
        assert out.dtype == np.uint8 and out.shape == img.shape
        assert out.flags.c_contiguous and out.flags.owndata and out.flags.writeable and out.base is None
        assert np.array_equal(img, before[0]) and np.array_equal(guidance, before[1])


def test_many_channels_are_left_to_opencv(rng):
    """OpenCV releases differ in how many channels they pad (OpenCV 5 refuses more than 128):
    such calls give whatever OpenCV and the statements give."""
    filt = Filter(1, 0.1)
    for channels in (5, 130, 600):
        img = rng.integers(0, 256, (6, 7, channels), dtype=np.uint8)
        for guidance in (img[:, :, 0].copy(), img.copy()):
            got, path = path_of(lambda: outcome(lambda: filt.joint_bilateral_filter(img, guidance)))
            assert path != "uint8"
            assert got == outcome(lambda: reference(filt, img, guidance))


@pytest.mark.parametrize("change", ["unaligned kernel", "unaligned table", "big-endian table", "read-only kernel"])
def test_odd_but_exact_float64_attributes_keep_the_fast_path(change, rng):
    """Dask workers unpickle kernel and tables from buffers at any offset: alignment, byte order
    and writability do not change what numpy computes from them."""
    filt = Filter(2, 0.1)

    def unaligned(a):
        out = np.frombuffer(bytearray(a.nbytes + 1), np.float64, offset=1).reshape(a.shape)
        out[...] = a
        return out

    if change == "unaligned kernel":
        filt.kernel_s = unaligned(filt.kernel_s)
    elif change == "unaligned table":
        filt.table_r_gray = unaligned(filt.table_r_gray)
    elif change == "big-endian table":
        filt.table_r_gray = filt.table_r_gray.astype(">f8")
    else:
        filt.kernel_s.flags.writeable = False
    img = rng.integers(0, 256, (30, 20, 3), dtype=np.uint8)
    guidance = rng.integers(0, 256, (30, 20), dtype=np.uint8)
    out, path = path_of(lambda: filt.joint_bilateral_filter(img, guidance))
    assert path == "uint8"
    assert np.array_equal(out, reference(filt, img, guidance))


def test_attribute_reads_cannot_be_counted(rng):
    """Keys that count their comparisons see as many reads as the statements make."""
    counts = {}

    class Key(str):
        __hash__ = str.__hash__

        def __eq__(self, other):
            counts[str(self)] = counts.get(str(self), 0) + 1
            return str.__eq__(self, other)

    def planted(filt):
        for name in ("pad_w", "wndw_size", "kernel_s"):
            filt.__dict__[Key(name)] = filt.__dict__.pop(name)
        return filt

    img = rng.integers(0, 256, (6, 5, 3), dtype=np.uint8)
    guidance = img[:, :, 0].copy()
    out, path = path_of(lambda: planted(Filter(1, 0.1)).joint_bilateral_filter(img, guidance))
    fast_counts, counts = counts, {}
    ref = planted(Statements(1, 0.1)).joint_bilateral_filter(img, guidance)
    assert path == "statements" and fast_counts == counts and counts["wndw_size"] > 100
    assert np.array_equal(out, ref)


def test_code_opencv_runs_on_the_image_runs_before_the_guidance_is_read(rng):
    """OpenCV copies a flipped array subclass and numpy runs its __array_finalize__: a change it
    makes to pad_w must be seen by the guidance's padding. The reference reaches cv2 through a
    stand-in object, which keeps every call where the statements make it."""
    import cv2
    target = []

    class Shrinking(np.ndarray):
        def __array_finalize__(self, obj):
            if target:
                target[0].pad_w = 2

    img = rng.integers(0, 256, (9, 8, 3), dtype=np.uint8).view(Shrinking)[:, ::-1]
    guidance = rng.integers(0, 256, (9, 8), dtype=np.uint8)
    results = []
    for stand_in in (None, Recorder(cv2)):
        filt = Filter(1, 0.1)
        target[:] = [filt]
        with module_global("cv2", stand_in or cv2):
            results.append(outcome(lambda: filt.joint_bilateral_filter(img, guidance)))
        target.clear()
        assert filt.pad_w == 2, "OpenCV's copy is meant to run the hook"
    assert results[0] == results[1]
    assert results[0][0][0] == "error"  # the guidance padded narrower than the image


@pytest.mark.parametrize("keep", ["list", "weakref"])
def test_kept_padded_arrays_are_copied_before_the_kernel_reads_them(keep):
    """A replaced copyMakeBorder hands out arrays the caller keeps (in a list, or only through a
    weak reference, so that nothing else seems to hold them) and overwrites from another thread
    while the kernel runs: the kernel must read a copy, never a table index out of range (reading
    the caller's arrays, it crashed the process). numpy's fill runs without the GIL, so what the
    copy sees is not fixed; every call must return an image or the statements' error."""
    out = run_json(SNIPPET_PRELUDE + f"""
import threading, weakref, numpy as np, Sovelk
real = Sovelk.cv2
weak = {keep == "weakref"}
kept, go, stop = [], threading.Event(), threading.Event()
class Padded(np.ndarray):
    def astype(self, dtype):
        fresh = np.asarray(self).astype(dtype)
        kept.append(weakref.ref(fresh) if weak else lambda: fresh); go.set()
        return fresh
class Cv2:
    BORDER_REFLECT = real.BORDER_REFLECT
    @staticmethod
    def copyMakeBorder(*args): return real.copyMakeBorder(*args).view(Padded)
def spoil():
    go.wait()
    while not stop.is_set():
        for ref in list(kept):
            a = ref()
            if a is not None:
                a.fill(0)
                a.fill(1 << 30)
            del a
rng = np.random.default_rng(0)
img = rng.integers(0, 256, (400, 400, 3), dtype=np.uint8)
g = img[:, :, 1].copy()
f = Sovelk.Joint_bilateral_filter(2, 0.1)
Sovelk.cv2 = Cv2
seen = []
for _ in range(4):
    kept.clear(); go.clear(); stop.clear()
    t = threading.Thread(target=spoil); t.start()
    try:
        got = f.joint_bilateral_filter(img, g)
        seen.append([got.dtype.str, list(got.shape)])
    except IndexError:  # the statements, when they run, read the arrays as they change
        seen.append("IndexError")
    stop.set(); t.join()
report(seen=seen)
""", timeout=300)
    assert all(s in ("IndexError", ["|u1", [400, 400, 3]]) for s in out["seen"]), out


def test_explain_switch_off_leaves_logging_alone():
    out = run_json(SNIPPET_PRELUDE + """
import sys, numpy as np, Sovelk
class Statements(Sovelk.Joint_bilateral_filter):
    def get_range_kernel(self, g): return super().get_range_kernel(g)
img = np.zeros((8, 8, 3), np.uint8)
Sovelk.Joint_bilateral_filter(1, 0.1).joint_bilateral_filter(img, img[..., 0].copy())
Statements(1, 0.1).joint_bilateral_filter(img, img[..., 0].copy())
report(logging="logging" in sys.modules)
""")
    assert out == {"logging": False}


SANITIZED = bool(os.environ.get("SOVELK_SANITIZED")) or "libasan" in os.environ.get("LD_PRELOAD", "")


@pytest.mark.skipif(SANITIZED, reason="ASan's shadow memory needs more address space than the limit")
@pytest.mark.parametrize("which, line", [("img", 40), ("guidance", 41)])
def test_input_opencv_must_copy_is_refused_when_the_copy_cannot_fit(which, line):
    """A broadcast or flipped view makes OpenCV copy it before padding; where that copy cannot be
    allocated OpenCV takes the process down, so the call is refused with MemoryError first."""
    out = run_json(SNIPPET_PRELUDE + f"""
import os, resource, numpy as np, Sovelk
with open("/proc/self/statm") as fh:
    vm = int(fh.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
resource.setrlimit(resource.RLIMIT_AS, (vm + (1 << 30), vm + (1 << 30)))
huge = np.broadcast_to(np.arange(3, dtype=np.uint8), (100000, 100000, 3))
small = np.zeros((5, 6, 3), np.uint8)  # the refusal comes before any comparison of sizes
args = (huge, small[..., 0]) if {which!r} == "img" else (small, huge[..., ::-1])
try:
    Sovelk.Joint_bilateral_filter(1, 0.1).joint_bilateral_filter(*args)
    report(outcome=None)
except MemoryError as e:
    report(outcome=[str(e), [x for x in entries(e) if x[1] == "Sovelk"]])
""", timeout=120)
    text, where = out["outcome"]
    assert "padding this array needs" in text
    assert where == [["Sovelk.Joint_bilateral_filter.joint_bilateral_filter", "Sovelk", line]]
