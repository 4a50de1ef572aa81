"""Scaling out: shard a keyed workload by key, compute on Dask workers, gather.

Needs the optional extra: `pip install .[distributed]`. Starts a local Dask
cluster of worker processes listening on 127.0.0.1 only, without a
dashboard, and gives up after a bounded time (JADEFOX_EXAMPLE_TIMEOUT
seconds, default 300). Exits 0 when every gathered result matches the same
computation done locally, bit for bit.
"""

from __future__ import annotations

import faulthandler
import math
import os
import struct
import sys
import zlib

from dask.distributed import Client, LocalCluster, wait

import jadefox as jf

SHARDS = 4
KEYS = 100_000
TIMEOUT = float(os.environ.get("JADEFOX_EXAMPLE_TIMEOUT", "300"))


def shard_of(key: str) -> int:
    # A stable hash (not hash(), which is salted per process), so every
    # process and every run puts a key in the same shard.
    return zlib.crc32(key.encode()) % SHARDS


def shard(entries: dict) -> list:
    parts: list[dict[str, float]] = [{} for _ in range(SHARDS)]
    for key, value in entries.items():
        parts[shard_of(key)][key] = value
    return [jf.JadeDict(part) for part in parts]


# What each worker runs on its shard: discounted line totals and their sum.
# Functions of __main__ travel to the workers by value (cloudpickle), with
# everything they refer to. The class itself cannot travel that way (its
# module, "builtins", does not hold it), so these functions reach it only
# through the module `jf`, which travels by name; the annotations stay
# strings (the __future__ import above) so they do not capture it either.
def line_totals(prices: jf.JadeDict, quantities: jf.JadeDict) -> jf.JadeDict:
    return prices.multiply(quantities, fill=0.0).multiply_scalar(0.9)


def shard_sum(totals: jf.JadeDict) -> float:
    return totals.sum()


def bits(x: float) -> bytes:
    return struct.pack("<d", x)


def main() -> int:
    # Whatever happens on the cluster, the process ends within the bound:
    # a traceback of every thread, then exit status 1.
    faulthandler.dump_traceback_later(2 * TIMEOUT, exit=True)
    # A workload: prices for every SKU, quantities for about two thirds.
    prices = {f"sku-{i:06d}": 0.25 + (i * 7919 % 10_000) / 100 for i in range(KEYS)}
    quantities = {f"sku-{i:06d}": i % 13 for i in range(KEYS) if i % 3}
    price_shards, quantity_shards = shard(prices), shard(quantities)

    with (
        LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address=None, silence_logs=40
        ) as cluster,
        Client(cluster, timeout=TIMEOUT) as client,
    ):
        # scatter pickles each JadeDict once and leaves it on a worker.
        price_refs = client.scatter(price_shards)
        quantity_refs = client.scatter(quantity_shards)
        total_refs = client.map(line_totals, price_refs, quantity_refs)
        sum_refs = client.map(shard_sum, total_refs)
        wait(total_refs + sum_refs, timeout=TIMEOUT)
        remote_totals = client.gather(total_refs)
        remote_sums = client.gather(sum_refs)

    # Element-wise results do not depend on where they were computed.
    local_totals = [line_totals(p, q) for p, q in zip(price_shards, quantity_shards)]
    for remote, local in zip(remote_totals, local_totals):
        assert type(remote) is jf.JadeDict
        got, want = remote.to_dict, local.to_dict
        assert list(got) == list(want), "key order changed on the way"
        assert all(bits(got[k]) == bits(want[k]) for k in want), "a value changed on the way"
    assert [bits(s) for s in remote_sums] == [bits(t.sum()) for t in local_totals]

    # One dictionary over every key gives the same value per key...
    whole = line_totals(jf.JadeDict(prices), jf.JadeDict(quantities))
    merged = {}
    for part in remote_totals:
        merged.update(part.to_dict)
    assert all(bits(merged[k]) == bits(v) for k, v in whole.to_dict.items())

    # ...but its sum() folds all keys in one sequence, while the sum of the
    # shard sums folds each shard's keys, then the shards: a different
    # order, so the two totals may differ in the last bits.
    sequential = whole.sum()
    sharded = -0.0
    for s in remote_sums:
        sharded += s
    print(f"{KEYS} keys in {SHARDS} shards")
    print(f"sum of shard sums:      {sharded!r}")
    print(f"one dictionary's sum(): {sequential!r}")
    print(f"difference:             {sharded - sequential!r}")
    assert math.isclose(sharded, sequential, rel_tol=1e-12)
    print("distributed results match the local computation")
    return 0


if __name__ == "__main__":
    sys.exit(main())
