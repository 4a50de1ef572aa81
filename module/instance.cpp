#include "instance.h"

#include <new>

#include "classes.h"
#include "convert.h"
#include "errors.h"

namespace jadefox::py {

namespace {

// The class is mutable, so Python code can replace JadeDict.__new__ by one
// that returns object.__new__(cls): zero-filled memory that new_instance
// never filled. Every record it stores holds a key index, so a null one
// marks such an instance. The pointer follows the object header, next to
// the type pointer that the caller has just read.
JadeDictObject* made_by_constructor(PyObject* obj) {
    auto* instance = reinterpret_cast<JadeDictObject*>(obj);
    if (!instance->record.keys) [[unlikely]]
        throw_unmade_instance_error(obj);
    return instance;
}

}  // namespace

JadeDictObject* checked_instance(PyObject* obj, PyTypeObject* cls) { return made_by_constructor(cast(obj, cls)); }

JadeDictObject* checked_receiver(PyObject* self) {
    if (is_jadedict_class(Py_TYPE(self))) [[likely]]
        return made_by_constructor(self);
    // The interpreter checks a method's receiver before the call, so only a
    // caller going around it gets here; the message names this
    // interpreter's class.
    PyTypeObject* cls = jadedict_class_or_null();
    if (!cls) panic("a JadeDict method ran in an interpreter that has not imported jadefox");
    throw_cast_error(self, cls);
}

SharedBorrow::SharedBorrow(JadeDictObject* obj) : obj_(obj) {
    constexpr std::size_t exclusive = static_cast<std::size_t>(-1);
    std::size_t seen = obj->borrow_count.load(std::memory_order_relaxed);
    do {
        if (seen == exclusive) {
            throw PyErr::with_message(PyExc_RuntimeError, Ref::steal(PyUnicode_FromString("Already mutably borrowed")));
        }
    } while (
        !obj->borrow_count.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire, std::memory_order_relaxed));
}

Ref new_instance(PyTypeObject* type, Record&& record) {
    // object.__new__(type) with no arguments comes down to the type's
    // tp_alloc: zero-filled memory, one reference, a reference to the type.
    Ref made = Ref::steal(type->tp_alloc(type, 0));
    if (!made) {
        record.release();
        throw_fetched();
    }
    auto* obj = reinterpret_cast<JadeDictObject*>(made.get());
    new (&obj->record) Record(std::move(record));
    new (&obj->borrow_count) std::atomic<std::size_t>(0);
    return made;
}

void dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    const int status = guarded(-1, [&] {
        auto* obj = reinterpret_cast<JadeDictObject*>(self);
        // Gives up the key index, then the values. An instance whose record
        // was never set (see checked_instance) holds null handles: nothing.
        obj->record.~Record();
        obj->borrow_count.~atomic();
        if (!type->tp_free) panic("PyBaseObject_Type should have tp_free");
        type->tp_free(self);
        Py_DECREF(type);  // every instance of a heap type holds its type
        return 0;
    });
    // A failure above was raised as PanicException; nobody can catch it here.
    if (status < 0) PyErr_WriteUnraisable(nullptr);
}

}  // namespace jadefox::py
