"""A simulated Basler acA2040-55uc for pypylon code, without the camera.

The camera's node map is a GenICam XML made from the model table
(``tavrocam_sim.model``) and run by pylon's own GenApi engine, so every node
is pylon's parameter class and every error pylon's own. The factory, the
device list and the camera object are shaped like pypylon's.

    import Tavrocam, tavrocam_sim
    Tavrocam.pylon = tavrocam_sim.pylon          # one simulated camera
    api = Tavrocam.CLASS_Tavrocam()              # Connect successful: acA2040-55uc

    sim = tavrocam_sim.Simulation(cameras=2)     # for tests: what to provoke
    sim.cameras[1].in_use = True
    sim.cameras[0].temperature = 78.0
    sim.cameras[0].fail("Width.SetValue", sim.pylon.AccessException("held"))

A pypylon program runs unchanged on simulated cameras with
``python -m tavrocam_sim [--cameras N] program.py args...`` (``tavrocam-sim``)
or with ``TAVROCAM_SIM=N`` in its environment: ``pypylon.pylon`` is then the
SDK of the process's simulation, ``tavrocam_sim.simulation()``.
"""

from __future__ import annotations


TYPE_CHECKING = False  # typing itself is not imported at run time
if TYPE_CHECKING:
    from typing import Any

from .model import ModelError
from .simulator import MAX_CAMERAS, Simulation

__all__ = ["Simulation", "ModelError", "pylon", "simulation"]


def simulation() -> Simulation | None:
    """The Simulation of this process when it runs a program on simulated
    cameras (``python -m tavrocam_sim``, ``TAVROCAM_SIM=N``, pytest's
    ``--tavrocam-sim=N``): the one whose cameras ``pypylon.pylon`` finds, for
    a test to reach (their settings, faults, inputs). None otherwise."""
    from . import runner

    return runner.simulation()


_default: Simulation | None = None


def __getattr__(name: str) -> Any:
    # ``tavrocam_sim.pylon``: the SDK of one default camera, made on first use.
    global _default
    if name == "pylon":
        if _default is None:
            _default = Simulation()
        return _default.pylon
    raise AttributeError(f"module 'tavrocam_sim' has no attribute {name!r}")


# A model table that describes no valid camera fails the import, naming the node.
from . import nodemap as _nodemap  # noqa: E402

_nodemap.validate()
