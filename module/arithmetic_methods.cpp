// The arithmetic methods and reductions of JadeDict.
#include "binding.h"
#include "convert.h"
#include "docstrings.h"
#include "instance.h"
#include "wrappers.h"

namespace jadefox::py {
namespace {

constexpr const char* pairwise_parameters[] = {"other", "fill"};
constexpr const char* scalar_parameters[] = {"value"};

constexpr FunctionDescription pairwise(const char* name) { return {"JadeDict", name, pairwise_parameters, 2, 1}; }
constexpr FunctionDescription scalar(const char* name) { return {"JadeDict", name, scalar_parameters, 1, 1}; }

constexpr FunctionDescription add_description = pairwise("add");
constexpr FunctionDescription subtract_description = pairwise("subtract");
constexpr FunctionDescription multiply_description = pairwise("multiply");
constexpr FunctionDescription divide_description = pairwise("divide");
constexpr FunctionDescription add_scalar_description = scalar("add_scalar");
constexpr FunctionDescription subtract_scalar_description = scalar("subtract_scalar");
constexpr FunctionDescription multiply_scalar_description = scalar("multiply_scalar");
constexpr FunctionDescription divide_scalar_description = scalar("divide_scalar");
constexpr FunctionDescription reset_description = scalar("reset");

// `other` as a share of its record. Its borrow lasts only while the share is
// taken; the share keeps the data alive through the operation.
Record extract_other(PyObject* obj, PyTypeObject* cls) {
    return convert_argument("other", [&] {
        JadeDictObject* other = checked_instance(obj, cls);
        SharedBorrow borrow(other);
        return share(other->record);
    });
}

double extract_float_argument(const char* name, PyObject* obj) {
    return convert_argument(name, [&] { return extract_float(obj); });
}

// add, subtract, multiply, divide: (other, fill=default_fill).
template <BinaryOp op, const FunctionDescription& description, double default_fill>
PyObject* pairwise_method(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&] {
        PyObject* slots[2] = {};
        extract_arguments_fastcall(description, args, PyVectorcall_NARGS(nargsf), kwnames, slots);
        JadeDictObject* receiver = checked_receiver(self);
        SharedBorrow borrow(receiver);
        Record other = extract_other(slots[0], class_of(receiver));
        const double fill = slots[1] ? extract_float_argument("fill", slots[1]) : default_fill;
        Record result = combine(receiver->record, other, op, fill);
        other.release();
        return new_instance(class_of(receiver), std::move(result)).release();
    });
}

// The four scalar methods (op) and reset (no op): (value).
template <const FunctionDescription& description, class Compute>
PyObject* value_method(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames, Compute compute) {
    return guarded<PyObject*>(nullptr, [&] {
        PyObject* slots[1] = {};
        extract_arguments_fastcall(description, args, PyVectorcall_NARGS(nargsf), kwnames, slots);
        JadeDictObject* receiver = checked_receiver(self);
        SharedBorrow borrow(receiver);
        const double value = extract_float_argument("value", slots[0]);
        return new_instance(class_of(receiver), compute(receiver->record, value)).release();
    });
}

template <BinaryOp op, const FunctionDescription& description>
PyObject* scalar_method(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return value_method<description>(self, args, nargsf, kwnames,
                                     [](const Record& r, double v) { return apply_scalar(r, op, v); });
}

PyObject* reset_method(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return value_method<reset_description>(self, args, nargsf, kwnames,
                                           [](const Record& r, double v) { return reset(r, v); });
}

template <double (*reduce)(const Record&) noexcept>
PyObject* reduction_method(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&] {
        JadeDictObject* receiver = checked_receiver(self);
        SharedBorrow borrow(receiver);
        return float_object(reduce(receiver->record));
    });
}

template <auto method>
constexpr PyCFunction fastcall() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method));
}

constexpr int fastcall_flags = METH_FASTCALL | METH_KEYWORDS;

}  // namespace

PyMethodDef method_table[] = {
    {"add_scalar", fastcall<scalar_method<BinaryOp::add, add_scalar_description>>(), fastcall_flags, docs::add_scalar},
    {"add", fastcall<pairwise_method<BinaryOp::add, add_description, 0.0>>(), fastcall_flags, docs::add},
    {"subtract_scalar", fastcall<scalar_method<BinaryOp::subtract, subtract_scalar_description>>(), fastcall_flags,
     docs::subtract_scalar},
    {"subtract", fastcall<pairwise_method<BinaryOp::subtract, subtract_description, 0.0>>(), fastcall_flags,
     docs::subtract},
    {"multiply_scalar", fastcall<scalar_method<BinaryOp::multiply, multiply_scalar_description>>(), fastcall_flags,
     docs::multiply_scalar},
    {"multiply", fastcall<pairwise_method<BinaryOp::multiply, multiply_description, 1.0>>(), fastcall_flags,
     docs::multiply},
    {"divide_scalar", fastcall<scalar_method<BinaryOp::divide, divide_scalar_description>>(), fastcall_flags,
     docs::divide_scalar},
    {"divide", fastcall<pairwise_method<BinaryOp::divide, divide_description, 1.0>>(), fastcall_flags, docs::divide},
    {"sum", reduction_method<sum>, METH_NOARGS, docs::sum},
    {"product", reduction_method<product>, METH_NOARGS, docs::product},
    {"reset", fastcall<reset_method>(), fastcall_flags, docs::reset},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef property_table[] = {
    {"to_dict", get_to_dict, nullptr, docs::to_dict, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace jadefox::py
