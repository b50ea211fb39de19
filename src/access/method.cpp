#include "access/method.hpp"

#include <structmember.h>

#include <cstdio>
#include <string>

#include "access/names.hpp"

namespace tavrocam {
namespace {

PyTypeObject MethodType{};  // filled in by prepare_method_type()

inline MethodObject* as_method(PyObject* obj) { return reinterpret_cast<MethodObject*>(obj); }

// --- argument errors, worded as CPython 3.10 words them for functions ------

// "f() missing 2 required positional arguments: 'a' and 'b'"
void raise_missing(MethodObject* m, PyObject* const* bound, int required) {
    Ref names(PyList_New(0));
    if (!names) {
        return;
    }
    for (int i = 0; i < required; ++i) {
        if (bound[i] == nullptr) {
            Ref repr(PyObject_Repr(m->row->py_params[i]));
            if (!repr || PyList_Append(names.get(), repr.get()) < 0) {
                return;
            }
        }
    }
    const Py_ssize_t count = PyList_GET_SIZE(names.get());
    Ref text;
    if (count == 1) {
        text = Ref::borrow(PyList_GET_ITEM(names.get(), 0));
    } else if (count == 2) {
        text = Ref(PyUnicode_FromFormat("%U and %U", PyList_GET_ITEM(names.get(), 0),
                                        PyList_GET_ITEM(names.get(), 1)));
    } else {
        Ref tail(PyUnicode_FromFormat(", %U, and %U", PyList_GET_ITEM(names.get(), count - 2),
                                      PyList_GET_ITEM(names.get(), count - 1)));
        if (!tail || PyList_SetSlice(names.get(), count - 2, count, nullptr) < 0) {
            return;
        }
        Ref comma(PyUnicode_FromString(", "));
        if (!comma) {
            return;
        }
        Ref head(PyUnicode_Join(comma.get(), names.get()));
        if (!head) {
            return;
        }
        text = Ref(PyUnicode_Concat(head.get(), tail.get()));
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
    const Py_ssize_t ndefaults = s.py_defaults ? PyTuple_GET_SIZE(s.py_defaults) : 0;
    Ref sig;
    bool plural;
    if (ndefaults) {
        plural = true;
        sig = Ref(PyUnicode_FromFormat("from %zd to %zd", s.nparams - ndefaults,
                                       static_cast<Py_ssize_t>(s.nparams)));
    } else {
        plural = s.nparams != 1;
        sig = Ref(PyUnicode_FromFormat("%zd", static_cast<Py_ssize_t>(s.nparams)));
    }
    if (!sig) {
        return;
    }
    PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd %s given", m->qualname,
                 sig.get(), plural ? "s" : "", given, given == 1 ? "was" : "were");
}

// Binds a call's arguments to the parameters in `bound` (borrowed), in the
// order CPython 3.10 does it for a function: positionals, then keywords (an
// unknown or repeated keyword fails at once), then the count of positionals,
// then defaults and the missing ones. Returns false with TypeError set.
bool bind(MethodObject* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** bound) {
    const MethodSpec& s = *m->row;
    const int n = s.nparams;
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
                if (s.py_params[j] == key) {
                    slot = j;
                    break;
                }
            }
            for (int j = 0; slot < 0 && j < n; ++j) {
                const int eq = PyObject_RichCompareBool(key, s.py_params[j], Py_EQ);
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
    const int ndefaults = s.py_defaults ? static_cast<int>(PyTuple_GET_SIZE(s.py_defaults)) : 0;
    const int required = n - ndefaults;
    for (int i = 0; i < required; ++i) {
        if (bound[i] == nullptr) {
            raise_missing(m, bound, required);
            return false;
        }
    }
    for (int i = required; i < n; ++i) {
        if (bound[i] == nullptr) {
            bound[i] = PyTuple_GET_ITEM(s.py_defaults, i - required);
        }
    }
    return true;
}

PyObject* method_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                            PyObject* kwnames) {
    MethodObject* m = as_method(callable);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (kwnames == nullptr && nargs == m->row->nparams) {
        return m->row->impl(m, args);
    }
    PyObject* bound[kMaxParams] = {nullptr, nullptr, nullptr};
    if (!bind(m, args, nargs, kwnames, bound)) {
        return nullptr;
    }
    return m->row->impl(m, bound);
}

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
    Py_VISIT(m->name);
    Py_VISIT(m->qualname);
    Py_VISIT(m->doc);
    Py_VISIT(m->module);
    Py_VISIT(m->dict);
    Py_VISIT(m->globals);
    Py_VISIT(m->cell);
    return 0;
}

int method_clear(PyObject* self) {
    MethodObject* m = as_method(self);
    Py_CLEAR(m->name);
    Py_CLEAR(m->qualname);
    Py_CLEAR(m->doc);
    Py_CLEAR(m->module);
    Py_CLEAR(m->dict);
    Py_CLEAR(m->globals);
    Py_CLEAR(m->cell);
    return 0;
}

void method_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    method_clear(self);
    PyObject_GC_Del(self);
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

PyObject* get_name(PyObject* self, void*) {
    Py_INCREF(as_method(self)->name);
    return as_method(self)->name;
}
int set_name(PyObject* self, PyObject* value, void*) {
    return set_str_field(&as_method(self)->name, value, "__name__");
}
PyObject* get_qualname(PyObject* self, void*) {
    Py_INCREF(as_method(self)->qualname);
    return as_method(self)->qualname;
}
int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_str_field(&as_method(self)->qualname, value, "__qualname__");
}
PyObject* get_defaults(PyObject* self, void*) {
    PyObject* defaults = as_method(self)->row->py_defaults;
    if (defaults == nullptr) {
        Py_RETURN_NONE;
    }
    Py_INCREF(defaults);
    return defaults;
}
PyObject* get_kwdefaults(PyObject*, void*) { Py_RETURN_NONE; }
PyObject* get_signature(PyObject* self, void*) {
    Py_INCREF(as_method(self)->row->py_signature);
    return as_method(self)->row->py_signature;
}
PyObject* get_globals(PyObject* self, void*) {
    Py_INCREF(as_method(self)->globals);
    return as_method(self)->globals;
}

PyGetSetDef method_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__text_signature__", get_signature, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef method_members[] = {
    {"__doc__", T_OBJECT, offsetof(MethodObject, doc), 0, nullptr},
    {"__module__", T_OBJECT, offsetof(MethodObject, module), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// "(self, selector='Red')"
PyObject* text_signature(const MethodSpec& s) {
    std::string sig = "(";
    for (int i = 0; i < s.nparams; ++i) {
        if (i) {
            sig += ", ";
        }
        sig += s.params[i];
        if (i == s.nparams - 1) {
            if (s.last_default == Default::Zero) {
                sig += "=0";
            } else if (s.last_default == Default::Red) {
                sig += "='Red'";
            }
        }
    }
    sig += ")";
    return PyUnicode_FromStringAndSize(sig.data(), static_cast<Py_ssize_t>(sig.size()));
}

}  // namespace

int prepare_method_type() {
    if (MethodType.tp_flags & Py_TPFLAGS_READY) {
        return 0;
    }
    Py_SET_REFCNT(&MethodType, 1);
    Py_SET_TYPE(&MethodType, &PyType_Type);
    MethodType.tp_name = "Tavrocam.function";
    MethodType.tp_basicsize = sizeof(MethodObject);
    MethodType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                          Py_TPFLAGS_METHOD_DESCRIPTOR;
    MethodType.tp_vectorcall_offset = offsetof(MethodObject, vectorcall);
    MethodType.tp_call = PyVectorcall_Call;
    MethodType.tp_descr_get = method_descr_get;
    MethodType.tp_repr = method_repr;
    MethodType.tp_traverse = method_traverse;
    MethodType.tp_clear = method_clear;
    MethodType.tp_dealloc = method_dealloc;
    MethodType.tp_getset = method_getset;
    MethodType.tp_members = method_members;
    MethodType.tp_dictoffset = offsetof(MethodObject, dict);
    MethodType.tp_doc = "A method of the Tavrocam class tree.";
    return PyType_Ready(&MethodType);
}

int prepare_method(MethodSpec& s, const char* owner) {
    if (s.py_name != nullptr) {
        return 0;
    }
    s.py_name = PyUnicode_InternFromString(s.name);
    if (s.py_name == nullptr) {
        return -1;
    }
    s.py_qualname = PyUnicode_FromFormat("%s.%s", owner, s.name);
    if (s.py_qualname == nullptr) {
        return -1;
    }
    if (s.node != nullptr) {
        s.py_node = PyUnicode_InternFromString(s.node);
        if (s.py_node == nullptr) {
            return -1;
        }
    }
    if (s.doc != nullptr) {
        s.py_doc = PyUnicode_FromString(s.doc);
    } else {
        s.py_doc = Py_None;
        Py_INCREF(Py_None);
    }
    if (s.py_doc == nullptr) {
        return -1;
    }
    for (int i = 0; i < s.nparams; ++i) {
        s.py_params[i] = PyUnicode_InternFromString(s.params[i]);
        if (s.py_params[i] == nullptr) {
            return -1;
        }
    }
    if (s.last_default == Default::Zero) {
        s.py_defaults = Py_BuildValue("(i)", 0);
    } else if (s.last_default == Default::Red) {
        s.py_defaults = PyTuple_Pack(1, names::Red);
    }
    if (s.last_default != Default::None && s.py_defaults == nullptr) {
        return -1;
    }
    s.py_signature = text_signature(s);
    return s.py_signature ? 0 : -1;
}

PyObject* make_method(MethodSpec& row, PyObject* module_name, PyObject* globals, PyObject* cell) {
    MethodObject* m = PyObject_GC_New(MethodObject, &MethodType);
    if (m == nullptr) {
        return nullptr;
    }
    m->vectorcall = method_vectorcall;
    m->row = &row;
    m->name = row.py_name;
    m->qualname = row.py_qualname;
    m->doc = row.py_doc;
    m->module = module_name;
    m->dict = nullptr;
    m->globals = globals;
    m->cell = cell;
    Py_INCREF(m->name);
    Py_INCREF(m->qualname);
    Py_INCREF(m->doc);
    Py_XINCREF(m->module);
    Py_XINCREF(m->globals);
    Py_XINCREF(m->cell);
    PyObject_GC_Track(m);
    return reinterpret_cast<PyObject*>(m);
}

}  // namespace tavrocam
