// Constructor, item access and to_dict.
#include "binding.h"
#include "convert.h"
#include "instance.h"
#include "wrappers.h"

namespace jadefox::py {
namespace {

constexpr const char* constructor_parameters[] = {"dict"};
constexpr FunctionDescription constructor_description{"JadeDict", "__new__", constructor_parameters, 1, 1};

}  // namespace

PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&] {
        PyObject* slots[1] = {};
        extract_arguments_tuple_dict(constructor_description, args, kwargs, slots);
        EntryMap entries = convert_argument("dict", [&] { return extract_entry_map(slots[0]); });
        return new_instance(type, build_from_entries(std::move(entries))).release();
    });
}

PyObject* get_item(PyObject* self, PyObject* key) {
    return guarded<PyObject*>(nullptr, [&] {
        JadeDictObject* receiver = checked_receiver(self);
        SharedBorrow borrow(receiver);
        const std::string_view text = convert_argument("key", [&] { return extract_key_text(key); });
        const std::optional<double> value = lookup(receiver->record, text);
        return value ? float_object(*value) : Py_NewRef(Py_None);
    });
}

PyObject* get_to_dict(PyObject* self, void*) {
    return guarded<PyObject*>(nullptr, [&] {
        JadeDictObject* receiver = checked_receiver(self);
        SharedBorrow borrow(receiver);
        return record_to_dict(receiver->record);
    });
}

}  // namespace jadefox::py
