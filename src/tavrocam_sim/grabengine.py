"""pylon's grab engine for the simulated camera: ``GrabEngine``, a camera
object's own, and its ``GrabSession`` (pylon's stream grabber: the buffers
and the output queue).

The engine holds the camera object's device, handlers, parameters and grab
session, and does the work of the grab calls (their arguments checked by
``arguments``; the camera object hands itself in where its events or nodes
are needed) and pylon's grab loop thread. Starting opens a session of ``MaxNumBuffer``
buffers and executes ``AcquisitionStart`` through the node map; the device
then makes frames on its own clock into it (tavrocam_sim.acquisition). A
wait is on registers.CHANGED, which every frame, trigger, stop, close,
attach and removal signals. The camera object's finalizer frees the device
through the engine, so the engine refers to the camera object only weakly.
"""

from __future__ import annotations

import collections
import sys
import threading
import time
import traceback

from .pypylon_sdk import pylon as _pylon

from . import handlers
from .grabresult import GrabResult
from .parameters import Parameters
from .registers import CHANGED, LOCK

UINT32 = 0xFFFFFFFF  # a timeout of this many ms waits for ever
# Texts pylon uses, as its emulated camera shows them (pypylon 26.10), but where marked.
_IN = "(file 'InstantCameraImpl.h', line {})"
ALREADY = "Grabbing has already been started. : RuntimeException thrown " + _IN.format(816)
RETRIEVE_TIMEOUT = (
    "Grab timed out. Possible reasons are: The image transport from the camera device is not "
    "working properly, e.g., all GigE network packets for streaming are dropped; The camera uses "
    "explicit triggering (see TriggerSelector for more information) and has not been triggered; "
    "Single frame acquisition mode is used and one frame has already been acquired; The "
    "acquisition has not been started or has been stopped. : TimeoutException thrown "
    + _IN.format(1113))
TRIGGER_READY_TIMEOUT = ("Waiting for frame trigger ready timed out. : TimeoutException thrown "
                         + _IN.format(1891))
WAITING = ("There is already a thread waiting for a result. : RuntimeException thrown "
           + _IN.format(1145))
# Assumed (pylon's emulated camera cannot be unplugged): pylon's device removal
# documentation says only that every access fails with an exception.
REMOVED = ("The device has been removed from the PC. : RuntimeException thrown "
           + _IN.format(1102))
ONE_BY_ONE, LATEST, UPCOMING = "OneByOne", "Latest", "Upcoming"
# The upcoming image strategy with every buffer held (pylon's emulated camera):
# after the program's timeout, pylon waits this long more, then raises.
CANCEL_WAIT = 5.0
NOT_CANCELED = ("Timeout while waiting for canceled buffer after timeout with strategy "
                "GrabStrategy_UpcomingImage. : RuntimeException thrown "
                "(file 'GrabEngine.h', line 450)")
# The grab calls as pypylon's SWIG bindings take them (``arguments``): the
# C++ parameters (a result's out parameter among them), how many the
# shortest overload has, and pylon's defaults for the others. An argument is
# a positional int within its C type's bounds (pylon's enumerations: a C int).
_BOUNDS = {"unsigned int": (0, UINT32), "size_t": (0, 2 ** 64 - 1)}
_OUT = "Pylon::CGrabResultPtr &"
THROW = _pylon.TimeoutHandling_ThrowException
_GRAB = (_pylon.GrabStrategy_OneByOne, _pylon.GrabLoop_ProvidedByUser)
_CALLS = {
    "GrabOne": (("unsigned int", _OUT, "Pylon::ETimeoutHandling"), 2, (THROW,)),
    "RetrieveResult": (("unsigned int", _OUT, "Pylon::ETimeoutHandling"), 2, (THROW,)),
    "StartGrabbing": (("Pylon::EGrabStrategy", "Pylon::EGrabLoop"), 0, _GRAB),
    "StartGrabbingMax": (("size_t", "Pylon::EGrabStrategy", "Pylon::EGrabLoop"), 1, _GRAB),
    "WaitForFrameTriggerReady": (("unsigned int", "Pylon::ETimeoutHandling"), 1, (THROW,)),
}


def arguments(method, args, kwargs):
    """The arguments of the camera object's grab call ``method``, pylon's
    defaults added; too few, too many or a wrong one is pypylon's TypeError."""
    if kwargs:
        raise TypeError(f"InstantCamera.{method}() got an unexpected keyword argument "
                        f"'{next(iter(kwargs))}'")
    params, shortest, defaults = _CALLS[method]
    kinds = [kind for kind in params if kind != _OUT]
    least = shortest - (_OUT in params[:shortest])
    ok = least <= len(args) <= len(kinds)
    for value, kind in zip(args, kinds):
        low, high = _BOUNDS.get(kind, (-2 ** 31, 2 ** 31 - 1))
        ok = ok and isinstance(value, int) and low <= value <= high
    if ok:
        return [int(value) for value in args] + list(defaults[len(args) - least:])
    name = method.removesuffix("Max")
    lines = "".join(f"    Pylon::CInstantCamera::{name}({','.join(params[:count])})\n"
                    for count in range(len(params), shortest - 1, -1))
    text = (f"Wrong number or type of arguments for overloaded function 'InstantCamera_{method}'.\n"
            f"  Possible C/C++ prototypes are:\n{lines}")
    if len(args) > len(kinds):
        text = (f"InstantCamera_{method} expected at most {len(kinds) + 1} arguments, "
                f"got {len(args) + 1}\nAdditional information:\n{text}")
    raise TypeError(text)


_LIVE = ("NumQueuedBuffers", "NumReadyBuffers", "NumEmptyBuffers", "OutputQueueSize")
LOOP_SLICE = 0.1  # the grab loop thread looks at its camera object this often (s)
# A grab loop thread that stopped its own grab and starts again (the
# emulator's text: pylon would join the thread it runs in).
RESTART_IN_LOOP = "C++ std::exception: Resource deadlock avoided"
_LOOP = threading.local()  # .running: this thread is a camera's grab loop thread
_STRATEGIES = {_pylon.GrabStrategy_OneByOne: ONE_BY_ONE,
               _pylon.GrabStrategy_LatestImageOnly: LATEST,
               _pylon.GrabStrategy_LatestImages: LATEST,
               _pylon.GrabStrategy_UpcomingImage: UPCOMING}


def _in_a_grab_loop() -> bool:
    return getattr(_LOOP, "running", False)


class GrabSession:
    """One StartGrabbing ... StopGrabbing of a camera object: pylon's stream
    grabber, its buffers and its output queue. The device fills the buffers
    (``wants``, ``deliver``, ``lose``), the camera object takes the results
    (``pop``); how the filled buffers reach the program is the grab
    strategy, as pylon's grab engine applies it:

    - OneByOne: every filled buffer waits in the output queue, in order; with
      no buffer free, a new frame is lost (the oldest frames are kept).
    - LatestImageOnly / LatestImages: the output queue holds the newest
      ``OutputQueueSize`` (1 for LatestImageOnly) filled buffers; an older one
      is given back for the next frame and counted in the next result's
      ``NumberOfSkippedImages``.
    - UpcomingImage: a buffer is queued only while the program waits for a
      result, so only a frame made while it waits reaches it.

    A result the program holds keeps its buffer until it is released (pylon's
    buffer accounting): the buffers free for frames are ``MaxNumBuffer`` less
    the held and the ready ones, at most ``MaxNumQueuedBuffer`` of them queued
    at a time (the others empty, queued as the queued ones fill). With every
    buffer held, frames are lost and a wait for a result times out. The
    buffers and the queue change under the device lock (registers.LOCK)."""

    def __init__(self, device, parameters, strategy, limit, loop, opened_here, ids):
        self.device = device
        self.strategy = strategy      # pylon's GrabStrategy_...
        self.kind = _STRATEGIES.get(strategy, ONE_BY_ONE)
        self.limit = limit            # None: until StopGrabbing
        self.delivered = 0
        self.opened_here = opened_here
        self.loop = loop              # pylon's grab loop thread runs it
        self.thread = None
        self.stopped = False
        self.buffers = max(1, parameters.value("MaxNumBuffer"))
        self.keep = 1 if strategy != _pylon.GrabStrategy_LatestImages else \
            min(parameters.value("OutputQueueSize"), self.buffers)  # (the latest strategies)
        self.max_queued = parameters.value("MaxNumQueuedBuffer") or self.buffers
        self.taken = 0                # buffers handed out with a result
        self.given: collections.deque = collections.deque()  # one entry a buffer given back
        self.ready: collections.deque = collections.deque()
        self.skipped = 0              # frames skipped since the last one queued
        self.armed = False            # upcoming image: a buffer is queued
        self._ids = ids               # the camera object's result ID count, [n]

    # --- the buffers
    def give_back(self) -> None:
        """A held result was released: its buffer is free again (safe from a
        finalizer in any thread: the lock only if free at once)."""
        self.given.append(None)
        if LOCK.acquire(blocking=False):
            try:
                CHANGED.notify_all()
            finally:
                LOCK.release()

    def free(self) -> int:
        """Buffers neither held by the program's results nor ready: queued or empty."""
        return max(0, self.buffers - self.taken + len(self.given) - len(self.ready))

    # --- the device's side
    def wants(self, due: int) -> tuple[int, int]:
        """Of ``due`` frames in a row: how many first ones and how many last
        ones reach a buffer (the others are lost or skipped)."""
        if self.kind == ONE_BY_ONE:
            return min(due, self.free()), 0
        if self.kind == LATEST:
            return 0, min(due, max(self.keep, 1), self.free())
        return (1 if self.armed else 0), 0

    def deliver(self, frame) -> None:
        """A frame made: into a free buffer, else lost."""
        if not self.free():
            return
        if self.kind == UPCOMING:
            if not self.armed:
                return
            self.armed = False
        self._ids[0] += 1
        frame.id = self._ids[0]
        frame.skipped, self.skipped = self.skipped, 0
        self.ready.append(frame)
        if self.kind == LATEST:
            self._trim()

    def lose(self, count: int) -> None:
        """Frames the device made for no buffer: lost, or under the latest
        strategies filled and given back (skipped)."""
        if self.kind == LATEST and self.free():
            self._ids[0] += count
            self.skipped += count

    def _trim(self):
        while len(self.ready) > self.keep:
            dropped = self.ready.popleft()
            if self.ready:
                self.ready[0].skipped += dropped.skipped + 1
            else:
                self.skipped += dropped.skipped + 1

    # --- the host's side
    def pop(self):
        """The next result's frame (its buffer now held), or None."""
        if not self.ready:
            return None
        while self.given:  # count the buffers given back (here, under the lock)
            self.given.popleft()
            self.taken -= 1
        self.taken += 1
        return self.ready.popleft()

    def result(self, frame, context):
        """The grab result the program gets for ``frame``, its image made
        (outside every lock), holding its buffer until released."""
        frame.image()
        self.delivered += 1
        return GrabResult.of(frame, self.delivered, context, self)

    def resize(self, keep: int) -> None:
        """OutputQueueSize changed while grabbing (the latest strategies)."""
        self.keep = max(0, min(keep, self.buffers))
        if self.kind == LATEST:
            self._trim()

    def live(self, name):
        """The value of the parameter ``name`` (_LIVE) as pylon shows it."""
        if name == "OutputQueueSize":  # every buffer one by one, else the newest kept
            return self.buffers if self.kind == ONE_BY_ONE else self.keep
        free = self.free()
        if self.kind == UPCOMING:
            queued = 1 if self.armed and free else 0
        else:
            queued = min(free, self.max_queued)
        return (queued, len(self.ready), free - queued)[_LIVE.index(name)]


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


def _loop(camera_ref, engine, session):
    """pylon's grab loop thread: retrieve and hand each result to the image
    event handlers, until the session ends or the device is removed."""
    _LOOP.running = True
    while not session.stopped:
        try:
            frame, _ = engine.retrieve(int(LOOP_SLICE * 1000), False)
        except _pylon.RuntimeException:
            return  # removed: the program sees it through IsCameraDeviceRemoved
        camera = camera_ref()
        if camera is None:
            return
        engine.dispatch_events(camera)
        if frame is not None:  # the scene is looked at here, in this camera's own thread
            result = session.result(frame, engine.context)
            try:
                if frame.skipped:
                    engine.image_handlers.each("OnImagesSkipped", camera, frame.skipped)
                engine.image_handlers.each("OnImageGrabbed", camera, result)
            except Exception:  # as pylon's grab loop: the grab ends
                print("Exception in an image event handler: grabbing stops", file=sys.stderr)
                traceback.print_exc()
                camera.StopGrabbing()
                return
            if session.limit is not None and session.delivered >= session.limit:
                camera.StopGrabbing()
        del camera


class GrabEngine:
    """What a camera object holds of the device, its grab session and its
    handlers, and its grabbing; the finalizer of a dropped camera object
    frees the device through it, so nothing here refers to the camera object
    but weakly (the calls that need it are handed it)."""

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
        return session.live(name)

    def parameter_written(self, name, value):
        with LOCK:
            session = self.session
            if name == "OutputQueueSize" and session is not None:
                session.resize(value)
                CHANGED.notify_all()

    # --- ending
    def halt(self):
        """End the grab session at once (under LOCK): wakes every waiter."""
        session, self.session = self.session, None
        if session is not None:
            session.stopped = True
            acquisition = session.device.acquisition
            if acquisition.stream is session:
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
            acquisition, frame = session.device.acquisition, None
            try:
                while not session.stopped:
                    if session.device.removed:
                        raise _pylon.RuntimeException(REMOVED)
                    now = time.monotonic()
                    acquisition.tick(now)
                    frame = session.pop()
                    if frame is not None:
                        break
                    if session.kind == UPCOMING:
                        session.armed = session.free() > 0
                    if deadline is not None and now >= deadline:
                        if session.thread is not threading.current_thread():
                            self._starved(session)  # (the grab loop thread just tries again)
                        break
                    due = acquisition.next_due()
                    ends = [t for t in (deadline, due) if t is not None]
                    CHANGED.wait(max(0.0, min(ends) - now) if ends else None)
            finally:
                self.waiting = False
                if session.kind == UPCOMING:
                    session.armed = False
        if frame is None and deadline is not None and not session.stopped and throw:
            raise _pylon.TimeoutException(RETRIEVE_TIMEOUT)
        return frame, session

    def result(self, camera, timeout, throw):
        """RetrieveResult's result: the next frame's, or an empty one."""
        session = self.session
        if session is not None and session.thread is threading.current_thread():
            raise _pylon.RuntimeException(WAITING)  # the grab loop thread is the waiter
        try:
            frame, session = self.retrieve(timeout, throw)
        finally:
            device = self.device
            if device is not None and device.events.waiting:
                self.dispatch_events(camera)
        if frame is None:
            return GrabResult()
        result = session.result(frame, self.context)
        if session.limit is not None and session.delivered >= session.limit:
            camera.StopGrabbing()
        return result

    @staticmethod
    def _starved(session):
        """The upcoming image strategy timed out with every buffer held: pylon
        waits in vain for the buffer it queued, then raises."""
        if session.kind != UPCOMING or session.free():
            return
        deadline = time.monotonic() + CANCEL_WAIT
        while not session.stopped and not session.free():
            now = time.monotonic()
            if now >= deadline:
                raise _pylon.RuntimeException(NOT_CANCELED)
            CHANGED.wait(deadline - now)

    def ready(self) -> bool:
        with LOCK:
            session = self.session
            if session is None:
                return False
            session.device.acquisition.tick()
            return bool(session.ready)

    # --- grabbing (the camera object's calls, their arguments checked)
    def start(self, camera, limit, strategy, loop):
        device = camera._device()
        if self.session is not None:
            raise _pylon.RuntimeException(ALREADY)
        if self.loop_thread is threading.current_thread():
            raise RuntimeError(RESTART_IN_LOOP)
        opened_here = not camera.IsOpen()
        if opened_here:
            camera.Open()
        try:
            self.configurations.each("OnGrabStart", camera)
            camera._node("PayloadSize").GetValue()  # pylon sizes its buffers by it
            session = GrabSession(device, self.parameters, strategy, limit,
                                  loop == _pylon.GrabLoop_ProvidedByInstantCamera, opened_here,
                                  self.ids)
            with LOCK:
                self.session = session
                device.acquisition.attach(session)
            self.invalidate_parameters()
            camera._node("AcquisitionStart").Execute()
        except BaseException:
            with LOCK:
                self.halt()
            if opened_here:
                camera.Close()
            raise
        if session.loop:
            session.thread = threading.Thread(
                target=_loop, args=(self.camera, self, session), daemon=True,
                name=f"GrabLoopThread {device.serial}")
            self.loop_thread = session.thread
            session.thread.start()
        try:
            self.configurations.each("OnGrabStarted", camera)
        except BaseException:  # pylon stops the grab it started
            camera.StopGrabbing()
            raise

    def stop(self, camera):
        """Stop the grab session; a stop under way in another thread is
        waited for (so a Close after it finds the grab stopped, its
        configuration events called), but never by that thread or a grab
        loop thread (as pylon's, which returns at once there: two handlers
        may stop each other's cameras)."""
        here = threading.current_thread()
        with LOCK:
            session, stopping = self.session, self.stopping
            mine = session is not None and (stopping is None or stopping[1] is not session)
            if mine:
                stopping = self.stopping = (threading.Event(), session, here)
        if not mine:
            if stopping is not None and here is not stopping[2] and not _in_a_grab_loop():
                stopping[0].wait()
            return
        try:
            self._stop(camera, session)
        finally:
            stopping[0].set()

    def _stop(self, camera, session):
        self.configurations.each("OnGrabStop", camera)
        with LOCK:
            if self.halt() is not session:
                return  # another thread stopped it meanwhile
        try:  # the grab loop thread's handler may be busy: an interrupt ends the wait only
            if session.thread is not None and not _in_a_grab_loop():
                session.thread.join()
        finally:
            device = session.device
            if device.opened_by is camera and device.acquiring and not device.removed:
                camera._node("AcquisitionStop").Execute()
            self.invalidate_parameters()
            self.configurations.each("OnGrabStopped", camera)
            if session.opened_here:
                camera.Close()

    def dispatch_events(self, camera):
        """Hand the device's camera events to the camera event handlers, each
        with its data in the Event... nodes."""
        device = self.device
        if device is None or not device.events.waiting:
            return
        events = device.events.take()
        if not self.parameters.value("GrabCameraEvents"):
            return
        for name, data in events:
            with LOCK:
                device.event_data.update(data)
            handlers.dispatch_event(camera, self.event_handlers, name, data)

    def wait_trigger_ready(self, timeout, throw):
        """Whether the camera takes a frame trigger within ``timeout`` ms."""
        session = self.session
        acquisition = session.device.acquisition if session is not None else None
        ready = acquisition.trigger_ready_at() if acquisition is not None else None
        now = time.monotonic()
        if ready is not None and ready - now <= timeout / 1000.0:
            time.sleep(max(0.0, ready - now))
            return True
        deadline = now + timeout / 1000.0
        with LOCK:  # a stop ends the wait early; another camera's frames do not
            while self.session is session:
                now = time.monotonic()
                ready = acquisition.trigger_ready_at() if acquisition is not None else None
                if ready is not None and ready <= now:
                    return True
                if now >= deadline:
                    break
                CHANGED.wait(min(deadline, ready or deadline) - now)
        if throw:
            raise _pylon.TimeoutException(TRIGGER_READY_TIMEOUT)
        return False
