// Pickling and copying of JadeDict, registered with copyreg.
//
// The class is named "builtins.JadeDict" and carries no reduce method, so
// neither pickle nor copy can handle it on its own: pickle finds classes by
// module and name, and "builtins" does not hold this one. Module execution
// therefore registers a reducer in copyreg's dispatch table, which pickle
// and copy consult before any method of the object:
//
//   d  reduces to  (rebuild, (d.to_dict,))
//
// `rebuild` is the one instance of a small private type, reachable from no
// module attribute, that holds its interpreter's class. Called, it is the
// constructor: rebuild(*a, **k) is JadeDict(*a, **k), which is what
// copy.copy and copy.deepcopy do with a reduction. Pickled, it reduces in
// turn to
//
//   pkgutil.resolve_name("jadefox:JadeDict")
//
// so the stream names only importable functions, and a loading process
// imports jadefox (registering the reducer there too), resolves the class
// and calls it with the dict. Pickle memoises `rebuild`, so a stream with
// many dictionaries holds that lookup once; each dictionary costs what its
// dict costs. The dict lists the keys in position order, so the rebuilt
// dictionary has the same positions and every value's bits, and sum() and
// product() fold exactly as before.
#include "pickling.h"

#include "convert.h"
#include "errors.h"
#include "instance.h"

namespace jadefox::py {
namespace {

struct RebuildObject {
    PyObject_HEAD PyObject* cls;  // strong; the class whose instances this reducer handles
};

PyTypeObject* bound_class(PyObject* rebuild) {
    PyObject* cls = reinterpret_cast<RebuildObject*>(rebuild)->cls;
    // Only the collector clears it, when nothing but a cycle holds rebuild.
    if (!cls) panic("the JadeDict reducer was used after it was cleared");
    return reinterpret_cast<PyTypeObject*>(cls);
}

// rebuild(*args, **kwargs): the constructor, with its own binding and errors.
PyObject* rebuild_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&] {
        PyObject* made = PyObject_Call(reinterpret_cast<PyObject*>(bound_class(self)), args, kwargs);
        if (!made) throw_fetched();
        return made;
    });
}

// Collected: Python code can close a cycle through the class (say, by
// storing the reducer as a class attribute).
int rebuild_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<RebuildObject*>(self)->cls);
    return 0;
}

int rebuild_clear(PyObject* self) {
    Py_CLEAR(reinterpret_cast<RebuildObject*>(self)->cls);
    return 0;
}

void rebuild_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    rebuild_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// rebuild.__reduce__(): pickled by the name of a function that finds the
// class in the loading process.
PyObject* rebuild_reduce(PyObject*, PyObject*) {
    return guarded<PyObject*>(nullptr, [&] {
        Ref pkgutil = Ref::steal(PyImport_ImportModule("pkgutil"));
        if (!pkgutil) throw_fetched();
        Ref resolve = Ref::steal(PyObject_GetAttrString(pkgutil.get(), "resolve_name"));
        if (!resolve) throw_fetched();
        PyObject* reduced = Py_BuildValue("(O(s))", resolve.get(), "jadefox:JadeDict");
        if (!reduced) throw_fetched();
        return reduced;
    });
}

PyMethodDef rebuild_methods[] = {
    {"__reduce__", rebuild_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot rebuild_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(rebuild_call)},         {Py_tp_methods, rebuild_methods},
    {Py_tp_traverse, reinterpret_cast<void*>(rebuild_traverse)}, {Py_tp_clear, reinterpret_cast<void*>(rebuild_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(rebuild_dealloc)},   {0, nullptr},
};

// Not instantiable from Python: its one instance is made below.
PyType_Spec rebuild_spec = {
    "jadefox._JadeDictRebuild",
    static_cast<int>(sizeof(RebuildObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC,
    rebuild_slots,
};

// The copyreg reducer, bound to `rebuild` as its self.
PyObject* reduce_jadedict(PyObject* rebuild, PyObject* obj) {
    return guarded<PyObject*>(nullptr, [&] {
        JadeDictObject* dict = checked_instance(obj, bound_class(rebuild));
        SharedBorrow borrow(dict);
        Ref entries = Ref::steal(record_to_dict(dict->record));
        PyObject* reduced = Py_BuildValue("(O(O))", rebuild, entries.get());
        if (!reduced) throw_fetched();
        return reduced;
    });
}

PyMethodDef reduce_def = {"reduce_jadedict", reduce_jadedict, METH_O,
                          "Reduces a JadeDict for pickle and copy: (rebuild, (d.to_dict,))."};

}  // namespace

void register_reducer(PyTypeObject* cls) {
    Ref type = Ref::steal(PyType_FromSpec(&rebuild_spec));
    if (!type) throw_fetched();
    auto* rebuild_type = reinterpret_cast<PyTypeObject*>(type.get());
    Ref rebuild = Ref::steal(rebuild_type->tp_alloc(rebuild_type, 0));
    if (!rebuild) throw_fetched();
    reinterpret_cast<RebuildObject*>(rebuild.get())->cls = Py_NewRef(reinterpret_cast<PyObject*>(cls));
    Ref reducer = Ref::steal(PyCFunction_NewEx(&reduce_def, rebuild.get(), nullptr));
    if (!reducer) throw_fetched();
    Ref copyreg = Ref::steal(PyImport_ImportModule("copyreg"));
    if (!copyreg) throw_fetched();
    Ref done =
        Ref::steal(PyObject_CallMethod(copyreg.get(), "pickle", "OO", reinterpret_cast<PyObject*>(cls), reducer.get()));
    if (!done) throw_fetched();
}

}  // namespace jadefox::py
