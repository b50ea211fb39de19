"""The device's acquisition: its frame clock, its triggers and its events.

From AcquisitionStart on, the device makes a frame every 1 / ResultingFrameRate
(free running), or one frame a trigger (TriggerMode On for FrameStart: the
software trigger, or an edge on the trigger's input line), one frame period
plus TriggerDelay after it. Each frame is handed to the stream the host opened
(``Engine.stream``); a stream without a free buffer loses it.

No thread runs: the clock is computed on demand. Whoever looks (a
RetrieveResult, a register read or write, a trigger) first makes the frames due
by then, under the device lock, so an idle camera costs nothing and a frame's
settings are the ones it was exposed with. Each frame runs one cycle of the
auto functions and records the camera events enabled for it
(``EventNotification``), with their data, for the camera object to hand to
its event handlers.
"""

from __future__ import annotations

import time
import weakref

from . import image, model
from .device import AUTO_MAX_CYCLES, CHANGED, LOCK

_TRIGGERS = model.BY_NAME["TriggerSelector"].entries
_FRAME_START = _TRIGGERS.index("FrameStart")
_EVENTS = model.BY_NAME["EventSelector"].entries
_CHUNKS = model.BY_NAME["ChunkSelector"].entries
MAX_EVENTS = 256          # events waiting for the host beyond this are lost (assumed)
GRAB_ERROR_CODE = 0xE1000014  # a failed grab's error code when the fault names none (assumed)
_POWER_UP = time.monotonic() - 1.0  # assumed: the cameras were switched on a second ago


def timestamp(when: float) -> int:
    """The camera's clock (1 GHz ticks): ns since the cameras were switched on."""
    return int((when - _POWER_UP) * 1e9)


class _Meter:
    """What the device's auto functions measure in its images (the device
    sits below the images and is handed this)."""

    settings = staticmethod(image.settings)
    channel_means = staticmethod(image.channel_means)
    grey_world_step = staticmethod(image.grey_world_step)

    def __call__(self, registers) -> float:
        return image.mean_level(image.settings(registers))


_METER = _Meter()


class Frame:
    """One frame the device acquired: what it was exposed with."""

    __slots__ = ("settings", "number", "block_id", "timestamp", "chunks", "skipped", "error",
                 "id")

    def __init__(self, settings, number, block_id, stamp, chunks, error=None):
        self.settings = settings    # an image.settings() snapshot
        self.number = number        # the device's frame count: the image's noise follows it
        self.block_id = block_id    # from 0 per acquisition
        self.timestamp = stamp
        self.chunks = chunks        # {chunk name: value} of the enabled chunks, or None
        self.skipped = 0
        self.error = error          # (error code, description) of a failed grab
        self.id = 0


class Engine:
    """The acquisition of one device: ``device.engine``."""

    def __init__(self, device):
        self.device = weakref.proxy(device)  # the device owns its engine
        self.registers = device.registers
        self.active = False
        self.stream = None          # the host's stream: deliver(frame), wants(due), lose(n)
        self.events: list = []      # (event name, {data node: value}) not yet handed out
        self._reset()
        device.engine = self
        device.meter = _METER

    def _reset(self):
        self.single = False         # AcquisitionMode SingleFrame: one frame, then none
        self.block = 0
        self.acquired = 0
        self.next_free = None       # when the next free-running frame is due
        self.pending: list = []     # when the triggered frames are due
        self.last_trigger = None

    # --- the device's commands (the device calls them under LOCK)
    def start(self):
        self._reset()
        self.active = True
        self.single = self.registers.get_entry("AcquisitionMode") == "SingleFrame"
        self.next_free = time.monotonic() + self.period()
        CHANGED.notify_all()

    def stop(self):
        self.tick()
        self.halt()

    def halt(self):
        """End the acquisition at once: no frame is made after this."""
        with LOCK:
            self.active = False
            self.pending = []
            CHANGED.notify_all()

    def period(self) -> float:
        return 1.0 / self.device.frame_rate()

    def _trigger_on(self) -> bool:
        return self.registers.get_entry("TriggerMode", _FRAME_START) == "On"

    def software_trigger(self, _index=0):
        """TriggerSoftware executed for the trigger TriggerSelector selects."""
        with LOCK:
            regs = self.registers
            if regs.get_int("TriggerSelector") == _FRAME_START and \
                    regs.get_entry("TriggerSource", _FRAME_START) == "Software":
                self._triggered()

    def line_edge(self, line: str, rising: bool):
        """An edge on input ``line``: a frame trigger where the trigger takes it."""
        with LOCK:
            regs = self.registers
            if regs.get_entry("TriggerSource", _FRAME_START) == line and \
                    regs.get_entry("TriggerActivation", _FRAME_START) == (
                        "RisingEdge" if rising else "FallingEdge"):
                self._triggered()

    def _triggered(self):
        if not self.active or not self._trigger_on():
            return
        now = time.monotonic()
        self.tick(now)
        if self.single and self.acquired:
            return
        period = self.period()
        if self.last_trigger is not None and now < self.last_trigger + period:
            self.event("FrameStartOvertrigger", now)  # the camera ignores the trigger
            return
        self.last_trigger = now
        delay = self.registers.get_float("TriggerDelay", _FRAME_START) / 1e6
        self.pending.append(now + delay + period)
        CHANGED.notify_all()

    def trigger_ready_at(self):
        """When the camera takes the next frame trigger, or None when not acquiring."""
        with LOCK:
            if not self.active:
                return None
            if self.last_trigger is None:
                return time.monotonic()
            return self.last_trigger + self.period()

    # --- events
    def event(self, name: str, when: float | None = None, frame_id: int | None = None):
        """Record camera event ``name`` if its notification is on."""
        with LOCK:
            index = _EVENTS.index(name)
            if self.registers.get_entry("EventNotification", index) != "On":
                return
            data = {f"Event{name}Timestamp": timestamp(time.monotonic() if when is None
                                                       else when)}
            if frame_id is not None and f"Event{name}FrameID" in model.BY_NAME:
                data[f"Event{name}FrameID"] = frame_id
            if len(self.events) < MAX_EVENTS:
                self.events.append((name, data))
            CHANGED.notify_all()

    def take_events(self) -> list:
        with LOCK:
            events, self.events = self.events, []
            return events

    # --- the clock
    def next_due(self):
        """When the next frame is due, or None while none is coming."""
        if not self.active or (self.single and self.acquired):
            return None
        if self._trigger_on():
            return self.pending[0] if self.pending else None
        return self.next_free

    def tick(self, now: float | None = None):
        """Make the frames due by ``now``."""
        if not self.active:
            return
        with LOCK:
            if not self.active:
                return
            self._catch_up(time.monotonic() if now is None else now)

    def _catch_up(self, now):
        if self.single and self.acquired:
            return
        if self._trigger_on():
            self.next_free = None
            times = [when for when in self.pending if when <= now]
            del self.pending[:len(times)]
            count, first, period = len(times), 0.0, 0.0
        else:
            if self.next_free is None:
                self.next_free = now + self.period()
                return
            if now < self.next_free:
                return
            times, first, period = None, self.next_free, self.period()
            count = int((now - first) / period) + 1
            self.next_free += count * period
        if self.single:
            count = min(count, 1)
        if not count:
            return
        stream = self.stream
        head, tail = stream.wants(count) if stream is not None else (0, 0)
        tail = min(tail, count - head)
        made = list(range(head)) + list(range(count - tail, count))
        done = 0
        for index in made:
            if index > done:  # the frames in between: counted, lost or skipped, not made
                self._pass(index - done, stream)
            when = times[index] if times is not None else first + index * period
            stream.deliver(self._make(when))
            self._count(1, cycle=True)
            done = index + 1
        if count > done:
            self._pass(count - done, stream)
        CHANGED.notify_all()

    def _pass(self, count, stream):
        """``count`` frames the stream has no room for: made only as far as the
        camera itself is concerned (counters, the auto functions)."""
        if stream is not None:
            stream.lose(count)
        self.block += count
        cycles = min(count, AUTO_MAX_CYCLES)
        self._count(count - cycles, cycle=False)
        for _ in range(cycles):
            self._count(1, cycle=True)

    def _count(self, count, cycle):
        device = self.device
        device.frames += count
        device.counters = [value + count for value in device.counters]
        self.acquired += count
        if cycle:
            device.auto_cycle()

    def _make(self, when) -> Frame:
        device, regs = self.device, self.registers
        chunks = None
        if regs.get_int("ChunkModeActive"):
            chunks = {}
            for index, name in enumerate(_CHUNKS):
                if regs.get_int("ChunkEnable", index):
                    chunks[name] = self._chunk_value(name, when)
        error = None
        try:
            device.check("Grab")
        except Exception as exc:
            error = (getattr(exc, "error_code", GRAB_ERROR_CODE), str(exc))
        frame = Frame(image.settings(regs, device.over_temperature), device.frames, self.block, timestamp(when), chunks,
                      error)
        self.event("FrameStart", when, self.block)
        exposure_end = when + regs.get_float("ExposureTime") / 1e6
        self.event("ExposureEnd", exposure_end, self.block)
        self.block += 1
        return frame

    def _chunk_value(self, name, when):
        device, regs = self.device, self.registers
        if name == "Gain":
            return regs.get_float("Gain")
        if name == "ExposureTime":
            return regs.get_float("ExposureTime")
        if name == "Timestamp":
            return timestamp(when)
        if name == "LineStatusAll":
            return device.derived["LineStatusAll"](0)
        if name == "CounterValue":
            return device.counters[0] + 1
        return 0  # SequencerSetActive (no sequencer runs); PayloadCRC16 is made with the data
