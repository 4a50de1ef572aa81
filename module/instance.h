// The JadeDict instance: layout, borrows, creation and destruction.
#pragma once

#include <atomic>
#include <cstddef>

#include "jadefox_core.h"
#include "python.h"
#include "refs.h"

namespace jadefox::py {

struct JadeDictObject {
    PyObject_HEAD
    Record record;
    // Shared borrows in progress; all ones would mark an exclusive borrow,
    // which nothing in this class takes.
    std::atomic<std::size_t> borrow_count;
};

// The JadeDict class, made once per process on first need (a borrowed
// reference for the rest of the process). Throws PyErr if it cannot be made.
PyTypeObject* class_object();

// `obj` (the receiver, or `other`) as a JadeDict made by new_instance; else
// the TypeError of a failed cast, or the one for an instance whose record
// was never set (see checked_instance in instance.cpp).
JadeDictObject* checked_instance(PyObject* obj);

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
