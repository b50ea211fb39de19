"""The chunks of a frame of the simulated camera: pylon's chunk node map over
a grab result's chunk data, and the chunk chain the camera sends.

With ChunkModeActive the payload is a chain of chunks as the camera sends it:
the image data is the first chunk, followed by its chunk ID and its length
(32 bits each, little-endian); every enabled chunk follows in ChunkSelector
order as its data (8 bytes: a double for Gain and ExposureTime, an unsigned
integer for the others), its ID and its length. PayloadCRC16, when enabled, is
always last: the X-modem CRC (polynomial 0x1021, start 0) over everything
before it, the image chunk's ID and length included. The chunk IDs are assumed.
"""

from __future__ import annotations

import binascii
import functools
import struct

from . import model
from .nodemap import document, register
from .registers import MemoryPort, connect, parameter

_CHUNKS = model.BY_NAME["ChunkSelector"].entries
CHUNK_IDS = {name: 0x0A5A5A00 + index for index, name in enumerate(_CHUNKS, 1)}
IMAGE_CHUNK_ID = 0x0A5A5A00
_FLOAT_UNITS = {"Gain": "dB", "ExposureTime": "us"}  # the float chunks; the others: Integer
_TRAILER = struct.Struct("<II")


def _format(name) -> str:
    """How a chunk's value is packed: a double, or an unsigned integer."""
    return "<d" if name in _FLOAT_UNITS else "<Q"


@functools.lru_cache(maxsize=None)
def _chunk_xml() -> str:
    parts = []
    for index, name in enumerate(_CHUNKS):
        kind = "Float" if name in _FLOAT_UNITS else "Integer"
        reg = "FloatReg" if kind == "Float" else "IntReg"
        unit = f"<Unit>{_FLOAT_UNITS[name]}</Unit>" if name in _FLOAT_UNITS else ""
        parts.append(
            f'<{kind} Name="Chunk{name}"><pIsAvailable>P_{name}</pIsAvailable>'
            f"<ImposedAccessMode>RO</ImposedAccessMode><pValue>R_{name}</pValue>{unit}</{kind}>"
            + register(f"R_{name}", index * 8, "Chunk", kind=reg, access="RO", sign="Unsigned")
            + register(f"P_{name}", 0x100 + index * 8, "Chunk", access="RO", sign="Unsigned"))
    return document(model.MODEL_NAME, "Chunk data of the simulated camera", "C0002", "D0002",
                    [("Root", ["Chunk" + name for name in _CHUNKS])], parts, "Chunk")



class ChunkNodeMap:
    """A result's chunk nodes, as pylon parameters over GenApi: the enabled
    chunks are readable, the others are not available."""

    def __init__(self, values: dict):
        blob = bytearray(0x100 + 8 * len(_CHUNKS))
        for index, name in enumerate(_CHUNKS):
            if name in values:
                struct.pack_into(_format(name), blob, index * 8, values[name])
                struct.pack_into("<Q", blob, 0x100 + index * 8, 1)
        self._connection = connect(_chunk_xml(), MemoryPort(bytes(blob), writable=False), "Chunk")
        self._nodes: dict = {}

    def GetNode(self, name):
        node = self._nodes.get(name)
        if node is None:
            node = self._nodes[name] = parameter(self._connection, name)
        return node

    def GetNodes(self):
        return [self.GetNode("Chunk" + name) for name in _CHUNKS]


def payload(frame) -> bytes:
    """The frame's payload: its image, and with chunk mode its chunk chain."""
    data = frame.image()
    if frame.chunks is None:
        return data
    out = bytearray(data)
    out += _TRAILER.pack(IMAGE_CHUNK_ID, len(data))
    for name in _CHUNKS:
        if name in frame.chunks and name != "PayloadCRC16":
            out += struct.pack(_format(name), frame.chunks[name])
            out += _TRAILER.pack(CHUNK_IDS[name], 8)
    if "PayloadCRC16" in frame.chunks:
        out += struct.pack("<Q", binascii.crc_hqx(bytes(out), 0))
        out += _TRAILER.pack(CHUNK_IDS["PayloadCRC16"], 8)
    return bytes(out)


def crc(data) -> tuple:
    """(CRC the chain's PayloadCRC16 chunk holds, CRC of the data it covers)."""
    end = len(data) - 16  # the CRC chunk: value, ID, length
    return struct.unpack_from("<Q", data, end)[0], binascii.crc_hqx(data[:end], 0)
