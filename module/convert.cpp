#include "convert.h"

#include <string>

extern "C" __attribute__((weak, visibility("default"))) PyObject* _PyDict_NewPresized(Py_ssize_t minused);

namespace jadefox::py {
namespace {

// Lossy UTF-8 rendering of a type's qualified name. With memory exhausted
// the MemoryError is the caller's error: a stand-in name would pass off a
// message that names nothing as the answer.
std::string qualified_name(PyTypeObject* type) {
    Ref name = Ref::steal(PyType_GetQualName(type));
    if (name) {
        Ref bytes = Ref::steal(PyUnicode_AsEncodedString(name.get(), "utf-8", "replace"));
        if (bytes) return std::string(PyBytes_AS_STRING(bytes.get()), PyBytes_GET_SIZE(bytes.get()));
    }
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) throw_fetched();
    PyErr_Clear();
    return "<failed to extract type name>";
}

// Keeps a dict's contents still while we iterate it: another thread of a
// free-threaded interpreter could otherwise resize it under PyDict_Next.
// On builds with the global lock this costs nothing.
//
// Neither end is noexcept: waiting for the lock detaches the thread, and
// Python code run while it is held may hand the interpreter on, so a forced
// unwind (see guarded) can pass through either. The section is then left
// alone: the thread has no state to end it against, and the interpreter that
// ends the thread has already suspended its sections.
class DictCriticalSection {
public:
    explicit DictCriticalSection(PyObject* dict) {
#ifdef Py_GIL_DISABLED
        PyCriticalSection_Begin(&section_, dict);
#else
        (void)dict;
#endif
    }
    ~DictCriticalSection() noexcept(false) {
#ifdef Py_GIL_DISABLED
        if (thread_attached()) PyCriticalSection_End(&section_);
#endif
    }
    DictCriticalSection(const DictCriticalSection&) = delete;
    DictCriticalSection& operator=(const DictCriticalSection&) = delete;

private:
#ifdef Py_GIL_DISABLED
    PyCriticalSection section_;
#endif
};

// Upper bound of a str's UTF-8 size from its storage kind, read without
// running any code: exact for ASCII, which is what keys almost always are.
std::size_t utf8_bound(PyObject* key) noexcept {
    const std::size_t length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(key));
    if (PyUnicode_IS_ASCII(key)) return length;
    switch (PyUnicode_KIND(key)) {
        case PyUnicode_1BYTE_KIND: return 2 * length;
        case PyUnicode_2BYTE_KIND: return 3 * length;
        default: return 4 * length;
    }
}

// A dict with room for `n` items, so filling it never resizes. CPython's
// presizing constructor is outside the stable API, so it is referenced
// weakly: an interpreter that stops exporting it still loads this module,
// and we fall back to a dict that grows as it fills.
PyObject* new_dict(std::size_t n) {
    if (_PyDict_NewPresized) return _PyDict_NewPresized(static_cast<Py_ssize_t>(n));
    return PyDict_New();
}

}  // namespace

// The messages are composed here rather than by a format string: qualified
// names are Python text and may hold NULs (a class's __qualname__ can be set).
void throw_cast_error(PyObject* obj, PyTypeObject* target) {
    const std::string target_name = qualified_name(target);
    if (obj == Py_None) throw_type_error_text("'None' is not an instance of '" + target_name + "'");
    throw_type_error_text("'" + qualified_name(Py_TYPE(obj)) + "' object is not an instance of '" + target_name + "'");
}

void throw_unmade_instance_error(PyObject* obj) {
    throw_type_error_text("'" + qualified_name(Py_TYPE(obj)) + "' object was not made by its constructor");
}

PyObject* cast(PyObject* obj, PyTypeObject* target) {
    if (Py_TYPE(obj) == target || PyType_IsSubtype(Py_TYPE(obj), target)) return obj;
    throw_cast_error(obj, target);
}

// str() of an exact TypeError. When its one argument is an exact str, that
// str is the text, taken without a call: str() would enter the interpreter's
// recursion guard, which fails when the error comes from a nearly exhausted
// stack, and the caller would get "<unprintable ...>" instead of the message.
namespace {
Ref exception_text(PyObject* exception) {
    Ref args = Ref::steal(PyException_GetArgs(exception));
    if (args && PyTuple_CheckExact(args.get()) && PyTuple_GET_SIZE(args.get()) == 1) {
        PyObject* only = PyTuple_GET_ITEM(args.get(), 0);
        if (PyUnicode_CheckExact(only)) return Ref::borrow(only);
    }
    return Ref::steal(PyObject_Str(exception));
}
}  // namespace

void argument_extraction_error(const char* name, PyErr error) {
    if (!error.is_exact_type_error()) throw std::move(error);
    Ref original = std::move(error).into_exception();
    Ref text = exception_text(original.get());
    if (!text) {
        // Out of memory, the MemoryError is the answer; "unprintable" is
        // for an error whose text cannot be had at all.
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) throw_fetched();
        PyErr_WriteUnraisable(nullptr);
        Ref type_name = Ref::steal(PyType_GetName(Py_TYPE(original.get())));
        if (!type_name) {
            if (PyErr_ExceptionMatches(PyExc_MemoryError)) throw_fetched();
            PyErr_Clear();  // nothing may be pending when the message is made
        }
        text = Ref::steal(type_name ? PyUnicode_FromFormat("<unprintable %U object>", type_name.get())
                                    : PyUnicode_FromString("<unprintable object>"));
        if (!text) throw_fetched();
    }
    Ref message = Ref::steal(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
    if (!message) throw_fetched();
    Ref replacement = Ref::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!replacement) throw_fetched();
    // The new error keeps the cause of the one it replaces, not that error.
    PyException_SetCause(replacement.get(), PyException_GetCause(original.get()));
    throw PyErr::ready(std::move(replacement));
}

double extract_float(PyObject* obj) {
    if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
    const double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) throw_fetched();
    return value;
}

std::string_view extract_key_text(PyObject* obj) {
    if (!PyUnicode_Check(obj)) throw_cast_error(obj, &PyUnicode_Type);
    Py_ssize_t length = 0;
    const char* text = PyUnicode_AsUTF8AndSize(obj, &length);
    if (!text) throw_fetched();
    return {text, static_cast<std::size_t>(length)};
}

EntryMap extract_entry_map(PyObject* obj) {
    if (!PyDict_Check(obj)) throw_cast_error(obj, &PyDict_Type);
    Ref dict = Ref::borrow(obj);
    DictCriticalSection frozen(obj);

    // Size the map once: the item count and a bound of the key text. Reading
    // these runs no Python code, so the dict cannot change meanwhile.
    const Py_ssize_t start_size = PyDict_GET_SIZE(obj);
    std::size_t text_bytes = 0;
    {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(obj, &pos, &key, &value)) {
            if (PyUnicode_Check(key)) text_bytes += utf8_bound(key);
        }
    }
    EntryMap entries(static_cast<std::size_t>(start_size), text_bytes);

    // Converted entries are inserted in batches (see EntryMap::insert_batch)
    // as views of their keys' text. While only exact floats are read no
    // Python code runs, so the dict itself keeps those keys alive. Any other
    // value is converted by Python code (__float__, __index__) that may
    // change this very dict: the pending batch goes in first, the entry's
    // own key and value are held across the call, and the checks after it
    // stop before a changed dict can be misread.
    //
    // Both checks hold after every entry. Python code that pops a key and
    // inserts it again (or swaps a visited key for a new one) keeps the size
    // but makes the walk visit more entries than the dict had: the count of
    // visits catches that, also when only exact floats follow. The size
    // cannot change while exact floats are read, so there the visit count is
    // the only check, one compare.
    constexpr const char* keys_changed = "dictionary keys changed during iteration";
    constexpr std::size_t batch = 16;
    std::string_view texts[batch];
    double numbers[batch];
    std::size_t pending = 0;
    Py_ssize_t remaining = start_size;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(obj, &pos, &key, &value)) {
        --remaining;
        if (PyFloat_CheckExact(value)) {
            texts[pending] = extract_key_text(key);
            if (remaining < 0) [[unlikely]]
                panic(keys_changed);
            numbers[pending++] = PyFloat_AS_DOUBLE(value);
            if (pending == batch) {
                entries.insert_batch(texts, numbers, pending);
                pending = 0;
            }
            continue;
        }
        entries.insert_batch(texts, numbers, pending);
        pending = 0;
        const Ref held_key = Ref::borrow(key);
        const Ref held_value = Ref::borrow(value);
        const std::string_view text = extract_key_text(key);
        const double number = extract_float(value);
        entries.insert(text, number);
        if (PyDict_GET_SIZE(obj) != start_size) panic("dictionary changed size during iteration");
        if (remaining < 0) panic(keys_changed);
    }
    entries.insert_batch(texts, numbers, pending);
    return entries;
}

PyObject* float_object(double value) { return expect_object(PyFloat_FromDouble(value)); }

PyObject* record_to_dict(const Record& record) {
    const KeyIndex& keys = *record.keys;
    const double* values = record.values->data();
    Ref dict = Ref::steal(expect_object(new_dict(keys.size())));
    for (Position p = 0, n = keys.size(); p < n; ++p) {
        const std::string_view text = keys.key(p);
        // Exact str and float, stored in an exact dict: no Python code runs.
        CallFreeRef key = CallFreeRef::steal(
            expect_object(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()))));
        CallFreeRef value = CallFreeRef::steal(float_object(values[p]));
        if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) throw_fetched();
    }
    return dict.release();
}

}  // namespace jadefox::py
