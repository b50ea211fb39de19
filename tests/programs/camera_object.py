"""The camera object's other calls: grabber node maps, wait objects, a method it lacks,
grab calls with wrong arguments."""
import json

from pypylon import pylon

camera = pylon.InstantCamera(pylon.TlFactory.GetInstance().CreateFirstDevice())
out = {}
try:
    camera.GetStreamGrabberNodeMap()
except pylon.RuntimeException as exc:
    out["closed"] = str(exc).split(" : ")[0]
camera.Open()
out["stream grabber"] = camera.GetStreamGrabberNodeMap().GetNode("MaxNumBuffer").Value > 0
out["tl"] = camera.GetTLNodeMap() is not None
stop = camera.GetGrabStopWaitObject()
out["stop"] = [stop.Wait(0)]
camera.StartGrabbing()
out["stop"] += [stop.Wait(0), camera.GetQueuedBufferCount() >= 0]
camera.StopGrabbing()
out["stop"].append(stop.Wait(0))
out["events waiting"] = camera.GetCameraEventWaitObject().Wait(0)
out["context"] = [camera.GetCameraContext()]
camera.SetCameraContext(42)
out["context"].append(camera.GetCameraContext())
out["sfnc"] = camera.GetSfncVersion().Major
out["wrong"] = {}
for name, call in (("RetrieveResult", lambda: camera.RetrieveResult(-1)),
                   ("StartGrabbingMax", lambda: camera.StartGrabbingMax(1, 2, 3, 4)),
                   ("StartGrabbing", lambda: camera.StartGrabbing(1.0))):
    try:
        call()
    except TypeError as exc:  # the bindings' overloads: the first line and the shortest
        lines = str(exc).splitlines()
        out["wrong"][name] = [lines[0], lines[-1].strip()]
camera.Close()
print("@@program@@ " + json.dumps(out))
