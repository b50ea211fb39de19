#include "access/method.hpp"

#include <cstddef>

namespace tavrocam {
namespace {

inline MethodObject* as_method(PyObject* obj) { return reinterpret_cast<MethodObject*>(obj); }

// --- argument errors, worded as CPython words them for functions ------------

// "f() missing 2 required positional arguments: 'a' and 'b'"
void raise_missing(MethodObject* m, PyObject* const* bound, int required) {
    Ref missing = Ref::take(PyList_New(0));
    if (!missing) {
        return;
    }
    for (int i = 0; i < required; ++i) {
        if (bound[i] == nullptr) {
            Ref repr = Ref::take(PyObject_Repr(m->row_constants->params[i]));
            if (!repr || PyList_Append(missing.get(), repr.get()) < 0) {
                return;
            }
        }
    }
    const Py_ssize_t count = PyList_GET_SIZE(missing.get());
    Ref text;
    if (count == 1) {
        text = Ref::retain(PyList_GET_ITEM(missing.get(), 0));
    } else if (count == 2) {
        text = Ref::take(PyUnicode_FromFormat("%U and %U", PyList_GET_ITEM(missing.get(), 0),
                                              PyList_GET_ITEM(missing.get(), 1)));
    } else {
        Ref tail = Ref::take(PyUnicode_FromFormat(", %U, and %U",
                                                  PyList_GET_ITEM(missing.get(), count - 2),
                                                  PyList_GET_ITEM(missing.get(), count - 1)));
        if (!tail || PyList_SetSlice(missing.get(), count - 2, count, nullptr) < 0) {
            return;
        }
        Ref comma = Ref::take(PyUnicode_FromString(", "));
        Ref head = comma ? Ref::take(PyUnicode_Join(comma.get(), missing.get())) : Ref();
        if (!head) {
            return;
        }
        text = Ref::take(PyUnicode_Concat(head.get(), tail.get()));
    }
    if (!text) {
        return;
    }
    PyErr_Format(PyExc_TypeError, "%U() missing %i required positional argument%s: %U", m->qualname,
                 static_cast<int>(count), count == 1 ? "" : "s", text.get());
}

// "f() takes 2 positional arguments but 3 were given"
void raise_too_many(MethodObject* m, Py_ssize_t given) {
    const MethodSpec& s = *m->row;
    PyObject* defaults = m->row_constants->defaults;
    const Py_ssize_t ndefaults = defaults ? PyTuple_GET_SIZE(defaults) : 0;
    Ref sig;
    bool plural;
    if (ndefaults) {
        plural = true;
        sig = Ref::take(PyUnicode_FromFormat("from %zd to %zd", s.nparams - ndefaults,
                                             static_cast<Py_ssize_t>(s.nparams)));
    } else {
        plural = s.nparams != 1;
        sig = Ref::take(PyUnicode_FromFormat("%zd", static_cast<Py_ssize_t>(s.nparams)));
    }
    if (!sig) {
        return;
    }
    PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd %s given", m->qualname,
                 sig.get(), plural ? "s" : "", given, given == 1 ? "was" : "were");
}

// Binds a call's arguments to the parameters in `bound` (borrowed from the
// caller's argument vector and the row's defaults), in the order CPython does
// it for a function: positionals, then keywords (an unknown or repeated
// keyword fails at once), then the count of positionals, then defaults and
// the missing ones. Returns false with TypeError set.
bool bind(MethodObject* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** bound) {
    const int n = m->row->nparams;
    PyObject* const* params = m->row_constants->params;
    PyObject* defaults = m->row_constants->defaults;
    const Py_ssize_t npos = nargs < n ? nargs : n;
    for (Py_ssize_t i = 0; i < npos; ++i) {
        bound[i] = args[i];
    }
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, "%U() keywords must be strings", m->qualname);
                return false;
            }
            int slot = -1;
            for (int j = 0; j < n; ++j) {
                if (params[j] == key) {
                    slot = j;
                    break;
                }
            }
            for (int j = 0; slot < 0 && j < n; ++j) {
                const int eq = PyObject_RichCompareBool(key, params[j], Py_EQ);
                if (eq < 0) {
                    return false;
                }
                if (eq) {
                    slot = j;
                }
            }
            if (slot < 0) {
                PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'",
                             m->qualname, key);
                return false;
            }
            if (bound[slot] != nullptr) {
                PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'",
                             m->qualname, key);
                return false;
            }
            bound[slot] = args[nargs + k];
        }
    }
    if (nargs > n) {
        raise_too_many(m, nargs);
        return false;
    }
    const int ndefaults = defaults ? static_cast<int>(PyTuple_GET_SIZE(defaults)) : 0;
    const int required = n - ndefaults;
    for (int i = 0; i < required; ++i) {
        if (bound[i] == nullptr) {
            raise_missing(m, bound, required);
            return false;
        }
    }
    for (int i = required; i < n; ++i) {
        if (bound[i] == nullptr) {
            bound[i] = PyTuple_GET_ITEM(defaults, i - required);
        }
    }
    return true;
}

// The body runs under the interpreter's recursion guard, as CPython's own C
// functions do: a method reached again through C with no Python frame in
// between raises RecursionError instead of exhausting the stack.
PyObject* run(MethodObject* m, PyObject* const* args) {
    if (Py_EnterRecursiveCall(" while calling a Python object")) {
        return nullptr;
    }
    Ref result = m->row->impl(m, args);
    Py_LeaveRecursiveCall();
    return result.release();
}

// The caller's argument vector stays borrowed: the interpreter keeps every
// argument alive for the length of the call.
PyObject* method_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                            PyObject* kwnames) {
    MethodObject* m = as_method(callable);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (kwnames == nullptr && nargs == m->row->nparams) {
        return run(m, args);
    }
    PyObject* bound[kMaxParams] = {nullptr, nullptr, nullptr};
    if (!bind(m, args, nargs, kwnames, bound)) {
        return nullptr;
    }
    return run(m, bound);
}

// What a method cleared by the garbage collector calls instead: its scope is
// gone, and so is the body's way to run.
PyObject* cleared_vectorcall(PyObject*, PyObject* const*, size_t, PyObject*) {
    PyErr_SetString(PyExc_RuntimeError, "the function has been cleared and cannot be called");
    return nullptr;
}

// --- the type's slots: the only place besides the handle that counts references

// Binds like a function: on an instance, a bound method; on the class, itself.
PyObject* method_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, obj);
}

PyObject* method_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_method(self)->qualname, self);
}

int method_traverse(PyObject* self, visitproc visit, void* arg) {
    MethodObject* m = as_method(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(m->name);
    Py_VISIT(m->qualname);
    Py_VISIT(m->doc);
    Py_VISIT(m->module);
    Py_VISIT(m->dict);
    Py_VISIT(m->scope.globals);
    Py_VISIT(m->scope.builtins);
    Py_VISIT(m->closure);
    return 0;
}

// As func_clear does: the name and qualified name become empty strings (they
// may be str subclasses, in a cycle), so that what reads them keeps working;
// the call path no longer reaches the body. The type, and with it the
// module's constants, stays until the memory goes: what reads the row still
// works.
int method_clear(PyObject* self) {
    MethodObject* m = as_method(self);
    m->vectorcall = cleared_vectorcall;
    Py_SETREF(m->name, PyUnicode_New(0, 0));  // the empty string, never made anew
    Py_SETREF(m->qualname, PyUnicode_New(0, 0));
    Py_CLEAR(m->doc);
    Py_CLEAR(m->module);
    Py_CLEAR(m->dict);
    Py_CLEAR(m->scope.globals);
    Py_CLEAR(m->scope.builtins);
    Py_CLEAR(m->closure);
    return 0;
}

void method_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_method(self)->weakreflist != nullptr) {
        PyObject_ClearWeakRefs(self);
    }
    method_clear(self);
    Py_DECREF(as_method(self)->name);  // what the clear slot put back
    Py_DECREF(as_method(self)->qualname);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

// __name__ and __qualname__ are writable strings, as on functions.
int set_str_field(PyObject** field, PyObject* value, const char* what) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_INCREF(value);
    Py_SETREF(*field, value);
    return 0;
}

PyObject* new_reference(PyObject* field) {
    Py_INCREF(field);
    return field;
}

PyObject* get_name(PyObject* self, void*) { return new_reference(as_method(self)->name); }
int set_name(PyObject* self, PyObject* value, void*) {
    return set_str_field(&as_method(self)->name, value, "__name__");
}
PyObject* get_qualname(PyObject* self, void*) { return new_reference(as_method(self)->qualname); }
int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_str_field(&as_method(self)->qualname, value, "__qualname__");
}
PyObject* get_defaults(PyObject* self, void*) {
    PyObject* defaults = as_method(self)->row_constants->defaults;
    return new_reference(defaults ? defaults : Py_None);
}
PyObject* get_kwdefaults(PyObject*, void*) { return new_reference(Py_None); }
PyObject* get_signature(PyObject* self, void*) {
    return new_reference(as_method(self)->row_constants->signature);
}
// Fields that the garbage collector's clear slot empties read as None, as
// a function's do.
PyObject* or_none(PyObject* field) { return new_reference(field ? field : Py_None); }

PyObject* get_globals(PyObject* self, void*) { return or_none(as_method(self)->scope.globals); }
PyObject* get_builtins(PyObject* self, void*) { return or_none(as_method(self)->scope.builtins); }

// __doc__ and __module__ take any value, and read as None once deleted.
int set_any(PyObject** field, PyObject* value) {
    Py_XINCREF(value);
    Py_XSETREF(*field, value);
    return 0;
}
PyObject* get_doc(PyObject* self, void*) { return or_none(as_method(self)->doc); }
int set_doc(PyObject* self, PyObject* value, void*) { return set_any(&as_method(self)->doc, value); }

// An instance's __module__ is served here rather than by a descriptor in the
// type's dictionary, which keeps the type's own __module__ the string a type has.
bool is_module_attribute(PyObject* self, PyObject* name) {
    return name == as_method(self)->scope.names().dunder_module ||
           (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, "__module__") == 0);
}
PyObject* method_getattro(PyObject* self, PyObject* name) {
    if (is_module_attribute(self, name)) {
        return or_none(as_method(self)->module);
    }
    return PyObject_GenericGetAttr(self, name);
}
int method_setattro(PyObject* self, PyObject* name, PyObject* value) {
    if (is_module_attribute(self, name)) {
        return set_any(&as_method(self)->module, value);
    }
    return PyObject_GenericSetAttr(self, name, value);
}

// Pickled by reference, as a function is: the qualified name, looked up in
// the method's module; copy and deepcopy give the method itself.
PyObject* method_reduce(PyObject* self, PyObject*) { return new_reference(as_method(self)->qualname); }

PyGetSetDef method_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__text_signature__", get_signature, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__builtins__", get_builtins, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef method_members[] = {
    {"__vectorcalloffset__", compat::member_ssize_t, offsetof(MethodObject, vectorcall),
     compat::member_readonly, nullptr},
    {"__dictoffset__", compat::member_ssize_t, offsetof(MethodObject, dict),
     compat::member_readonly, nullptr},
    {"__weaklistoffset__", compat::member_ssize_t, offsetof(MethodObject, weakreflist),
     compat::member_readonly, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef method_methods[] = {
    {"__reduce__", method_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot method_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(method_descr_get)},
    {Py_tp_repr, reinterpret_cast<void*>(method_repr)},
    {Py_tp_getattro, reinterpret_cast<void*>(method_getattro)},
    {Py_tp_setattro, reinterpret_cast<void*>(method_setattro)},
    {Py_tp_traverse, reinterpret_cast<void*>(method_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(method_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(method_dealloc)},
    {Py_tp_getset, method_getset},
    {Py_tp_members, method_members},
    {Py_tp_methods, method_methods},
    {0, nullptr},
};

PyType_Spec method_spec = {
    "Tavrocam.function",
    sizeof(MethodObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    method_slots,
};

// "(self, selector='Red')", made with the interpreter's allocation throughout.
Ref text_signature(const MethodSpec& s) {
    Ref params = Ref::take(PyTuple_New(s.nparams));
    if (!params) {
        return Ref();
    }
    for (int i = 0; i < s.nparams; ++i) {
        const char* last = "";
        if (i == s.nparams - 1 && s.last_default == Default::Zero) {
            last = "=0";
        } else if (i == s.nparams - 1 && s.last_default == Default::Red) {
            last = "='Red'";
        }
        PyObject* param = PyUnicode_FromFormat("%s%s", s.params[i], last);
        if (param == nullptr) {
            return Ref();
        }
        PyTuple_SET_ITEM(params.get(), i, param);  // takes the reference
    }
    Ref separator = Ref::take(PyUnicode_FromString(", "));
    Ref joined = separator ? Ref::take(PyUnicode_Join(separator.get(), params.get())) : Ref();
    return joined ? Ref::take(PyUnicode_FromFormat("(%U)", joined.get())) : Ref();
}

Ref default_values(const Names& names, Default which) {
    switch (which) {
        case Default::Zero: {
            Ref zero = Ref::take(PyLong_FromLong(0));
            return zero ? Ref::take(PyTuple_Pack(1, zero.get())) : Ref();
        }
        case Default::Red:
            return Ref::take(PyTuple_Pack(1, names.Red));
        case Default::None:
            break;
    }
    return Ref();
}

}  // namespace

Ref make_method_type(PyObject* module) {
    Ref type = Ref::take(PyType_FromModuleAndSpec(module, &method_spec, nullptr));
    if (!type && !PyErr_Occurred()) {
        PyErr_NoMemory();  // 3.13.0 can fail here for want of memory without saying so
    }
    return type;
}

Status make_row(const MethodSpec& s, const char* owner, const Names& names, RowConstants& k) {
    k.name = PyUnicode_InternFromString(s.name);
    k.qualname = PyUnicode_FromFormat("%s.%s", owner, s.name);
    if (k.name == nullptr || k.qualname == nullptr) {
        return -1;
    }
    if (s.node != nullptr && (k.node = PyUnicode_InternFromString(s.node)) == nullptr) {
        return -1;
    }
    k.doc = s.doc ? PyUnicode_FromString(s.doc) : none().release();
    if (k.doc == nullptr) {
        return -1;
    }
    for (int i = 0; i < s.nparams; ++i) {
        if ((k.params[i] = PyUnicode_InternFromString(s.params[i])) == nullptr) {
            return -1;
        }
    }
    k.defaults = default_values(names, s.last_default).release();
    if (s.last_default != Default::None && k.defaults == nullptr) {
        return -1;
    }
    k.signature = text_signature(s).release();
    return k.signature ? 0 : -1;
}

void release_row(RowConstants& k) {
    for (PyObject** slot : {&k.name, &k.qualname, &k.node, &k.doc, &k.defaults, &k.signature}) {
        Py_CLEAR(*slot);
    }
    for (PyObject*& param : k.params) {
        Py_CLEAR(param);
    }
}

Ref make_method(const MethodSpec& row, const RowConstants& k, PyObject* module_name,
                const Scope& scope, PyObject* closure) {
    MethodObject* m = PyObject_GC_New(MethodObject, scope.constants->method_type);
    if (m == nullptr) {
        return Ref();
    }
    m->vectorcall = method_vectorcall;
    m->row = &row;
    m->row_constants = &k;
    m->name = Ref::retain(k.name).release();
    m->qualname = Ref::retain(k.qualname).release();
    m->doc = Ref::retain(k.doc).release();
    m->module = Ref::retain(module_name).release();
    m->dict = nullptr;
    m->scope.globals = Ref::retain(scope.globals).release();
    m->scope.builtins = Ref::retain(scope.builtins).release();
    m->scope.constants = scope.constants;
    m->closure = Ref::retain(closure).release();
    m->weakreflist = nullptr;
    PyObject_GC_Track(m);
    return Ref::take(reinterpret_cast<PyObject*>(m));
}

}  // namespace tavrocam
