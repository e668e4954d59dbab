"""Workload for tools/valgrind.sh: every scenario of tests/hardening/test_leaks.py, a few times.

Succeeding and failing calls of every method run ROUNDS times each (argument 1, default 5), so
that memory the module loses shows up in memcheck's "definitely lost" records with the module's
frames in the allocation stack. With "--baseline" only the imports and object setup run, which
tells the interpreter's and the libraries' own losses apart.
"""

import os
import sys
import warnings

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

from hardening import test_leaks  # noqa: E402

baseline = "--baseline" in sys.argv
args = [a for a in sys.argv[1:] if not a.startswith("--")]
rounds = int(args[0]) if args else 5

with warnings.catch_warnings():
    warnings.simplefilter("ignore")
    for name in test_leaks.SCENARIOS:
        call, _, expected = test_leaks.scenario_objects(name)
        if not baseline:
            test_leaks.run(call, expected, rounds)
print(f"workload done: {len(test_leaks.SCENARIOS)} scenarios x {0 if baseline else rounds} calls")
