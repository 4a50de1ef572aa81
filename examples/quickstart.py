"""A worked example: an order's total from prices, quantities and a discount.

Run it with `python3 dev.py -s quickstart`, which installs jadefox first.
"""

import jadefox as jf

# Build once from plain dicts. Keys are str, values anything float() accepts.
prices = jf.JadeDict({"apple": 0.5, "bread": 2.25, "cheese": 7.0, "dates": 4.5})
quantities = jf.JadeDict({"apple": 6, "cheese": 1, "dates": 2})

# Read single values: an absent key gives None, never KeyError.
print("price of bread:", prices["bread"])
print("price of eggs: ", prices["eggs"])

# Key-aligned arithmetic: the result has exactly the receiver's keys; `fill`
# stands in for keys the other operand lacks (no bread was bought).
line_totals = prices.multiply(quantities, fill=0.0)
print("line totals:   ", line_totals.to_dict)

# Scalar arithmetic, then a reduction: 10% off every line, and the total.
discounted = line_totals.multiply_scalar(0.9)
print("discounted:    ", discounted.to_dict)
print("order total:   ", discounted.sum())

# Derived dictionaries share one key index, so combining them is a plain
# loop over two arrays of doubles: no hashing at all.
savings = line_totals.subtract(discounted)
print("savings:       ", savings.to_dict)

# Nothing ever changes a JadeDict; every operation returns a new one.
print("prices intact: ", prices.to_dict)
