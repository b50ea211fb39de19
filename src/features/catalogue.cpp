#include "features/groups.hpp"

namespace tavrocam {

GroupSpec* const kGroups[] = {
    &kSequencerGroup,   &kImageFormatGroup,    &kAnalogGroup,     &kImageQualityGroup,
    &kAcquisitionGroup, &kAutoFunctionGroup,   &kLUTGroup,        &kDigitalIOGroup,
    &kCounterTimerGroup, &kLightGroup,         &kChunkDataGroup,  &kEventGroup,
    &kTransportLayerGroup, &kDeviceGroup,
};
const std::size_t kGroupCount = sizeof(kGroups) / sizeof(kGroups[0]);

namespace {

Status prepare_group(GroupSpec& group) {
    if (group.ready) {
        return 0;
    }
    Ref class_name = Ref::take(PyUnicode_InternFromString(group.class_name));
    Ref attribute = Ref::take(PyUnicode_InternFromString(group.attribute));
    Ref qualname = Ref::take(PyUnicode_FromFormat("CLASS_Tavrocam.%s", group.class_name));
    const char* owner = qualname ? PyUnicode_AsUTF8(qualname.get()) : nullptr;
    if (!class_name || !attribute || owner == nullptr) {
        return -1;
    }
    for (std::size_t i = 0; i < group.count; ++i) {
        if (prepare_method(group.methods[i], owner) < 0) {
            return -1;
        }
    }
    group.py_class_name = class_name.release();
    group.py_attribute = attribute.release();
    group.py_qualname = qualname.release();
    group.ready = true;
    return 0;
}

}  // namespace

Status prepare_groups() {
    for (GroupSpec* group : kGroups) {
        if (prepare_group(*group) < 0) {
            return -1;
        }
    }
    return 0;
}

void drop_groups(Drop how) {
    for (GroupSpec* group : kGroups) {
        for (std::size_t i = 0; i < group->count; ++i) {
            drop_method(group->methods[i], how);
        }
        group->ready = false;
        drop(group->py_class_name, how);
        drop(group->py_attribute, how);
        drop(group->py_qualname, how);
    }
}

}  // namespace tavrocam
