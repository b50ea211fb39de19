// The method objects of the class tree: a small function type that binds like
// a Python function, checks its arguments exactly as the running CPython checks
// those of a function with the same signature, and dispatches through
// vectorcall.
//
// Every method is described by one MethodSpec row: its name, parameters,
// docstring, the feature node it reaches (for the plain getters and setters)
// and the C++ function that implements it.
#pragma once

#include "access/idioms.hpp"

namespace tavrocam {

struct MethodObject;

// Receives exactly row.nparams arguments (borrowed), self first, after the
// argument check and with defaults filled in. Returns the result, or an empty
// handle with the error set.
using MethodImpl = Ref (*)(MethodObject* method, PyObject* const* args);

// Which default value the last parameter has, if any.
enum class Default : unsigned char { None, Zero, Red };

struct MethodSpec {
    const char* name = nullptr;
    const char* node = nullptr;  // the feature node of a plain getter or setter
    const char* doc = nullptr;   // nullptr: __doc__ is None
    MethodImpl impl = nullptr;
    const char* params[kMaxParams] = {"self", nullptr, nullptr};
    int nparams = 1;
    Default last_default = Default::None;
};

// The node-access pattern, written once (access/node.cpp).
Ref plain_getter(MethodObject* method, PyObject* const* args);
Ref plain_setter(MethodObject* method, PyObject* const* args);

// Table rows. A getter reads `node`; a setter writes its one parameter to it.
constexpr MethodSpec getter(const char* name, const char* node, const char* doc = nullptr) {
    MethodSpec s;
    s.name = name;
    s.node = node;
    s.doc = doc;
    s.impl = plain_getter;
    return s;
}

constexpr MethodSpec setter(const char* name, const char* node, const char* param,
                            const char* doc = nullptr) {
    MethodSpec s;
    s.name = name;
    s.node = node;
    s.doc = doc;
    s.impl = plain_setter;
    s.params[1] = param;
    s.nparams = 2;
    return s;
}

// A method with logic of its own; parameters after self as given.
constexpr MethodSpec custom(const char* name, MethodImpl impl, const char* doc = nullptr,
                            const char* p1 = nullptr, const char* p2 = nullptr,
                            Default last_default = Default::None) {
    MethodSpec s;
    s.name = name;
    s.doc = doc;
    s.impl = impl;
    s.params[1] = p1;
    s.params[2] = p2;
    s.nparams = p2 ? 3 : (p1 ? 2 : 1);
    s.last_default = last_default;
    return s;
}

// Every object field holds a strong reference (or NULL), released by the
// type's own slots. The row, its objects and the constants of the scope are
// pointers into the const tables and into the module's constants: the type,
// which every method holds, holds the module and with it its constants.
struct MethodObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const MethodSpec* row;
    const RowConstants* row_constants;  // the row's objects, in the module's constants
    PyObject* name;      // __name__
    PyObject* qualname;  // __qualname__
    PyObject* doc;       // __doc__
    PyObject* module;    // __module__
    PyObject* dict;      // __dict__, made on demand
    Scope scope;         // the module namespace the method was made in, its builtins,
                         // and the module's constants (held through the type)
    PyObject* closure;   // what the body refers to besides: AnalogControl.__init__'s
                         // class cell, CLASS_Tavrocam.__init__'s feature groups
    PyObject* weakreflist;  // the weak references to the method (not owned)
};

// The objects of `row`, in `constants`; `owner` is the qualified name of the
// class that holds the method ("CLASS_Tavrocam.AnalogControl"). 0, or -1 with
// the error set; what was made is released by release_row().
Status make_row(const MethodSpec& row, const char* owner, const Names& names,
                RowConstants& constants);
void release_row(RowConstants& constants);

// The method type of `module`, which holds the module.
Ref make_method_type(PyObject* module);

// A new method object for `row`, made in `scope` whose __name__ is
// `module_name`. `closure` may be NULL.
Ref make_method(const MethodSpec& row, const RowConstants& row_constants, PyObject* module_name,
                const Scope& scope, PyObject* closure);

}  // namespace tavrocam
