"""pylon's converter (the OpenCV idiom), PylonImage and saving, pixel types, data containers."""
import json
import os
import tempfile

from pypylon import pylon

camera = pylon.InstantCamera(pylon.TlFactory.GetInstance().CreateFirstDevice())
camera.Open()
camera.PixelFormat.Value = "BayerRG8"
converter = pylon.ImageFormatConverter()
converter.OutputPixelFormat = pylon.PixelType_BGR8packed
converter.OutputBitAlignment = pylon.OutputBitAlignment_MsbAligned
result = camera.GrabOne(5000)
shape = [result.Height, result.Width]
frame = converter.Convert(result).GetArray()          # what OpenCV is then given
out = {
    "bgr": list(frame.shape) == shape + [3] and str(frame.dtype) == "uint8",
    "has destination format": converter.ImageHasDestinationFormat(result),
    "packed": [pylon.IsPacked(result.PixelType), pylon.BitDepth(result.PixelType),
               pylon.IsPacked(pylon.PixelType_BayerRG12p)],
}
image = pylon.PylonImage()
image.AttachGrabResultBuffer(result)
path = os.path.join(tempfile.mkdtemp(), "frame.png")
image.Save(pylon.ImageFileFormat_Png, path)
with open(path, "rb") as file:
    out["png"] = file.read(8) == b"\x89PNG\r\n\x1a\n"
out["image"] = [image.Width == result.Width, image.PixelType == result.PixelType,
                image.IsGrabResultBufferAttached(), result.IsUnique()]
image.Release()
out["released"] = [image.IsValid(), result.IsUnique()]
loaded = pylon.PylonImage()
loaded.Load(path)
out["loaded"] = [loaded.Width, loaded.Height] == [result.Width, result.Height]
container = result.GetDataContainer()
component = container.GetDataComponentByIndex(0)
out["container"] = [result.GetDataComponentCount(), container.GetDataComponentCount(),
                    component.GetWidth() == result.Width,
                    component.GetComponentType() == pylon.ComponentType_Intensity,
                    list(component.GetArray().shape) == shape]
try:
    converter.Convert(object())
except TypeError as exc:
    out["wrong"] = str(exc).splitlines()[0]
hinted = pylon.PylonImage()
hints = [result.PixelType, result.Width // 2, result.Height // 2, 0]
hinted.AttachGrabResultBufferWithUserHints(result, *hints)
out["hints"] = [hinted.Width == result.Width // 2]
for wrong in (hints + [pylon.ImageOrientation_TopDown], hints[:2] + [-1, 0],
              hints[:1] + [result.Width, result.Height, 16]):
    try:
        hinted.AttachGrabResultBufferWithUserHints(result, *wrong)
    except (TypeError, OverflowError, pylon.InvalidArgumentException) as exc:
        sizes = {"SIZE": result.Width * result.Height,
                 "HINTED": (result.Width + 16) * result.Height}
        text = str(exc)
        for name, size in sizes.items():
            text = text.replace(f" {size} bytes", f" {name} bytes")
        out["hints"].append(text)
camera.Close()
print("@@program@@ " + json.dumps(out))
