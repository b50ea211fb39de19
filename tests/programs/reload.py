"""importlib.reload of pylon: the same module, the same cameras, still grabbing."""
import importlib
import json

from pypylon import pylon

serial = pylon.TlFactory.GetInstance().EnumerateDevices()[0].GetSerialNumber()
again = importlib.reload(pylon)
camera = again.InstantCamera(again.TlFactory.GetInstance().CreateFirstDevice())
with camera.GrabOne(5000) as result:
    grabbed = result.GrabSucceeded()
print("@@program@@ " + json.dumps({
    "same": again is pylon, "name": again.__name__, "grabbed": grabbed,
    "cameras": camera.GetDeviceInfo().GetSerialNumber() == serial}))
