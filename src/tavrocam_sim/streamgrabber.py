"""The node maps of a simulated camera's transport layer, stream grabber and event grabber.

What ``camera.GetTLNodeMap()``, ``GetStreamGrabberNodeMap()`` and
``GetEventGrabberNodeMap()`` give: GenApi node maps of the simulator's own,
each over a port of its own, one per device. pylon's emulator shows an empty
transport layer and event grabber node map; the stream grabber's settings
here are those of pylon's USB stream grabber, with assumed values
(MaxNumBuffer 16, MaxTransferSize 256 KiB, NumMaxQueuedUrbs 64,
MaxBufferSize the payload size when first asked). Its statistics are not
simulated: their names are not in the map.
"""

from __future__ import annotations

import struct
import weakref

from .nodemap import document, register
from .registers import MemoryPort, connect, parameter

_INT64 = 2 ** 63 - 1
# name, default (None: the device's payload size), min, max
STREAM_GRABBER = (
    ("MaxNumBuffer", 16, 1, _INT64),
    ("MaxBufferSize", None, 1, _INT64),
    ("MaxTransferSize", 262144, 1024, 4194304),
    ("NumMaxQueuedUrbs", 64, 1, 1024),
)
_ROWS = {"TransportLayer": (), "EventGrabber": (), "StreamGrabber": STREAM_GRABBER}
_GUIDS = {"TransportLayer": "0004", "EventGrabber": "0005", "StreamGrabber": "0006"}


def _xml(kind):
    parts = []
    for index, (name, _, low, high) in enumerate(_ROWS[kind]):
        parts.append(register(f"R_{name}", 8 * index, kind, cache="WriteThrough"))
        parts.append(f'<Integer Name="{name}"><pValue>R_{name}</pValue><Min>{low}</Min>'
                     f"<Max>{high}</Max><Inc>1</Inc></Integer>")
    return document(kind, f"The {kind} of the simulated camera", "C" + _GUIDS[kind],
                    "D" + _GUIDS[kind], [("Root", [row[0] for row in _ROWS[kind]])], parts, kind)


class GrabberNodes:
    """One node map: ``connection`` (registers.Connection), ``names`` and ``node(name)``."""

    def __init__(self, device, kind):
        values = [device.acquisition.payload_size() if default is None else default
                  for _, default, _, _ in _ROWS[kind]]
        memory = bytearray(8 * max(1, len(values)))
        struct.pack_into(f"<{len(values)}q", memory, 0, *values)
        self.connection = connect(_xml(kind), MemoryPort(memory), kind)
        self.names = [row[0] for row in _ROWS[kind]]
        self._nodes: dict = {}

    def node(self, name):
        node = self._nodes.get(name)
        if node is None:
            node = self._nodes[name] = parameter(self.connection, name)
        return node


_MAPS: weakref.WeakKeyDictionary = weakref.WeakKeyDictionary()


def node_map(device, kind) -> GrabberNodes:
    """The ``kind`` node map of ``device`` ("TransportLayer", "StreamGrabber",
    "EventGrabber"), made on first use."""
    maps = _MAPS.setdefault(device, {})
    if kind not in maps:
        maps[kind] = GrabberNodes(device, kind)
    return maps[kind]
