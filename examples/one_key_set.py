"""Many dictionaries over one key set: build the first from data, derive the
others from it (reset, scalar or pairwise arithmetic), and every operation
between them is a loop over two arrays of doubles, with no hashing."""

import jadefox as jf

base = jf.JadeDict({f"item-{i}": float(i) for i in range(5)})
zeros = base.reset(0.0)  # same keys, every value 0.0: one family
costs = zeros.add_scalar(2.5)
margins = base.multiply_scalar(0.1).add(costs)

print("costs:  ", costs.to_dict)
print("margins:", margins.to_dict)
print("total margin:", margins.sum())

# New data for the same keys joins the family when it is added to a member:
# the add is keyed once (one hash per key), and its result is positional.
updates = zeros.add(jf.JadeDict({"item-4": 1.0, "item-0": -1.0}))
print("updated:", base.add(updates).to_dict)
