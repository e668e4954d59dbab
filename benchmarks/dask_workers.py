"""filter_dask on a LocalCluster with two worker processes against the threaded scheduler.

    python benchmarks/dask_workers.py [--rounds 5] [--worker-threads N] [--graphs a,b,...]
                                      [--before OLD/dask_filter.py]

A 2000x3000x3 uint8 image, gray guidance, 512x512 chunks, sigma_s 3, sigma_r 0.1. Each round
times, side by side, one compute on the cluster and one with scheduler="threads" of each graph:

- filter_dask: the package's graph over da.from_array of the arrays in this process (one cut
  per bordering chunk, one filter task per chunk);
- numpy arrays: filter_dask given the arrays themselves, which it cuts into the chunks' windows
  when the graph is built: each window travels once, from the client to its worker;
- npy files: filter_dask given the paths of the same arrays saved as .npy: each window task
  reads its own window from the files, so no input travels between processes;
- map_overlap: dask.array.map_overlap over the from_array inputs with the same block call, as
  filter_dask was built before;
- no context: each from_array chunk filtered alone (map_blocks; not the whole-image result).
  Its processes time is what moving the from_array inputs to the workers and the results back
  costs without any exchange of margins: no graph over those inputs can do better.

- before filter_dask: with ``--before``, that file's filter_dask (another version of the module,
  e.g. from ``git show REV:python/sovelk_tools/dask_filter.py``) over the from_array inputs, so that
  two versions are timed in one run, interleaved.

Every result but no context's is checked against the whole-image call. Prints each round, then
each graph's minimum times and the ratio processes / threads of them, in wall-clock seconds and
in CPU seconds (this process, which runs the client, the scheduler and the nannies, and the two
workers), which another load on the machine disturbs less. ``--worker-threads N`` sets
SOVELK_NUM_THREADS=N in the workers (by default their native pools take every CPU, as this
process's does: two such pools share two cores).
"""
import argparse
import importlib
import os
import shutil
import sys
import tempfile
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
    p.add_argument("--worker-threads", type=int, default=None)
    p.add_argument("--graphs", default=None)
    p.add_argument("--before", help="another version's dask_filter.py, timed as 'before filter_dask'")
    args = p.parse_args()
    names = ("before filter_dask," if args.before else "") + "filter_dask,numpy arrays,npy files,map_overlap,no context"
    # The from_array inputs live in the client: dask says so at every compute.
    warnings.filterwarnings("ignore", message="Sending large graph")
    rng = np.random.default_rng(0)
    img = rng.integers(0, 256, (2000, 3000, 3), dtype=np.uint8)
    guidance = img[:, :, 0].copy()
    filt = Sovelk.Joint_bilateral_filter(3, 0.1)
    folder = tempfile.mkdtemp(prefix="sovelk-dask-bench-")
    env = {} if args.worker_threads is None else {"SOVELK_NUM_THREADS": str(args.worker_threads)}
    if args.before:
        # A module of the package (its relative imports resolve there), in a folder of the package
        # on the path of this process and of the workers, which import it to run its tasks.
        os.mkdir(os.path.join(folder, "sovelk_tools"))
        shutil.copy(args.before, os.path.join(folder, "sovelk_tools", "before_dask_filter.py"))
        sys.path.insert(0, folder)
        import sovelk_tools

        sovelk_tools.__path__.append(os.path.join(folder, "sovelk_tools"))
        paths = [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
        env["PYTHONPATH"] = os.pathsep.join([folder] + paths)
        before_filter_dask = importlib.import_module("sovelk_tools.before_dask_filter").filter_dask
    img_path, guidance_path = os.path.join(folder, "img.npy"), os.path.join(folder, "guidance.npy")
    np.save(img_path, img)
    np.save(guidance_path, guidance)
    dimg, dguidance = da.from_array(img, chunks=(512, 512, 3)), da.from_array(guidance, chunks=(512, 512))
    routes = {"before filter_dask": lambda: before_filter_dask(filt, dimg, dguidance),
              "filter_dask": lambda: filter_dask(filt, dimg, dguidance),
              "numpy arrays": lambda: filter_dask(filt, img, guidance, chunks=512),
              "npy files": lambda: filter_dask(filt, img_path, guidance_path, chunks=512),
              "map_overlap": lambda: map_overlap_route(filt, dimg, dguidance),
              "no context": lambda: no_context_route(filt, dimg, dguidance)}
    graphs = {name: routes[name]() for name in (args.graphs or names).split(",")}
    whole = filt.joint_bilateral_filter(img, guidance)
    best = {}
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0",
                                  env=env) as cluster, distributed.Client(cluster) as client:
        workers = [psutil.Process(pid) for pid in client.run(os.getpid).values()]
        # The nannies run in this process: count it once.
        involved = [psutil.Process()] + workers
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
    shutil.rmtree(folder)
    for name in graphs:
        line = f"{name:18s} minimum:"
        for kind in ("wall", "cpu"):
            p, t = best[name, "processes", kind], best[name, "threads", kind]
            line += f"  {kind} processes {p:.2f} s, threads {t:.2f} s, processes / threads {p / t:.2f};"
        print(line.rstrip(";"))


if __name__ == "__main__":
    main()
