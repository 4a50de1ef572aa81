// The docstrings of the JadeDict class: each method's begins with its text
// signature, then "--" and an empty line, which the interpreter splits off
// into __text_signature__.
#pragma once

namespace jadefox::py::docs {

inline constexpr const char class_doc[] = "JadeDict(dict)\n--\n\n";

inline constexpr const char add_scalar[] =
    "add_scalar($self, value)\n--\n\nAdds a scalar value (single value) to every value in the dictionary.\n\n"
    "# Examples\n\n```python\n>>> d = jf.JadeDict({\"a\": 1.0, \"b\": 2.0})\n>>> d.add_scalar(10.0).to_dict\n"
    "{'a': 11.0, 'b': 12.0}\n```";

inline constexpr const char add[] =
    "add($self, other, fill=0.0)\n--\n\nAdds values (d1 + d2), aligned on d1s keys. Only keys from d1 are\n"
    "considered, if key from d1 is absent from d2, a fill value can optionally\nbe used as the argument for +.\n\n"
    "# Examples\n\n```python\n>>> d1 = jf.JadeDict({\"a\": 1.0, \"b\": 2.0})\n>>> d2 = jf.JadeDict({\"b\": 10.0})\n"
    ">>> d1.add(d2).to_dict\n{'a': 1.0, 'b': 12.0}\n>>> d1.add(d2, fill=5.0).to_dict\n{'a': 6.0, 'b': 12.0}\n```";

inline constexpr const char subtract_scalar[] =
    "subtract_scalar($self, value)\n--\n\nSubtracts a scalar value (single value) to every value in the dictionary.\n\n"
    "# Examples\n\n```python\n>>> d = jf.JadeDict({\"a\": 5.0, \"b\": 10.0})\n>>> d.subtract_scalar(3.0).to_dict\n"
    "{'a': 2.0, 'b': 7.0}\n```";

inline constexpr const char subtract[] =
    "subtract($self, other, fill=0.0)\n--\n\nSubtracts values (d1 - d2), aligned on d1s keys. Only keys from d1 are\n"
    "considered, if key from d1 is absent from d2, a fill value can optionally\nbe used as the argument for -.\n\n"
    "# Examples\n\n```python\n>>> d1 = jf.JadeDict({\"a\": 10.0, \"b\": 5.0})\n>>> d2 = jf.JadeDict({\"b\": 2.0})\n"
    ">>> d1.subtract(d2).to_dict\n{'a': 10.0, 'b': 3.0}\n```";

inline constexpr const char multiply_scalar[] =
    "multiply_scalar($self, value)\n--\n\nMultiplies a scalar value (single value) to every value in the "
    "dictionary.\n\n"
    "# Examples\n\n```python\n>>> d = jf.JadeDict({\"a\": 2.0, \"b\": 5.0})\n>>> d.multiply_scalar(3.0).to_dict\n"
    "{'a': 6.0, 'b': 15.0}\n```";

inline constexpr const char multiply[] =
    "multiply($self, other, fill=1.0)\n--\n\nMultiplies values (d1 * d2), aligned on d1s keys. Only keys from d1 are\n"
    "considered, if key from d1 is absent from d2, a fill value can optionally\nbe used as the argument for *.\n\n"
    "# Examples\n\n```python\n>>> d1 = jf.JadeDict({\"a\": 2.0, \"b\": 3.0})\n>>> d2 = jf.JadeDict({\"b\": 10.0})\n"
    ">>> d1.multiply(d2).to_dict\n{'a': 2.0, 'b': 30.0}\n```";

inline constexpr const char divide_scalar[] =
    "divide_scalar($self, value)\n--\n\nDivides a scalar value (single value) to every value in the dictionary.\n\n"
    "# Examples\n\n```python\n>>> d = jf.JadeDict({\"a\": 10.0, \"b\": 6.0})\n>>> d.divide_scalar(2.0).to_dict\n"
    "{'a': 5.0, 'b': 3.0}\n```";

inline constexpr const char divide[] =
    "divide($self, other, fill=1.0)\n--\n\nDivides values (d1 / d2), aligned on d1s keys. Only keys from d1 are\n"
    "considered, if key from d1 is absent from d2, a fill value can optionally\nbe used as the argument for /.\n\n"
    "# Examples\n\n```python\n>>> d1 = jf.JadeDict({\"a\": 10.0, \"b\": 6.0})\n>>> d2 = jf.JadeDict({\"b\": 2.0})\n"
    ">>> d1.divide(d2).to_dict\n{'a': 10.0, 'b': 3.0}\n```";

inline constexpr const char sum[] =
    "sum($self)\n--\n\nSum of values.\n\n# Examples\n\n```python\n"
    ">>> d = jf.JadeDict({\"a\": 1.0, \"b\": 2.0, \"c\": 3.0})\n>>> d.sum()\n6.0\n```";

inline constexpr const char product[] =
    "product($self)\n--\n\nProduct of values.\n\n# Examples\n\n```python\n"
    ">>> d = jf.JadeDict({\"a\": 2.0, \"b\": 3.0, \"c\": 4.0})\n>>> d.product()\n24.0\n```";

inline constexpr const char reset[] =
    "reset($self, value)\n--\n\nSets all values to passed in value\n\n# Examples\n\n```python\n"
    ">>> d = jf.JadeDict({\"a\": 1.0, \"b\": 2.0})\n>>> d.reset(99.0).to_dict\n{'a': 99.0, 'b': 99.0}\n```";

inline constexpr const char to_dict[] =
    "Returns the underlying dictionary.\n\n# Examples\n\n```python\n>>> d = jf.JadeDict({\"x\": 42.0})\n"
    ">>> d.to_dict\n{'x': 42.0}\n```";

}  // namespace jadefox::py::docs
