// The fourteen feature groups: one table of methods each, and the catalogue
// that lists them in the order the outer class creates and holds them.
#pragma once

#include <cstddef>

#include "access/method.hpp"

namespace tavrocam {

struct GroupSpec {
    const char* class_name;     // "ImageFormatControl"
    const char* attribute;      // "ImageFormat", the attribute of CLASS_Tavrocam instances
    const MethodSpec* methods;  // in the order of the class body
    std::size_t count;
    bool class_cell;  // the class namespace carries __classcell__ (zero-argument super())
};

template <std::size_t N>
constexpr GroupSpec group(const char* class_name, const char* attribute,
                          const MethodSpec (&methods)[N], bool class_cell = false) {
    return GroupSpec{class_name, attribute, methods, N, class_cell};
}

// Each feature unit defines the groups it implements.
extern const GroupSpec kSequencerGroup, kImageQualityGroup, kLUTGroup, kDigitalIOGroup,
    kCounterTimerGroup, kLightGroup, kChunkDataGroup, kEventGroup;  // auxiliary.cpp
extern const GroupSpec kImageFormatGroup;                           // image_format.cpp
extern const GroupSpec kAnalogGroup;                                // analog.cpp
extern const GroupSpec kAcquisitionGroup, kAutoFunctionGroup;       // acquisition.cpp
extern const GroupSpec kTransportLayerGroup, kDeviceGroup;          // device.cpp

// The groups in creation order (catalogue.cpp), kGroupCount of them.
extern const GroupSpec* const kGroups[kGroupCount];

// The objects of every group and of its methods, in `constants` (kGroupCount
// of them). 0, or -1 with the error set; what was made is released by
// release_groups().
Status make_groups(const Names& names, GroupConstants* constants);
void release_groups(GroupConstants* constants);

}  // namespace tavrocam
