"""Planted faults, run under the sanitizers to prove that they are active
before a clean run is trusted (a run that reports nothing proves nothing
unless the same setup reports these):

    python -m harness.canary leak   # memory allocated and never freed
    python -m harness.canary race   # two threads writing the same bytes

Both use jadefox first, so the instrumented module is loaded too."""

import ctypes
import sys
import threading

import jadefox


def leak() -> None:
    libc = ctypes.CDLL(None)
    libc.malloc.restype = ctypes.c_void_p
    for _ in range(3):
        libc.malloc(4242)


def race() -> None:
    # ctypes.memset is the C library's memset, which ThreadSanitizer
    # intercepts and checks as a write of the whole range.
    buf = ctypes.create_string_buffer(4096)
    start = threading.Barrier(2)

    def write() -> None:
        start.wait()
        for _ in range(2000):
            ctypes.memset(buf, 1, len(buf))

    threads = [threading.Thread(target=write) for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()


if __name__ == "__main__":
    _exported = jadefox.JadeDict({"a": 1.0}).add_scalar(1.0).to_dict
    {"leak": leak, "race": race}[sys.argv[1] if len(sys.argv) > 1 else "leak"]()
