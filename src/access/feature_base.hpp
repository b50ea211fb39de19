// _FeatureBase, the common base of the feature groups: it keeps the camera
// object in `_cam`.
#pragma once

#include "access/method.hpp"

namespace tavrocam {

extern const MethodSpec kFeatureBaseInit;  // CLASS_Tavrocam._FeatureBase.__init__(self, cam)

}  // namespace tavrocam
