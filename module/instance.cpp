#include "instance.h"

#include <new>

#include "convert.h"
#include "errors.h"

namespace jadefox::py {

JadeDictObject* check_receiver(PyObject* self) {
    return reinterpret_cast<JadeDictObject*>(cast(self, class_object()));
}

SharedBorrow::SharedBorrow(JadeDictObject* obj) : obj_(obj) {
    constexpr std::size_t exclusive = static_cast<std::size_t>(-1);
    std::size_t seen = obj->borrow_count.load(std::memory_order_relaxed);
    do {
        if (seen == exclusive) {
            throw PyErr::with_message(PyExc_RuntimeError,
                                      Ref::steal(PyUnicode_FromString("Already mutably borrowed")));
        }
    } while (!obj->borrow_count.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire,
                                                      std::memory_order_relaxed));
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

void dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    const int status = guarded(-1, [&] {
        auto* obj = reinterpret_cast<JadeDictObject*>(self);
        obj->record.~Record();  // gives up the key index, then the values
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
