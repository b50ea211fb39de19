"""Grabbing from the simulated acA2040-55uc: pypylon's grab calls and grab results.

``Grabbing`` gives the camera object pypylon's ``StartGrabbing``,
``StartGrabbingMax``, ``RetrieveResult``, ``GrabOne``, ``IsGrabbing``,
``StopGrabbing``, ``ExecuteSoftwareTrigger`` and ``WaitForFrameTriggerReady``
with their argument rules, texts and exception classes (pylon's own, as the
emulator shows them). Starting executes ``AcquisitionStart`` through the node
map, so the settings that are idle-only lock as GenApi locks them.

No thread runs: the camera's frames are events on the clock. Free-running, a
frame is delivered every 1 / ResultingFrameRate; with TriggerMode On and
TriggerSource Software (FrameStart), one frame a trigger, one frame period
(plus TriggerDelay) after it. When the host looks (a RetrieveResult, a
trigger), the frames due are counted: each runs one cycle of the auto
functions and takes a snapshot of the settings it was exposed with; its
pixels are made from that snapshot when a result is read.
"""

from __future__ import annotations

import binascii
import collections
import struct
import time
import warnings
import weakref

from pypylon import genicam, pylon as _pylon

from . import image, model

# The camera object's own parameters (confirmed on pylon's emulator): name,
# default, minimum, locked while grabbing.
CAMERA_PARAMETERS = (("MaxNumBuffer", 10, 1, True), ("OutputQueueSize", 5, 0, True))
_BULK = 40  # frames counted one by one when many are due at once; the rest are lost
_UINT32 = 0xFFFFFFFF
_UINT64 = 0xFFFFFFFFFFFFFFFF
_FRAME_START = model.BY_NAME["TriggerSelector"].entries.index("FrameStart")
_CHUNKS = model.BY_NAME["ChunkSelector"].entries
# Chunk data follows the image: per enabled chunk, in ChunkSelector order, its
# value (8 bytes, little-endian: a double for Gain and ExposureTime, an
# unsigned integer for the others), its chunk ID (4 bytes) and its length, 8
# (4 bytes). The IDs are assumed.
CHUNK_IDS = {name: 0x0A5A5A00 + index for index, name in enumerate(_CHUNKS, 1)}
_CHUNK_KINDS = {"Gain": "Float", "ExposureTime": "Float"}
_CHUNK_UNITS = {"Gain": "dB", "ExposureTime": "us"}

# Texts pylon uses, as the emulator shows them (confirmed).
_IN = "(file 'InstantCameraImpl.h', line {})"
NULL_RESULT = ("No grab result data is referenced. Cannot access NULL pointer. : "
               "RuntimeException thrown (file 'GrabResultPtr.cpp', line 87)")
ALREADY = "Grabbing has already been started. : RuntimeException thrown " + _IN.format(816)
NOT_STARTED = "Grabbing has not been started. : RuntimeException thrown " + _IN.format(1791)
ZERO_COUNT = ("Maximum count of images to grab cannot be 0. : OutOfRangeException thrown "
              + _IN.format(828))
GRAB_ONE_TIMEOUT = "Grab timed out. : TimeoutException thrown " + _IN.format(1447)
RETRIEVE_TIMEOUT = (
    "Grab timed out. Possible reasons are: The image transport from the camera device is not "
    "working properly, e.g., all GigE network packets for streaming are dropped; The camera uses "
    "explicit triggering (see TriggerSelector for more information) and has not been triggered; "
    "Single frame acquisition mode is used and one frame has already been acquired; The "
    "acquisition has not been started or has been stopped. : TimeoutException thrown "
    + _IN.format(1113))
TRIGGER_READY_TIMEOUT = ("Waiting for frame trigger ready timed out. : TimeoutException thrown "
                         + _IN.format(1891))
NO_NUMPY = "please install numpy to use this method"
NO_GRAB_LOOP = ("The simulated camera has no grab loop thread: use GrabLoop_ProvidedByUser. : "
                "RuntimeException thrown " + _IN.format(1))  # assumed
PACKED_ARRAY = "Packed Formats are not supported with numpy interface"


def _prototypes(method, *prototypes):
    lines = "".join(f"    Pylon::CInstantCamera::{p}\n" for p in prototypes)
    return (f"Wrong number or type of arguments for overloaded function 'InstantCamera_{method}'.\n"
            f"  Possible C/C++ prototypes are:\n{lines}")


_SIGNATURES = {
    "GrabOne": ("GrabOne(unsigned int,Pylon::CGrabResultPtr &,Pylon::ETimeoutHandling)",
                "GrabOne(unsigned int,Pylon::CGrabResultPtr &)"),
    "RetrieveResult": (
        "RetrieveResult(unsigned int,Pylon::CGrabResultPtr &,Pylon::ETimeoutHandling)",
        "RetrieveResult(unsigned int,Pylon::CGrabResultPtr &)"),
    "StartGrabbing": ("StartGrabbing(Pylon::EGrabStrategy,Pylon::EGrabLoop)",
                      "StartGrabbing(Pylon::EGrabStrategy)", "StartGrabbing()"),
    "StartGrabbingMax": ("StartGrabbing(size_t,Pylon::EGrabStrategy,Pylon::EGrabLoop)",
                         "StartGrabbing(size_t,Pylon::EGrabStrategy)", "StartGrabbing(size_t)"),
    "WaitForFrameTriggerReady": (
        "WaitForFrameTriggerReady(unsigned int,Pylon::ETimeoutHandling)",
        "WaitForFrameTriggerReady(unsigned int)"),
}


def _arguments(method, args, kwargs, kinds, least):
    """Check positional arguments as pypylon's bindings do: ``kinds`` gives the
    upper bound of each ("uint" 32-bit unsigned, "size" 64-bit unsigned,
    "enum" a C int); too few, too many or a wrong one is a TypeError."""
    if kwargs:
        raise TypeError(f"InstantCamera.{method}() got an unexpected keyword argument "
                        f"'{next(iter(kwargs))}'")
    ok = least <= len(args) <= len(kinds)
    for value, kind in zip(args, kinds):
        if not isinstance(value, int):
            ok = False
        elif kind == "enum":
            ok = ok and -2 ** 31 <= value < 2 ** 31
        else:
            ok = ok and 0 <= value <= (_UINT32 if kind == "uint" else _UINT64)
    if not ok:
        text = _prototypes(method, *_SIGNATURES[method])
        if len(args) > len(kinds):
            text = (f"InstantCamera_{method} expected at most {len(kinds) + 1} arguments, "
                    f"got {len(args) + 1}\nAdditional information:\n{text}")
        raise TypeError(text)
    return [int(value) for value in args]


def _with_defaults(values):
    """(strategy, grab loop), pylon's defaults for those not given."""
    return (values + [_pylon.GrabStrategy_OneByOne, _pylon.GrabLoop_ProvidedByUser][len(values):])


# --------------------------------------------------------------- chunk nodes
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
    return _description(model.MODEL_NAME, "Chunk data of the simulated camera", "0002",
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
        from .device import connect
        self._keep = connect(_CHUNK_XML, _ChunkPort(bytes(blob)), "Chunk")
        self._nodes: dict = {}

    def GetNode(self, name):
        node = self._nodes.get(name)
        if node is None:
            from . import sdk
            node = self._nodes[name] = sdk.parameter(self._keep, name)
        return node

    def GetNodes(self):
        return [self.GetNode("Chunk" + name) for name in _CHUNKS]


def _chunk_block(values: dict) -> bytes:
    out = bytearray()
    for name in _CHUNKS:
        if name in values:
            out += struct.pack("<d" if name in _CHUNK_KINDS else "<Q", values[name])
            out += struct.pack("<II", CHUNK_IDS[name], 8)
    return bytes(out)


class _ParameterPort(genicam.CPortImpl):
    def __init__(self, camera):
        super().__init__()
        self.camera = weakref.ref(camera)
        self.memory = bytearray(8 * (len(CAMERA_PARAMETERS) + 1))
        for index, (_, default, _, _) in enumerate(CAMERA_PARAMETERS):
            struct.pack_into("<q", self.memory, 8 * index, default)

    def GetAccessMode(self):
        return genicam.RW

    def Read(self, address, length):
        if address == 8 * len(CAMERA_PARAMETERS):  # the lock: whether the camera grabs
            camera = self.camera()
            return struct.pack("<q", camera is not None and camera.IsGrabbing())
        return bytes(self.memory[address:address + length])

    def Write(self, address, data):
        self.memory[address:address + len(data)] = data


def _parameter_xml() -> str:
    grabbing = 8 * len(CAMERA_PARAMETERS)
    parts = [f'<IntReg Name="Grabbing"><Address>{grabbing:#x}</Address><Length>8</Length>'
             "<AccessMode>RO</AccessMode><pPort>Camera</pPort><Cachable>NoCache</Cachable>"
             "<Sign>Signed</Sign><Endianess>LittleEndian</Endianess></IntReg>"]
    for index, (name, _, low, locked) in enumerate(CAMERA_PARAMETERS):
        lock = "<pIsLocked>Grabbing</pIsLocked>" if locked else ""
        parts.append(
            f'<Integer Name="{name}">{lock}<pValue>R_{name}</pValue><Min>{low}</Min>'
            f"<Max>{_UINT32}</Max><Inc>1</Inc></Integer>"
            f'<IntReg Name="R_{name}"><Address>{index * 8:#x}</Address><Length>8</Length>'
            "<AccessMode>RW</AccessMode><pPort>Camera</pPort><Cachable>WriteThrough</Cachable>"
            "<Sign>Signed</Sign><Endianess>LittleEndian</Endianess></IntReg>")
    return _description("InstantCamera", "Parameters of the camera object", "0003",
                        [name for name, *_ in CAMERA_PARAMETERS], parts, "Camera")


def _description(model_name, tip, guid, features, parts, port):
    listed = "".join(f"<pFeature>{name}</pFeature>" for name in features)
    return ('<?xml version="1.0" encoding="utf-8"?>\n'
            f'<RegisterDescription ModelName="{model_name}" VendorName="{model.VENDOR_NAME}"'
            f' ToolTip="{tip}" StandardNameSpace="None"'
            ' SchemaMajorVersion="1" SchemaMinorVersion="1" SchemaSubMinorVersion="0"'
            ' MajorVersion="1" MinorVersion="0" SubMinorVersion="0"'
            f' ProductGuid="7A3B0C52-4E61-4C0F-9D3A-2040055C{guid}"'
            f' VersionGuid="7A3B0C52-4E61-4C0F-9D3A-2040055D{guid}"'
            ' xmlns="http://www.genicam.org/GenApi/Version_1_1">\n'
            f'<Category Name="Root">{listed}</Category>\n' + "\n".join(parts)
            + f'\n<Port Name="{port}" NameSpace="Custom"/>\n</RegisterDescription>\n')


class _CameraParameters:
    """The node map of one camera object's parameters."""

    def __init__(self, camera):
        from . import sdk
        from .device import connect
        keep = connect(_parameter_xml(), _ParameterPort(camera), "Camera")
        self.nodes = {name: sdk.parameter(keep, name) for name, *_ in CAMERA_PARAMETERS}


def _camera_parameter(name):
    def get(camera):
        params = camera.__dict__.get("_grab_parameters")
        if params is None:
            params = _CameraParameters(camera)
            object.__setattr__(camera, "_grab_parameters", params)
        return params.nodes[name]

    def put(camera, value):
        warnings.warn(f"Setting a feature value by direct assignment is deprecated. "
                      f"Use <nodemap>.{name}.Value = {value}", DeprecationWarning, stacklevel=3)
        get(camera).SetValue(value)
    return property(get, put, doc=f"The camera object's {name} (a pylon IntegerParameter).")


# --------------------------------------------------------------- frames and results
class _Frame:
    """One frame the camera acquired: what it was exposed with."""

    __slots__ = ("settings", "number", "timestamp", "chunks", "skipped")

    def __init__(self, settings, number, timestamp, chunks):
        self.settings = settings
        self.number = number
        self.timestamp = timestamp
        self.chunks = chunks      # {chunk name: value} of the enabled chunks, or None
        self.skipped = 0


def _null():
    raise _pylon.RuntimeException(NULL_RESULT)


class GrabResult:
    """pylon's grab result (``pylon.GrabResult``) for a frame of the simulated
    camera; without a frame (a timeout, after ``Release``) every access but
    ``IsValid``, ``IsUnique``, ``Release`` and ``bool()`` raises pylon's
    RuntimeException, as pypylon's does."""

    def __init__(self, frame=None, image_number=0, result_id=0):
        d = self.__dict__
        d["_frame"] = frame
        d["_image_number"] = image_number
        d["_id"] = result_id
        d["_data"] = None
        d["_chunk_map"] = None

    def _f(self) -> _Frame:
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
        return self.IsValid()

    def Release(self):
        d = self.__dict__
        d["_frame"] = d["_data"] = d["_chunk_map"] = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.Release()
        return False

    def GrabSucceeded(self):
        self._f()
        return True

    def GetErrorCode(self):
        self._f()
        return 0

    def GetErrorDescription(self):
        self._f()
        return ""

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

    def _payload(self) -> bytes:
        data = self.__dict__["_data"]
        if data is None:
            frame = self._f()
            data = image.frame(frame.settings, frame.number)
            if frame.chunks is not None:
                chunks = dict(frame.chunks)
                if "PayloadCRC16" in chunks:
                    chunks["PayloadCRC16"] = binascii.crc_hqx(data, 0)
                data = data + _chunk_block(chunks)
            self.__dict__["_data"] = data
        return data

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
        return self.__dict__["_image_number"]

    def GetNumberOfSkippedImages(self):
        return self._f().skipped

    def GetTimeStamp(self):
        return self._f().timestamp

    def GetBlockID(self):
        return self._f().number

    def GetID(self):
        self._f()
        return self.__dict__["_id"]

    # --- chunks
    def IsChunkDataAvailable(self):
        return self._f().chunks is not None

    def GetChunkDataNodeMap(self):
        frame = self._f()
        chunk_map = self.__dict__["_chunk_map"]
        if chunk_map is None:
            values = dict(frame.chunks or {})
            if "PayloadCRC16" in values:
                values["PayloadCRC16"] = binascii.crc_hqx(image.frame(frame.settings,
                                                                      frame.number), 0)
            chunk_map = self.__dict__["_chunk_map"] = ChunkNodeMap(values)
        return chunk_map

    def GetChunkNode(self, name):
        return self.GetChunkDataNodeMap().GetNode(name)

    def __getattr__(self, attribute):
        if attribute.startswith("__"):
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
                f"image {self.__dict__['_image_number']}>")


for _name in ("Width", "Height", "OffsetX", "OffsetY", "PaddingX", "PaddingY", "PixelType",
              "ImageSize", "PayloadType", "PayloadSize", "BufferSize", "Buffer", "ImageNumber",
              "NumberOfSkippedImages", "TimeStamp", "BlockID", "ID", "ErrorCode",
              "ErrorDescription", "ChunkDataNodeMap"):
    setattr(GrabResult, _name, property(getattr(GrabResult, "Get" + _name)))


def pixel_type(pixel_format: str) -> int:
    """pylon's PixelType_* of a PixelFormat entry (pylon's own mapping)."""
    if pixel_format == "YCbCr422_8":
        return _pylon.PixelType_YUV422_YUYV_Packed
    name = {"RGB8": "RGB8packed", "BGR8": "BGR8packed"}.get(pixel_format, pixel_format)
    return getattr(_pylon, "PixelType_" + name)


# --------------------------------------------------------------- the grab engine
class _Session:
    """One StartGrabbing ... StopGrabbing of a camera object."""

    def __init__(self, camera, device, limit, strategy, opened_here):
        self.camera = camera
        self.device = device
        self.limit = limit                 # None: until StopGrabbing
        self.buffers = max(1, camera.MaxNumBuffer.GetValue())
        self.keep = None                   # latest images only: how many
        if strategy == _pylon.GrabStrategy_LatestImageOnly:
            self.keep = 1
        elif strategy == _pylon.GrabStrategy_LatestImages:
            self.keep = max(1, min(camera.OutputQueueSize.GetValue(), self.buffers))
        self.lost = 0                      # frames lost since the last one queued
        self.opened_here = opened_here
        self.queue: collections.deque = collections.deque()
        self.delivered = 0
        self.acquired = 0
        self.single = device.registers.get_entry("AcquisitionMode") == "SingleFrame"
        self.next_free = None              # delivery time of the next free-running frame
        self.pending: list = []            # delivery times of triggered frames
        self.last_trigger = None
        self.saved_hook = device.hooks.get("TriggerSoftware")

    # --- the camera's side
    def _period(self):
        return 1.0 / self.device.frame_rate()

    def triggered(self):
        regs = self.device.registers
        return regs.get_entry("TriggerMode", _FRAME_START) == "On"

    def software_trigger(self, _index=0):
        regs = self.device.registers
        if regs.get_int("TriggerSelector") != _FRAME_START or not self.triggered() \
                or regs.get_entry("TriggerSource", _FRAME_START) != "Software":
            return
        now = time.monotonic()
        period = self._period()
        if self.last_trigger is not None and now < self.last_trigger + period:
            return  # overtriggered: the camera ignores it
        self.last_trigger = now
        delay = regs.get_float("TriggerDelay", _FRAME_START) / 1e6
        self.pending.append(now + delay + period)

    def _acquire(self, when):
        device = self.device
        regs = device.registers
        settings = image.settings(regs)
        chunks = None
        if regs.get_int("ChunkModeActive"):
            chunks = {}
            for index, name in enumerate(_CHUNKS):
                if regs.get_int("ChunkEnable", index):
                    chunks[name] = self._chunk_value(name, when)
        frame = _Frame(settings, device.frames, _timestamp(device, when), chunks)
        device.frames += 1
        device.counters = [count + 1 for count in device.counters]
        device.auto_cycle()
        self.acquired += 1
        if self.keep is not None:  # the oldest frames make way
            frame.skipped, self.lost = self.lost, 0
            self.queue.append(frame)
            while len(self.queue) > self.keep:
                dropped = self.queue.popleft()
                self.queue[0].skipped += dropped.skipped + 1
        elif len(self.queue) < self.buffers:  # one by one: no free buffer, frame lost
            self.queue.append(frame)

    def _chunk_value(self, name, when):
        device, regs = self.device, self.device.registers
        if name == "Gain":
            return regs.get_float("Gain")
        if name == "ExposureTime":
            return regs.get_float("ExposureTime")
        if name == "Timestamp":
            return _timestamp(device, when)
        if name == "LineStatusAll":
            return device.derived["LineStatusAll"](0)
        if name == "CounterValue":
            return device.counters[0] + 1
        return 0  # SequencerSetActive (no sequencer runs); PayloadCRC16 is made with the data

    def catch_up(self, now):
        """Acquire the frames due by ``now``."""
        if self.single and self.acquired:
            return
        if self.triggered():
            self.next_free = None
            while self.pending and self.pending[0] <= now:
                self._acquire(self.pending.pop(0))
            return
        if self.next_free is None:
            self.next_free = now + self._period()
            return
        period = self._period()
        due = int((now - self.next_free) / period) + 1 if now >= self.next_free else 0
        if due > _BULK:  # the host was away: the frames before the last _BULK are lost
            lost = due - _BULK
            self.device.frames += lost
            self.device.counters = [count + lost for count in self.device.counters]
            self.next_free += lost * period
            self.lost += lost
        while self.next_free <= now and not (self.single and self.acquired):
            self._acquire(self.next_free)
            self.next_free += self._period()

    def next_event(self):
        if self.single and self.acquired:
            return None
        if self.triggered():
            return self.pending[0] if self.pending else None
        return self.next_free

    def alive(self):
        device = self.device
        return device.opened_by is self.camera and device.acquiring and not device.removed

    def close(self):
        device = self.device
        if device.hooks.get("TriggerSoftware") == self.software_trigger:
            device.hooks["TriggerSoftware"] = self.saved_hook
        self.queue.clear()


_POWER_UP = time.monotonic() - 1.0  # assumed: the cameras were switched on a second ago


def _timestamp(device, when):
    """The camera's clock (1 GHz ticks): ns since the cameras were switched on."""
    return int((when - _POWER_UP) * 1e9)


class Grabbing:
    """The grab calls of pypylon's InstantCamera, for the simulated camera."""

    _grab_session = None
    _grab_ids = 0
    MaxNumBuffer = _camera_parameter("MaxNumBuffer")
    OutputQueueSize = _camera_parameter("OutputQueueSize")

    def _set_grabbing(self, session):
        object.__setattr__(self, "_grab_session", session)

    def _session(self):
        session = self._grab_session
        if session is not None and not session.alive():
            session.close()
            self._set_grabbing(None)
            session = None
        return session

    def IsGrabbing(self):
        return self._session() is not None

    def StartGrabbing(self, *args, **kwargs):
        strategy, loop = _with_defaults(
            _arguments("StartGrabbing", args, kwargs, ("enum", "enum"), 0))
        self._start(None, strategy, loop)

    def StartGrabbingMax(self, *args, **kwargs):
        count, *rest = _arguments("StartGrabbingMax", args, kwargs, ("size", "enum", "enum"), 1)
        strategy, loop = _with_defaults(rest)
        if count == 0:
            raise _pylon.OutOfRangeException(ZERO_COUNT)
        self._start(count, strategy, loop)

    def _start(self, limit, strategy, loop):
        device = self._device()
        if self._session() is not None:
            raise _pylon.RuntimeException(ALREADY)
        if loop == _pylon.GrabLoop_ProvidedByInstantCamera:
            raise _pylon.RuntimeException(NO_GRAB_LOOP)
        opened_here = not self.IsOpen()
        if opened_here:
            self.Open()
        try:
            self._node("PayloadSize").GetValue()  # pylon sizes its buffers by it
            self._node("AcquisitionStart").Execute()
        except BaseException:
            if opened_here:
                self.Close()
            raise
        device.clock = None  # the frames are counted here, one auto cycle each
        session = _Session(self, device, limit, strategy, opened_here)
        device.hooks["TriggerSoftware"] = session.software_trigger
        self._set_grabbing(session)

    def StopGrabbing(self):
        session = self._grab_session
        if session is None:
            return
        self._set_grabbing(None)
        session.close()
        device = session.device
        if device.opened_by is self and device.acquiring and not device.removed:
            self._node("AcquisitionStop").Execute()
        if session.opened_here:
            self.Close()

    def RetrieveResult(self, *args, **kwargs):
        timeout, handling = (_arguments("RetrieveResult", args, kwargs, ("uint", "enum"), 1)
                             + [_pylon.TimeoutHandling_ThrowException])[:2]
        session = self._session()
        if session is None:
            return GrabResult()
        now = time.monotonic()
        deadline = now + timeout / 1000.0
        while True:
            session.catch_up(now)
            if session.queue:
                break
            event = session.next_event()
            if now >= deadline:
                break
            # A trigger may come from another thread: look again now and then.
            wake = deadline if event is None else min(event, deadline)
            time.sleep(max(0.0, min(wake - now, 0.005 if event is None else wake - now)))
            now = time.monotonic()
        if not session.queue:
            if handling == _pylon.TimeoutHandling_ThrowException:
                raise _pylon.TimeoutException(RETRIEVE_TIMEOUT)
            return GrabResult()
        frame = session.queue.popleft()
        session.delivered += 1
        Grabbing._grab_ids += 1
        result = GrabResult(frame, session.delivered, Grabbing._grab_ids)
        if session.limit is not None and session.delivered >= session.limit:
            self.StopGrabbing()
        return result

    def GrabOne(self, *args, **kwargs):
        timeout, handling = (_arguments("GrabOne", args, kwargs, ("uint", "enum"), 1)
                             + [_pylon.TimeoutHandling_ThrowException])[:2]
        self.StartGrabbingMax(1)
        result = self.RetrieveResult(timeout, _pylon.TimeoutHandling_Return)
        if not result.IsValid():
            self.StopGrabbing()
            if handling == _pylon.TimeoutHandling_ThrowException:
                raise _pylon.TimeoutException(GRAB_ONE_TIMEOUT)
        return result

    def ExecuteSoftwareTrigger(self):
        if self._session() is None:
            raise _pylon.RuntimeException(NOT_STARTED)
        self._node("TriggerSoftware").Execute()

    def CanWaitForFrameTriggerReady(self):
        return True

    def WaitForFrameTriggerReady(self, *args, **kwargs):
        timeout, handling = (_arguments("WaitForFrameTriggerReady", args, kwargs,
                                        ("uint", "enum"), 1)
                             + [_pylon.TimeoutHandling_ThrowException])[:2]
        session = self._session()
        ready = None
        if session is not None:
            ready = time.monotonic() if session.last_trigger is None else \
                session.last_trigger + session._period()
        now = time.monotonic()
        if ready is not None and ready - now <= timeout / 1000.0:
            time.sleep(max(0.0, ready - now))
            return True
        time.sleep(timeout / 1000.0)
        if handling == _pylon.TimeoutHandling_ThrowException:
            raise _pylon.TimeoutException(TRIGGER_READY_TIMEOUT)
        return False
