"""The pypylon-shaped shell around simulated devices.

pylon's transport layers take no device of ours, so the factory, the device
list and the camera object are written here, with pypylon's names,
signatures and texts. Everything they hand out of the camera itself is the
SDK's own: nodes are pylon's parameter classes around GenApi's nodes, errors
are pylon's exception classes, and every other name of ``pylon`` (constants,
exception classes, parameter types) is pypylon's.
"""

from __future__ import annotations

import types

from pypylon import pylon as _pylon

from . import handlers, instantcamera, model, persistence
from .instantcamera import InstantCamera

# Texts pylon uses (confirmed).
NO_DEVICE = ("No device is available or no device contains the provided device info "
             "properties. : RuntimeException thrown (file 'TlFactory.cpp', line 694)")
BAD_FILTER = (
    "Wrong number or type of arguments for overloaded function 'TlFactory_EnumerateDevices'.\n"
    "  Possible C/C++ prototypes are:\n"
    "    Pylon::CTlFactory::EnumerateDevices(Pylon::DeviceInfoList_t &,bool)\n"
    "    Pylon::CTlFactory::EnumerateDevices(Pylon::DeviceInfoList_t &)\n"
    "    Pylon::CTlFactory::EnumerateDevices(Pylon::DeviceInfoList_t &,"
    "Pylon::DeviceInfoList_t const &,bool)\n"
    "    Pylon::CTlFactory::EnumerateDevices(Pylon::DeviceInfoList_t &,"
    "Pylon::DeviceInfoList_t const &)\n")


class DeviceInfo:
    """pylon's CDeviceInfo as far as code reads it: the Get/Set pairs of its
    properties. Empty, it is a filter that matches every device."""

    _PROPERTIES = ("ModelName", "SerialNumber", "FriendlyName", "DeviceClass", "VendorName",
                   "FullName", "UserDefinedName", "DeviceFactory", "DeviceVersion")

    def __init__(self):
        self._device = None
        self._values = {}

    @classmethod
    def of(cls, device):
        """The device info of a simulated device, as enumeration gives it."""
        info = cls()
        info._device = device
        info._values = {
            "ModelName": model.MODEL_NAME, "SerialNumber": device.serial,
            "FriendlyName": f"Basler {model.MODEL_NAME} ({device.serial})",
            "DeviceClass": model.DEVICE_CLASS, "VendorName": model.VENDOR_NAME,
            "FullName": device.full_name, "UserDefinedName": "",
            "DeviceFactory": "USB/BaslerUsb", "DeviceVersion": model.MODEL_NAME,
        }
        return info

    def __getattr__(self, name):
        if name.startswith("_") or name in ("this", "thisown"):
            raise AttributeError(name)
        verb, _, prop = name.partition("et")
        if verb in ("G", "S") and prop in self._PROPERTIES:
            if verb == "G":
                return lambda: self._values.get(prop, "")
            return lambda value: self._values.__setitem__(prop, str(value))
        if name.startswith("IsPropertyAvailable"):
            return lambda prop: prop in self._values
        raise AttributeError(f"'DeviceInfo' object has no attribute '{name}'")

    def _matches(self, other: "DeviceInfo") -> bool:
        return all(other._values.get(k) == v for k, v in self._values.items() if v)

    def __repr__(self):
        return f"<DeviceInfo {self._values.get('FriendlyName', '(filter)')}>"


class Device:
    """What CreateDevice returns (pylon's IPylonDevice): a handle on one
    simulated device."""

    def __init__(self, info: DeviceInfo):
        self._info = info
        self.sim = info._device

    def GetDeviceInfo(self):
        return self._info


class TlFactoryBase:
    """pylon.TlFactory of one simulation: ``GetInstance()`` is its factory."""

    _simulation = None
    _instance = None

    @classmethod
    def GetInstance(cls):
        if cls._instance is None:
            cls._instance = cls()
        return cls._instance

    def _present(self):
        return [device for device in self._simulation.cameras if not device.removed]

    def EnumerateDevices(self, filter=None):
        if filter is not None and not (isinstance(filter, (list, tuple)) and
                                       all(isinstance(f, DeviceInfo) for f in filter)):
            raise TypeError(BAD_FILTER)
        for device in self._simulation.cameras:
            device.check("EnumerateDevices")
        infos = [DeviceInfo.of(device) for device in self._present()]
        if filter:
            infos = [info for info in infos if any(f._matches(info) for f in filter)]
        return tuple(infos)

    def CreateDevice(self, info):
        if isinstance(info, str):  # a full name, as pylon takes it; None when unknown
            device = next((d for d in self._present() if d.full_name == info), None)
            return None if device is None else self.CreateDevice(DeviceInfo.of(device))
        if not isinstance(info, DeviceInfo):
            raise ValueError("Expected a string")
        device = info._device
        if device is None:
            device = next((d for d in self._present() if info._matches(DeviceInfo.of(d))), None)
        if device is None or device.removed or device not in self._simulation.cameras:
            raise _pylon.RuntimeException(NO_DEVICE)
        device.check("CreateDevice")
        return Device(DeviceInfo.of(device))

    def CreateFirstDevice(self, info=None):
        for device in self._present():
            if info is None or info._matches(DeviceInfo.of(device)):
                return self.CreateDevice(DeviceInfo.of(device))
        raise _pylon.RuntimeException(NO_DEVICE)


class Pylon(types.ModuleType):
    """A simulation's ``pylon``: pypylon's own module but for the factory, the
    device info and the camera class."""

    def __init__(self, simulation):
        super().__init__("pylon", "pypylon's pylon, with simulated acA2040-55uc cameras")
        self.TlFactory = type("TlFactory", (TlFactoryBase,), {"_simulation": simulation,
                                                              "__module__": __name__})
        self.InstantCamera = InstantCamera
        self.DeviceInfo = DeviceInfo
        self.CDeviceInfo = DeviceInfo
        self.FeaturePersistence = persistence.FeaturePersistence
        for name in ("SoftwareTriggerConfiguration", "AcquireContinuousConfiguration",
                     "AcquireSingleFrameConfiguration"):
            setattr(self, name, getattr(handlers, name))

    def __getattr__(self, name):
        if name.startswith("__") or name in ("this", "thisown"):
            raise AttributeError(name)
        return getattr(_pylon, name)

    def __dir__(self):
        return sorted(set(dir(_pylon)) | set(vars(self)))


instantcamera.EMPTY_INFO = DeviceInfo
