#include "access/node.hpp"

#include "access/names.hpp"

namespace tavrocam {

PyObject* node_of(PyObject* self, PyObject* node) {
    Ref cam(PyObject_GetAttr(self, names::_cam));
    if (!cam) {
        return nullptr;
    }
    return PyObject_GetAttr(cam.get(), node);
}

PyObject* node_call(PyObject* self, PyObject* node, PyObject* op) {
    Ref target(node_of(self, node));
    if (!target) {
        return nullptr;
    }
    return call_method0(target.get(), op);
}

int node_set(PyObject* self, PyObject* node, PyObject* value) {
    Ref target(node_of(self, node));
    if (!target) {
        return -1;
    }
    return discard(call_method1(target.get(), names::SetValue, value));
}

// CUF_GET_<Feature>(self): return self._cam.<Node>.GetValue()
PyObject* plain_getter(MethodObject* method, PyObject* const* args) {
    return node_call(args[0], method->row->py_node, names::GetValue);
}

// CUF_SET_<Feature>(self, value): self._cam.<Node>.SetValue(value)
PyObject* plain_setter(MethodObject* method, PyObject* const* args) {
    if (node_set(args[0], method->row->py_node, args[1]) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* feature_base_init(MethodObject*, PyObject* const* args) {
    if (PyObject_SetAttr(args[0], names::_cam, args[1]) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* load_global(PyObject* globals, PyObject* name) {
    PyObject* value = PyDict_GetItemWithError(globals, name);
    if (value == nullptr && !PyErr_Occurred()) {
        PyObject* builtins = PyEval_GetBuiltins();
        if (builtins != nullptr) {
            value = PyDict_GetItemWithError(builtins, name);
        }
    }
    if (value == nullptr) {
        if (!PyErr_Occurred()) {
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
            // NameError carries the missing name, as the interpreter's does.
            PyObject *type, *exc, *tb;
            PyErr_Fetch(&type, &exc, &tb);
            PyErr_NormalizeException(&type, &exc, &tb);
            if (exc != nullptr && PyObject_SetAttrString(exc, "name", name) < 0) {
                PyErr_Clear();
            }
            PyErr_Restore(type, exc, tb);
        }
        return nullptr;
    }
    Py_INCREF(value);
    return value;
}

int print_line(PyObject* globals, PyObject* text) {
    Ref print(load_global(globals, names::print));
    if (!print) {
        return -1;
    }
    return discard(PyObject_CallOneArg(print.get(), text));
}

PyObject* join_formatted(std::initializer_list<PyObject*> pieces) {
    Ref result = Ref::borrow(names::empty);
    for (PyObject* piece : pieces) {
        Ref text(PyUnicode_CheckExact(piece) ? Ref::borrow(piece).release()
                                             : PyObject_Format(piece, names::empty));
        if (!text) {
            return nullptr;
        }
        result = Ref(PyUnicode_Concat(result.get(), text.get()));
        if (!result) {
            return nullptr;
        }
    }
    return result.release();
}

int print_joined(PyObject* globals, std::initializer_list<PyObject*> pieces) {
    Ref text(join_formatted(pieces));
    if (!text) {
        return -1;
    }
    return print_line(globals, text.get());
}

Handling::Handling() {
    PyErr_Fetch(&type_, &value_, &traceback_);
    PyErr_NormalizeException(&type_, &value_, &traceback_);
    if (traceback_ != nullptr && value_ != nullptr) {
        PyException_SetTraceback(value_, traceback_);
    }
    PyErr_GetExcInfo(&saved_type_, &saved_value_, &saved_traceback_);
    Py_XINCREF(type_);
    Py_XINCREF(value_);
    Py_XINCREF(traceback_);
    PyErr_SetExcInfo(type_, value_, traceback_);
}

Handling::~Handling() {
    PyErr_SetExcInfo(saved_type_, saved_value_, saved_traceback_);
    Py_XDECREF(type_);
    Py_XDECREF(value_);
    Py_XDECREF(traceback_);
}

void Handling::reraise() {
    Py_XINCREF(type_);
    Py_XINCREF(value_);
    Py_XINCREF(traceback_);
    PyErr_Restore(type_, value_, traceback_);
}

}  // namespace tavrocam
