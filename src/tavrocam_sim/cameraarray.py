"""pylon.InstantCameraArray for simulated cameras.

A fixed number of camera objects (tavrocam_sim.instantcamera), each with its
index as camera context until the program sets another; ``Open``,
``StartGrabbing``, ``StopGrabbing``, ``Close``, ``DetachDevice`` and
``DestroyDevice`` act on each, and ``RetrieveResult`` takes the next ready
result from the cameras in turn (round robin, as pylon's array does), its
``GetCameraContext()`` naming the camera. Texts and exception classes are
pylon's (pypylon 26.10's emulated cameras); as there, the array has no
``len()`` (``GetSize()`` counts it).
"""

from __future__ import annotations

import time

from .grabengine import UINT32
from .grabresult import GrabResult
from .instantcamera import InstantCamera
from .pypylon_sdk import overloads, pylon as _pylon
from .registers import CHANGED, LOCK

_IN = " : {kind} thrown (file 'InstantCameraArrayImpl.h', line {line})"
NOT_ALL_ATTACHED = "Not all cameras in the array have attached devices."
ALREADY = "Grabbing has already been started."
TIMED_OUT = "Grab timed out."
_ARRAY = "Pylon::CInstantCameraArray::"
BAD_NEW = overloads("new_InstantCameraArray", _ARRAY, "CInstantCameraArray()",
                    "CInstantCameraArray(size_t)")
BAD_RETRIEVE = overloads(
    "InstantCameraArray_RetrieveResult", _ARRAY,
    "RetrieveResult(unsigned int,Pylon::CGrabResultPtr &,Pylon::ETimeoutHandling)",
    "RetrieveResult(unsigned int,Pylon::CGrabResultPtr &)")
BAD_START = overloads(  # assumed from the emulator's others
    "InstantCameraArray_StartGrabbing", _ARRAY,
    "StartGrabbing(Pylon::EGrabStrategy,Pylon::EGrabLoop)",
    "StartGrabbing(Pylon::EGrabStrategy)", "StartGrabbing()")
BAD_INDEX = "in method 'InstantCameraArray___getitem__', argument 2 of type 'size_t'"
_SIZE = 2 ** 64


def _error(kind, text, line):
    return getattr(_pylon, kind)(text + _IN.format(kind=kind, line=line))


def _count(args):
    if len(args) > 1 or args and (isinstance(args[0], bool) or not isinstance(args[0], int)
                                  or not 0 <= args[0] < _SIZE):
        raise TypeError(BAD_NEW)
    return args[0] if args else 0


def _ints(args, kwargs, kinds, least, text, method):
    if kwargs:
        raise TypeError(f"InstantCameraArray.{method}() got an unexpected keyword argument "
                        f"'{next(iter(kwargs))}'")
    if not least <= len(args) <= len(kinds) or not all(
            isinstance(value, int) and (
                -2 ** 31 <= value < 2 ** 31 if kind == "enum" else 0 <= value <= UINT32)
            for value, kind in zip(args, kinds)):
        if len(args) > len(kinds):
            text = (f"InstantCameraArray_{method} expected at most {len(kinds) + 1} arguments, "
                    f"got {len(args) + 1}\nAdditional information:\n{text}")
        raise TypeError(text)
    return [int(value) for value in args]


class InstantCameraArray:
    """pylon.InstantCameraArray(n): n camera objects for simulated devices."""

    def __init__(self, *args):
        self._cameras: list = []
        self._next = 0
        self.Initialize(_count(args))

    def Initialize(self, *args):
        """Make the array ``n`` new camera objects; the old ones let their devices go."""
        if not args:
            raise TypeError("InstantCameraArray.Initialize() missing 1 required positional "
                            "argument: 'numberOfCameras'")
        count = _count(args)
        for camera in self._cameras:
            camera.DestroyDevice()
        self._cameras = [InstantCamera() for _ in range(count)]
        for index, camera in enumerate(self._cameras):
            camera.SetCameraContext(index)
        self._next = 0

    def GetSize(self):
        return len(self._cameras)

    def __getitem__(self, index):
        if isinstance(index, int) and not isinstance(index, bool) and index < 0:
            raise OverflowError(BAD_INDEX)
        if index >= self.GetSize():
            raise IndexError()
        if not isinstance(index, int):
            raise TypeError(BAD_INDEX)
        return self._cameras[index]

    def __iter__(self):
        for index in range(self.GetSize()):
            yield self[index]

    # --- state
    def IsPylonDeviceAttached(self):
        return bool(self._cameras) and all(c.IsPylonDeviceAttached() for c in self._cameras)

    def IsCameraDeviceRemoved(self):
        return any(c.IsCameraDeviceRemoved() for c in self._cameras)

    def IsOpen(self):
        return bool(self._cameras) and all(c.IsOpen() for c in self._cameras)

    def IsGrabbing(self):
        return any(c.IsGrabbing() for c in self._cameras)

    # --- each camera
    def _attached(self, line):
        if not self.IsPylonDeviceAttached():
            raise _error("RuntimeException", NOT_ALL_ATTACHED, line)

    def Open(self):
        self._attached(146)
        for camera in self._cameras:
            camera.Open()

    def _stop_and(self, method):
        self.StopGrabbing()
        for camera in self._cameras:
            getattr(camera, method)()

    def Close(self):
        self._stop_and("Close")

    def DetachDevice(self):
        self._stop_and("DetachDevice")

    def DestroyDevice(self):
        self._stop_and("DestroyDevice")

    def StartGrabbing(self, *args, **kwargs):
        values = _ints(args, kwargs, ("enum", "enum"), 0, BAD_START, "StartGrabbing")
        self._attached(219)
        if self.IsGrabbing():
            raise _error("RuntimeException", ALREADY, 225)
        self._next = 0
        started = []
        try:
            for camera in self._cameras:
                camera.StartGrabbing(*values)
                started.append(camera)
        except BaseException:  # none left grabbing
            for camera in started:
                camera.StopGrabbing()
            raise

    def StopGrabbing(self):
        for camera in self._cameras:
            camera.StopGrabbing()

    def RetrieveResult(self, *args, **kwargs):
        """The next ready result of any camera, the cameras taken in turn; an
        empty result when none grabs (or on a timeout with TimeoutHandling_Return)."""
        timeout, *rest = _ints(args, kwargs, ("uint", "enum"), 1, BAD_RETRIEVE, "RetrieveResult")
        throw = (rest or [_pylon.TimeoutHandling_ThrowException])[0] == \
            _pylon.TimeoutHandling_ThrowException
        deadline = None if timeout == UINT32 else time.monotonic() + timeout / 1000.0
        while True:
            with LOCK:
                camera, due = self._ready()
                if camera is None:
                    if due is None and not self.IsGrabbing():
                        return GrabResult()
                    now = time.monotonic()
                    if deadline is not None and now >= deadline:
                        break
                    ends = [t for t in (deadline, due) if t is not None]
                    CHANGED.wait(max(0.0, min(ends) - now) if ends else None)
                    continue
            result = camera.RetrieveResult(0, _pylon.TimeoutHandling_Return)
            if result.IsValid():
                return result
        if throw:
            raise _error("TimeoutException", TIMED_OUT, 423)
        return GrabResult()

    def _ready(self):
        """(the next camera in turn with a result ready, or None; when the
        next frame of any camera is due)."""
        count = len(self._cameras)
        due = None
        for step in range(count):
            index = (self._next + step) % count
            camera = self._cameras[index]
            state = camera._st
            if state.session is None:
                continue
            if state.ready():
                self._next = index + 1
                return camera, None
            acquisition = state.session.device.acquisition
            at = acquisition.next_due()
            if at is not None:
                due = at if due is None else min(due, at)
        return None, due

    def __repr__(self):
        return f"<InstantCameraArray of {self.GetSize()} simulated camera object(s)>"
