"""filter_dask on a LocalCluster with two worker processes against the threaded scheduler.

    python benchmarks/dask_workers.py [--rounds 5]

A 2000x3000x3 uint8 image, gray guidance, 512x512 chunks, sigma_s 3, sigma_r 0.1. Each round
times, side by side, one compute on the cluster and one with scheduler="threads" of:

- filter_dask: the package's graph (one cut per bordering chunk, one filter task per chunk);
- map_overlap: dask.array.map_overlap over image and guidance with the same block call, as
  filter_dask was built before;
- no context: each chunk filtered alone (map_blocks; not the whole-image result). Its processes
  time is what moving the inputs to the workers and the results back costs without any exchange
  of margins: no graph for this filter can do better.

Prints each round, then each graph's minimum times and the ratio processes / threads of them,
in wall-clock seconds and in CPU seconds (this process, the workers and their nannies together),
which another load on the machine disturbs less.
"""
import argparse
import os
import time
import warnings

import dask.array as da
import distributed
import numpy as np
import psutil

import Sovelk
from sovelk_tools import filter_dask


def _filter_overlapped(img, guidance, filt):
    return filt.joint_bilateral_filter(img, guidance[:, :, 0])


def map_overlap_route(filt, dimg, dguidance):
    pad = int(filt.pad_w)
    return da.map_overlap(_filter_overlapped, dimg, dguidance[:, :, None], depth=[{0: pad, 1: pad, 2: 0}] * 2,
                          boundary="none", align_arrays=False, dtype=np.uint8, filt=filt)


def no_context_route(filt, dimg, dguidance):
    return da.map_blocks(_filter_overlapped, dimg, dguidance[:, :, None], dtype=np.uint8, filt=filt)


def cpu_seconds(processes):
    return sum(sum(proc.cpu_times()[:2]) for proc in processes)


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--rounds", type=int, default=5)
    args = p.parse_args()
    # The inputs live in the client, as from_array leaves them: dask says so at every compute.
    warnings.filterwarnings("ignore", message="Sending large graph")
    rng = np.random.default_rng(0)
    img = rng.integers(0, 256, (2000, 3000, 3), dtype=np.uint8)
    guidance = img[:, :, 0].copy()
    filt = Sovelk.Joint_bilateral_filter(3, 0.1)
    dimg, dguidance = da.from_array(img, chunks=(512, 512, 3)), da.from_array(guidance, chunks=(512, 512))
    graphs = {"filter_dask": filter_dask(filt, dimg, dguidance),
              "map_overlap": map_overlap_route(filt, dimg, dguidance),
              "no context": no_context_route(filt, dimg, dguidance)}
    whole = filt.joint_bilateral_filter(img, guidance)
    best = {}
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=":0") as cluster, distributed.Client(cluster) as client:
        workers = [psutil.Process(pid) for pid in client.run(os.getpid).values()]
        involved = [psutil.Process()] + workers + [w.parent() for w in workers]
        for r in range(args.rounds):
            cells = []
            for name, lazy in graphs.items():
                for scheduler in ("processes", "threads"):
                    c0, t0 = cpu_seconds(involved), time.perf_counter()
                    out = lazy.compute(**({} if scheduler == "processes" else {"scheduler": "threads"}))
                    seconds, cpu = time.perf_counter() - t0, cpu_seconds(involved) - c0
                    if name != "no context" and not np.array_equal(out, whole):
                        raise SystemExit(f"{name} on {scheduler}: not the whole-image result")
                    for kind, value in (("wall", seconds), ("cpu", cpu)):
                        best[name, scheduler, kind] = min(best.get((name, scheduler, kind), value), value)
                    cells.append(f"{name} {scheduler} {seconds:.2f} s (cpu {cpu:.2f} s)")
            print(f"round {r}: " + ", ".join(cells), flush=True)
    for name in graphs:
        line = f"{name:12s} minimum:"
        for kind in ("wall", "cpu"):
            p, t = best[name, "processes", kind], best[name, "threads", kind]
            line += f"  {kind} processes {p:.2f} s, threads {t:.2f} s, processes / threads {p / t:.2f};"
        print(line.rstrip(";"))


if __name__ == "__main__":
    main()
