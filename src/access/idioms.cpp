#include "access/idioms.hpp"

#include <frameobject.h>


namespace tavrocam {

Ref lookup_in(PyObject* mapping, PyObject* key) {
    if (PyDict_CheckExact(mapping)) {
        Ref found = Ref::retain(PyDict_GetItemWithError(mapping, key));
        return found;
    }
    Ref found = Ref::take(PyObject_GetItem(mapping, key));
    if (!found && PyErr_ExceptionMatches(PyExc_KeyError)) {
        PyErr_Clear();
    }
    return found;
}

Ref builtins_of(const Names& names, PyObject* globals) {
    Ref builtins = lookup_in(globals, names.dunder_builtins);
    if (!builtins) {
        if (PyErr_Occurred()) {
            return Ref();
        }
        builtins = Ref::take(PyImport_Import(names.builtins));
        if (!builtins) {
            return Ref();
        }
    }
    if (PyModule_Check(builtins.get())) {
        return Ref::retain(PyModule_GetDict(builtins.get()));
    }
    return builtins;
}

Ref load_global(const Scope& scope, PyObject* name) {
    Ref value = lookup_in(scope.globals, name);
    if (!value && !PyErr_Occurred()) {
        value = lookup_in(scope.builtins, name);
    }
    if (value || PyErr_Occurred()) {
        return value;
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    // NameError carries the missing name, as the interpreter's does.
    Ref error = compat::take_raised();
    if (error && PyObject_SetAttrString(error.get(), "name", name) < 0) {
        PyErr_Clear();
    }
    compat::raise_again(std::move(error));
    return Ref();
}

Status print_line(const Scope& scope, PyObject* text) {
    Ref print = load_global(scope, scope.names().print);
    if (!print) {
        return -1;
    }
    return dropped(call1(print.get(), text));
}

Ref join_formatted(const Names& names, std::initializer_list<PyObject*> pieces) {
    Ref result = Ref::retain(names.empty);
    for (PyObject* piece : pieces) {
        Ref text = PyUnicode_CheckExact(piece) ? Ref::retain(piece)
                                               : Ref::take(PyObject_Format(piece, names.empty));
        if (!text) {
            return Ref();
        }
        result = Ref::take(PyUnicode_Concat(result.get(), text.get()));
        if (!result) {
            return Ref();
        }
    }
    return result;
}

Status print_joined(const Scope& scope, std::initializer_list<PyObject*> pieces) {
    Ref text = join_formatted(scope.names(), pieces);
    if (!text) {
        return -1;
    }
    return print_line(scope, text.get());
}

void add_traceback_entry(const char* file, const char* function) {
    Ref pending = compat::take_raised();
    if (!pending) {
        return;
    }
    Ref globals = Ref::take(PyDict_New());
    Ref code = Ref::take(reinterpret_cast<PyObject*>(PyCode_NewEmpty(file, function, 0)));
    Ref frame;
    if (globals && code) {
        frame = Ref::take(reinterpret_cast<PyObject*>(
            PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()),
                        globals.get(), nullptr)));
    }
    if (!frame) {
        PyErr_Clear();  // the entry is a courtesy; the pending exception matters
    }
    compat::raise_again(std::move(pending));
    if (frame) {
        PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
    }
}

}  // namespace tavrocam
