// The small groups: sequencer, image quality, LUT, digital I/O, counter,
// light device, chunk data and events.
#include "access/names.hpp"
#include "access/node.hpp"
#include "features/groups.hpp"

namespace tavrocam {
namespace {

// CUF_SET_PylonColorAdaptation(self, val): accepted and ignored.
Ref accept_and_ignore(MethodObject*, PyObject* const*) { return none(); }

// CUF_SET_LightDeviceSelector(self, sel): the plain write, with every
// ordinary failure of it discarded silently. An interrupt, an exit request or
// anything else not derived from Exception reaches the caller.
Ref set_light_device_selector(MethodObject*, PyObject* const* args) {
    if (node_set(args[0], names::LightDeviceSelector, args[1]) < 0) {
        if (!ordinary_failure()) {
            return Ref();
        }
        PyErr_Clear();
    }
    return none();
}

MethodSpec sequencer[] = {
    setter("CUF_SET_SequencerMode", "SequencerMode", "mode"),
    setter("CUF_SET_SequencerConfigurationMode", "SequencerConfigurationMode", "mode"),
};

MethodSpec image_quality[] = {
    custom("CUF_SET_PylonColorAdaptation", accept_and_ignore, nullptr, "val"),
    getter("CUF_GET_LightSourcePreset", "LightSourcePreset"),
    setter("CUF_SET_LightSourcePreset", "LightSourcePreset", "val"),
};

MethodSpec lut[] = {
    setter("CUF_SET_LUTEnable", "LUTEnable", "enable"),
    setter("CUF_SET_LUTSelector", "LUTSelector", "sel"),
};

MethodSpec digital_io[] = {
    setter("CUF_SET_LineSelector", "LineSelector", "line"),
    getter("CUF_GET_LineStatus", "LineStatus"),
};

MethodSpec counter_timer[] = {
    setter("CUF_SET_CounterSelector", "CounterSelector", "sel"),
};

MethodSpec light[] = {
    custom("CUF_SET_LightDeviceSelector", set_light_device_selector, nullptr, "sel"),
};

MethodSpec chunk_data[] = {
    setter("CUF_SET_ChunkModeActive", "ChunkModeActive", "active"),
};

MethodSpec event[] = {
    setter("CUF_SET_EventSelector", "EventSelector", "event"),
    setter("CUF_SET_EventNotification", "EventNotification", "mode"),
};

}  // namespace

GroupSpec kSequencerGroup = group("SequencerControl", "Sequencer", sequencer);
GroupSpec kImageQualityGroup = group("ImageQualityControl", "ImageQuality", image_quality);
GroupSpec kLUTGroup = group("LUTControl", "LUT", lut);
GroupSpec kDigitalIOGroup = group("DigitalIOControl", "DigitalIO", digital_io);
GroupSpec kCounterTimerGroup = group("CounterAndTimerControl", "CounterTimer", counter_timer);
GroupSpec kLightGroup = group("BaslerLightControl", "LightControl", light);
GroupSpec kChunkDataGroup = group("ChunkDataControl", "ChunkData", chunk_data);
GroupSpec kEventGroup = group("EventControl", "Event", event);

}  // namespace tavrocam
