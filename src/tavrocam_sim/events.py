"""The device's camera events: each one enabled (``EventNotification``) is
recorded with its data (its timestamp on the camera's clock, the frame's ID)
for the camera object to hand to its event handlers."""

from __future__ import annotations

import time

from . import model
from .registers import CHANGED, LOCK

MAX_EVENTS = 256          # events waiting for the host beyond this are lost (assumed)
POWER_UP = time.monotonic() - 1.0  # assumed: the cameras were switched on a second ago


def timestamp(when: float) -> int:
    """The camera's clock (1 GHz ticks): ns since the cameras were switched on."""
    return int((when - POWER_UP) * 1e9)


class Events:
    """A device's camera events: ``waiting`` holds (event name, {data node:
    value}) not yet handed out."""

    def __init__(self, registers):
        self._registers = registers
        self.waiting: list = []

    def record(self, name: str, when: float | None = None, frame_id: int | None = None):
        """Record camera event ``name`` if its notification is on."""
        with LOCK:
            index = model.EVENTS.index(name)
            if self._registers.get_entry("EventNotification", index) != "On":
                return
            data = {f"Event{name}Timestamp": timestamp(time.monotonic() if when is None
                                                       else when)}
            if frame_id is not None and f"Event{name}FrameID" in model.BY_NAME:
                data[f"Event{name}FrameID"] = frame_id
            if len(self.waiting) < MAX_EVENTS:
                self.waiting.append((name, data))
            CHANGED.notify_all()

    def take(self) -> list:
        with LOCK:
            waiting, self.waiting = self.waiting, []
            return waiting
