// CLASS_Tavrocam's own methods (connection and shutdown) and _FeatureBase's
// constructor.
#pragma once

#include "access/method.hpp"

namespace tavrocam {

extern MethodSpec kTavrocamInit;     // CLASS_Tavrocam.__init__(self, device_index=0)
extern MethodSpec kTavrocamClose;    // CLASS_Tavrocam.close(self)
extern MethodSpec kFeatureBaseInit;  // CLASS_Tavrocam._FeatureBase.__init__(self, cam)

int prepare_camera_methods();

}  // namespace tavrocam
