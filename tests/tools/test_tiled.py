import mmap

import cv2
import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import Sovelk
from sovelk_tools import filter_tiled, joint_bilateral, joint_bilateral_upsample, reflect_index
from sovelk_tools._border import window_index
from sovelk_tools.tiled import _file_mapping, filter_in_bands, tile_count


def test_reflect_index_matches_opencv_for_any_pad():
    # Pads far wider than the axis make OpenCV mirror back and forth.
    for n in range(1, 8):
        line = np.arange(n, dtype=np.uint8)
        for pad in range(0, 18):
            want = cv2.copyMakeBorder(line.reshape(1, n), 0, 0, pad, pad, cv2.BORDER_REFLECT)[0]
            assert np.array_equal(line[reflect_index(np.arange(-pad, n + pad), n)], want), (n, pad)
            want_rows = cv2.copyMakeBorder(line.reshape(n, 1), pad, pad, 0, 0, cv2.BORDER_REFLECT)[:, 0]
            assert np.array_equal(line[reflect_index(np.arange(-pad, n + pad), n)], want_rows), (n, pad)


def test_window_index_slices_inside_and_mirrors_across_the_border():
    assert window_index(3, 6, 2, 10) == slice(1, 8)
    assert list(window_index(0, 2, 3, 10)) == [2, 1, 0, 0, 1, 2, 3, 4]
    assert list(window_index(8, 10, 2, 10)) == [6, 7, 8, 9, 9, 8]
    with pytest.raises(ValueError):
        reflect_index([0], 0)


CASES = [
    # h, w, ch, sigma_s, tile, guidance channels (None = gray)
    (17, 23, 3, 1, 5, None),  # odd sizes, partial last tiles
    (17, 23, 3, 1, 5, 3),
    (20, 9, 3, 2, 1, None),  # one-pixel tiles, far smaller than the 13-pixel window
    (13, 11, 3, 2, (3, 7), 3),  # rectangular tiles
    (5, 4, 3, 2, 2, 3),  # pad_w 6 wider than the image: repeated mirroring
    (1, 9, 3, 1, 4, None),  # a single row
    (12, 12, 4, 1, 100, 2),  # one tile bigger than the image; 4 channels, 2-channel guidance
]


@pytest.mark.parametrize("h,w,ch,sigma_s,tile,gch", CASES)
def test_tiled_equals_whole_image(h, w, ch, sigma_s, tile, gch, rng, make_pair):
    filt = Sovelk.Joint_bilateral_filter(sigma_s, 0.1)
    img, guide = make_pair(rng, h, w, ch, gch)
    img0, guide0 = img.copy(), guide.copy()
    want = filt.joint_bilateral_filter(img, guide)
    got = filter_tiled(filt, img, guide, tile=tile)
    assert got.dtype == np.uint8 and got.shape == want.shape
    assert np.array_equal(got, want)
    assert np.array_equal(img, img0) and np.array_equal(guide, guide0)


@settings(max_examples=25, deadline=None)
@given(
    h=st.integers(1, 20),
    w=st.integers(1, 20),
    sigma_s=st.integers(1, 2),
    th=st.integers(1, 24),
    tw=st.integers(1, 24),
    colour=st.booleans(),
    seed=st.integers(0, 2**32 - 1),
)
def test_tiled_equals_whole_image_random_geometry(h, w, sigma_s, th, tw, colour, seed, make_pair):
    filt = Sovelk.Joint_bilateral_filter(sigma_s, 0.2)
    img, guide = make_pair(np.random.default_rng(seed), h, w, 3, 3 if colour else None, smooth=True)
    assert np.array_equal(filter_tiled(filt, img, guide, tile=(th, tw)), filt.joint_bilateral_filter(img, guide))


def test_tiled_keeps_input_dtypes(rng):
    # Blocks must reach the filter in the input's own dtype: it truncates
    # fractional values itself, and 16-bit values clip only at the end.
    filt = Sovelk.Joint_bilateral_filter(1, 0.1)
    img16 = rng.integers(0, 400, (11, 13, 3)).astype(np.uint16)
    imgf = rng.uniform(0, 255, (11, 13, 3)).astype(np.float32)
    guidef = rng.uniform(0, 255, (11, 13)).astype(np.float64)
    for img in (img16, imgf):
        assert np.array_equal(filter_tiled(filt, img, guidef, tile=4), filt.joint_bilateral_filter(img, guidef))


def test_memmap_disk_to_disk(tmp_path, rng, make_pair):
    filt = Sovelk.Joint_bilateral_filter(1, 0.1)
    img, guide = make_pair(rng, 29, 31, 3, 3)
    np.save(tmp_path / "img.npy", img)
    np.save(tmp_path / "guide.npy", guide)
    img_mm = np.load(tmp_path / "img.npy", mmap_mode="r")
    guide_mm = np.load(tmp_path / "guide.npy", mmap_mode="r")
    out = np.lib.format.open_memmap(tmp_path / "out.npy", mode="w+", dtype=np.uint8, shape=img.shape)
    calls = []
    assert filter_tiled(filt, img_mm, guide_mm, tile=8, out=out, progress=calls.append) is out
    del out
    assert len(calls) == tile_count(29, 31, 8) == 16
    assert np.array_equal(np.load(tmp_path / "out.npy"), filt.joint_bilateral_filter(img, guide))
    # Pages are released band by band; those of a copy-on-write map hold the
    # caller's unsaved edits and must survive that.
    edited = np.load(tmp_path / "img.npy", mmap_mode="c")
    edited[::3] = 255 - edited[::3]
    want = filt.joint_bilateral_filter(np.array(edited), guide)
    assert np.array_equal(filter_tiled(filt, edited, guide_mm, tile=(4, 31)), want)
    assert np.array_equal(np.load(tmp_path / "img.npy"), img)
    # The pages are released through the mapping found under the array (also under a view).
    assert isinstance(_file_mapping(img_mm[3:, ::2]), mmap.mmap) and _file_mapping(img) is None


def test_rejects_bad_requests_before_writing(tmp_path, rng, make_pair):
    filt = Sovelk.Joint_bilateral_filter(1, 0.1)
    img, guide = make_pair(rng, 10, 12, 3)
    sentinel = np.full(img.shape, 7, np.uint8)
    bad_calls = [
        (dict(tile=0), ValueError),
        (dict(tile=True), TypeError),
        (dict(tile="8"), TypeError),
        (dict(out=np.zeros((10, 11, 3), np.uint8)), ValueError),
        (dict(out=np.zeros(img.shape, np.float64)), ValueError),
        (dict(out=img), ValueError),  # in place would feed filtered pixels into later tiles
    ]
    for kwargs, exc in bad_calls:
        with pytest.raises(exc):
            filter_tiled(filt, img, guide, **kwargs)
    readonly = sentinel.copy()
    readonly.flags.writeable = False
    with pytest.raises(ValueError):
        filter_tiled(filt, img, guide, out=readonly)
    with pytest.raises(ValueError, match="must match"):
        filter_tiled(filt, img, guide[:, :-1], out=sentinel)
    with pytest.raises(ValueError):
        filter_tiled(filt, img[:, :, 0], guide, out=sentinel)
    with pytest.raises(TypeError):
        filter_tiled(object(), img, guide, out=sentinel)
    assert (sentinel == 7).all()
    # Two maps of one file are different memory but the same data.
    np.save(tmp_path / "img.npy", img)
    a = np.load(tmp_path / "img.npy", mmap_mode="r")
    b = np.load(tmp_path / "img.npy", mmap_mode="r+")
    with pytest.raises(ValueError, match="share"):
        filter_tiled(filt, a, guide, out=b)
    assert np.array_equal(np.load(tmp_path / "img.npy"), img)


# ---------------------------------------------------------------- with joint_bilateral

DTYPES = [np.uint8, np.uint16, np.int16, np.int32, np.float32, np.float64]
MODES = ["reflect", "mirror", "nearest", "wrap", "constant"]
SHAPES = [
    # image shape, guidance channels (None = gray), sigma_s, tile
    ((5, 7), None, 2, 2),  # 13-pixel window over 2x2 tiles: borders wider than the tiles and the image
    ((6, 11, 3), 3, 1.4, (1, 4)),  # float sigma_s, one-row tiles
    ((13, 5, 1), None, 1, (5, 3)),  # a gray image with its channel axis
    ((3, 2, 5), 2, 2, 1),  # one-pixel tiles of an image narrower than the window's radius
]


def image_of(rng, dtype, shape):
    dtype = np.dtype(dtype)
    if dtype.kind == "f":
        return rng.normal(0, 1000, shape).astype(dtype)
    info = np.iinfo(dtype)
    return rng.integers(info.min, info.max, shape, dtype=dtype, endpoint=True)


def guidance_of(rng, i, img, gch):
    """The guidance of case i, its sigma_r and a constant border for it: uint8, the image itself
    (None), or 16-bit."""
    shape = img.shape[:2] + (() if gch is None else (gch,))
    if i % 3 == 1:
        spread = float(np.abs(img).max()) or 1.0
        return None, 0.2 * spread if img.dtype.kind == "f" else 0.2, np.asarray(3, img.dtype).item()
    if i % 3 == 2:
        return rng.integers(20000, 30000, shape, dtype=np.uint16), 0.02, int(rng.integers(65536))
    return rng.integers(0, 256, shape, dtype=np.uint8), 0.2, int(rng.integers(256))


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("dtype", DTYPES, ids=lambda d: np.dtype(d).name)
def test_function_tiles_equal_the_whole_image_call(dtype, mode):
    rng = np.random.default_rng([DTYPES.index(dtype), MODES.index(mode)])
    for i, (shape, gch, sigma_s, tile) in enumerate(SHAPES):
        img = image_of(rng, dtype, shape)
        guide, sigma_r, guidance_cval = guidance_of(rng, i, img, gch)
        options = dict(sigma_s=sigma_s, sigma_r=sigma_r, mode=mode)
        if mode == "constant":
            options.update(cval=float(image_of(rng, dtype, ())), guidance_cval=guidance_cval)
        img0 = img.copy()
        got = filter_tiled(joint_bilateral, img, guide, tile=tile, **options)
        want = joint_bilateral(img, guide, **options)
        assert got.dtype == want.dtype == img.dtype and got.tobytes() == want.tobytes(), (shape, tile)
        # Bands of rows read with the window's reach around them, as the command line reads .npy files.
        banded = filter_in_bands(img, guide, tile, np.empty_like(want), **options)
        assert banded.tobytes() == want.tobytes(), (shape, tile)
        # Into an out of another dtype, with the other rounding: still the whole call's bits.
        out = np.full(shape, 7, np.int32 if dtype != np.int32 else np.float32)
        filter_tiled(joint_bilateral, img, guide, tile, out, rounding="truncate", **options)
        want = joint_bilateral(img, guide, output=out.dtype, rounding="truncate", **options)
        assert out.tobytes() == want.tobytes(), (shape, tile)
        assert np.array_equal(img, img0)


@pytest.mark.parametrize("mode", ["reflect", "wrap", "constant"])
def test_upsampled_tiles_equal_the_whole_call(mode, rng):
    low = rng.integers(0, 4000, (7, 9, 2), dtype=np.uint16)
    low[rng.random(low.shape[:2]) < 0.2] = 0
    guide = rng.integers(0, 256, (21, 27, 3), dtype=np.uint8)
    options = dict(sigma_s=1, sigma_r=0.2, mode=mode, hole=0)
    want = joint_bilateral_upsample(low, guide, **options)
    for tile in (5, (4, 27), 100):  # tiles that cut across a low pixel's output rows and columns
        got = filter_tiled(joint_bilateral_upsample, low, guide, tile=tile, **options)
        assert got.shape == want.shape and got.tobytes() == want.tobytes(), tile


def test_function_tiles_from_disk_to_disk(tmp_path, rng):
    img = rng.integers(0, 65536, (29, 31), dtype=np.uint16)
    guide = rng.integers(0, 256, (29, 31, 3), dtype=np.uint8)
    np.save(tmp_path / "img.npy", img)
    img_mm = np.load(tmp_path / "img.npy", mmap_mode="r")
    out = np.lib.format.open_memmap(tmp_path / "out.npy", mode="w+", dtype=np.uint16, shape=img.shape)
    calls = []
    assert filter_tiled(joint_bilateral, img_mm, guide, 8, out, sigma_s=1, sigma_r=0.1, mode="wrap",
                        progress=calls.append) is out
    del out
    assert len(calls) == 16
    assert np.array_equal(np.load(tmp_path / "out.npy"), joint_bilateral(img, guide, 1, 0.1, mode="wrap"))


def test_function_options_are_checked_before_any_tile(rng):
    img = rng.integers(0, 256, (10, 12), dtype=np.uint8)
    guide = img.copy()
    sentinel = np.full(img.shape, 7, np.uint8)
    bad_calls = [
        (joint_bilateral, dict(sigma_s=1), TypeError, "sigma_r"),
        (joint_bilateral, dict(sigma_s=1, sigma_r=0.1, region=np.s_[0:2, 0:2]), TypeError, "region"),
        (joint_bilateral, dict(sigma_s=1, sigma_r=0.1, mode="edge"), ValueError, "mode"),
        (joint_bilateral, dict(sigma_s=-1, sigma_r=0.1), ValueError, "sigma_s"),
        (Sovelk.Joint_bilateral_filter(1, 0.1), dict(sigma_s=1), TypeError, "only with joint_bilateral"),
    ]
    for filt, options, exc, words in bad_calls:
        with pytest.raises(exc, match=words):
            filter_tiled(filt, img[:, :, None] if filt is not joint_bilateral else img, guide, 3, sentinel, **options)
    for out, words in ((np.zeros(img.shape, np.int8), "dtype"), (img, "share"), (np.zeros((10, 11), np.uint8), "shape")):
        with pytest.raises(ValueError, match=words):
            filter_tiled(joint_bilateral, img, guide, 3, out, sigma_s=1, sigma_r=0.1)
    with pytest.raises(ValueError, match="NaN"):
        filter_tiled(joint_bilateral, np.full(img.shape, np.nan), guide, 3, sigma_s=1, sigma_r=0.1)
    assert (sentinel == 7).all()
