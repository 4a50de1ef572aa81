// The one place the CPython headers are included, with the size-typed
// argument parsing they ask for.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
