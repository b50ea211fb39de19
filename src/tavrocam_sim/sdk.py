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
import warnings

from pypylon import genicam, pylon as _pylon

from . import grab, model, persistence

# Texts pylon uses (confirmed), and the ones assumed where nothing was seen.
NO_DEVICE = ("No device is available or no device contains the provided device info "
             "properties. : RuntimeException thrown (file 'TlFactory.cpp', line 694)")
IN_USE = ("Failed to open device '{name}' for XML file download. Error: 'Device is "
          "exclusively opened by another client.' : RuntimeException thrown "
          "(file 'PylonUsbTL.cpp', line 474)")
REMOVED = ("Failed to open device '{name}'. Error: 'The device has been removed "
           "from the PC.' : RuntimeException thrown (file 'PylonUsbTL.cpp', line 474)")  # assumed
NOT_ATTACHED = "No device attached. : RuntimeException thrown (file 'InstantCameraImpl.h', line 2313)"
# SWIG's overload errors, as pypylon raises them for arguments of the wrong type.
BAD_DEVICE = (
    "Wrong number or type of arguments for overloaded function 'new_InstantCamera'.\n"
    "  Possible C/C++ prototypes are:\n"
    "    Pylon::CInstantCamera::CInstantCamera()\n"
    "    Pylon::CInstantCamera::CInstantCamera(Pylon::IPylonDevice *,Pylon::ECleanup)\n"
    "    Pylon::CInstantCamera::CInstantCamera(Pylon::IPylonDevice *)\n")
BAD_FILTER = (
    "Wrong number or type of arguments for overloaded function 'TlFactory_EnumerateDevices'.\n"
    "  Possible C/C++ prototypes are:\n"
    "    Pylon::CTlFactory::EnumerateDevices(Pylon::DeviceInfoList_t &,bool)\n"
    "    Pylon::CTlFactory::EnumerateDevices(Pylon::DeviceInfoList_t &)\n"
    "    Pylon::CTlFactory::EnumerateDevices(Pylon::DeviceInfoList_t &,"
    "Pylon::DeviceInfoList_t const &,bool)\n"
    "    Pylon::CTlFactory::EnumerateDevices(Pylon::DeviceInfoList_t &,"
    "Pylon::DeviceInfoList_t const &)\n")
_PLACEHOLDER = getattr(_pylon, "PlaceholderParameter", None)
# pypylon 26.10 hands out its parameter classes around GenApi's nodes; 26.4
# hands out the nodes themselves.
_PARAMETERS = {
    getattr(genicam, interface): getattr(_pylon, parameter)
    for interface, parameter in (
        ("intfIInteger", "IntegerParameter"), ("intfIFloat", "FloatParameter"),
        ("intfIBoolean", "BooleanParameter"), ("intfIEnumeration", "EnumParameter"),
        ("intfIString", "StringParameter"), ("intfICommand", "CommandParameter"))
    if hasattr(_pylon, parameter)
}


def _check(device, operation):
    """Raise the fault a test set for ``operation`` on ``device``, if any."""
    fault = device.faults.get(operation)
    if fault is None:
        return
    exc, times = fault
    if times is not None:
        fault[1] = times - 1
        if fault[1] <= 0:
            del device.faults[operation]
    raise exc


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
            _check(device, "EnumerateDevices")
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
        _check(device, "CreateDevice")
        return Device(DeviceInfo.of(device))

    def CreateFirstDevice(self, info=None):
        for device in self._present():
            if info is None or info._matches(DeviceInfo.of(device)):
                return self.CreateDevice(DeviceInfo.of(device))
        raise _pylon.RuntimeException(NO_DEVICE)


def parameter(keep, name):
    """The node ``name`` of the node map in ``keep`` (as device.connect makes
    it), as pypylon hands nodes out, holding ``keep``."""
    node = keep[1].GetNode(name)  # raises LogicalErrorException for a name it lacks
    if _PARAMETERS:
        cls = _PARAMETERS.get(node.GetNode().GetPrincipalInterfaceType())
        node = cls(node) if cls is not None else _pylon.ToParameter(node)
    object.__setattr__(node, "_sim_keep", keep)
    return node


_FAULTY: dict = {}


def _faulty(cls):
    """A subclass of pylon's parameter class whose methods first raise any
    fault a test set on '<Node>.<Method>'."""
    if cls not in _FAULTY:
        def __getattribute__(self, attr):
            device = object.__getattribute__(self, "_sim_device")
            if attr[:1].isupper():
                _check(device, f"{object.__getattribute__(self, '_sim_name')}.{attr}")
            return cls.__getattribute__(self, attr)
        _FAULTY[cls] = type(cls.__name__, (cls,), {"__getattribute__": __getattribute__,
                                                   "__module__": cls.__module__})
    return _FAULTY[cls]


class NodeMap:
    """The camera's node map as pypylon 26 shows it: GetNode gives a pylon
    parameter, and a name the camera lacks gives a placeholder."""

    def __init__(self, camera):
        object.__setattr__(self, "_camera", camera)

    def GetNode(self, name):
        return self._camera._node(name)

    def Contains(self, name):
        device = self._camera._sim
        return device is not None and device.node_map(self._camera)[0].Contains(name)

    def GetNodes(self):
        return [self.GetNode(name) for name in _FEATURES]

    def __getattr__(self, name):
        if name.startswith("__"):
            raise AttributeError(name)
        return self._camera._node(name)


_FEATURES = tuple(node.name for node in model.NODES)


class InstantCamera(grab.Grabbing):
    """pylon.InstantCamera for a simulated device: ``Open``/``Close``,
    ``camera.<Node>`` and ``camera.<Node> = value`` as pypylon does them."""

    def __init__(self, device=None):
        object.__setattr__(self, "_params", {})
        object.__setattr__(self, "_sim", None)
        object.__setattr__(self, "_info", None)
        if device is not None:
            self.Attach(device)

    # --- device handling
    def Attach(self, device):
        if not isinstance(device, Device):
            raise TypeError(BAD_DEVICE)
        object.__setattr__(self, "_sim", device.sim)
        object.__setattr__(self, "_info", device.GetDeviceInfo())
        self._params.clear()

    def IsPylonDeviceAttached(self):
        return self._sim is not None

    def DetachDevice(self):
        self.Close()
        object.__setattr__(self, "_sim", None)
        self._params.clear()

    def DestroyDevice(self):
        self.DetachDevice()

    def IsCameraDeviceRemoved(self):
        return self._sim is not None and self._sim.removed

    def GetDeviceInfo(self):
        if self._info is None:
            return DeviceInfo()
        return self._info

    def _device(self):
        if self._sim is None:
            raise _pylon.RuntimeException(NOT_ATTACHED)
        return self._sim

    def Open(self):
        device = self._device()
        _check(device, "Open")
        name = device.full_name
        if device.removed:
            raise _pylon.RuntimeException(REMOVED.format(name=name))
        if device.opened_by is self:
            return
        if device.in_use or device.opened_by is not None:
            raise _pylon.RuntimeException(IN_USE.format(name=name))
        device.opened_by = self
        device.invalidate()

    def Close(self):
        device = self._sim
        if device is None:
            return
        _check(device, "Close")
        if device.opened_by is not self:
            return
        if device.acquiring:
            device.stop_acquisition()
        device.opened_by = None
        device.invalidate()

    def IsOpen(self):
        device = self._sim
        return device is not None and device.opened_by is self and not device.removed

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.Close()
        return False

    # --- nodes
    def GetNodeMap(self):
        self._device()
        return NodeMap(self)

    def _node(self, name):
        device = self._sim
        if device is None:
            if _PLACEHOLDER is not None:
                return _PLACEHOLDER(f"InstantCamera/{name}")
            raise _pylon.LogicalErrorException("Node not existing")
        faults = device.faults and any(op.startswith(name + ".") for op in device.faults)
        param = None if faults else self._params.get(name)
        if param is None:
            try:
                param = parameter(device.node_map(self)[1], name)
            except genicam.LogicalErrorException:
                if _PLACEHOLDER is None:
                    raise
                return _PLACEHOLDER(f"Camera/{name}")
            if faults:
                param.__class__ = _faulty(type(param))
                object.__setattr__(param, "_sim_device", device)
                object.__setattr__(param, "_sim_name", name)
            else:
                self._params[name] = param
        return param

    def __getattr__(self, name):
        if name.startswith("__") or name in ("_params", "_sim", "_info"):
            raise AttributeError(name)
        return self._node(name)

    def __setattr__(self, name, value):
        prop = getattr(type(self), name, None)
        if isinstance(prop, property):
            prop.fset(self, value)
            return
        warnings.warn(f"Setting a feature value by direct assignment is deprecated. "
                      f"Use <nodemap>.{name}.Value = {value}", DeprecationWarning, stacklevel=2)
        self._node(name).SetValue(value)

    def __repr__(self):
        info = self._info
        return f"<InstantCamera {info.GetFriendlyName() if info else '(no device)'}>"


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

    def __getattr__(self, name):
        return getattr(_pylon, name)

    def __dir__(self):
        return sorted(set(dir(_pylon)) | set(vars(self)))
