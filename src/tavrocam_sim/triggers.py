"""The device's triggers: TriggerMode On for FrameStart makes one frame a
trigger, for FrameBurstStart AcquisitionBurstFrameCount frames at the frame
rate (with both on, a burst trigger lets that many frame triggers in).

A trigger is the software trigger or an edge on an input line (Line1, Line3
and Line4 as inputs; LineInverter, LineDebouncerTime: a level shorter than it
is no edge, a valid edge comes that much later; TriggerActivation); a frame
is due one frame period after its trigger, plus TriggerDelay for a line
trigger. With ExposureMode TriggerWidth the exposure lasts from the trigger's
edge to the opposite one. A trigger sooner than the camera is ready for is
ignored with an overtrigger event. A rising edge also resets the counters
whose CounterResetSource the line is.
"""

from __future__ import annotations

from . import model
from .registers import CHANGED

_TRIGGERS = model.BY_NAME["TriggerSelector"].entries
_FRAME_START = _TRIGGERS.index("FrameStart")
_BURST_START = _TRIGGERS.index("FrameBurstStart")
_LINES = model.BY_NAME["LineSelector"].entries


class Triggers:
    """The triggers of a device's acquisition: the frames triggered and not
    yet due (``pending``), the line changes the debouncer holds (``edges``),
    the levels the camera took (``levels``), the burst and overtrigger
    state. They read their acquisition's run (``active``, ``single``,
    ``acquired``, ``period()``) and record events in ``events``; an edge
    resets the device's ``counters`` it is the reset source of."""

    def __init__(self, registers, events, run, line_levels, counters):
        self.registers = registers
        self._events = events
        self._run = run                  # the acquisition (a weak proxy)
        self._line_levels = line_levels  # the device's input lines, as driven
        self._counters = counters
        self.edges: dict = {}       # line -> (level, since): a change the debouncer holds
        self.levels: dict = {}      # line -> the level the camera took (debounced)
        self.reset()

    def reset(self):
        self.pending: list = []     # (due, exposure or None, ends a burst) of triggered frames
        self.last_trigger = None    # when the last frame trigger was taken
        self.burst_left = 0         # frame triggers a burst still lets in (both triggers on)
        self.burst_ready = None     # when the camera takes the next burst trigger
        self.width_start: dict = {}  # line -> when its TriggerWidth exposure began

    def _mode(self, selector) -> bool:
        return self.registers.get_entry("TriggerMode", selector) == "On"

    def software(self, now):
        """TriggerSoftware executed for the trigger TriggerSelector selects."""
        selector = self.registers.get_int("TriggerSelector")
        if self.registers.get_entry("TriggerSource", selector) == "Software":
            self._trigger(selector, now)

    def line_edge(self, line: str, level: bool, now: float):
        """Input ``line`` changed to ``level`` (as driven, before LineInverter)."""
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

    def level(self, line) -> bool:
        """The level the camera takes ``line`` at (after LineInverter and the debouncer)."""
        if line in self.levels:
            return self.levels[line]
        return self._line_levels.get(line, False) != bool(
            self.registers.get_int("LineInverter", _LINES.index(line)))

    def settle_edges(self, now):
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
            for counter in range(len(self._counters)):
                if regs.get_entry("CounterResetSource", counter) == line:
                    self._counters[counter] = 0
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
        run = self._run
        if not run.active or (run.single and run.acquired) or run.single and self.pending:
            return False
        if self._mode(_BURST_START) and self.burst_left <= 0 or \
                self.last_trigger is not None and when < self.last_trigger + self._run.period():
            self._events.record("FrameStartOvertrigger", when)
            return False
        return True

    def _trigger(self, selector, when, exposure=None, ends=None):
        """A trigger for ``selector`` at ``when``: the frames it starts."""
        if not self._run.active:
            return
        regs = self.registers
        delay = 0.0
        if regs.get_entry("TriggerSource", selector) in model.DELAYED_SOURCES:
            delay = regs.get_float("TriggerDelay", selector) / 1e6
        period = self._run.period()
        if selector == _BURST_START:
            if not self._mode(_BURST_START):
                return
            if self.burst_left > 0 or self.burst_ready is not None and when < self.burst_ready:
                self._events.record("FrameBurstStartOvertrigger", when)
                return
            self._events.record("FrameBurstStart", when)
            count = regs.get_int("AcquisitionBurstFrameCount")
            if self._mode(_FRAME_START):
                self.burst_left = count
                self.wait_events(when, frame=True)
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

    def ready_at(self, now):
        """When the camera takes the next frame trigger (``now`` or later)."""
        return now if self.last_trigger is None else self.last_trigger + self._run.period()

    def wait_events(self, when, frame=False, burst=False):
        """The camera waits for a trigger again: FrameStartWait, FrameBurstStartWait."""
        if frame and self._mode(_FRAME_START) and not (self._mode(_BURST_START)
                                                       and self.burst_left <= 0):
            self._events.record("FrameStartWait", when)
        if burst and self._mode(_BURST_START):
            self._events.record("FrameBurstStartWait", when)
