"""A picture file in front of the camera, named by TAVROCAM_SIM_SCENE: the
simulated acA2040-55uc looks at it through its sensor; pylon's emulated camera
loads it with its own ImageFilename. Either way the frame follows the picture
over the ROI. With --digest it prints each frame's SHA-256 too."""
import hashlib
import json
import os
import sys

import numpy
from pypylon import pylon

path = os.environ["TAVROCAM_SIM_SCENE"]
camera = pylon.InstantCamera(pylon.TlFactory.GetInstance().CreateFirstDevice())
camera.Open()
if camera.ImageFilename.IsValid():  # pylon's emulated camera
    camera.TestImageSelector.Value = "Off"
    camera.ImageFileMode.Value = "On"
    camera.ImageFilename.Value = path
camera.PixelFormat.Value = "Mono8"
camera.Width.Value, camera.Height.Value = 512, 256
camera.OffsetX.Value, camera.OffsetY.Value = 704, 640
picture = pylon.PylonImage()
picture.Load(path)
expected = picture.GetArray()[640:896, 704:1216].astype(float)
frames, digests = [], []
for _ in range(2):
    with camera.GrabOne(5000) as result:
        frames.append(result.Array.astype(float))
        digests.append(hashlib.sha256(result.GetBuffer()).hexdigest())
camera.Close()
out = {"size": list(frames[0].shape),
       "follows": [bool(numpy.corrcoef(f.ravel(), expected.ravel())[0, 1] > 0.95) for f in frames]}
if "--digest" in sys.argv:
    out["digest"] = digests
print("@@program@@ " + json.dumps(out))
