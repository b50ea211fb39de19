"""Chunks: the timestamp chunk and the payload's CRC."""
import json

from pypylon import genicam, pylon

camera = pylon.InstantCamera(pylon.TlFactory.GetInstance().CreateFirstDevice())
camera.Open()
camera.ChunkModeActive.Value = True
out = {}
for name in ("Timestamp", "PayloadCRC16"):
    camera.ChunkSelector.Value = name
    camera.ChunkEnable.Value = True
    out[name] = camera.ChunkEnable.Value
camera.StartGrabbingMax(2)
while camera.IsGrabbing():
    with camera.RetrieveResult(5000) as result:
        out["payload"] = result.PayloadType == pylon.PayloadType_ChunkData
        out["timestamp"] = genicam.IsReadable(result.ChunkTimestamp) and \
            result.ChunkTimestamp.Value > 0
        out["crc"] = [result.HasCRC(), result.CheckCRC()]
        out["image"] = list(result.Array.shape) == [result.Height, result.Width]
camera.ChunkModeActive.Value = False
out["plain"] = camera.GrabOne(5000).HasCRC()
camera.Close()
print("@@program@@ " + json.dumps(out))
