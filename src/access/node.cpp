#include "access/node.hpp"

namespace tavrocam {

Ref node_of(const Names& names, PyObject* self, PyObject* node) {
    Ref cam = attr(self, names._cam);
    if (!cam) {
        return Ref();
    }
    return attr(cam.get(), node);
}

Ref node_call(const Names& names, PyObject* self, PyObject* node, PyObject* op) {
    Ref target = node_of(names, self, node);
    if (!target) {
        return Ref();
    }
    return call_method0(target.get(), op);
}

Status node_set(const Names& names, PyObject* self, PyObject* node, PyObject* value) {
    Ref target = node_of(names, self, node);
    if (!target) {
        return -1;
    }
    return dropped(call_method1(target.get(), names.SetValue, value));
}

// CUF_GET_<Feature>(self): return self._cam.<Node>.GetValue()
Ref plain_getter(MethodObject* method, PyObject* const* args) {
    const Names& names = method->scope.names();
    return node_call(names, args[0], method->row_constants->node, names.GetValue);
}

// CUF_SET_<Feature>(self, value): self._cam.<Node>.SetValue(value)
Ref plain_setter(MethodObject* method, PyObject* const* args) {
    if (node_set(method->scope.names(), args[0], method->row_constants->node, args[1]) < 0) {
        return Ref();
    }
    return none();
}

}  // namespace tavrocam
