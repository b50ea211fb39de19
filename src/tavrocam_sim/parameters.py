"""The instant camera's own parameters: ``camera.GetInstantCameraNodeMap()``.

A GenApi node map of the simulator's own, over a port of its own, as the
device's is: the names, defaults, bounds and locks are the ones pylon's
emulated camera shows (pypylon 26.10). Settings of the grab engine lock while
grabbing; GrabCameraEvents, MonitorModeActive and MigrationModeActive lock
while the camera is open; a thread priority is read-only unless its override
is on; OutputQueueSize stays writable while grabbing with LatestImages (and
reads the output queue's size in use while grabbing); NumQueuedBuffers,
NumReadyBuffers and NumEmptyBuffers count the stream's buffers.
"""

from __future__ import annotations

import functools
import struct
import weakref

from .nodemap import document, knife, register
from .registers import MemoryPort, connect, parameter

_UINT32 = 0xFFFFFFFF
# name, kind, default, min, max, lock: "grab" (while grabbing), "open" (while
# open), "queue" (while grabbing other than LatestImages), "ro" (counted by the
# stream), "none", or the name of the override that unlocks a priority.
PARAMETERS = (
    ("MaxNumBuffer", "Integer", 10, 1, _UINT32, "grab"),
    ("MaxNumQueuedBuffer", "Integer", 50, 1, _UINT32, "grab"),
    ("MaxNumGrabResults", "Integer", _UINT32, 1, _UINT32, "grab"),
    ("ChunkNodeMapsEnable", "Boolean", 1, 0, 1, "grab"),
    ("StaticChunkNodeMapPoolSize", "Integer", 0, 0, _UINT32, "grab"),
    ("GrabCameraEvents", "Boolean", 0, 0, 1, "open"),
    ("MonitorModeActive", "Boolean", 0, 0, 1, "open"),
    ("MigrationModeActive", "Boolean", 0, 0, 1, "open"),
    ("NumQueuedBuffers", "Integer", 0, 0, _UINT32, "ro"),
    ("NumReadyBuffers", "Integer", 0, 0, _UINT32, "ro"),
    ("NumEmptyBuffers", "Integer", 0, 0, _UINT32, "ro"),
    ("OutputQueueSize", "Integer", 5, 0, _UINT32, "queue"),
    ("ClearBufferModeEnable", "Boolean", 0, 0, 1, "grab"),
    ("AcquisitionStartStopExecutionEnable", "Boolean", 1, 0, 1, "grab"),
    ("UseExtendedIdIfAvailable", "Boolean", 1, 0, 1, "grab"),
    ("BufferHandlingMode", "Enumeration", 0, 0, 1, "none"),
    ("InternalGrabEngineThreadPriorityOverride", "Boolean", 0, 0, 1, "grab"),
    ("InternalGrabEngineThreadPriority", "Integer", 25, 0, 99,
     "InternalGrabEngineThreadPriorityOverride"),
    ("GrabLoopThreadUseTimeout", "Boolean", 0, 0, 1, "grab"),
    ("GrabLoopThreadTimeout", "Integer", 5000, 0, _UINT32 - 1, "grab"),
    ("GrabLoopThreadPriorityOverride", "Boolean", 0, 0, 1, "grab"),
    ("GrabLoopThreadPriority", "Integer", 0, 0, 99, "GrabLoopThreadPriorityOverride"),
    ("EventGrabLoopThreadPriorityOverride", "Boolean", 0, 0, 1, "none"),
    ("EventGrabLoopThreadPriority", "Integer", 0, 0, 99, "EventGrabLoopThreadPriorityOverride"),
)
NAMES = frozenset(row[0] for row in PARAMETERS)
_ADDRESS = {row[0]: 8 * index for index, row in enumerate(PARAMETERS)}
_STATE = 8 * len(PARAMETERS)   # grabbing, open, grabbing with LatestImages: three registers
_FLAGS = ("Grabbing", "Opened", "LatestGrab")
_LOCKS = {"grab": "Grabbing", "open": "Opened", "queue": "Grabbing && (LatestGrab = 0)"}
_Q = struct.Struct("<q")


class _Port(MemoryPort):
    """The parameters' memory; the camera object's state answers the live ones."""

    def __init__(self, state):
        super().__init__(bytearray(_STATE + 8 * len(_FLAGS)))
        self.state = weakref.ref(state)
        for name, _, default, *_ in PARAMETERS:
            _Q.pack_into(self.memory, _ADDRESS[name], default)

    def Read(self, address, length):
        state = self.state()
        if state is not None:
            if address >= _STATE:
                flags = state.parameter_flags()
                return _Q.pack(flags[(address - _STATE) // 8])
            live = state.live_parameter(PARAMETERS[address // 8][0])
            if live is not None:
                return _Q.pack(live)
        return super().Read(address, length)

    def Write(self, address, data):
        super().Write(address, data)
        state = self.state()
        if state is not None:
            state.parameter_written(PARAMETERS[address // 8][0], _Q.unpack(bytes(data))[0])

    def value(self, name):
        return _Q.unpack_from(self.memory, _ADDRESS[name])[0]


@functools.lru_cache(maxsize=None)
def xml() -> str:
    parts = [register("R_" + flag, _STATE + 8 * index, "InstantCamera", access="RO",
                      cache="NoCache")
             for index, flag in enumerate(_FLAGS)]
    for name, kind, default, low, high, lock in PARAMETERS:
        head = "<ImposedAccessMode>RO</ImposedAccessMode>" if lock == "ro" else ""
        if lock not in ("ro", "none"):  # a priority: read-only unless its override is on
            parts.append(knife(name + "_Locked", _LOCKS.get(lock, f"{lock} = 0")))
            head = f"<pIsLocked>{name}_Locked</pIsLocked>"
        live = lock in ("ro", "queue")
        parts.append(register("R_" + name, _ADDRESS[name], "InstantCamera",
                              cache="NoCache" if live else "WriteThrough"))
        if kind == "Integer":
            body = f"<pValue>R_{name}</pValue><Min>{low}</Min><Max>{high}</Max><Inc>1</Inc>"
        elif kind == "Boolean":
            body = f"<pValue>R_{name}</pValue><OnValue>1</OnValue><OffValue>0</OffValue>"
        else:
            body = ('<EnumEntry Name="Pool"><Value>0</Value></EnumEntry>'
                    '<EnumEntry Name="Stream"><Value>1</Value></EnumEntry>'
                    f"<pValue>R_{name}</pValue>")
        parts.append(f'<{kind} Name="{name}">{head}{body}</{kind}>')
    return document("InstantCamera", "Parameters of the camera object", "C0003", "D0003",
                    [("Root", [row[0] for row in PARAMETERS])], parts, "InstantCamera")


# The node maps, held here rather than by their camera objects: a camera object
# in a reference cycle goes only in the last collection at exit, after
# pypylon's SWIG types, and its port must go while those still exist.
_CONNECTIONS: weakref.WeakKeyDictionary = weakref.WeakKeyDictionary()


class Parameters:
    """One camera object's parameters: ``node_map`` (what pypylon's
    GetInstantCameraNodeMap gives), ``node(name)`` and ``value(name)``."""

    def __init__(self, state):
        _CONNECTIONS[self] = connect(xml(), _Port(state), "InstantCamera")
        self._nodes: dict = {}

    @property
    def connection(self):
        return _CONNECTIONS[self]

    def node(self, name):
        node = self._nodes.get(name)
        if node is None:
            node = self._nodes[name] = parameter(self.connection, name)
        return node

    def value(self, name) -> int:
        """The value set (not the one in use while grabbing), read without GenApi."""
        return self.connection.port.value(name)

    def invalidate(self):
        self.connection.node_map._InvalidateNodes()
