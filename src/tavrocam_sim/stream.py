"""The stream grabber of a grab session: its buffers and its output queue.

The host queues ``MaxNumBuffer`` buffers; the device fills one per frame. How
the filled buffers reach the program is the instant camera's grab strategy,
as pylon's grab engine applies it:

- OneByOne: every filled buffer waits in the output queue, in order; with no
  buffer free, a new frame is lost (the oldest frames are kept).
- LatestImageOnly / LatestImages: the output queue holds the newest
  ``OutputQueueSize`` (1 for LatestImageOnly) filled buffers; an older one is
  given back for the next frame and counted in the next result's
  ``NumberOfSkippedImages``.
- UpcomingImage: a buffer is queued only while the program waits for a
  result, so only a frame made while it waits reaches it.

Everything here runs under the device lock (tavrocam_sim.device.LOCK).
"""

from __future__ import annotations

import collections

ONE_BY_ONE, LATEST, UPCOMING = "OneByOne", "Latest", "Upcoming"


class Stream:
    def __init__(self, buffers: int, strategy: str, keep: int, ids: list):
        self.buffers = max(1, buffers)
        self.strategy = strategy
        self.keep = keep                  # the output queue's size (latest strategies)
        self.ready: collections.deque = collections.deque()
        self.lost = 0                     # frames lost: no buffer was free
        self.skipped = 0                  # frames skipped since the last one queued
        self.armed = False                # upcoming image: a buffer is queued
        self._ids = ids                   # the camera object's result ID count, [n]

    # --- the device's side
    def wants(self, due: int) -> tuple[int, int]:
        """Of ``due`` frames in a row: how many first ones and how many last
        ones reach a buffer (the others are lost or skipped)."""
        if self.strategy == ONE_BY_ONE:
            return min(due, self.buffers - len(self.ready)), 0
        if self.strategy == LATEST:
            return 0, min(due, self.keep)
        return (1 if self.armed else 0), 0

    def deliver(self, frame) -> None:
        if self.strategy == ONE_BY_ONE:
            if len(self.ready) >= self.buffers:
                self.lost += 1
                return
        elif self.strategy == UPCOMING:
            if not self.armed:
                self.lost += 1
                return
            self.armed = False
        self._ids[0] += 1
        frame.id = self._ids[0]
        frame.skipped, self.skipped = self.skipped, 0
        self.ready.append(frame)
        self._trim()

    def lose(self, count: int) -> None:
        if self.strategy == LATEST:
            self._ids[0] += count  # they reached a buffer, and were given back
            self.skipped += count
        else:
            self.lost += count

    def _trim(self):
        if self.strategy != LATEST:
            return
        while len(self.ready) > max(self.keep, 1):
            dropped = self.ready.popleft()
            if self.ready:
                self.ready[0].skipped += dropped.skipped + 1
            else:
                self.skipped += dropped.skipped + 1

    # --- the host's side
    def pop(self):
        """The next result's frame, or None."""
        return self.ready.popleft() if self.ready else None

    def resize(self, keep: int) -> None:
        """OutputQueueSize changed while grabbing (the latest strategies)."""
        self.keep = keep
        self._trim()

    def output_size(self) -> int:
        """The output queue's size: every buffer one by one, else ``keep``."""
        return self.buffers if self.strategy == ONE_BY_ONE else self.keep

    def counts(self) -> tuple[int, int, int]:
        """(NumQueuedBuffers, NumReadyBuffers, NumEmptyBuffers) as pylon shows them."""
        ready = len(self.ready)
        if self.strategy == UPCOMING:
            return (1 if self.armed else 0), ready, self.buffers - ready - self.armed
        return self.buffers - ready, ready, 0
