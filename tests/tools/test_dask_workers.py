"""Dask worker processes take the fast path for every block.

distributed unpickles the filter's kernel and tables from out-of-band buffers at any offset, so
worker processes see unaligned float64 arrays; those must not send a block to the statements.
"""
import numpy as np
import pytest

import Sovelk
from sovelk_tools import filter_dask

distributed = pytest.importorskip("distributed")


def _start_probe():
    import logging

    class Probe(logging.Handler):
        def __init__(self):
            super().__init__(logging.DEBUG)
            self.messages = []

        def emit(self, record):
            self.messages.append(record.getMessage())

    logger = logging.getLogger("Sovelk")
    logger.setLevel(logging.DEBUG)
    logger.propagate = False
    logger.sovelk_probe = Probe()
    logger.addHandler(logger.sovelk_probe)


def _probe_messages():
    import logging

    return logging.getLogger("Sovelk").sovelk_probe.messages


def test_process_workers_take_the_fast_path_for_every_block(monkeypatch):
    # Worker processes read SOVELK_EXPLAIN_PATH when they import the module.
    monkeypatch.setenv("SOVELK_EXPLAIN_PATH", "1")
    rng = np.random.default_rng(4)
    img = rng.integers(0, 256, (300, 260, 3), dtype=np.uint8)
    guidance = rng.integers(0, 256, (300, 260), dtype=np.uint8)
    filt = Sovelk.Joint_bilateral_filter(1, 0.1)
    da = pytest.importorskip("dask.array")
    lazy = filter_dask(filt, da.from_array(img, chunks=(100, 90, 3)), da.from_array(guidance, chunks=(100, 90)))
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=":0") as cluster, distributed.Client(cluster) as client:
        client.run(_start_probe)
        out = lazy.compute()
        messages = sum(client.run(_probe_messages).values(), [])
    assert np.array_equal(out, filt.joint_bilateral_filter(img, guidance))
    blocks = lazy.numblocks[0] * lazy.numblocks[1]
    assert blocks == 9
    assert len(messages) == blocks and all("8-bit fast path ran" in m for m in messages), messages
