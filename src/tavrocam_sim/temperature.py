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
    """A device's temperature: ``degrees``, ``state`` ("Ok", "Critical",
    "Error") and ``over_temperature`` (sending test image 2 instead of
    images); its events go to the device's ``events``."""

    def __init__(self, events, degrees: float = 42.0):
        self._events = events
        self.degrees = degrees
        self.state = "Ok"
        self.over_temperature = False
        self._armed = {"OverTemperature": True, "CriticalTemperature": True}

    def set(self, value: float) -> None:
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
        state = self.state
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
            self.degrees, self.state = value, state
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
        for name in fire:
            self._events.record(name)
