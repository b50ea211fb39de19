"""A camera object's grab session and the state it keeps of its device.

``CameraState`` is what an InstantCamera holds: its device, its grab session,
its handlers and its parameters. The finalizer of a dropped camera object
frees the device through it, so it refers to the camera object only weakly.
``CameraState.retrieve`` is the wait for a result, on the simulator's one
condition (registers.CHANGED): every frame, trigger, stop, close, attach,
removal and dropped camera object signals it, and a stopped wait returns at
once, empty.
"""

from __future__ import annotations

import threading
import time

from .pypylon_sdk import pylon as _pylon

from . import handlers, stream as _stream
from .arguments import REMOVED, RETRIEVE_TIMEOUT, UINT32, WAITING
from .parameters import Parameters
from .registers import CHANGED, LOCK

_LIVE = ("NumQueuedBuffers", "NumReadyBuffers", "NumEmptyBuffers", "OutputQueueSize")


class GrabSession:
    """One StartGrabbing ... StopGrabbing of a camera object."""

    def __init__(self, device, stream, strategy, limit, opened_here, loop):
        self.device = device
        self.stream = stream
        self.strategy = strategy      # pylon's GrabStrategy_...
        self.limit = limit            # None: until StopGrabbing
        self.delivered = 0
        self.opened_here = opened_here
        self.loop = loop              # pylon's grab loop thread runs it
        self.thread = None
        self.stopped = False


class CameraState:
    """What a camera object holds of the device, its grab session and its
    handlers; the finalizer of a dropped camera object frees the device
    through it, so nothing here refers to the camera object but weakly."""

    def __init__(self, camera_ref):
        self.camera = camera_ref      # a weak reference
        self.device = None
        self.handle = None            # what Attach was given (pylon's IPylonDevice)
        self.info = None
        self.session: GrabSession | None = None
        self.waiting = False
        self.stopping = None          # (done, session, thread) of the last StopGrabbing
        self.loop_thread = None       # the last grab session's grab loop thread
        self.ids = [0]
        self.context = 0              # SetCameraContext's value, for its results
        self._parameters = None
        self.configurations = handlers.Registry(
            _pylon.ConfigurationEventHandler, "OnConfigurationRegistered",
            "OnConfigurationDeregistered")
        self.image_handlers = handlers.Registry(
            _pylon.ImageEventHandler, "OnImageEventHandlerRegistered",
            "OnImageEventHandlerDeregistered")
        self.event_handlers = handlers.Registry(
            _pylon.CameraEventHandler, "OnCameraEventHandlerRegistered",
            "OnCameraEventHandlerDeregistered")

    @property
    def parameters(self):
        """The camera object's parameters (tavrocam_sim.parameters), made on first use."""
        if self._parameters is None:
            self._parameters = Parameters(self)
        return self._parameters

    def invalidate_parameters(self):
        if self._parameters is not None:
            self._parameters.invalidate()

    # --- what the camera object's parameters read and write
    def parameter_flags(self):
        session, device = self.session, self.device
        opened = device is not None and device.opened_by is self.camera()
        latest = session is not None and session.strategy == _pylon.GrabStrategy_LatestImages
        return session is not None, opened and device is not None, latest

    def live_parameter(self, name):
        """The value of a parameter the grab session answers, or None."""
        session = self.session
        if name not in _LIVE:
            return None
        if session is None:
            return 0 if name.startswith("Num") else None
        session.device.acquisition.tick()
        counts = session.stream.counts()  # queued, ready, empty
        if name == "OutputQueueSize":  # the output queue in use
            return session.stream.output_size()
        return counts[_LIVE.index(name)]

    def parameter_written(self, name, value):
        with LOCK:
            session = self.session
            if name == "OutputQueueSize" and session is not None:
                session.stream.resize(max(0, min(value, session.stream.buffers)))
                CHANGED.notify_all()

    # --- ending
    def halt(self):
        """End the grab session at once (under LOCK): wakes every waiter."""
        session, self.session = self.session, None
        if session is not None:
            session.stopped = True
            acquisition = session.device.acquisition
            if acquisition.stream is session.stream:
                acquisition.halt()
                acquisition.attach(None)
        CHANGED.notify_all()
        return session

    def release(self):
        """The camera object is gone: stop grabbing and let the device go."""
        with LOCK:
            self.halt()
            device = self.device
            if device is not None:
                device.unlisten("removal", self.device_removed)
                if device.opened_by is None and device.acquiring:
                    device.stop_acquisition()

    def device_removed(self):
        camera = self.camera()
        with LOCK:
            CHANGED.notify_all()
        if camera is not None:
            self.configurations.each("OnCameraDeviceRemoved", camera, ignore=True)

    # --- waiting for a result
    def retrieve(self, timeout, throw):
        """The next result's frame, None when stopped or timed out (raising
        pylon's exception where pylon raises)."""
        deadline = None if timeout == UINT32 else time.monotonic() + timeout / 1000.0
        with LOCK:
            session = self.session
            if self.waiting or session is not None and session.thread is not None \
                    and session.thread is not threading.current_thread():
                raise _pylon.RuntimeException(WAITING)
            if session is None:
                if self.device is not None and self.device.removed:
                    raise _pylon.RuntimeException(REMOVED)
                return None, None
            self.waiting = True
            try:
                frame = self._wait(session, deadline)
                if frame is None and deadline is not None \
                        and session.thread is not threading.current_thread():
                    self._starved(session)  # (the grab loop thread just tries again)
            finally:
                self.waiting = False
                if session.stream.strategy == _stream.UPCOMING:
                    session.stream.armed = False
        if frame is None and deadline is not None and not session.stopped and throw:
            raise _pylon.TimeoutException(RETRIEVE_TIMEOUT)
        return frame, session

    def _wait(self, session, deadline):
        acquisition, stream = session.device.acquisition, session.stream
        while True:
            if session.stopped:
                return None
            if session.device.removed:
                raise _pylon.RuntimeException(REMOVED)
            now = time.monotonic()
            acquisition.tick(now)
            frame = stream.pop()
            if frame is not None:
                return frame
            if stream.strategy == _stream.UPCOMING:
                stream.armed = stream.free() > 0
            if deadline is not None and now >= deadline:
                return None
            due = acquisition.next_due()
            ends = [t for t in (deadline, due) if t is not None]
            CHANGED.wait(max(0.0, min(ends) - now) if ends else None)

    @staticmethod
    def _starved(session):
        """The upcoming image strategy timed out with every buffer held: pylon
        waits in vain for the buffer it queued, then raises."""
        stream = session.stream
        if stream.strategy != _stream.UPCOMING or stream.free():
            return
        deadline = time.monotonic() + _stream.CANCEL_WAIT
        while not session.stopped and not stream.free():
            now = time.monotonic()
            if now >= deadline:
                raise _pylon.RuntimeException(_stream.NOT_CANCELED)
            CHANGED.wait(deadline - now)

    def ready(self) -> bool:
        with LOCK:
            session = self.session
            if session is None:
                return False
            session.device.acquisition.tick()
            return bool(session.stream.ready)
