// Pickling and copying of JadeDict through copyreg (see pickling.cpp).
#pragma once

#include "python.h"

namespace jadefox::py {

// Registers JadeDict's reducer in this interpreter's copyreg dispatch table,
// replacing one an earlier execution of the module registered. Throws PyErr.
void register_reducer(PyTypeObject* cls);

}  // namespace jadefox::py
