"""Camera events: the exposure end event, its handler and its data nodes."""
import json

from pypylon import pylon


class Handler(pylon.CameraEventHandler):
    def __init__(self):
        super().__init__()
        self.seen = []

    def OnCameraEvent(self, camera, user_id, node):
        self.seen.append([user_id, node.GetNode().GetName(), type(node).__name__])


camera = pylon.InstantCamera(pylon.TlFactory.GetInstance().CreateFirstDevice())
handler = Handler()
camera.GrabCameraEvents.Value = True
camera.RegisterCameraEventHandler(handler, "EventExposureEndData", 100,
                                  pylon.RegistrationMode_Append, pylon.Cleanup_None)
camera.RegisterCameraEventHandler(handler, "EventExposureEndFrameID", 200,
                                  pylon.RegistrationMode_Append, pylon.Cleanup_None)
camera.Open()
camera.EventSelector.Value = "ExposureEnd"
camera.EventNotification.Value = "On"
camera.StartGrabbingMax(3)
ids = []
while camera.IsGrabbing():
    with camera.RetrieveResult(5000) as result:
        ids.append(result.BlockID if hasattr(result, "BlockID") else None)
frame_id = camera.EventExposureEndFrameID.Value
camera.Close()
print("@@program@@ " + json.dumps({"events": len(handler.seen) >= 1,
                                    "first": [seen for seen in handler.seen
                                              if seen[0] == 100][:1],
                                    "per node": [seen for seen in handler.seen
                                                 if seen[0] == 200][:1],
                                    "frame id": frame_id >= 0}))
