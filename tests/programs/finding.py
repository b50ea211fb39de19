"""Finding and opening cameras: a device info filter, enumeration, the camera object's kind."""
import json

from pypylon import pylon

factory = pylon.TlFactory.GetInstance()
devices = factory.EnumerateDevices()
wanted = pylon.DeviceInfo()
wanted.SetDeviceClass(devices[0].GetDeviceClass())
wanted.SetSerialNumber(devices[-1].GetSerialNumber())
camera = pylon.InstantCamera(factory.CreateFirstDevice(wanted))
camera.Open()
version = camera.GetSfncVersion()
out = {
    "count": len(devices),
    "filtered": camera.GetDeviceInfo().GetSerialNumber() == devices[-1].GetSerialNumber(),
    "open": camera.IsOpen(), "attached": camera.IsPylonDeviceAttached(),
    "removed": camera.IsCameraDeviceRemoved(), "owned": camera.HasOwnership(),
    "usb": camera.IsUsb(), "others": [camera.IsGigE(), camera.IsCameraLink(), camera.IsCxp()],
    "sfnc": [version.Major, version >= pylon.VersionInfo(2, 0, 0)],
}
camera.Close()
second = pylon.InstantCamera()
second.Attach(factory.CreateDevice(devices[0]))
handle = second.DetachDevice()
out["detached"] = [second.IsPylonDeviceAttached(), handle is not None]
second.Attach(handle)
second.DestroyDevice()
out["destroyed"] = second.IsPylonDeviceAttached()
nowhere = pylon.DeviceInfo()
nowhere.SetSerialNumber("nothere")
try:
    factory.CreateFirstDevice(nowhere)
    out["missing"] = None
except pylon.RuntimeException as exc:
    out["missing"] = str(exc).split(" : ")[0]
print("@@program@@ " + json.dumps(out))
