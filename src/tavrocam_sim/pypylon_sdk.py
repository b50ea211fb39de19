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

__all__ = ["genicam", "pylon"]
