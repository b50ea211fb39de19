// The small groups: sequencer, image quality, LUT, digital I/O, counter,
// light device, chunk data and events.
#include "access/node.hpp"
#include "features/groups.hpp"

namespace tavrocam {
namespace {

// CUF_SET_PylonColorAdaptation(self, val): accepted and ignored.
Ref accept_and_ignore(MethodObject*, PyObject* const*) { return none(); }

// CUF_SET_LightDeviceSelector(self, sel): the plain write, with every
// ordinary failure of it discarded silently. An interrupt, an exit request or
// anything else not derived from Exception reaches the caller.
Ref set_light_device_selector(MethodObject* method, PyObject* const* args) {
    const Names& names = method->scope.names();
    if (node_set(names, args[0], names.LightDeviceSelector, args[1]) < 0) {
        if (!ordinary_failure()) {
            return Ref();
        }
        PyErr_Clear();
    }
    return none();
}

const MethodSpec sequencer[] = {
    setter("CUF_SET_SequencerMode", "SequencerMode", "mode"),
    setter("CUF_SET_SequencerConfigurationMode", "SequencerConfigurationMode", "mode"),
};

const MethodSpec image_quality[] = {
    custom("CUF_SET_PylonColorAdaptation", accept_and_ignore, nullptr, "val"),
    getter("CUF_GET_LightSourcePreset", "LightSourcePreset"),
    setter("CUF_SET_LightSourcePreset", "LightSourcePreset", "val"),
};

const MethodSpec lut[] = {
    setter("CUF_SET_LUTEnable", "LUTEnable", "enable"),
    setter("CUF_SET_LUTSelector", "LUTSelector", "sel"),
};

const MethodSpec digital_io[] = {
    setter("CUF_SET_LineSelector", "LineSelector", "line"),
    getter("CUF_GET_LineStatus", "LineStatus"),
};

const MethodSpec counter_timer[] = {
    setter("CUF_SET_CounterSelector", "CounterSelector", "sel"),
};

const MethodSpec light[] = {
    custom("CUF_SET_LightDeviceSelector", set_light_device_selector, nullptr, "sel"),
};

const MethodSpec chunk_data[] = {
    setter("CUF_SET_ChunkModeActive", "ChunkModeActive", "active"),
};

const MethodSpec event[] = {
    setter("CUF_SET_EventSelector", "EventSelector", "event"),
    setter("CUF_SET_EventNotification", "EventNotification", "mode"),
};

}  // namespace

const GroupSpec kSequencerGroup = group("SequencerControl", "Sequencer", sequencer);
const GroupSpec kImageQualityGroup = group("ImageQualityControl", "ImageQuality", image_quality);
const GroupSpec kLUTGroup = group("LUTControl", "LUT", lut);
const GroupSpec kDigitalIOGroup = group("DigitalIOControl", "DigitalIO", digital_io);
const GroupSpec kCounterTimerGroup = group("CounterAndTimerControl", "CounterTimer", counter_timer);
const GroupSpec kLightGroup = group("BaslerLightControl", "LightControl", light);
const GroupSpec kChunkDataGroup = group("ChunkDataControl", "ChunkData", chunk_data);
const GroupSpec kEventGroup = group("EventControl", "Event", event);

}  // namespace tavrocam
