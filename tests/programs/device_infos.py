"""Device infos through their Get/Set pairs and the property interface."""
import json

from pypylon import pylon

info = pylon.TlFactory.GetInstance().EnumerateDevices()[0]
count, names = info.GetPropertyNames()
found, model = info.GetPropertyValue("ModelName")
info.SetPropertyValue("UserDefinedName", "left")
out = {
    "count": count == len(names) and {"ModelName", "SerialNumber", "FullName"} <= set(names),
    "model": [found, model == info.GetModelName()],
    "missing": info.GetPropertyValue("NoSuchProperty"),
    "set": [info.GetUserDefinedName(), info.GetPropertyValue("UserDefinedName")],
    "available": [info.IsModelNameAvailable(), info.IsSerialNumberAvailable(),
                  info.IsIpAddressAvailable(), info.GetPropertyAvailable("FullName")],
    "not available": [info.GetIpAddress(), pylon.DeviceInfo().GetModelName()],
    "dict": info.to_dict()["SerialNumber"] == info.GetSerialNumber(),
    "friendly": info.GetSerialNumber() in info.GetFriendlyName(),
}
print("@@program@@ " + json.dumps(out))
