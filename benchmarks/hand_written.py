"""Hand-written parts of sovelk_tools against the library calls that could stand in for them.

    python benchmarks/hand_written.py probes     # depth probing: cost of OpenCV round trips
    python benchmarks/hand_written.py rescale    # 8-bit rescale against skimage.img_as_ubyte
    python benchmarks/hand_written.py borders    # reflect_index / take_block against np.pad
    python benchmarks/hand_written.py tiles      # share of take_block in a tiled run of the class
    python benchmarks/hand_written.py tasks      # tasks of filter_dask's graph and of map_overlap's

docs/dependencies.md has the figures and what was decided. (Image headers: header_sizes.py;
tiling and the Dask graph against dask.array.map_overlap: tiled_bench.py --route map_overlap and
dask_workers.py.)
"""

import argparse
import time
import timeit
import tracemalloc
import warnings

import numpy as np


def probes():
    from sovelk_tools.outputs import written_dtype

    kinds = [(np.dtype(d), c) for d in ("uint16", "int16", "int32", "float32", "float64") for c in (1, 3)]
    for ext in (".png", ".jpg", ".tif", ".webp", ".pfm", ".hdr", ".jp2", ".avif"):
        for rnd in range(2):
            start = time.perf_counter()
            for dtype, channels in kinds:
                try:
                    written_dtype("x" + ext, dtype, channels)
                except Exception:  # noqa: BLE001 - a refusal (UserError) is an answer too
                    pass
            seconds = time.perf_counter() - start
            if rnd == 0:
                first = seconds
        print(f"{ext:6s} first {len(kinds)} answers {first * 1e3:6.1f} ms, then {seconds / len(kinds) * 1e6:5.1f} us each")


def peak_and_time(call):
    tracemalloc.start()
    start = time.perf_counter()
    out = call()
    seconds = time.perf_counter() - start
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    return out, seconds, peak


def rescale():
    from skimage import img_as_ubyte

    from sovelk_tools.depths import to_uint8

    rng = np.random.default_rng(0)
    every16 = np.arange(65536, dtype=np.uint16)
    ramp = np.linspace(0, 1, 1_000_001, dtype=np.float32)
    for name, values in (("uint16, every value", every16), ("float32 ramp 0..1", ramp)):
        ours = to_uint8(values)[0].astype(int)
        theirs = img_as_ubyte(values).astype(int)
        diff = ours - theirs
        print(f"{name}: {np.count_nonzero(diff)} of {values.size} differ, by {diff.min()} to {diff.max()}")
    for bad in (np.float32([1.5]), np.float32([-0.2])):
        try:
            got = img_as_ubyte(bad)
            print(f"img_as_ubyte({bad[0]}) = {got[0]}; to_uint8 gives {to_uint8(bad)[0][0]} and counts it as outside")
        except ValueError as exc:
            print(f"img_as_ubyte({bad[0]}): ValueError {exc}; to_uint8 gives {to_uint8(bad)[0][0]} with a note")
    big16 = rng.integers(0, 65536, (3000, 4000, 3), dtype=np.uint16)
    big32 = rng.random((3000, 4000, 3), dtype=np.float32)
    warnings.simplefilter("ignore")
    for name, arr in (("uint16", big16), ("float32", big32)):
        for label, call in (("to_uint8", lambda: to_uint8(arr)), ("img_as_ubyte", lambda: img_as_ubyte(arr))):
            _, seconds, peak = peak_and_time(call)
            print(f"3000x4000x3 {name:7s} {label:12s} {seconds:.3f} s, peak {peak / 2**20:.0f} MiB "
                  f"(array {arr.nbytes / 2**20:.0f} MiB)")


def borders():
    import cv2

    from sovelk_tools._border import reflect_index, take_block, window_index

    mismatches = 0
    for n in range(1, 9):
        line = np.arange(n)
        for pad in range(0, 3 * n + 4):
            ours = line[reflect_index(np.arange(-pad, n + pad), n)]
            opencv = cv2.copyMakeBorder(line.astype(np.uint8)[None], 0, 0, pad, pad, cv2.BORDER_REFLECT)[0]
            mismatches += not (np.array_equal(ours, np.pad(line, pad, mode="symmetric"))
                               and np.array_equal(ours, opencv))
    print(f"reflect_index against np.pad(mode='symmetric') and cv2 BORDER_REFLECT, axes 1..8, pads 0..3n+3: "
          f"{mismatches} mismatches")
    img = np.random.default_rng(0).integers(0, 256, (4000, 4000, 3), dtype=np.uint8)
    pad, tile, side = 9, 512, 4000

    def ours(r0, c0):
        return take_block(img, window_index(r0, r0 + tile, pad, side), window_index(c0, c0 + tile, pad, side))

    def padded(r0, c0):
        lo_r, hi_r, lo_c, hi_c = r0 - pad, r0 + tile + pad, c0 - pad, c0 + tile + pad
        block = img[max(lo_r, 0):min(hi_r, side), max(lo_c, 0):min(hi_c, side)]
        widths = ((max(0, -lo_r), max(0, hi_r - side)), (max(0, -lo_c), max(0, hi_c - side)), (0, 0))
        return np.pad(block, widths, mode="symmetric")

    for name, (r0, c0) in {"corner": (0, 0), "edge": (0, 1024), "inside": (1024, 1024)}.items():
        assert np.array_equal(ours(r0, c0), padded(r0, c0))
        t_ours = min(timeit.repeat(lambda: ours(r0, c0), number=50, repeat=5)) / 50
        t_pad = min(timeit.repeat(lambda: padded(r0, c0), number=50, repeat=5)) / 50
        print(f"{name} tile of 4000x4000x3 with pad 9: take_block {t_ours * 1e6:.0f} us, "
              f"slice + np.pad {t_pad * 1e6:.0f} us")


def tiles():
    import Sovelk
    import sovelk_tools.tiled as tiled

    rng = np.random.default_rng(0)
    img = rng.integers(0, 256, (4000, 4000, 3), dtype=np.uint8)
    guidance = img[:, :, 0].copy()
    filt = Sovelk.Joint_bilateral_filter(3, 0.1)
    real = tiled.take_block
    spent = [0.0]

    def timed(*args):
        start = time.perf_counter()
        try:
            return real(*args)
        finally:
            spent[0] += time.perf_counter() - start

    tiled.take_block = timed
    for tile in (512, 256):
        spent[0] = 0.0
        start = time.perf_counter()
        tiled.filter_tiled(filt, img, guidance, tile=tile)
        total = time.perf_counter() - start
        print(f"class, 4000x4000x3, sigma_s 3, tile {tile}: {total:.2f} s, take_block {spent[0]:.3f} s "
              f"({100 * spent[0] / total:.1f}%)")


def tasks():
    import dask.array as da
    import Sovelk

    from sovelk_tools import filter_dask

    img = np.zeros((2000, 3000, 3), np.uint8)
    filt = Sovelk.Joint_bilateral_filter(3, 0.1)
    dimg, dguidance = da.from_array(img, chunks=(512, 512, 3)), da.from_array(img[:, :, 0], chunks=512)
    graphs = {"filter_dask": filter_dask(filt, dimg, dguidance),
              "map_overlap": da.map_overlap(lambda i, g: filt.joint_bilateral_filter(i, g[:, :, 0]), dimg,
                                            dguidance[:, :, None], depth=[{0: 9, 1: 9, 2: 0}] * 2,
                                            boundary="none", align_arrays=False, dtype=np.uint8)}
    for name, lazy in graphs.items():
        count = len(dict(lazy.__dask_graph__()))
        print(f"{name}: {count} tasks for {dimg.npartitions} chunks of two inputs (their own chunk tasks included)")


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("part", choices=("probes", "rescale", "borders", "tiles", "tasks"))
    {"probes": probes, "rescale": rescale, "borders": borders, "tiles": tiles, "tasks": tasks}[p.parse_args().part]()


if __name__ == "__main__":
    main()
