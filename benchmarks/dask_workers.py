"""filter_dask on a LocalCluster with two worker processes against the threaded scheduler.

    python benchmarks/dask_workers.py [--rounds 3]

A 2000x3000x3 uint8 image, gray guidance, 512x512 chunks, sigma_s 3, sigma_r 0.1; each round
times one compute on the cluster and one with scheduler="threads", side by side. "overlap only"
times the same map_overlap graph (depth, boundary, two inputs) with a block function that only
copies: the part of each time that is dask's own exchange of overlapping blocks, not filtering.
"""
import argparse
import time

import dask.array as da
import distributed
import numpy as np

import Sovelk
from sovelk_tools import filter_dask


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--rounds", type=int, default=3)
    args = p.parse_args()
    rng = np.random.default_rng(0)
    img = rng.integers(0, 256, (2000, 3000, 3), dtype=np.uint8)
    guidance = img[:, :, 0].copy()
    filt = Sovelk.Joint_bilateral_filter(3, 0.1)
    dimg, dguidance = da.from_array(img, chunks=(512, 512, 3)), da.from_array(guidance, chunks=(512, 512))
    lazy = filter_dask(filt, dimg, dguidance)
    pad = int(filt.pad_w)
    copy_only = da.map_overlap(
        lambda block, g: block.copy(), dimg, dguidance[:, :, None],
        depth=[{0: pad, 1: pad, 2: 0}] * 2, boundary="none",
        align_arrays=False, dtype=np.uint8,
    )
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=":0") as cluster, distributed.Client(cluster):
        for r in range(args.rounds):
            t0 = time.perf_counter()
            a = lazy.compute()
            processes = time.perf_counter() - t0
            t0 = time.perf_counter()
            b = lazy.compute(scheduler="threads")
            threads = time.perf_counter() - t0
            t0 = time.perf_counter()
            copy_only.compute()
            overlap_processes = time.perf_counter() - t0
            t0 = time.perf_counter()
            copy_only.compute(scheduler="threads")
            overlap_threads = time.perf_counter() - t0
            print(f"round {r}: processes {processes:.2f} s, threads {threads:.2f} s, "
                  f"ratio {processes / threads:.2f}, equal {np.array_equal(a, b)}; overlap only: "
                  f"processes {overlap_processes:.2f} s, threads {overlap_threads:.2f} s", flush=True)


if __name__ == "__main__":
    main()
