"""A simulation: its cameras, and the SDK that finds exactly those."""

from __future__ import annotations

TYPE_CHECKING = False  # typing itself is not imported at run time
if TYPE_CHECKING:
    from .device import Device
    from .sdk import Pylon

MAX_CAMERAS = 64


class Simulation:
    """``cameras`` simulated cameras with distinct serial numbers, and
    ``pylon``, an SDK that finds exactly those."""

    def __init__(self, cameras: int = 1) -> None:
        if isinstance(cameras, bool) or not isinstance(cameras, int):
            raise TypeError(f"cameras must be an int, not {type(cameras).__name__}")
        if not 0 <= cameras <= MAX_CAMERAS:
            raise ValueError(f"cameras must be from 0 to {MAX_CAMERAS}, not {cameras}")
        from . import device, exitcheck, model, sdk

        exitcheck.arm()  # says where pylon would abort at exit

        self.cameras: tuple[Device, ...] = tuple(device.Device(str(model.FIRST_SERIAL + index), index)
                             for index in range(cameras))
        self.pylon: Pylon = sdk.Pylon(self)

    def __repr__(self) -> str:
        return f"<tavrocam_sim.Simulation of {len(self.cameras)} camera(s)>"
