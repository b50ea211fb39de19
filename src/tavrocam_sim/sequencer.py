"""The device's sequencer: the sequencer sets saved and, with SequencerMode
On, the set each frame takes, advancing per SequencerTriggerSource."""

from __future__ import annotations

from . import model
from .registers import LOCK, Overlay

_LINES = model.BY_NAME["LineSelector"].entries


class Sequencer:
    """The sequencer of a device's acquisition: ``sets`` the sets saved
    (index -> {(name, slot): value}; a set never saved holds the power-up
    settings), ``current`` the set the next frame takes."""

    def __init__(self, registers):
        self.registers = registers
        self.sets: dict[int, dict] = {}
        self._power_up = registers.slot_values(model.SEQUENCED)
        self.current = 0

    def saved(self, index: int) -> dict:
        """The settings sequencer set ``index`` holds, {(name, slot): value}."""
        return self.sets.get(index, self._power_up)

    def save(self):
        regs = self.registers
        with LOCK:
            self.sets[regs.get_int("SequencerSetSelector")] = regs.slot_values(model.SEQUENCED)

    def load(self):
        regs = self.registers
        with LOCK:
            regs.put_slot_values(self.saved(regs.get_int("SequencerSetSelector")))

    def restart(self):
        with LOCK:
            self.current = self.registers.get_int("SequencerSetStart")

    def advance(self, count, level):
        """The set the next frame takes, after ``count`` frames (SequencerMode
        On); ``level(line)`` the level the camera takes an input line at."""
        regs = self.registers
        source = regs.get_entry("SequencerTriggerSource")
        if source in ("FrameStart", "Counter2End"):
            steps = count
        elif source in _LINES:
            steps = count if level(source) else 0
        else:
            steps = 0  # a software signal: no command sends one here
        if steps:
            start = regs.get_int("SequencerSetStart")
            last = max(max(self.sets, default=start), start)
            length = last - start + 1
            position = (self.current - start) % length if self.current >= start else 0
            self.current = start + (position + steps) % length

    def frame_registers(self, exposure, sequenced):
        """The registers as this frame sees them: its sequencer set's settings
        (``sequenced``: SequencerMode On), the exposure a trigger's width gave."""
        values = dict(self.saved(self.current)) if sequenced else {}
        if exposure is not None:
            values[("ExposureTime", 0)] = exposure
        return Overlay(self.registers, values) if values else self.registers
