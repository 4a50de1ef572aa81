"""PanicException: the class, panics raised by Python code and resumed, and
what an internal failure prints on stderr."""

import pytest

import support
from jadefox import JadeDict
from single_thread import CHILD_PROCESSES, REDIRECTS_STDERR
from support import Grow, Unprintable, assert_jd, catch, quiet_stderr, run_py


@REDIRECTS_STDERR
def test_panic_exception_class(panic_type):
    p = support.panic_instance()
    assert type(p) is panic_type
    assert panic_type.__name__ == panic_type.__qualname__ == "PanicException"
    assert panic_type.__module__ == "vexo_runtime"
    assert panic_type.__bases__ == (BaseException,)
    assert not issubclass(panic_type, Exception)
    doc = panic_type.__doc__
    assert doc.startswith("\n") and doc.endswith("\n") and "BaseException" in doc
    assert p.args == ("dictionary changed size during iteration",)
    assert str(p) == "dictionary changed size during iteration"
    assert "PanicException" not in vars(__import__("jadefox"))
    src = {"a": 1.0}
    src["b"] = Grow(src)
    caught_as = None
    with quiet_stderr():
        try:
            try:
                JadeDict(src)
            except Exception:  # noqa: BLE001 - the point: it must not match
                caught_as = "Exception"
        except BaseException as e:  # noqa: BLE001
            caught_as = type(e).__name__
    assert caught_as == "PanicException"
    assert_jd(JadeDict({"after": 1.0}), {"after": 1.0})


@REDIRECTS_STDERR
def test_panic_raised_by_user_code_is_resumed(panic_type):
    raised = []

    class Boom:
        def __init__(self, arg="boom"):
            self.arg = arg

        def __float__(self):
            raised.append(panic_type(self.arg))
            raise raised[-1]

    d = JadeDict({"a": 1.0})
    calls = [
        lambda b: JadeDict({"x": 1.0, "y": b}),
        lambda b: d.add_scalar(b),
        lambda b: d.add(d, fill=b),
        lambda b: d.reset(value=b),
    ]
    with quiet_stderr():
        for call in calls:
            err = catch(call, Boom())
            assert type(err) is panic_type and str(err) == "boom" and err.args == ("boom",)
            assert err is not raised[-1]
            err = catch(call, Boom(Unprintable()))
            assert type(err) is panic_type and str(err) == "Unwrapped panic from Python code"
    assert_jd(d, {"a": 1.0})
    assert_jd(JadeDict({"z": 2.0}), {"z": 2.0})


@pytest.mark.parametrize(
    "args, text",
    [
        (("a\x00b",), "a\x00b"),
        (("\x00",), "\x00"),
        (("",), ""),
        ((), ""),
        (("x\ud800y",), "x\ud800y"),
        (("Ünï\x00code\n",), "Ünï\x00code\n"),
        ((1, 2), "(1, 2)"),
    ],
)
@REDIRECTS_STDERR
def test_resumed_panic_keeps_its_whole_message(panic_type, args, text):
    class Boom:
        def __float__(self):
            raise panic_type(*args)

    d = JadeDict({"a": 1.0})
    with quiet_stderr():
        for call in (
            lambda: JadeDict({"x": 1.0, "y": Boom()}),
            lambda: d.add_scalar(Boom()),
            lambda: d.divide(d, fill=Boom()),
        ):
            err = catch(call)
            assert type(err) is panic_type and err.args == (text,)
    assert_jd(d, {"a": 1.0})


PANIC_SCRIPT = """
from jadefox import JadeDict
from support import Grow
src = {"a": 1.0}
src["b"] = Grow(src)
try:
    JadeDict(src)
except Exception:
    print("caught by except Exception")
except BaseException as e:
    p = e
print("first", type(p).__module__, type(p).__name__, str(p))
if MODE == "boom":
    class Boom:
        def __float__(self):
            raise type(p)("boom")
    try:
        JadeDict({"x": Boom()})
    except BaseException as e:
        print("second", type(e) is type(p), str(e))
print("after", JadeDict({"ok": 1.5}).to_dict, JadeDict({"a": 1.0, "b": 2.0}).sum())
"""


@pytest.mark.parametrize("mode", ["size", "boom"])
@CHILD_PROCESSES
def test_panic_diagnostics_on_stderr(mode):
    r = run_py(f"MODE = {mode!r}\n" + PANIC_SCRIPT)
    assert r.returncode == 0, r.stderr
    lines = r.stdout.splitlines()
    assert lines[0] == "first vexo_runtime PanicException dictionary changed size during iteration"
    assert lines[-1] == "after {'ok': 1.5} 3.0"
    assert "dictionary changed size during iteration" in r.stderr
    if mode == "boom":
        assert lines[1] == "second True boom"
        tail = r.stderr.split("dictionary changed size during iteration", 1)[1]
        assert "Python stack trace below:" in tail
        after_banner = tail.split("Python stack trace below:", 1)[1]
        assert "Traceback (most recent call last)" in after_banner and "boom" in after_banner
        assert "__float__" in after_banner
    else:
        assert "Python stack trace below:" not in r.stderr
    assert len(lines) == (3 if mode == "boom" else 2)
