"""The simulated camera's auto functions: Exposure Auto, Gain Auto and Balance
White Auto, one calculation cycle a frame; the white balance by the grey world.
They measure what the camera sees (the acquisition's meter: the scene's light
through the sensor, without noise) over the auto-function ROI each one uses, cut to
the image's ROI, as the device sits below the images."""

from __future__ import annotations

import math

from . import model
from .model import AUTO_MAX_CYCLES, AUTO_TOLERANCE
from .registers import LOCK


class AutoFunctions:
    """The auto functions of a device's acquisition: they read and set the
    ``registers`` and measure with ``meter`` (``settings(registers)``,
    ``mean_level``, ``channel_means``, ``grey_world_step``); ``cycles``
    counts the calculation cycles per auto function since it was switched."""

    def __init__(self, registers, meter):
        self.registers = registers
        self.meter = meter
        self.cycles = {"ExposureAuto": 0, "GainAuto": 0, "BalanceWhiteAuto": 0}

    def mean_level(self) -> float:
        """The mean grey level as a fraction of full scale over the brightness
        auto-function ROI (the image's ROI where it misses it): what the
        camera sees at the current settings."""
        s = self.meter.settings(self.registers)
        return self.meter.mean_level(self._area(s, "AutoFunctionROIUseBrightness") or s)

    def restart(self, name):
        """An auto function switched (again): its cycles count from 0."""
        with LOCK:
            self.cycles[name] = 0

    def cycle(self):
        """One calculation cycle of the auto functions that are on, after a frame."""
        regs = self.registers
        cycles = self.cycles
        target = regs.get_float("AutoTargetBrightness")
        for auto, value, low, high in (
                ("ExposureAuto", "ExposureTime", "AutoExposureTimeLowerLimit",
                 "AutoExposureTimeUpperLimit"),
                ("GainAuto", "Gain", "AutoGainLowerLimit", "AutoGainUpperLimit")):
            mode = regs.get_entry(auto)
            if mode == "Off":
                continue
            cycles[auto] += 1
            mean = max(self.mean_level(), 1e-6)
            current = regs.get_float(value)
            if value == "ExposureTime":
                wanted = current * (target / mean)
            else:
                wanted = current + 20 * math.log10(target / mean)
            wanted = min(max(wanted, regs.get_float(low)), regs.get_float(high))
            regs.put_float(value, current + (wanted - current) * 0.6)
            if mode == "Once" and (abs(self.mean_level() / target - 1) < AUTO_TOLERANCE
                                   or abs(wanted - current) < 1e-9
                                   or cycles[auto] >= AUTO_MAX_CYCLES):
                regs.put_entry(auto, "Off")
        mode = regs.get_entry("BalanceWhiteAuto")
        if mode != "Off":
            self._balance_cycle(mode)

    def _balance_cycle(self, mode):
        """Balance White Auto: all three ratios to model.GREY_WORLD_START first,
        then red and blue moved until their averages over the white-balance
        auto-function ROI match green's (grey world)."""
        regs = self.registers
        cycles = self.cycles
        cycles["BalanceWhiteAuto"] += 1
        if cycles["BalanceWhiteAuto"] == 1:
            for index in range(3):
                regs.put_float("BalanceRatio", model.GREY_WORLD_START, index)
        meter = self.meter
        s = meter.settings(regs)
        area = self._area(s, "AutoFunctionROIUseWhiteBalance")
        done = area is None  # the ROI misses the image: the ratios stay where they start
        if area is not None:
            ratios = tuple(regs.get_float("BalanceRatio", index) for index in range(3))
            means = meter.channel_means(area._replace(ratios=ratios))
            green = means[1]
            done = green <= 0 or all(abs(means[i] / green - 1) < AUTO_TOLERANCE for i in (0, 2))
            if not done:
                for index, ratio in enumerate(meter.grey_world_step(ratios, means)):
                    regs.put_float("BalanceRatio", ratio, index)
        if mode == "Once" and (done or cycles["BalanceWhiteAuto"] >= AUTO_MAX_CYCLES):
            regs.put_entry("BalanceWhiteAuto", "Off")

    def _area(self, s, use):
        """``s`` cut to where the image ROI and the auto-function ROI with
        ``use`` on overlap (sensor coordinates), or None."""
        regs = self.registers
        for roi in range(2):
            if regs.get_int(use, roi):
                break
        else:
            return None
        x, y, across, down = (regs.get_int(f"AutoFunctionROI{name}", roi)
                              for name in ("OffsetX", "OffsetY", "Width", "Height"))
        left, top = max(s.offset_x, x), max(s.offset_y, y)
        right, bottom = min(s.offset_x + s.width, x + across), min(s.offset_y + s.height, y + down)
        left, top = left & ~1, top & ~1  # whole Bayer quads
        width, height = (right - left) & ~1, (bottom - top) & ~1
        if width < 2 or height < 2 or s.shown != "Off":
            return None if width < 2 or height < 2 else s
        return s._replace(offset_x=left, offset_y=top, width=width, height=height)
