// How failures travel inside the module until an entry point reports them.
//
// Two kinds of failure, both carried as C++ exceptions so that every hold
// taken on the way (Ref, borrows, record shares) is given back by its
// destructor as the failure passes through:
//   PyErr  a Python exception to raise: the caller sees it as is;
//   Panic  an internal failure of our own code: the caller sees a
//          PanicException (a BaseException) with the failure message.
// Exhausted native memory arrives as std::bad_alloc and becomes MemoryError.
#pragma once

#include <cxxabi.h>

#include <new>
#include <optional>
#include <source_location>
#include <string>
#include <string_view>

#include "refs.h"

namespace jadefox::py {

// A Python exception not raised yet: either a ready exception object, or a
// type with its message (a str made when the failure happened).
class PyErr {
public:
    // Takes the interpreter's pending exception (a SystemError if none is
    // set). A pending PanicException is not an ordinary error: it resumes
    // the internal-failure path, so this throws Panic instead of returning.
    static PyErr fetch();
    static PyErr with_message(PyObject* type, Ref message) noexcept { return PyErr(type, std::move(message)); }
    static PyErr ready(Ref exception) noexcept { return PyErr(nullptr, std::move(exception)); }

    // The exception's type is exactly TypeError (not a subclass).
    bool is_exact_type_error() const noexcept;
    // The ready exception object (made now for the type-and-message form).
    Ref into_exception() &&;
    // Makes it the interpreter's current exception. Not noexcept: replacing
    // a pending exception releases it, which may run Python code.
    void restore() &&;

private:
    PyErr(PyObject* type, Ref value) noexcept : type_(type), value_(std::move(value)) {}
    PyObject* type_;  // null for a ready exception; else a type kept alive by the interpreter
    Ref value_;       // the exception, or the message
};

// Throws a PyErr for the interpreter's pending exception.
[[noreturn]] void throw_fetched();

// A TypeError with a message composed like PyUnicode_FromFormat.
[[noreturn]] void throw_type_error(const char* format, ...);

// A TypeError with `message` (UTF-8), kept whole: texts taken from Python
// objects may hold NUL characters, which a C format string would cut.
[[noreturn]] void throw_type_error_text(std::string_view message);

// An internal failure with its message, which may be empty (an empty text is
// still a text). A failure without any text is one that is not a Panic.
struct Panic {
    std::string message;
};

// Writes the diagnostic for an internal failure at `where` to standard error
// and throws Panic with `message`.
[[noreturn]] void panic(std::string message, std::source_location where = std::source_location::current());

// For objects the interpreter should always be able to make: a null result
// is reported as unraisable and becomes an internal failure.
PyObject* expect_object(PyObject* made, std::source_location where = std::source_location::current());

// Raises a PanicException carrying `message`, or a generic text for a
// failure that has none (nullopt). When memory is too short to make the
// exception or its message, the MemoryError from trying is what stays
// raised. Making the instance calls the PanicException class, which Python
// code can change (it is a mutable heap class, reachable from any caught
// instance): whatever that call leaves raised is what the caller gets (see
// errors.cpp). Only failures no Python code can cause abort the process.
// Not noexcept, since that call runs Python code.
void raise_panic(std::optional<std::string_view> message);

// Whether this thread has thrown a C++ exception yet (see ready_to_fail).
[[gnu::tls_model("initial-exec")]] extern constinit thread_local bool thread_has_thrown;
void throw_once() noexcept;

// The C++ runtime and the unwinder (libstdc++, libgcc_s) keep per-thread
// state that glibc allocates on a thread's first throw, and glibc aborts the
// process when that allocation fails. Our failures are thrown, and mostly
// when memory has run out, so each thread throws once, on its first call
// into the module, while memory is still to be had.
inline void ready_to_fail() noexcept {
    if (!thread_has_thrown) [[unlikely]]
        throw_once();
}

// Runs an entry point's body and turns its outcome into the interpreter's
// convention: the result, or `failure` with an exception raised.
//
// Not noexcept, and neither is any entry point: a thread that Python code in
// the body hands the interpreter to during finalization is ended by the
// interpreter with pthread_exit, a forced unwind. It must pass through our
// frames untouched (catching it without rethrowing, or meeting a noexcept
// frame, terminates the process), so it is rethrown before the catch-all,
// which would otherwise make Python objects on a thread that no longer has
// an interpreter.
//
// A forced unwind carries no C++ object, so its handler binds a reference to
// null, as the C++ ABI intends; UndefinedBehaviorSanitizer's null check would
// halt on that binding, hence no_sanitize("null") here.
template <class R, class Body>
[[gnu::noinline, gnu::no_sanitize("null")]] R guarded(R failure, Body&& body) {
    ready_to_fail();
    try {
        return body();
    }
#ifdef __GLIBCXX__
    catch (abi::__forced_unwind&) {
        throw;
    }
#endif
    catch (PyErr& e) {
        std::move(e).restore();
    } catch (Panic& p) {
        raise_panic(p.message);
    } catch (std::bad_alloc&) {
        PyErr_NoMemory();
    }
#ifdef __GLIBCXX__
    catch (...) {
        raise_panic(std::nullopt);
    }
#else
    // LLVM's libc++abi (the release wheels' runtime) enters catch (...) for a
    // forced unwind too, and its `throw;` starts a new search instead of
    // resuming the unwind, which ends in terminate. Everything our code
    // throws besides the types above derives from std::exception.
    catch (const std::exception&) {
        raise_panic(std::nullopt);
    }
#endif
    return failure;
}

}  // namespace jadefox::py
