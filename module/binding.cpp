#include "binding.h"

#include <cstring>
#include <string>

#include "errors.h"

namespace jadefox::py {
namespace {

std::string full_name(const FunctionDescription& desc) {
    return std::string(desc.class_name) + "." + desc.method_name + "()";
}

[[noreturn]] void too_many_positional_arguments(const FunctionDescription& desc, Py_ssize_t given) {
    const char* verb = given == 1 ? "was" : "were";
    const std::string name = full_name(desc);
    if (desc.required == desc.parameter_count) {
        throw_type_error("%s takes %zu positional arguments but %zd %s given", name.c_str(), desc.parameter_count,
                         given, verb);
    }
    throw_type_error("%s takes from %zu to %zu positional arguments but %zd %s given", name.c_str(), desc.required,
                     desc.parameter_count, given, verb);
}

[[noreturn]] void unexpected_keyword_argument(const FunctionDescription& desc, PyObject* keyword) {
    // %S renders str(keyword), whatever object it is.
    throw_type_error("%s got an unexpected keyword argument '%S'", full_name(desc).c_str(), keyword);
}

[[noreturn]] void multiple_values_for_argument(const FunctionDescription& desc, std::size_t i) {
    throw_type_error("%s got multiple values for argument '%s'", full_name(desc).c_str(), desc.parameters[i]);
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
void push_parameter_list(std::string& out, const char* const* names, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) out += count > 2 ? ", " : " ";
        if (i > 0 && i + 1 == count) out += "and ";
        out += '\'';
        out += names[i];
        out += '\'';
    }
}

[[noreturn]] void missing_required_arguments(const FunctionDescription& desc, const char* kind,
                                             const char* const* names, std::size_t count) {
    std::string list;
    push_parameter_list(list, names, count);
    throw_type_error("%s missing %zu required %s %s: %s", full_name(desc).c_str(), count, kind,
                     count == 1 ? "argument" : "arguments", list.c_str());
}

void missing_required_positional_arguments(const FunctionDescription& desc, PyObject* const* slots) {
    const char* missing[8];
    std::size_t count = 0;
    for (std::size_t i = 0; i < desc.required && count < 8; ++i) {
        if (!slots[i]) missing[count++] = desc.parameters[i];
    }
    if (count) missing_required_arguments(desc, "positional", missing, count);
}

// Puts `value` in the slot of the parameter called `name`.
void bind_keyword(const FunctionDescription& desc, PyObject* name, PyObject* value, PyObject** slots) {
    Py_ssize_t length = 0;
    const char* text = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &length) : nullptr;
    if (!text) {
        PyErr_Clear();
        unexpected_keyword_argument(desc, name);
    }
    for (std::size_t i = 0; i < desc.parameter_count; ++i) {
        const char* parameter = desc.parameters[i];
        if (std::strlen(parameter) == static_cast<std::size_t>(length) &&
            std::memcmp(parameter, text, static_cast<std::size_t>(length)) == 0) {
            if (slots[i]) multiple_values_for_argument(desc, i);
            slots[i] = value;
            return;
        }
    }
    unexpected_keyword_argument(desc, name);
}

// The positional part, shared by both call forms.
void bind_positional(const FunctionDescription& desc, PyObject* const* args, Py_ssize_t nargs, PyObject** slots) {
    const std::size_t given = static_cast<std::size_t>(nargs);
    for (std::size_t i = 0; i < given && i < desc.parameter_count; ++i) slots[i] = args[i];
    if (given > desc.parameter_count) too_many_positional_arguments(desc, nargs);
}

}  // namespace

void extract_arguments_fastcall(const FunctionDescription& desc, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames, PyObject** slots) {
    bind_positional(desc, args, nargs, slots);
    if (kwnames) {
        const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < count; ++k) {
            bind_keyword(desc, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], slots);
        }
    }
    missing_required_positional_arguments(desc, slots);
}

void extract_arguments_tuple_dict(const FunctionDescription& desc, PyObject* args, PyObject* kwargs, PyObject** slots) {
    bind_positional(desc, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), slots);
    if (kwargs) {
        Py_ssize_t pos = 0;
        PyObject* name;
        PyObject* value;
        while (PyDict_Next(kwargs, &pos, &name, &value)) bind_keyword(desc, name, value, slots);
    }
    missing_required_positional_arguments(desc, slots);
}

}  // namespace jadefox::py
