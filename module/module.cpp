// The extension module: its definition, execution slot and the JadeDict class.
#include <atomic>
#include <string>

#include "convert.h"
#include "docstrings.h"
#include "errors.h"
#include "instance.h"
#include "pickling.h"
#include "wrappers.h"

namespace jadefox::py {
namespace {

PyType_Slot class_slots[] = {
    {Py_tp_doc, const_cast<char*>(docs::class_doc)},
    {Py_tp_new, reinterpret_cast<void*>(construct)},
    {Py_mp_subscript, reinterpret_cast<void*>(get_item)},
    {Py_tp_methods, method_table},
    {Py_tp_getset, property_table},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {0, nullptr},
};

// Not a base type, not collected (instances hold no Python objects), not
// immutable: class attributes may be set from Python.
PyType_Spec class_spec = {
    "builtins.JadeDict",
    static_cast<int>(sizeof(JadeDictObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    class_slots,
};

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
        // Made now rather than when the first failure needs it: by then
        // memory or stack may be exhausted, and every error fetched from the
        // interpreter is compared with it.
        make_panic_exception_type();
        PyTypeObject* cls = class_object();
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
    // The class and PanicException are made once per process and shared by
    // every interpreter that imports the module, which is sound only while
    // those interpreters share one GIL. So: several interpreters, but not a
    // per-interpreter GIL; the import system refuses the import in an
    // interpreter with its own GIL (ImportError).
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_SUPPORTED},
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

PyTypeObject* class_object() {
    static std::atomic<PyObject*> slot{nullptr};
    if (PyObject* made = slot.load(std::memory_order_acquire)) return reinterpret_cast<PyTypeObject*>(made);

    Ref made = Ref::steal(PyType_FromSpec(&class_spec));
    if (!made) {
        Ref cause = Ref::steal(PyErr_GetRaisedException());
        Ref error = Ref::steal(PyObject_CallFunction(PyExc_RuntimeError, "s",
                                                     "An error occurred while initializing class JadeDict"));
        if (!error) throw_fetched();
        PyException_SetCause(error.get(), cause.release());
        throw PyErr::ready(std::move(error));
    }
    // Two threads may both get here; the first class stored is the one.
    PyObject* expected = nullptr;
    if (slot.compare_exchange_strong(expected, made.get(), std::memory_order_acq_rel)) {
        return reinterpret_cast<PyTypeObject*>(made.release());
    }
    return reinterpret_cast<PyTypeObject*>(expected);
}

}  // namespace jadefox::py

PyMODINIT_FUNC PyInit_jadefox() { return PyModuleDef_Init(&jadefox::py::module_def); }
