"""sovelk_tools.joint_bilateral against its numpy model (function_oracle.py) and the class."""

import ctypes
import ctypes.util
import functools
import os
import platform
import subprocess
import sys
import textwrap
import threading
from importlib import resources

import cv2
import numpy as np
import pytest

import function_oracle
import Sovelk
from sovelk_tools import _native, function, joint_bilateral, joint_bilateral_upsample

DTYPES = [np.uint8, np.uint16, np.int16, np.int32, np.float32, np.float64]
MODES = ["reflect", "mirror", "nearest", "wrap", "constant"]


def same_bits(a, b):
    return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()


def random_image(rng, dtype, shape):
    dtype = np.dtype(dtype)
    if dtype.kind == "f":
        scale = 10.0 ** rng.integers(-3, 6)
        return (rng.normal(0, scale, shape) + rng.choice([0, scale], shape)).astype(dtype)
    info = np.iinfo(dtype)
    return rng.integers(info.min, info.max, shape, dtype=dtype, endpoint=True)


def random_case(rng, dtype, channels, guidance_kind, guidance_dtype=np.uint8):
    h, w = rng.integers(1, 10, 2)
    image = random_image(rng, dtype, (h, w) if channels == 1 and rng.random() < 0.5 else (h, w, channels))
    gshape = {"gray": (h, w), "gray3d": (h, w, 1), "colour": (h, w, int(rng.integers(2, 5)))}[guidance_kind]
    guidance = rng.integers(0, 256, gshape, dtype=np.uint8)
    if guidance_dtype != np.uint8:
        guidance = random_image(rng, guidance_dtype, gshape)
    if rng.random() < 0.5:  # large flat regions: many equal weights, ties and wide sums
        guidance = guidance // 64 if guidance.dtype.kind != "f" else np.round(guidance / 64) * 64
    sigma_s = [1, 2, 0.7, 1.4][rng.integers(4)]
    sigma_r = [0.05, 0.1, 0.3, 1][rng.integers(4)]
    if guidance.dtype.kind == "f":  # in the values' own units: relative to their spread
        sigma_r *= float(np.abs(guidance).max()) or 1.0
    return image, guidance, sigma_s, sigma_r


def guidance_value(rng, guidance):
    return random_image(rng, guidance.dtype, ()).item() if guidance.dtype != np.uint8 else int(rng.integers(256))


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("guidance_dtype", DTYPES, ids=lambda d: "guidance_" + np.dtype(d).name)
@pytest.mark.parametrize("dtype", DTYPES, ids=lambda d: np.dtype(d).name)
def test_equals_the_model(dtype, guidance_dtype, mode):
    # Windows of up to 13 pixels on images of 1 to 9: borders wider than the image throughout.
    rng = np.random.default_rng([DTYPES.index(dtype), DTYPES.index(guidance_dtype), MODES.index(mode)])
    for channels in range(1, 6):
        for guidance_kind in ("gray", "gray3d", "colour"):
            image, guidance, sigma_s, sigma_r = random_case(rng, dtype, channels, guidance_kind, guidance_dtype)
            if rng.random() < 0.2:  # guided by itself
                guidance = image
                sigma_r = 0.3 * (float(np.abs(image).max()) or 1.0 if image.dtype.kind == "f" else 1.0)
            options = {"mode": mode}
            if mode == "constant":
                options.update(cval=float(random_image(rng, dtype, ())), guidance_cval=guidance_value(rng, guidance))
            out_dtype = DTYPES[rng.integers(len(DTYPES))] if rng.random() < 0.3 else None
            rounding = "truncate" if rng.random() < 0.3 else "nearest"
            got = joint_bilateral(image, None if guidance is image else guidance, sigma_s, sigma_r, output=out_dtype,
                                  rounding=rounding, **options)
            want = function_oracle.joint_bilateral(image, guidance, sigma_s, sigma_r, dtype=out_dtype,
                                                   rounding=rounding, **options)
            assert same_bits(got, want), (image.shape, guidance.shape, sigma_s, sigma_r, out_dtype, rounding)


def upsampling_case(rng, dtype, guidance_dtype, factor):
    """A random case at factor f: low image, guidance f times its size, options, hole value."""
    image, guidance, sigma_s, sigma_r = random_case(rng, dtype, int(rng.integers(1, 5)),
                                                    ["gray", "gray3d", "colour"][rng.integers(3)], guidance_dtype)
    h, w = image.shape[:2]
    full = (factor * h, factor * w) + guidance.shape[2:]
    guidance = np.kron(guidance, np.ones((factor, factor) + (1,) * (guidance.ndim - 2), guidance.dtype))
    if rng.random() < 0.7:  # the guidance's own detail between the samples
        noise = random_image(rng, guidance_dtype, full)
        guidance = np.where(rng.random(full) < 0.3, noise, guidance)
    mode = MODES[rng.integers(len(MODES))]
    options = {"mode": mode, "output": DTYPES[rng.integers(len(DTYPES))] if rng.random() < 0.3 else None,
               "rounding": "truncate" if rng.random() < 0.3 else "nearest"}
    if mode == "constant":
        options.update(cval=float(random_image(rng, dtype, ())), guidance_cval=guidance_value(rng, guidance))
    hole = image.flat[int(rng.integers(image.size))].item() if rng.random() < 0.3 else None
    if hole is not None and mode == "constant" and rng.random() < 0.5:
        options["cval"] = float(hole)  # a border of holes
    return image, guidance, sigma_s, sigma_r, options, hole


@pytest.mark.parametrize("guidance_dtype", DTYPES, ids=lambda d: "guidance_" + np.dtype(d).name)
@pytest.mark.parametrize("dtype", DTYPES, ids=lambda d: np.dtype(d).name)
def test_upsampling_equals_the_model(dtype, guidance_dtype):
    # Factors 1 to 8 on low images of 1 to 9 pixels, windows up to 13: borders wider than the image.
    rng = np.random.default_rng([50, DTYPES.index(dtype), DTYPES.index(guidance_dtype)])
    for factor in range(1, 9):
        image, guidance, sigma_s, sigma_r, options, hole = upsampling_case(rng, dtype, guidance_dtype, factor)
        got = joint_bilateral_upsample(image, guidance, sigma_s, sigma_r, hole=hole, **options)
        model_options = dict(options, dtype=options.pop("output"))
        want = function_oracle.joint_bilateral_upsample(image, guidance, sigma_s, sigma_r, hole=hole, **model_options)
        assert same_bits(got, want), (factor, image.shape, guidance.shape, sigma_s, sigma_r, options, hole)
        if factor == 1 and hole is None:
            assert same_bits(got, joint_bilateral(image, guidance, sigma_s, sigma_r, output=model_options["dtype"],
                                                  **options))


@pytest.mark.parametrize("factor", [None, 3], ids=["joint_bilateral", "upsampled"])
@pytest.mark.parametrize("guidance_dtype", DTYPES, ids=lambda d: np.dtype(d).name)
def test_wide_images_equal_the_model(guidance_dtype, factor):
    # Rows of whole vectors and a shifted last block, the cheap passes' blocks and their lone
    # pixels; every path and thread count by test_every_path_and_thread_count.
    rng = np.random.default_rng([31, DTYPES.index(guidance_dtype)])
    for dtype, channels, guidance_kind in ((np.uint8, 3, "colour"), (np.uint16, 1, "gray"), (np.float32, 2, "gray"),
                                           (np.int16, 1, "colour"), (np.float64, 3, "gray")):
        image = random_image(rng, dtype, (int(rng.integers(5, 9)), int(rng.integers(33, 71)), channels))
        _, guidance, _, sigma_r = random_case(rng, dtype, 1, guidance_kind, guidance_dtype)
        f = factor or 1
        guidance = random_image(rng, guidance_dtype, (f * image.shape[0], f * image.shape[1]) + guidance.shape[2:])
        if guidance_dtype == np.uint16:
            guidance //= 97  # near values: weights that matter
        elif np.dtype(guidance_dtype).kind == "f":
            sigma_r = float(np.abs(guidance).std()) or 1.0
        for sigma_s, out_dtype in ((1, None), (2, np.uint16 if dtype != np.uint16 else np.uint8), (1.4, np.float32)):
            if factor is None:
                got = joint_bilateral(image, guidance, sigma_s, sigma_r, output=out_dtype, mode="mirror")
                want = function_oracle.joint_bilateral(image, guidance, sigma_s, sigma_r, dtype=out_dtype,
                                                       mode="mirror")
            else:  # and one with holes, which every path divides alike
                hole = image.flat[0].item() if sigma_s == 2 else None
                got = joint_bilateral_upsample(image, guidance, sigma_s, sigma_r, output=out_dtype, mode="mirror",
                                               hole=hole)
                want = function_oracle.joint_bilateral_upsample(image, guidance, sigma_s, sigma_r, dtype=out_dtype,
                                                                mode="mirror", hole=hole)
            assert same_bits(got, want), (np.dtype(dtype).name, sigma_s, out_dtype)


@pytest.mark.parametrize("setting", ["SOVELK_ISA=scalar", "SOVELK_ISA=avx2", "SOVELK_NUM_THREADS=1"])
def test_every_path_and_thread_count(setting, child_env):
    name, value = setting.split("=")
    proc = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                           f"{__file__}::test_wide_images_equal_the_model"], env=dict(child_env, **{name: value}),
                          capture_output=True, text=True, timeout=300, cwd=os.path.dirname(__file__))
    assert proc.returncode == 0 and "12 passed" in proc.stdout, proc.stdout[-3000:]


@pytest.mark.parametrize("seed", range(4))
def test_uint8_truncated_equals_the_class(seed):
    rng = np.random.default_rng(100 + seed)
    for channels in (2, 3, 4, 5):
        for guidance_kind in ("gray", "colour"):
            image, guidance, sigma_s, sigma_r = random_case(rng, np.uint8, channels, guidance_kind)
            sigma_s = int(np.ceil(sigma_s))
            if image.shape[0] * image.shape[1] < 2:  # numpy sums a single pixel's offsets pairwise
                continue
            filt = Sovelk.Joint_bilateral_filter(sigma_s, sigma_r)
            got = joint_bilateral(image, guidance, sigma_s, sigma_r, rounding="truncate")
            assert same_bits(got, filt.joint_bilateral_filter(image, guidance))


def test_weights_are_the_classes():
    for sigma_s in (1, 2, 3, np.int64(2)):
        for sigma_r in (0.1, 1, 2, np.float64(0.3), np.float32(0.3)):
            filt = Sovelk.Joint_bilateral_filter(sigma_s, sigma_r)
            kernel_s, table = function._weights(sigma_s, sigma_r)
            assert same_bits(kernel_s, filt.kernel_s) and same_bits(table, filt.table_r_gray)
    # A float sigma_s with a whole value is the integer's kernel.
    assert same_bits(function._weights(2.0, 0.1)[0], function._weights(2, 0.1)[0])
    # numpy integers are their values: np.uint8(17) ** 2 wraps to 33 under numpy 2, and
    # np.int16(200) ** 2 to a negative number.
    for numpy_integer in (np.uint8(17), np.int16(200)):
        for got, want in zip(function._weights(1, numpy_integer), function._weights(1, int(numpy_integer))):
            assert same_bits(got, want)
    assert same_bits(function._weights(np.uint8(17), 0.1)[0], function._weights(17, 0.1)[0])
    assert function._weights(1.5, 0.1)[0].shape == (11, 11)  # radius int(4.5 + 0.5)


@pytest.mark.skipif(platform.machine() != "x86_64", reason="FE_DOWNWARD's value is x86's")
def test_cached_weights_follow_the_rounding_mode():
    # np.exp rounds as the thread does: weights cached during a call under FE_DOWNWARD were handed
    # to every later call in the default mode.
    libm = ctypes.CDLL(ctypes.util.find_library("m"))
    sigma_s, sigma_r, radius = 1.25, 0.0917, 4  # weights no other test caches
    assert libm.fesetround(0x400) == 0
    try:
        downward = function._weights(sigma_s, sigma_r)
        downward_fresh = function._compute_weights(sigma_s, sigma_r, radius)
    finally:
        libm.fesetround(0)
    nearest = function._weights(sigma_s, sigma_r)
    nearest_fresh = function._compute_weights(sigma_s, sigma_r, radius)
    assert not same_bits(downward_fresh[1], nearest_fresh[1])  # the case means something
    for got, want in zip(downward + nearest, downward_fresh + nearest_fresh):
        assert same_bits(got, want)


def test_model_borders_are_opencvs():
    cv_modes = {"reflect": cv2.BORDER_REFLECT, "mirror": cv2.BORDER_REFLECT_101, "nearest": cv2.BORDER_REPLICATE,
                "wrap": cv2.BORDER_WRAP}
    for n in range(1, 5):
        row = np.arange(n, dtype=np.uint8).reshape(1, n, 1)
        for width in range(0, 11):
            for mode, code in cv_modes.items():
                padded = function_oracle.pad(row, width, mode, 0)[width]
                assert np.array_equal(padded[:, 0], cv2.copyMakeBorder(row[..., 0], 0, 0, width, width, code)[0])


def test_rounding_ties_and_clipping():
    # sigma_s 0.1 has a window of one pixel: the output is the image value itself. Means of 2^63
    # and more raised "NaN" once: their conversion ran ahead of the clip.
    values = np.array([[0.5, 1.5, 2.5, -0.5, -1.5, 254.5, 255.5, 1e9, -1e9, 2.7, -2.7, -1e19, 1e19]])
    gray = np.zeros(values.shape, np.uint8)
    nearest = [0, 2, 2, 0, -2, 254, 256, 32767, -32768, 3, -3, -32768, 32767]
    truncated = [0, 1, 2, 0, 0, 254, 255, 255, 0, 2, 0, 0, 255]
    assert joint_bilateral(values, gray, 0.1, 0.1, output=np.int16).tolist() == [nearest]
    assert joint_bilateral(values, gray, 0.1, 0.1, output=np.uint8, rounding="truncate").tolist() == [truncated]
    # Written value by value (every other int16 of a wider array), each through the scalar conversion.
    strided = np.zeros((1, values.shape[1], 2), np.int16)[:, :, 0]
    assert joint_bilateral(values, gray, 0.1, 0.1, output=strided).tolist() == [nearest]
    for value, dtype in ((1e19, np.uint8), (1e300, np.int32), (-3e19, np.uint16)):
        info = np.iinfo(dtype)
        want = info.max if value > 0 else info.min
        assert joint_bilateral(np.array([[value]]), gray[:, :1], 1, 0.1, output=dtype).item() == want


def near_integer_image(kind, dtype, rng):
    """A 24x30x2 image whose windows' means lie on or next to integers and half-integers."""
    top = np.iinfo(dtype).max
    h, w = 24, 30
    if kind == "flat":  # every mean the value itself, up to the sums' rounding
        return np.full((h, w, 2), top // 3, dtype)
    if kind == "saturated":  # the top of the type, a few pixels one below
        image = np.full((h, w, 2), top, dtype)
        image[rng.random((h, w)) < 0.03] = top - 1
        return image
    if kind == "columns":  # k and k + 1 alternating: means near k + 1/2 under a flat guidance
        return (top // 2 + np.arange(w) % 2).astype(dtype)[None, :, None].repeat(h, 0).repeat(2, 2)
    if kind == "photo":
        path = resources.files("sovelk_tools") / "data" / "chelsea.png"
        photo = cv2.imread(str(path))[40:40 + h, 90:90 + w, :2].astype(np.uint32)
        return (photo * (top // 255)).astype(dtype)
    return random_image(rng, dtype, (h, w, 2))


# Integer outputs convert the filtered value themselves: most pixels are decided by a cheap pass
# with a proven error bound, and means on or next to the conversion's jumps need the exact one.
@pytest.mark.parametrize("kind", ["flat", "saturated", "columns", "photo", "noise"])
@pytest.mark.parametrize("dtype", [np.uint8, np.uint16], ids=lambda d: np.dtype(d).name)
def test_integer_outputs_near_their_jumps_equal_the_model(kind, dtype):
    rng = np.random.default_rng([7, len(kind)])
    image = near_integer_image(kind, dtype, rng)
    flat_guidance = np.zeros(image.shape[:2], np.uint8)
    for sigma_s, sigma_r, guidance in ((1, 0.1, flat_guidance), (2.5, 0.05, image[..., 0].astype(np.uint8)),
                                       (3, 0.3, rng.integers(0, 256, image.shape, np.uint8))):
        for out_dtype, rounding, mode in ((None, "nearest", "reflect"), (None, "truncate", "wrap"),
                                          (np.uint8, "nearest", "constant"), (np.int32, "truncate", "mirror")):
            options = {"cval": 3.0} if mode == "constant" else {}
            got = joint_bilateral(image, guidance, sigma_s, sigma_r, mode=mode, output=out_dtype, rounding=rounding,
                                  **options)
            want = function_oracle.joint_bilateral(image, guidance, sigma_s, sigma_r, mode=mode, dtype=out_dtype,
                                                   rounding=rounding, **options)
            assert same_bits(got, want), (sigma_s, out_dtype, rounding, mode)


# Float32 outputs of float images are decided by the cheap pass from a bound on the rows'
# magnitudes: means on or next to float32's rounding points, of either sign, need the exact one.
@pytest.mark.parametrize("dtype", [np.float64, np.float32, np.int32, np.int16], ids=lambda d: np.dtype(d).name)
def test_float32_outputs_near_their_roundings_equal_the_model(dtype):
    rng = np.random.default_rng(41)
    mid = float(np.float32(1.5)) + 2.0 ** -24  # half-way between two float32 neighbours of 1.5
    scale = 1 if np.dtype(dtype).kind == "f" else 1000
    flat = np.full((20, 37), mid * scale, dtype)
    columns = (mid * scale + np.arange(37) % 2 * 2.0 ** -30 * scale)[None, :].repeat(20, 0).astype(dtype)
    signed = (rng.normal(0, 3, (20, 37)) * scale).astype(dtype)
    signed[5:9] = 0  # sums that cancel to zero
    for image in (flat, columns, -columns, signed):
        for guidance in (None, np.zeros((20, 37), np.uint8), rng.integers(0, 256, (20, 37), dtype=np.uint8)):
            got = joint_bilateral(image, guidance, 2, 0.1, output=np.float32, mode="wrap")
            want = function_oracle.joint_bilateral(image, image if guidance is None else guidance, 2, 0.1,
                                                   dtype=np.float32, mode="wrap")
            assert same_bits(got, want)


@pytest.mark.parametrize("factor", [None, 3], ids=["joint_bilateral", "upsampled"])
@pytest.mark.parametrize("mode", MODES)
def test_region_is_a_block_of_the_whole(mode, factor):
    rng = np.random.default_rng(7)
    image = rng.integers(0, 4000, (23, 31), dtype=np.uint16)
    f = factor or 1
    guidance = rng.integers(0, 256, (23 * f, 31 * f, 3), dtype=np.uint8)
    call = functools.partial(joint_bilateral, image, guidance) if factor is None else functools.partial(
        joint_bilateral_upsample, image, guidance, hole=0)
    whole = call(2, 0.2, mode=mode)
    # Upsampled blocks start and end anywhere among a low pixel's output rows and columns.
    for rows, cols in (np.s_[0:5, 0:31], np.s_[9:14, 20:31], np.s_[22:, :7], np.s_[4:4, :], np.s_[40:68, 31:92]):
        block = call(2, 0.2, mode=mode, region=(rows, cols))
        assert same_bits(block, whole[rows, cols])


def test_layouts_read_in_place(tmp_path):
    rng = np.random.default_rng(3)
    base = rng.normal(0, 1, (20, 30, 4)).astype(np.float32)
    guide = rng.integers(0, 256, (30, 20, 3), dtype=np.uint8).transpose(1, 0, 2)  # strided guidance
    path = tmp_path / "img.npy"
    np.save(path, base)
    unaligned = np.frombuffer(b"\0" + base.tobytes(), np.float32, offset=1).reshape(base.shape)
    variants = {
        "reversed": base[::-1, ::-2, ::-1],
        "fortran": np.asfortranarray(base),
        "channel": base[:, :, 2],
        "memmap": np.load(path, mmap_mode="r"),
        "unaligned": unaligned,
        "broadcast": np.broadcast_to(base[:1], base.shape),  # rows of stride 0
    }
    for name, view in variants.items():
        g = guide[: view.shape[0], : view.shape[1]]
        want = joint_bilateral(np.ascontiguousarray(view), np.ascontiguousarray(g), 1, 0.1, mode="mirror")
        assert same_bits(joint_bilateral(view, g, 1, 0.1, mode="mirror"), want), name
    assert not unaligned.flags.aligned


def test_output_argument(tmp_path):
    rng = np.random.default_rng(4)
    image = rng.integers(0, 256, (12, 14), dtype=np.uint8)
    guidance = rng.integers(0, 256, (12, 14), dtype=np.uint8)
    want = joint_bilateral(image, guidance, 1, 0.1)
    out = np.full((12, 14), 7, np.uint8)
    assert joint_bilateral(image, guidance, 1, 0.1, output=out) is out and same_bits(out, want)
    in_place = image.copy()  # the result replaces the image it is computed from
    assert joint_bilateral(in_place, guidance, 1, 0.1, output=in_place) is in_place
    assert same_bits(in_place, want)
    wide = np.zeros((12, 14, 1), np.float64)
    joint_bilateral(image[:, :, None], guidance, 1, 0.1, output=wide[:, :, ::-1])
    assert np.array_equal(wide[:, :, 0], joint_bilateral(image, guidance, 1, 0.1, output=np.float64))
    # A second map of the image's own file shares no memory numpy can see: where the workers'
    # bands met, pixels were read after they had been overwritten.
    image, guidance = rng.integers(0, 256, (2, 200, 300), dtype=np.uint8)
    want = joint_bilateral(image, guidance, 1, 0.1)
    np.save(tmp_path / "image.npy", image)
    mapped = np.load(tmp_path / "image.npy", mmap_mode="r")
    second = np.load(tmp_path / "image.npy", mmap_mode="r+")
    assert joint_bilateral(mapped, guidance, 1, 0.1, output=second) is second
    assert same_bits(np.asarray(second), want) and same_bits(np.asarray(mapped), want)


@pytest.mark.parametrize("shape", [(0, 5), (4, 0, 3), (3, 3, 0)])
def test_empty_images_give_empty_results(shape):
    out = joint_bilateral(np.zeros(shape, np.uint16), np.zeros(shape[:2], np.uint8), 1, 0.1, output=np.float32)
    assert out.shape == shape and out.dtype == np.float32


def test_wide_rows_through_strips_equal_narrow_blocks():
    # 300000 columns take several strips of the row cache; blocks of 20000 take one each.
    rng = np.random.default_rng(5)
    image = rng.integers(0, 256, (2, 300_000, 3), dtype=np.uint8)
    guidance = rng.integers(0, 256, (2, 300_000), dtype=np.uint8)
    whole = joint_bilateral(image, guidance, 2, 0.1, mode="wrap")
    for start in range(0, 300_000, 20_000):
        block = joint_bilateral(image, guidance, 2, 0.1, mode="wrap", region=np.s_[:, start:start + 20_000])
        assert same_bits(block, whole[:, start:start + 20_000])


@pytest.mark.parametrize("which", ["image", "guidance"])
@pytest.mark.parametrize("value", [np.nan, np.inf, -np.inf, 2.0 ** 61])
@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_non_finite_image_raises(dtype, value, which):
    bad = np.ones((8, 9, 2), dtype)
    bad[0, 8, 1] = value
    image, guidance = (bad, np.zeros((8, 9), np.uint8)) if which == "image" else (np.ones((8, 9), np.uint16), bad)
    if which == "image" and np.isfinite(value):  # a large image value is fine
        assert joint_bilateral(image, guidance, 1, 0.1, output=np.float64).max() > 2.0 ** 56
        return
    with pytest.raises(ValueError, match="NaN|infinity"):
        joint_bilateral(image, guidance, 1, 0.1)
    # Not read by a block whose windows do not reach it.
    assert joint_bilateral(image, guidance, 1, 0.1, region=np.s_[4:, :4]).shape[:2] == (4, 4)


IMG = np.zeros((6, 7, 3), np.uint8)
GRAY = np.zeros((6, 7), np.uint8)


@pytest.mark.parametrize("args, kwargs, error, match", [
    ((IMG[0, 0], GRAY, 1, 0.1), {}, ValueError, "image must have shape"),
    ((IMG.astype(np.int64), GRAY, 1, 0.1), {}, TypeError, "image dtype int64 is not supported"),
    ((IMG.astype(bool), GRAY, 1, 0.1), {}, TypeError, "image dtype bool"),
    ((IMG, GRAY.astype(np.complex64), 1, 0.1), {}, TypeError, "guidance dtype complex64 is not supported"),
    ((IMG, GRAY.astype(np.float32), 1, 1e-13), {}, ValueError, "sigma_r is out of range for float32 guidance"),
    ((IMG, GRAY.astype(np.uint16), 1, 0.1), {"guidance_cval": -1}, ValueError, "guidance_cval must be a value"),
    ((IMG, GRAY.astype(np.float32), 1, 0.1), {"guidance_cval": 2.0 ** 61}, ValueError, "within [+][-]2[*][*]60"),
    ((IMG, GRAY[:5], 1, 0.1), {}, ValueError, "guidance is 5x7"),
    ((IMG, np.zeros((6, 7, 0), np.uint8), 1, 0.1), {}, ValueError, "guidance has no channel"),
    ((IMG, GRAY, 0, 0.1), {}, ValueError, "sigma_s must be positive"),
    ((IMG, GRAY, float("nan"), 0.1), {}, ValueError, "sigma_s must be positive"),
    ((IMG, GRAY, "3", 0.1), {}, TypeError, "sigma_s must be a real number"),
    ((IMG, GRAY, 1, -0.1), {}, ValueError, "sigma_r must be positive"),
    ((IMG, GRAY, 1, 1e-200), {}, ValueError, "sigma_r is too small"),
    ((IMG, GRAY, 1, 1e200), {}, ValueError, "sigma_r is too large"),
    ((IMG, GRAY, True, 0.1), {}, TypeError, "sigma_s must be a real number"),
    ((IMG, GRAY, 1e308, 0.1), {}, ValueError, "sigma_s is too large"),
    ((IMG, GRAY, 10 ** 400, 0.1), {}, ValueError, "sigma_s is too large"),
    ((IMG, GRAY, 1, 10 ** 400), {}, ValueError, "sigma_r is too large"),
    ((IMG, GRAY, 1, 0.1), {"mode": "mirrored"}, ValueError, "mode must be one of"),
    ((IMG, GRAY, 1, 0.1), {"cval": float("inf")}, ValueError, "cval must be finite"),
    ((IMG, GRAY, 1, 0.1), {"cval": 10 ** 400}, ValueError, "cval is too large"),
    ((IMG, GRAY, 1, 0.1), {"guidance_cval": 256}, ValueError, "guidance_cval must be"),
    ((IMG, GRAY, 1, 0.1), {"rounding": "up"}, ValueError, "rounding must be"),
    ((IMG, GRAY, 1, 0.1), {"output": np.complex64}, TypeError, "output dtype complex64"),
    ((IMG, GRAY, 1, 0.1), {"output": "no such dtype"}, TypeError, "output must be a dtype or an ndarray"),
    ((IMG, GRAY, 1, 0.1), {"output": np.zeros((6, 7), np.uint8)}, ValueError, "output has shape"),
    ((IMG, GRAY, 1, 0.1), {"region": (slice(0, 2),)}, TypeError, "region must be a pair of slices"),
    ((IMG, GRAY, 1, 0.1), {"region": np.s_[::2, :]}, ValueError, "step 1"),
    ((IMG, GRAY, 20000, 0.1), {}, MemoryError, "a window of 120001 x 120001 pixels"),
])
def test_bad_input_is_named(args, kwargs, error, match):
    with pytest.raises(error, match=match):
        joint_bilateral(*args, **kwargs)


GRAY_X2 = np.zeros((12, 14), np.uint8)
NAN_BETWEEN_SAMPLES = np.zeros((12, 14), np.float32)
NAN_BETWEEN_SAMPLES[1, 1] = np.nan  # at factor 2 the samples' guidance is at even rows and columns


@pytest.mark.parametrize("args, kwargs, error, match", [
    ((IMG, np.zeros((12, 15), np.uint8), 1, 0.1), {}, ValueError, "guidance is 12x15 .h x w. but low is 6x7"),
    ((IMG, np.zeros((12, 21), np.uint8), 1, 0.1), {}, ValueError, "f times the low image's size in both"),
    ((IMG, np.zeros((3, 7), np.uint8), 1, 0.1), {}, ValueError, "integer f from 1"),
    ((IMG, GRAY_X2, 1, 0.1), {"hole": 0.5}, ValueError, "hole must be a value of low's uint8"),
    ((IMG, GRAY_X2, 1, 0.1), {"hole": 256}, ValueError, "hole must be a value of low's uint8"),
    ((IMG.astype(np.float32), GRAY_X2, 1, 0.1), {"hole": 0.1}, ValueError, "hole must be a value of low's float32"),
    ((IMG.astype(np.float32), GRAY_X2, 1, 0.1), {"hole": float("nan")}, ValueError, "hole must be finite"),
    ((IMG, GRAY_X2, 1, 0.1), {"hole": "0"}, TypeError, "hole must be a real number or None"),
    ((IMG, GRAY_X2, 1, 0.1), {"region": np.s_[::2, :]}, ValueError, "step 1"),
    ((IMG, NAN_BETWEEN_SAMPLES, 1, 0.1), {}, ValueError, "guidance holds NaN"),
])
def test_bad_upsampling_input_is_named(args, kwargs, error, match):
    with pytest.raises(error, match=match):
        joint_bilateral_upsample(*args, **kwargs)


def test_upsampled_holes_take_no_part_and_vanished_weights_take_the_nearest_sample():
    rng = np.random.default_rng(8)
    depth = np.full((12, 16), 1500, np.uint16)
    depth[rng.random(depth.shape) < 0.4] = 0
    depth[:4, :4] = 0  # the windows of low pixels (0..1, 0..1) hold holes only
    colour = rng.integers(0, 256, (48, 64, 3), dtype=np.uint8)
    want = np.full((48, 64), 1500, np.uint16)
    want[:8, :8] = 0
    assert same_bits(joint_bilateral_upsample(depth, colour, 0.5, 0.2, hole=0), want)
    # A guidance of 255 where every sample's is 0: under sigma_r 0.001 every weight underflows.
    low = rng.integers(0, 256, (5, 6, 2), dtype=np.uint8)
    guidance = np.zeros((20, 24), np.uint8)
    guidance[3::4, 2::4] = 255  # samples lie at rows and columns 1, 5, 9, ...
    out = joint_bilateral_upsample(low, guidance, 1, 0.001, output=np.float64)
    assert same_bits(out[3::4, 2::4], low.astype(np.float64))


@pytest.mark.parametrize("mode", [-1, 5, 2 ** 32 + 1, 2 ** 64])
def test_native_mode_code_out_of_range(mode):
    # 2 ** 32 + 1 was cut to an int first, and taken as mirror.
    kernel_s, table = function._weights(1, 0.1)
    image = IMG[:, :, :1]
    with pytest.raises(ValueError, match="mode code out of range"):
        _native.filter(image, image, kernel_s, table, np.dtype(np.uint8), mode, 0.0, 0, False, 0, 0, 6, 7)


def test_weights_written_during_a_call_are_not_read():
    # The core reads the weights without the GIL; a thread writing NaN into them while it ran made
    # NaN results. The thread runs once the call has released the GIL, after the weights are read.
    rng = np.random.default_rng(6)
    image = rng.random((500, 500, 1))
    guidance = np.zeros((500, 500, 1), np.uint8)
    kernel_s, table = (w.copy() for w in function._weights(3, 0.1))
    args = (np.dtype(np.float64), 0, 0.0, 0, False, 0, 0, 500, 500)
    want = _native.filter(image, guidance, kernel_s, table, *args)
    started = threading.Event()

    def spoil():
        started.wait()
        kernel_s[...] = np.nan

    thread = threading.Thread(target=spoil)
    thread.start()
    started.set()
    got = _native.filter(image, guidance, kernel_s, table, *args)
    thread.join()
    assert np.isnan(kernel_s).all() and same_bits(got, want)


def test_a_float32_output_beyond_its_range_is_a_documented_value_error():
    with pytest.raises(ValueError, match="beyond float32's range"):
        joint_bilateral(np.full((2, 3), 1e39), GRAY[:2, :3], 1, 0.1, output=np.float32)
    raises = " ".join(joint_bilateral.__doc__.split("Raises")[1].split())
    assert "a float32 output whose value is beyond float32's range" in raises


def test_read_only_output_is_refused():
    out = np.zeros(IMG.shape, np.uint8)
    out.setflags(write=False)
    with pytest.raises(ValueError, match="output is read-only"):
        joint_bilateral(IMG, GRAY, 1, 0.1, output=out)


def run_child(code, env):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env, capture_output=True, text=True,
                          timeout=120)


# Each call takes seconds, well past the signal at 0.3 s: one that ended first would see none.
@pytest.mark.parametrize("call", ["joint_bilateral(image, guidance, 10, 0.1)",
                                  "joint_bilateral_upsample(image[::4, ::4], guidance, 8, 0.1)"])
def test_ctrl_c_stops_a_long_call(child_env, call):
    proc = run_child("""
        import signal, threading, time
        import numpy as np
        from sovelk_tools import joint_bilateral, joint_bilateral_upsample
        image = np.zeros((1500, 1500, 3), np.float32)
        guidance = np.zeros((1500, 1500), np.uint8)
        raised = []
        def interrupt():
            raised.append(time.monotonic())
            signal.raise_signal(signal.SIGINT)
        threading.Timer(0.3, interrupt).start()
        try:
            CALL
        except KeyboardInterrupt:
            # Counted from the signal: on a loaded machine the timer thread itself may run late.
            print("interrupted after", time.monotonic() - raised[0])
    """.replace("CALL", call), child_env)
    assert proc.returncode == 0 and "interrupted after" in proc.stdout, proc.stderr
    assert float(proc.stdout.split()[-1]) < 2.0


@pytest.mark.skipif(bool(os.environ.get("SOVELK_SANITIZED")), reason="ASan needs terabytes of address space")
def test_memory_error_before_allocating(child_env):
    proc = run_child("""
        import resource
        import numpy as np
        from sovelk_tools import joint_bilateral
        image = np.broadcast_to(np.float64(1), (40000, 40000, 3))   # 38 GB of output
        guidance = np.broadcast_to(np.uint8(0), (40000, 40000))
        resource.setrlimit(resource.RLIMIT_AS, (4 << 30, 4 << 30))
        try:
            joint_bilateral(image, guidance, 1, 0.1)
        except MemoryError as exc:
            print(exc)
    """, child_env)
    assert proc.returncode == 0 and "joint_bilateral needs about" in proc.stdout, (proc.stdout, proc.stderr)


# At exit CPython ends daemon threads that wait for the GIL by unwinding them; a call in flight
# must let that pass and touch no Python object on the way out. tools/rerun_faults.py reruns it.
DAEMON_CHILD = textwrap.dedent("""
    import threading, time
    import numpy as np
    from sovelk_tools import joint_bilateral
    image = np.zeros((1024, 1024, 3), np.uint8)
    def loop():
        while True:
            joint_bilateral(image, image, 5, 0.1)
    for _ in range(2):
        threading.Thread(target=loop, daemon=True).start()
    time.sleep(0.5)
""")


@pytest.mark.skipif(bool(os.environ.get("SOVELK_SANITIZED")),
                    reason="AddressSanitizer cannot follow an unwind that starts in pthread_exit")
def test_daemon_thread_in_a_call_at_exit(child_env):
    proc = run_child(DAEMON_CHILD, child_env)
    assert proc.returncode == 0, proc.stderr


@pytest.mark.long
def test_stubs_type_check(tmp_path, child_env):
    pytest.importorskip("mypy")
    (tmp_path / "use.py").write_text(textwrap.dedent("""
        import numpy as np
        from sovelk_tools import joint_bilateral
        img = np.zeros((8, 8), np.uint16)
        out: np.ndarray = joint_bilateral(img, img.astype(np.uint8), 1.5, 0.1, mode="wrap", output=np.float32)
        joint_bilateral(img, img, 1, 0.1, "wrap")
        joint_bilateral(img, img, 1, 0.1, modes="wrap")
    """))
    # An installed copy is found by mypy itself (py.typed), which refuses site-packages on MYPYPATH;
    # the checkout's is offered there.
    package_root = os.path.dirname(os.path.dirname(function.__file__))
    env = dict(child_env) if "site-packages" in package_root else dict(child_env, MYPYPATH=package_root)
    proc = subprocess.run([sys.executable, "-m", "mypy", "--no-incremental", "--cache-dir", os.devnull, "use.py"],
                          cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300)
    flagged = {int(line.split(":")[1]) for line in proc.stdout.splitlines() if line.startswith("use.py:")}
    assert flagged == {6, 7}, proc.stdout
