"""pylon's buffers: the counts, the queued limit, and results a program holds
(each keeps its buffer: holding every buffer starves the grab)."""
import json
import time

from pypylon import pylon

camera = pylon.InstantCamera(pylon.TlFactory.GetInstance().CreateFirstDevice())
camera.Open()
camera.Width.Value = camera.Width.Min + 16 * camera.Width.Inc
camera.Height.Value = camera.Height.Min + 16 * camera.Height.Inc


def counts():
    return [camera.NumQueuedBuffers.Value, camera.NumReadyBuffers.Value,
            camera.NumEmptyBuffers.Value]


out = {}
camera.MaxNumBuffer.Value = 10
camera.MaxNumQueuedBuffer.Value = 5
camera.StartGrabbing()
out["queued limit"] = counts()
camera.StopGrabbing()
camera.MaxNumQueuedBuffer.Value = camera.MaxNumQueuedBuffer.Max

camera.MaxNumBuffer.Value = 3
camera.OutputQueueSize.Value = 2
for name in ("OneByOne", "LatestImageOnly", "LatestImages", "UpcomingImage"):
    camera.StartGrabbing(getattr(pylon, "GrabStrategy_" + name))
    held, row = [], []
    for _ in range(3):
        held.append(camera.RetrieveResult(5000))
        row.append(counts())
    try:
        row.append(camera.RetrieveResult(300, pylon.TimeoutHandling_Return).IsValid())
    except pylon.RuntimeException as exc:  # the upcoming image: no buffer to queue
        row.append(str(exc))
    held.pop().Release()
    with camera.RetrieveResult(5000) as result:
        row.append(result.GrabSucceeded())
    held.clear()  # dropping a result gives its buffer back too
    if name != "UpcomingImage":
        time.sleep(0.2)
        row.append(sum(counts()))
    camera.StopGrabbing()
    out[name] = row

camera.OutputQueueSize.Value = 0
camera.StartGrabbing(pylon.GrabStrategy_LatestImages)
out["no output queue"] = camera.RetrieveResult(500, pylon.TimeoutHandling_Return).IsValid()
camera.StopGrabbing()
camera.Close()
print("@@program@@ " + json.dumps(out))
