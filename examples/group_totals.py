"""Group totals: JadeDict has no group-by; sum each group's dictionary, or
total per key over many records with a plain dict first."""

import jadefox as jf

sales = [("books", "alice", 12.5), ("games", "bob", 30.0), ("books", "bob", 7.5), ("games", "carol", 15.0)]

# Per group: one dictionary of the group's values, folded with sum().
groups: dict[str, dict[str, float]] = {}
for group, seller, amount in sales:
    groups.setdefault(group, {})[seller] = amount
totals = jf.JadeDict({group: jf.JadeDict(members).sum() for group, members in groups.items()})
print("group totals:", totals.to_dict)
print("share of each group:", totals.divide_scalar(totals.sum()).to_dict)
