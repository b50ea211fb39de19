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

    def __init__(self, events, degrees: float = model.BY_NAME["DeviceTemperature"].default):
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
            critical = value >= model.TEMPERATURE_CRITICAL
            for name, rearm, fires in (("CriticalTemperature", model.CRITICAL_REARM, critical),
                                       ("OverTemperature", model.OVER_TEMPERATURE_REARM,
                                        state == "Error")):
                if value <= rearm:
                    self._armed[name] = True
                elif fires and self._armed[name]:
                    self._armed[name] = False
                    fire.append(name)
        for name in fire:
            self._events.record(name)
