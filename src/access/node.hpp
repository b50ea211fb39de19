// Node access: the one way every feature group reaches the camera,
// `self._cam.<Node>.<operation>(...)`, with `_cam` and the node looked up
// afresh at every access.
#pragma once

#include "access/method.hpp"

namespace tavrocam {

// getattr(obj, name), for an interned `name`.
Ref get_attribute(PyObject* obj, PyObject* name);
// self._cam.<node>
Ref node_of(PyObject* self, PyObject* node);
// self._cam.<node>.<op>()
Ref node_call(PyObject* self, PyObject* node, PyObject* op);
// self._cam.<node>.SetValue(value), its result dropped.
Status node_set(PyObject* self, PyObject* node, PyObject* value);

}  // namespace tavrocam
