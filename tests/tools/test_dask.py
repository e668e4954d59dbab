import os
import pickle

import numpy as np
import pytest

import Sovelk
from sovelk_tools import filter_dask

da = pytest.importorskip("dask.array")


CASES = [
    # h, w, sigma_s, chunks (rows, cols), guidance channels (None = gray)
    (17, 23, 1, (5, 4), None),  # odd sizes, last chunks narrower than the depth at the outer border
    (17, 23, 1, (5, 4), 3),
    (20, 9, 1, (1, 2), None),  # chunks smaller than the depth: windows span several chunks
    (20, 19, 2, (2, 3), 3),  # pad_w 6: a window takes in up to 7 chunks along each axis
    (31, 30, 1, (7, 29), 3),  # a 1-column remainder chunk
    (5, 26, 2, (3, 5), 3),  # pad_w 6 > height 5: rows mirrored by hand
    (4, 5, 2, (2, 2), None),  # pad_w wider than both axes
    (1, 1, 1, (1, 1), None),  # a single pixel
    (12, 14, 2, (12, 14), 3),  # one chunk
]


@pytest.mark.parametrize("h,w,sigma_s,chunks,gch", CASES)
def test_filter_dask_threads_equals_whole_image(h, w, sigma_s, chunks, gch, rng, make_pair):
    filt = Sovelk.Joint_bilateral_filter(sigma_s, 0.15)
    img, guide = make_pair(rng, h, w, 3, gch)
    lazy = filter_dask(filt, da.from_array(img, chunks=chunks + (3,)), da.from_array(guide, chunks=chunks + guide.shape[2:]))
    assert lazy.shape == img.shape and lazy.dtype == np.uint8
    assert lazy.chunks[:2] == da.from_array(img, chunks=chunks + (3,)).chunks[:2]
    got = lazy.compute(scheduler="threads")
    assert np.array_equal(got, filt.joint_bilateral_filter(img, guide))


def test_filter_dask_aligns_differently_chunked_guidance(rng, make_pair):
    filt = Sovelk.Joint_bilateral_filter(1, 0.1)
    img, guide = make_pair(rng, 19, 21, 3, 3)
    lazy = filter_dask(filt, da.from_array(img, chunks=(6, 5, 1)), da.from_array(guide, chunks=(4, 21, 3)))
    assert np.array_equal(lazy.compute(scheduler="sync"), filt.joint_bilateral_filter(img, guide))
    with pytest.raises(ValueError, match="must match"):
        filter_dask(filt, da.from_array(img), da.from_array(guide[1:]))


def test_pickled_filter_keeps_its_state_and_results(rng, make_pair):
    filt = Sovelk.Joint_bilateral_filter(2, 0.3)
    filt.sigma_r = 0.25  # reassigned attributes are state too
    copy = pickle.loads(pickle.dumps(filt, protocol=pickle.HIGHEST_PROTOCOL))
    assert type(copy) is Sovelk.Joint_bilateral_filter and copy is not filt
    assert list(vars(copy)) == list(vars(filt))
    for name, value in vars(filt).items():
        assert np.array_equal(getattr(copy, name), value), name
    assert copy.kernel_s is not filt.kernel_s
    img, guide = make_pair(rng, 9, 10, 3, 3)
    assert np.array_equal(copy.joint_bilateral_filter(img, guide), filt.joint_bilateral_filter(img, guide))


@pytest.fixture(scope="module")
def client():
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(
        n_workers=2, processes=True, threads_per_worker=1, host="127.0.0.1", dashboard_address=":0"
    ) as cluster, distributed.Client(cluster) as c:
        yield c


@pytest.mark.distributed
@pytest.mark.parametrize("gch", [None, 3])
def test_filter_dask_on_local_cluster(client, gch, rng, make_pair):
    filt = Sovelk.Joint_bilateral_filter(1, 0.1)
    img, guide = make_pair(rng, 23, 27, 3, gch)
    lazy = filter_dask(filt, da.from_array(img, chunks=(8, 9, 3)), da.from_array(guide, chunks=(8, 9) + guide.shape[2:]))
    got = client.compute(lazy).result()
    assert np.array_equal(got, filt.joint_bilateral_filter(img, guide))
    # The blocks ran in separate worker processes, which had to unpickle the
    # filter (nothing else there imports Sovelk).
    pids = client.run(os.getpid)
    assert len(pids) == 2 and os.getpid() not in pids.values()
    assert any(client.run(_has_sovelk).values())


def _has_sovelk():
    import sys

    return "Sovelk" in sys.modules


# ---------------------------------------------------------------- with joint_bilateral

from sovelk_tools import joint_bilateral, joint_bilateral_upsample  # noqa: E402
from test_tiled import DTYPES, MODES, guidance_of, image_of  # noqa: E402  the tiled tests' dtypes, modes, inputs

GEOMETRIES = [
    # image shape, guidance channels (None = gray), sigma_s, chunks (rows, cols)
    ((5, 7), None, 2, (2, 2)),  # a 13-pixel window over 2x2 chunks: borders wider than chunks and image
    ((6, 11, 3), 3, 1.4, (1, 4)),  # float sigma_s, one-row chunks
    ((17, 23, 2), None, 1, ((6, 6, 5), (5, 1, 9, 8))),  # uneven chunks, a one-column chunk
    ((13, 26, 1), 2, 2, (2, 7)),  # wrap windows across one edge, short of the other (cols) or not (rows)
    ((12, 14, 5), 3, 1, (12, 14)),  # one chunk
]


def lazy_inputs(img, guide, chunks):
    return (da.from_array(img, chunks=chunks + img.shape[2:]), da.from_array(guide, chunks=chunks + guide.shape[2:]))


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("dtype", DTYPES, ids=lambda d: np.dtype(d).name)
def test_function_chunks_equal_the_whole_image_call(dtype, mode):
    rng = np.random.default_rng([DTYPES.index(dtype), MODES.index(mode)])
    constant = mode == "constant"
    for i, (shape, gch, sigma_s, chunks) in enumerate(GEOMETRIES):
        img = image_of(rng, dtype, shape)
        guide, sigma_r, guidance_cval = guidance_of(rng, i, img, gch)
        borders = dict(cval=float(image_of(rng, dtype, ())), guidance_cval=guidance_cval) if constant else {}
        options = dict(sigma_s=sigma_s, sigma_r=sigma_r, mode=mode, **borders)
        dimg, dguide = lazy_inputs(img, img if guide is None else guide, chunks)
        lazy = filter_dask(joint_bilateral, dimg, None if guide is None else dguide, **options)
        want = joint_bilateral(img, guide, **options)
        assert (lazy.dtype, lazy.chunks[:2]) == (img.dtype, dimg.chunks[:2]), (shape, chunks)
        got = lazy.compute(scheduler="sync")
        assert got.dtype == want.dtype and got.tobytes() == want.tobytes(), (shape, chunks)
    # Another output dtype and rounding, with the guidance chunked its own way.
    guide = rng.integers(0, 256, img.shape[:2] + ((gch,) if gch else ()), dtype=np.uint8)
    options.update(sigma_r=0.2, guidance_cval=0)
    other = np.int32 if dtype != np.int32 else np.float32
    lazy = filter_dask(joint_bilateral, da.from_array(img, chunks=(5, 4, 1)), da.from_array(guide, chunks=(3, 14, 1)),
                       output=other, rounding="truncate", **options)
    want = joint_bilateral(img, guide, output=other, rounding="truncate", **options)
    assert lazy.dtype == want.dtype and lazy.compute(scheduler="threads").tobytes() == want.tobytes()


@pytest.mark.parametrize("mode", ["reflect", "wrap", "constant"])
def test_upsampled_chunks_equal_the_whole_call(mode, tmp_path, rng):
    low = image_of(rng, np.uint16, (9, 11, 2))
    low[rng.random(low.shape[:2]) < 0.2] = 0
    guide = rng.integers(0, 256, (27, 33, 3), dtype=np.uint8)
    options = dict(sigma_s=1, sigma_r=0.2, mode=mode, hole=0)
    want = joint_bilateral_upsample(low, guide, **options)
    np.save(tmp_path / "low.npy", low)
    for source, guidance, chunks in ((da.from_array(low, chunks=(4, 5, 2)), da.from_array(guide, chunks=(7, 8, 3)), None),
                                     (low, guide, (6, 9)),  # windows across several chunks of 2 x 3 low pixels
                                     (tmp_path / "low.npy", da.from_array(guide, chunks=(9, 12, 3)), None)):
        lazy = filter_dask(joint_bilateral_upsample, source, guidance, chunks=chunks, **options)
        assert lazy.dtype == want.dtype and lazy.compute(scheduler="threads").tobytes() == want.tobytes()
    with pytest.raises(ValueError, match="multiples of the factor 3"):
        filter_dask(joint_bilateral_upsample, low, guide, chunks=5, **options)


def test_npy_files_are_read_window_by_window(tmp_path, rng, make_pair):
    img = image_of(rng, np.uint16, (29, 31))
    guide = rng.integers(0, 256, (29, 31, 3), dtype=np.uint8)
    np.save(tmp_path / "img.npy", img)
    np.save(tmp_path / "guide.npy", guide)
    options = dict(sigma_s=1, sigma_r=0.1, mode="wrap")
    want = joint_bilateral(img, guide, **options)
    np.save(tmp_path / "fortran.npy", np.asfortranarray(guide))
    files = filter_dask(joint_bilateral, tmp_path / "img.npy", str(tmp_path / "guide.npy"), chunks=8, **options)
    mixed = filter_dask(joint_bilateral, tmp_path / "img.npy", da.from_array(guide, chunks=(10, 7, 3)), **options)
    fortran = filter_dask(joint_bilateral, img, tmp_path / "fortran.npy", chunks=(8, 10), **options)
    # No task holds or slices the inputs: each window task reads the files itself.
    assert set(files.__dask_graph__().layers) == {files.name} and len(files.__dask_graph__()) == 16
    for lazy in (files, mixed, fortran):
        assert lazy.compute(scheduler="threads").tobytes() == want.tobytes()
    whole = filter_dask(joint_bilateral, tmp_path / "img.npy", tmp_path / "guide.npy", **options)
    assert whole.chunks == ((29,), (31,))
    # A file rewritten once the graph is built fails each task that reads it. The tasks read the
    # new file (mixed with the old where it changed during compute()), and a float64 one made a
    # float64 result under a uint16 graph.
    for replacement in (img[::-1].copy(), img.astype(np.float64)):
        np.save(tmp_path / "img.npy", replacement)
        with pytest.raises(RuntimeError, match="img: .*img.npy' changed after filter_dask built the graph"):
            files.compute(scheduler="threads")
    np.save(tmp_path / "img.npy", img)
    # The object form reads files too.
    filt = Sovelk.Joint_bilateral_filter(1, 0.1)
    img8, guide8 = make_pair(rng, 21, 17, 3, None)
    np.save(tmp_path / "img8.npy", img8)
    lazy = filter_dask(filt, tmp_path / "img8.npy", da.from_array(guide8), chunks=(5, 6))
    assert np.array_equal(lazy.compute(scheduler="threads"), filt.joint_bilateral_filter(img8, guide8))


def test_numpy_inputs_travel_as_windows_unless_they_overlap_much(rng):
    img = image_of(rng, np.float64, (40, 50, 2))
    guide = rng.integers(0, 256, (40, 50), dtype=np.uint8)
    options = dict(sigma_s=1, sigma_r=0.1, mode="wrap")
    want = joint_bilateral(img, guide, **options)
    windows = filter_dask(joint_bilateral, img, guide, chunks=(20, 25), **options)  # 26x31 windows: 1.6 images
    chunked = filter_dask(joint_bilateral, img, guide, chunks=4, **options)  # 10x10 windows: 6 images
    assert set(windows.__dask_graph__().layers) == {windows.name} and len(windows.__dask_graph__()) == 4
    assert len(chunked.__dask_graph__().layers) == 3
    assert chunked.compute(scheduler="threads").tobytes() == want.tobytes()
    img[:] = 0  # the windows are copies, taken when the graph was built
    assert windows.compute(scheduler="threads").tobytes() == want.tobytes()


def test_bad_requests_fail_when_the_graph_is_built(tmp_path, rng):
    img = rng.integers(0, 256, (10, 12), dtype=np.uint8)
    guide = da.from_array(img)
    bad_calls = [
        (joint_bilateral, img, dict(sigma_s=1), TypeError, "sigma_r"),
        (joint_bilateral, img, dict(sigma_s=1, sigma_r=0.1, region=np.s_[0:2, 0:2]), TypeError, "region"),
        (joint_bilateral, img, dict(sigma_s=1, sigma_r=0.1, mode="edge"), ValueError, "mode"),
        (joint_bilateral, img, dict(sigma_s=-1, sigma_r=0.1), ValueError, "sigma_s"),
        (joint_bilateral, img.astype(np.int8), dict(sigma_s=1, sigma_r=0.1), TypeError, "image dtype"),
        (joint_bilateral, img[1:], dict(sigma_s=1, sigma_r=0.1), ValueError, "must match"),
        (joint_bilateral, img, dict(sigma_s=1, sigma_r=0.1, output=np.empty((10, 12))), TypeError, "dtype only"),
        (joint_bilateral, img, dict(sigma_s=1, sigma_r=0.1, chunks="many"), ValueError, "chunks"),
        (joint_bilateral, tmp_path / "missing.npy", dict(sigma_s=1, sigma_r=0.1), ValueError, "missing.npy"),
        (joint_bilateral, guide[guide[:, 0] > 9], dict(sigma_s=1, sigma_r=0.1), ValueError, "compute_chunk_sizes"),
        (Sovelk.Joint_bilateral_filter(1, 0.1), img[:, :, None], dict(sigma_s=1), TypeError, "with joint_bilateral"),
    ]
    for filt, image, options, exc, words in bad_calls:
        with pytest.raises(exc, match=words):
            filter_dask(filt, image, guide, **options)
    # NaN is found when its chunk is computed.
    lazy = filter_dask(joint_bilateral, np.full((10, 12), np.nan), guide, chunks=5, sigma_s=1, sigma_r=0.1)
    with pytest.raises(ValueError, match="NaN"):
        lazy.compute(scheduler="sync")


@pytest.mark.distributed
def test_function_on_local_cluster_from_files_and_arrays(client, tmp_path, rng):
    img = image_of(rng, np.float32, (40, 37, 2))
    guide = rng.integers(0, 256, (40, 37), dtype=np.uint8)
    np.save(tmp_path / "img.npy", img)
    options = dict(sigma_s=1.5, sigma_r=0.1, mode="wrap")
    want = joint_bilateral(img, guide, **options)
    dguide = da.from_array(guide, chunks=(9, 10))
    for source in (tmp_path / "img.npy", da.from_array(img, chunks=(9, 10, 2))):
        lazy = filter_dask(joint_bilateral, source, dguide, **options)
        assert client.compute(lazy).result().tobytes() == want.tobytes()
