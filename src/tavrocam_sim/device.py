"""One simulated acA2040-55uc: its registers, and what the camera does by itself.

The node map (pylon's GenApi engine, loaded with the XML made from the model)
reads and writes the registers through ``Registers``, a ``genicam.CPortImpl``.
Plain values just sit in memory; this module holds only what a camera's
firmware does on its own: derived values (the payload size, the frame rate,
the temperature and its state, line levels, the colour filter), side effects
of writes (centring, the Bayer phase that follows mirroring, light-source
presets, user sets, commands) and the auto functions, which run one
calculation cycle per frame while the camera acquires.
"""

from __future__ import annotations

import math
import struct
import time
import weakref

from pypylon import genicam, pylon

from . import model, nodemap

_INT = struct.Struct("<q")
_FLOAT = struct.Struct("<d")
_ENUMS = {node.name: nodemap.entries(node) for node in model.NODES if node.kind == "Enumeration"}
_COMMANDS = frozenset(node.name for node in model.NODES if node.kind == "Command")
_XML: str | None = None
# pypylon releases without pylon's parameter classes (26.4) know no destructor
# for a port written in Python: they cannot free one, and say so on standard
# output when its proxy goes. Such a port is left to the process.
_PORT_WITHOUT_DESTRUCTOR = not hasattr(pylon, "IntegerParameter")


def xml() -> str:
    """The node map's XML, made once per process."""
    global _XML
    if _XML is None:
        _XML = nodemap.generate()
    return _XML


# The colour of the scene's neutral patch as the sensor sees it under the
# default illumination (assumed); the images (tavrocam_sim.image) and the
# white-balance auto function use it.
SCENE_NEUTRAL_RGB = (0.639, 1.0, 0.454)
AUTO_TOLERANCE = 0.01
AUTO_MAX_CYCLES = 30  # Once gives up after this many cycles (confirmed)


def connect(text: str, port, port_name: str):
    """(port, node map): a GenApi node map loaded with ``text`` and connected
    to ``port`` under ``port_name``. Whatever hands out a node of the map
    holds this pair too, so that map and port outlive their owner as long as
    a node is in use; the pair releases its last item first, the map before
    its port."""
    node_map = genicam.CNodeMapRef()
    node_map._LoadXMLFromString(text)
    if _PORT_WITHOUT_DESTRUCTOR:
        port.thisown = False
    node_map._Connect(port, port_name)
    return port, node_map


class Port(genicam.CPortImpl):
    """A camera object's way to the device's registers: the port of its node
    map. Only the camera object that opened the device reaches them."""

    def __init__(self, device: "Device", owner):
        super().__init__()
        self._device = device
        self._registers = device.registers
        self._owner = weakref.ref(owner)  # the node map lives as long as its camera

    def GetAccessMode(self):
        device, owner = self._device, self._owner()
        return genicam.RW if owner is not None and device.opened_by is owner \
            and not device.removed else genicam.NA

    def Read(self, address, length):
        return self._registers.read(address, length)

    def Write(self, address, data):
        self._registers.write(address, data)


class Registers:
    """The device's register space."""

    def __init__(self, device: "Device"):
        self._device = device
        where = nodemap.layout()
        self.where = where.registers
        self.memory = bytearray(where.size)
        self.slots: dict[int, tuple[str, int]] = {}
        for name, (address, count, length) in self.where.items():
            for index in range(count):
                self.slots[address + index * length] = (name, index)

    # --- as the node maps' ports reach it
    def read(self, address, length):
        if self._device.clock is not None:
            self._device.advance()
        slot = self.slots.get(address)
        if slot is not None:
            reader = self._device.derived.get(slot[0])
            if reader is not None:
                value = reader(slot[1])
                kind = model.BY_NAME[slot[0]].kind
                return (_FLOAT if kind == "Float" else _INT).pack(value)
        return bytes(self.memory[address:address + length])

    def write(self, address, data):
        self.memory[address:address + len(data)] = data
        slot = self.slots.get(address)
        if slot is not None:
            name, index = slot
            hook = self._device.hooks.get(name)
            if hook is not None:
                hook(index)
            if name in _COMMANDS:  # done: reads back other than its CommandValue
                self.memory[address:address + len(data)] = bytes(len(data))

    # --- the store's own access, by node name
    def _address(self, name, index):
        address, count, length = self.where[name]
        if index is None:
            node = model.BY_NAME.get(name)
            index = self.get_int(f"{node.selector}") if node is not None and count > 1 else 0
        return address + index * length

    def get_int(self, name, index=None):
        address = self._address(name, index)
        return _INT.unpack_from(self.memory, address)[0]

    def put_int(self, name, value, index=None):
        _INT.pack_into(self.memory, self._address(name, index), int(value))

    def get_float(self, name, index=None):
        return _FLOAT.unpack_from(self.memory, self._address(name, index))[0]

    def put_float(self, name, value, index=None):
        _FLOAT.pack_into(self.memory, self._address(name, index), float(value))

    def get_entry(self, name, index=None):
        value = self.get_int(name, index)
        return next(entry for entry, code, _ in _ENUMS[name] if code == value)

    def put_entry(self, name, entry, index=None):
        self.put_int(name, next(code for e, code, _ in _ENUMS[name] if e == entry), index)

    def put_string(self, name, text):
        address, _, length = self.where[name]
        raw = text.encode()[:length - 1]
        self.memory[address:address + length] = raw.ljust(length, b"\0")

    def put(self, name, value, index=None):
        kind = model.BY_NAME[name].kind
        if kind == "Float":
            self.put_float(name, value, index)
        elif kind == "Enumeration":
            self.put_entry(name, value, index)
        elif kind == "String":
            self.put_string(name, value)
        else:
            self.put_int(name, value, index)


class Device:
    """The simulated camera: registers, node map and the firmware's behaviour.

    The same device is shared by every camera object made for it; it keeps its
    settings while the simulation lives, as a powered camera does.
    """

    def __init__(self, serial: str, index: int) -> None:
        self.serial = serial
        self.full_name = f"{model.USB_VID_PID}:2:{index + 2}:{20 + index}"
        self.removed = False
        self._in_use = False
        self._holder = None  # a weak reference to the camera object that holds it open
        self.line_levels = {"Line1": False, "Line3": True, "Line4": True}
        self._temperature = 42.0
        self._state = "Ok"
        self.faults: dict[str, list] = {}
        self.counters = [0, 0]
        self.frames = 0
        self.clock = None  # (start time, frames at start) while acquiring
        self.derived = {
            "DeviceTemperature": lambda _: float(round(self._temperature)),
            "TemperatureState": lambda _: ("Ok", "Critical", "Error").index(self._state),
            "PixelColorFilter": self._color_filter,
            "PayloadSize": lambda _: self.payload_size(),
            "ResultingFrameRate": lambda _: self.frame_rate(),
            "LineStatus": self._line_status,
            "LineStatusAll": lambda _: sum(self._line_status(i) << i for i in range(4)),
        }
        self.hooks = {
            "Width": lambda _: self._recentre("X"),
            "Height": lambda _: self._recentre("Y"),
            "CenterX": lambda _: self._recentre("X"),
            "CenterY": lambda _: self._recentre("Y"),
            "ReverseX": self._follow_phase,
            "ReverseY": self._follow_phase,
            "LightSourcePreset": self._preset,
            "AcquisitionStart": self._command(self.start_acquisition),
            "AcquisitionStop": self._command(self.stop_acquisition),
            "TriggerSoftware": self._command(lambda: None),
            "CounterReset": self._command(self._reset_counter),
            "UserSetSave": self._command(self._save_user_set),
            "UserSetLoad": self._command(self._load_user_set),
            "SequencerSetSave": self._command(lambda: None),
            "SequencerSetLoad": self._command(lambda: None),
            "UserOutputValue": lambda _: self._outputs_to_all(),
            "UserOutputValueAll": lambda _: self._all_to_outputs(),
        }
        self.registers = Registers(self)
        for node in model.NODES:
            if node.default is None or node.derived or node.kind == "Command" \
                    or node.value is not None:
                continue
            defaults = node.default if isinstance(node.default, tuple) else (node.default,)
            for index, value in enumerate(defaults):
                self.registers.put(node.name, value, index)
        self.registers.put_string("DeviceSerialNumber", serial)
        self.user_sets = {"Default": bytes(self.registers.memory)}
        self._node_maps = weakref.WeakKeyDictionary()

    def node_map(self, camera):
        """(node map, keep): the node map ``camera`` sees this device through,
        made on first use, and what keeps it working: anything that holds a
        node of the map holds ``keep`` too, so the map and its port outlive
        the camera object as long as one of its nodes is in use."""
        keep = self._node_maps.get(camera)
        if keep is None:
            keep = self._node_maps[camera] = connect(xml(), Port(self, camera), "Device")
        return keep[1], keep

    @property
    def opened_by(self):
        """The camera object that holds the device open, or None. A camera
        object that is dropped while open lets the device go, as pylon's
        does when it destroys one."""
        holder = self._holder() if self._holder is not None else None
        if holder is None and self._holder is not None:
            self._holder = None
            if self.clock is not None:
                self.stop_acquisition()
        return holder

    @opened_by.setter
    def opened_by(self, camera):
        self._holder = None if camera is None else weakref.ref(camera)

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

    def set_input(self, line: str, level: bool) -> None:
        """Drive input line ``line`` ("Line1", "Line3", "Line4") high or low."""
        if line not in self.line_levels:
            raise ValueError(f"line must be one of {', '.join(self.line_levels)}, not {line!r}")
        if not isinstance(level, bool):
            raise TypeError(f"level must be a bool, not {type(level).__name__}")
        self.line_levels[line] = level

    def fail(self, operation: str, exc: "BaseException | type[BaseException]",
             times: "int | None" = None) -> None:
        """Make ``operation`` raise ``exc`` (an exception instance or class),
        every time or the next ``times`` times. An operation is a node's
        method ("Width.SetValue", "ExposureTime.GetMax") or a call of the
        SDK's on this device ("Open", "Close", "CreateDevice",
        "EnumerateDevices")."""
        if not isinstance(operation, str) or not operation:
            raise TypeError(f"operation must be a non-empty str, not {operation!r}")
        if not (isinstance(exc, BaseException) or
                isinstance(exc, type) and issubclass(exc, BaseException)):
            raise TypeError(f"exc must be an exception or an exception class, not {exc!r}")
        if times is not None and (isinstance(times, bool) or not isinstance(times, int)):
            raise TypeError(f"times must be an int or None, not {type(times).__name__}")
        if times is not None and times < 1:
            raise ValueError(f"times must be at least 1, not {times}")
        self.faults[operation] = [exc, times]

    def heal(self, operation: "str | None" = None) -> None:
        """Take back the fault set for ``operation``, or every fault."""
        if operation is None:
            self.faults.clear()
        else:
            self.faults.pop(operation, None)

    def remove(self) -> None:
        """Unplug the camera: its nodes become unreachable, it leaves the
        device list, and opening it again fails."""
        self.removed = True
        if self.clock is not None:
            self.stop_acquisition()
        self.invalidate()

    @property
    def temperature(self) -> float:
        return self._temperature

    @temperature.setter
    def temperature(self, value: float) -> None:
        if isinstance(value, bool) or not isinstance(value, (int, float)) \
                or not math.isfinite(value):
            raise (TypeError if not isinstance(value, (int, float)) or isinstance(value, bool)
                   else ValueError)(f"temperature must be a finite number of degrees C, "
                                    f"not {value!r}")
        value = float(value)
        state = self._state
        if value > model.TEMPERATURE_ERROR:
            state = "Error"
        elif state == "Error":
            state = "Critical" if value <= model.TEMPERATURE_BACK_CRITICAL else "Error"
        if state != "Error":
            if value >= model.TEMPERATURE_CRITICAL:
                state = "Critical"
            elif value <= model.TEMPERATURE_BACK_OK:
                state = "Ok"
        self._temperature, self._state = value, state

    def invalidate(self):
        """Make every node map forget GenApi's cached values and access modes
        (after the device's state changed other than through that map)."""
        for _, node_map in list(self._node_maps.values()):
            node_map._InvalidateNodes()

    # --- derived values
    def _color_filter(self, _):
        phase = model.bayer_phase(self.registers.get_entry("PixelFormat"))
        return 4 if phase is None else phase

    def payload_size(self) -> int:
        regs = self.registers
        bits = (regs.get_int("PixelFormat") >> 16) & 0xFF
        size = regs.get_int("Width") * regs.get_int("Height") * bits // 8
        if regs.get_int("ChunkModeActive"):
            for index, (name, _, _) in enumerate(_ENUMS["ChunkSelector"]):
                if regs.get_int("ChunkEnable", index):
                    size += model.CHUNK_BYTES[name]
        return size

    def frame_rate(self) -> float:
        regs = self.registers
        readout_us = model.ROW_TIME_US * (regs.get_int("Height") + model.FRAME_OVERHEAD_ROWS)
        period_us = max(readout_us, regs.get_float("ExposureTime") + model.EXPOSURE_OVERHEAD_US)
        rate = 1e6 / period_us
        link = model.USB_MAX_BYTES_PER_S
        if regs.get_entry("DeviceLinkThroughputLimitMode") == "On":
            link = min(link, regs.get_int("DeviceLinkThroughputLimit"))
        rate = min(rate, link / max(self.payload_size(), 1))
        if regs.get_int("AcquisitionFrameRateEnable"):
            rate = min(rate, regs.get_float("AcquisitionFrameRate"))
        return rate

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

    @staticmethod
    def _command(action):
        return lambda _: action()

    def _reset_counter(self):
        self.counters[self.registers.get_int("CounterSelector")] = 0

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

    # --- acquisition and the auto functions
    def start_acquisition(self):
        self.registers.put_int("Acquiring", 1)
        self.clock = (time.monotonic(), self.frames)

    def stop_acquisition(self):
        self.advance()
        self.registers.put_int("Acquiring", 0)
        self.clock = None

    @property
    def acquiring(self) -> bool:
        return bool(self.registers.get_int("Acquiring"))

    def advance(self):
        """Count the frames acquired since the last call; run the auto
        functions once for each (at most AUTO_MAX_CYCLES)."""
        if self.clock is None:
            return
        start, first = self.clock
        due = first + int((time.monotonic() - start) * self.frame_rate())
        for _ in range(min(due - self.frames, AUTO_MAX_CYCLES)):
            self.auto_cycle()
        self.frames = max(due, self.frames)

    def mean_level(self) -> float:
        """The image's mean grey level as a fraction of full scale: what the
        images at the current settings give (tavrocam_sim.image)."""
        from . import image
        return image.mean_level(image.settings(self.registers))

    def auto_cycle(self):
        regs = self.registers
        target = regs.get_float("AutoTargetBrightness")
        for auto, value, low, high in (
                ("ExposureAuto", "ExposureTime", "AutoExposureTimeLowerLimit",
                 "AutoExposureTimeUpperLimit"),
                ("GainAuto", "Gain", "AutoGainLowerLimit", "AutoGainUpperLimit")):
            mode = regs.get_entry(auto)
            if mode == "Off":
                continue
            mean = max(self.mean_level(), 1e-6)
            current = regs.get_float(value)
            if value == "ExposureTime":
                wanted = current * (target / mean)
            else:
                wanted = current + 20 * math.log10(target / mean)
            wanted = min(max(wanted, regs.get_float(low)), regs.get_float(high))
            regs.put_float(value, current + (wanted - current) * 0.6)
            if mode == "Once" and abs(self.mean_level() / target - 1) < AUTO_TOLERANCE \
                    or mode == "Once" and abs(wanted - current) < 1e-9:
                regs.put_entry(auto, "Off")
        if regs.get_entry("BalanceWhiteAuto") != "Off":
            for index, seen in enumerate(SCENE_NEUTRAL_RGB):
                regs.put_float("BalanceRatio", min(15.99976, 1.0 / seen), index)
            if regs.get_entry("BalanceWhiteAuto") == "Once":
                regs.put_entry("BalanceWhiteAuto", "Off")
