"""pylon's device info (``CDeviceInfo``) and device handle (``IPylonDevice``)
of a simulated device, as the factory hands them out and a camera object
holds them."""

from __future__ import annotations

from .pypylon_sdk import overloads, pylon as _pylon

from . import model


# Every property pylon's device info knows (GetX with IsXAvailable).
_KNOWN = frozenset(name[2:-len("Available")] for name in dir(_pylon.DeviceInfo)
                   if name.startswith("Is") and name.endswith("Available")
                   and hasattr(_pylon.DeviceInfo, "Get" + name[2:-len("Available")]))
NOT_AVAILABLE = "N/A"  # what pylon reads for a property the info lacks (confirmed)


class DeviceInfo:
    """pylon's CDeviceInfo: the Get/Set/Is...Available trios of its
    properties, and the property interface (GetPropertyNames,
    GetPropertyValue -> [found, value], SetPropertyValue, ...) as pylon
    answers them. Empty, it is a filter that matches every device."""

    def __init__(self, *args):
        self._device = None
        self._values = {}
        if args:  # pylon's copy constructor
            other, = args
            if not isinstance(other, DeviceInfo):
                raise TypeError(overloads("new_DeviceInfo", "Pylon::CDeviceInfo::", "CDeviceInfo()",
                                          "CDeviceInfo(Pylon::CDeviceInfo const &)"))
            self._device, self._values = other._device, dict(other._values)

    @classmethod
    def of(cls, device):
        """The device info of a simulated device, as enumeration gives it.
        The USB transport layer's type and the factory's version are assumed."""
        info = cls()
        info._device = device
        info._values = {
            "ModelName": model.MODEL_NAME, "SerialNumber": device.serial,
            "FriendlyName": f"Basler {model.MODEL_NAME} ({device.serial})",
            "DeviceClass": model.DEVICE_CLASS, "VendorName": model.VENDOR_NAME,
            "FullName": device.full_name, "UserDefinedName": "",
            "DeviceFactory": "USB/BaslerUsb", "DeviceVersion": model.MODEL_NAME,
            "TLType": _pylon.TLTypeUSB,
        }
        return info

    # --- the property interface
    def GetPropertyNames(self):
        names = tuple(sorted(self._values))
        return [len(names), names]

    def GetPropertyValue(self, name):
        value = self._values.get(name)
        return [False, ""] if value is None else [True, value]

    def SetPropertyValue(self, name, value):
        self._values[str(name)] = str(value)
        return self

    def GetPropertyAvailable(self, name):
        return name in self._values

    @staticmethod
    def GetPropertyNotAvailable():
        return NOT_AVAILABLE

    PropertyNotAvailable = NOT_AVAILABLE

    def IsSubset(self, subset):
        """Whether ``subset``'s properties are all this info's, with its values."""
        return all(self._values.get(k) == v for k, v in subset._values.items())

    def IsUserProvided(self):
        return self._device is None

    def keys(self):
        return list(self.GetPropertyNames()[1])

    def values(self):
        return [self._values[k] for k in self.keys()]

    def items(self):
        return [(k, self._values[k]) for k in self.keys()]

    def to_dict(self):
        return dict(self.items())

    def update(self, values):
        for key, value in values.items():
            self.SetPropertyValue(key, value)

    def __getattr__(self, name):
        if name.startswith("_") or name in ("this", "thisown"):
            raise AttributeError(name)
        if name.startswith("Is") and name.endswith("Available") \
                and name[2:-len("Available")] in _KNOWN:
            prop = name[2:-len("Available")]
            return lambda: prop in self._values
        prop = name[3:]
        if name.startswith("Get") and prop in _KNOWN:
            return lambda: self._values.get(prop, NOT_AVAILABLE)
        if name.startswith("Set") and prop in _KNOWN:
            return lambda value: self.SetPropertyValue(prop, value)
        if name in _KNOWN:  # pypylon's properties: info.ModelName
            return self._values.get(name, NOT_AVAILABLE)
        raise AttributeError(f"'DeviceInfo' object has no attribute '{name}'")

    def _matches(self, other: "DeviceInfo") -> bool:
        return all(other._values.get(k) == v for k, v in self._values.items() if v)

    def __repr__(self):
        return f"<DeviceInfo {self._values.get('FriendlyName', '(filter)')}>"


class PylonDevice:
    """What CreateDevice returns (pylon's IPylonDevice): a handle on one
    simulated device, ``sim``."""

    def __init__(self, info: DeviceInfo):
        self._info = info
        self.sim = info._device

    def GetDeviceInfo(self):
        return self._info
