// The JadeDict instance: layout, borrows, creation and destruction.
#pragma once

#include <atomic>
#include <cstddef>

#include "jadefox_core.h"
#include "python.h"
#include "refs.h"

namespace jadefox::py {

struct JadeDictObject {
    PyObject_HEAD Record record;
    // Shared borrows in progress; all ones would mark an exclusive borrow,
    // which nothing in this class takes.
    std::atomic<std::size_t> borrow_count;
};

// `obj` as an instance of `cls` (the caller's JadeDict class) made by
// new_instance; else the TypeError of a failed cast, or the one for an
// instance whose record was never set (see instance.cpp).
JadeDictObject* checked_instance(PyObject* obj, PyTypeObject* cls);

// The receiver of a method or slot as a JadeDict made by new_instance, with
// the errors of checked_instance. Its class is its own type: a call that
// gets this far was found through that type.
JadeDictObject* checked_receiver(PyObject* self);

// The class of a receiver that checked_receiver accepted: the one its
// results are made of and `other` is checked against.
inline PyTypeObject* class_of(JadeDictObject* receiver) noexcept { return Py_TYPE(receiver); }

// A shared borrow of an instance for the length of a call.
class SharedBorrow {
public:
    explicit SharedBorrow(JadeDictObject* obj);
    ~SharedBorrow() { obj_->borrow_count.fetch_sub(1, std::memory_order_release); }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;

private:
    JadeDictObject* obj_;
};

// A new instance of `type` holding `record` (released if that fails).
Ref new_instance(PyTypeObject* type, Record&& record);

// tp_dealloc.
void dealloc(PyObject* self);

}  // namespace jadefox::py
