"""The class tree Tavrocam must build, stated once.

This is what the tests hold the module to, written down independently of it:
the feature groups in the order the constructor makes them, with the instance
attribute each is stored in, and every method of the tree in class-body order
with its parameters, defaults and docstring. A plain getter or setter (one
node access, its result returned or dropped) also names its node; its types
and range are the node's, in the simulated camera's model table. A method
with logic of its own states here its types, the nodes it reaches, what it
does with an ordinary failure and a one-line summary. The group lists and
method tables the tests use, the type stub (standin.reference) and the
method reference of the docs are all derived from here.
"""

from __future__ import annotations

from typing import NamedTuple

OUTER = "CLASS_Tavrocam"
BASE = "_FeatureBase"
OUTER_DOC = "\n    Basler acA2040-55uc (USB3) 專用 API 封裝\n    相容 PyPylon 26.04.1 (2026 版本)\n    "


class Group(NamedTuple):
    cls: str        # the nested class
    attribute: str  # the outer instance's attribute that holds it


class Method(NamedTuple):
    cls: str        # OUTER, BASE or a group's class
    name: str
    params: tuple
    defaults: tuple | None = None
    doc: str | None = None
    node: str | None = None  # plain getters and setters only
    kind: str | None = None  # "get" or "set", with ``node``
    # Methods with logic of their own: the parameters' and the result's types
    # (as the stub writes them), the nodes reached, what an ordinary failure
    # does (FAILURES), and the summary the stub and the reference give.
    types: tuple = ()
    returns: str = "None"
    nodes: tuple = ()
    failure: str = "raises"
    summary: str | None = None

    @property
    def qualname(self) -> str:
        return ".".join([OUTER] + [self.cls] * (self.cls != OUTER) + [self.name])

    @property
    def op(self) -> str:
        """The node operation of a plain getter or setter."""
        return {"get": "GetValue", "set": "SetValue"}[self.kind]

    def owner(self, module):
        """The class of ``module`` that stores the method, found through the namespaces."""
        outer = vars(module)[OUTER]
        return outer if self.cls == OUTER else vars(outer)[self.cls]

    def function(self, module):
        return vars(self.owner(module))[self.name]


# What a method does with an ordinary failure (an interrupt or an exit
# request always reaches the caller).
FAILURES = {
    "raises": "raises the SDK's exception unchanged",
    "prints": "prints the failure and returns None",
    "silent": "discards the failure silently",
    "nothing": "does nothing and cannot fail",
}


def _own(name, *params, defaults=None, doc=None, types=(), returns="None", nodes=(),
         failure="raises", summary=None):
    return name, ("self", *params), defaults, doc, None, None, types, returns, nodes, failure, summary


def _get(name, node, doc=None):
    return name, ("self",), None, doc, node, "get"


def _set(name, node, param, doc=None):
    return name, ("self", param), None, doc, node, "set"


_CLASSES = [
    (OUTER, None, [
        _own("__init__", "device_index", defaults=(0,), types=("int",), failure="prints",
             summary='Connect to the camera at this enumeration index and open it; a failure\n'
                     'is printed ("Initialize failure: ...") and the instance has no groups.'),
        _own("close", doc="關閉相機並釋放資源", summary="Close the camera if it is open."),
    ]),
    (BASE, None, [_own("__init__", "cam", types=("Any",))]),
    ("SequencerControl", "Sequencer", [
        _set("CUF_SET_SequencerMode", "SequencerMode", "mode"),
        _set("CUF_SET_SequencerConfigurationMode", "SequencerConfigurationMode", "mode"),
    ]),
    ("ImageFormatControl", "ImageFormat", [
        _get("CUF_GET_Width", "Width"),
        _set("CUF_SET_Width", "Width", "val"),
        _get("CUF_GET_Height", "Height"),
        _set("CUF_SET_Height", "Height", "val"),
        _get("CUF_GET_PixelFormat", "PixelFormat"),
        _set("CUF_SET_PixelFormat", "PixelFormat", "fmt"),
        _get("CUF_GET_OffsetX", "OffsetX"),
        _set("CUF_SET_OffsetX", "OffsetX", "val"),
        _get("CUF_GET_OffsetY", "OffsetY"),
        _set("CUF_SET_OffsetY", "OffsetY", "val"),
        _own("CUF_SET_CenterX", doc="自動將 ROI 居中於水平方向", nodes=("CenterX", "Width", "OffsetX"),
             summary="Centre the ROI horizontally (the camera's command, or a computed OffsetX)."),
        _own("CUF_SET_CenterY", doc="自動將 ROI 居中於垂直方向", nodes=("CenterY", "Height", "OffsetY"),
             summary="Centre the ROI vertically (the camera's command, or a computed OffsetY)."),
        _get("CUF_GET_ReverseX", "ReverseX"),
        _set("CUF_SET_ReverseX", "ReverseX", "en", doc="設定水平鏡像 (True/False)"),
        _get("CUF_GET_ReverseY", "ReverseY"),
        _set("CUF_SET_ReverseY", "ReverseY", "en", doc="設定垂直鏡像 (True/False)"),
    ]),
    ("AnalogControl", "Analog", [
        _own("__init__", "cam", types=("Any",)),
        _get("CUF_GET_Gain", "Gain"),
        _set("CUF_SET_Gain", "Gain", "val"),
        _get("CUF_GET_BlackLevel", "BlackLevel"),
        _set("CUF_SET_BlackLevel", "BlackLevel", "val"),
        _own("CUF_GET_BalanceRatio", "selector", defaults=("Red",), doc=(
            "\n"
            "            取得指定通道的比例\n"
            '            selector: "Red", "Green", "Blue"\n'
            "            "), types=("str",), returns="float",
             nodes=("BalanceRatioSelector", "BalanceRatio"),
             summary='Select the channel ("Red", "Green", "Blue") and read its ratio.'),
        _own("CUF_SET_BalanceRatio", "selector", "value", doc=(
            "\n"
            "            設定指定通道的比例\n"
            '            注意\uff1a必須在 AutoFunction.CUF_SET_BalanceWhiteAuto("Off") 狀態下才有效\n'
            "            "), types=("str", "float"), nodes=("BalanceRatioSelector", "BalanceRatio"),
             failure="prints",
             summary="Select the channel and write its ratio; a failure is printed, not raised."),
        _own("CUF_GET_BalanceRatioAll", doc="一次取得所有通道比例", returns="dict[str, float]",
             nodes=("BalanceRatioSelector", "BalanceRatio"),
             summary='All three ratios, {"Red": r, "Green": g, "Blue": b}.'),
    ]),
    ("ImageQualityControl", "ImageQuality", [
        _own("CUF_SET_PylonColorAdaptation", "val", types=("object",), failure="nothing",
             summary="Accepts its argument and does nothing."),
        _get("CUF_GET_LightSourcePreset", "LightSourcePreset"),
        _set("CUF_SET_LightSourcePreset", "LightSourcePreset", "val"),
    ]),
    ("AcquisitionControl", "Acquisition", [
        _get("CUF_GET_ExposureTime", "ExposureTime", doc="取得目前的曝光時間 (單位: microseconds)"),
        _own("CUF_SET_ExposureTime", "val", doc="設定曝光時間 (單位: microseconds)", types=("float",),
             nodes=("ExposureTime",), failure="prints",
             summary="Write the exposure time (microseconds), clamped into the camera's\n"
                     "current range; a failure is printed, not raised."),
        _set("CUF_SET_TriggerMode", "TriggerMode", "mode"),
    ]),
    ("AutoFunctionControl", "AutoFunction", [
        _get("CUF_GET_ExposureAuto", "ExposureAuto"),
        _set("CUF_SET_ExposureAuto", "ExposureAuto", "mode",
             doc="設定自動曝光模式: 'Off', 'Once', 'Continuous'"),
        _set("CUF_SET_GainAuto", "GainAuto", "mode"),
        _get("CUF_GET_BalanceWhiteAuto", "BalanceWhiteAuto",
             doc="取得目前白平衡自動模式狀態 ('Off', 'Once', 'Continuous')"),
        _set("CUF_SET_BalanceWhiteAuto", "BalanceWhiteAuto", "mode"),
    ]),
    ("LUTControl", "LUT", [
        _set("CUF_SET_LUTEnable", "LUTEnable", "enable"),
        _set("CUF_SET_LUTSelector", "LUTSelector", "sel"),
    ]),
    ("DigitalIOControl", "DigitalIO", [
        _set("CUF_SET_LineSelector", "LineSelector", "line"),
        _get("CUF_GET_LineStatus", "LineStatus"),
    ]),
    ("CounterAndTimerControl", "CounterTimer", [
        _set("CUF_SET_CounterSelector", "CounterSelector", "sel"),
    ]),
    ("BaslerLightControl", "LightControl", [
        _own("CUF_SET_LightDeviceSelector", "sel", types=("str",), nodes=("LightDeviceSelector",),
             failure="silent",
             summary="Write the selector; an ordinary failure is discarded silently."),
    ]),
    ("ChunkDataControl", "ChunkData", [
        _set("CUF_SET_ChunkModeActive", "ChunkModeActive", "active"),
    ]),
    ("EventControl", "Event", [
        _set("CUF_SET_EventSelector", "EventSelector", "event"),
        _set("CUF_SET_EventNotification", "EventNotification", "mode"),
    ]),
    ("TransportLayerControl", "TransportLayer", [
        _get("CUF_GET_PayloadSize", "PayloadSize"),
    ]),
    ("DeviceControl", "Device", [
        _get("CUF_GET_ModelName", "DeviceModelName"),
        _get("CUF_GET_Temperature", "DeviceTemperature"),
        _get("CUF_GET_DeviceFirmwareVersion", "DeviceFirmwareVersion"),
    ]),
]

# The feature groups in creation order.
GROUPS = tuple(Group(cls, attribute) for cls, attribute, _ in _CLASSES if attribute)
ATTRIBUTE = {group.cls: group.attribute for group in GROUPS}
# Every method of the tree, each class's in class-body order.
METHODS = tuple(Method(cls, *row) for cls, _, rows in _CLASSES for row in rows)
# The plain getters and setters.
PLAIN = tuple(method for method in METHODS if method.node)
GETTERS = tuple(method for method in PLAIN if method.kind == "get")
SETTERS = tuple(method for method in PLAIN if method.kind == "set")
