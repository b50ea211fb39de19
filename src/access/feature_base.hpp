// _FeatureBase, the common base of the feature groups: it keeps the camera
// object in `_cam`.
#pragma once

#include "access/method.hpp"

namespace tavrocam {

extern MethodSpec kFeatureBaseInit;  // CLASS_Tavrocam._FeatureBase.__init__(self, cam)

}  // namespace tavrocam
