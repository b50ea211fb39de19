#include "access/feature_base.hpp"

#include "access/names.hpp"

namespace tavrocam {
namespace {

// __init__(self, cam): self._cam = cam
Ref feature_base_init(MethodObject*, PyObject* const* args) {
    if (PyObject_SetAttr(args[0], names::_cam, args[1]) < 0) {
        return Ref();
    }
    return none();
}

}  // namespace

MethodSpec kFeatureBaseInit = custom("__init__", feature_base_init, nullptr, "cam");

}  // namespace tavrocam
