"""Immutable str -> float dictionaries with fast, exact, key-aligned arithmetic."""

import builtins
from typing import SupportsFloat, SupportsIndex, final

__all__: list[str] = ["JadeDict"]

@final
class JadeDict:
    """Immutable dictionary from str keys to floats with key-aligned arithmetic.

    Built once from a dict; every method returns a new JadeDict. Not a
    Mapping: no len(), iteration or `in`, and `==` is identity. Absent keys
    read as None. Dictionaries derived from one another share one key index,
    so arithmetic between them is a loop over two arrays.

    >>> from jadefox import JadeDict
    >>> JadeDict({"a": 1, "b": 2.5}).to_dict
    {'a': 1.0, 'b': 2.5}

    """

    # dict is invariant in its value type: a type parameter lets
    # dict[str, float] and dict[str, int] through where
    # dict[str, SupportsFloat | SupportsIndex] would reject them.
    def __new__[Value: SupportsFloat | SupportsIndex](cls, dict: builtins.dict[str, Value]) -> JadeDict:
        """Builds from a dict with str keys and values float() accepts.

        Cost: one pass, one hash per key. TypeError for a non-str key or a
        value that is not a number.

        >>> JadeDict({"apple": 0.5, "bread": 2})["bread"]
        2.0

        """

    def __getitem__(self, key: str, /) -> float | None:
        """The value for key, or None when absent (never KeyError).

        Cost: one hash of the key and one probe.

        >>> JadeDict({"a": 1.0})["b"] is None
        True

        """

    def add_scalar(self, value: SupportsFloat | SupportsIndex) -> JadeDict:
        """A new JadeDict of self[k] + value for every key (same key index).

        Cost: one pass over one array.

        >>> JadeDict({"a": 1.0}).add_scalar(2).to_dict
        {'a': 3.0}

        """

    def add(self, other: JadeDict, fill: SupportsFloat | SupportsIndex = 0.0) -> JadeDict:
        """A new JadeDict of self[k] + other[k] for each key of self.

        fill stands in where other lacks k; keys only in other are dropped.
        Cost: one pass over two arrays when self and other share a key
        index, else one hash per key of self.

        >>> JadeDict({"a": 1.0, "b": 2.0}).add(JadeDict({"b": 10.0})).to_dict
        {'a': 1.0, 'b': 12.0}

        """

    def subtract_scalar(self, value: SupportsFloat | SupportsIndex) -> JadeDict:
        """A new JadeDict of self[k] - value for every key (same key index).

        Cost: one pass over one array.

        >>> JadeDict({"a": 1.0}).subtract_scalar(2).to_dict
        {'a': -1.0}

        """

    def subtract(self, other: JadeDict, fill: SupportsFloat | SupportsIndex = 0.0) -> JadeDict:
        """A new JadeDict of self[k] - other[k] for each key of self.

        fill stands in where other lacks k; keys only in other are dropped.
        Cost: as for add.

        >>> JadeDict({"a": 1.0, "b": 2.0}).subtract(JadeDict({"b": 10.0})).to_dict
        {'a': 1.0, 'b': -8.0}

        """

    def multiply_scalar(self, value: SupportsFloat | SupportsIndex) -> JadeDict:
        """A new JadeDict of self[k] * value for every key (same key index).

        Cost: one pass over one array.

        >>> JadeDict({"a": 1.5}).multiply_scalar(2).to_dict
        {'a': 3.0}

        """

    def multiply(self, other: JadeDict, fill: SupportsFloat | SupportsIndex = 1.0) -> JadeDict:
        """A new JadeDict of self[k] * other[k] for each key of self.

        fill (default 1.0, not 0.0) stands in where other lacks k, so such
        keys keep self's value; pass fill=0.0 when missing means none. Keys
        only in other are dropped. Cost: as for add.

        >>> JadeDict({"a": 2.0, "b": 3.0}).multiply(JadeDict({"b": 10.0}), fill=0.0).to_dict
        {'a': 0.0, 'b': 30.0}

        """

    def divide_scalar(self, value: SupportsFloat | SupportsIndex) -> JadeDict:
        """A new JadeDict of self[k] / value for every key (a true division).

        Division by zero gives inf or nan. Cost: one pass over one array.

        >>> JadeDict({"a": 1.0}).divide_scalar(4).to_dict
        {'a': 0.25}

        """

    def divide(self, other: JadeDict, fill: SupportsFloat | SupportsIndex = 1.0) -> JadeDict:
        """A new JadeDict of self[k] / other[k] for each key of self.

        fill (default 1.0) stands in where other lacks k; keys only in other
        are dropped; division by zero gives inf or nan. Cost: as for add.

        >>> JadeDict({"a": 1.0, "b": 6.0}).divide(JadeDict({"b": 2.0})).to_dict
        {'a': 1.0, 'b': 3.0}

        """

    def sum(self) -> float:
        """-0.0 + v0 + v1 + ..., folded strictly left to right in key order.

        Not compensated: may differ from the built-in sum() of floats and
        from math.fsum. Cost: one sequential pass.

        >>> JadeDict({"a": 1e16, "b": 1.0, "c": -1e16}).sum()
        0.0

        """

    def product(self) -> float:
        """1.0 * v0 * v1 * ..., folded strictly left to right in key order.

        Cost: one sequential pass.

        >>> JadeDict({"a": 2.0, "b": 3.0}).product()
        6.0

        """

    def reset(self, value: SupportsFloat | SupportsIndex) -> JadeDict:
        """A new JadeDict with every value replaced by value (same key index).

        The receiver is unchanged. Cost: one pass over one array.

        >>> JadeDict({"a": 1.0, "b": 2.0}).reset(0).to_dict
        {'a': 0.0, 'b': 0.0}

        """

    @property
    def to_dict(self) -> builtins.dict[str, float]:
        """A new dict of every key and value, in key order, on every access.

        Cost: one str and one float per key each time: bind it once before
        reading it in a loop.

        >>> JadeDict({"a": 1.0}).to_dict
        {'a': 1.0}

        """
