"""pylon's grab engine for the simulated camera: the grab calls of the camera object.

``GrabEngine`` gives the camera object pypylon's ``StartGrabbing``,
``StartGrabbingMax``, ``RetrieveResult``, ``GrabOne``, ``IsGrabbing``,
``StopGrabbing``, ``ExecuteSoftwareTrigger``, ``WaitForFrameTriggerReady``
and ``GetGrabResultWaitObject``, with their argument rules, texts and
exception classes (pylon's own, as the emulator shows them), and pylon's grab
loop thread. Starting opens a stream of ``MaxNumBuffer`` buffers on the device
and executes ``AcquisitionStart`` through the node map (so the settings that
are idle-only lock as GenApi locks them); from then on the device makes frames
on its own clock into the stream (tavrocam_sim.acquisition, .stream).

The wait for a result is the camera object's state's (tavrocam_sim.session):
a stop, close, attach, removal or dropped camera object ends it at once.
"""

from __future__ import annotations

import sys
import threading
import time
import traceback

from .pypylon_sdk import pylon as _pylon

from . import handlers, stream as _stream
from .arguments import (ALREADY, GRAB_ONE_TIMEOUT, NOT_STARTED, TRIGGER_READY_TIMEOUT,
                        WAITING, ZERO_COUNT, arguments, with_defaults)
from .grabresult import GrabResult
from .registers import CHANGED, LOCK
from .session import GrabSession

LOOP_SLICE = 0.1  # the grab loop thread looks at its camera object this often (s)
# A grab loop thread that stopped its own grab and starts again (the
# emulator's text: pylon would join the thread it runs in).
RESTART_IN_LOOP = "C++ std::exception: Resource deadlock avoided"
# pylon's texts for a trigger wait on a closed camera, and on one without a device.
NO_TRIGGER_WAIT = ("The camera device does not support waiting for frame trigger ready. : "
                   "RuntimeException thrown (file 'InstantCameraImpl.h', line 1845)")
NO_TRIGGER_WAIT_CLOSED = ("The camera device does not support waiting for frame trigger ready. "
                          "AcquisitionStatus is not readable. : RuntimeException thrown "
                          "(file 'InstantCameraImpl.h', line 1836)")
_LOOP = threading.local()  # .running: this thread is a camera's grab loop thread


def _in_a_grab_loop() -> bool:
    return getattr(_LOOP, "running", False)


class WaitObject:
    """pylon's WaitObject: ``Wait(ms)`` says whether it is signalled, waiting
    up to ``ms`` milliseconds. The grab results' is signalled while a result
    is ready; ``signalled(state)`` gives another condition."""

    def __init__(self, state, signalled=None):
        self._state = state
        self._signalled = signalled or (lambda st: st.ready())

    def Wait(self, timeout):
        deadline = time.monotonic() + timeout / 1000.0
        with LOCK:
            while not self._signalled(self._state):
                session = self._state.session
                now = time.monotonic()
                if now >= deadline:
                    return False
                due = session.device.acquisition.next_due() if session is not None else None
                CHANGED.wait(max(0.0, min(deadline, due or deadline) - now))
            return True

    def IsValid(self):
        return True


def _loop(camera_ref, state, session):
    """pylon's grab loop thread: retrieve and hand each result to the image
    event handlers, until the session ends or the device is removed."""
    _LOOP.running = True
    while not session.stopped:
        try:
            frame, _ = state.retrieve(int(LOOP_SLICE * 1000), False)
        except _pylon.RuntimeException:
            return  # removed: the program sees it through IsCameraDeviceRemoved
        camera = camera_ref()
        if camera is None:
            return
        camera._dispatch_events()
        if frame is not None:
            frame.image()  # the scene is looked at here, in this camera's own thread
            session.delivered += 1
            result = GrabResult.of(frame, session.delivered, state.context, session.stream)
            try:
                if frame.skipped:
                    state.image_handlers.each("OnImagesSkipped", camera, frame.skipped)
                state.image_handlers.each("OnImageGrabbed", camera, result)
            except Exception:  # as pylon's grab loop: the grab ends
                print("Exception in an image event handler: grabbing stops", file=sys.stderr)
                traceback.print_exc()
                camera.StopGrabbing()
                return
            if session.limit is not None and session.delivered >= session.limit:
                camera.StopGrabbing()
        del camera


_STRATEGIES = {_pylon.GrabStrategy_OneByOne: _stream.ONE_BY_ONE,
               _pylon.GrabStrategy_LatestImageOnly: _stream.LATEST,
               _pylon.GrabStrategy_LatestImages: _stream.LATEST,
               _pylon.GrabStrategy_UpcomingImage: _stream.UPCOMING}


class GrabEngine:
    """The grab calls of pypylon's InstantCamera, for the simulated camera.
    The camera object keeps a ``CameraState`` in ``_st``."""

    def IsGrabbing(self):
        return self._st.session is not None

    def StartGrabbing(self, *args, **kwargs):
        strategy, loop = with_defaults(
            arguments("StartGrabbing", args, kwargs, ("enum", "enum"), 0))
        self._start(None, strategy, loop)

    def StartGrabbingMax(self, *args, **kwargs):
        count, *rest = arguments("StartGrabbingMax", args, kwargs, ("size", "enum", "enum"), 1)
        strategy, loop = with_defaults(rest)
        if count == 0:
            raise _pylon.OutOfRangeException(ZERO_COUNT)
        self._start(count, strategy, loop)

    def _start(self, limit, strategy, loop):
        st = self._st
        device = self._device()
        if st.session is not None:
            raise _pylon.RuntimeException(ALREADY)
        if st.loop_thread is threading.current_thread():
            raise RuntimeError(RESTART_IN_LOOP)
        kind = _STRATEGIES.get(strategy, _stream.ONE_BY_ONE)
        opened_here = not self.IsOpen()
        if opened_here:
            self.Open()
        try:
            st.configurations.each("OnGrabStart", self)
            params = st.parameters
            buffers = params.value("MaxNumBuffer")
            keep = 1 if strategy != _pylon.GrabStrategy_LatestImages else \
                min(params.value("OutputQueueSize"), buffers)
            self._node("PayloadSize").GetValue()  # pylon sizes its buffers by it
            stream = _stream.Stream(buffers, kind, keep, st.ids,
                                    params.value("MaxNumQueuedBuffer"))
            session = GrabSession(device, stream, strategy,
                                  limit, opened_here,
                                  loop == _pylon.GrabLoop_ProvidedByInstantCamera)
            with LOCK:
                st.session = session
                device.acquisition.attach(session.stream)
            st.invalidate_parameters()
            self._node("AcquisitionStart").Execute()
        except BaseException:
            with LOCK:
                st.halt()
            if opened_here:
                self.Close()
            raise
        if session.loop:
            session.thread = threading.Thread(
                target=_loop, args=(self._st.camera, st, session), daemon=True,
                name=f"GrabLoopThread {device.serial}")
            st.loop_thread = session.thread
            session.thread.start()
        try:
            st.configurations.each("OnGrabStarted", self)
        except BaseException:  # pylon stops the grab it started
            self.StopGrabbing()
            raise

    def StopGrabbing(self):
        """Stop the grab session; a stop under way in another thread is
        waited for (so a Close after it finds the grab stopped, its
        configuration events called), but never by that thread or a grab
        loop thread (as pylon's, which returns at once there: two handlers
        may stop each other's cameras)."""
        st = self._st
        here = threading.current_thread()
        with LOCK:
            session, stopping = st.session, st.stopping
            mine = session is not None and (stopping is None or stopping[1] is not session)
            if mine:
                stopping = st.stopping = (threading.Event(), session, here)
        if not mine:
            if stopping is not None and here is not stopping[2] and not _in_a_grab_loop():
                stopping[0].wait()
            return
        try:
            self._stop(session)
        finally:
            stopping[0].set()

    def _stop(self, session):
        st = self._st
        st.configurations.each("OnGrabStop", self)
        with LOCK:
            if st.halt() is not session:
                return  # another thread stopped it meanwhile
        try:  # the grab loop thread's handler may be busy: an interrupt ends the wait only
            if session.thread is not None and not _in_a_grab_loop():
                session.thread.join()
        finally:
            device = session.device
            if device.opened_by is self and device.acquiring and not device.removed:
                self._node("AcquisitionStop").Execute()
            st.invalidate_parameters()
            st.configurations.each("OnGrabStopped", self)
            if session.opened_here:
                self.Close()

    def RetrieveResult(self, *args, **kwargs):
        timeout, handling = (arguments("RetrieveResult", args, kwargs, ("uint", "enum"), 1)
                             + [_pylon.TimeoutHandling_ThrowException])[:2]
        session = self._st.session
        if session is not None and session.thread is threading.current_thread():
            raise _pylon.RuntimeException(WAITING)  # the grab loop thread is the waiter
        try:
            frame, session = self._st.retrieve(
                timeout, handling == _pylon.TimeoutHandling_ThrowException)
        finally:
            self._dispatch_events()
        if frame is None:
            return GrabResult()
        frame.image()  # the scene is looked at here, outside every lock
        session.delivered += 1
        result = GrabResult.of(frame, session.delivered, self._st.context, session.stream)
        if session.limit is not None and session.delivered >= session.limit:
            self.StopGrabbing()
        return result

    def _dispatch_events(self):
        """Hand the device's camera events to the camera event handlers, each
        with its data in the Event... nodes."""
        st = self._st
        device = st.device
        if device is None or not device.events.waiting:
            return
        events = device.events.take()
        if not st.parameters.value("GrabCameraEvents"):
            return
        for name, data in events:
            with LOCK:
                device.event_data.update(data)
            handlers.dispatch_event(self, st.event_handlers, name, data)

    def GrabOne(self, *args, **kwargs):
        timeout, handling = (arguments("GrabOne", args, kwargs, ("uint", "enum"), 1)
                             + [_pylon.TimeoutHandling_ThrowException])[:2]
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
            if handling == _pylon.TimeoutHandling_ThrowException:
                raise _pylon.TimeoutException(GRAB_ONE_TIMEOUT)
        return result

    def ExecuteSoftwareTrigger(self):
        if self._st.session is None:
            raise _pylon.RuntimeException(NOT_STARTED)
        self._node("TriggerSoftware").Execute()

    def CanWaitForFrameTriggerReady(self):
        return self.IsOpen()  # AcquisitionStatus is readable

    def WaitForFrameTriggerReady(self, *args, **kwargs):
        timeout, handling = (arguments("WaitForFrameTriggerReady", args, kwargs,
                                        ("uint", "enum"), 1)
                             + [_pylon.TimeoutHandling_ThrowException])[:2]
        if not self.IsOpen():
            raise _pylon.RuntimeException(NO_TRIGGER_WAIT_CLOSED if self._st.device is not None
                                          else NO_TRIGGER_WAIT)
        session = self._st.session
        ready = session.device.acquisition.trigger_ready_at() if session is not None else None
        now = time.monotonic()
        if ready is not None and ready - now <= timeout / 1000.0:
            time.sleep(max(0.0, ready - now))
            return True
        deadline = now + timeout / 1000.0
        with LOCK:  # a stop ends the wait early; another camera's frames do not
            while self._st.session is session:
                now = time.monotonic()
                ready = session.device.acquisition.trigger_ready_at() if session is not None else None
                if ready is not None and ready <= now:
                    return True
                if now >= deadline:
                    break
                CHANGED.wait(min(deadline, ready or deadline) - now)
        if handling == _pylon.TimeoutHandling_ThrowException:
            raise _pylon.TimeoutException(TRIGGER_READY_TIMEOUT)
        return False

    def GetGrabResultWaitObject(self):
        return WaitObject(self._st)
