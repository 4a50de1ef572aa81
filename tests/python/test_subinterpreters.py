"""Subinterpreters: the JadeDict class is made once per process, so an
interpreter with its own GIL must be refused the import (ImportError) and
leave the main interpreter as it was; legacy subinterpreters, which share the
main interpreter's GIL, import the module and share its class.

Each test runs in a child process: a fault here can take the process down.
Code run inside a subinterpreter reports by printing lines that begin with
"sub:"; the child's own checks end in an assertion (non-zero exit)."""

import importlib.util
import json
import sys
import textwrap

import pytest

from support import ieee, run_py
from single_thread import CHILD_PROCESSES

pytestmark = CHILD_PROCESSES


def _has(module: str) -> bool:
    try:
        return importlib.util.find_spec(module) is not None
    except ImportError:  # a missing parent package
        return False


# How each interpreter version makes a subinterpreter and runs a string in
# it, as child-process code defining run_in_new_interpreter(code).
OWN_GIL = {
    # 3.14 on: the public API, which makes isolated interpreters only.
    "concurrent.interpreters": """
        from concurrent import interpreters
        def run_in_new_interpreter(code):
            interp = interpreters.create()
            try:
                interp.exec(code)
            finally:
                interp.close()
    """,
    # 3.13 on: the low-level module; its default config has its own GIL.
    "_interpreters": """
        import _interpreters
        def run_in_new_interpreter(code):
            config = _interpreters.new_config("isolated")
            assert config.gil == "own", config
            interp = _interpreters.create(config)
            try:
                failure = _interpreters.exec(interp, code)
                assert failure is None, failure
            finally:
                _interpreters.destroy(interp)
    """,
    # 3.12 only.
    "_xxsubinterpreters": """
        import _xxsubinterpreters
        def run_in_new_interpreter(code):
            interp = _xxsubinterpreters.create(isolated=True)
            try:
                _xxsubinterpreters.run_string(interp, code)
            finally:
                _xxsubinterpreters.destroy(interp)
    """,
}

LEGACY = {
    # Py_NewInterpreter: the legacy config (shared GIL and allocator).
    "_testcapi": """
        import _testcapi
        def run_in_new_interpreter(code):
            assert _testcapi.run_in_subinterp(code) == 0, "the subinterpreter's code failed"
    """,
    "_interpreters": """
        import _interpreters
        def run_in_new_interpreter(code):
            config = _interpreters.new_config("legacy")
            assert config.gil == "shared" and config.use_main_obmalloc, config
            interp = _interpreters.create(config)
            try:
                failure = _interpreters.exec(interp, code)
                assert failure is None, failure
            finally:
                _interpreters.destroy(interp)
    """,
    "_xxsubinterpreters": """
        import _xxsubinterpreters
        def run_in_new_interpreter(code):
            interp = _xxsubinterpreters.create(isolated=False)
            try:
                _xxsubinterpreters.run_string(interp, code)
            finally:
                _xxsubinterpreters.destroy(interp)
    """,
}


def _api_params(apis):
    return [pytest.param(name, id=name, marks=pytest.mark.skipif(
        not _has(name), reason=f"this interpreter has no {name}")) for name in apis]


# Checks the main interpreter runs after a subinterpreter is gone: its
# instances, new ones, pickling, and an internal failure (PanicException,
# whose class may have been made in the subinterpreter).
MAIN_STILL_WORKS = """
    import copy, pickle
    assert d.to_dict == {"a": 1.5, "b": -0.0}, d.to_dict
    assert d.add(d, fill=2.0).to_dict == {"a": 3.0, "b": -0.0}
    assert pickle.loads(pickle.dumps(d)).to_dict == d.to_dict
    assert copy.copy(d) is not d and copy.copy(d).sum() == 1.5
    assert jadefox.JadeDict({str(i): float(i) for i in range(1000)}).sum() == 499500.0

    class Grow:
        def __init__(self, target):
            self.target = target
        def __float__(self):
            self.target["grown"] = 0.0
            return 2.0
    src = {"a": 1.0}
    src["b"] = Grow(src)
    try:
        jadefox.JadeDict(src)
    except BaseException as e:
        assert type(e).__name__ == "PanicException", repr(e)
        assert str(e) == "dictionary changed size during iteration", str(e)
    else:
        raise AssertionError("no PanicException")
    print("main: ok")
"""


def run_child(api_code: str, body: str):
    code = textwrap.dedent(api_code) + body
    r = run_py(code, timeout=120)
    assert r.returncode == 0, f"child exit {r.returncode}\n{r.stdout}\n{r.stderr}"
    return r


def sub_reports(stdout: str) -> list:
    return [json.loads(line[len("sub:"):]) for line in stdout.splitlines() if line.startswith("sub:")]


# Run inside an own-GIL interpreter: the import fails twice the same way
# (nothing half-made is cached), and the interpreter stays usable.
REFUSED_IMPORT = '''
import sys, json
for attempt in range(2):
    try:
        import jadefox
    except BaseException as e:
        print("sub:" + json.dumps([type(e).__name__, str(e), "jadefox" in sys.modules]), flush=True)
    else:
        print("sub:" + json.dumps(["imported", "", True]), flush=True)
print("sub:" + json.dumps(["usable", json.loads("[1.5]")[0] * 2, None]), flush=True)
'''


@pytest.mark.parametrize("main_first", [True, False], ids=["main-imports-first", "subinterpreter-first"])
@pytest.mark.parametrize("api", _api_params(OWN_GIL))
def test_own_gil_interpreter_is_refused_and_main_keeps_working(api, main_first):
    body = f"""
        import sys
        if {main_first}:
            import jadefox
            d = jadefox.JadeDict({{"a": 1.5, "b": -0.0}})
            cls = jadefox.JadeDict
        run_in_new_interpreter({REFUSED_IMPORT!r})
        import jadefox
        if {main_first}:
            assert jadefox.JadeDict is cls
        else:
            d = jadefox.JadeDict({{"a": 1.5, "b": -0.0}})
    """
    body = textwrap.dedent(body) + textwrap.dedent(MAIN_STILL_WORKS)
    r = run_child(OWN_GIL[api], body)
    reports = sub_reports(r.stdout)
    assert len(reports) == 3, r.stdout
    for kind, message, cached in reports[:2]:
        # Exactly ImportError: ModuleNotFoundError would mean the module was
        # not even found, which proves nothing.
        assert kind == "ImportError", reports
        assert "jadefox" in message and "subinterpreter" in message, message
        assert cached is False
    assert reports[2] == ["usable", 3.0, None]
    assert r.stdout.splitlines()[-1] == "main: ok"


# Run inside a legacy subinterpreter: the module works there, with the
# process's one class (its id, as the main interpreter printed it, if the
# main interpreter imported first), pickling included.
SHARED_CLASS_WORKS = '''
import sys, json, pickle
import jadefox
d = jadefox.JadeDict({"x": 0.1, "y": -0.0, "z": float("inf")})
e = d.add(jadefox.JadeDict({"x": 0.2}), fill=1.0)
print("sub:" + json.dumps([id(jadefox.JadeDict), jadefox.__all__, e.to_dict["x"].hex(),
                           d.to_dict["y"].hex(), pickle.loads(pickle.dumps(e)).to_dict["z"]]), flush=True)
'''


@pytest.mark.parametrize("main_first", [True, False], ids=["main-imports-first", "subinterpreter-first"])
@pytest.mark.parametrize("api", _api_params(LEGACY))
def test_legacy_subinterpreter_shares_the_class(api, main_first):
    body = f"""
        if {main_first}:
            import jadefox
            d = jadefox.JadeDict({{"a": 1.5, "b": -0.0}})
            print("main-class:", id(jadefox.JadeDict))
        for _ in range(2):  # a second interpreter finds the class already made
            run_in_new_interpreter({SHARED_CLASS_WORKS!r})
        import gc
        gc.collect()
        import jadefox
        d = jadefox.JadeDict({{"a": 1.5, "b": -0.0}})
        print("main-class:", id(jadefox.JadeDict))
    """
    body = textwrap.dedent(body) + textwrap.dedent(MAIN_STILL_WORKS)
    r = run_child(LEGACY[api], body)
    reports = sub_reports(r.stdout)
    assert len(reports) == 2, r.stdout
    main_ids = {int(line.split()[1]) for line in r.stdout.splitlines() if line.startswith("main-class:")}
    # One class in the whole process, whichever interpreter made it first.
    assert {rep[0] for rep in reports} == main_ids and len(main_ids) == 1, (reports, main_ids)
    for _, exports, x, y, z in reports:
        assert exports == ["JadeDict"]
        assert x == ieee("+", 0.1, 0.2).hex() and y == (-0.0).hex() and z == float("inf")
    assert r.stdout.splitlines()[-1] == "main: ok"


@pytest.mark.skipif(sys.version_info < (3, 14), reason="concurrent.interpreters is new in 3.14")
def test_concurrent_interpreters_is_available_from_314():
    # Guards the skip above: from 3.14 on, the own-GIL case must really run
    # through the public API, not be skipped for want of it.
    assert _has("concurrent.interpreters")
