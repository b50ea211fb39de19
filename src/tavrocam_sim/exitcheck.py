"""Where pylon would crash at exit, the simulated camera says so.

A process that ends while a camera object still grabs with pylon's grab loop
thread and has a Python image event handler registered aborts on pylon's own
cameras: the grab loop thread calls into an interpreter that is finalising,
pylon prints "FATAL: exception not rethrown" and the process dies of SIGABRT
(exit status 134; sometimes SIGSEGV). The simulated camera's grab loop thread
is an ordinary daemon thread, so such a program exits 0 here and the fault
would ship unseen: at exit this module prints a warning for each such camera
object on standard error instead (the exit status stays the program's).

From CPython 3.15 on, a thread that reaches a finalising interpreter is held
there rather than ended, and pylon's process exits normally in that state
(seen on pylon's emulated camera): there is nothing to warn of then.

It reads the camera objects' state only: the weak registry of camera objects
(tavrocam_sim.instantcamera) and each one's grab session and handlers.
"""

from __future__ import annotations

import atexit
import sys
import weakref

# Whether pylon aborts a process ending in that state on this interpreter.
PYLON_ABORTS = sys.version_info < (3, 15)
PYLON_AT_EXIT = ('pylon aborts the process there ("FATAL: exception not rethrown", SIGABRT, '
                 'exit status 134)')


def _at_risk(camera) -> bool:
    state = camera._st
    session = state.session
    thread = session and session.thread
    return (thread is not None and thread.is_alive() and not session.stopped
            and bool(state.image_handlers.rows))


def warnings() -> list[str]:
    """One line for each camera object whose state at this moment would
    abort a pylon process ending now."""
    from .instantcamera import _CAMERAS

    lines = []
    for camera in tuple(_CAMERAS) if PYLON_ABORTS else ():
        try:
            if not _at_risk(camera):
                continue
            device = camera._st.device
        except Exception:  # noqa: BLE001 (a half-made camera object: nothing to say)
            continue
        name = "a camera" if device is None else f"camera {device.serial}"
        lines.append(
            f"tavrocam_sim: warning: the program ends while {name} (acA2040-55uc) is grabbing "
            f"with the grab loop thread and a Python image event handler registered; "
            f"{PYLON_AT_EXIT}. Call StopGrabbing() or Close() before the program ends.")
    return lines


def _check() -> None:
    for line in warnings():
        print(line, file=sys.stderr)
    try:
        sys.stderr.flush()
    except (OSError, ValueError):  # stderr closed: nothing more to do
        pass


_registered = False


def arm() -> None:
    """Check at exit (once per process)."""
    global _registered
    if not _registered:
        _registered = True
        # Before the camera objects' finalizers, which weakref runs at exit
        # and which stop their grabbing: its exit hook is registered first
        # (by this finalizer of nothing), so that this check runs before it.
        weakref.finalize(_check, lambda: None)
        atexit.register(_check)
