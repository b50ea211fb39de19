"""The device's acquisition: its frame clock.

From AcquisitionStart on, the device makes a frame every 1 / ResultingFrameRate
(free running), or frames on triggers (its ``triggers``,
tavrocam_sim.triggers). With SequencerMode On each frame takes its sequencer
set's settings (its ``sequencer``, tavrocam_sim.sequencer). Each frame is
handed to the stream the host attached (``attach``); a stream without a free
buffer loses it.

No thread runs: the clock is computed on demand. Whoever looks (a
RetrieveResult, the device's port on a register read or write, a trigger)
first makes the frames due by then, under the device lock, so an idle camera
costs nothing and a frame's settings are the ones it was exposed with. Each
frame runs one cycle of the auto functions (its ``autos``,
tavrocam_sim.autofunctions) and records the camera events enabled for it in
the device's events (tavrocam_sim.events), with their data, for the camera
object to hand to its event handlers.
"""

from __future__ import annotations

import time
import weakref

from . import image, model, scenes
from .autofunctions import AUTO_MAX_CYCLES, AutoFunctions
from .events import POWER_UP
from .registers import CHANGED, LOCK, Fields
from .sequencer import Sequencer
from .triggers import Triggers

_CHUNKS = model.BY_NAME["ChunkSelector"].entries
_TRIGGERS = model.BY_NAME["TriggerSelector"].entries
_EVENTS = model.BY_NAME["EventSelector"].entries
IMAGE_CHUNK_TRAILER = 8  # with ChunkModeActive the image is a chunk: its ID and length follow
GRAB_ERROR_CODE = 0xE1000014  # a failed grab's error code when the fault names none (assumed)
# What the clock asks of the registers for a frame, for the frame rate, and
# which chunks a frame carries: each in one read.
_FLAGS = Fields(frame_trigger=("TriggerMode", _TRIGGERS.index("FrameStart")),
                burst_trigger=("TriggerMode", _TRIGGERS.index("FrameBurstStart")),
                sequencer="SequencerMode", chunks="ChunkModeActive",
                frame_start=("EventNotification", _EVENTS.index("FrameStart")),
                exposure_end=("EventNotification", _EVENTS.index("ExposureEnd")),
                exposure_auto="ExposureAuto", gain_auto="GainAuto",
                balance_auto="BalanceWhiteAuto")
_RATE = Fields(width="Width", height="Height", pixel_format="PixelFormat",
               exposure="ExposureTime", link_mode="DeviceLinkThroughputLimitMode",
               link="DeviceLinkThroughputLimit", rate_enable="AcquisitionFrameRateEnable",
               rate="AcquisitionFrameRate", chunks="ChunkModeActive")
_ENABLED = Fields(**{name: ("ChunkEnable", index) for index, name in enumerate(_CHUNKS)})


class _Meter:
    """What the auto functions measure in the device's images: the light the
    camera saw last (a still scene's while no frame was made yet; a folder's
    first image; none for a callable, which is called only where its frame
    is made)."""

    grey_world_step = staticmethod(image.grey_world_step)

    def __init__(self, acquisition, thermal):
        self.acquisition = acquisition  # a weak proxy
        self.thermal = thermal
        self.seen = [None]  # the light the last frame made saw

    def light(self):
        light = self.seen[0]
        if light is None:
            scene, light = self.acquisition.view()
            if light is None and isinstance(scene, scenes.Scene):
                light = scene.light()
            self.seen[0] = light
        return light

    def settings(self, registers):
        return image.settings(registers, self.thermal.over_temperature, self.thermal.degrees)

    def channel_means(self, s):
        light = self.light()
        return (0.5, 0.5, 0.5) if light is None else image.channel_means(s, light)

    def mean_level(self, s) -> float:
        light = self.light()
        return 0.5 if light is None else image.mean_level(s, light)


class Frame:
    """One frame the device acquired: what it was exposed with. Its image is
    made on first use (``image()``), outside the device's lock: the light of
    the scene at the exposure's start (a still scene's, as the acquisition
    keeps it), through the sensor."""

    __slots__ = ("settings", "number", "block_id", "timestamp", "chunks", "skipped", "error",
                 "id", "scene", "light", "seed", "seen", "data")

    def __init__(self, settings, number, block_id, stamp, chunks, error, view, seed, seen):
        self.settings = settings    # an image.settings() snapshot
        self.number = number        # the device's frame count: the image's noise follows it
        self.block_id = block_id    # from 0 per acquisition
        self.timestamp = stamp
        self.chunks = chunks        # {chunk name: value} of the enabled chunks, or None
        self.skipped = 0
        self.error = error          # (error code, description) of a failed grab
        self.id = 0
        self.scene, self.light = view  # what the camera looked at; a still scene's light
        self.seed = seed            # the camera's (image.seed_of its serial)
        self.seen = seen            # where the light seen is kept for the auto functions
        self.data = None            # the image data, once made

    def image(self) -> bytes:
        """The frame's image data. A scene that fails (a callable raising, or
        returning what is not light) fails this frame only: its image is
        black, its error says why."""
        data = self.data
        if data is not None:
            return data
        s = self.settings
        if s.shown == "Off":
            try:
                light = self.light
                if light is None:
                    light = scenes.light_at(self.scene, self.timestamp / 1e9, self.number)
                data = image.frame_buffer(image.image_size(s))
                image.frame(s, self.number, light, self.seed, data)
            except Exception as exc:
                self.error = (GRAB_ERROR_CODE, f"The scene failed: {type(exc).__name__}: {exc}")
                data = bytes(image.image_size(s))
            else:
                self.seen[0] = light
        else:
            data = image.frame(s, self.number)
        self.data = data
        return data

    def recycle(self):
        """No result holds the frame any more: its image's buffer may serve a
        later frame (made again from the scene if it is asked for after all)."""
        data = self.data
        if type(data) is bytearray:
            self.data = None
            image.give_back(data)

    def outcome(self):
        """(error code, description) of a failed grab, or None: the image made first."""
        self.image()
        return self.error


class Acquisition:
    """The acquisition of one device (``device.acquisition``), made and owned
    by the device: its frame clock, triggers, sequencer and auto functions,
    and the scene its frames see."""

    def __init__(self, device):
        self.device = weakref.proxy(device)  # its owner
        self.registers = device.registers
        self.events = device.events
        self.active = False
        self.stream = None          # the host's grab session: wants(due), deliver(frame), lose(n)
        self.counters = [0, 0]      # the camera's counters (CounterValue)
        self._view = (scenes.Chart(), None)  # the scene and, once asked, a still one's light
        self.meter = _Meter(weakref.proxy(self), device.thermal)
        self.autos = AutoFunctions(self.registers, self.meter)
        self.sequencer = Sequencer(self.registers)
        self.triggers = Triggers(self.registers, self.events, weakref.proxy(self),
                                 device.line_levels, self.counters)
        self._reset()
        self.seed = image.seed_of(device.serial)

    def _reset(self):
        self.single = False         # AcquisitionMode SingleFrame: one frame, then none
        self.block = 0
        self.acquired = 0
        self.next_free = None       # when the next free-running frame is due
        self.triggers.reset()

    def attach(self, stream):
        """Hand the frames to ``stream`` (None: to no stream) from now on."""
        self.stream = stream

    # --- what the camera looks at
    @property
    def scene(self):
        """The device's scene (tavrocam_sim.scenes), checked by the device."""
        return self._view[0]

    @scene.setter
    def scene(self, scene):
        with LOCK:
            self._view = (scene, None)

    def view(self):
        """(scene, light): a still scene's light is asked once and kept;
        a callable or a folder is asked per frame (light None)."""
        with LOCK:
            scene, light = self._view
            if light is None and getattr(scene, "still", False):
                light = scene.light()
                self._view = (scene, light)
            return scene, light

    # --- the device's commands and inputs (the device calls them under LOCK)
    def start(self):
        self._reset()
        self.meter.light()  # a scene's light ready before the first frame (the chart: drawn once)
        self.active = True
        self.single = self.registers.get_entry("AcquisitionMode") == "SingleFrame"
        self.next_free = time.monotonic() + self.period()
        self.sequencer.restart()
        self.triggers.wait_events(time.monotonic(), frame=True, burst=True)
        CHANGED.notify_all()

    def software_trigger(self):
        with LOCK:
            now = time.monotonic()
            self.tick(now)
            self.triggers.software(now)

    def line_edge(self, line: str, level: bool, when: float | None = None):
        """Input ``line`` changed to ``level`` (as driven, before LineInverter)."""
        with LOCK:
            now = time.monotonic() if when is None else when
            self.tick(now)  # frames and edges due before this change
            self.triggers.line_edge(line, level, now)

    def trigger_ready_at(self):
        """When the camera takes the next frame trigger, or None when not acquiring."""
        with LOCK:
            return self.triggers.ready_at(time.monotonic()) if self.active else None

    def stop(self):
        self.tick()
        self.halt()

    def halt(self):
        """End the acquisition at once: no frame is made after this."""
        with LOCK:
            self.active = False
            self.triggers.reset()
            CHANGED.notify_all()

    def period(self) -> float:
        return 1.0 / self.frame_rate()

    def payload_size(self, rate=None) -> int:
        rate = rate or _RATE.read(self.registers)
        size = image.image_size(rate)
        if rate.chunks:
            size += IMAGE_CHUNK_TRAILER + sum([model.CHUNK_BYTES[name] for name, on in zip(
                _CHUNKS, _ENABLED.read(self.registers)) if on])
        return size

    def frame_rate(self) -> float:
        rate = _RATE.read(self.registers)
        readout_us = model.ROW_TIME_US * (rate.height + model.FRAME_OVERHEAD_ROWS)
        fps = 1e6 / max(readout_us, rate.exposure + model.EXPOSURE_OVERHEAD_US)
        link = model.USB_MAX_BYTES_PER_S
        if rate.link_mode == "On":
            link = min(link, rate.link)
        fps = min(fps, link / max(self.payload_size(rate), 1))
        return min(fps, rate.rate) if rate.rate_enable else fps

    # --- the clock
    def next_due(self):
        """When the next frame (or a held line change) is due, or None while none is coming."""
        if not self.active or (self.single and self.acquired):
            return None
        triggers = self.triggers
        held = min((valid for _, valid in triggers.edges.values()), default=None)
        if self._triggered():
            due = triggers.pending[0][0] if triggers.pending else None
        else:
            due = self.next_free
        return min((t for t in (due, held) if t is not None), default=None)

    # What is off stays out of a frame's way: the caller asks the registers.
    def _triggered(self, flags=None) -> bool:
        """Whether frames wait for triggers (FrameStart or FrameBurstStart on)."""
        flags = flags or _FLAGS.read(self.registers)
        return flags.frame_trigger == "On" or flags.burst_trigger == "On"

    def tick(self, now: float | None = None):
        """Make the frames due by ``now``."""
        if not self.active:
            return
        with LOCK:
            if not self.active:
                return
            self._catch_up(time.monotonic() if now is None else now)

    def _catch_up(self, now):
        triggers = self.triggers
        if triggers.edges:
            triggers.settle_edges(now)
        if self.single and self.acquired:
            return
        flags = _FLAGS.read(self.registers)
        triggered = self._triggered(flags)
        if triggered:
            self.next_free = None
            pending = triggers.pending
            count = 0
            while count < len(pending) and pending[count][0] <= now:
                count += 1
            due = pending[:count]
            del pending[:count]
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
            if index:  # the registers as the frames before left them
                flags = _FLAGS.read(self.registers)
            if due is not None:
                when, exposure, ends_burst = due[index]
            else:
                when, exposure, ends_burst = first + index * period, None, False
            stream.deliver(self._make(when, exposure, flags))
            self._count(1, True, flags)
            if triggered:
                triggers.wait_events(when, frame=True, burst=ends_burst)
            done = index + 1
        if count > done:
            self._pass(due[done:count] if due is not None else count - done, stream)
        CHANGED.notify_all()

    def _pass(self, frames, stream):
        """Frames the stream has no room for (a count, or the triggered
        frames' entries): made only as far as the camera itself is concerned
        (counters, the auto functions, the sequencer)."""
        count = frames if isinstance(frames, int) else len(frames)
        if stream is not None:
            stream.lose(count)
        self.block += count
        cycles = min(count, AUTO_MAX_CYCLES)
        self._count(count - cycles, False)
        for _ in range(cycles):
            self._count(1, True)
        if not isinstance(frames, int) and frames and self._triggered():
            self.triggers.wait_events(frames[-1][0], frame=True,
                                      burst=any(entry[2] for entry in frames))

    def _count(self, count, cycle, flags=None):
        """``count`` frames made (``flags``: the registers' as they were made):
        the counters, the sequencer's next set, a cycle of the auto functions."""
        if not count:
            return
        self.device.frames += count
        self.counters[:] = [value + count for value in self.counters]
        self.acquired += count
        flags = flags or _FLAGS.read(self.registers)
        if flags.sequencer == "On":
            self.sequencer.advance(count, self.triggers.level)
        if cycle and (flags.exposure_auto != "Off" or flags.gain_auto != "Off"
                      or flags.balance_auto != "Off"):
            self.autos.cycle()

    def _make(self, when, exposure, flags) -> Frame:
        device = self.device
        sequenced = flags.sequencer == "On"
        regs = self.registers if exposure is None and not sequenced else \
            self.sequencer.frame_registers(exposure, sequenced)
        stamp = int((when - POWER_UP) * 1e9)  # the camera's clock (events.timestamp)
        chunks = None
        if flags.chunks:
            chunks = {name: self._chunk_value(name, stamp, regs, sequenced)
                      for name, on in zip(_CHUNKS, _ENABLED.read(self.registers)) if on}
        error = None
        if device.faults:
            try:
                device.check("Grab")
            except Exception as exc:
                error = (getattr(exc, "error_code", GRAB_ERROR_CODE), str(exc))
        view = self._view
        if view[1] is None:
            view = self.view()
        frame = Frame(self.meter.settings(regs), device.frames, self.block, stamp, chunks, error,
                      view, self.seed, self.meter.seen)
        if flags.frame_start == "On":
            self.events.record("FrameStart", when, self.block)
        if flags.exposure_end == "On":
            exposure_end = when + regs.get_float("ExposureTime") / 1e6
            self.events.record("ExposureEnd", exposure_end, self.block)
        self.block += 1
        return frame

    def _chunk_value(self, name, stamp, regs, sequenced):
        if name in ("Gain", "ExposureTime"):
            return regs.get_float(name)
        if name == "Timestamp":
            return stamp
        if name == "LineStatusAll":
            return self.device.derived["LineStatusAll"](0)
        if name == "CounterValue":
            return self.counters[0] + 1
        if name == "SequencerSetActive":
            return self.sequencer.current if sequenced else 0
        return 0  # PayloadCRC16 is made with the data
