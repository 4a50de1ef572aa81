"""Subinterpreters made, used and closed inside the test process itself, so
that the reference-leak run repeats them (a class pair that an ending
interpreter failed to release shows in the process's totals) and the
ThreadSanitizer run sees interpreters importing the module on several
threads at once. What each kind of interpreter must do is tested in
test_subinterpreters.py, in child processes."""

import importlib.util
import sys
import sysconfig
import threading

import pytest

from jadefox import JadeDict
from single_thread import single_thread

pytestmark = single_thread("makes interpreters, whose imports and finalization touch process-wide state")

# Imports the module, computes, pickles, patches both classes and fails on
# any wrong result (the runners below turn a failure into an exception).
SUB_CODE = """
import pickle
import jadefox
d = jadefox.JadeDict({"a": 1.5, "b": -0.0})
assert pickle.loads(pickle.dumps(d.add(d))).to_dict == {"a": 3.0, "b": -0.0}
src = {"a": 1.0}
class Grow:
    def __float__(self):
        src["c"] = 0.0
        return 2.0
src["b"] = Grow()
try:
    jadefox.JadeDict(src)
except BaseException as e:
    type(e).extra = 1
# Not an instance itself: instances are not tracked by the collector, so a
# class attribute holding one is a cycle nothing frees.
jadefox.JadeDict.extra = [d.to_dict]
del jadefox.JadeDict.sum
"""


def _has(module: str) -> bool:
    try:
        return importlib.util.find_spec(module) is not None
    except ImportError:
        return False


def run_legacy(code: str) -> None:
    import _testcapi

    assert _testcapi.run_in_subinterp(code) == 0, "the subinterpreter's code failed"


def run_own_gil(code: str) -> None:
    if sys.version_info >= (3, 14):
        from concurrent import interpreters

        interp = interpreters.create()
        try:
            interp.exec(code)  # raises ExecutionFailed
        finally:
            interp.close()
    elif sys.version_info >= (3, 13):
        import _interpreters

        interp = _interpreters.create(_interpreters.new_config("isolated"))
        try:
            assert _interpreters.exec(interp, code) is None, "the subinterpreter's code failed"
        finally:
            _interpreters.destroy(interp)
    else:
        import _xxsubinterpreters

        interp = _xxsubinterpreters.create(isolated=True)
        try:
            _xxsubinterpreters.run_string(interp, code)  # raises RunFailedError
        finally:
            _xxsubinterpreters.destroy(interp)


RUNNERS = [
    pytest.param(
        run_legacy,
        id="legacy",
        marks=pytest.mark.skipif(not _has("_testcapi"), reason="this interpreter ships no _testcapi"),
    ),
    pytest.param(
        run_own_gil,
        id="own-gil",
        marks=pytest.mark.skipif(
            not any(map(_has, ("concurrent.interpreters", "_interpreters", "_xxsubinterpreters"))),
            reason="this interpreter cannot make own-GIL interpreters",
        ),
    ),
]


# CPython 3.13's free-threaded build races with itself when interpreters are
# made, run and ended on several threads at once: each new interpreter
# initialises the shared static builtin types again, _struct's module state
# and the version tags of static types are written unguarded (about 65
# ThreadSanitizer reports per run, none with a jadefox frame). Where the
# interpreter itself is built with ThreadSanitizer, that test is left out;
# threads racing inside one interpreter (below) stay.
TSAN_INTERPRETER = "--with-thread-sanitizer" in (sysconfig.get_config_var("CONFIG_ARGS") or "")

# Run in a new interpreter: four threads execute the module at the same time,
# the first execution there, so they race to make its classes; all must get
# the one pair that was stored.
RACING_FIRST_IMPORT = """
import importlib.util, threading
spec = importlib.util.find_spec("jadefox")
start = threading.Barrier(4)
made = []
def execute():
    module = importlib.util.module_from_spec(spec)
    start.wait()
    spec.loader.exec_module(module)
    made.append(module.JadeDict)
threads = [threading.Thread(target=execute) for _ in range(4)]
for t in threads:
    t.start()
for t in threads:
    t.join()
import jadefox
assert len(made) == 4 and all(cls is jadefox.JadeDict for cls in made), made
assert jadefox.JadeDict({"a": 1.5}).add_scalar(1.0).sum() == 2.5
"""


def assert_main_class_untouched() -> None:
    d = JadeDict({"a": 1.5, "b": 2.0})
    assert d.sum() == 3.5 and not hasattr(JadeDict, "extra")


@pytest.mark.parametrize("run", RUNNERS)
def test_subinterpreter_round_trip_leaves_the_main_classes_alone(run):
    for _ in range(2):
        run(SUB_CODE)
    assert_main_class_untouched()


@pytest.mark.parametrize("run", RUNNERS)
def test_threads_racing_a_first_import_get_one_class(run):
    run(RACING_FIRST_IMPORT)
    assert_main_class_untouched()


@pytest.mark.skipif(
    TSAN_INTERPRETER,
    reason="CPython 3.13t races with itself making interpreters on several threads at once (see TSAN_INTERPRETER)",
)
@pytest.mark.parametrize("run", RUNNERS)
def test_interpreters_on_several_threads_at_once(run):
    errors = []

    def work():
        try:
            for _ in range(3):
                run(SUB_CODE)
        except BaseException as e:  # noqa: BLE001 - reported below, in the test's own thread
            errors.append(e)

    threads = [threading.Thread(target=work) for _ in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    assert_main_class_untouched()
