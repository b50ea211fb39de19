// TransportLayerControl and DeviceControl: what the camera reports about
// itself and its image data. Read-only.
#include "features/groups.hpp"

namespace tavrocam {
namespace {

const MethodSpec transport_layer[] = {
    getter("CUF_GET_PayloadSize", "PayloadSize"),
};

const MethodSpec device[] = {
    getter("CUF_GET_ModelName", "DeviceModelName"),
    getter("CUF_GET_Temperature", "DeviceTemperature"),
    getter("CUF_GET_DeviceFirmwareVersion", "DeviceFirmwareVersion"),
};

}  // namespace

const GroupSpec kTransportLayerGroup = group("TransportLayerControl", "TransportLayer", transport_layer);
const GroupSpec kDeviceGroup = group("DeviceControl", "Device", device);

}  // namespace tavrocam
