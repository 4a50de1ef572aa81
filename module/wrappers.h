// The functions the interpreter calls on JadeDict, and the tables that
// register them.
#pragma once

#include "python.h"

namespace jadefox::py {

// Constructor, item access and the to_dict getter.
PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs);
PyObject* get_item(PyObject* self, PyObject* key);
PyObject* get_to_dict(PyObject* self, void* closure);

// The arithmetic methods and reductions, in registration order.
extern PyMethodDef method_table[];
extern PyGetSetDef property_table[];

}  // namespace jadefox::py
