"""The pypylon-shaped shell around simulated devices.

pylon's transport layers take no device of ours, so the factory, the device
list and the camera object are written here, with pypylon's names,
signatures and texts. Everything they hand out of the camera itself is the
SDK's own: nodes are pylon's parameter classes around GenApi's nodes, errors
are pylon's exception classes, and every other name of ``pylon`` (constants,
exception classes, parameter types) is pypylon's.
"""

from __future__ import annotations

import importlib.machinery
import sys
import types

from .pypylon_sdk import overloads, pylon as _pylon

from . import cameraarray, grabresult, handlers, imaging, persistence
from .deviceinfo import DeviceInfo, PylonDevice
from .instantcamera import InstantCamera

# Texts pylon uses (confirmed).
NO_DEVICE = ("No device is available or no device contains the provided device info "
             "properties. : RuntimeException thrown (file 'TlFactory.cpp', line 694)")
BAD_FILTER = overloads(
    "TlFactory_EnumerateDevices", "Pylon::CTlFactory::",
    "EnumerateDevices(Pylon::DeviceInfoList_t &,bool)",
    "EnumerateDevices(Pylon::DeviceInfoList_t &)",
    "EnumerateDevices(Pylon::DeviceInfoList_t &,Pylon::DeviceInfoList_t const &,bool)",
    "EnumerateDevices(Pylon::DeviceInfoList_t &,Pylon::DeviceInfoList_t const &)")


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
        return PylonDevice(DeviceInfo.of(device))

    def CreateFirstDevice(self, info=None):
        for device in self._present():
            if info is None or info._matches(DeviceInfo.of(device)):
                return self.CreateDevice(DeviceInfo.of(device))
        raise _pylon.RuntimeException(NO_DEVICE)


class _Reload:
    """``importlib.reload`` of a simulation's ``pylon`` (a meta-path finder
    for that alone, and its loader): the module is made again for its own
    simulation, never pypylon's code run into it."""

    def find_spec(self, name, path, target=None):
        if not isinstance(target, Pylon):
            return None
        return importlib.machinery.ModuleSpec(name, self, origin=target.__spec__.origin)

    def create_module(self, spec):
        return None

    def exec_module(self, module):
        Pylon.__init__(module, module._simulation)


class Pylon(types.ModuleType):
    """A simulation's ``pylon``: pypylon's own module but for the factory, the
    device info and the camera class. Its ``__name__`` and ``__spec__`` are
    pypylon's module's, so ``importlib.reload`` finds it (and makes it again,
    for its simulation)."""

    def __init__(self, simulation):
        super().__init__("pypylon.pylon", "pypylon's pylon, with simulated acA2040-55uc cameras")
        if not any(isinstance(finder, _Reload) for finder in sys.meta_path):
            sys.meta_path.insert(0, _Reload())
        spec = getattr(_pylon, "__spec__", None)
        self.__spec__ = importlib.machinery.ModuleSpec(
            "pypylon.pylon", _Reload(), origin=getattr(spec, "origin", None))
        self.__package__ = "pypylon"
        self.__dict__["__pypylon_pylon__"] = _pylon  # pypylon's own (tavrocam_sim.pypylon_sdk)
        self._simulation = simulation
        self.TlFactory = type("TlFactory", (TlFactoryBase,), {"_simulation": simulation,
                                                              "__module__": __name__})
        self.InstantCameraArray = cameraarray.InstantCameraArray
        self.GrabResult = grabresult.GrabResult
        self.PylonImage = imaging.PylonImage
        self.ImageFormatConverter = imaging.ImageFormatConverter
        self.ImagePersistence = imaging.ImagePersistence
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

    def __repr__(self):
        return (f"<module 'pypylon.pylon' of {self._simulation!r}: tavrocam_sim's simulated "
                f"SDK, pypylon's pylon but for the cameras>")
