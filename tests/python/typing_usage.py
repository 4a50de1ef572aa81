"""Portfolio bookkeeping with jadefox, written with precise types.

Checked with ``mypy --strict`` against the jadefox stub; also runnable.
"""

from __future__ import annotations

from fractions import Fraction
from typing import SupportsFloat, SupportsIndex

import jadefox
from jadefox import JadeDict

Prices = dict[str, float]


def load_positions() -> dict[str, SupportsFloat | SupportsIndex]:
    return {"AAPL": 10, "MSFT": 5.5, "GOOG": Fraction(3, 2), "TSLA": True}


def market_value(positions: JadeDict, prices: JadeDict) -> JadeDict:
    # positions without a quote are valued at zero
    return positions.multiply(prices, fill=0.0)


def weights(values: JadeDict) -> JadeDict:
    total: float = values.sum()
    return values.divide_scalar(total) if total else values.reset(0.0)


def rebalance(current: JadeDict, target: JadeDict) -> Prices:
    delta: JadeDict = target.subtract(current, 0.0)
    return {name: round(v, 6) for name, v in delta.to_dict.items() if abs(v) > 1e-9}


def price_of(quotes: JadeDict, ticker: str) -> float:
    found: float | None = quotes[ticker]
    return found if found is not None else float("nan")


def main() -> int:
    assert jadefox.__all__ == ["JadeDict"]
    positions = JadeDict(load_positions())
    # Plainly typed dicts must be accepted too (dict is invariant in its values).
    quoted: Prices = {"AAPL": 190.0, "MSFT": 410.0, "GOOG": 140.0}
    lots: dict[str, int] = {"AAPL": 100, "MSFT": 50}
    prices = JadeDict(dict=quoted)
    assert JadeDict(lots).sum() == 150.0
    values = market_value(positions, prices)
    w = weights(values)
    target = w.reset(value=0.25)
    moves = rebalance(w, target)
    grown: JadeDict = values.add_scalar(1).multiply_scalar(1.05).subtract_scalar(0.5)
    compounded: float = prices.divide(prices.add_scalar(1.0)).product()
    checks: list[bool] = [
        price_of(prices, "TSLA") != price_of(prices, "TSLA"),
        price_of(prices, "AAPL") == 190.0,
        values.to_dict["TSLA"] == 0.0,
        abs(w.sum() - 1.0) < 1e-12,
        set(moves) <= set(positions.to_dict),
        grown.add(values, fill=2).divide(values, 1).sum() > 0.0,
        0.0 < compounded < 1.0,
    ]
    return 0 if all(checks) else 1


if __name__ == "__main__":
    raise SystemExit(main())
