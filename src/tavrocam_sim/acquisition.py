"""The device's acquisition: its frame clock, its triggers and its events.

From AcquisitionStart on, the device makes a frame every 1 / ResultingFrameRate
(free running), or frames on triggers: TriggerMode On for FrameStart makes one
frame a trigger, for FrameBurstStart AcquisitionBurstFrameCount frames at the
frame rate (with both on, a burst trigger lets that many frame triggers in).
A trigger is the software trigger or an edge on an input line (Line1, Line3
and Line4 as inputs; LineInverter, LineDebouncerTime: a level shorter than it
is no edge, a valid edge comes that much later; TriggerActivation); a frame
is due one frame period after its trigger, plus TriggerDelay for a line
trigger. With ExposureMode TriggerWidth the exposure lasts from the trigger's
edge to the opposite one. A trigger sooner than the camera is ready for is
ignored with an overtrigger event. A rising edge also resets the counters
whose CounterResetSource the line is. With SequencerMode On each frame takes its
sequencer set's settings, the set advancing per SequencerTriggerSource. Each
frame is handed to the stream the host opened (``Engine.stream``); a stream
without a free buffer loses it.

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
from .registers import Overlay

_TRIGGERS = model.BY_NAME["TriggerSelector"].entries
_FRAME_START = _TRIGGERS.index("FrameStart")
_BURST_START = _TRIGGERS.index("FrameBurstStart")
_LINES = model.BY_NAME["LineSelector"].entries
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

    def __call__(self, registers, over_temperature=False) -> float:
        return image.mean_level(image.settings(registers, over_temperature))


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
        self.edges: dict = {}       # line -> (level, since): a change the debouncer holds
        self.levels: dict = {}      # line -> the level the camera took (debounced)
        self.sequence_set = 0       # the sequencer set the next frame takes
        self._reset()
        device.engine = self
        device.meter = _METER

    def _reset(self):
        self.single = False         # AcquisitionMode SingleFrame: one frame, then none
        self.block = 0
        self.acquired = 0
        self.next_free = None       # when the next free-running frame is due
        self.pending: list = []     # (due, exposure or None, ends a burst) of triggered frames
        self.last_trigger = None    # when the last frame trigger was taken
        self.burst_left = 0         # frame triggers a burst still lets in (both triggers on)
        self.burst_ready = None     # when the camera takes the next burst trigger
        self.width_start: dict = {}  # line -> when its TriggerWidth exposure began

    # --- the device's commands (the device calls them under LOCK)
    def start(self):
        self._reset()
        self.active = True
        self.single = self.registers.get_entry("AcquisitionMode") == "SingleFrame"
        self.next_free = time.monotonic() + self.period()
        self.sequence_set = self.registers.get_int("SequencerSetStart")
        self._wait_events(time.monotonic(), frame=True, burst=True)
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

    def _mode(self, selector) -> bool:
        return self.registers.get_entry("TriggerMode", selector) == "On"

    def _trigger_on(self) -> bool:
        """Whether frames wait for triggers (FrameStart or FrameBurstStart on)."""
        return self._mode(_FRAME_START) or self._mode(_BURST_START)

    # --- triggers
    def software_trigger(self, _index=0):
        """TriggerSoftware executed for the trigger TriggerSelector selects."""
        with LOCK:
            selector = self.registers.get_int("TriggerSelector")
            if self.registers.get_entry("TriggerSource", selector) == "Software":
                now = time.monotonic()
                self.tick(now)
                self._trigger(selector, now)

    def line_edge(self, line: str, level: bool, when: float | None = None):
        """Input ``line`` changed to ``level`` (as driven, before LineInverter)."""
        with LOCK:
            now = time.monotonic() if when is None else when
            self.tick(now)  # frames and edges due before this change
            regs = self.registers
            index = _LINES.index(line)
            if regs.get_entry("LineMode", index) != "Input":
                return
            level = level != bool(regs.get_int("LineInverter", index))
            stable = self.levels.get(line, not level)  # it changed: it was the other level
            debounce = regs.get_float("LineDebouncerTime", index) / 1e6
            if level == stable:
                self.edges.pop(line, None)  # shorter than the debouncer: no edge
            elif debounce <= 0:
                self._edge(line, level, now)
            else:
                self.edges[line] = (level, now + debounce)
                CHANGED.notify_all()

    def _level(self, line) -> bool:
        """The level the camera takes ``line`` at (after LineInverter and the debouncer)."""
        if line in self.levels:
            return self.levels[line]
        return self.device.line_levels.get(line, False) != bool(
            self.registers.get_int("LineInverter", _LINES.index(line)))

    def _settle_edges(self, now):
        """The held changes that lasted the debouncer's time by ``now``: edges."""
        for line, (level, valid) in sorted(self.edges.items(), key=lambda item: item[1][1]):
            if valid <= now:
                del self.edges[line]
                self._edge(line, level, valid)

    def _edge(self, line, level, when):
        """An edge the camera takes on ``line`` at ``when``."""
        self.levels[line] = level
        regs = self.registers
        if level:  # a rising edge resets the counters it is the reset source of
            for counter in range(len(self.device.counters)):
                if regs.get_entry("CounterResetSource", counter) == line:
                    self.device.counters[counter] = 0
        for selector in (_BURST_START, _FRAME_START):
            if not self._mode(selector) or regs.get_entry("TriggerSource", selector) != line:
                continue
            rising = regs.get_entry("TriggerActivation", selector) == "RisingEdge"
            width = selector == _FRAME_START and regs.get_entry("ExposureMode") == "TriggerWidth"
            if level == rising:
                if width:
                    if self._frame_ready(when):
                        self.width_start[line] = when
                else:
                    self._trigger(selector, when)
            elif width and line in self.width_start:
                begun = self.width_start.pop(line)
                exposure = (when - begun) * 1e6 + model.TRIGGER_WIDTH_OFFSET_US
                self._trigger(selector, begun, exposure=exposure, ends=when)

    def _frame_ready(self, when) -> bool:
        """Whether a frame trigger at ``when`` is taken (else an overtrigger)."""
        if not self.active or (self.single and self.acquired) or self.single and self.pending:
            return False
        if self._mode(_BURST_START) and self.burst_left <= 0 or \
                self.last_trigger is not None and when < self.last_trigger + self.period():
            self.event("FrameStartOvertrigger", when)
            return False
        return True

    def _trigger(self, selector, when, exposure=None, ends=None):
        """A trigger for ``selector`` at ``when``: the frames it starts."""
        if not self.active:
            return
        regs = self.registers
        delay = 0.0
        if regs.get_entry("TriggerSource", selector) in model.DELAYED_SOURCES:
            delay = regs.get_float("TriggerDelay", selector) / 1e6
        period = self.period()
        if selector == _BURST_START:
            if not self._mode(_BURST_START):
                return
            if self.burst_left > 0 or self.burst_ready is not None and when < self.burst_ready:
                self.event("FrameBurstStartOvertrigger", when)
                return
            self.event("FrameBurstStart", when)
            count = regs.get_int("AcquisitionBurstFrameCount")
            if self._mode(_FRAME_START):
                self.burst_left = count
                self._wait_events(when, frame=True)
            else:
                for index in range(1, count + 1):
                    self.pending.append((when + delay + index * period, None, index == count))
                self.burst_ready = when + delay + count * period
        else:
            if not self._mode(_FRAME_START):
                return
            if exposure is None and not self._frame_ready(when):
                return
            self.last_trigger = when
            ends_burst = False
            if self._mode(_BURST_START):
                self.burst_left -= 1
                ends_burst = self.burst_left == 0
            self.pending.append(((ends or when) + delay + period, exposure, ends_burst))
        self.pending.sort(key=lambda item: item[0])
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

    def _wait_events(self, when, frame=False, burst=False):
        """The camera waits for a trigger again: FrameStartWait, FrameBurstStartWait."""
        if frame and self._mode(_FRAME_START) and not (self._mode(_BURST_START)
                                                       and self.burst_left <= 0):
            self.event("FrameStartWait", when)
        if burst and self._mode(_BURST_START):
            self.event("FrameBurstStartWait", when)

    def take_events(self) -> list:
        with LOCK:
            events, self.events = self.events, []
            return events

    # --- the clock
    def next_due(self):
        """When the next frame (or a held line change) is due, or None while none is coming."""
        if not self.active or (self.single and self.acquired):
            return None
        held = min((valid for _, valid in self.edges.values()), default=None)
        if self._trigger_on():
            due = self.pending[0][0] if self.pending else None
        else:
            due = self.next_free
        return min((t for t in (due, held) if t is not None), default=None)

    def tick(self, now: float | None = None):
        """Make the frames due by ``now``."""
        if not self.active:
            return
        with LOCK:
            if not self.active:
                return
            self._catch_up(time.monotonic() if now is None else now)

    def _catch_up(self, now):
        if self.edges:
            self._settle_edges(now)
        if self.single and self.acquired:
            return
        if self._trigger_on():
            self.next_free = None
            count = 0
            while count < len(self.pending) and self.pending[count][0] <= now:
                count += 1
            due = self.pending[:count]
            del self.pending[:count]
            first, period = 0.0, 0.0
        else:
            if self.next_free is None:
                self.next_free = now + self.period()
                return
            if now < self.next_free:
                return
            due, first, period = None, self.next_free, self.period()
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
                self._pass(due[done:index] if due is not None else index - done, stream)
            if due is not None:
                when, exposure, ends_burst = due[index]
            else:
                when, exposure, ends_burst = first + index * period, None, False
            stream.deliver(self._make(when, exposure))
            self._count(1, cycle=True)
            self._after_frame(when, ends_burst)
            done = index + 1
        if count > done:
            self._pass(due[done:count] if due is not None else count - done, stream)
        CHANGED.notify_all()

    def _after_frame(self, when, ends_burst):
        if self._trigger_on():
            self._wait_events(when, frame=True, burst=ends_burst)

    def _pass(self, frames, stream):
        """Frames the stream has no room for (a count, or the triggered
        frames' entries): made only as far as the camera itself is concerned
        (counters, the auto functions, the sequencer)."""
        count = frames if isinstance(frames, int) else len(frames)
        if stream is not None:
            stream.lose(count)
        self.block += count
        cycles = min(count, AUTO_MAX_CYCLES)
        self._count(count - cycles, cycle=False)
        for _ in range(cycles):
            self._count(1, cycle=True)
        if not isinstance(frames, int) and frames:
            self._after_frame(frames[-1][0], any(entry[2] for entry in frames))

    def _count(self, count, cycle):
        device = self.device
        device.frames += count
        device.counters = [value + count for value in device.counters]
        self.acquired += count
        if count:
            self._advance_sequence(count)
        if cycle:
            device.auto_cycle()

    # --- the sequencer
    def _sequencer_on(self) -> bool:
        return self.registers.get_entry("SequencerMode") == "On"

    def _advance_sequence(self, count):
        """The set the next frame takes, after ``count`` frames."""
        if not self._sequencer_on():
            return
        regs = self.registers
        source = regs.get_entry("SequencerTriggerSource")
        if source in ("FrameStart", "Counter2End"):
            steps = count
        elif source in _LINES:
            steps = count if self._level(source) else 0
        else:
            steps = 0  # a software signal: no command sends one here
        if steps:
            start = regs.get_int("SequencerSetStart")
            last = max(max(self.device.sequencer_sets, default=start), start)
            length = last - start + 1
            position = (self.sequence_set - start) % length if self.sequence_set >= start else 0
            self.sequence_set = start + (position + steps) % length

    def _frame_registers(self, exposure):
        """The registers as this frame sees them: its sequencer set's settings,
        the exposure a trigger's width gave."""
        values = {}
        if self._sequencer_on():
            values = dict(self.device.sequencer_set(self.sequence_set))
        if exposure is not None:
            values[("ExposureTime", 0)] = exposure
        return Overlay(self.registers, values) if values else self.registers

    def _make(self, when, exposure=None) -> Frame:
        device = self.device
        regs = self._frame_registers(exposure)
        chunks = None
        if self.registers.get_int("ChunkModeActive"):
            chunks = {}
            for index, name in enumerate(_CHUNKS):
                if self.registers.get_int("ChunkEnable", index):
                    chunks[name] = self._chunk_value(name, when, regs)
        error = None
        try:
            device.check("Grab")
        except Exception as exc:
            error = (getattr(exc, "error_code", GRAB_ERROR_CODE), str(exc))
        frame = Frame(image.settings(regs, device.over_temperature), device.frames, self.block,
                      timestamp(when), chunks, error)
        self.event("FrameStart", when, self.block)
        exposure_end = when + regs.get_float("ExposureTime") / 1e6
        self.event("ExposureEnd", exposure_end, self.block)
        self.block += 1
        return frame

    def _chunk_value(self, name, when, regs):
        device = self.device
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
        if name == "SequencerSetActive":
            return self.sequence_set if self._sequencer_on() else 0
        return 0  # PayloadCRC16 is made with the data
