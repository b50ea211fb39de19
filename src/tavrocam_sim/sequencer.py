"""The device's sequencer: with SequencerMode On each frame takes its
sequencer set's settings, the set advancing per SequencerTriggerSource."""

from __future__ import annotations

from . import model
from .registers import Overlay

_LINES = model.BY_NAME["LineSelector"].entries


class Sequencer:
    """The sequencer of the acquisition (a part of
    tavrocam_sim.acquisition.Engine): ``sequence_set`` is the set the next
    frame takes; ``_level`` is the triggers'."""

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
