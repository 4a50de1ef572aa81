#include "classes.h"

#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include "docstrings.h"
#include "errors.h"
#include "instance.h"
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
    "builtins.JadeDict", static_cast<int>(sizeof(JadeDictObject)), 0, Py_TPFLAGS_DEFAULT, class_slots,
};

constexpr const char* panic_doc =
    "\nThe exception raised when jadefox's native code fails internally.\n"
    "\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so\n"
    "it will typically propagate all the way through the stack and make the\n"
    "interpreter exit.\n";

// The key under which an interpreter's state dict holds its classes. The
// dict is private to C code and cleared when its interpreter ends.
constexpr const char* state_key = "jadefox.classes";
constexpr const char* capsule_name = "jadefox.classes";

// One interpreter's classes, owned (strong references) by a capsule in that
// interpreter's state dict, so they are released by their own interpreter
// when it ends.
struct OwnedClasses {
    std::int64_t interpreter_id;
    InterpreterClasses classes;
};

// The classes of every live interpreter that has executed the module, by
// interpreter id, for the lookups that may not allocate. Ids are never
// reused within a process. Entries point into the capsules' payloads; a
// capsule removes its entry before it releases the classes.
//
// The lock is held only around these few lines of plain C++, never while
// running interpreter code, so it cannot deadlock against the interpreter's
// own locks, and no thread holds it when another forks (the forking thread
// is attached, and so is any thread inside).
std::mutex registry_lock;
std::vector<const OwnedClasses*> registry;

const OwnedClasses* find_registered(std::int64_t id) noexcept {
    for (const OwnedClasses* entry : registry) {
        if (entry->interpreter_id == id) return entry;
    }
    return nullptr;
}

std::int64_t this_interpreter_id() noexcept { return PyInterpreterState_GetID(PyInterpreterState_Get()); }

// Copied under the lock: the entry goes when its interpreter ends.
std::optional<InterpreterClasses> registered_for_this_interpreter() noexcept {
    const std::int64_t id = this_interpreter_id();
    std::lock_guard hold(registry_lock);
    const OwnedClasses* entry = find_registered(id);
    if (!entry) return std::nullopt;
    return entry->classes;
}

void register_classes(const OwnedClasses* owned) {
    std::lock_guard hold(registry_lock);
    if (!find_registered(owned->interpreter_id)) registry.push_back(owned);
}

void unregister_classes(const OwnedClasses* owned) noexcept {
    std::lock_guard hold(registry_lock);
    std::erase(registry, owned);
}

// Runs in the ending interpreter while it clears its state dict (or when
// this_interpreter_classes drops a pair that lost to one stored meanwhile).
void release_classes(PyObject* capsule) noexcept {
    auto* owned = static_cast<OwnedClasses*>(PyCapsule_GetPointer(capsule, capsule_name));
    if (!owned) {
        PyErr_WriteUnraisable(capsule);
        return;
    }
    unregister_classes(owned);
    Py_DECREF(owned->classes.jadedict);
    Py_DECREF(owned->classes.panic);
    delete owned;
}

Ref make_jadedict_class() {
    Ref made = Ref::steal(PyType_FromSpec(&class_spec));
    if (made) return made;
    Ref cause = Ref::steal(PyErr_GetRaisedException());
    Ref error = Ref::steal(
        PyObject_CallFunction(PyExc_RuntimeError, "s", "An error occurred while initializing class JadeDict"));
    if (!error) throw_fetched();
    PyException_SetCause(error.get(), cause.release());
    throw PyErr::ready(std::move(error));
}

Ref make_panic_class() {
    Ref made =
        Ref::steal(PyErr_NewExceptionWithDoc("vexo_runtime.PanicException", panic_doc, PyExc_BaseException, nullptr));
    if (!made) throw_fetched();
    return made;
}

// A capsule owning a new pair of classes for this interpreter.
Ref make_owning_capsule() {
    Ref jadedict = make_jadedict_class();
    Ref panic = make_panic_class();
    auto* owned =
        new OwnedClasses{this_interpreter_id(), {reinterpret_cast<PyTypeObject*>(jadedict.get()), panic.get()}};
    Ref capsule = Ref::steal(PyCapsule_New(owned, capsule_name, release_classes));
    if (!capsule) {
        delete owned;
        throw_fetched();
    }
    jadedict.release();  // now the capsule's
    panic.release();
    return capsule;
}

// The value under `key` in `dict`, or null.
Ref looked_up(PyObject* dict, PyObject* key) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(dict, key, &found) < 0) throw_fetched();
    return Ref::steal(found);
#else
    PyObject* found = PyDict_GetItemWithError(dict, key);
    if (!found && PyErr_Occurred()) throw_fetched();
    return found ? Ref::borrow(found) : Ref();
#endif
}

// The value under `key` in `dict`, storing `made` there if there is none.
Ref stored_or(PyObject* dict, PyObject* key, PyObject* made) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* stored = nullptr;
    if (PyDict_SetDefaultRef(dict, key, made, &stored) < 0) throw_fetched();
    return Ref::steal(stored);
#else
    PyObject* stored = PyDict_SetDefault(dict, key, made);
    if (!stored) throw_fetched();
    return Ref::borrow(stored);
#endif
}

const OwnedClasses* owned_by(PyObject* capsule) {
    auto* owned = static_cast<const OwnedClasses*>(PyCapsule_GetPointer(capsule, capsule_name));
    if (!owned) throw_fetched();
    return owned;
}

// Making an interpreter's classes is serialised across the process: the
// interpreter's state dict is made by its first reader, unguarded on the
// free-threaded build, so two threads reading it first could each make one
// and store their classes in different dicts. The lock is waited for
// detached from the interpreter, so that its holder, which runs interpreter
// code (making a type can collect garbage or hand the GIL on), can go on; it
// is recursive because that code can run a finalizer that imports the module
// again on the same thread.
std::recursive_mutex creation_lock;

class CreationHold {
public:
    CreationHold() : hold_(creation_lock, std::defer_lock) {
        if (hold_.try_lock()) return;
        PyThreadState* saved = PyEval_SaveThread();
        hold_.lock();
        // May end a daemon thread during finalization (see guarded): the
        // unwind then gives the lock back through hold_.
        PyEval_RestoreThread(saved);
    }

private:
    std::unique_lock<std::recursive_mutex> hold_;
};

}  // namespace

InterpreterClasses this_interpreter_classes() {
    if (std::optional<InterpreterClasses> known = registered_for_this_interpreter()) return *known;
    CreationHold hold;
    if (std::optional<InterpreterClasses> known = registered_for_this_interpreter()) return *known;

    PyObject* state = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (!state) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_ImportError, "jadefox: this interpreter keeps no per-interpreter state");
        }
        throw_fetched();
    }
    Ref key = Ref::steal(PyUnicode_FromString(state_key));
    if (!key) throw_fetched();
    Ref stored = looked_up(state, key.get());
    if (!stored) {
        // A finalizer run while making them may have stored a pair on this
        // thread meanwhile; the pair stored first is the interpreter's, and
        // the other capsule, dropped here, releases its classes.
        Ref made = make_owning_capsule();
        stored = stored_or(state, key.get(), made.get());
    }
    const OwnedClasses* owned = owned_by(stored.get());
    register_classes(owned);
    return owned->classes;
}

PyObject* panic_exception_type() noexcept {
    std::optional<InterpreterClasses> known = registered_for_this_interpreter();
    return known ? known->panic : nullptr;
}

PyTypeObject* jadedict_class_or_null() noexcept {
    std::optional<InterpreterClasses> known = registered_for_this_interpreter();
    return known ? known->jadedict : nullptr;
}

bool is_jadedict_class(PyTypeObject* type) noexcept { return type->tp_dealloc == dealloc; }

}  // namespace jadefox::py
