"""Subinterpreters: every interpreter that imports jadefox gets its own
JadeDict and PanicException classes, so no class object is ever seen by two
interpreters (each has its own type version tags, method caches and, when
isolated, allocator). Legacy, isolated shared-GIL and own-GIL interpreters
all import the module; patching a class in one leaves every other
interpreter's class as it was; the main interpreter keeps working classes
after any subinterpreter is gone.

Each test runs in a child process: a fault here can take the process down.
Code run inside a subinterpreter reports by printing lines that begin with
"sub:"; it ends with a "sub:\"done\"" line, so a failure that an API does not
report still shows (the child's own checks end in an assertion)."""

import importlib.util
import json
import os
import sys
import textwrap

import pytest

from single_thread import CHILD_PROCESSES
from support import run_py

pytestmark = CHILD_PROCESSES


def _has(module: str) -> bool:
    try:
        return importlib.util.find_spec(module) is not None
    except ImportError:  # a missing parent package
        return False


# Every way this interpreter can make a subinterpreter, by kind: child-process
# code defining run_in_new_interpreter(code), which runs `code` in a new
# interpreter and closes it. (kind, API module, code)
INTERPRETERS = [
    # Py_NewInterpreter: the legacy config (shared GIL and allocator).
    (
        "legacy",
        "_testcapi",
        """
        import _testcapi
        def run_in_new_interpreter(code):
            _testcapi.run_in_subinterp(code)
    """,
    ),
    (
        "legacy",
        "_interpreters",
        """
        import _interpreters
        def run_in_new_interpreter(code):
            config = _interpreters.new_config("legacy")
            assert config.gil == "shared" and config.use_main_obmalloc, config
            interp = _interpreters.create(config)
            try:
                _interpreters.exec(interp, code)
            finally:
                _interpreters.destroy(interp)
    """,
    ),
    # Its own allocator, the main interpreter's GIL.
    (
        "isolated-shared-gil",
        "_interpreters",
        """
        import _interpreters
        def run_in_new_interpreter(code):
            config = _interpreters.new_config("isolated", gil="shared")
            assert not config.use_main_obmalloc, config
            interp = _interpreters.create(config)
            try:
                _interpreters.exec(interp, code)
            finally:
                _interpreters.destroy(interp)
    """,
    ),
    (
        "isolated-shared-gil",
        "_testcapi",
        """
        import _testcapi
        assert sys.version_info < (3, 13)  # 3.13 moved this to _testinternalcapi
        def run_in_new_interpreter(code):
            _testcapi.run_in_subinterp_with_config(  # gil=1: the main interpreter's
                code, use_main_obmalloc=False, allow_fork=False, allow_exec=False, allow_threads=True,
                allow_daemon_threads=False, check_multi_interp_extensions=True, gil=1)
    """,
    ),
    # A GIL of its own: the public API from 3.14, the private ones before.
    (
        "own-gil",
        "concurrent.interpreters",
        """
        from concurrent import interpreters
        def run_in_new_interpreter(code):
            interp = interpreters.create()
            try:
                interp.exec(code)
            finally:
                interp.close()
    """,
    ),
    (
        "own-gil",
        "_interpreters",
        """
        import _interpreters
        def run_in_new_interpreter(code):
            config = _interpreters.new_config("isolated")
            assert config.gil == "own", config
            interp = _interpreters.create(config)
            try:
                _interpreters.exec(interp, code)
            finally:
                _interpreters.destroy(interp)
    """,
    ),
    (
        "own-gil",
        "_xxsubinterpreters",
        """
        import _xxsubinterpreters
        def run_in_new_interpreter(code):
            interp = _xxsubinterpreters.create(isolated=True)
            try:
                _xxsubinterpreters.run_string(interp, code)
            finally:
                _xxsubinterpreters.destroy(interp)
    """,
    ),
]


def _available(api: str, code: str) -> bool:
    if not _has(api):
        return False
    if api == "_testcapi" and "run_in_subinterp_with_config" in code:
        return sys.version_info < (3, 13)
    if api == "_interpreters" and "legacy" not in code:
        return sys.version_info >= (3, 13)
    return True


KINDS = [
    pytest.param(
        code,
        id=f"{kind}-{api}",
        marks=pytest.mark.skipif(not _available(api, code), reason=f"this interpreter cannot make that one with {api}"),
    )
    for kind, api, code in INTERPRETERS
]


def run_child(api_code: str, body: str, path: str = ""):
    """Runs the code in a child process; `path` joins its PYTHONPATH, which
    every interpreter it makes starts from (sys.path is per interpreter)."""
    code = "import sys\n" + textwrap.dedent(api_code) + textwrap.dedent(body)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [path, os.environ.get("PYTHONPATH")])))
    r = run_py(code, timeout=120, env=env)
    assert r.returncode == 0, f"child exit {r.returncode}\n{r.stdout}\n{r.stderr}"
    return r


def sub_reports(stdout: str) -> list:
    return [json.loads(line[len("sub:") :]) for line in stdout.splitlines() if line.startswith("sub:")]


# Shared by both sides: one computation whose every result is reported as the
# hex of its bits, and an internal failure caught as PanicException.
COMPUTE = """
import copy, pickle, sys
import jadefox
from jadefox import JadeDict

def compute():
    d = JadeDict({"x": 0.1, "y": -0.0, "z": float("inf"), "w": 1e308})
    e = d.add(JadeDict({"x": 0.2, "w": 1e308}), fill=1.0)
    results = [e.sum(), d.multiply(e).product(), d.divide_scalar(3.0)["x"], e["y"], d.subtract(d)["z"],
               pickle.loads(pickle.dumps(e))["z"], copy.deepcopy(d)["x"], d.reset(-0.0).sum()]
    return [r.hex() for r in results] + [sorted(e.to_dict)]

def caught_panic():
    class Grow:
        def __init__(self, target):
            self.target = target
        def __float__(self):
            self.target["grown"] = 0.0
            return 2.0
    src = {"a": 1.0}
    src["b"] = Grow(src)
    try:
        JadeDict(src)
    except BaseException as e:
        assert str(e) == "dictionary changed size during iteration", str(e)
        return type(e)
    raise AssertionError("no PanicException")
"""

# Run in a subinterpreter: its classes work, are its own (not the ids the
# main interpreter printed) and stay its own across a re-import.
SUB_WORKS = (
    COMPUTE
    + """
import json
panic = caught_panic()
assert panic.__name__ == "PanicException" and panic.__module__ == "vexo_runtime"
assert panic.__bases__ == (BaseException,) and caught_panic() is panic
del sys.modules["jadefox"]
import jadefox as again
assert again.JadeDict is JadeDict and again.__all__ == ["JadeDict"] and again is not jadefox
print("sub:" + json.dumps([id(JadeDict), id(panic), compute()]), flush=True)
print('sub:"done"', flush=True)
"""
)


@pytest.mark.parametrize("main_first", [True, False], ids=["main-imports-first", "sub-imports-first"])
@pytest.mark.parametrize("api_code", KINDS)
def test_every_interpreter_gets_its_own_working_classes(api_code, main_first):
    body = f"""
        import gc, json
        if {main_first}:
            exec({COMPUTE!r})
            main_classes = (JadeDict, caught_panic())
            print("main:", id(JadeDict), id(main_classes[1]))
        for _ in range(2):  # a second interpreter makes its classes anew
            run_in_new_interpreter({SUB_WORKS!r})
        gc.collect()
        if not {main_first}:
            exec({COMPUTE!r})
            main_classes = (JadeDict, caught_panic())
            print("main:", id(JadeDict), id(main_classes[1]))
        assert main_classes == (jadefox.JadeDict, caught_panic())
        print("main-results:" + json.dumps(compute()))
    """
    r = run_child(api_code, body)
    reports = sub_reports(r.stdout)
    assert len(reports) == 4 and reports[1::2] == ["done", "done"], r.stdout
    main_ids = next(line.split()[1:] for line in r.stdout.splitlines() if line.startswith("main:"))
    main_results = next(
        json.loads(line.split(":", 1)[1]) for line in r.stdout.splitlines() if line.startswith("main-results:")
    )
    for cls_id, panic_id, results in reports[0::2]:
        if main_first:  # both alive at once, so their ids cannot coincide
            assert str(cls_id) != main_ids[0] and str(panic_id) != main_ids[1]
        assert results == main_results  # bit for bit


# Run in a subinterpreter: its classes patched every way Python allows.
PATCH_IN_SUB = (
    COMPUTE
    + """
panic = caught_panic()
JadeDict.sum = lambda self: "patched"
del JadeDict.product
JadeDict.extra = [1, 2, 3]
JadeDict.__doc__ = "patched"
panic.extra = {"k": "v"}
panic.__init__ = lambda self, *a: None
d = JadeDict({"a": 1.0})
assert d.sum() == "patched" and not hasattr(d, "product") and d.extra == [1, 2, 3]
del JadeDict.extra, panic.extra
JadeDict.extra = "again"
# The patched sum's globals must not keep an instance: instances are not
# tracked by the collector, so class -> sum -> globals -> d -> class would be
# a cycle that outlives the interpreter.
del d
print('sub:"done"', flush=True)
"""
)

MAIN_UNPATCHED = """
d = JadeDict({"a": 1.5, "b": 2.0})
assert d.sum() == 3.5 and d.product() == 3.0 and not hasattr(JadeDict, "extra")
assert "patched" not in JadeDict.__doc__
panic = caught_panic()
assert not hasattr(panic, "extra") and "__init__" not in vars(panic)
# The main interpreter's own classes stay patchable: replacing and deleting
# frees what the class dict held, with this interpreter's allocator.
original = dict(vars(JadeDict))
JadeDict.sum = lambda self: "main"
assert d.sum() == "main"
del JadeDict.sum, JadeDict.product
JadeDict.__doc__ = "main"
JadeDict.sum, JadeDict.product, JadeDict.__doc__ = original["sum"], original["product"], original["__doc__"]
panic.note = 1
del panic.note
assert compute() == before
print("main: ok")
"""


@pytest.mark.parametrize("main_first", [True, False], ids=["main-imports-first", "sub-imports-first"])
@pytest.mark.parametrize("api_code", KINDS)
def test_patching_a_class_stays_in_its_interpreter(api_code, main_first):
    body = f"""
        if {main_first}:
            exec({COMPUTE!r})
            before = compute()
        run_in_new_interpreter({PATCH_IN_SUB!r})
        if not {main_first}:
            exec({COMPUTE!r})
            before = compute()
        run_in_new_interpreter({PATCH_IN_SUB!r})  # while the main one is held
    """
    r = run_child(api_code, textwrap.dedent(body) + MAIN_UNPATCHED)
    assert sub_reports(r.stdout) == ["done", "done"], r.stdout
    assert r.stdout.splitlines()[-1] == "main: ok"


# Classes defined in a subinterpreter take type version tags from its own
# counter, which starts where every interpreter's does. Each probe class
# answers `sum` and `x` and has slots where JadeDict keeps its record: had a
# JadeDict class been shared, a probe carrying its tag (the first class a
# new interpreter defines, or one forced to that tag) would answer for it in
# the method cache and the specialised attribute loads.
VERSION_PROBES = '''
import json
def probe_class():
    class Probe:
        __slots__ = ("keys", "values")
        x = "wrong"
        def sum(self):
            return "wrong"
    return Probe

def probe_calls(cls, d):
    wrong = 0
    for _ in range(200):  # enough to specialise
        wrong += cls().sum() != "wrong"
        wrong += d.sum() != 3.5
        try:
            d.x
        except AttributeError:
            pass
        else:
            wrong += 1
    return wrong

def forced_probe(tag):
    """A probe carrying `tag` where _testcapi can force one (3.13+, and not
    in interpreters that refuse to load it); else the first class made."""
    probe = probe_class()
    if tag is not None:
        try:
            from _testcapi import type_assign_specific_version_unsafe as force
        except ImportError:
            return probe
        force(probe, tag)
    return probe
'''

SUB_PROBES = (
    VERSION_PROBES
    + """
probe = forced_probe(TAG)
import jadefox
d = jadefox.JadeDict({"a": 1.5, "b": 2.0})
print("sub:" + json.dumps(probe_calls(probe, d) + probe_calls(probe_class(), d)), flush=True)
print('sub:"done"', flush=True)
"""
)


MAIN_PROBES = """
import jadefox, gc
d = jadefox.JadeDict({"a": 1.5, "b": 2.0})
assert probe_calls(probe_class(), d) == 0
"""


# main-first: the subinterpreter's first class, or one forced to the tag of
# the main interpreter's class; sub-first: the main interpreter's classes
# made after the subinterpreter that imported first is gone.
@pytest.mark.parametrize(
    "main_first, forced",
    [
        pytest.param(True, False, id="main-first"),
        pytest.param(
            True,
            True,
            id="main-first-forced-tag",
            marks=pytest.mark.skipif(
                not _has("_testcapi"), reason="this interpreter ships no _testcapi to read a version tag"
            ),
        ),
        pytest.param(False, False, id="sub-first"),
    ],
)
@pytest.mark.parametrize("api_code", KINDS)
def test_version_tags_of_other_interpreters_never_reach_a_jadedict(api_code, main_first, forced):
    body = VERSION_PROBES + textwrap.dedent(f"""
        tag = None
        if {main_first}:
            exec({MAIN_PROBES!r})
            if {forced}:
                import _testcapi
                tag = _testcapi.type_get_version(jadefox.JadeDict)
        run_in_new_interpreter({SUB_PROBES!r}.replace("TAG", repr(tag)))
        if not {main_first}:
            exec({MAIN_PROBES!r})
        gc.collect()
        assert probe_calls(probe_class(), d) == 0
        assert jadefox.JadeDict({{"a": 1.5, "b": 2.0}}).add(d).sum() == 7.0
        print("main: ok")
    """)
    r = run_child(api_code, body)
    assert sub_reports(r.stdout) == [0, "done"], r.stdout
    assert r.stdout.splitlines()[-1] == "main: ok"


# A pool of own-GIL interpreters (3.14+): the workers' results equal the
# main interpreter's bit for bit, and the main interpreter's classes are
# untouched by whatever the workers did to theirs.
POOL_WORK = (
    COMPUTE
    + """
def patch():
    JadeDict.sum = lambda self: "patched"
    return compute.__module__
"""
)


@pytest.mark.skipif(not _has("concurrent.futures.interpreter"), reason="InterpreterPoolExecutor is new in 3.14")
def test_interpreter_pool_workers_match_the_main_interpreter(tmp_path):
    (tmp_path / "pool_work.py").write_text(POOL_WORK)
    body = """
        import json
        from concurrent.futures import InterpreterPoolExecutor
        import pool_work
        want = pool_work.compute()
        with InterpreterPoolExecutor(max_workers=2) as pool:
            results = [pool.submit(pool_work.compute) for _ in range(8)]
            results = [f.result() for f in results]
            patched = [f.result() for f in [pool.submit(pool_work.patch) for _ in range(4)]]
        assert patched == ["pool_work"] * 4
        assert pool_work.JadeDict({"a": 1.5}).sum() == 1.5 and pool_work.compute() == want
        print(json.dumps([want, results]))
    """
    r = run_child("", body, path=str(tmp_path))
    want, results = json.loads(r.stdout.splitlines()[-1])
    assert results == [want] * 8  # bit for bit


@pytest.mark.skipif(sys.version_info < (3, 14), reason="concurrent.interpreters is new in 3.14")
def test_concurrent_interpreters_is_available_from_314():
    # Guards the skips above: from 3.14 on, the own-GIL case must really run
    # through the public API, not be skipped for want of it.
    assert _has("concurrent.interpreters") and _has("concurrent.futures.interpreter")
