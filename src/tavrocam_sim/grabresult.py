"""pylon's grab result for a frame of the simulated camera: its image, its
counters, its chunks (tavrocam_sim.chunks) and its data container
(tavrocam_sim.datacontainer)."""

from __future__ import annotations

import threading

from .pypylon_sdk import genicam, pylon as _pylon

from . import chunks, image
from .datacontainer import NO_NUMPY, DataContainer, zero_copy
NULL_RESULT = ("No grab result data is referenced. Cannot access NULL pointer. : "
               "RuntimeException thrown (file 'GrabResultPtr.cpp', line 87)")
NO_CRC = ("The grab result does not contain a CRC checksum. : RuntimeException thrown "
          "(file 'GrabResultData.cpp', line 1)")  # assumed
PACKED_ARRAY = "Packed Formats are not supported with numpy interface"
# SWIG's overload error, as pypylon raises it for pylon.GrabResult(<not a grab result>).
BAD_COPY = ("Wrong number or type of arguments for overloaded function 'new_GrabResult'.\n"
            "  Possible C/C++ prototypes are:\n"
            "    Pylon::CGrabResultPtr::CGrabResultPtr()\n"
            "    Pylon::CGrabResultPtr::CGrabResultPtr(Pylon::CGrabResultPtr const &)\n")


_REFS = threading.Lock()  # the references' counts
_ARRAYS: dict = {}  # pixel format -> (a pixel's samples beyond the first, numpy dtype)


def _payload_of(frame):
    """The frame's payload: its image, with chunk mode its chunk chain too."""
    return frame.image() if frame.chunks is None else chunks.payload(frame)


def _null():
    raise _pylon.RuntimeException(NULL_RESULT)


class _Share:
    """What every reference to one grab result shares (pylon's grab result
    data): the frame, its payload once made, the camera context, how many
    references hold it, and the stream whose buffer it keeps until the last
    reference lets it go."""

    __slots__ = ("frame", "image_number", "context", "data", "refs", "stream")

    def __init__(self, frame, image_number, context, stream=None):
        self.frame, self.image_number, self.context = frame, image_number, context
        self.data = None
        self.refs = 1
        self.stream = stream

    def drop(self):
        """One reference fewer; the last gives the stream its buffer back and
        the frame's image buffer to a later frame."""
        with _REFS:
            self.refs -= 1
            last = self.refs == 0
            stream, self.stream = (self.stream, None) if last else (None, None)
        if last:
            if stream is not None:
                stream.give_back()
            self.frame.recycle()


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
            with _REFS:
                share.refs += 1
        d["_share"] = share
        d["_frame"] = share.frame if share is not None else None
        d["_chunk_map"] = None

    @classmethod
    def of(cls, frame, image_number=0, context=0, stream=None):
        """The result the grab engine hands out for ``frame``, holding its
        buffer of ``stream`` until released."""
        result = object.__new__(cls)
        result.__dict__.update(_share=_Share(frame, image_number, context, stream),
                               _frame=frame, _chunk_map=None)
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
        d["_share"] = d["_frame"] = d["_chunk_map"] = None
        if share is not None:
            share.drop()

    __del__ = Release

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.Release()
        return False

    def GrabSucceeded(self):
        return self._f().outcome() is None

    def GetErrorCode(self):
        error = self._f().outcome()
        return 0 if error is None else error[0]

    def GetErrorDescription(self):
        error = self._f().outcome()
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

    GetPaddingY = GetPaddingX

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
            share.data = bytearray(_payload_of(frame))
        return share.data

    def _data(self):
        """The payload to read: the shared buffer once one was made (its
        bytes may have been written through it), else the frame's own."""
        frame = self._f()
        share = self.__dict__["_share"]
        return share.data if share.data is not None else _payload_of(frame)

    def GetPayloadSize(self):
        return len(self._data())

    GetBufferSize = GetPayloadSize

    def GetBuffer(self):
        """The payload (image and chunk data), a copy, as pypylon gives it."""
        return bytearray(self._data())

    def GetImageBuffer(self):
        return bytearray(memoryview(self._data())[:self.GetImageSize()])

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
            values = np.empty((s.height, s.width), np.uint16)
            image.core.unpack12(memoryview(self._data())[:self.GetImageSize()],
                                s.width * s.height, values)
            return values
        layout = _ARRAYS.get(s.pixel_format)
        if layout is None:
            shape, dtype, _ = self.GetImageFormat()
            layout = _ARRAYS[s.pixel_format] = (shape[2:], dtype)
        image_data = memoryview(self._data())[:image.image_size(s)]
        return np.frombuffer(image_data, layout[1]).reshape(s.height, s.width,
                                                            *layout[0]).copy()

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
            chunk_map = self.__dict__["_chunk_map"] = chunks.ChunkNodeMap(values)
        return chunk_map

    def _crc(self):
        """(CRC the chunk holds, CRC of the data it covers)."""
        return chunks.crc(self._data())

    def HasCRC(self):
        enabled = self._f().chunks
        return enabled is not None and "PayloadCRC16" in enabled

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
        return zero_copy(self, raw)

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


