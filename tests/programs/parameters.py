"""Parameters: bounds, values, entries, access, callbacks, the camera object's own, user sets."""
import json

from pypylon import genicam, pylon

camera = pylon.InstantCamera(pylon.TlFactory.GetInstance().CreateFirstDevice())
camera.Open()
width = camera.Width
width.Value = width.Min + 2 * width.Inc
changed = []
callback = genicam.Register(camera.Gain.Node,
                            lambda node: changed.append(node.GetNode().GetName()))
camera.Gain.Value = camera.Gain.Min
camera.PixelFormat.Value = "BayerRG8"
nodemap = camera.GetNodeMap()
out = {
    "width": width.Value == width.Min + 2 * width.Inc,
    "by name": nodemap.GetNode("Width").Value == width.Value,
    "formats": "BayerRG8" in camera.PixelFormat.Symbolics and camera.PixelFormat.Value,
    "access": [genicam.IsWritable(camera.Width), genicam.IsReadable(camera.DeviceModelName),
               genicam.IsAvailable(camera.NoSuchFeature)],
    "callback": "Gain" in changed,
    "own": [camera.MaxNumBuffer.Value, camera.OutputQueueSize.Value,
            camera.GetInstantCameraNodeMap().GetNode("MaxNumBuffer").Value],
}
genicam.Deregister(callback)
camera.UserSetSelector.Value = "Default"
camera.UserSetLoad.Execute()
out["user set"] = width.Value != width.Min + 2 * width.Inc  # the default set's width
try:
    width.Value = width.Max + width.Inc
except genicam.OutOfRangeException:
    out["range"] = "OutOfRangeException"
camera.Close()
try:
    width.Value = width.Min
except genicam.AccessException as exc:
    out["closed"] = str(exc).split(" : ")[0]
print("@@program@@ " + json.dumps(out))
