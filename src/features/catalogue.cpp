#include "features/groups.hpp"

namespace tavrocam {

const GroupSpec* const kGroups[] = {
    &kSequencerGroup,   &kImageFormatGroup,    &kAnalogGroup,     &kImageQualityGroup,
    &kAcquisitionGroup, &kAutoFunctionGroup,   &kLUTGroup,        &kDigitalIOGroup,
    &kCounterTimerGroup, &kLightGroup,         &kChunkDataGroup,  &kEventGroup,
    &kTransportLayerGroup, &kDeviceGroup,
};
static_assert(sizeof(kGroups) / sizeof(kGroups[0]) == kGroupCount);

namespace {

Status make_group(const GroupSpec& group, const Names& names, GroupConstants& k) {
    k.class_name = PyUnicode_InternFromString(group.class_name);
    k.attribute = PyUnicode_InternFromString(group.attribute);
    k.qualname = PyUnicode_FromFormat("CLASS_Tavrocam.%s", group.class_name);
    const char* owner = k.qualname ? PyUnicode_AsUTF8(k.qualname) : nullptr;
    if (k.class_name == nullptr || k.attribute == nullptr || owner == nullptr) {
        return -1;
    }
    k.rows = static_cast<RowConstants*>(PyMem_Calloc(group.count, sizeof(RowConstants)));
    if (k.rows == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    for (std::size_t i = 0; i < group.count; ++i) {
        if (make_row(group.methods[i], owner, names, k.rows[i]) < 0) {
            return -1;
        }
    }
    return 0;
}

}  // namespace

Status make_groups(const Names& names, GroupConstants* constants) {
    for (std::size_t g = 0; g < kGroupCount; ++g) {
        if (make_group(*kGroups[g], names, constants[g]) < 0) {
            return -1;
        }
    }
    return 0;
}

void release_groups(GroupConstants* constants) {
    for (std::size_t g = 0; g < kGroupCount; ++g) {
        GroupConstants& k = constants[g];
        if (k.rows != nullptr) {
            for (std::size_t i = 0; i < kGroups[g]->count; ++i) {
                release_row(k.rows[i]);
            }
            PyMem_Free(k.rows);
            k.rows = nullptr;
        }
        Py_CLEAR(k.class_name);
        Py_CLEAR(k.attribute);
        Py_CLEAR(k.qualname);
    }
}

}  // namespace tavrocam
