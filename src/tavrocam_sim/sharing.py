"""Which simulated cameras are open, shared by the processes of one run.

A program run on simulated cameras (``TAVROCAM_SIM=N``, ``python -m
tavrocam_sim``) and the processes it starts simulate the same cameras: a
child that opens the camera its parent holds open is refused, as the camera
refuses a second client. The first of them to open a camera makes a private
directory and names it in ``TAVROCAM_SIM_OPEN``, which its children inherit;
a camera held open holds a lock on the file of its serial number there. Other
runs, and simulations a process makes for itself (``Simulation()``), never
see it. Where the system has no ``fcntl`` (Windows), each process keeps its
own.
"""

from __future__ import annotations

import atexit
import os
import shutil
import tempfile

try:
    import fcntl
except ImportError:  # pragma: no cover (Windows)
    fcntl = None

VARIABLE = "TAVROCAM_SIM_OPEN"


def claim(device) -> bool:
    """Take ``device`` for this process; False when another process of the
    run holds it open."""
    if getattr(device, "_open_file", None) is not None or fcntl is None or not device.shared:
        return True  # held already, or no camera of the run's simulation
    folder = os.environ.get(VARIABLE)
    if not folder or not os.path.isdir(folder):
        folder = os.environ[VARIABLE] = tempfile.mkdtemp(prefix="tavrocam_sim-")
        atexit.register(_remove, folder, os.getpid())
    descriptor = os.open(os.path.join(folder, device.serial), os.O_RDWR | os.O_CREAT, 0o600)
    try:
        fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except OSError:
        os.close(descriptor)
        return False
    device._open_file = descriptor
    return True


def _remove(folder, maker):
    if os.getpid() == maker:  # not in a forked child
        shutil.rmtree(folder, ignore_errors=True)


def release(device) -> None:
    """Let the other processes of the run open ``device`` again."""
    descriptor = getattr(device, "_open_file", None)
    if descriptor is not None:
        device._open_file = None
        os.close(descriptor)  # the lock goes with it
