// Node access: the one way every feature group reaches the camera,
// `self._cam.<Node>.<operation>(...)`, with `_cam` and the node looked up
// afresh at every access.
#pragma once

#include "access/method.hpp"

namespace tavrocam {

// self._cam.<node>
Ref node_of(const Names& names, PyObject* self, PyObject* node);
// self._cam.<node>.<op>()
Ref node_call(const Names& names, PyObject* self, PyObject* node, PyObject* op);
// self._cam.<node>.SetValue(value), its result dropped.
Status node_set(const Names& names, PyObject* self, PyObject* node, PyObject* value);

}  // namespace tavrocam
