// CLASS_Tavrocam's own methods: connection and shutdown.
#pragma once

#include "access/method.hpp"

namespace tavrocam {

// CLASS_Tavrocam.__init__(self, device_index=0). Its method object's closure
// names the feature groups to create, in creation order: a tuple of
// (class name, instance attribute) pairs.
extern const MethodSpec kTavrocamInit;
// CLASS_Tavrocam.close(self)
extern const MethodSpec kTavrocamClose;

}  // namespace tavrocam
