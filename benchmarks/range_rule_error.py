"""How far the range rule's weights are from the exact Gaussian exp(-D^2 / (2 sigma^2)).

    python benchmarks/range_rule_error.py

The rule is taken from the tests' numpy model of it (tests/function_oracle.py), which the tests
hold bit for bit to the kernel on every instruction-set path. For each sigma (16-bit guidance at
sigma_r 0.1, 0.01, 0.3, and float guidance from 2^-30 to 2^35) it evaluates the rule on 400,000
differences up to where the weight falls to 2^-120, one channel and three, and prints the largest
relative error where the exact weight is at least 2^-20 (about 1e-6) and everywhere, and the
largest absolute error.
"""
import os
import sys

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
import function_oracle  # noqa: E402

SIGMAS = [0.1 * 65535, 0.01 * 65535, 0.3 * 65535, 1.0, 0.05, 3e-3, 1e5, 2.0 ** -30, 2.0 ** 35]


def main():
    rng = np.random.default_rng(0)
    worst = {}
    for sigma in SIGMAS:
        d_max = sigma * np.sqrt(2 * 120 * np.log(2))
        d = np.concatenate([np.linspace(0, d_max, 200001), rng.uniform(0, d_max, 200000)]).astype(np.float32)
        for channels in (1, 3):
            diffs = d[:, None] if channels == 1 else (d[:, None] * np.array([0.6, 0.64, 0.48], np.float32))
            diffs = diffs.astype(np.float32)
            rule = function_oracle.rule_weight(diffs, sigma).astype(np.float64)
            exact = np.exp(-(diffs.astype(np.float64) ** 2).sum(-1) / (2.0 * sigma * sigma))
            relative = np.abs(rule / exact - 1)
            for name, cut in (("relative, weight >= 2^-20", 2.0 ** -20), ("relative, everywhere", 0.0)):
                worst[(channels, name)] = max(worst.get((channels, name), 0.0), relative[exact >= cut].max())
            worst[(channels, "absolute")] = max(worst.get((channels, "absolute"), 0.0), np.abs(rule - exact).max())
    for (channels, name), value in sorted(worst.items()):
        print(f"{'gray' if channels == 1 else 'colour':6} {name:26} {value:.3g}")


if __name__ == "__main__":
    main()
