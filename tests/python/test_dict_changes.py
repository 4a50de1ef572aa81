"""A dict that changes while it is converted: PanicException when the walk
sees the change, what was visited when it cannot."""

import pytest

from jadefox import JadeDict
from single_thread import CAPTURES_STDERR, REDIRECTS_STDERR
from support import INF, NAN, Grow, HasFloat, assert_jd, catch, mutating_src, pop_reinsert, quiet_stderr


@REDIRECTS_STDERR
def test_panic_from_changing_dict_then_recovery(panic_type):
    for build in (lambda s: JadeDict(s), lambda s: JadeDict(dict=s)):
        src = {"a": 1.0, "b": 2.0}
        src["c"] = Grow(src)
        src["d"] = 4.0
        with quiet_stderr():
            err = catch(build, src)
        assert type(err) is panic_type and str(err) == "dictionary changed size during iteration"
    assert_jd(JadeDict({"x": 1.0, "y": 2.0}), {"x": 1.0, "y": 2.0})


@REDIRECTS_STDERR
def test_panic_when_keys_swap(panic_type):
    src = {"a": 1.0}

    class Swap:
        def __float__(self):
            del src["a"]
            src["c"] = 5.0
            return 2.0

    src["b"] = Swap()
    with quiet_stderr():
        err = catch(JadeDict, src)
    # a, b, then c: one visit more than the dict had, the size unchanged
    assert type(err) is panic_type and str(err) == "dictionary keys changed during iteration"
    assert_jd(JadeDict({"k": 3.0}), {"k": 3.0})


def _swap(old, new, value):
    return lambda src: (src.__delitem__(old), src.__setitem__(new, value))


# (entries before the mutating one, its key, entries after, what it does):
# each makes the walk visit one entry more than the dict had, at the same
# size, and must stop at that entry even when only exact floats follow.
KEYS_CHANGED = {
    "reinsert-self": ([], "a", [("b", 2.0)], pop_reinsert("a", 7.0)),
    "reinsert-self-alone": ([], "a", [], pop_reinsert("a", 7.0)),
    "reinsert-self-then-slow": ([], "a", [("b", HasFloat(2.0))], pop_reinsert("a", 7.0)),
    "reinsert-visited": ([("a", 1.5)], "m", [("c", 3.0)], pop_reinsert("a", 7.0)),
    "reinsert-self-as-slow": ([], "a", [("b", 2.0)], pop_reinsert("a", HasFloat(7.0))),
    "swap-self": ([], "a", [("b", 2.0)], _swap("a", "c", 3.0)),
    "swap-visited-late": (
        [("a", 1.5)] + [(f"k{i}", float(i)) for i in range(40)],
        "m",
        [("z", -0.0)],
        _swap("a", "new", 3.0),
    ),
}

# The same kinds of change where the walk still visits as many entries as
# the dict had: the checks let them through, and the result is what the walk
# saw, in the order it saw it.
KEYS_LET_THROUGH = {
    "reinsert-unvisited": (
        [],
        "a",
        [("b", 2.0), ("c", 3.0)],
        pop_reinsert("b", 5.0),
        [("a", 1.0), ("c", 3.0), ("b", 5.0)],
    ),
    "swap-unvisited": ([], "a", [("b", 2.0), ("c", 3.0)], _swap("b", "z", 9.0), [("a", 1.0), ("c", 3.0), ("z", 9.0)]),
    "overwrite-unvisited": (
        [("x", -0.0)],
        "a",
        [("b", 2.0)],
        lambda src: src.__setitem__("b", NAN),
        [("x", -0.0), ("a", 1.0), ("b", NAN)],
    ),
    "overwrite-visited": (
        [("x", -0.0)],
        "a",
        [("b", 2.0)],
        lambda src: src.__setitem__("x", 4.0),
        [("x", -0.0), ("a", 1.0), ("b", 2.0)],
    ),
    "reinsert-unvisited-slow": ([], "a", [("b", 2.0)], pop_reinsert("b", HasFloat(INF)), [("a", 1.0), ("b", INF)]),
}


@pytest.mark.parametrize("case", list(KEYS_CHANGED))
@CAPTURES_STDERR
def test_panic_when_keys_change_at_equal_size(panic_type, case, capfd):
    src = mutating_src(*KEYS_CHANGED[case])
    err = catch(JadeDict, src)
    assert type(err) is panic_type and err.args == ("dictionary keys changed during iteration",)
    err_text = capfd.readouterr().err
    assert "internal failure" in err_text and "dictionary keys changed during iteration" in err_text
    assert_jd(JadeDict({"k": 3.0}), {"k": 3.0})


@pytest.mark.parametrize("case", list(KEYS_LET_THROUGH))
@CAPTURES_STDERR
def test_keys_changed_at_equal_size_and_count_give_what_was_visited(case, capfd):
    *shape, expected = KEYS_LET_THROUGH[case]
    assert_jd(JadeDict(mutating_src(*shape)), expected)
    assert capfd.readouterr().err == ""


@REDIRECTS_STDERR
def test_size_change_still_reported_first(panic_type):
    for action in (lambda src: src.pop("b"), lambda src: (src.pop("a"), src.pop("b"), src.update(a=1.0))):
        with quiet_stderr():
            err = catch(JadeDict, mutating_src([], "a", [("b", 2.0), ("c", 3.0)], action))
        assert type(err) is panic_type and str(err) == "dictionary changed size during iteration"
