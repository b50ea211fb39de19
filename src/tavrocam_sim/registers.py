"""The simulated camera's register space and GenApi's way to it.

A node map is pylon's GenApi engine loaded with an XML and connected to a
port (a ``genicam.CPortImpl`` written here). ``Registers`` is one device's
register memory; each camera object's node map reaches it through a ``Port``.
"""

from __future__ import annotations

import collections
import math
import operator
import os
import struct
import threading
import weakref
from typing import Any, NamedTuple

from .pypylon_sdk import genicam, pylon

from . import model, nodemap

_INT = struct.Struct("<q")
_FLOAT = struct.Struct("<d")
_ENUMS = {node.name: nodemap.entries(node) for node in model.NODES if node.kind == "Enumeration"}
_ENTRY_OF = {name: {code: entry for entry, code, _ in entries} for name, entries in _ENUMS.items()}
_COMMANDS = frozenset(node.name for node in model.NODES if node.kind == "Command")
# One lock for everything the simulated cameras share between threads
# (registers, acquisition, streams, output queues); CHANGED is signalled on
# every change a waiting thread may look for: a frame, a trigger, a stop, a
# removal. Nothing calls GenApi or user code while holding it.
LOCK = threading.RLock()
CHANGED = threading.Condition(LOCK)


def _after_fork_in_child():
    """A forked child has only the thread that forked: the simulator's lock,
    perhaps held by another thread at the fork, is free again (and nobody
    waits on CHANGED)."""
    reinit = getattr(CHANGED, "_at_fork_reinit", None)  # CPython's, for its own locks
    if reinit is not None:
        reinit()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_after_fork_in_child)

# An assumed text: GenApi itself takes NaN on a Float node without a word.
NOT_A_NUMBER = ("Value {value} is not a number. : OutOfRangeException thrown in node '{name}' "
                "while calling '{name}.SetValue()' (file 'FloatT.h', line 91)")
_FLOATS = frozenset(node.name for node in model.NODES if node.kind == "Float")
_XML: str | None = None


def xml() -> str:
    """The node map's XML, made once per process."""
    global _XML
    if _XML is None:
        _XML = nodemap.generate()
    return _XML


# pypylon releases without pylon's parameter classes (26.4) know no destructor
# for a port written in Python: they cannot free one, and say so on standard
# output when its proxy goes. Such a port is left to the process.
_PORT_WITHOUT_DESTRUCTOR = not hasattr(pylon, "IntegerParameter")


class Connection(NamedTuple):
    """A port and the GenApi node map connected to it. Whatever hands out a
    node of the map holds the connection too, so that map and port outlive
    their owner as long as a node is in use; it releases its last item
    first, the map before its port."""

    port: Any
    node_map: Any


def connect(text: str, port, port_name: str) -> Connection:
    """A GenApi node map loaded with ``text``, connected to ``port`` under
    ``port_name``."""
    node_map = genicam.CNodeMapRef()
    node_map._LoadXMLFromString(text)
    if _PORT_WITHOUT_DESTRUCTOR:
        port.thisown = False
    node_map._Connect(port, port_name)
    return Connection(port, node_map)


_PARAMETERS = {
    getattr(genicam, interface): getattr(pylon, parameter)
    for interface, parameter in (
        ("intfIInteger", "IntegerParameter"), ("intfIFloat", "FloatParameter"),
        ("intfIBoolean", "BooleanParameter"), ("intfIEnumeration", "EnumParameter"),
        ("intfIString", "StringParameter"), ("intfICommand", "CommandParameter"),
        ("intfICategory", "CategoryParameter"))
    if hasattr(pylon, parameter)
}


def parameter(connection: Connection, name):
    """The node ``name`` of the node map of ``connection``, as pypylon hands
    nodes out (pylon's parameter class), holding ``connection``."""
    node = connection.node_map.GetNode(name)  # raises LogicalErrorException for a name it lacks
    if _PARAMETERS:
        cls = _PARAMETERS.get(node.GetNode().GetPrincipalInterfaceType())
        node = cls(node) if cls is not None else pylon.ToParameter(node)
    object.__setattr__(node, "_sim_connection", connection)
    return node


class Port(genicam.CPortImpl):
    """A camera object's way to the device's registers: the port of its node
    map. Only the camera object that opened the device reaches them."""

    def __init__(self, device, owner):
        super().__init__()
        self._device = device
        self._registers = device.registers
        self._clock = device.acquisition
        self._owner = weakref.ref(owner)  # the node map lives as long as its camera

    def GetAccessMode(self):
        device, owner = self._device, self._owner()
        return genicam.RW if owner is not None and device.opened_by is owner \
            and not device.removed else genicam.NA

    # The device's clock first: the frames due were exposed with the settings
    # before, and timestamps, temperature and events are current.
    def Read(self, address, length):
        self._clock.tick()
        return self._registers.read(address, length)

    def Write(self, address, data):
        self._clock.tick()
        self._registers.write(address, data)


class MemoryPort(genicam.CPortImpl):
    """A port onto plain ``memory``: a node map of the simulator's own (the
    camera object's parameters, the grabbers', a result's chunks)."""

    def __init__(self, memory, writable=True):
        super().__init__()
        self.memory = memory
        self._access = genicam.RW if writable else genicam.RO

    def GetAccessMode(self):
        return self._access

    def Read(self, address, length):
        with LOCK:
            return bytes(self.memory[address:address + length])

    def Write(self, address, data):
        with LOCK:
            self.memory[address:address + len(data)] = data


_LAYOUT = nodemap.layout()


class Fields:
    """Slots read together, in one struct read: ``read(regs)`` gives their
    values from the registers or an overlay as a named tuple, an
    Enumeration's as its entry. ``slots``: {field: node name (a node without
    a selector) or (name, slot)}."""

    def __init__(self, **slots):
        spots, self._slots = [], []
        for field, slot in slots.items():
            name, index = (slot, None) if isinstance(slot, str) else slot
            address, count, length = _LAYOUT.registers[name]
            if length != 8 or not 0 <= (index or 0) < count or index is None and count > 1:
                raise ValueError(f"{field}: {slot!r} is not one value slot")
            self._slots.append((name, index or 0))
            spots.append((address + (index or 0) * length, name))
        ordered = sorted(spots)
        self._start, at, form = ordered[0][0], ordered[0][0], "<"
        for address, name in ordered:
            form += f"{address - at}x{'d' if name in _FLOATS else 'q'}"
            at = address + 8
        self._struct = struct.Struct(form)
        self._order = operator.itemgetter(*(ordered.index(spot) for spot in spots))
        self._entries = tuple(_ENTRY_OF.get(name) for name, _ in self._slots)
        self._tuple = collections.namedtuple("Values", slots)

    def read(self, regs):
        raw = self._order(self._struct.unpack_from(regs.memory, self._start))
        if regs.values:  # an overlay's
            raw = list(raw)
            for position, slot in enumerate(self._slots):
                value = regs.values.get(slot)
                if value is not None:
                    raw[position] = type(raw[position])(value)
        return tuple.__new__(self._tuple, [value if entries is None else entries[value]
                                           for value, entries in zip(raw, self._entries)])


class Registers:
    """A device's register space: ``derived`` {node name: reader(slot)} for
    the values the device computes, ``hooks`` {node name: hook(slot)} for
    what a write makes it do."""

    values = None  # no overlay's values (Fields.read)

    def __init__(self, derived: dict, hooks: dict):
        self._derived = derived
        self._hooks = hooks
        self.where = _LAYOUT.registers
        self.memory = bytearray(_LAYOUT.size)
        self.slots: dict[int, tuple[str, int]] = {}
        for name, (address, count, length) in self.where.items():
            for index in range(count):
                self.slots[address + index * length] = (name, index)

    # --- as the node maps' ports reach it
    def read(self, address, length):
        slot = self.slots.get(address)
        if slot is not None:
            reader = self._derived.get(slot[0])
            if reader is not None:
                value = reader(slot[1])
                if isinstance(value, bytes):  # a block (a Register node)
                    return value[:length]
                kind = model.BY_NAME[slot[0]].kind
                return (_FLOAT if kind == "Float" else _INT).pack(value)
        return bytes(self.memory[address:address + length])

    def write(self, address, data):
        slot = self.slots.get(address)
        if slot is not None and slot[0] in _FLOATS and len(data) == 8:
            value = _FLOAT.unpack(bytes(data))[0]
            if math.isnan(value):
                raise genicam.OutOfRangeException(NOT_A_NUMBER.format(value=value, name=slot[0]))
        with LOCK:
            self.memory[address:address + len(data)] = data
        if slot is not None:
            name, index = slot
            hook = self._hooks.get(name)
            if hook is not None:
                hook(index)
            if name in _COMMANDS:  # done: reads back other than its CommandValue
                self.memory[address:address + len(data)] = bytes(len(data))

    # --- the store's own access, by node name
    def slot(self, name, index=None) -> int:
        """The slot of node ``name`` that ``index`` names, or (None) its
        selector selects now: the only place that computes it."""
        if index is not None:
            return index
        node = model.BY_NAME.get(name)
        if node is None or node.selector is None or self.where[name][1] <= 1:
            return 0
        index = self.get_int(node.selector)
        selector = model.BY_NAME[node.selector]
        if selector.kind == "Integer":  # LUTIndex: a slot every inc values
            index = (index - selector.min) // selector.inc
        return index

    def _address(self, name, index):
        address, count, length = self.where[name]
        if index is None:
            index = self.slot(name) if count > 1 else 0
        return address + index * length

    def get_int(self, name, index=None):
        return _INT.unpack_from(self.memory, self._address(name, index))[0]

    def put_int(self, name, value, index=None):
        _INT.pack_into(self.memory, self._address(name, index), int(value))

    def get_float(self, name, index=None):
        return _FLOAT.unpack_from(self.memory, self._address(name, index))[0]

    def put_float(self, name, value, index=None):
        _FLOAT.pack_into(self.memory, self._address(name, index), float(value))

    def get_entry(self, name, index=None):
        return _ENTRY_OF[name][self.get_int(name, index)]

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


    def slot_values(self, names) -> dict:
        """{(name, index): value} of every slot of the nodes ``names``."""
        values = {}
        for name in names:
            getter = self.get_float if name in _FLOATS else self.get_int
            for index in range(self.where[name][1]):
                values[(name, index)] = getter(name, index)
        return values

    def put_slot_values(self, values: dict) -> None:
        for (name, index), value in values.items():
            (self.put_float if name in _FLOATS else self.put_int)(name, value, index)


class Overlay:
    """The registers as a frame sees them: ``values`` ({(name, index): value},
    as ``Registers.slot_values`` gives them) in place of the stored ones; read
    only (a sequencer set, an exposure a trigger's width gives)."""

    __slots__ = ("_registers", "values", "memory")

    def __init__(self, registers: Registers, values: dict):
        self._registers = registers
        self.values = values
        self.memory = registers.memory

    def _key(self, name, index):
        return (name, self._registers.slot(name, index))

    def get_int(self, name, index=None):
        value = self.values.get(self._key(name, index))
        return self._registers.get_int(name, index) if value is None else int(value)

    def get_float(self, name, index=None):
        value = self.values.get(self._key(name, index))
        return self._registers.get_float(name, index) if value is None else float(value)

    get_entry = Registers.get_entry
