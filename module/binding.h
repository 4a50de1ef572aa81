// Binding of call arguments to a method's named parameters.
#pragma once

#include <cstddef>

#include "python.h"

namespace jadefox::py {

// The fixed description of one method's parameters. Every parameter here is
// positional-or-keyword; the first `required` must be supplied.
struct FunctionDescription {
    const char* class_name;
    const char* method_name;
    const char* const* parameters;
    std::size_t parameter_count;
    std::size_t required;
};

// Fills `slots` (parameter_count borrowed references, null when not passed)
// from a vector call: positional arguments first, then one value per name in
// `kwnames`. Throws PyErr with the interpreter-style binding message.
void extract_arguments_fastcall(const FunctionDescription& desc, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames, PyObject** slots);

// The same from a positional tuple and a keyword dict (or null).
void extract_arguments_tuple_dict(const FunctionDescription& desc, PyObject* args, PyObject* kwargs, PyObject** slots);

}  // namespace jadefox::py
