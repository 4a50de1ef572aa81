"""Union alignment: results hold the receiver's keys only, and keys only in
`other` are dropped. To keep every key of both sides, build both over the
union of their keys first, filling what each side lacks."""

import jadefox as jf

january = {"rent": 1200.0, "food": 310.5, "travel": 80.0}
february = {"rent": 1200.0, "food": 295.25, "books": 42.0}

print("receiver's keys only:", jf.JadeDict(january).add(jf.JadeDict(february)).to_dict)

# One key order for both (first side's keys, then the other's new ones), so
# the two key indexes are equal and the add is a plain loop over two arrays.
keys = list(dict.fromkeys([*january, *february]))
jan = jf.JadeDict({k: january.get(k, 0.0) for k in keys})
feb = jf.JadeDict({k: february.get(k, 0.0) for k in keys})
print("union of keys:       ", jan.add(feb).to_dict)
