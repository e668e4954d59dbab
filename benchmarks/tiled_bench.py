"""Peak memory of disk-to-disk tiled filtering.

Writes a SIZE x SIZE x 3 uint8 image and a gray guidance as .npy files, then
filters them tile by tile from memory maps into a memory-mapped .npy output in
a child process, and reports the child's peak resident set size (ru_maxrss)
next to its size before filtering.  The goal for the full 10000 x 10000 run is
a peak under 512 MiB, i.e. memory bounded by the tile, not by the image.

    python benchmarks/tiled_bench.py                    # 10000 x 10000, sigma_s 3, tile 512
    python benchmarks/tiled_bench.py --size 1500 --tile 64 --sigma-s 1   # quick run
    python benchmarks/tiled_bench.py --size 4000 --route map_overlap     # dask.array instead

--route map_overlap does the same with dask.array.map_overlap over the memory maps (chunks of
the tile's side, a margin of pad_w, the threaded scheduler) stored into the output with
da.store: what filter_tiled would be if it were built on dask. The checksum line tells whether
both routes wrote the same result.

The inputs (about 4 bytes per pixel) and the output (3 bytes per pixel) go to
--workdir, by default a temporary directory that is removed afterwards.
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
TARGET_MIB = 512


def _write_npy(path: str, shape: tuple, bands) -> None:
    """Write a uint8 .npy band by band with plain file writes.

    Not through a memory map: Linux carries a process's peak RSS over into the
    children it forks, so the parent must stay small for the child's figure to
    mean anything.
    """
    with open(path, "wb") as fh:
        np.lib.format.write_array_header_1_0(
            fh, {"descr": np.dtype(np.uint8).str, "fortran_order": False, "shape": shape}
        )
        for band in bands:
            fh.write(np.ascontiguousarray(band, dtype=np.uint8).tobytes())


def make_inputs(workdir: str, size: int, seed: int = 7) -> tuple:
    """Blocky guidance and a noisy image that follows it, generated 256 rows at a time."""
    img_path = os.path.join(workdir, "img.npy")
    guide_path = os.path.join(workdir, "guide.npy")
    cols = np.arange(size)
    starts = range(0, size, 256)

    def base(r0: int) -> np.ndarray:
        rows = np.arange(r0, min(r0 + 256, size))[:, None]
        return ((rows // 97 + cols[None, :] // 113) % 4 * 60).astype(np.int16)

    rng = np.random.default_rng(seed)
    _write_npy(guide_path, (size, size), (base(r0) for r0 in starts))
    _write_npy(
        img_path,
        (size, size, 3),
        (np.clip(b[:, :, None] + 30 + rng.integers(-25, 26, b.shape + (3,), dtype=np.int16), 0, 255)
         for b in (base(r0) for r0 in starts)),
    )
    return img_path, guide_path


def child(args: argparse.Namespace) -> None:
    """Runs in the measured process: only the filtering, nothing else."""
    import Sovelk
    from sovelk_tools import filter_tiled

    img = np.load(args.img, mmap_mode="r")
    guide = np.load(args.guide, mmap_mode="r")
    filt = Sovelk.Joint_bilateral_filter(args.sigma_s, args.sigma_r)
    before_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    out = np.lib.format.open_memmap(args.out, mode="w+", dtype=np.uint8, shape=img.shape)
    start = time.perf_counter()
    if args.route == "map_overlap":
        import dask.array as da

        pad = int(filt.pad_w)
        blocks = da.map_overlap(lambda i, g: filt.joint_bilateral_filter(i, g[:, :, 0]),
                                da.from_array(img, chunks=(args.tile, args.tile, 3)),
                                da.from_array(guide, chunks=args.tile)[:, :, None],
                                depth=[{0: pad, 1: pad, 2: 0}] * 2, boundary="none", align_arrays=False,
                                dtype=np.uint8)
        da.store(blocks, out, scheduler="threads")
    else:
        filter_tiled(filt, img, guide, tile=args.tile, out=out)
    seconds = time.perf_counter() - start
    checksum = int(np.asarray(out[:: max(1, img.shape[0] // 64)]).sum(dtype=np.uint64))
    del out
    print(json.dumps({"before_kib": before_kib, "seconds": seconds, "checksum": checksum}))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size", type=int, default=10000, help="image side in pixels (default 10000)")
    parser.add_argument("--tile", type=int, default=512, help="tile side (default 512)")
    parser.add_argument("--sigma-s", type=int, default=3)
    parser.add_argument("--sigma-r", type=float, default=0.1)
    parser.add_argument("--workdir", help="where the .npy files go (default: a temporary directory)")
    parser.add_argument("--keep", action="store_true", help="keep the files in --workdir")
    parser.add_argument("--route", choices=("filter_tiled", "map_overlap"), default="filter_tiled")
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--img", help=argparse.SUPPRESS)
    parser.add_argument("--guide", help=argparse.SUPPRESS)
    parser.add_argument("--out", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args)
        return 0

    workdir = args.workdir or tempfile.mkdtemp(prefix="sovelk-bench-")
    os.makedirs(workdir, exist_ok=True)
    try:
        t0 = time.perf_counter()
        img_path, guide_path = make_inputs(workdir, args.size)
        out_path = os.path.join(workdir, "out.npy")
        print(f"inputs: {args.size}x{args.size}x3 uint8 + gray guidance in {workdir} "
              f"({time.perf_counter() - t0:.1f} s to write)")
        env = dict(os.environ)
        env["PYTHONPATH"] = os.pathsep.join(
            [os.path.join(HERE, "..", "python")] + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p]
        )
        cmd = [sys.executable, os.path.abspath(__file__), "--child", "--img", img_path, "--guide", guide_path,
               "--out", out_path, "--tile", str(args.tile), "--sigma-s", str(args.sigma_s),
               "--sigma-r", str(args.sigma_r), "--route", args.route]
        proc = subprocess.Popen(cmd, env=env, stdout=subprocess.PIPE)
        # wait4 gives this child's own rusage, not that of every child so far.
        _, status, usage = os.wait4(proc.pid, 0)
        report = proc.stdout.read().decode() if proc.stdout else ""
        proc.stdout and proc.stdout.close()
        code = os.waitstatus_to_exitcode(status)
        if code != 0:
            print(f"child failed with exit code {code}", file=sys.stderr)
            return 1
        result = json.loads(report)
        peak_mib = usage.ru_maxrss / 1024  # Linux reports KiB
        before_mib = result["before_kib"] / 1024
        mpix = args.size * args.size / 1e6
        print(f"{args.route}: sigma_s={args.sigma_s} sigma_r={args.sigma_r} tile={args.tile}: "
              f"{result['seconds']:.1f} s, {mpix / result['seconds']:.2f} MP/s, checksum {result['checksum']}")
        print(f"peak RSS {peak_mib:.0f} MiB (after imports {before_mib:.0f} MiB); "
              f"input+output on disk {args.size * args.size * 7 / 2**20:.0f} MiB; "
              f"target < {TARGET_MIB} MiB: {'met' if peak_mib < TARGET_MIB else 'NOT met'}")
        return 0
    finally:
        if not args.keep:
            shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
