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
