"""A planted leak after using jadefox, run under the sanitizers to prove
that they are active before a clean run is trusted."""

import ctypes

import jadefox

_exported = jadefox.JadeDict({"a": 1.0}).add_scalar(1.0).to_dict
_libc = ctypes.CDLL(None)
_libc.malloc.restype = ctypes.c_void_p
for _ in range(3):
    _libc.malloc(4242)
