// Owned references to Python objects.
#pragma once

#include <utility>

#include "python.h"

namespace jadefox::py {

// Whether the calling thread is attached to the interpreter (has a current
// thread state). Every entry point is called attached; a thread is found
// detached only while the interpreter ends it with pthread_exit: a daemon
// thread that asks for the interpreter back during finalization. That forced
// unwind runs our destructors on the way out, and none of them may touch a
// Python object then: the thread holds no interpreter, which may already be
// torn down. CPython itself leaks the references of a thread it ends this
// way, and so do we.
inline bool thread_attached() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_GetUnchecked() != nullptr;
#else
    return _PyThreadState_UncheckedGet() != nullptr;
#endif
}

// Owns one strong reference, given back when it goes out of scope, so that
// no return path can leak it.
//
// `Ref` is the one to use. It gives its reference back only while the thread
// is attached (see thread_attached), which costs a call into the interpreter
// per release: about 23 instructions, 4% of to_dict for a thousand keys,
// whose loop makes and releases two objects per key. `CallFreeRef` skips
// that test. It is for a reference whose whole life spans no call that can
// run Python code (only making objects of builtin types and storing them),
// so no forced unwind can start while it lives, and it is always released
// attached.
//
// The destructor may run Python code (the last reference to an object with
// __del__), which may end the thread with a forced unwind as above; it is
// therefore noexcept(false), so that such an unwind passes through instead
// of terminating the process. (An unwind that starts while another exception
// is unwinding still terminates: the language allows nothing else.)
template <bool released_only_attached>
class BasicRef {
public:
    BasicRef() noexcept = default;
    // Takes over a new reference (possibly null).
    static BasicRef steal(PyObject* p) noexcept { return BasicRef(p); }
    // Takes a new reference to a borrowed object.
    static BasicRef borrow(PyObject* p) noexcept { return BasicRef(Py_NewRef(p)); }

    BasicRef(BasicRef&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    BasicRef& operator=(BasicRef&& other) noexcept(false) {
        BasicRef old(std::exchange(ptr_, std::exchange(other.ptr_, nullptr)));
        return *this;
    }
    BasicRef(const BasicRef&) = delete;
    BasicRef& operator=(const BasicRef&) = delete;
    ~BasicRef() noexcept(false) {
        if (!ptr_) return;
        if (released_only_attached && !thread_attached()) return;
        Py_DECREF(ptr_);
    }

    PyObject* get() const noexcept { return ptr_; }
    // Hands the reference to the caller.
    PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

private:
    explicit BasicRef(PyObject* p) noexcept : ptr_(p) {}
    PyObject* ptr_ = nullptr;
};

using Ref = BasicRef<true>;
using CallFreeRef = BasicRef<false>;

}  // namespace jadefox::py
