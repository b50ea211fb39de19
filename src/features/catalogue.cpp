#include "features/groups.hpp"

namespace tavrocam {

GroupSpec* const kGroups[] = {
    &kSequencerGroup,   &kImageFormatGroup,    &kAnalogGroup,     &kImageQualityGroup,
    &kAcquisitionGroup, &kAutoFunctionGroup,   &kLUTGroup,        &kDigitalIOGroup,
    &kCounterTimerGroup, &kLightGroup,         &kChunkDataGroup,  &kEventGroup,
    &kTransportLayerGroup, &kDeviceGroup,
};
const std::size_t kGroupCount = sizeof(kGroups) / sizeof(kGroups[0]);

int prepare_groups() {
    for (std::size_t g = 0; g < kGroupCount; ++g) {
        GroupSpec& group = *kGroups[g];
        if (!group.py_class_name && !(group.py_class_name = PyUnicode_InternFromString(group.class_name))) {
            return -1;
        }
        if (!group.py_attribute && !(group.py_attribute = PyUnicode_InternFromString(group.attribute))) {
            return -1;
        }
        if (!group.py_qualname &&
            !(group.py_qualname = PyUnicode_FromFormat("CLASS_Tavrocam.%s", group.class_name))) {
            return -1;
        }
        const char* owner = PyUnicode_AsUTF8(group.py_qualname);
        if (owner == nullptr) {
            return -1;
        }
        for (std::size_t i = 0; i < group.count; ++i) {
            if (prepare_method(group.methods[i], owner) < 0) {
                return -1;
            }
        }
    }
    return 0;
}

}  // namespace tavrocam
