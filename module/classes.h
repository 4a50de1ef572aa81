// The JadeDict and PanicException classes of each interpreter.
//
// Interpreters own their objects: each has its own allocator (or shares the
// main one), its own type version tags and its own method caches, so one
// class object seen by two interpreters is read through caches that trust a
// tag another class of the other interpreter may carry, and is freed by
// whichever allocator touches it. Every interpreter that imports the module
// therefore gets classes of its own, made there on first import and kept
// until that interpreter ends; re-importing within an interpreter finds the
// same ones.
//
// Nothing on a hot path asks for them: a call takes its class from what it
// already holds (the receiver's type, the type the constructor is asked
// for, the reducer's binding). What is left are the error paths, which must
// find this interpreter's PanicException without allocating (memory may be
// exhausted), and module execution.
#pragma once

#include "python.h"

namespace jadefox::py {

struct InterpreterClasses {
    PyTypeObject* jadedict;  // borrowed; lives as long as the interpreter
    PyObject* panic;         // borrowed; lives as long as the interpreter
};

// The calling interpreter's classes, made if this interpreter has none yet.
// Throws PyErr if they cannot be made; nothing half-made is kept, so a later
// call tries again. Threads racing here get the one pair that was made.
InterpreterClasses this_interpreter_classes();

// This interpreter's PanicException class, or null before the module first
// executed here (or once the interpreter has released it while ending).
// Never makes nor allocates anything, so it can be asked while memory or
// stack is exhausted.
PyObject* panic_exception_type() noexcept;

// This interpreter's JadeDict class, or null as above. For error messages
// that must name the class when the object at hand is not one.
PyTypeObject* jadedict_class_or_null() noexcept;

// Whether `type` is a JadeDict class (of whichever interpreter): classes
// made from our type specification, which allows no subclasses.
bool is_jadedict_class(PyTypeObject* type) noexcept;

}  // namespace jadefox::py
