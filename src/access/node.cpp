#include "access/node.hpp"

#include "access/names.hpp"

namespace tavrocam {

Ref node_of(PyObject* self, PyObject* node) {
    Ref cam = attr(self, names::_cam);
    if (!cam) {
        return Ref();
    }
    return attr(cam.get(), node);
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
