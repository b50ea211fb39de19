"""The camera object's other calls: grabber node maps, wait objects, a method it lacks."""
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
camera.Close()
print("@@program@@ " + json.dumps(out))
