"""Module initialisation: globals, the class, re-imports and failed imports.

Anything that imports the module anew runs in a fresh interpreter, so the process-wide state of
this test process is never disturbed.
"""

import ast
import json
import sys

import cv2
import numpy as np
import pytest

import Sovelk
from conftest import SNIPPET_PRELUDE, Filter, run_json, run_python

METHOD_ORDER = ["__init__", "get_range_table", "get_spatial_kernel", "get_range_kernel",
                "joint_bilateral_filter"]
IMPORT_DUNDERS = {"__name__", "__doc__", "__loader__", "__file__", "__package__", "__spec__"}


def test_module_globals():
    assert Sovelk.np is np and Sovelk.cv2 is cv2
    assert Sovelk.__doc__ is None
    # Order is checked on a fresh import: other tests here rebind globals for a while.
    out = run_json(SNIPPET_PRELUDE + """
import Sovelk
report(names=list(vars(Sovelk)), name=Sovelk.__name__, doc=Sovelk.__doc__)
""")
    assert [n for n in out["names"] if n not in IMPORT_DUNDERS] == ["np", "cv2", "Joint_bilateral_filter"]
    assert out["name"] == "Sovelk" and out["doc"] is None


def test_class_is_built_like_a_plain_class():
    methods = {name: vars(Filter)[name] for name in METHOD_ORDER}
    # What type() itself adds to the namespace is the interpreter's business: compare with a
    # class made by the same call from the same namespace.
    twin = type("Joint_bilateral_filter", (object,),
                {"__module__": "Sovelk", "__qualname__": "Joint_bilateral_filter", **methods})
    assert list(vars(Filter)) == list(vars(twin))
    assert list(vars(Filter))[:6] == ["__module__"] + METHOD_ORDER
    assert type(Filter) is type and Filter.__bases__ == (object,)
    assert (Filter.__name__, Filter.__qualname__, Filter.__module__) == (
        "Joint_bilateral_filter", "Joint_bilateral_filter", "Sovelk")
    assert Filter.__doc__ is None


def test_second_import_returns_the_same_module_and_skips_the_body():
    out = run_json(SNIPPET_PRELUDE + """
import importlib
import Sovelk as first
cls = first.Joint_bilateral_filter
first.np = "rebound"
del sys.modules["Sovelk"]
import Sovelk as second
same_after_import = second is first and second.Joint_bilateral_filter is cls
kept_after_import = second.np
importlib.reload(second)
report(same=same_after_import and sys.modules["Sovelk"] is first and first.Joint_bilateral_filter is cls,
       kept=[kept_after_import, first.np])
""")
    assert out == {"same": True, "kept": ["rebound", "rebound"]}


@pytest.mark.skipif(sys.version_info < (3, 11), reason="exception notes arrived in 3.11")
def test_missing_opencv_says_what_to_install():
    out = run_json(SNIPPET_PRELUDE + """
sys.modules["cv2"] = None
try:
    import Sovelk
    failure = None
except ModuleNotFoundError as e:
    failure = [e.name, getattr(e, "__notes__", [])]
report(failure=failure)
""")
    name, notes = out["failure"]
    assert name == "cv2" and len(notes) == 1 and "pip install opencv-python-headless" in notes[0]


BLOCKER = """
class Blocker:
    def find_spec(self, name, path=None, target=None):
        if name == "{0}":
            raise ImportError("{0} blocked")
sys.meta_path.insert(0, Blocker())"""

FAILED_IMPORTS = [  # (id, set-up, undo, exception, text or None for "names the module", line, globals bound)
    ("numpy-none", 'sys.modules["numpy"] = None', 'del sys.modules["numpy"]', "ModuleNotFoundError", None, 1, []),
    ("numpy-finder", BLOCKER.format("numpy"), "sys.meta_path.pop(0)", "ImportError", "numpy blocked", 1, []),
    ("cv2-none", 'sys.modules["cv2"] = None', 'del sys.modules["cv2"]', "ModuleNotFoundError", None, 2, ["np"]),
    ("cv2-finder", BLOCKER.format("cv2"), "sys.meta_path.pop(0)", "ImportError", "cv2 blocked", 2, ["np"]),
    ("no-object", "saved = builtins.object; del builtins.object", "builtins.object = saved",
     "NameError", "name 'object' is not defined", 1, []),
    ("no-range", "saved = builtins.range; del builtins.range", "builtins.range = saved",
     "NameError", "name 'range' is not defined", 1, []),
]


@pytest.mark.parametrize("setup, undo, kind, text, line, bound", [c[1:] for c in FAILED_IMPORTS],
                         ids=[c[0] for c in FAILED_IMPORTS])
def test_failed_import_leaves_nothing_behind(setup, undo, kind, text, line, bound):
    out = run_json(SNIPPET_PRELUDE + f"""
import builtins, importlib.util
found = importlib.util.find_spec("Sovelk")
first = importlib.util.module_from_spec(found)
{setup}
try:
    found.loader.exec_module(first)
    failure = None
except Exception as e:
    failure = e
{undo}
# Read only once the builtins are whole again: 3.13's traceback module calls range().
failure = failure and [type(failure).__name__, str(failure), entries(failure)]
names = [n for n in vars(first) if not n.startswith("__")]
import Sovelk
report(failure=failure, names=names, fresh=Sovelk is not first, works=Sovelk.Joint_bilateral_filter(1, 0.1).pad_w)
""")
    got_kind, got_text, entries = out["failure"]
    assert got_kind == kind and (got_text == text if text else ("numpy" if line == 1 else "cv2") in got_text)
    ours = [e for e in entries if e[1] == "Sovelk"]
    assert ours == [["init Sovelk", "Sovelk", line]] and entries.index(ours[0]) > 0
    # The class is never bound; a later import starts again with a new module object.
    assert out["names"] == bound
    assert out["fresh"] is True and out["works"] == 3


def test_replaced_import_function_is_not_consulted():
    out = run_json(SNIPPET_PRELUDE + """
import builtins
import numpy, cv2
original = builtins.__import__
def refusing_import(name, *args, **kwargs):
    if name in ("numpy", "cv2"):
        raise ImportError("replaced __import__ consulted for " + name)
    return original(name, *args, **kwargs)
builtins.__import__ = refusing_import
import Sovelk
builtins.__import__ = original
report(np=Sovelk.np is numpy, cv2=Sovelk.cv2 is cv2)
""")
    assert out == {"np": True, "cv2": True}


def test_exec_of_a_second_module_object_is_refused():
    out = run_json(SNIPPET_PRELUDE + """
import importlib.util
found = importlib.util.find_spec("Sovelk")
first = importlib.util.module_from_spec(found)
second = importlib.util.module_from_spec(found)
found.loader.exec_module(first)
try:
    found.loader.exec_module(second)
    failure = None
except RuntimeError as e:
    failure = [str(e), [x for x in entries(e) if x[1] == "Sovelk"]]
again = importlib.util.module_from_spec(found)
report(distinct=first is not second, failure=failure, again=again is first,
       second_names=[n for n in vars(second) if not n.startswith("__")])
""")
    assert out == {
        "distinct": True,
        "failure": ["Module 'Sovelk' has already been imported. Re-initialisation is not supported.", []],
        "again": True,
        "second_names": [],
    }


INTERPRETER_CHANGE = ("Interpreter change detected - this module can only be loaded into one "
                      "interpreter per process.")

# Each version's private subinterpreter module: a subinterpreter that shares the main
# interpreter's GIL and allows any extension ("legacy"), or an isolated one (3.12 on).
SUBINTERPRETERS = '''
try:
    import _interpreters as interpreters
    def new_interpreter(isolated):
        return interpreters.create("isolated" if isolated else "legacy")
except ImportError:
    import _xxsubinterpreters as interpreters
    def new_interpreter(isolated):
        if sys.version_info < (3, 12):
            return interpreters.create()
        return interpreters.create(isolated=isolated)

def import_in_subinterpreter(isolated=False):
    sub = new_interpreter(isolated)
    interpreters.run_string(sub, """
try:
    import Sovelk
    outcome = None
except BaseException as e:
    outcome = [type(e).__name__, str(e)]
print("inside " + repr(outcome), flush=True)
""")
    interpreters.destroy(sub)

def filter_in_main():
    import numpy as np, Sovelk
    img = np.arange(5 * 6 * 3, dtype=np.uint8).reshape(5, 6, 3)
    return Sovelk.Joint_bilateral_filter(1, 0.1).joint_bilateral_filter(img, img[:, :, 0].copy()).tolist()
'''


def run_with_subinterpreters(code):
    """Run `code` in a fresh process; returns its last JSON line and what the subinterpreters saw."""
    proc = run_python(SNIPPET_PRELUDE + SUBINTERPRETERS + code, timeout=300)
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.strip().splitlines()
    inside = [ast.literal_eval(line.removeprefix("inside ")) for line in lines if line.startswith("inside ")]
    return json.loads(lines[-1]), inside


def test_only_the_main_interpreter_may_import(f):
    """Refused in a subinterpreter whether it comes first or after the main interpreter, and a
    refused subinterpreter never locks the main interpreter out (numpy and OpenCV do not work in
    a subinterpreter: OpenCV's binding deadlocks there)."""
    img = np.arange(5 * 6 * 3, dtype=np.uint8).reshape(5, 6, 3)
    expected = f.joint_bilateral_filter(img, img[:, :, 0].copy()).tolist()
    refused = ["ImportError", INTERPRETER_CHANGE]

    out, inside = run_with_subinterpreters("""
import_in_subinterpreter()
import_in_subinterpreter()
report(main=filter_in_main())
""")
    assert inside == [refused, refused] and out == {"main": expected}

    out, inside = run_with_subinterpreters("""
before = filter_in_main()
import_in_subinterpreter()
report(main=[before, filter_in_main()])
""")
    assert inside == [refused] and out == {"main": [expected, expected]}


@pytest.mark.skipif(sys.version_info < (3, 12), reason="isolated subinterpreters exist from 3.12 on")
def test_isolated_subinterpreter_is_refused_by_the_interpreter_itself():
    # Its own GIL: CPython refuses the module before its create runs, with CPython's own text.
    out, inside = run_with_subinterpreters("""
import_in_subinterpreter(isolated=True)
report(main=len(filter_in_main()))
""")
    assert inside == [["ImportError", "module Sovelk does not support loading in subinterpreters"]]
    assert out == {"main": 5}


def test_loaded_under_another_name_keeps_reporting_its_own():
    # The loader derives the entry point from the last name component, so a package-qualified
    # name is the way another name can reach the module.
    out = run_json(SNIPPET_PRELUDE + """
import importlib.util
import importlib.machinery
path = importlib.util.find_spec("Sovelk").origin
found = importlib.util.spec_from_file_location("pkg.Sovelk", path)
module = importlib.util.module_from_spec(found)
found.loader.exec_module(module)
cls = module.Joint_bilateral_filter
import Sovelk
try:
    cls(object(), 0.1)
except TypeError as e:
    failure = [x for x in entries(e) if x[1] == "Sovelk"]
report(name=module.__name__, package=module.__package__, cls_module=cls.__module__,
       method_modules=sorted({m.__module__ for m in (cls.__init__, cls.joint_bilateral_filter)}),
       failure=failure, same=Sovelk is module, wndw=cls(1, 0.1).wndw_size)
""")
    assert out == {"name": "pkg.Sovelk", "package": "pkg", "cls_module": "Sovelk",
                   "method_modules": ["Sovelk"],
                   "failure": [["Sovelk.Joint_bilateral_filter.__init__", "Sovelk", 9]],
                   "same": True, "wndw": 7}
