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
        GroupSpec& spec = *kGroups[g];
        if (!spec.py_class_name && !(spec.py_class_name = PyUnicode_InternFromString(spec.class_name))) {
            return -1;
        }
        if (!spec.py_attribute && !(spec.py_attribute = PyUnicode_InternFromString(spec.attribute))) {
            return -1;
        }
        if (!spec.py_qualname &&
            !(spec.py_qualname = PyUnicode_FromFormat("CLASS_Tavrocam.%s", spec.class_name))) {
            return -1;
        }
        const char* owner = PyUnicode_AsUTF8(spec.py_qualname);
        if (owner == nullptr) {
            return -1;
        }
        for (std::size_t i = 0; i < spec.count; ++i) {
            if (prepare_method(spec.methods[i], owner) < 0) {
                return -1;
            }
        }
    }
    return 0;
}

}  // namespace tavrocam
