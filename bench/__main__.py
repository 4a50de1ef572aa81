"""python -m bench run | report | memory  (each takes --help)"""

import sys
from importlib import import_module

COMMANDS = {
    "run": "check, then time the workloads with pyperf into a JSON file",
    "report": "ratio table, goals met or missed, and the ns-per-key picture",
    "memory": "bytes per key, each candidate in a fresh interpreter",
}


def main() -> int:
    if len(sys.argv) < 2 or sys.argv[1] not in COMMANDS:
        print(
            "usage: python -m bench COMMAND [options]\n"
            + "".join(f"  {name:<8}{what}\n" for name, what in COMMANDS.items()),
            file=sys.stderr,
        )
        return 2
    return import_module(f"bench.{sys.argv[1]}").main(sys.argv[2:])


sys.exit(main())
