"""Several Python threads filtering at once against the same calls one after another.

The module's worker pool is shared by every call: threads that filter at the same moment queue
for it instead of each starting a thread per core. Concurrent calls should therefore take no
longer than the same calls in a row. Prints the wall-clock time of both ways (best of the
repetitions, measured alternately so that a noisy neighbour hits both alike) and their ratio.

    PYTHONPATH=BUILD_DIR:python python benchmarks/pool_bench.py [--threads 4] [--size 512]
        [--sigma-s 3] [--repeats 7] [--colour]
"""

import argparse
import os
import threading
import time

import numpy as np

import Sovelk


def concurrent(f, inputs):
    barrier = threading.Barrier(len(inputs) + 1)
    errors = []

    def body(img, g):
        barrier.wait()
        try:
            f.joint_bilateral_filter(img, g)
        except BaseException as exc:  # reported after the timing
            errors.append(exc)

    threads = [threading.Thread(target=body, args=pair) for pair in inputs]
    for t in threads:
        t.start()
    barrier.wait()
    t0 = time.perf_counter()
    for t in threads:
        t.join()
    elapsed = time.perf_counter() - t0
    if errors:
        raise errors[0]
    return elapsed


def in_a_row(f, inputs):
    t0 = time.perf_counter()
    for img, g in inputs:
        f.joint_bilateral_filter(img, g)
    return time.perf_counter() - t0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--threads", type=int, default=4)
    parser.add_argument("--size", type=int, default=512)
    parser.add_argument("--sigma-s", type=int, default=3)
    parser.add_argument("--repeats", type=int, default=7)
    parser.add_argument("--colour", action="store_true", help="colour guidance instead of gray")
    args = parser.parse_args()

    rng = np.random.default_rng(0)
    inputs = []
    for _ in range(args.threads):
        img = rng.integers(0, 256, size=(args.size, args.size, 3)).astype(np.uint8)
        g = img.copy() if args.colour else img[:, :, 0].copy()
        inputs.append((img, g))
    f = Sovelk.Joint_bilateral_filter(args.sigma_s, 0.1)
    f.joint_bilateral_filter(*inputs[0])  # start the pool and fault the code in

    best_concurrent = best_row = float("inf")
    for _ in range(args.repeats):
        best_concurrent = min(best_concurrent, concurrent(f, inputs))
        best_row = min(best_row, in_a_row(f, inputs))
    cores = len(os.sched_getaffinity(0))
    print(f"{args.threads} calls of {args.size}x{args.size}x3, sigma_s {args.sigma_s}, "
          f"{'colour' if args.colour else 'gray'} guidance, {cores} CPUs, "
          f"SOVELK_NUM_THREADS={os.environ.get('SOVELK_NUM_THREADS', 'unset')}, best of {args.repeats}")
    print(f"  {args.threads} threads at once: {best_concurrent * 1e3:8.1f} ms")
    print(f"  one after another:  {best_row * 1e3:8.1f} ms")
    print(f"  at once / in a row: {best_concurrent / best_row:8.3f}")


if __name__ == "__main__":
    main()
