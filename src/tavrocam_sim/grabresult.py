"""pylon's grab result for a frame of the simulated camera, and its chunks.

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
import contextlib
import struct
import sys
import warnings

from .pypylon_sdk import genicam, pylon as _pylon

from . import image, model
from .registers import connect, description, parameter

_CHUNKS = model.BY_NAME["ChunkSelector"].entries
CHUNK_IDS = {name: 0x0A5A5A00 + index for index, name in enumerate(_CHUNKS, 1)}
IMAGE_CHUNK_ID = 0x0A5A5A00
_CHUNK_KINDS = {"Gain": "Float", "ExposureTime": "Float"}
_CHUNK_UNITS = {"Gain": "dB", "ExposureTime": "us"}
_TRAILER = struct.Struct("<II")
NULL_RESULT = ("No grab result data is referenced. Cannot access NULL pointer. : "
               "RuntimeException thrown (file 'GrabResultPtr.cpp', line 87)")
NO_CRC = ("The grab result does not contain a CRC checksum. : RuntimeException thrown "
          "(file 'GrabResultData.cpp', line 1)")  # assumed
NO_NUMPY = "please install numpy to use this method"
PACKED_ARRAY = "Packed Formats are not supported with numpy interface"
KEPT_ARRAY = "Please remove any references to the array before leaving context manager scope!!!"
NO_COMPONENT = ("index out of range. : OutOfRangeException thrown "
                "(file 'PylonDataContainer.cpp', line 515)")
DEPRECATED_COMPONENT = "GetDataComponent is deprecated. Use GetDataComponentByIndex instead."
# SWIG's overload error, as pypylon raises it for pylon.GrabResult(<not a grab result>).
BAD_COPY = ("Wrong number or type of arguments for overloaded function 'new_GrabResult'.\n"
            "  Possible C/C++ prototypes are:\n"
            "    Pylon::CGrabResultPtr::CGrabResultPtr()\n"
            "    Pylon::CGrabResultPtr::CGrabResultPtr(Pylon::CGrabResultPtr const &)\n")


class _ChunkPort(genicam.CPortImpl):
    def __init__(self, blob: bytes):
        super().__init__()
        self.blob = blob

    def GetAccessMode(self):
        return genicam.RO

    def Read(self, address, length):
        return self.blob[address:address + length]

    def Write(self, address, data):  # read-only registers: GenApi never calls this
        raise genicam.AccessException("Chunk data is read-only.")


def _chunk_xml() -> str:
    parts = []
    for index, name in enumerate(_CHUNKS):
        kind = _CHUNK_KINDS.get(name, "Integer")
        reg = "FloatReg" if kind == "Float" else "IntReg"
        sign = "" if kind == "Float" else "<Sign>Unsigned</Sign>"
        unit = f"<Unit>{_CHUNK_UNITS[name]}</Unit>" if name in _CHUNK_UNITS else ""
        parts.append(
            f'<{kind} Name="Chunk{name}"><pIsAvailable>P_{name}</pIsAvailable>'
            f"<ImposedAccessMode>RO</ImposedAccessMode><pValue>R_{name}</pValue>{unit}</{kind}>"
            f'<{reg} Name="R_{name}"><Address>{index * 8:#x}</Address><Length>8</Length>'
            f"<AccessMode>RO</AccessMode><pPort>Chunk</pPort>{sign}"
            f"<Endianess>LittleEndian</Endianess></{reg}>"
            f'<IntReg Name="P_{name}"><Address>{0x100 + index * 8:#x}</Address><Length>8</Length>'
            f"<AccessMode>RO</AccessMode><pPort>Chunk</pPort><Sign>Unsigned</Sign>"
            f"<Endianess>LittleEndian</Endianess></IntReg>")
    return description(model.MODEL_NAME, "Chunk data of the simulated camera", "0002",
                        ["Chunk" + name for name in _CHUNKS], parts, "Chunk")


_CHUNK_XML = None


class ChunkNodeMap:
    """A result's chunk nodes, as pylon parameters over GenApi: the enabled
    chunks are readable, the others are not available."""

    def __init__(self, values: dict):
        global _CHUNK_XML
        if _CHUNK_XML is None:
            _CHUNK_XML = _chunk_xml()
        blob = bytearray(0x100 + 8 * len(_CHUNKS))
        for index, name in enumerate(_CHUNKS):
            if name in values:
                fmt = "<d" if name in _CHUNK_KINDS else "<Q"
                struct.pack_into(fmt, blob, index * 8, values[name])
                struct.pack_into("<Q", blob, 0x100 + index * 8, 1)
        self._keep = connect(_CHUNK_XML, _ChunkPort(bytes(blob)), "Chunk")
        self._nodes: dict = {}

    def GetNode(self, name):
        node = self._nodes.get(name)
        if node is None:
            node = self._nodes[name] = parameter(self._keep, name)
        return node

    def GetNodes(self):
        return [self.GetNode("Chunk" + name) for name in _CHUNKS]


def payload(frame) -> bytes:
    """The frame's payload: its image, and with chunk mode its chunk chain."""
    data = image.frame(frame.settings, frame.number)
    if frame.chunks is None:
        return data
    out = bytearray(data)
    out += _TRAILER.pack(IMAGE_CHUNK_ID, len(data))
    for name in _CHUNKS:
        if name in frame.chunks and name != "PayloadCRC16":
            out += struct.pack("<d" if name in _CHUNK_KINDS else "<Q", frame.chunks[name])
            out += _TRAILER.pack(CHUNK_IDS[name], 8)
    if "PayloadCRC16" in frame.chunks:
        out += struct.pack("<Q", binascii.crc_hqx(bytes(out), 0))
        out += _TRAILER.pack(CHUNK_IDS["PayloadCRC16"], 8)
    return bytes(out)


def _null():
    raise _pylon.RuntimeException(NULL_RESULT)


class _Share:
    """What every reference to one grab result shares (pylon's grab result
    data): the frame, its payload once made, the camera context, and how many
    references hold it."""

    __slots__ = ("frame", "image_number", "context", "data", "refs")

    def __init__(self, frame, image_number, context):
        self.frame, self.image_number, self.context = frame, image_number, context
        self.data = None
        self.refs = 1


class GrabResult:
    """pylon's grab result (``pylon.GrabResult``) for a frame of the simulated
    camera; without a frame (a timeout, after ``Release``) every access but
    ``IsValid``, ``IsUnique``, ``Release`` and ``bool()`` raises pylon's
    RuntimeException, as pypylon's does. ``GrabResult(result)`` is a second
    reference to the same data (``IsUnique()`` is False while both hold it);
    given one of pylon's own results it is pylon's."""

    def __new__(cls, *args):
        if len(args) == 1 and isinstance(args[0], _pylon.GrabResult):
            return _pylon.GrabResult(args[0])
        if len(args) > 1 or args and not isinstance(args[0], GrabResult):
            raise TypeError(BAD_COPY)
        return super().__new__(cls)

    def __init__(self, *args):
        d = self.__dict__
        share = args[0].__dict__["_share"] if args else None
        if share is not None:
            share.refs += 1
        d["_share"] = share
        d["_frame"] = share.frame if share is not None else None
        d["_chunk_map"] = None

    @classmethod
    def of(cls, frame, image_number=0, context=0):
        """The result the grab engine hands out for ``frame``."""
        result = cls()
        result.__dict__["_share"] = _Share(frame, image_number, context)
        result.__dict__["_frame"] = frame
        return result

    def _f(self) -> "acquisition.Frame":
        frame = self.__dict__["_frame"]
        if frame is None:
            _null()
        return frame

    # --- validity
    def IsValid(self):
        return self.__dict__["_frame"] is not None

    def __bool__(self):
        return self.IsValid()

    def IsUnique(self):
        share = self.__dict__["_share"]
        return share is not None and share.refs == 1

    def Release(self):
        d = self.__dict__
        share = d.get("_share")
        if share is not None:
            share.refs -= 1
        d["_share"] = d["_frame"] = d["_chunk_map"] = None

    def __del__(self):
        if self.__dict__.get("_share") is not None:
            self.Release()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.Release()
        return False

    def GrabSucceeded(self):
        return self._f().error is None

    def GetErrorCode(self):
        error = self._f().error
        return 0 if error is None else error[0]

    def GetErrorDescription(self):
        error = self._f().error
        return "" if error is None else error[1]

    # --- the image
    def GetWidth(self):
        return self._f().settings.width

    def GetHeight(self):
        return self._f().settings.height

    def GetOffsetX(self):
        return self._f().settings.offset_x

    def GetOffsetY(self):
        return self._f().settings.offset_y

    def GetPaddingX(self):
        self._f()
        return 0

    def GetPaddingY(self):
        self._f()
        return 0

    def GetPixelType(self):
        return pixel_type(self._f().settings.pixel_format)

    def GetImageSize(self):
        return image.image_size(self._f().settings)

    def GetPayloadType(self):
        frame = self._f()
        return _pylon.PayloadType_ChunkData if frame.chunks is not None else \
            _pylon.PayloadType_Image

    def _payload(self) -> bytearray:
        """The buffer every reference to the result shares (writable, as
        pylon's buffer is through GetArrayZeroCopy)."""
        frame = self._f()
        share = self.__dict__["_share"]
        if share.data is None:
            share.data = bytearray(payload(frame))
        return share.data

    def GetPayloadSize(self):
        self._f()
        return len(self._payload())

    def GetBufferSize(self):
        return self.GetPayloadSize()

    def GetBuffer(self):
        """The payload (image and chunk data), a copy, as pypylon gives it."""
        return bytearray(self._payload())

    def GetImageBuffer(self):
        return bytearray(self._payload()[:self.GetImageSize()])

    def _view(self):
        """A memoryview of the image in the shared buffer itself."""
        return memoryview(self._payload())[:self.GetImageSize()]

    def GetMemoryView(self):
        return memoryview(self.GetBuffer())

    def GetImageMemoryView(self):
        return memoryview(self.GetImageBuffer())

    def GetImageFormat(self, pt=None):
        """(shape, dtype, struct format) of the image as a numpy array."""
        if image.numpy is None:
            raise NotImplementedError(NO_NUMPY)
        pt = self.GetPixelType() if pt is None else pt
        if _pylon.IsPacked(pt):
            raise ValueError(PACKED_ARRAY)
        s = self._f().settings
        np = image.numpy
        if pt in (_pylon.PixelType_RGB8packed, _pylon.PixelType_BGR8packed):
            return (s.height, s.width, 3), np.uint8, "B"
        if pt == _pylon.PixelType_YUV422_YUYV_Packed:
            return (s.height, s.width, 2), np.uint8, "B"
        if image.bits(s.pixel_format) == 12:
            return (s.height, s.width), np.uint16, "H"
        return (s.height, s.width), np.uint8, "B"

    def GetArray(self, raw=False):
        """The image as a numpy array (a copy), shaped and typed as pypylon
        shapes it; a packed 12-bit image comes unpacked, as uint16."""
        if image.numpy is None:
            raise NotImplementedError(NO_NUMPY)
        np = image.numpy
        if raw:
            return np.frombuffer(self.GetBuffer(), np.uint8)
        s = self._f().settings
        if s.pixel_format.endswith("12p"):
            frame = self._f()
            values = image.frame_values(frame.settings, frame.number)
            return values.reshape(s.height, s.width).copy()
        shape, dtype, _ = self.GetImageFormat()
        return np.frombuffer(self.GetImageBuffer(), dtype).reshape(shape)

    Array = property(GetArray)

    # --- counters and time
    def GetImageNumber(self):
        self._f()
        return self.__dict__["_share"].image_number

    def GetNumberOfSkippedImages(self):
        return self._f().skipped

    def GetTimeStamp(self):
        return self._f().timestamp

    def GetBlockID(self):
        return self._f().block_id

    def GetID(self):
        return self._f().id

    # --- chunks
    def IsChunkDataAvailable(self):
        return self._f().chunks is not None

    def GetChunkDataNodeMap(self):
        frame = self._f()
        chunk_map = self.__dict__["_chunk_map"]
        if chunk_map is None:
            values = dict(frame.chunks or {})
            if "PayloadCRC16" in values:
                values["PayloadCRC16"] = self._crc()[0]
            chunk_map = self.__dict__["_chunk_map"] = ChunkNodeMap(values)
        return chunk_map

    def _crc(self):
        """(CRC the chunk holds, CRC of the data it covers)."""
        data = self._payload()
        end = len(data) - 16  # the CRC chunk: value, ID, length
        return struct.unpack_from("<Q", data, end)[0], binascii.crc_hqx(data[:end], 0)

    def HasCRC(self):
        chunks = self._f().chunks
        return chunks is not None and "PayloadCRC16" in chunks

    def CheckCRC(self):
        """Whether the CRC chunk matches the data; pylon raises without one."""
        if not self.HasCRC():
            raise _pylon.RuntimeException(NO_CRC)
        held, computed = self._crc()
        return held == computed

    # --- the data container (one image component for this camera)
    def GetDataComponentCount(self):
        self._f()
        return 1

    def GetDataContainer(self):
        self._f()
        return DataContainer(self)

    def GetDataComponentByIndex(self, index):
        return self.GetDataContainer().GetDataComponentByIndex(index)

    def GetFirstImageDataComponent(self):
        return self.GetDataContainer().GetFirstImageDataComponent()

    def GetDataComponentByType(self, component_type):
        return self.GetDataContainer().GetDataComponentByType(component_type)

    def GetCameraContext(self):
        self._f()
        return self.__dict__["_share"].context

    def GetBufferContext(self):
        self._f()
        return None

    def GetStride(self):
        """[True, bytes a row], as pypylon gives it (no padding)."""
        s = self._f().settings
        return [True, image.image_size(s) // s.height]

    def GetArrayZeroCopy(self, raw=False):
        """A context manager giving a numpy array over the result's buffer
        itself (a packed image comes unpacked, as a copy). The array must be
        let go of inside the block, else pypylon's RuntimeError."""
        return _zero_copy(self, raw)

    def GetChunkNode(self, name):
        return self.GetChunkDataNodeMap().GetNode(name)

    def __getattr__(self, attribute):
        if attribute.startswith("_") or attribute in ("this", "thisown"):
            raise AttributeError(attribute)
        if self.IsChunkDataAvailable():
            try:
                return self.GetChunkNode(attribute)
            except genicam.LogicalErrorException:
                pass
        raise AttributeError("no attribute '%s' in GrabResult" % attribute)

    def __setattr__(self, attribute, value):
        if self.IsChunkDataAvailable():
            try:
                node = self.GetChunkNode(attribute)
            except genicam.LogicalErrorException:
                pass
            else:
                node.SetValue(value)
                return
        raise AttributeError("no attribute '%s' in GrabResult" % attribute)

    def __repr__(self):
        if not self.IsValid():
            return "<GrabResult of the simulated camera (no data)>"
        s = self.__dict__["_frame"].settings
        return (f"<GrabResult of the simulated camera: {s.width} x {s.height} {s.pixel_format}, "
                f"image {self.__dict__['_share'].image_number}>")


def _channels(pixel_type):
    return 3 if pixel_type in (_pylon.PixelType_RGB8packed, _pylon.PixelType_BGR8packed) else \
        2 if pixel_type == _pylon.PixelType_YUV422_YUYV_Packed else 1


@contextlib.contextmanager
def _zero_copy(image_like, raw):
    if image.numpy is None:
        raise NotImplementedError(NO_NUMPY)
    if _pylon.IsPacked(image_like.GetPixelType()):
        yield image_like.GetArray()
        return
    view = image_like._view()
    if not raw:
        shape, _, fmt = image_like.GetImageFormat()
        view = view.cast(fmt, shape)
    array = image.numpy.asarray(view)
    held = sys.getrefcount(array)
    yield array
    if sys.getrefcount(array) > held + 1:
        raise RuntimeError(KEPT_ARRAY)
    view.release()


class DataContainer:
    """pylon's PylonDataContainer of a grab result of the simulated camera:
    one component, the image."""

    def __init__(self, result):
        self._result = GrabResult(result)

    def GetDataComponentCount(self):
        return 1 if self._result.IsValid() else 0

    DataComponentCount = property(GetDataComponentCount)

    def GetDataComponentByIndex(self, index):
        if isinstance(index, bool) or not isinstance(index, int):
            raise TypeError("in method 'PylonDataContainer_GetDataComponentByIndex', "
                            "argument 2 of type 'size_t'")
        if index < 0:
            raise OverflowError("in method 'PylonDataContainer_GetDataComponentByIndex', "
                                "argument 2 of type 'size_t'")
        if index >= self.GetDataComponentCount():
            raise _pylon.OutOfRangeException(NO_COMPONENT)
        return DataComponent(self._result)

    def GetDataComponent(self, index):
        warnings.warn(DEPRECATED_COMPONENT, DeprecationWarning, stacklevel=2)
        return self.GetDataComponentByIndex(index)

    def GetFirstImageDataComponent(self):
        return self.GetDataComponentByIndex(0)

    def GetDataComponentByType(self, component_type):
        """The components of ``component_type``, a list as pypylon gives it."""
        return [DataComponent(self._result)] if self.GetDataComponentCount() and \
            component_type == _pylon.ComponentType_Intensity else []

    def Release(self):
        self._result.Release()

    def __repr__(self):
        return f"<PylonDataContainer of the simulated camera: " \
               f"{self.GetDataComponentCount()} component(s)>"


class DataComponent:
    """pylon's PylonDataComponent: the image of a simulated grab result.
    Released, it is invalid and its sizes read 0, as pylon's."""

    def __init__(self, result):
        self._result = GrabResult(result)

    def IsValid(self):
        return self._result.IsValid()

    def Release(self):
        self._result.Release()

    def _get(self, name, empty=0):
        return getattr(self._result, name)() if self._result.IsValid() else empty

    def GetComponentType(self):
        return _pylon.ComponentType_Intensity if self.IsValid() else \
            _pylon.ComponentType_Undefined

    def GetComponentIndex(self):
        return 0

    def GetSourceId(self):
        return 0

    def GetTimeStamp(self):
        return 0

    def GetWidth(self):
        return self._get("GetWidth")

    def GetHeight(self):
        return self._get("GetHeight")

    def GetOffsetX(self):
        return self._get("GetOffsetX")

    def GetOffsetY(self):
        return self._get("GetOffsetY")

    def GetPaddingX(self):
        return self._get("GetPaddingX")

    def GetPaddingY(self):
        return self._get("GetPaddingY")

    def GetPixelType(self):
        return self._get("GetPixelType", _pylon.PixelType_Undefined)

    def GetStride(self):
        return self._get("GetStride", [False, 0])

    def GetDataSize(self):
        return self._get("GetImageSize")

    def GetData(self):
        return self._get("GetImageBuffer", bytearray())

    def GetMemoryView(self):
        return memoryview(self.GetData())

    def _view(self):
        return self._result._view()

    def GetImageFormat(self, pt=None):
        return self._result.GetImageFormat(pt)

    def GetArray(self, raw=False):
        return self._result.GetArray(raw)

    def GetArrayZeroCopy(self, raw=False):
        return _zero_copy(self, raw)

    Array = property(GetArray)

    def __repr__(self):
        return f"<PylonDataComponent of the simulated camera: {self.GetWidth()} x " \
               f"{self.GetHeight()}>"


for _name in ("ComponentType", "ComponentIndex", "SourceId", "TimeStamp", "Width", "Height",
              "OffsetX", "OffsetY", "PaddingX", "PaddingY", "PixelType", "DataSize", "Data",
              "ImageFormat"):
    setattr(DataComponent, _name, property(getattr(DataComponent, "Get" + _name)))


for _name in ("Width", "Height", "OffsetX", "OffsetY", "PaddingX", "PaddingY", "PixelType",
              "ImageSize", "PayloadType", "PayloadSize", "BufferSize", "Buffer", "ImageNumber",
              "NumberOfSkippedImages", "TimeStamp", "BlockID", "ID", "ErrorCode",
              "ErrorDescription", "ChunkDataNodeMap", "CameraContext", "BufferContext",
              "DataContainer", "DataComponentCount"):
    setattr(GrabResult, _name, property(getattr(GrabResult, "Get" + _name)))


def pixel_type(pixel_format: str) -> int:
    """pylon's PixelType_* of a PixelFormat entry (pylon's own mapping)."""
    if pixel_format == "YCbCr422_8":
        return _pylon.PixelType_YUV422_YUYV_Packed
    name = {"RGB8": "RGB8packed", "BGR8": "BGR8packed"}.get(pixel_format, pixel_format)
    return getattr(_pylon, "PixelType_" + name)


