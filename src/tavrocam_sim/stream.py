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

A result the program holds keeps its buffer until it is released (pylon's
buffer accounting): the buffers free for frames are ``MaxNumBuffer`` less the
held and the ready ones, at most ``MaxNumQueuedBuffer`` of them queued at a
time (the others empty, queued as the queued ones fill). With every buffer
held, frames are lost and a wait for a result times out.

Everything here runs under the device lock (tavrocam_sim.device.LOCK).
"""

from __future__ import annotations

import collections

from .registers import CHANGED, LOCK

ONE_BY_ONE, LATEST, UPCOMING = "OneByOne", "Latest", "Upcoming"
# The upcoming image strategy with every buffer held (pylon's emulated camera):
# after the program's timeout, pylon waits this long more, then raises.
CANCEL_WAIT = 5.0
NOT_CANCELED = ("Timeout while waiting for canceled buffer after timeout with strategy "
                "GrabStrategy_UpcomingImage. : RuntimeException thrown "
                "(file 'GrabEngine.h', line 450)")


class Stream:
    def __init__(self, buffers: int, strategy: str, keep: int, ids: list, queued: int = 0):
        self.buffers = max(1, buffers)
        self.strategy = strategy
        self.keep = keep                  # the output queue's size (latest strategies)
        self.max_queued = queued or self.buffers  # MaxNumQueuedBuffer
        self.taken = 0                    # buffers handed out with a result
        self.given: collections.deque = collections.deque()  # one entry a buffer given back
        self.ready: collections.deque = collections.deque()
        self.lost = 0                     # frames lost: no buffer was free
        self.skipped = 0                  # frames skipped since the last one queued
        self.armed = False                # upcoming image: a buffer is queued
        self._ids = ids                   # the camera object's result ID count, [n]

    # --- the buffers
    def held(self) -> int:
        """Buffers the program's results hold."""
        return self.taken - len(self.given)

    def give_back(self) -> None:
        """A held result was released: its buffer is free again (safe from a
        finalizer in any thread: the lock only if free at once)."""
        self.given.append(None)
        if LOCK.acquire(blocking=False):
            try:
                CHANGED.notify_all()
            finally:
                LOCK.release()

    def free(self) -> int:
        """Buffers neither held nor ready: queued or empty."""
        return max(0, self.buffers - self.held() - len(self.ready))

    # --- the device's side
    def wants(self, due: int) -> tuple[int, int]:
        """Of ``due`` frames in a row: how many first ones and how many last
        ones reach a buffer (the others are lost or skipped)."""
        if self.strategy == ONE_BY_ONE:
            return min(due, self.free()), 0
        if self.strategy == LATEST:
            return 0, min(due, max(self.keep, 1), self.free())
        return (1 if self.armed else 0), 0

    def deliver(self, frame) -> None:
        if not self.free():
            self.lost += 1
            return
        if self.strategy == UPCOMING:
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
        if self.strategy == LATEST and self.free():
            self._ids[0] += count  # they reached a buffer, and were given back
            self.skipped += count
        else:
            self.lost += count

    def _trim(self):
        if self.strategy != LATEST:
            return
        while len(self.ready) > self.keep:
            dropped = self.ready.popleft()
            if self.ready:
                self.ready[0].skipped += dropped.skipped + 1
            else:
                self.skipped += dropped.skipped + 1

    # --- the host's side
    def pop(self):
        """The next result's frame (its buffer now held), or None."""
        if not self.ready:
            return None
        while self.given:  # count the buffers given back (here, under the lock)
            self.given.popleft()
            self.taken -= 1
        self.taken += 1
        return self.ready.popleft()

    def resize(self, keep: int) -> None:
        """OutputQueueSize changed while grabbing (the latest strategies)."""
        self.keep = keep
        self._trim()

    def output_size(self) -> int:
        """The output queue's size: every buffer one by one, else ``keep``."""
        return self.buffers if self.strategy == ONE_BY_ONE else self.keep

    def counts(self) -> tuple[int, int, int]:
        """(NumQueuedBuffers, NumReadyBuffers, NumEmptyBuffers) as pylon shows them."""
        ready, free = len(self.ready), self.free()
        if self.strategy == UPCOMING:
            queued = 1 if self.armed and free else 0
        else:
            queued = min(free, self.max_queued)
        return queued, ready, free - queued
