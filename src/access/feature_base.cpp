#include "access/feature_base.hpp"

namespace tavrocam {
namespace {

// __init__(self, cam): self._cam = cam
Ref feature_base_init(MethodObject* method, PyObject* const* args) {
    if (PyObject_SetAttr(args[0], method->scope.names()._cam, args[1]) < 0) {
        return Ref();
    }
    return none();
}

}  // namespace

const MethodSpec kFeatureBaseInit = custom("__init__", feature_base_init, nullptr, "cam");

}  // namespace tavrocam
