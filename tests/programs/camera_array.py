"""Several cameras in a pylon.InstantCameraArray, results told apart by their context."""
import json

from pypylon import pylon

factory = pylon.TlFactory.GetInstance()
devices = factory.EnumerateDevices()
cameras = pylon.InstantCameraArray(min(len(devices), 2))
for i, camera in enumerate(cameras):
    camera.Attach(factory.CreateDevice(devices[i]))
    camera.SetCameraContext(i)
out = {"size": cameras.GetSize(), "attached": cameras.IsPylonDeviceAttached()}
cameras.Open()
out["open"] = cameras.IsOpen()
cameras.StartGrabbing()
contexts = []
for _ in range(6):
    with cameras.RetrieveResult(5000, pylon.TimeoutHandling_ThrowException) as result:
        contexts.append(result.GetCameraContext())
out["contexts"] = sorted(set(contexts))
out["grabbing"] = cameras.IsGrabbing()
cameras.StopGrabbing()
out["stopped"] = [cameras.IsGrabbing(), cameras.RetrieveResult(100).IsValid()]
out["serials"] = len({c.GetDeviceInfo().GetSerialNumber() for c in cameras})
cameras.Close()
cameras.DetachDevice()
out["after"] = [cameras.IsOpen(), cameras.IsPylonDeviceAttached(), cameras[0].GetCameraContext()]
try:
    cameras.Open()
except pylon.RuntimeException as exc:
    out["refused"] = str(exc).split(" : ")[0]
print("@@program@@ " + json.dumps(out))
