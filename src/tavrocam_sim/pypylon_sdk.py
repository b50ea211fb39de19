"""pypylon's own ``pylon`` and ``genicam``, as every module of the simulator uses them.

A process that runs a program on simulated cameras (tavrocam_sim.runner)
swaps ``pypylon.pylon`` for a simulation's SDK. The simulator itself must
always reach pypylon's real module, whatever the import order: its modules
take ``pylon`` from here, never from ``pypylon`` directly. Imported after
the swap, this module finds pypylon's module behind the simulated SDK
(``__pypylon_pylon__``, which the SDK sets).
"""

from __future__ import annotations

from pypylon import genicam
import pypylon.pylon as _loaded

pylon = vars(_loaded).get("__pypylon_pylon__", _loaded)

__all__ = ["genicam", "overloads", "pylon"]


def overloads(function: str, scope: str, *prototypes: str) -> str:
    """The text of pypylon's TypeError for a call of SWIG's ``function`` that
    matches none of its C++ ``prototypes``, each named in ``scope``."""
    return (f"Wrong number or type of arguments for overloaded function '{function}'.\n"
            "  Possible C/C++ prototypes are:\n"
            + "".join(f"    {scope}{prototype}\n" for prototype in prototypes))
