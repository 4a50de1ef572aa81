"""CSV and JSON in and out: both give plain dicts of str keys, which is what
a JadeDict is built from and what `to_dict` gives back."""

import csv
import io
import json

import jadefox as jf

CSV_TEXT = """sku,stock
sku-1,12
sku-2,0
sku-3,7.5
"""

# CSV: the values arrive as text; float() them (the constructor accepts
# numbers, not strings).
stock = jf.JadeDict({row["sku"]: float(row["stock"]) for row in csv.DictReader(io.StringIO(CSV_TEXT))})
restocked = stock.add_scalar(10)

out = io.StringIO()
writer = csv.writer(out, lineterminator="\n")
writer.writerow(["sku", "stock"])
writer.writerows(restocked.to_dict.items())
print(out.getvalue(), end="")

# JSON: objects load as dicts whose numbers are int or float, both accepted.
weights = jf.JadeDict(json.loads('{"a": 1, "b": 2.5, "c": 0.5}'))
print(json.dumps(weights.multiply_scalar(2).to_dict))
