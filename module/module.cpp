// The extension module: its definition and execution slot.
#include <string>

#include "classes.h"
#include "convert.h"
#include "errors.h"
#include "pickling.h"

namespace jadefox::py {
namespace {

// Renders the pending exception for an internal-failure message.
std::string describe_pending_error() {
    Ref error = Ref::steal(PyErr_GetRaisedException());
    Ref text = Ref::steal(error ? PyObject_Repr(error.get()) : nullptr);
    const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), nullptr) : nullptr;
    PyErr_Clear();
    return utf8 ? utf8 : "<no error>";
}

// The module's export list: its existing __all__ list, or a new one.
Ref export_list(PyObject* module) {
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (all) {
        cast(all.get(), &PyList_Type);
        return all;
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_fetched();
    PyErr_Clear();
    all = Ref::steal(PyList_New(0));
    if (!all) throw_fetched();
    if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) throw_fetched();
    return all;
}

int module_exec(PyObject* module) {
    return guarded(-1, [&] {
        if (!module) throw_fetched();
        cast(module, &PyModule_Type);
        // PanicException is made here too rather than when the first
        // failure needs it: by then memory or stack may be exhausted, and
        // every error fetched from the interpreter is compared with it.
        PyTypeObject* cls = this_interpreter_classes().jadedict;
        Ref name = Ref::steal(PyUnicode_FromString("JadeDict"));
        if (!name) throw_fetched();
        Ref all = export_list(module);
        if (PyList_Append(all.get(), name.get()) < 0) {
            panic("could not append __name__ to __all__: " + describe_pending_error());
        }
        if (PyObject_SetAttr(module, name.get(), reinterpret_cast<PyObject*>(cls)) < 0) throw_fetched();
        // pickle and copy must work from the moment the class can be had.
        register_reducer(cls);
        return 0;
    });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
#ifdef Py_mod_multiple_interpreters
    // Each interpreter gets its own classes (classes.h); what interpreters
    // share besides is immutable core data and per-thread hash seeds, so
    // each may run under a GIL of its own.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "jadefox",
    "Immutable str-to-float dictionaries with fast key-aligned arithmetic: "
    "a Python module implemented in C++.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace jadefox::py

PyMODINIT_FUNC PyInit_jadefox() { return PyModuleDef_Init(&jadefox::py::module_def); }
