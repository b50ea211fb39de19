"""pylon's software trigger configuration, and triggering by hand."""
import json
import time

from pypylon import pylon

camera = pylon.InstantCamera(pylon.TlFactory.GetInstance().CreateFirstDevice())
camera.RegisterConfiguration(pylon.SoftwareTriggerConfiguration(),
                             pylon.RegistrationMode_ReplaceAll, pylon.Cleanup_Delete)
camera.Open()
out = {"trigger": [camera.TriggerMode.Value, camera.TriggerSource.Value]}
camera.StartGrabbing(pylon.GrabStrategy_OneByOne)
numbers = []
for _ in range(3):
    if camera.WaitForFrameTriggerReady(1000, pylon.TimeoutHandling_ThrowException):
        camera.ExecuteSoftwareTrigger()
    with camera.RetrieveResult(5000) as result:
        numbers.append(result.ImageNumber)
out["numbers"] = numbers
out["none"] = camera.RetrieveResult(200, pylon.TimeoutHandling_Return).IsValid()
camera.StopGrabbing()
camera.Close()
other = pylon.InstantCamera(pylon.TlFactory.GetInstance().CreateFirstDevice())
other.Open()
pylon.SoftwareTriggerConfiguration().OnOpened(other)  # called by hand, as some programs do
out["by hand"] = other.TriggerMode.Value
other.Close()
# Waiting for a trigger on a camera that is not grabbing: the whole timeout,
# however busy another camera is.
devices = pylon.TlFactory.GetInstance().EnumerateDevices()
busy = pylon.InstantCamera(pylon.TlFactory.GetInstance().CreateDevice(devices[1]))
busy.Open()
busy.StartGrabbing(pylon.GrabStrategy_OneByOne, pylon.GrabLoop_ProvidedByInstantCamera)
try:
    camera.WaitForFrameTriggerReady(500, pylon.TimeoutHandling_Return)
except pylon.RuntimeException as exc:
    out["closed"] = str(exc)
camera.Open()
started = time.monotonic()
out["idle wait"] = [camera.WaitForFrameTriggerReady(500, pylon.TimeoutHandling_Return),
                    time.monotonic() - started >= 0.45]
busy.Close()
camera.Close()
print("@@program@@ " + json.dumps(out))
