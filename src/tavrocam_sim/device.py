"""One simulated acA2040-55uc: what the camera does by itself.

The node map (pylon's GenApi engine, loaded with the XML made from the model)
reads and writes the device's registers (tavrocam_sim.registers). Plain values
just sit in memory; this module holds only what a camera's firmware does on
its own: derived values (the payload size, the frame rate, the temperature and
its state, line levels, the colour filter), side effects of writes (centring,
the Bayer phase that follows mirroring, light-source presets, user sets,
commands, the LUT as one block, sequencer sets), the faults a test sets, and
removal. It owns its parts: ``events`` (tavrocam_sim.events), ``thermal``
(its temperature, tavrocam_sim.temperature) and ``acquisition`` (its frame
clock with the triggers, the sequencer and the auto functions,
tavrocam_sim.acquisition).
"""

from __future__ import annotations

import math
import numbers
import struct
import time
import weakref

from . import faults as _faults, model, scenes as _scenes, sensor as _sensor, sharing as _sharing
from .acquisition import Acquisition
from .events import Events
from .registers import CHANGED, LOCK, Port, Registers, connect, xml
from .temperature import Temperature

_EVENT_DATA = tuple(node.name for node in model.NODES
                    if node.name.startswith("Event") and node.derived)


class Device:
    """The simulated camera: registers, node map and the firmware's behaviour.

    The same device is shared by every camera object made for it; it keeps its
    settings while the simulation lives, as a powered camera does.
    """

    def __init__(self, serial: str, index: int) -> None:
        self.serial = serial
        self.full_name = f"{model.USB_VID_PID}:2:{index + 2}:{20 + index}"
        self.removed = False
        self.shared = False  # a camera of the run's simulation (tavrocam_sim.sharing)
        self._in_use = False
        self._holder = None  # a weak reference to the camera object that holds it open
        self.line_levels = {"Line1": False, "Line3": True, "Line4": True}
        self.faults: dict[str, list] = {}
        self.frames = 0            # frames made since power-up (the images' noise follows it)
        self.event_data: dict[str, int] = {}
        self._listeners: dict[str, list] = {"removal": [], "fault": []}
        self.derived = {
            "DeviceTemperature": lambda _: float(round(self.thermal.degrees)),
            "TemperatureState": lambda _: ("Ok", "Critical", "Error").index(self.thermal.state),
            "PixelColorFilter": self._color_filter,
            "PayloadSize": lambda _: self.acquisition.payload_size(),
            "ResultingFrameRate": lambda _: self.acquisition.frame_rate(),
            "LineStatus": self._line_status,
            "LineStatusAll": lambda _: sum(self._line_status(i) << i for i in range(4)),
            "LUTValueAll": lambda _: self._lut_block(),
        }
        for name in _EVENT_DATA:
            self.derived[name] = lambda _, name=name: self.event_data.get(name, 0)
        self.hooks = {
            "Width": lambda _: self._recentre("X"),
            "Height": lambda _: self._recentre("Y"),
            "CenterX": lambda _: self._recentre("X"),
            "CenterY": lambda _: self._recentre("Y"),
            "ReverseX": self._follow_phase,
            "ReverseY": self._follow_phase,
            "LightSourcePreset": self._preset,
            "AcquisitionStart": lambda _: self.start_acquisition(),
            "AcquisitionStop": lambda _: self.stop_acquisition(),
            "TriggerSoftware": lambda _: self.acquisition.software_trigger(),
            "CounterReset": lambda _: self._reset_counter(),
            "UserSetSave": lambda _: self._save_user_set(),
            "UserSetLoad": lambda _: self._load_user_set(),
            "SequencerSetSave": lambda _: self.acquisition.sequencer.save(),
            "SequencerSetLoad": lambda _: self.acquisition.sequencer.load(),
            "SequencerMode": lambda _: self.acquisition.sequencer.restart(),
            "UserOutputValue": lambda _: self._outputs_to_all(),
            "UserOutputValueAll": lambda _: self._all_to_outputs(),
            "LUTValueAll": lambda _: self._lut_from_block(),
            "ExposureAuto": lambda _: self.acquisition.autos.restart("ExposureAuto"),
            "GainAuto": lambda _: self.acquisition.autos.restart("GainAuto"),
            "BalanceWhiteAuto": lambda _: self.acquisition.autos.restart("BalanceWhiteAuto"),
        }
        self.registers = Registers(self.derived, self.hooks)
        self.events = Events(self.registers)
        self.thermal = Temperature(self.events)
        for node in model.NODES:
            if node.default is None or node.derived or node.kind == "Command" \
                    or node.value is not None:
                continue
            defaults = node.default if isinstance(node.default, tuple) else (node.default,)
            for index, value in enumerate(defaults):
                self.registers.put(node.name, value, index)
        self.registers.put_string("DeviceSerialNumber", serial)
        self.user_sets = {"Default": bytes(self.registers.memory)}
        self.acquisition = Acquisition(self)
        self._node_maps = weakref.WeakKeyDictionary()

    def connection(self, camera):
        """The connection (registers.Connection: port and node map) through
        which ``camera`` sees this device, made on first use."""
        connection = self._node_maps.get(camera)
        if connection is None:
            connection = self._node_maps[camera] = connect(xml(), Port(self, camera), "Device")
        return connection

    def renew_node_maps(self) -> list:
        """Forget the node maps (each camera object's is made again on next
        use) and return them: after a fork, GenApi's lock in one may be held
        by a thread the child does not have, so the caller keeps them alive,
        never to be used or destroyed."""
        old, self._node_maps = list(self._node_maps.values()), weakref.WeakKeyDictionary()
        return old

    @property
    def opened_by(self):
        """The camera object that holds the device open, or None. A camera
        object that is dropped while open lets the device go, as pylon's
        does when it destroys one."""
        holder = self._holder() if self._holder is not None else None
        if holder is None and self._holder is not None:
            self._holder = None
            _sharing.release(self)
            self.stop_acquisition()
        return holder

    @opened_by.setter
    def opened_by(self, camera):
        self._holder = None if camera is None else weakref.ref(camera)
        if camera is None:
            _sharing.release(self)

    # --- state the test controls
    def __repr__(self) -> str:
        return f"<simulated {model.MODEL_NAME} {self.serial}>"

    @property
    def in_use(self) -> bool:
        """Whether another program holds the camera: Open then fails as
        pylon's USB transport layer does."""
        return self._in_use

    @in_use.setter
    def in_use(self, value: bool) -> None:
        if not isinstance(value, bool):
            raise TypeError(f"in_use must be a bool, not {type(value).__name__}")
        self._in_use = value

    def set_input(self, line: str, level: bool, at: "float | None" = None) -> None:
        """Drive input line ``line`` ("Line1", "Line3", "Line4") high or low,
        now or at ``at`` (a ``time.monotonic()`` not in the future: a pulse
        of an exact width)."""
        if line not in self.line_levels:
            raise ValueError(f"line must be one of {', '.join(self.line_levels)}, not {line!r}")
        if not isinstance(level, bool):
            raise TypeError(f"level must be a bool, not {type(level).__name__}")
        if at is not None:
            if isinstance(at, bool) or not isinstance(at, numbers.Real):
                raise TypeError(f"at must be a time.monotonic() value, not {type(at).__name__}")
            if not math.isfinite(at) or not at <= time.monotonic():
                raise ValueError(f"at must be a time.monotonic() value not in the future, "
                                 f"not {at!r}")
        with LOCK:
            changed, self.line_levels[line] = self.line_levels[line] != level, level
            if changed:
                self.acquisition.line_edge(line, level, at)

    def fail(self, operation: str, exc: "BaseException | type[BaseException]",
             times: "int | None" = None) -> None:
        """Make ``operation`` raise ``exc`` (an exception instance or class),
        every time or the next ``times`` times. An operation is a node's
        method ("Width.SetValue", "ExposureTime.GetMax") or a call of the
        SDK's on this device ("Open", "Close", "CreateDevice",
        "EnumerateDevices"). "Grab" makes frames fail: GrabSucceeded() False,
        ErrorDescription the exception's text, ErrorCode its ``error_code``
        (else an assumed code). A fault on a node's method is met however the
        program reaches it (``node.Value = x`` is ``SetValue``); a name that
        matches no operation is a ValueError listing the accepted forms."""
        if not isinstance(operation, str) or not operation:
            raise TypeError(f"operation must be a non-empty str, not {operation!r}")
        _faults.check_operation(operation)
        if not (isinstance(exc, BaseException) or
                isinstance(exc, type) and issubclass(exc, BaseException)):
            raise TypeError(f"exc must be an exception or an exception class, not {exc!r}")
        code = getattr(exc, "error_code", None)
        if operation == "Grab" and code is not None and (
                isinstance(code, bool) or not isinstance(code, numbers.Integral)
                or not 0 <= code < 2**32):
            raise ValueError(f"exc.error_code must be an int from 0 to 0xFFFFFFFF (pylon's "
                             f"ErrorCode), not {code!r}")
        if times is not None and (isinstance(times, bool) or not isinstance(times, int)):
            raise TypeError(f"times must be an int or None, not {type(times).__name__}")
        if times is not None and times < 1:
            raise ValueError(f"times must be at least 1, not {times}")
        self.faults[operation] = [exc, times]
        name, dot, _ = operation.partition(".")
        if dot:  # the nodes already handed out meet it
            self._tell(tuple(self._listeners["fault"]), name)

    def check(self, operation: str) -> None:
        """Raise the fault a test set for ``operation``, if any."""
        with LOCK:
            fault = self.faults.get(operation)
            if fault is None:
                return
            exc, times = fault
            if times is not None:
                fault[1] = times - 1
                if fault[1] <= 0:
                    del self.faults[operation]
        raise _faults.raising(exc)  # a copy: its traceback starts afresh

    def heal(self, operation: "str | None" = None) -> None:
        """Take back the fault set for ``operation``, or every fault."""
        if operation is None:
            self.faults.clear()
        else:
            self.faults.pop(operation, None)

    def remove(self) -> None:
        """Unplug the camera: its nodes become unreachable, it leaves the
        device list, opening it again fails, and a grab on it fails."""
        with LOCK:
            if self.removed:
                return
            self.removed = True
            self.acquisition.halt()
            listeners, self._listeners["removal"] = self._listeners["removal"], []
            CHANGED.notify_all()
        self.invalidate()
        self._tell(listeners)

    @staticmethod
    def _tell(listeners, *args):
        for listener in listeners:
            call = listener()
            if call is not None:
                call(*args)

    def listen(self, kind: str, callback) -> None:
        """Call ``callback`` (held weakly: a bound method) when the device is
        removed (``kind`` "removal": ``callback()``) or a fault is set on a
        node's method ("fault": ``callback(node name)``)."""
        with LOCK:
            self.unlisten(kind, None)  # the listeners already gone
            self._listeners[kind].append(weakref.WeakMethod(callback))

    def unlisten(self, kind: str, callback) -> None:
        """Call ``callback`` no more (and forget the listeners already gone)."""
        with LOCK:
            self._listeners[kind] = [ref for ref in self._listeners[kind]
                                     if ref() is not None and ref() != callback]

    @property
    def temperature(self) -> float:
        return self.thermal.degrees

    @temperature.setter
    def temperature(self, value: float) -> None:
        self.thermal.set(value)

    @property
    def scene(self):
        """What the camera looks at (tavrocam_sim.scenes): Chart() by default,
        Uniform(...), Picture(...), a callable scene(t), or a path (an image
        file, or a folder played one image per frame). Setting it checks the
        scene at once (TypeError, ValueError or FileNotFoundError keep the old
        one); it takes effect from the next exposure, from any thread."""
        return self.acquisition.scene

    @scene.setter
    def scene(self, value) -> None:
        self.acquisition.scene = _scenes.check(value)

    @property
    def sensor(self) -> _sensor.Sensor:
        """The camera's sensor, read-only (tavrocam_sim.sensor.Sensor): the
        EMVA 1288 model of its IMX265, the dark current at the camera's
        temperature now."""
        return _sensor.Sensor(self.thermal.degrees)

    def invalidate(self):
        """Make every node map forget GenApi's cached values and access modes
        (after the device's state changed other than through that map)."""
        for _, node_map in list(self._node_maps.values()):
            node_map._InvalidateNodes()

    # --- derived values
    def _color_filter(self, _):
        phase = model.bayer_phase(self.registers.get_entry("PixelFormat"))
        return 4 if phase is None else phase

    def _line_status(self, index):
        regs = self.registers
        line = f"Line{index + 1}"
        if regs.get_entry("LineMode", index) == "Output":
            # Line2 follows UserOutput1, Line3 UserOutput2, Line4 UserOutput3 (assumed).
            level = bool(regs.get_int("UserOutputValue", max(index - 1, 0)))
        else:
            level = self.line_levels.get(line, False)
        return int(level != bool(regs.get_int("LineInverter", index)))

    # --- side effects of writes
    def _recentre(self, axis):
        regs = self.registers
        if not regs.get_int("Center" + axis):
            return
        sensor, size, offset = {"X": ("SensorWidth", "Width", "OffsetX"),
                                "Y": ("SensorHeight", "Height", "OffsetY")}[axis]
        inc = model.BY_NAME[offset].inc
        regs.put_int(offset, (regs.get_int(sensor) - regs.get_int(size)) // 2 // inc * inc)

    def _follow_phase(self, _):
        regs = self.registers
        current = regs.get_entry("PixelFormat")
        if model.bayer_phase(current) is None:
            return
        phase = regs.get_int("ReverseX") + 2 * regs.get_int("ReverseY")
        regs.put_entry("PixelFormat", current[:5] + model.PHASES[phase] + current[7:])

    def _preset(self, _):
        ratios = model.PRESET_RATIOS.get(self.registers.get_entry("LightSourcePreset"))
        if ratios is not None:
            for index, ratio in enumerate(ratios):
                self.registers.put_float("BalanceRatio", ratio, index)

    def _reset_counter(self):
        self.acquisition.counters[self.registers.get_int("CounterSelector")] = 0

    def _lut_block(self) -> bytes:
        """LUTValueAll: the value of LUTIndex i in 32-bit slot i, 0 between."""
        regs, step = self.registers, model.LUT_STEP
        slots = [0] * (model.LUT_POINTS * step)
        for point in range(model.LUT_POINTS):
            slots[point * step] = regs.get_int("LUTValue", point)
        return struct.pack(f"<{len(slots)}I", *slots)

    def _lut_from_block(self):
        regs, step = self.registers, model.LUT_STEP
        address, _, length = regs.where["LUTValueAll"]
        slots = struct.unpack_from(f"<{length // 4}I", regs.memory, address)
        top = model.BY_NAME["LUTValue"].max
        for point in range(model.LUT_POINTS):
            regs.put_int("LUTValue", min(slots[point * step], top), point)

    def _save_user_set(self):
        self.user_sets[self.registers.get_entry("UserSetSelector")] = bytes(self.registers.memory)

    def _load_user_set(self):
        regs = self.registers
        selected = regs.get_entry("UserSetSelector")
        saved = self.user_sets.get(selected, self.user_sets["Default"])
        # A user set holds every setting but these.
        keep = {name: bytes(regs.memory[a:a + n * length])
                for name, (a, n, length) in regs.where.items()
                if name in ("UserSetSelector", "UserSetDefault", "DeviceUserID",
                            "DeviceSerialNumber", "Acquiring")}
        regs.memory[:] = saved
        for name, raw in keep.items():
            address = regs.where[name][0]
            regs.memory[address:address + len(raw)] = raw
        # GenApi reads every register again: each lists UserSetLoad as an invalidator.

    def _outputs_to_all(self):
        regs = self.registers
        regs.put_int("UserOutputValueAll",
                     sum(regs.get_int("UserOutputValue", i) << i for i in range(3)))

    def _all_to_outputs(self):
        regs = self.registers
        bits = regs.get_int("UserOutputValueAll")
        for index in range(3):
            regs.put_int("UserOutputValue", (bits >> index) & 1, index)

    # --- acquisition
    def start_acquisition(self):
        with LOCK:
            self.registers.put_int("Acquiring", 1)
            self.acquisition.start()

    def stop_acquisition(self):
        with LOCK:
            self.acquisition.stop()
            self.registers.put_int("Acquiring", 0)

    @property
    def acquiring(self) -> bool:
        return bool(self.registers.get_int("Acquiring"))
