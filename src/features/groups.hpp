// The fourteen feature groups: one table of methods each, and the catalogue
// that lists them in the order the outer class creates and holds them.
#pragma once

#include <cstddef>

#include "access/method.hpp"

namespace tavrocam {

struct GroupSpec {
    const char* class_name;  // "ImageFormatControl"
    const char* attribute;   // "ImageFormat", the attribute of CLASS_Tavrocam instances
    MethodSpec* methods;     // in the order of the class body
    std::size_t count;
    bool class_cell;  // the class namespace carries __classcell__ (zero-argument super())

    // Made once per interpreter run by prepare_groups(), all together.
    bool ready;
    PyObject* py_class_name;
    PyObject* py_attribute;
    PyObject* py_qualname;
};

template <std::size_t N>
constexpr GroupSpec group(const char* class_name, const char* attribute, MethodSpec (&methods)[N],
                          bool class_cell = false) {
    return GroupSpec{class_name, attribute, methods, N, class_cell, false, nullptr, nullptr, nullptr};
}

// Each feature unit defines the groups it implements.
extern GroupSpec kSequencerGroup, kImageQualityGroup, kLUTGroup, kDigitalIOGroup,
    kCounterTimerGroup, kLightGroup, kChunkDataGroup, kEventGroup;  // auxiliary.cpp
extern GroupSpec kImageFormatGroup;                                 // image_format.cpp
extern GroupSpec kAnalogGroup;                                      // analog.cpp
extern GroupSpec kAcquisitionGroup, kAutoFunctionGroup;             // acquisition.cpp
extern GroupSpec kTransportLayerGroup, kDeviceGroup;                // device.cpp

// The groups in creation order (catalogue.cpp).
extern GroupSpec* const kGroups[];
extern const std::size_t kGroupCount;

// Makes every group's and method's per-interpreter constants. 0, or -1 with
// the error set; what was complete stays made, the rest is made by the next call.
Status prepare_groups();

// Releases them (or forgets them untouched, for a finished interpreter).
void drop_groups(Drop how);

}  // namespace tavrocam
