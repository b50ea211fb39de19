"""pylon's grab loop thread with image and configuration event handlers."""
import json
import threading

from pypylon import pylon


class Images(pylon.ImageEventHandler):
    def __init__(self):
        super().__init__()
        self.sizes = []
        self.done = threading.Event()

    def OnImageGrabbed(self, camera, result):
        self.sizes.append(result.GrabSucceeded() and result.Width == camera.Width.Value)
        if len(self.sizes) == 5:
            self.done.set()


class Events(pylon.ConfigurationEventHandler):
    def __init__(self):
        super().__init__()
        self.calls = []

    def OnOpened(self, camera):
        self.calls.append("OnOpened")

    def OnGrabStarted(self, camera):
        self.calls.append("OnGrabStarted")

    def OnGrabStopped(self, camera):
        self.calls.append("OnGrabStopped")

    def OnClosed(self, camera):
        self.calls.append("OnClosed")


camera = pylon.InstantCamera(pylon.TlFactory.GetInstance().CreateFirstDevice())
images, events = Images(), Events()
camera.RegisterConfiguration(events, pylon.RegistrationMode_Append, pylon.Cleanup_None)
camera.RegisterImageEventHandler(images, pylon.RegistrationMode_Append, pylon.Cleanup_None)
camera.Open()
camera.StartGrabbingMax(5, pylon.GrabStrategy_OneByOne, pylon.GrabLoop_ProvidedByInstantCamera)
finished = images.done.wait(20)
while camera.IsGrabbing():
    camera.GetGrabStopWaitObject().Wait(100)
camera.Close()
print("@@program@@ " + json.dumps({"images": images.sizes, "finished": finished,
                                    "events": events.calls}))
