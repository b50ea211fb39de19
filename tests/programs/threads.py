"""A grab thread stopped from the main thread; two cameras grabbed from two threads."""
import json
import threading
import time

from pypylon import pylon

factory = pylon.TlFactory.GetInstance()
camera = pylon.InstantCamera(factory.CreateFirstDevice())
camera.Open()
camera.TriggerSelector.Value = "FrameStart"
camera.TriggerMode.Value = "On"
camera.TriggerSource.Value = "Software"
camera.StartGrabbing()
seen = {}


def wait():
    result = camera.RetrieveResult(10000, pylon.TimeoutHandling_ThrowException)
    seen["valid"] = result.IsValid()


waiter = threading.Thread(target=wait)
waiter.start()
time.sleep(0.3)
started = time.monotonic()
camera.StopGrabbing()
waiter.join(10)
out = {"waiter": [seen, waiter.is_alive(), time.monotonic() - started < 5]}
camera.TriggerMode.Value = "Off"  # the camera keeps its settings
camera.Close()

counts = {}


def grab(device):
    cam = pylon.InstantCamera(factory.CreateDevice(device))
    cam.Open()
    cam.StartGrabbingMax(4)
    n = 0
    while cam.IsGrabbing():
        with cam.RetrieveResult(5000) as result:
            n += result.GrabSucceeded()
    cam.Close()
    counts[device.GetSerialNumber()] = n


threads = [threading.Thread(target=grab, args=(d,)) for d in factory.EnumerateDevices()[:2]]
for t in threads:
    t.start()
for t in threads:
    t.join(30)
out["cameras"] = sorted(counts.values())
print("@@program@@ " + json.dumps(out))
