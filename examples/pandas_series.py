"""From and to pandas: a Series or a DataFrame column in, a Series out.

Needs pandas (`pip install pandas`). A JadeDict takes a plain dict, so the
way in is `Series.to_dict()` (keys must be str), and the way out is
`pandas.Series(d.to_dict)`, which keeps the key order.
"""

import pandas as pd

import jadefox as jf

frame = pd.DataFrame({"ticker": ["AAA", "BBB", "CCC"], "price": [10.0, 20.5, 3.25]})
prices = jf.JadeDict(frame.set_index("ticker")["price"].to_dict())

held = pd.Series({"AAA": 100, "CCC": 40})
holdings = jf.JadeDict(held.astype(float).to_dict())

# fill=0.0: a ticker not held is worth nothing (multiply's default fill is 1.0).
values = prices.multiply(holdings, fill=0.0)
series = pd.Series(values.to_dict, name="value")
print(series.to_string())
print("total:", values.sum())

# As a new DataFrame column, aligned on the frame's tickers.
frame["value"] = frame["ticker"].map(values.to_dict)
print(frame.to_string(index=False))
