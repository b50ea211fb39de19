"""The simulated camera's temperature: DeviceTemperature and TemperatureState
as a test sets the temperature, the over-temperature mode (test image 2 instead
of images) and the CriticalTemperature and OverTemperature events, each fired
once until the camera has cooled enough to re-arm it."""

from __future__ import annotations

import math
import numbers

from . import model
from .registers import LOCK

ABSOLUTE_ZERO = -273.15


class Temperature:
    """The device's temperature (a part of tavrocam_sim.device.Device): the
    device holds ``_temperature``, ``_state``, ``_armed``, ``over_temperature``
    and ``engine``."""

    def _set_temperature(self, value: float) -> None:
        """``device.temperature = value``: the state, the mode and the events it brings."""
        if isinstance(value, bool) or not isinstance(value, numbers.Real):
            raise TypeError(f"temperature must be a number of degrees C, "
                            f"not {type(value).__name__}")
        try:
            value = float(value)
        except OverflowError:  # an int beyond every float
            value = math.inf if value > 0 else -math.inf
        if not math.isfinite(value) or value < ABSOLUTE_ZERO:
            raise ValueError(f"temperature must be a finite number of degrees C, at least "
                             f"{ABSOLUTE_ZERO} (absolute zero), not {value!r}")
        state = self._state
        if value > model.TEMPERATURE_ERROR:
            state = "Error"
        elif state == "Error":
            state = "Critical" if value <= model.TEMPERATURE_BACK_CRITICAL else "Error"
        if state != "Error":
            if value >= model.TEMPERATURE_CRITICAL:
                state = "Critical"
            elif value <= model.TEMPERATURE_BACK_OK:
                state = "Ok"
        with LOCK:
            self._temperature, self._state = value, state
            if value > model.TEMPERATURE_ERROR:
                self.over_temperature = True
            elif value <= model.TEMPERATURE_RESUME:
                self.over_temperature = False
            fire = []
            if value <= model.OVER_TEMPERATURE_REARM:
                self._armed["OverTemperature"] = True
            elif state == "Error" and self._armed["OverTemperature"]:
                self._armed["OverTemperature"] = False
                fire.append("OverTemperature")
            if value <= model.CRITICAL_REARM:
                self._armed["CriticalTemperature"] = True
            elif value >= model.TEMPERATURE_CRITICAL and self._armed["CriticalTemperature"]:
                self._armed["CriticalTemperature"] = False
                fire.insert(0, "CriticalTemperature")
        if self.engine is not None:
            for name in fire:
                self.engine.event(name)
