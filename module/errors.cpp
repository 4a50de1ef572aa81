#include "errors.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "classes.h"

namespace jadefox::py {
namespace {

constexpr const char* generic_panic_text = "jadefox: the extension's native code failed without a message";

[[noreturn]] void abort_uncaught() noexcept {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::fflush(stderr);
    std::abort();
}

// A str's text as UTF-8, whole: NULs kept, lone surrogates passed through
// (so that decoding it the same way gives the str back).
Ref utf8_whole(PyObject* str) { return Ref::steal(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass")); }

// The text of str(obj), or `fallback` if it cannot be had (the error from
// trying is cleared).
std::string text_of(PyObject* obj, const char* fallback) {
    Ref s = Ref::steal(PyObject_Str(obj));
    Ref bytes = s ? utf8_whole(s.get()) : Ref();
    if (!bytes) {
        PyErr_Clear();
        return fallback;
    }
    return std::string(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
}

// A PanicException came back from a call into the interpreter (say, raised
// by a user's __float__): print it with its traceback, then carry on as an
// internal failure with the same message.
//
// It is printed as the default hook prints it, but not through the
// interpreter's top-level handler (PyErr_Print): that one runs
// sys.excepthook, which may exit the process, and ends the process itself
// when the exception is a SystemExit (a PanicException subclass can be one).
// We are in the middle of a call that its caller still expects to return,
// in whatever thread it runs, so neither may happen here.
[[noreturn]] void resume_panic(Ref exception) {
    std::string message = text_of(exception.get(), "Unwrapped panic from Python code");
    std::fputs(
        "jadefox: resuming an internal failure: a PanicException was fetched from the interpreter\n"
        "Python stack trace below:\n",
        stderr);
    std::fflush(stderr);  // before the traceback, which goes through sys.stderr
    PyErr_DisplayException(exception.get());
    throw Panic{std::move(message)};
}

}  // namespace

PyErr PyErr::fetch() {
    Ref exception = Ref::steal(PyErr_GetRaisedException());
    if (!exception) {
        return with_message(PyExc_SystemError,
                            Ref::steal(PyUnicode_FromString("attempted to fetch exception but none was set")));
    }
    PyObject* panic_type = panic_exception_type();
    if (panic_type && PyObject_TypeCheck(exception.get(), reinterpret_cast<PyTypeObject*>(panic_type))) {
        resume_panic(std::move(exception));
    }
    return ready(std::move(exception));
}

bool PyErr::is_exact_type_error() const noexcept {
    return type_ ? type_ == PyExc_TypeError : Py_TYPE(value_.get()) == reinterpret_cast<PyTypeObject*>(PyExc_TypeError);
}

Ref PyErr::into_exception() && {
    if (!type_) return std::move(value_);
    Ref exception = Ref::steal(PyObject_CallOneArg(type_, value_.get()));
    if (!exception) throw_fetched();
    return exception;
}

void PyErr::restore() && {
    if (!type_) {
        PyErr_SetRaisedException(value_.release());
    } else if (value_) {
        PyErr_SetObject(type_, value_.get());
    } else if (!PyErr_Occurred()) {
        // Making the message str failed; its MemoryError is normally still
        // pending, but code run since may have cleared it.
        PyErr_NoMemory();
    }
}

constinit thread_local bool thread_has_thrown = false;

void throw_once() noexcept {
    try {
        throw 0;
    } catch (int) {}
    thread_has_thrown = true;
}

void throw_fetched() { throw PyErr::fetch(); }

void throw_type_error(const char* format, ...) {
    va_list args;
    va_start(args, format);
    Ref message = Ref::steal(PyUnicode_FromFormatV(format, args));
    va_end(args);
    if (!message) throw_fetched();
    throw PyErr::with_message(PyExc_TypeError, std::move(message));
}

void throw_type_error_text(std::string_view message) {
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (!text) throw_fetched();
    throw PyErr::with_message(PyExc_TypeError, std::move(text));
}

void panic(std::string message, std::source_location where) {
    std::fprintf(stderr, "jadefox: internal failure at %s:%u in %s: ", where.file_name(),
                 static_cast<unsigned>(where.line()), where.function_name());
    std::fwrite(message.data(), 1, message.size(), stderr);  // whole, NULs included
    std::fputc('\n', stderr);
    throw Panic{std::move(message)};
}

PyObject* expect_object(PyObject* made, std::source_location where) {
    if (made) return made;
    if (PyErr_Occurred()) PyErr_WriteUnraisable(nullptr);
    panic("PyObject pointer is null", where);
}

void raise_panic(std::optional<std::string_view> message) {
    PyObject* type = panic_exception_type();
    if (!type) abort_uncaught();  // module execution makes it before anything can fail
    // surrogatepass undoes text_of: a resumed message comes back whole, and
    // every text we make decodes, so only exhausted memory can fail here.
    Ref text = Ref::steal(
        !message ? PyUnicode_FromString(generic_panic_text)
                 : PyUnicode_DecodeUTF8(message->data(), static_cast<Py_ssize_t>(message->size()), "surrogatepass"));
    if (!text) {
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) return;
        abort_uncaught();
    }
    // The interpreter calls the class with the message, as `raise
    // PanicException(message)` would. Python code may have changed the class
    // (its __init__ or __new__), and whatever it leaves raised is what the
    // caller gets: our PanicException; the instance a changed __new__ made,
    // a subclass's or, as Python's own raise also allows, another exception
    // class's (the class was changed to make that on purpose, and a stand-in
    // of ours would hide it); or the error that making the instance raised
    // (MemoryError, or say a ValueError from a replaced __init__, which the
    // interpreter annotates with a note).
    PyErr_SetObject(type, text.get());
    if (!PyErr_Occurred()) abort_uncaught();  // PyErr_SetObject always raises something
}

}  // namespace jadefox::py
