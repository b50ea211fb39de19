"""The device's camera events: each one enabled (``EventNotification``) is
recorded with its data (its timestamp on the camera's clock, the frame's ID)
for the camera object to hand to its event handlers."""

from __future__ import annotations

import time

from . import model
from .registers import CHANGED, LOCK

_EVENTS = model.BY_NAME["EventSelector"].entries
MAX_EVENTS = 256          # events waiting for the host beyond this are lost (assumed)
_POWER_UP = time.monotonic() - 1.0  # assumed: the cameras were switched on a second ago


def timestamp(when: float) -> int:
    """The camera's clock (1 GHz ticks): ns since the cameras were switched on."""
    return int((when - _POWER_UP) * 1e9)


class Events:
    """The camera events of the acquisition (a part of
    tavrocam_sim.acquisition.Engine): ``events`` holds (event name,
    {data node: value}) not yet handed out."""

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

    def take_events(self) -> list:
        with LOCK:
            events, self.events = self.events, []
            return events
