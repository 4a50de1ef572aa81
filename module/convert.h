// Conversions between Python objects and core values, with their errors.
#pragma once

#include <string_view>

#include "errors.h"
#include "jadefox_core.h"
#include "python.h"

namespace jadefox::py {

// Throws the TypeError of a failed cast of `obj` to `target`:
// "'int' object is not an instance of 'str'".
[[noreturn]] void throw_cast_error(PyObject* obj, PyTypeObject* target);

// Throws the TypeError for an instance whose record was never set:
// "'JadeDict' object was not made by its constructor".
[[noreturn]] void throw_unmade_instance_error(PyObject* obj);

// `obj` if its type is `target` or a subtype, else the cast error.
PyObject* cast(PyObject* obj, PyTypeObject* target);

// Runs `convert` for the parameter `name`; an exact TypeError it throws gets
// the prefix "argument 'name': ", any other failure passes unchanged.
template <class F>
decltype(auto) convert_argument(const char* name, F&& convert);
[[noreturn]] void argument_extraction_error(const char* name, PyErr error);

// A double from a float, int, bool or anything with __float__/__index__.
double extract_float(PyObject* obj);

// The UTF-8 text of a str (borrowed from the object; valid while it lives).
std::string_view extract_key_text(PyObject* obj);

// The entries of a dict with str keys and float-convertible values, in the
// dict's own order (a later equal text replaces the value of the first).
// Its errors are those of the dict as a whole: the caller names the argument.
EntryMap extract_entry_map(PyObject* obj);

// A new dict of the record's keys and values, in position order.
PyObject* record_to_dict(const Record& record);

// A new float, or an internal failure.
PyObject* float_object(double value);

template <class F>
decltype(auto) convert_argument(const char* name, F&& convert) {
    try {
        return convert();
    } catch (PyErr& error) {
        argument_extraction_error(name, std::move(error));
    }
}

}  // namespace jadefox::py
