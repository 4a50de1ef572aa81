"""Normalising weights so that they sum to 1, and applying them."""

import jadefox as jf

raw = jf.JadeDict({"north": 3.0, "south": 1.0, "east": 4.0})
weights = raw.divide_scalar(raw.sum())
print("weights:", weights.to_dict)
print("sum of weights:", weights.sum())

# The weights and anything derived from them share one key index, so
# weighting a derived dictionary is a plain loop over two arrays.
scores = weights.reset(0.0).add(jf.JadeDict({"north": 80.0, "south": 55.0, "east": 91.0}))
print("weighted score:", scores.multiply(weights).sum())
