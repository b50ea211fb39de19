#include "access/node.hpp"

#include <cstdint>

#include "access/names.hpp"

namespace tavrocam {
namespace {

// Whether no class in the method resolution order of `type` defines `name`,
// remembered per (type, name) for as long as the type's version tag stands:
// the interpreter gives a class a new tag whenever it or a base changes.
bool class_lacks(PyTypeObject* type, PyObject* name) {
    struct Entry {
        PyTypeObject* type;
        PyObject* name;
        unsigned int version;
    };
    static Entry cache[64];
    const unsigned int version = type->tp_version_tag;
    if (version == 0) {
        return false;  // no tag yet: the interpreter's own look-up assigns one
    }
    const std::uintptr_t key = reinterpret_cast<std::uintptr_t>(type) ^
                               (reinterpret_cast<std::uintptr_t>(name) >> 4);
    Entry& entry = cache[(key >> 4) % 64];
    if (entry.type == type && entry.name == name && entry.version == version) {
        return true;
    }
    Ref mro = Ref::retain(type->tp_mro);
    if (!mro || !PyTuple_Check(mro.get())) {
        return false;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro.get()); ++i) {
        PyObject* base = PyTuple_GET_ITEM(mro.get(), i);
        Ref dict = PyType_Check(base) ? compat::type_dict(reinterpret_cast<PyTypeObject*>(base)) : Ref();
        if (!dict || lookup_in(dict.get(), name) || PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
    }
    if (type->tp_version_tag == version) {
        entry = {type, name, version};
    }
    return true;
}

}  // namespace

// A plain attribute of a plain object is its instance dictionary's entry: when
// the object's type leaves attribute access to object (no __getattribute__ or
// __getattr__ of its own), keeps the dictionary at a fixed offset, and no
// class defines `name`, the entry is read directly. Everything else, a missing
// entry included, takes the interpreter's own path, so the result and any
// error are getattr()'s. (Instances of Python classes keep their attributes
// in a form only the interpreter reads from 3.11 on; they take its path.)
Ref get_attribute(PyObject* obj, PyObject* name) {
    PyTypeObject* type = Py_TYPE(obj);
    if (type->tp_getattro == PyObject_GenericGetAttr && type->tp_dictoffset > 0) {
        PyObject* dict = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) +
                                                       type->tp_dictoffset);
        if (dict != nullptr && PyDict_CheckExact(dict) && class_lacks(type, name)) {
            Ref value = lookup_in(dict, name);
            if (value) {
                return value;
            }
            PyErr_Clear();
        }
    }
    return attr(obj, name);
}

Ref node_of(PyObject* self, PyObject* node) {
    Ref cam = get_attribute(self, names::_cam);
    if (!cam) {
        return Ref();
    }
    return get_attribute(cam.get(), node);
}

Ref node_call(PyObject* self, PyObject* node, PyObject* op) {
    Ref target = node_of(self, node);
    if (!target) {
        return Ref();
    }
    return call_method0(target.get(), op);
}

Status node_set(PyObject* self, PyObject* node, PyObject* value) {
    Ref target = node_of(self, node);
    if (!target) {
        return -1;
    }
    return dropped(call_method1(target.get(), names::SetValue, value));
}

// CUF_GET_<Feature>(self): return self._cam.<Node>.GetValue()
Ref plain_getter(MethodObject* method, PyObject* const* args) {
    return node_call(args[0], method->row->py_node, names::GetValue);
}

// CUF_SET_<Feature>(self, value): self._cam.<Node>.SetValue(value)
Ref plain_setter(MethodObject* method, PyObject* const* args) {
    if (node_set(args[0], method->row->py_node, args[1]) < 0) {
        return Ref();
    }
    return none();
}

}  // namespace tavrocam
