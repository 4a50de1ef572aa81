"""python -m bench report results.json [--memory memory.json] [--png PATH]

Prints the ratio table (Markdown: ns per key, the median of pyperf's values,
and peer time / jadefox time, so above 1 means jadefox is faster), then the
goals of bench/goals.toml met or missed (reported, never asserted), and
draws ns per key against n for each workload."""

from __future__ import annotations

import argparse
import json
import math
import tomllib
from collections import defaultdict
from pathlib import Path

GOALS = Path(__file__).with_name("goals.toml")
COLOURS = {
    "jadefox": "black",
    "numpy": "tab:blue",
    "pandas": "tab:orange",
    "dict": "tab:green",
    "sum(d.values())": "tab:green",
    "fused": "tab:purple",
    "C fold": "tab:red",
}


def load(path: str) -> tuple[dict, dict]:
    """({workload: {candidate: {n: ns per key}}}, the suite's common metadata
    with the range of the load average over the worker runs)."""
    import pyperf  # here, so that the goals can be evaluated (and tested) without it

    suite = pyperf.BenchmarkSuite.load(path)
    times: dict = defaultdict(lambda: defaultdict(dict))
    loads = []
    for bench in suite.get_benchmarks():
        md = bench.get_metadata()
        times[md["workload"]][md["candidate"]][md["keys"]] = bench.median() * 1e9
        loads += [run.get_metadata().get("load_avg_1min", 0.0) for run in bench.get_runs()]
    md = dict(suite.get_metadata(), load=f"{min(loads):.1f} to {max(loads):.1f}")
    return {w: dict(cands) for w, cands in times.items()}, md


def fmt(v: float) -> str:
    return f"{v:,.0f}" if v >= 1000 else f"{v:.3g}"


def ratio_table(times: dict) -> list[str]:
    lines = ["| workload | n | jadefox ns/key | peers: ns/key (peer time ÷ jadefox time) |", "|---|---|---|---|"]
    sizes = sorted({n for cands in times.values() for by_n in cands.values() for n in by_n})
    for n in sizes:
        for workload, cands in times.items():
            jd = cands.get("jadefox", {}).get(n)
            if jd is None:
                continue
            peers = "; ".join(
                f"{peer} {fmt(by_n[n])} ({by_n[n] / jd:.2f}×)"
                for peer, by_n in cands.items()
                if peer != "jadefox" and n in by_n
            )
            lines.append(f"| {workload} | {n:,} | {fmt(jd)} | {peers} |")
    return lines


def memory_table(memory: dict) -> list[str]:
    per_key = memory["bytes_per_key"]
    jd = per_key.get("jadefox", {})
    lines = []
    for measure in ("derived", "construction"):
        peers = "; ".join(f"{name} {fmt(r[measure])}" for name, r in per_key.items() if name != "jadefox")
        lines.append(
            f"| memory: {measure} (bytes/key) | {memory['n']:,} | {fmt(jd[measure]) if jd else '-'} | {peers} |"
        )
    return lines


def evaluate(goals: dict, times: dict, memory: dict | None) -> list[tuple[str, str, str]]:
    """(status, goal, detail) for each goal and size."""
    out = []
    for workload, peers in goals.get("ratio", {}).items():
        for peer, bounds in peers.items():
            jd, other = (times.get(workload, {}).get(c, {}) for c in ("jadefox", peer))
            for b in bounds:
                goal = f"{workload}: {peer} / jadefox >= {b['at_least']}"
                sizes = [n for n in sorted(jd) if n in other and n in b.get("n", [n]) and n >= b.get("min_n", 0)]
                if not sizes:
                    out.append(("n/a", goal, "not measured"))
                for n in sizes:
                    r = other[n] / jd[n]
                    out.append(("met" if r >= b["at_least"] else "missed", goal, f"n={n:,}: {r:.2f}"))
    for measure, b in goals.get("memory", {}).items():
        goal = f"memory, {measure}: <= {b['at_most']} bytes/key" + (" + key bytes" if b.get("plus_key_bytes") else "")
        jd = memory["bytes_per_key"].get("jadefox") if memory else None
        if not jd or not memory:
            out.append(("n/a", goal, "not measured"))
            continue
        limit = b["at_most"] + (memory["key_bytes"] if b.get("plus_key_bytes") else 0.0)
        out.append(
            (
                "met" if jd[measure] <= limit else "missed",
                goal,
                f"n={memory['n']:,}: {jd[measure]:.1f} bytes/key (limit {limit:.1f})",
            )
        )
    return out


def machine(md: dict) -> str:
    return (
        f"{md.get('cpu_model_name', '?')} ({md.get('cpu_count', '?')} CPUs), "
        f"{md.get('python_implementation', '')} {md.get('python_version', '?')}, "
        f"jadefox {md.get('jadefox_version')}, numpy {md.get('numpy_version')}, "
        f"pandas {md.get('pandas_version')}, load average {md.get('load')}"
    )


def plot(times: dict, md: dict, path: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    cols = min(4, len(times))
    rows = math.ceil(len(times) / cols)
    fig, axes = plt.subplots(rows, cols, figsize=(4.2 * cols, 3.6 * rows), squeeze=False)
    for ax, (workload, cands) in zip(axes.flat, times.items(), strict=False):
        used = set()
        for cand, by_n in cands.items():
            ns = sorted(by_n)
            colour = next((c for p, c in COLOURS.items() if cand.startswith(p)), None)
            jd = cand == "jadefox"
            ax.plot(
                ns,
                [by_n[n] for n in ns],
                marker="o",
                markersize=3,
                color=colour,
                linestyle="--" if colour in used else "-",  # a second peer of one library
                linewidth=2.5 if jd else 1.2,
                label=cand,
                zorder=3 if jd else 2,
            )
            used.add(colour)
        ax.set(xscale="log", yscale="log", title=workload, xlabel="n (keys)", ylabel="ns per key")
        ax.title.set_fontsize(9)
        ax.grid(True, which="major", alpha=0.3)
        ax.legend(fontsize=7)
    for ax in axes.flat[len(times) :]:
        ax.set_visible(False)
    fig.suptitle("ns per key against n (median of pyperf's values; lower is faster)\n" + machine(md), fontsize=11)
    fig.tight_layout()
    fig.savefig(path, dpi=80)
    print(f"picture written to {path}")


def main(argv: list[str]) -> int:
    ap = argparse.ArgumentParser(prog="python -m bench report", description=__doc__.split("\n\n")[1].replace("\n", " "))
    ap.add_argument("results", help="pyperf JSON written by `python -m bench run -o`")
    ap.add_argument("--memory", help="JSON written by `python -m bench memory -o`")
    ap.add_argument("--goals", default=str(GOALS), help="goals file (default bench/goals.toml)")
    ap.add_argument("--png", help="draw ns per key against n into this PNG file")
    args = ap.parse_args(argv)

    times, md = load(args.results)
    memory = json.loads(Path(args.memory).read_text()) if args.memory else None
    print(f"{machine(md)}\n")
    print("\n".join(ratio_table(times) + (memory_table(memory) if memory else [])))
    with open(args.goals, "rb") as f:
        results = evaluate(tomllib.load(f), times, memory)
    measured = [r for r in results if r[0] != "n/a"]
    width = max((len(goal) for _, goal, _ in measured), default=0)
    print("\ngoals (reported, not asserted):")
    for status, goal, detail in measured:
        print(f"  [{status:<6}] {goal:<{width}}  {detail}")
    counts = {s: sum(r[0] == s for r in results) for s in ("met", "missed", "n/a")}
    print(f"  {counts['met']} met, {counts['missed']} missed, {counts['n/a']} not measured in this run")
    if args.png:
        plot(times, md, args.png)
    return 0
