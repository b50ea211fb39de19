"""Grabbing with each strategy, results, arrays, second references, wait objects."""
import json
import sys

from pypylon import pylon

camera = pylon.InstantCamera(pylon.TlFactory.GetInstance().CreateFirstDevice())
camera.Open()
camera.PixelFormat.Value = "BayerRG8"
camera.Width.Value = camera.Width.Min + 16 * camera.Width.Inc
camera.Height.Value = camera.Height.Min + 16 * camera.Height.Inc
shape = [camera.Height.Value, camera.Width.Value]
strategy = getattr(pylon, "GrabStrategy_" + sys.argv[1])
camera.StartGrabbingMax(3, strategy)
grabbed = []
while camera.IsGrabbing():
    with camera.RetrieveResult(5000, pylon.TimeoutHandling_ThrowException) as result:
        grabbed.append([result.GrabSucceeded(), list(result.Array.shape) == shape,
                        bool(result.GetArray().sum() == result.Array.sum())])
out = {"grabbed": grabbed}
camera.StartGrabbing(strategy)
ready = camera.GetGrabResultWaitObject().Wait(5000)
result = camera.RetrieveResult(5000)
second = pylon.GrabResult(result)
unique = [result.IsUnique(), second.IsUnique()]
second.Release()
with result.GetArrayZeroCopy() as array:
    zero_copy = [list(array.shape) == shape, int(array[0, 0]) == int(result.Array[0, 0])]
out.update(ready=ready, unique=unique + [result.IsUnique()], zero_copy=zero_copy,
           sizes=[[result.Height, result.Width] == shape,
                  result.PayloadSize == len(result.GetBuffer())],
           format=list(result.GetImageFormat()[0]) == shape)
result.Release()
camera.StopGrabbing()
one = camera.GrabOne(5000)
out["grab one"] = [one.GrabSucceeded(), one.ImageNumber >= 1, camera.IsGrabbing()]
try:
    one.Release()
    one.Width
except pylon.RuntimeException as exc:
    out["released"] = str(exc).split(" : ")[0]
camera.Close()
print("@@program@@ " + json.dumps(out))
