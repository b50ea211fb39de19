"""The instant camera's event handlers and pylon's standard configurations.

Programs subclass pypylon's ``pylon.ConfigurationEventHandler``,
``pylon.ImageEventHandler`` and ``pylon.CameraEventHandler`` and register
instances; the camera object calls their Python methods with itself. A method
the subclass leaves to pypylon's base class is not called: pypylon's own
methods take only pylon's camera objects. An exception from a handler goes
to the caller, as with pylon (which then undoes the Open or StartGrabbing it
interrupted); only the camera event handlers', which pylon runs in a thread
of its own, are reported on standard error and the camera goes on.

``SoftwareTriggerConfiguration``, ``AcquireContinuousConfiguration`` and
``AcquireSingleFrameConfiguration`` are pylon's standard configurations
written for the simulated camera: in ``OnOpened`` they set the device's node
map as pylon's do, also when a program calls ``OnOpened(camera)`` itself.
"""

from __future__ import annotations

import sys
import traceback

from .pypylon_sdk import overloads, pylon as _pylon

# pylon's texts (OnOpened's wrapping: pylon's source; the node lookup: the emulator).
NOT_APPLIED = ("Could not apply configuration. Pylon::GenericException caught in OnOpened "
               "method msg={} : RuntimeException thrown (file 'SoftwareTriggerConfiguration.h', "
               "line 134)")
NO_EVENT_NODE = ("Node {} for registering camera event callback not found. The spelling of the "
                 "node's name may be wrong. : RuntimeException thrown "
                 "(file 'CameraEventMetaDataImpl.h', line 128)")


_REGISTER = ("RegisterCameraEventHandler(Pylon::CCameraEventHandler *,Pylon::String_t const &,"
             "intptr_t,Pylon::ERegistrationMode,Pylon::ECleanup")
CAMERA_EVENT_PROTOTYPES = overloads(
    "InstantCamera_RegisterCameraEventHandler", "Pylon::CInstantCamera::",
    _REGISTER + ",Pylon::ECameraEventAvailability)", _REGISTER + ")")


def _own(handler, method) -> bool:
    """Whether ``handler``'s ``method`` is written in Python (not pypylon's base)."""
    for cls in type(handler).__mro__:
        if method in vars(cls):
            return not (cls.__module__ or "").startswith("pypylon")
    return False


def call(handler, method, *args, ignore=False) -> None:
    """Call a handler's method as pylon does, skipping what only the base
    class does; with ``ignore``, report an exception and carry on."""
    standard = _STANDARD.get(type(handler))
    if standard is not None:  # pylon's own configuration object: ours does its work
        handler = standard()
    if not _own(handler, method):
        return
    try:
        getattr(handler, method)(*args)
    except Exception:
        if not ignore:
            raise
        print(f"Exception in {type(handler).__name__}.{method} (ignored, as pylon does):",
              file=sys.stderr)
        traceback.print_exc()


class Registry:
    """Registered handlers in order, as ``[handler, extra]`` rows (``extra``: a
    camera event handler's (node name, user id))."""

    def __init__(self, base, registered, deregistered):
        self.rows: list = []
        self.base = base                    # pypylon's handler class
        self.registered = registered        # the notification method names
        self.deregistered = deregistered

    def register(self, camera, handler, mode, extra=()):
        if handler is None:  # pylon takes a null handler, and does nothing with it
            return
        if not isinstance(handler, self.base):
            if extra:
                raise TypeError(CAMERA_EVENT_PROTOTYPES)
            what = self.base.__name__
            method = "Configuration" if what == "ConfigurationEventHandler" else what
            raise TypeError(f"in method 'InstantCamera_Register{method}', argument 2 of type "
                            f"'Pylon::C{what} *'")
        gone = []
        if mode == _pylon.RegistrationMode_ReplaceAll:
            gone, self.rows = self.rows, []
        elif mode != _pylon.RegistrationMode_Append:
            raise _pylon.InvalidArgumentException("Invalid registration mode.")  # assumed
        self.rows.append([handler, extra])
        for old, old_extra in gone:
            call(old, self.deregistered, camera, *old_extra)
        call(handler, self.registered, camera, *extra)

    def deregister(self, camera, handler, extra=None) -> bool:
        for row in self.rows:
            if row[0] is handler and (extra is None or row[1][0] == extra):
                self.rows.remove(row)
                call(handler, self.deregistered, camera, *row[1])
                return True
        return False

    def clear(self, camera):
        rows, self.rows = self.rows, []
        for handler, extra in rows:
            call(handler, self.deregistered, camera, *extra)

    def handlers(self) -> list:
        return [row[0] for row in self.rows]

    def each(self, method, camera, *args, ignore=False):
        for handler in self.handlers():
            call(handler, method, camera, *args, ignore=ignore)


def check_event_node(camera, name) -> None:
    """Refuse a camera event handler for a node the camera lacks, as pylon does."""
    if not camera.GetNodeMap().Contains(name):
        raise _pylon.RuntimeException(NO_EVENT_NODE.format(name))


def dispatch_event(camera, registry, name, data) -> None:
    """Hand one camera event to the handlers registered for its data nodes,
    then to those registered for the event as a whole ("Event<Name>Data")."""
    whole = f"Event{name}Data"
    for node_name in (*data, whole):
        for handler, (registered, user_id) in list(registry.rows):
            if registered == node_name:
                node = camera.GetNodeMap().GetNode(node_name)
                call(handler, "OnCameraEvent", camera, user_id, node, ignore=True)


# --------------------------------------------------------------- the standard configurations
def _triggers_off(node_map, keep=None):
    selector = node_map.GetNode("TriggerSelector")
    for entry in selector.GetSymbolics():
        selector.SetValue(entry)
        if entry == keep:
            node_map.GetNode("TriggerMode").SetValue("On")
            node_map.GetNode("TriggerSource").SetValue("Software")
        else:
            node_map.GetNode("TriggerMode").TrySetValue("Off")
    if keep is not None:
        selector.SetValue(keep)


class _Configuration(_pylon.ConfigurationEventHandler):
    mode = "Continuous"
    trigger = None

    @classmethod
    def ApplyConfiguration(cls, node_map):
        _triggers_off(node_map, cls.trigger)
        node_map.GetNode("AcquisitionMode").SetValue(cls.mode)

    def OnOpened(self, camera):
        try:
            self.ApplyConfiguration(camera.GetNodeMap())
        except _pylon.GenericException as exc:
            raise _pylon.RuntimeException(NOT_APPLIED.format(exc)) from None


class SoftwareTriggerConfiguration(_Configuration):
    """Frame start on the software trigger, the other triggers off, continuous."""
    trigger = "FrameStart"


class AcquireContinuousConfiguration(_Configuration):
    """Every trigger off, continuous acquisition."""


class AcquireSingleFrameConfiguration(_Configuration):
    """Every trigger off, single frame acquisition."""
    mode = "SingleFrame"


_STANDARD = {getattr(_pylon, cls.__name__): cls for cls in (
    SoftwareTriggerConfiguration, AcquireContinuousConfiguration,
    AcquireSingleFrameConfiguration) if hasattr(_pylon, cls.__name__)}
