"""Concurrent use of shared instances from several threads."""

import os
import queue
import subprocess
import sys
import threading

import pytest

from jadefox import JadeDict
from single_thread import CHILD_PROCESSES, SWITCH_INTERVAL
from support import FREE_THREADED, SLOWDOWN, HasFloat, bits, quiet_stderr

THREADS = 8
# Rounds of the loops that hammer shared instances: enough for a race to
# show in the results of a normal run. ThreadSanitizer sees a race from the
# order of accesses, not from a collision, so its slow runs need far fewer.
ROUNDS = max(10, int(150 / SLOWDOWN))
SRC = {f"key-{i:03d}": (i - 100) / 7.0 for i in range(200)}
SRC["neg-zero"] = -0.0
SRC["inf"] = float("inf")
D = JadeDict(SRC)
E = JadeDict({k: 1.5 for k in list(SRC)[::3]})
R = JadeDict(dict(reversed(list(SRC.items()))))

CALLS = {
    "add": lambda: D.add(E),
    "subtract": lambda: D.subtract(R, 2.0),
    "multiply": lambda: D.multiply(E, fill=-1.0),
    "divide": lambda: D.divide(D),
    "add_scalar": lambda: D.add_scalar(1.0),
    "subtract_scalar": lambda: D.subtract_scalar(0.0),
    "multiply_scalar": lambda: D.multiply_scalar(3.0),
    "divide_scalar": lambda: D.divide_scalar(7.0),
    "reset": lambda: D.reset(2.5),
    "sum": lambda: D.sum(),
    "product": lambda: E.product(),
    "to_dict": lambda: D.to_dict,
    "getitem": lambda: (D["key-042"], D["nope"], R["inf"]),
    "chain": lambda: D.add(R).subtract(D.add_scalar(1.0)),
}


def fingerprint(x):
    if isinstance(x, JadeDict):
        x = x.to_dict
    if isinstance(x, dict):
        return [(k, bits(v)) for k, v in x.items()]
    if isinstance(x, tuple):
        return [fingerprint(v) for v in x]
    return None if x is None else bits(x)


def run_threads(target, n=THREADS, args=()):
    errors = []
    barrier = threading.Barrier(n)

    def wrap(i):
        try:
            barrier.wait()
            target(i, *args)
        except BaseException as e:  # noqa: BLE001
            errors.append(e)

    threads = [threading.Thread(target=wrap, args=(i,)) for i in range(n)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60 * SLOWDOWN)
    assert not any(t.is_alive() for t in threads)
    assert not errors, errors[:3]


def test_shared_instances_give_single_threaded_results():
    expected = {name: fingerprint(fn()) for name, fn in CALLS.items()}
    names = list(CALLS)

    def work(i):
        for _ in range(ROUNDS):
            for name in names[i % len(names) :] + names[: i % len(names)]:
                assert fingerprint(CALLS[name]()) == expected[name], name

    run_threads(work)
    assert fingerprint(D) == fingerprint(JadeDict(SRC))


def test_created_on_one_thread_dropped_on_another():
    q = queue.Queue(maxsize=64)
    per_producer = 400

    def work(i):
        if i % 2 == 0:
            for n in range(per_producer):
                d = JadeDict({f"p{i}-{n}": float(n), "shared": 1.0})
                q.put((i, n, d, d.add_scalar(1.0)))
        else:
            for _ in range(per_producer):
                i0, n, d, d1 = q.get(timeout=30 * SLOWDOWN)
                assert d[f"p{i0}-{n}"] == float(n) and d1["shared"] == 2.0
                assert d1.subtract(d).sum() == 2.0
                del d, d1

    run_threads(work)
    assert q.empty()


@SWITCH_INTERVAL
def test_constructing_from_a_dict_mutated_by_another_thread(panic_type):
    src = {f"k{i}": HasFloat(float(i)) for i in range(40)}
    stop = threading.Event()
    outcomes = {"ok": 0, "panic": 0}
    texts = {"dictionary changed size during iteration", "dictionary keys changed during iteration"}

    def work(i):
        if i == 0:
            n = 0
            while not stop.is_set():
                src[f"m{n % 30}"] = HasFloat(float(n))
                src.pop(f"m{(n + 15) % 30}", None)
                n += 1
            return
        try:
            for _ in range(ROUNDS):
                try:
                    d = JadeDict(src)
                except panic_type as e:
                    assert str(e) in texts, str(e)
                    outcomes["panic"] += 1
                else:
                    t = d.to_dict
                    assert all(type(k) is str and type(v) is float for k, v in t.items())
                    assert all(t[f"k{j}"] == float(j) for j in range(40))
                    outcomes["ok"] += 1
        finally:
            if i == 1:
                stop.set()

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        with quiet_stderr():
            run_threads(work, n=4)
    finally:
        sys.setswitchinterval(old)
        stop.set()
    assert outcomes["ok"] + outcomes["panic"] >= ROUNDS
    assert JadeDict({"after": 1.0}).sum() == 1.0


@pytest.mark.skipif(not FREE_THREADED, reason="needs a free-threaded interpreter")
@CHILD_PROCESSES
def test_module_keeps_the_gil_disabled():
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    r = subprocess.run(
        [sys.executable, "-W", "error", "-c", "import sys, jadefox; print(sys._is_gil_enabled())"],
        capture_output=True,
        text=True,
        env=env,
        timeout=60 * SLOWDOWN,
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "False"
