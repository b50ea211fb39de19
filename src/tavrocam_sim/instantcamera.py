"""pylon.InstantCamera for a simulated device.

Attach, open and close with every configuration event at its moment, the
device's nodes and the camera object's own parameters as ``camera.<Node>``,
the registration of configurations, image and camera event handlers, and
pypylon's grab calls, their arguments checked and their work done by the
camera object's grab engine (tavrocam_sim.grabengine). A camera object
dropped while it holds the device stops grabbing and lets the device go.
"""

from __future__ import annotations

import os
import warnings
import weakref

from .pypylon_sdk import genicam, pylon as _pylon

from . import faults, model, parameters, sharing, streamgrabber
from .deviceinfo import DeviceInfo
from .grabengine import ALREADY, THROW, GrabEngine, WaitObject, arguments
from .handlers import check_event_node
from .registers import parameter

# Texts pylon uses (confirmed), and the ones assumed where nothing was seen.
IN_USE = ("Failed to open device '{name}' for XML file download. Error: 'Device is "
          "exclusively opened by another client.' : RuntimeException thrown "
          "(file 'PylonUsbTL.cpp', line 474)")
REMOVED = ("Failed to open device '{name}'. Error: 'The device has been removed "
           "from the PC.' : RuntimeException thrown (file 'PylonUsbTL.cpp', line 474)")  # assumed
_IN = "(file 'InstantCameraImpl.h', line {})"
NOT_ATTACHED = "No device attached. : RuntimeException thrown " + _IN.format(2313)
# SWIG's overload errors, as pypylon raises them for arguments of the wrong type.
BAD_DEVICE = (
    "Wrong number or type of arguments for overloaded function 'new_InstantCamera'.\n"
    "  Possible C/C++ prototypes are:\n"
    "    Pylon::CInstantCamera::CInstantCamera()\n"
    "    Pylon::CInstantCamera::CInstantCamera(Pylon::IPylonDevice *,Pylon::ECleanup)\n"
    "    Pylon::CInstantCamera::CInstantCamera(Pylon::IPylonDevice *)\n")
CLOSED_STREAM = ("Cannot get the stream grabber from a closed device. : RuntimeException "
                 "thrown (file 'InstantCameraImpl.h', line 2020)")
CLOSED_EVENTS = ("Cannot get the event grabber from a closed device. : RuntimeException "
                 "thrown (file 'InstantCameraImpl.h', line 2046)")
# pylon's texts for a trigger wait on a closed camera, and on one without a device.
NO_TRIGGER_WAIT = ("The camera device does not support waiting for frame trigger ready. : "
                   "RuntimeException thrown (file 'InstantCameraImpl.h', line 1845)")
NO_TRIGGER_WAIT_CLOSED = ("The camera device does not support waiting for frame trigger ready. "
                          "AcquisitionStatus is not readable. : RuntimeException thrown "
                          "(file 'InstantCameraImpl.h', line 1836)")
NOT_STARTED = "Grabbing has not been started. : RuntimeException thrown " + _IN.format(1791)
ZERO_COUNT = ("Maximum count of images to grab cannot be 0. : OutOfRangeException thrown "
              + _IN.format(828))
GRAB_ONE_TIMEOUT = "Grab timed out. : TimeoutException thrown " + _IN.format(1447)
# The SFNC version the camera's node map follows: 2.x (confirmed), 2.1.0 (assumed).
SFNC_VERSION = (2, 1, 0)
_PLACEHOLDER = getattr(_pylon, "PlaceholderParameter", None)
# pypylon's InstantCamera methods: a name of these the simulated camera lacks is
# an AttributeError, never a node placeholder.
_PYLON_METHODS = frozenset(name for name in dir(_pylon.InstantCamera) if not name.startswith("_"))
_FEATURES = tuple(node.name for node in model.NODES)


def _refused(name):
    return name.startswith("_") or name in ("this", "thisown")


_CAMERAS: weakref.WeakSet = weakref.WeakSet()
_FORSAKEN: list = []  # a forked child's node maps of before the fork: never used again


def _after_fork_in_child():
    """A forked child has only the thread that forked: a node map another
    thread was using at the fork would hold GenApi's lock for ever, so every
    camera object gets new node maps (the nodes it hands out from now on)."""
    for camera in list(_CAMERAS):
        state = camera._st
        if state.device is not None:
            _FORSAKEN.extend(state.device.renew_node_maps())
        _FORSAKEN.append((dict(camera._params), state._parameters))
        camera._params.clear()
        state._parameters = None


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_after_fork_in_child)


class NodeMap:
    """A node map as pypylon 26 shows it: GetNode gives a pylon parameter,
    and a name the camera lacks gives a placeholder. ``_connection`` is
    the registers.Connection (port, node map) behind it; ``own`` is None for the
    device's node map, else what answers ``node(name)`` (the camera object's
    parameters, a grabber's node map)."""

    def __init__(self, camera, connection, names, own=None):
        object.__setattr__(self, "_camera", camera)
        object.__setattr__(self, "_connection", connection)
        object.__setattr__(self, "_names", names)
        object.__setattr__(self, "_own", own)

    def GetNode(self, name):
        if self._own is not None:
            return self._own.node(name)
        return self._camera._node(name)

    def Contains(self, name):
        return self._connection.node_map.Contains(name)

    def GetNodes(self):
        return [self.GetNode(name) for name in self._names]

    def __getattr__(self, name):
        if _refused(name):
            raise AttributeError(name)
        return self.GetNode(name)


class InstantCamera:
    """pylon.InstantCamera for a simulated device: ``Open``/``Close``,
    ``camera.<Node>`` and ``camera.<Node> = value`` as pypylon does them."""

    def __init__(self, device=None, cleanup=None):
        state = GrabEngine(weakref.ref(self))
        object.__setattr__(self, "_st", state)
        object.__setattr__(self, "_params", {})
        object.__setattr__(self, "_armed", set())  # names of handed-out nodes that meet faults
        _CAMERAS.add(self)
        object.__setattr__(self, "_finalizer", weakref.finalize(self, state.release))
        if device is not None:
            self.Attach(device)

    # --- device handling
    @property
    def _sim(self):
        return self._st.device

    def Attach(self, device, cleanup=None):
        if not hasattr(device, "sim") or not hasattr(device, "GetDeviceInfo"):
            raise TypeError(BAD_DEVICE)
        st = self._st
        if st.device is not None:
            self.DestroyDevice()
        st.configurations.each("OnAttach", self)
        st.device, st.handle = device.sim, device
        st.info = device.GetDeviceInfo()
        self._params.clear()
        device.sim.listen("removal", st.device_removed)
        device.sim.listen("fault", self._fault_set)
        st.configurations.each("OnAttached", self)

    def _fault_set(self, name):
        """A fault set on a method of node ``name``: met by the node handed out."""
        param = self._params.get(name)
        if param is not None and faults.arm(param, self._st.device, name):
            self._armed.add(name)

    def IsPylonDeviceAttached(self):
        return self._st.device is not None

    IsUsb = HasOwnership = IsPylonDeviceAttached

    def DetachDevice(self):
        """Stop grabbing and give the device back (pylon leaves it open; the
        simulated one is open only through a camera object, so it closes)."""
        st = self._st
        if st.device is None:
            return None
        self.StopGrabbing()
        st.configurations.each("OnDetach", self)
        device, handle = st.device, st.handle
        if device.opened_by is self:
            if device.acquiring:
                device.stop_acquisition()
            device.opened_by = None
            device.invalidate()
        self._let_go("OnDetached")
        return handle

    def DestroyDevice(self):
        if self._st.device is None:
            return
        self.StopGrabbing()
        self.Close()
        self._st.configurations.each("OnDestroy", self)
        self._let_go("OnDestroyed")

    def _let_go(self, event):
        """The device no longer attached; then the configurations' ``event``."""
        st = self._st
        st.device.unlisten("removal", st.device_removed)
        st.device.unlisten("fault", self._fault_set)
        st.device = st.handle = None
        self._params.clear()
        st.configurations.each(event, self)

    def IsCameraDeviceRemoved(self):
        return self._st.device is not None and self._st.device.removed

    def GetDeviceInfo(self):
        if self._st.info is None:
            return DeviceInfo()
        return self._st.info

    def _device(self):
        if self._st.device is None:
            raise _pylon.RuntimeException(NOT_ATTACHED)
        return self._st.device

    def Open(self):
        device = self._device()
        device.check("Open")
        name = device.full_name
        if device.removed:
            raise _pylon.RuntimeException(REMOVED.format(name=name))
        if device.opened_by is self:
            return
        if device.in_use or device.opened_by is not None or not sharing.claim(device):
            raise _pylon.RuntimeException(IN_USE.format(name=name))
        try:
            self._st.configurations.each("OnOpen", self)
        except BaseException:
            sharing.release(device)
            raise
        device.opened_by = self
        device.invalidate()
        self._st.invalidate_parameters()
        try:
            self._st.configurations.each("OnOpened", self)
        except BaseException:  # pylon closes the device again
            device.opened_by = None
            device.invalidate()
            raise

    def Close(self):
        device = self._st.device
        if device is None:
            return
        device.check("Close")
        self.StopGrabbing()
        if device.opened_by is not self:
            return
        self._st.configurations.each("OnClose", self)
        if device.acquiring:
            device.stop_acquisition()
        device.opened_by = None
        device.invalidate()
        self._st.invalidate_parameters()
        self._st.configurations.each("OnClosed", self)

    def IsOpen(self):
        device = self._st.device
        return device is not None and device.opened_by is self and not device.removed

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.Close()
        return False

    # --- grabbing: the arguments pypylon takes, the work the grab engine's
    def IsGrabbing(self):
        return self._st.session is not None

    def StartGrabbing(self, *args, **kwargs):
        self._st.start(self, None, *arguments("StartGrabbing", args, kwargs))

    def StartGrabbingMax(self, *args, **kwargs):
        count, strategy, loop = arguments("StartGrabbingMax", args, kwargs)
        if count == 0:
            raise _pylon.OutOfRangeException(ZERO_COUNT)
        self._st.start(self, count, strategy, loop)

    def StopGrabbing(self):
        self._st.stop(self)

    def RetrieveResult(self, *args, **kwargs):
        timeout, handling = arguments("RetrieveResult", args, kwargs)
        return self._st.result(self, timeout, handling == THROW)

    def GrabOne(self, *args, **kwargs):
        timeout, handling = arguments("GrabOne", args, kwargs)
        if self._st.session is not None:
            raise _pylon.RuntimeException(ALREADY)
        try:
            self.StartGrabbingMax(1)
            result = self.RetrieveResult(timeout, _pylon.TimeoutHandling_Return)
        except BaseException:  # an interrupt or a failure: no grab left behind
            self.StopGrabbing()
            raise
        if not result.IsValid():
            self.StopGrabbing()
            if handling == THROW:
                raise _pylon.TimeoutException(GRAB_ONE_TIMEOUT)
        return result

    def ExecuteSoftwareTrigger(self):
        if self._st.session is None:
            raise _pylon.RuntimeException(NOT_STARTED)
        self._node("TriggerSoftware").Execute()

    def CanWaitForFrameTriggerReady(self):
        return self.IsOpen()  # AcquisitionStatus is readable

    def WaitForFrameTriggerReady(self, *args, **kwargs):
        timeout, handling = arguments("WaitForFrameTriggerReady", args, kwargs)
        if not self.IsOpen():
            raise _pylon.RuntimeException(NO_TRIGGER_WAIT_CLOSED if self._st.device is not None
                                          else NO_TRIGGER_WAIT)
        return self._st.wait_trigger_ready(timeout, handling == THROW)

    def GetGrabResultWaitObject(self):
        return WaitObject(self._st)

    # --- handlers
    def RegisterConfiguration(self, configuration, mode, cleanup):
        self._st.configurations.register(self, configuration, mode)

    def DeregisterConfiguration(self, configuration):
        return self._st.configurations.deregister(self, configuration)

    def RegisterImageEventHandler(self, handler, mode, cleanup):
        self._st.image_handlers.register(self, handler, mode)

    def DeregisterImageEventHandler(self, handler):
        return self._st.image_handlers.deregister(self, handler)

    def RegisterCameraEventHandler(self, handler, node_name, user_id, mode, cleanup,
                                   *available):
        check_event_node(self, node_name)
        self._st.event_handlers.register(self, handler, mode, (node_name, user_id))

    def DeregisterCameraEventHandler(self, handler, node_name):
        return self._st.event_handlers.deregister(self, handler, node_name)

    # --- nodes
    def GetNodeMap(self):
        device = self._device()
        return NodeMap(self, device.connection(self), _FEATURES)

    def GetInstantCameraNodeMap(self):
        params = self._st.parameters
        return NodeMap(self, params.connection, [row[0] for row in parameters.PARAMETERS], params)

    def _grabber_map(self, kind, closed):
        device = self._device()
        if closed is not None and not self.IsOpen():
            raise _pylon.RuntimeException(closed)
        nodes = streamgrabber.node_map(device, kind)
        return NodeMap(self, nodes.connection, nodes.names, nodes)

    def GetTLNodeMap(self):
        """The transport layer's node map: no features for this camera (as the emulator's)."""
        return self._grabber_map("TransportLayer", None)

    def GetStreamGrabberNodeMap(self):
        return self._grabber_map("StreamGrabber", CLOSED_STREAM)

    def GetEventGrabberNodeMap(self):
        return self._grabber_map("EventGrabber", CLOSED_EVENTS)

    # --- what the camera object says of itself
    def IsGigE(self):  # nor Camera Link, CoaXPress or blaze: a USB camera's
        return False

    IsCameraLink = IsCxp = IsBlaze = IsGigE

    def GetSfncVersion(self):
        self._device()
        return _pylon.VersionInfo(*SFNC_VERSION)

    def GetCameraContext(self):
        return self._st.context

    def SetCameraContext(self, context):
        if isinstance(context, bool) or not isinstance(context, int) \
                or not -2 ** 63 <= context < 2 ** 63:
            raise TypeError("in method 'InstantCamera_SetCameraContext', argument 2 of type "
                            "'intptr_t'")
        self._st.context = context

    def GetQueuedBufferCount(self):
        return self._st.live_parameter("NumQueuedBuffers") or 0

    def GetGrabStopWaitObject(self):
        """Signalled while the camera object is not grabbing."""
        return WaitObject(self._st, lambda st: st.session is None)

    def GetCameraEventWaitObject(self):
        """Signalled while camera events wait to be handled."""
        return WaitObject(self._st, _events_waiting)

    def _node(self, name):
        if name in parameters.NAMES:
            return self._st.parameters.node(name)
        device = self._st.device
        if device is None:
            if _PLACEHOLDER is not None:
                return _PLACEHOLDER(f"InstantCamera/{name}")
            raise _pylon.LogicalErrorException("Node not existing")
        param = self._params.get(name)
        if param is None:
            try:
                param = parameter(device.connection(self), name)
            except genicam.LogicalErrorException:
                if _PLACEHOLDER is None:
                    raise
                return _PLACEHOLDER(f"Camera/{name}")
            self._params[name] = param
        if device.faults:
            if faults.arm(param, device, name):
                self._armed.add(name)
            else:
                self._armed.discard(name)
        elif self._armed:  # every fault healed or used up: pylon's own classes again
            for armed in self._armed:
                faults.arm(self._params.get(armed) or param, device, armed)
            self._armed.clear()
        return param

    def __getattr__(self, name):
        if _refused(name):
            raise AttributeError(name)
        if name in _PYLON_METHODS:
            raise AttributeError(f"'InstantCamera' object has no attribute '{name}' "
                                 f"(pylon's InstantCamera.{name} is not simulated)")
        return self._node(name)

    def __setattr__(self, name, value):
        if _refused(name):
            raise AttributeError(f"'InstantCamera' object attribute '{name}' is read-only")
        warnings.warn(f"Setting a feature value by direct assignment is deprecated. "
                      f"Use <nodemap>.{name}.Value = {value}", DeprecationWarning, stacklevel=2)
        self._node(name).SetValue(value)

    def __repr__(self):
        info = self._st.info
        return f"<InstantCamera {info.GetFriendlyName() if info else '(no device)'}>"


def _events_waiting(state):
    device = state.device
    if device is None:
        return False
    device.acquisition.tick()
    return bool(device.events.waiting)


for _name in ("CameraContext", "DeviceInfo", "NodeMap", "InstantCameraNodeMap", "TLNodeMap",
              "StreamGrabberNodeMap", "EventGrabberNodeMap", "QueuedBufferCount", "SfncVersion"):
    setattr(InstantCamera, _name, property(getattr(InstantCamera, "Get" + _name)))
InstantCamera.StreamGrabber = property(InstantCamera.GetStreamGrabberNodeMap)
InstantCamera.EventGrabber = property(InstantCamera.GetEventGrabberNodeMap)
InstantCamera.TransportLayer = property(InstantCamera.GetTLNodeMap)
