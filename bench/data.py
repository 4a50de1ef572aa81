"""The benchmark's data: identifier-like keys (a fifth of them non-ASCII) and
seeded random floats. Every function is deterministic for its arguments, so
the process that checks a workload and the worker processes that time it see
the same keys and values."""

from __future__ import annotations

import random

SEED = 20240517
ABSENT_OFFSET = 10_000_000  # running numbers past any n: keys no dictionary holds

_COLOURS = ("blue", "red", "green", "black", "white", "grey", "navy", "teal")
_SHAPES = (  # (weight, key for running number i)
    (30, lambda i, r: f"user_{i:06d}"),
    (20, lambda i, r: f"sku-{i}-{r.choice(_COLOURS)}"),
    (10, lambda i, r: f"order.{i:x}"),
    (10, lambda i, r: f"metric/cpu{i % 64}/{i}"),
    (10, lambda i, r: f"acct:{i:08d}:eur"),
    (7, lambda i, r: f"café_{i}"),
    (7, lambda i, r: f"straße_{i}"),
    (6, lambda i, r: f"東京_{i}"),
)


def make_keys(n: int, offset: int = 0) -> list[str]:
    """n distinct keys: every shape embeds the running number."""
    rng = random.Random(SEED + offset)
    makers = [make for _, make in _SHAPES]
    picks = rng.choices(range(len(makers)), weights=[w for w, _ in _SHAPES], k=n)
    return [makers[p](i + offset, rng) for i, p in enumerate(picks)]


def absent_keys(n: int) -> list[str]:
    """n keys of the same shapes that make_keys(n) does not hold."""
    return make_keys(n, ABSENT_OFFSET)


def make_values(n: int, stream: int = 0) -> list[float]:
    """n floats in [-1000, 1000); each stream is another sequence."""
    uniform = random.Random(SEED * 31 + stream).uniform
    return [uniform(-1000.0, 1000.0) for _ in range(n)]


def shuffled(items, stream: int = 0) -> list:
    out = list(items)
    random.Random(SEED * 37 + stream).shuffle(out)
    return out


def sample(items, k: int, stream: int = 0) -> list:
    """k of items, uniformly, in random order."""
    return random.Random(SEED * 41 + stream).sample(list(items), k)


def distinct_copies(keys) -> list[str]:
    """Equal keys as new str objects, so that no key is shared by identity."""
    return [k.encode().decode() for k in keys]
