"""Pickling, copying, process pools and the Dask example: every trip keeps
the keys in position order and every value bit for bit, and nothing of the
class's or the module's surface changes to make that work."""

import concurrent.futures
import copy
import copyreg
import gc
import io
import multiprocessing
import os
import pickle
import subprocess
import sys
import unicodedata

import pytest

import jadefox
from jadefox import JadeDict
from single_thread import CHANGES_SYS_MODULES, CHILD_PROCESSES, SHARED_REFCOUNTS
from support import FREE_THREADED, Raiser, bits, from_bits

PROTOCOLS = range(2, pickle.HIGHEST_PROTOCOL + 1)
REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
# Generous bounds against a hung worker, never a speed check.
HANG_GUARD = 300


# Quiet NaNs with payloads and both signs: every interpreter, including
# 32-bit x86 builds whose x87 loads would quieten a signalling NaN, keeps
# these bits through float objects.
AWKWARD = {
    "": -0.0,
    "\0": 0.0,
    "a\0b": float("inf"),
    unicodedata.normalize("NFC", "caf\u00e9"): float("-inf"),
    unicodedata.normalize("NFD", "caf\u00e9"): 5e-324,
    "key": -5e-324,
    "Key": 1.7976931348623157e308,
    "KEY": -2.2250738585072014e-308,
    "nan+": from_bits("000000000000f87f"),
    "nan-": from_bits("000000000000f8ff"),
    "nan payload": from_bits("efbeadde0100f87f"),
    "nan payload-": from_bits("0100000000fcffff"),
    "\U0001f98a fox": 0.1,
    "x" * 1000: 1 / 3,
}


def assert_identical(got, want):
    """Same class, same keys in the same order, same bits for every value
    (NaN payloads included), so the reductions give the same bits too."""
    assert type(got) is JadeDict
    g, w = got.to_dict, want.to_dict
    assert list(g) == list(w)
    assert [bits(v) for v in g.values()] == [bits(v) for v in w.values()]
    assert bits(got.sum()) == bits(want.sum())
    assert bits(got.product()) == bits(want.product())


def samples():
    base = JadeDict(AWKWARD)
    shuffled = JadeDict(dict(reversed(list(AWKWARD.items()))))
    return {
        "awkward": base,
        "empty": JadeDict({}),
        "derived": base.multiply_scalar(3.0).add(shuffled, fill=-0.0),
        "derived empty": JadeDict({}).add_scalar(1.0),
        "reset": base.reset(-0.0),
        "one": JadeDict({"only": 2.5}),
    }


SAMPLES = samples()


@pytest.mark.parametrize("protocol", PROTOCOLS)
@pytest.mark.parametrize("name", SAMPLES)
def test_round_trip_every_protocol(name, protocol):
    d = SAMPLES[name]
    stream = pickle.dumps(d, protocol)
    assert_identical(pickle.loads(stream), d)
    # The pure-Python pickler and unpickler agree with the C ones.
    assert pickle._loads(stream) is not d
    assert_identical(pickle._loads(stream), d)
    py_stream = io.BytesIO()
    pickle._Pickler(py_stream, protocol).dump(d)
    assert_identical(pickle.loads(py_stream.getvalue()), d)


def test_signalling_nan_payload_survives_where_the_interpreter_keeps_it():
    snan = "0100000000f0ff7f"
    if bits(from_bits(snan)).hex() != snan:
        pytest.skip("this interpreter's own float objects quieten signalling NaNs (x87 loads)")
    d = JadeDict({"s": from_bits(snan), "t": from_bits("0200000000f0ff7f")})
    for protocol in PROTOCOLS:
        assert_identical(pickle.loads(pickle.dumps(d, protocol)), d)
    assert_identical(copy.deepcopy(d), d)


def test_positions_follow_the_dict_and_str_subclass_duplicates():
    class S(str):
        pass

    # A later key with the same text replaces the value and keeps the place.
    d = JadeDict({"b": 1.0, "a": 2.0, S("b"): 3.0})
    for protocol in PROTOCOLS:
        back = pickle.loads(pickle.dumps(d, protocol))
        assert back.to_dict == {"b": 3.0, "a": 2.0} and list(back.to_dict) == ["b", "a"]
        assert all(type(k) is str for k in back.to_dict)


@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_many_dictionaries_in_one_stream(protocol):
    base = JadeDict({f"k{i}": i / 7 for i in range(50)})
    family = [base.multiply_scalar(float(i)) for i in range(30)]
    payload = {"family": family, "again": family[3], "nested": [(family[0], [base])]}
    stream = pickle.dumps(payload, protocol)
    # The class is looked up once per stream, however many dictionaries.
    assert stream.count(b"resolve_name") == 1 and stream.count(b"jadefox:JadeDict") == 1
    back = pickle.loads(stream)
    assert back["again"] is back["family"][3]  # shared objects stay shared
    for got, want in zip(back["family"], family):
        assert_identical(got, want)
    assert_identical(back["nested"][0][1][0], base)


@pytest.mark.parametrize("protocol", PROTOCOLS)
@pytest.mark.parametrize("n", [0, 1, 10, 5000])
def test_payload_is_about_the_dicts_own(protocol, n):
    d = JadeDict({f"user_{i:06d}": i * 0.5 for i in range(n)})
    ours = len(pickle.dumps(d, protocol))
    theirs = len(pickle.dumps(d.to_dict, protocol))
    assert ours <= theirs * 5 // 4 + 64, (ours, theirs)


def test_copy_and_deepcopy_alone_and_in_containers():
    for d in SAMPLES.values():
        for copier in (copy.copy, copy.deepcopy):
            c = copier(d)
            assert c is not d
            assert_identical(c, d)
    d = SAMPLES["awkward"]
    box = {"x": [d, d], "y": (d, SAMPLES["empty"])}
    shallow = copy.copy(box)
    assert shallow["x"][0] is d  # a shallow copy of the container keeps the items
    deep = copy.deepcopy(box)
    assert deep["x"][0] is deep["x"][1] is deep["y"][0]  # the memo keeps sharing
    assert deep["x"][0] is not d
    assert_identical(deep["x"][0], d)
    assert_identical(deep["y"][1], SAMPLES["empty"])


def test_surface_is_unchanged():
    # __slotnames__ is the interpreter's cache, put on any class that
    # object's own reduce has looked at (the last check below does that).
    assert sorted(set(vars(JadeDict)) - {"__slotnames__"}) == sorted(
        [
            "__doc__",
            "__getitem__",
            "__module__",
            "__new__",
            "add",
            "add_scalar",
            "divide",
            "divide_scalar",
            "multiply",
            "multiply_scalar",
            "product",
            "reset",
            "subtract",
            "subtract_scalar",
            "sum",
            "to_dict",
        ]
    )
    assert JadeDict.__module__ == "builtins"
    assert sorted(vars(jadefox)) == [
        "JadeDict",
        "__all__",
        "__doc__",
        "__file__",
        "__loader__",
        "__name__",
        "__package__",
        "__spec__",
    ]
    assert jadefox.__all__ == ["JadeDict"]
    # Pickling goes through copyreg alone: the instance has no reduce of its
    # own, and a pickler with an empty dispatch table cannot handle it.
    with pytest.raises(TypeError, match=r"^cannot pickle 'builtins\.JadeDict' object$"):
        JadeDict({}).__reduce_ex__(2)

    class Bare(pickle.Pickler):
        dispatch_table = {}

    with pytest.raises(TypeError, match=r"^cannot pickle 'builtins\.JadeDict' object$"):
        Bare(io.BytesIO(), 2).dump(JadeDict({}))
    # The class object cannot be named by pickle: "builtins" does not hold it.
    with pytest.raises(pickle.PicklingError):
        pickle.dumps(JadeDict)


def rebuild_object():
    return copyreg.dispatch_table[JadeDict].__self__


def test_rebuild_object_is_private_and_is_the_constructor():
    reducer = copyreg.dispatch_table[JadeDict]
    rebuild = rebuild_object()
    assert all(v is not rebuild and v is not reducer for v in vars(jadefox).values())
    func, args = reducer(SAMPLES["awkward"])
    assert func is rebuild and len(args) == 1 and type(args[0]) is dict
    assert_identical(rebuild(*args), SAMPLES["awkward"])
    assert_identical(rebuild(dict=args[0]), SAMPLES["awkward"])
    assert rebuild.__reduce__() == (pkgutil_resolve_name(), ("jadefox:JadeDict",))
    with pytest.raises(TypeError, match="instances"):
        type(rebuild)()
    with pytest.raises(TypeError, match=r"^'int' object is not an instance of 'JadeDict'$"):
        reducer(5)


def pkgutil_resolve_name():
    import pkgutil

    return pkgutil.resolve_name


@pytest.mark.skipif(FREE_THREADED, reason="reference counts are not exact on free-threaded builds")
@SHARED_REFCOUNTS
def test_trips_and_failures_give_back_every_reference():
    d = JadeDict({"a": 1.0, "b": -0.0})
    reducer = copyreg.dispatch_table[JadeDict]
    rebuild = rebuild_object()
    watched = (d, reducer, rebuild, JadeDict)
    # Earlier tests' garbage may hold instances; collected in the loop, it
    # would lower the class's count.
    gc.collect()
    before = [sys.getrefcount(o) for o in watched]
    for _ in range(200):
        pickle.loads(pickle.dumps([d, d], 5))
        copy.deepcopy(d)
        rebuild.__reduce__()
        with pytest.raises(TypeError):
            reducer(1.0)
        with pytest.raises(TypeError):
            rebuild({1: 1.0})
    assert [sys.getrefcount(o) for o in watched] == before


@CHANGES_SYS_MODULES
def test_reimport_keeps_pickling_working():
    d = SAMPLES["awkward"]
    saved = sys.modules.pop("jadefox")
    try:
        import jadefox as again

        assert again is not saved and again.JadeDict is JadeDict
        assert_identical(pickle.loads(pickle.dumps(d, 2)), d)
        assert_identical(copy.copy(d), d)
    finally:
        sys.modules["jadefox"] = saved


@CHILD_PROCESSES
def test_fresh_process_imports_jadefox_to_load():
    d = SAMPLES["awkward"]
    code = (
        "import pickle, struct, sys\n"
        "assert 'jadefox' not in sys.modules\n"
        "d = pickle.loads(sys.stdin.buffer.read())\n"
        "print(type(d).__name__, [k for k in d.to_dict] == pickle.loads(bytes.fromhex(sys.argv[1])))\n"
        "print(b''.join(struct.pack('<d', v) for v in d.to_dict.values()).hex())\n"
    )
    keys = pickle.dumps(list(d.to_dict), 2).hex()
    out = subprocess.run(
        [sys.executable, "-c", code, keys],
        input=pickle.dumps(d, 5),
        capture_output=True,
        check=True,
        timeout=HANG_GUARD,
    ).stdout.decode()
    first, second = out.splitlines()
    assert first == "JadeDict True"
    assert second == b"".join(bits(v) for v in d.to_dict.values()).hex()


class Tampered:
    """Pickles as a call of the rebuild object with arbitrary arguments,
    as a hand-edited stream would."""

    def __init__(self, *args):
        self.args = args

    def __reduce__(self):
        return rebuild_object(), self.args


@pytest.mark.parametrize(
    "args",
    [
        ({1: 2.0},),
        ({b"k": 2.0},),
        ({None: 2.0},),
        ({"k": "2.0"},),
        ({"k": None},),
        ({"k": [1.0]},),
        ({"k": 10**400},),
        ({"\ud800": 1.0},),
        ([("k", 1.0)],),
        (None,),
        (),
        ({"k": 1.0}, {"k": 2.0}),
    ],
    ids=repr,
)
def test_tampered_payload_fails_like_the_constructor(args):
    with pytest.raises(BaseException) as direct:
        JadeDict(*args)
    for protocol in PROTOCOLS:
        stream = pickle.dumps(Tampered(*args), protocol)
        for loads in (pickle.loads, pickle._loads):
            with pytest.raises(type(direct.value)) as loaded:
                loads(stream)
            assert type(loaded.value) is type(direct.value)
            assert str(loaded.value) == str(direct.value)
    assert isinstance(direct.value, Exception)  # never a PanicException


def test_tampered_value_conversion_error_passes_through():
    # The value's own error reaches the loader unchanged, as in the constructor.
    payload = pickle.dumps(Tampered({"k": 1.0}), 2)
    assert_identical(pickle.loads(payload), JadeDict({"k": 1.0}))
    with pytest.raises(ZeroDivisionError, match="^from __float__$"):
        rebuild_object()({"k": Raiser(ZeroDivisionError("from __float__"))})


@pytest.mark.parametrize("protocol", [2, pickle.HIGHEST_PROTOCOL])
def test_truncated_and_renamed_streams_raise_never_crash(protocol):
    stream = pickle.dumps([SAMPLES["one"], SAMPLES["empty"]], protocol)
    for i in range(len(stream)):
        with pytest.raises((pickle.UnpicklingError, EOFError, ValueError)):
            pickle.loads(stream[:i])
    name = b"jadefox:JadeDict"
    # Same length, so the stream stays well formed; only the lookup changes.
    for other, error in [
        (b"jadefox:JadeDicx", AttributeError),
        (b"jadefoy:JadeDict", ImportError),
        (b"jadefox:JadeDic!", ValueError),
        (b"jadefox:JadeDict"[::-1], ImportError),
    ]:
        with pytest.raises(error):
            pickle.loads(stream.replace(name, other))


# Worker functions for the process pools: importable by name from this
# module in a freshly started interpreter.
def pool_work(d, other):
    return d.multiply(other, fill=-0.0).add_scalar(0.25), d.sum(), other.product()


@pytest.mark.parametrize("method", ["spawn", "forkserver"])
@CHILD_PROCESSES
def test_process_pool_maps_over_dictionaries(method):
    if method not in multiprocessing.get_all_start_methods():
        pytest.skip(f"start method {method!r} is not available here")
    base = SAMPLES["awkward"]
    inputs = [base, SAMPLES["derived"], SAMPLES["empty"], base.divide_scalar(7.0)]
    others = [SAMPLES["derived"], base, base, JadeDict({"key": 3.0})]
    ctx = multiprocessing.get_context(method)
    with concurrent.futures.ProcessPoolExecutor(max_workers=2, mp_context=ctx) as pool:
        results = list(pool.map(pool_work, inputs, others, timeout=HANG_GUARD))
    assert len(results) == len(inputs)
    for (got, got_sum, got_product), d, other in zip(results, inputs, others):
        want, want_sum, want_product = pool_work(d, other)
        assert_identical(got, want)
        assert bits(got_sum) == bits(want_sum) and bits(got_product) == bits(want_product)


@CHILD_PROCESSES
def test_distributed_example():
    try:
        import distributed  # noqa: F401
    except ImportError as e:
        pytest.skip(
            f"dask.distributed is not installed here ({e}); it comes with the "
            f"optional extra: pip install .[distributed]"
        )
    example = os.path.join(REPO, "examples", "dask_shards.py")
    env = dict(os.environ, JADEFOX_EXAMPLE_TIMEOUT=str(HANG_GUARD))
    run = subprocess.run([sys.executable, example], capture_output=True, text=True, env=env, timeout=2 * HANG_GUARD)
    assert run.returncode == 0, run.stdout + run.stderr
    assert run.stdout.splitlines()[-1] == "distributed results match the local computation"
