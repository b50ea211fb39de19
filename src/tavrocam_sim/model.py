"""The Basler acA2040-55uc as data: every feature node of the simulated camera.

This table is the one description of the camera in the project. The node map
(a GenICam XML) is generated from it, the register store takes its start values
from it, and the test suite's stand-in SDK takes its sensor size, ranges and
entries from it.

Each row is a ``Node``. ``conf`` says where its figures come from, either as one
word for the whole row or per field (``{"default": "confirmed", "max":
"assumed"}``):

- confirmed: read for this model (product page, a saved feature file),
- likely: read for a sibling model or the ace USB family,
- guessed: inferred from what was found,
- derived: computed from confirmed facts,
- assumed: not found anywhere; chosen here as plausible for this sensor.

Formulas (``max``/``min`` given as text, ``value``, ``locked``, an entry's
``available``) are GenApi SwissKnife formulas over other nodes' values (by
node name) and the internal registers in ``INTERNAL``; GenApi evaluates them,
so the errors a rule produces are GenApi's own.

The camera's other facts (identity, sensor, PFNC codes, the figures its own
behaviour follows, the rules assumed) are in tavrocam_sim.facts and are read
from here as well (``model.MODEL_NAME``).
"""

from __future__ import annotations

from collections import namedtuple

from .facts import *  # noqa: F403 (every fact is read as model.<name> too)


class ModelError(ValueError):
    """The model table describes no valid camera; the text names the node."""


# Registers of the simulated device that are not features: written by the
# store itself, readable by formulas; with the nodes whose writes change them.
INTERNAL = {"Acquiring": ("AcquisitionStart", "AcquisitionStop")}
# Loading a user set rewrites every register.
REWRITES_ALL = "UserSetLoad"


# A node: name; kind (Integer, Float, Boolean, Enumeration, String, Command);
# default (a tuple for a selected node: one value per selector entry); min and
# max (numbers, or formulas); inc; entries (names, or (name, value) or (name,
# value, available formula) tuples); access (RW or RO); selector (the
# Enumeration that selects its value); value (a formula: GenApi computes the
# node's value); locked (a formula: read-only while it is non-zero); derived
# (the store computes the value on every read); volatile (the store changes
# it by itself, at any time: never cached); invalidated_by (writing these
# nodes changes it too, so GenApi reads it again); unit; conf; length (the
# bytes of a Register node: a block the camera reads and writes whole).
# A selector is an Enumeration, or an Integer from 0 whose increment divides
# the register slot (LUTIndex: 8 values a slot apart).
Node = namedtuple("Node", "name kind default min max inc entries access selector value locked "
                          "derived volatile invalidated_by unit conf length",
                  defaults=(None, None, None, None, (), "RW", None, None, None, False, False, (),
                            None, "likely", None))


def _pixel_formats():
    # A Bayer entry is available only in the phase that ReverseX/ReverseY give.
    rows = []
    for name, code in PFNC.items():
        phase = bayer_phase(name)
        available = None if phase is None else f"ReverseX + 2 * ReverseY = {phase}"
        rows.append((name, code, available))
    return tuple(rows)


_IDLE = "Acquiring"
_ONOFF = ("Off", "On")
_AUTO = ("Off", "Once", "Continuous")
_SEQUENCER_BLOCKS_AUTO = "SequencerMode <> 0"
_USER_SETS = ("Default", "HighGain", "AutoFunctions", "ColorRaw", "UserSet1", "UserSet2",
              "UserSet3")
# BlackLevel counts in the current pixel format: 511 at 12 bit (the IMX265
# twins' figure), 511 / 16 at 8 bit. The 12-bit formats are the one-component
# ones (PFNC 0x01......) of more than 8 bits.
BLACK_LEVEL_MAX_12, BLACK_LEVEL_MAX_8 = 511.0, 31.9375
BLACK_LEVEL_MAX = (f"((PixelFormat >> 24) = 1) && (((PixelFormat >> 16) & 255) > 8) "
                   f"? {BLACK_LEVEL_MAX_12!r} : {BLACK_LEVEL_MAX_8!r}")

# The camera's events (EventSelector's entries).
EVENTS = ("ExposureEnd", "FrameStart", "FrameBurstStart", "FrameStartOvertrigger",
          "FrameBurstStartOvertrigger", "CriticalTemperature", "OverTemperature",
          "FrameStartWait", "FrameBurstStartWait")

NODES = (
    # --- device information
    Node("DeviceVendorName", "String", VENDOR_NAME, access="RO", conf="likely"),
    Node("DeviceModelName", "String", MODEL_NAME, access="RO", conf="confirmed"),
    Node("DeviceManufacturerInfo", "String", "none", access="RO", conf="assumed"),
    Node("DeviceVersion", "String", MODEL_NAME, access="RO", conf="assumed"),
    Node("DeviceFirmwareVersion", "String", "107210-11;U;acA2040_55uc;V1.5-2;1", access="RO",
         conf={"default": "assumed"}),
    Node("DeviceSerialNumber", "String", "", access="RO", conf="confirmed"),
    Node("DeviceUserID", "String", "", conf="likely"),
    Node("DeviceScanType", "Enumeration", "Areascan", entries=("Areascan", "Linescan"),
         access="RO"),
    Node("BslUSBSpeedMode", "Enumeration", "SuperSpeed", entries=("HighSpeed", "SuperSpeed"),
         access="RO"),
    Node("DeviceTemperatureSelector", "Enumeration", "Coreboard", entries=("Coreboard",)),
    Node("DeviceTemperature", "Float", 42.0, access="RO", derived=True, unit="C",
         selector="DeviceTemperatureSelector", conf={"default": "assumed"}),
    Node("TemperatureState", "Enumeration", "Ok", entries=("Ok", "Critical", "Error"),
         access="RO", derived=True, conf="confirmed"),
    # The USB link's limit, selected by the link (the camera has one: 0).
    Node("DeviceLinkSelector", "Integer", 0, min=0, max=0, inc=1,
         conf={"default": "confirmed", "min": "confirmed", "max": "likely", "inc": "assumed"}),
    Node("DeviceLinkThroughputLimitMode", "Enumeration", ("On",), entries=_ONOFF,
         selector="DeviceLinkSelector", conf="confirmed"),
    Node("DeviceLinkThroughputLimit", "Integer", (360_000_000,), min=8_000_000,
         max=440_000_000, inc=1, unit="B/s", selector="DeviceLinkSelector",
         conf={"default": "confirmed", "min": "assumed", "max": "assumed"}),
    # --- sensor and image ROI
    Node("SensorWidth", "Integer", SENSOR_WIDTH, access="RO", conf="confirmed"),
    Node("SensorHeight", "Integer", SENSOR_HEIGHT, access="RO", conf="confirmed"),
    Node("WidthMax", "Integer", value="SensorWidth - OffsetX", access="RO", conf="confirmed"),
    Node("HeightMax", "Integer", value="SensorHeight - OffsetY", access="RO", conf="confirmed"),
    Node("Width", "Integer", DEFAULT_WIDTH, min=16,
         max="CenterX ? SensorWidth : SensorWidth - OffsetX", inc=4,
         locked=_IDLE, conf={"default": "confirmed", "max": "confirmed",
                             "min": "assumed", "inc": "assumed"}),
    Node("Height", "Integer", DEFAULT_HEIGHT, min=16,
         max="CenterY ? SensorHeight : SensorHeight - OffsetY", inc=2,
         locked=_IDLE, conf={"default": "confirmed", "max": "confirmed",
                             "min": "assumed", "inc": "assumed"}),
    Node("OffsetX", "Integer", 8, min=0, max="SensorWidth - Width", inc=4,
         invalidated_by=("Width", "CenterX"),
         locked=f"CenterX || {_IDLE}",
         conf={"default": "confirmed", "max": "likely", "inc": "assumed"}),
    Node("OffsetY", "Integer", 4, min=0, max="SensorHeight - Height", inc=2,
         invalidated_by=("Height", "CenterY"),
         locked=f"CenterY || {_IDLE}",
         conf={"default": "confirmed", "max": "likely", "inc": "assumed"}),
    Node("CenterX", "Boolean", False, locked=_IDLE, conf="confirmed"),
    Node("CenterY", "Boolean", False, locked=_IDLE, conf="confirmed"),
    Node("ReverseX", "Boolean", False, locked=_IDLE, conf="confirmed"),
    Node("ReverseY", "Boolean", False, locked=_IDLE, conf="confirmed"),
    Node("PixelFormat", "Enumeration", "BayerRG8", entries=_pixel_formats(), locked=_IDLE,
         invalidated_by=("ReverseX", "ReverseY"), conf={"default": "confirmed", "entries": "likely"}),
    Node("PixelSize", "Enumeration",
         entries=(("Bpp8", 8), ("Bpp10", 10), ("Bpp12", 12), ("Bpp16", 16), ("Bpp24", 24)),
         value="(PixelFormat >> 16) & 255", access="RO"),
    Node("PixelColorFilter", "Enumeration", "BayerRG",
         entries=("BayerRG", "BayerGR", "BayerGB", "BayerBG", "None"), access="RO",
         derived=True),
    Node("TestImageSelector", "Enumeration", "Off",
         entries=("Off", "Testimage1", "Testimage2", "Testimage3", "Testimage4", "Testimage5",
                  "Testimage6"), conf="likely"),
    Node("PayloadSize", "Integer", access="RO", derived=True,
         conf="likely"),
    # --- analog control
    Node("GainSelector", "Enumeration", "All", entries=("All",), conf="confirmed"),
    Node("Gain", "Float", 0.0, min=0.0, max=24.0, unit="dB", selector="GainSelector",
         locked="GainAuto <> 0", volatile=True,
         conf={"default": "confirmed", "min": "confirmed", "max": "assumed"}),
    Node("GainAuto", "Enumeration", "Off", entries=_AUTO, locked=_SEQUENCER_BLOCKS_AUTO,
         volatile=True, conf="confirmed"),
    Node("BlackLevelSelector", "Enumeration", "All", entries=("All",), conf="confirmed"),
    Node("BlackLevel", "Float", 0.0, min=0.0, max=BLACK_LEVEL_MAX, selector="BlackLevelSelector",
         invalidated_by=("PixelFormat", "SequencerSetLoad"),
         conf={"default": "confirmed", "min": "likely", "max": "likely"}),
    Node("Gamma", "Float", 1.0, min=0.0, max=3.99998, invalidated_by=("SequencerSetLoad",),
         conf={"default": "confirmed", "min": "likely", "max": "likely"}),
    Node("DigitalShift", "Integer", 0, min=0, max=4, inc=1, invalidated_by=("SequencerSetLoad",),
         conf={"default": "confirmed", "max": "likely"}),
    # The gain's upper limit can be lifted (the effect is not modelled: Gain
    # keeps its maximum).
    Node("RemoveParameterLimitSelector", "Enumeration", "Gain", entries=("Gain",),
         conf="confirmed"),
    Node("RemoveParameterLimit", "Boolean", (False,), selector="RemoveParameterLimitSelector",
         conf="confirmed"),
    Node("BalanceRatioSelector", "Enumeration", "Red", entries=("Red", "Green", "Blue"),
         conf="confirmed"),
    Node("BalanceRatio", "Float", PRESET_RATIOS["Daylight5000K"], min=0.0, max=15.99976,
         selector="BalanceRatioSelector", locked="BalanceWhiteAuto <> 0", volatile=True,
         conf={"default": "confirmed", "max": "likely"}),
    Node("BalanceWhiteAuto", "Enumeration", "Off", entries=_AUTO,
         locked=_SEQUENCER_BLOCKS_AUTO, volatile=True, conf="confirmed"),
    Node("LightSourcePreset", "Enumeration", "Daylight5000K",
         entries=("Off", "Daylight5000K", "Daylight6500K", "Tungsten2800K"), conf="confirmed"),
    Node("ColorTransformationSelector", "Enumeration", "RGBtoRGB", entries=("RGBtoRGB",)),
    Node("ColorTransformationValueSelector", "Enumeration", "Gain00",
         entries=tuple(f"Gain{row}{column}" for row in range(3) for column in range(3))),
    Node("ColorTransformationValue", "Float",
         tuple(float(row == column) for row in range(3) for column in range(3)),
         min=-8.0, max=7.96875, selector="ColorTransformationValueSelector",
         conf={"default": "assumed", "min": "assumed", "max": "assumed"}),
    Node("ColorSpace", "Enumeration", "RGB", entries=("RGB", "sRGB"),
         conf={"default": "assumed", "entries": "likely"}),
    Node("ColorAdjustmentSelector", "Enumeration", "Red",
         entries=("Red", "Yellow", "Green", "Cyan", "Blue", "Magenta")),
    Node("ColorAdjustmentHue", "Float", (0.0,) * 6, min=-4.0, max=3.96875,
         selector="ColorAdjustmentSelector",
         conf={"default": "assumed", "min": "assumed", "max": "assumed"}),
    Node("ColorAdjustmentSaturation", "Float", (1.0,) * 6, min=0.0, max=1.99219,
         selector="ColorAdjustmentSelector",
         conf={"default": "assumed", "min": "assumed", "max": "assumed"}),
    # --- exposure, auto functions, trigger, acquisition
    Node("ExposureMode", "Enumeration", "Timed", entries=("Timed", "TriggerWidth"),
         locked=_IDLE, conf="confirmed"),
    Node("ExposureTime", "Float", 10000.0, min=19.0, max=10_000_000.0, unit="us",
         locked="ExposureAuto <> 0", volatile=True,
         conf={"default": "assumed", "min": "assumed", "max": "guessed"}),
    Node("ExposureAuto", "Enumeration", "Off", entries=_AUTO, locked=_SEQUENCER_BLOCKS_AUTO,
         volatile=True, conf="confirmed"),
    Node("AutoTargetBrightness", "Float", 0.50196, min=0.19608, max=0.80392,
         conf={"default": "confirmed", "min": "assumed", "max": "assumed"}),
    Node("AutoFunctionProfile", "Enumeration", "MinimizeGain",
         entries=("MinimizeGain", "MinimizeExposureTime"), conf="confirmed"),
    Node("AutoGainLowerLimit", "Float", 0.0, min=0.0, max=24.0, conf={"default": "confirmed",
                                                                    "max": "assumed"}),
    Node("AutoGainUpperLimit", "Float", 23.9, min=0.0, max=24.0, conf={"default": "confirmed",
                                                                     "max": "assumed"}),
    Node("AutoExposureTimeLowerLimit", "Float", 50.0, min=19.0, max=10_000_000.0,
         conf={"default": "confirmed", "min": "assumed", "max": "assumed"}),
    Node("AutoExposureTimeUpperLimit", "Float", 500_000.0, min=19.0, max=10_000_000.0,
         conf={"default": "confirmed", "min": "assumed", "max": "assumed"}),
    Node("AutoFunctionROISelector", "Enumeration", "ROI1", entries=("ROI1", "ROI2"),
         conf="confirmed"),
    Node("AutoFunctionROIOffsetX", "Integer", (8, 8), min=0,
         max="SensorWidth - AutoFunctionROIWidth", inc=4, selector="AutoFunctionROISelector",
         invalidated_by=("AutoFunctionROIWidth",),
         conf={"default": "confirmed", "max": "likely", "inc": "assumed"}),
    Node("AutoFunctionROIOffsetY", "Integer", (8, 8), min=0,
         max="SensorHeight - AutoFunctionROIHeight", inc=2, selector="AutoFunctionROISelector",
         invalidated_by=("AutoFunctionROIHeight",),
         conf={"default": "confirmed", "max": "likely", "inc": "assumed"}),
    Node("AutoFunctionROIWidth", "Integer", (2048, 2048), min=16,
         max="SensorWidth - AutoFunctionROIOffsetX", inc=4, selector="AutoFunctionROISelector",
         invalidated_by=("AutoFunctionROIOffsetX",),
         conf={"default": "confirmed", "max": "likely", "min": "assumed", "inc": "assumed"}),
    Node("AutoFunctionROIHeight", "Integer", (1536, 1536), min=16,
         max="SensorHeight - AutoFunctionROIOffsetY", inc=2, selector="AutoFunctionROISelector",
         invalidated_by=("AutoFunctionROIOffsetY",),
         conf={"default": "confirmed", "max": "likely", "min": "assumed", "inc": "assumed"}),
    Node("AutoFunctionROIUseBrightness", "Boolean", (True, False),
         selector="AutoFunctionROISelector", conf="confirmed"),
    Node("AutoFunctionROIUseWhiteBalance", "Boolean", (False, True),
         selector="AutoFunctionROISelector", conf="confirmed"),
    Node("TriggerSelector", "Enumeration", "FrameStart", entries=("FrameBurstStart", "FrameStart"),
         conf="confirmed"),
    Node("TriggerMode", "Enumeration", ("Off", "Off"), entries=_ONOFF, selector="TriggerSelector",
         conf="confirmed"),
    Node("TriggerSource", "Enumeration", ("Line1", "Line1"),
         entries=("Line1", "Line3", "Line4", "Software", "SoftwareSignal1", "SoftwareSignal2",
                  "SoftwareSignal3"), selector="TriggerSelector", conf="likely"),
    Node("TriggerActivation", "Enumeration", ("RisingEdge", "RisingEdge"),
         entries=("RisingEdge", "FallingEdge"), selector="TriggerSelector", conf="likely"),
    # 0 to 10 s, applied to line triggers only (a sibling's manual: guessed).
    # Only the frame start has a delay (the camera's feature file: guessed).
    Node("TriggerDelay", "Float", (0.0, 0.0), min=0.0, max=10_000_000.0, unit="us",
         selector="TriggerSelector", locked="TriggerSelector = 0",
         conf={"default": "likely", "max": "guessed", "locked": "guessed"}),
    Node("TriggerSoftware", "Command", selector="TriggerSelector", conf="likely"),
    Node("AcquisitionMode", "Enumeration", "Continuous", entries=("Continuous", "SingleFrame"),
         locked=_IDLE, conf="likely"),
    Node("AcquisitionStart", "Command", conf="likely"),
    Node("AcquisitionStop", "Command", conf="likely"),
    Node("AcquisitionBurstFrameCount", "Integer", 1, min=1, max=255, inc=1,
         conf={"default": "likely", "max": "assumed"}),
    Node("AcquisitionStatusSelector", "Enumeration", "FrameTriggerWait",
         entries=("FrameBurstTriggerWait", "FrameTriggerWait"),
         conf={"default": "assumed", "entries": "likely"}),
    # Waiting for a trigger: acquiring with the selected trigger on (assumed).
    Node("AcquisitionStatus", "Boolean", access="RO", selector="AcquisitionStatusSelector",
         value="Acquiring && (TriggerMode = 1)", conf={"value": "assumed"}),
    Node("AcquisitionFrameRateEnable", "Boolean", False,
         conf={"default": "assumed"}),
    Node("AcquisitionFrameRate", "Float", 100.0, min=1.0, max=1000.0, unit="Hz",
         conf={"default": "assumed", "min": "assumed", "max": "assumed"}),
    Node("ResultingFrameRate", "Float", access="RO", derived=True, unit="Hz",
         conf="confirmed"),
    # --- sequencer
    Node("SequencerMode", "Enumeration", "Off", entries=_ONOFF,
         locked="(SequencerMode = 0) && (ExposureAuto || GainAuto || BalanceWhiteAuto)",
         conf="confirmed"),
    Node("SequencerConfigurationMode", "Enumeration", "Off", entries=_ONOFF,
         locked="SequencerMode <> 0", conf="confirmed"),
    Node("SequencerSetSelector", "Integer", 0, min=0, max=31, inc=1, conf="confirmed"),
    Node("SequencerSetStart", "Integer", 0, min=0, max=31, inc=1, conf="likely"),
    Node("SequencerPathSelector", "Integer", 0, min=0, max=1, inc=1, conf="likely"),
    Node("SequencerSetSave", "Command", locked="SequencerConfigurationMode = 0", conf="likely"),
    Node("SequencerSetLoad", "Command", locked="SequencerConfigurationMode = 0", conf="likely"),
    Node("SequencerTriggerSource", "Enumeration", "Counter2End",
         entries=("Counter2End", "FrameStart", "Line1", "Line3", "Line4", "SoftwareSignal1",
                  "SoftwareSignal2", "SoftwareSignal3"), conf="likely"),
    Node("SequencerTriggerActivation", "Enumeration", "LevelHigh", entries=("LevelHigh",)),
    # --- LUT
    Node("LUTSelector", "Enumeration", "Luminance", entries=("Luminance",), conf="confirmed"),
    Node("LUTEnable", "Boolean", False, selector="LUTSelector", conf="confirmed"),
    Node("LUTIndex", "Integer", 0, min=0, max=LUT_STEP * (LUT_POINTS - 1), inc=LUT_STEP,
         conf={"inc": "guessed"}),
    # One value a point; the start values are the identity a real camera saved.
    Node("LUTValue", "Integer", tuple(range(0, LUT_STEP * LUT_POINTS, LUT_STEP)), min=0, max=4095,
         inc=1, selector="LUTIndex", invalidated_by=("LUTValueAll",),
         conf={"default": "confirmed", "max": "likely"}),
    # The whole table as the camera saves it: 4096 32-bit little-endian slots,
    # the value of LUTIndex i in slot i (every 8th), the others 0 (confirmed
    # for the saved file; the byte order assumed).
    Node("LUTValueAll", "Register", selector="LUTSelector", length=4096 * 4,
         conf={"length": "confirmed"}),
    # --- digital I/O
    Node("LineSelector", "Enumeration", "Line1", entries=("Line1", "Line2", "Line3", "Line4"),
         conf="confirmed"),
    Node("LineMode", "Enumeration", ("Input", "Output", "Input", "Input"),
         entries=("Input", "Output"), selector="LineSelector", locked="LineSelector < 2",
         conf={"default": "confirmed", "locked": "likely"}),
    Node("LineFormat", "Enumeration", ("OptoCoupled", "OptoCoupled", "TTL", "TTL"),
         entries=("OptoCoupled", "TTL"), selector="LineSelector", access="RO"),
    Node("LineInverter", "Boolean", (False, False, False, False), selector="LineSelector",
         conf="confirmed"),
    # An input's debouncer: none on a line set to output (the camera's feature
    # file: guessed).
    Node("LineDebouncerTime", "Float", (0.0, 0.0, 0.0, 0.0), min=0.0, max=20_000.0,
         unit="us", selector="LineSelector", locked="LineMode = 1",
         conf={"default": "confirmed", "max": "assumed", "locked": "guessed"}),
    # What an output line shows; an input line has no source (entries beyond
    # the saved UserOutput1 guessed from the family's).
    Node("LineSource", "Enumeration", ("Off", "UserOutput1", "UserOutput2", "UserOutput3"),
         entries=("Off", "ExposureActive", "FrameTriggerWait", "FrameBurstTriggerWait",
                  "Timer1Active", "UserOutput1", "UserOutput2", "UserOutput3", "FlashWindow"),
         selector="LineSelector", locked="LineMode = 0",
         conf={"default": "confirmed", "entries": "guessed", "locked": "assumed"}),
    Node("LineMinimumOutputPulseWidth", "Float", (0.0, 0.0, 0.0, 0.0), min=0.0, max=100.0,
         unit="us", selector="LineSelector", locked="LineMode = 0",
         conf={"default": "confirmed", "max": "assumed", "locked": "assumed"}),
    Node("LineStatus", "Boolean", access="RO", selector="LineSelector", derived=True),
    Node("LineStatusAll", "Integer", access="RO", derived=True),
    Node("UserOutputSelector", "Enumeration", "UserOutput1",
         entries=("UserOutput1", "UserOutput2", "UserOutput3"), conf="likely"),
    Node("UserOutputValue", "Boolean", (False, False, False), selector="UserOutputSelector",
         invalidated_by=("UserOutputValueAll",), conf="likely"),
    Node("UserOutputValueAll", "Integer", 0, min=0, max=7, inc=1,
         invalidated_by=("UserOutputValue",),
         conf={"default": "confirmed"}),
    # --- counters and timer
    Node("CounterSelector", "Enumeration", "Counter1", entries=("Counter1", "Counter2"),
         conf="likely"),
    Node("CounterEventSource", "Enumeration", ("FrameStart", "FrameStart"),
         entries=("FrameStart",), selector="CounterSelector", conf="likely"),
    Node("CounterResetSource", "Enumeration", ("Off", "Counter2End"),
         entries=("Counter2End", "Line1", "Line3", "Line4", "Off", "Software"),
         selector="CounterSelector", conf="likely"),
    Node("CounterResetActivation", "Enumeration", ("RisingEdge", "RisingEdge"),
         entries=("RisingEdge",), selector="CounterSelector"),
    Node("CounterReset", "Command", selector="CounterSelector", conf="likely"),
    Node("TimerSelector", "Enumeration", "Timer1", entries=("Timer1",)),
    Node("TimerTriggerSource", "Enumeration", ("ExposureStart",), entries=("ExposureStart",),
         selector="TimerSelector"),
    Node("TimerDuration", "Float", (10.0,), min=1.0, max=16_777_215.0, unit="us",
         selector="TimerSelector", conf={"default": "likely", "min": "assumed", "max": "assumed"}),
    Node("TimerDelay", "Float", (0.0,), min=0.0, max=16_777_215.0, unit="us",
         selector="TimerSelector", conf={"default": "likely", "max": "assumed"}),
    # --- chunks and events
    Node("ChunkModeActive", "Boolean", False, locked=_IDLE, conf="confirmed"),
    Node("ChunkSelector", "Enumeration", "Gain",
         entries=("Gain", "ExposureTime", "Timestamp", "LineStatusAll", "CounterValue",
                  "SequencerSetActive", "PayloadCRC16"), conf="confirmed"),
    Node("ChunkEnable", "Boolean", (False,) * 7, selector="ChunkSelector", locked=_IDLE,
         conf="confirmed"),
    Node("EventSelector", "Enumeration", "ExposureEnd", entries=EVENTS, conf="confirmed"),
    Node("EventNotification", "Enumeration", ("Off",) * len(EVENTS), entries=_ONOFF,
         selector="EventSelector", conf="confirmed"),
    # An event's data, as the camera sends it with the event (ExposureEnd
    # carries a frame ID; every event carries its timestamp).
    Node("EventExposureEndFrameID", "Integer", access="RO", derived=True, conf="likely"),
    *(Node(f"Event{name}Timestamp", "Integer", access="RO", derived=True, conf="likely")
      for name in EVENTS),
    # --- user sets
    Node("UserSetSelector", "Enumeration", "Default", entries=_USER_SETS, conf="likely"),
    Node("UserSetDefault", "Enumeration", "Default", entries=_USER_SETS, conf="likely"),
    Node("UserSetLoad", "Command", locked=_IDLE, conf="likely"),
    Node("UserSetSave", "Command", locked=f"(UserSetSelector < 4) || {_IDLE}", conf="likely"),
    # --- five values of the user's own, kept in the user sets (the range assumed)
    Node("UserDefinedValueSelector", "Enumeration", "Value1",
         entries=("Value1", "Value2", "Value3", "Value4", "Value5"), conf="confirmed"),
    Node("UserDefinedValue", "Integer", (0,) * 5, min=-2**31, max=2**31 - 1, inc=1,
         selector="UserDefinedValueSelector",
         conf={"default": "confirmed", "min": "assumed", "max": "assumed", "inc": "assumed"}),
)

BY_NAME = {node.name: node for node in NODES}

# The camera's feature categories, as GenApi walks them (a saved feature file
# lists the features in this order): the order of the file the camera itself
# saved (confirmed there): the three auto functions' modes first (so that no
# value they drive is locked when a file loads), then the image format, the
# analog controls, colour, acquisition, the USB link, chunks, the auto
# functions' limits and ROIs, the LUT, the lines, timers, counters, events and
# the user's values. The categories of the features that file leaves out
# follow (order assumed). A feature of the table listed in no category falls
# into the last one, "Miscellaneous".
CATEGORIES = (
    ("AutoFunctionModes", ("ExposureAuto", "BalanceWhiteAuto", "GainAuto")),
    ("ImageFormatControl", ("SensorWidth", "SensorHeight", "WidthMax", "HeightMax",
                            "Width", "Height", "OffsetX", "OffsetY", "CenterX", "CenterY",
                            "ReverseX", "ReverseY", "PixelFormat", "PixelSize",
                            "PixelColorFilter", "TestImageSelector")),
    ("AnalogControl", ("GainSelector", "Gain", "BlackLevelSelector", "BlackLevel", "Gamma",
                       "DigitalShift", "RemoveParameterLimitSelector",
                       "RemoveParameterLimit")),
    ("ColorImprovementsControl", ("LightSourcePreset", "BalanceRatioSelector", "BalanceRatio",
                                  "ColorAdjustmentSelector", "ColorAdjustmentHue",
                                  "ColorAdjustmentSaturation", "ColorTransformationSelector",
                                  "ColorTransformationValueSelector", "ColorTransformationValue",
                                  "ColorSpace")),
    ("AcquisitionControl", ("AcquisitionMode", "AcquisitionStart", "AcquisitionStop",
                            "ExposureMode", "ExposureTime", "AcquisitionBurstFrameCount",
                            "TriggerSelector", "TriggerMode", "TriggerSoftware", "TriggerSource",
                            "TriggerActivation", "TriggerDelay", "AcquisitionFrameRateEnable",
                            "AcquisitionFrameRate", "ResultingFrameRate",
                            "AcquisitionStatusSelector", "AcquisitionStatus")),
    ("DeviceControl", ("DeviceVendorName", "DeviceModelName", "DeviceManufacturerInfo",
                       "DeviceVersion", "DeviceFirmwareVersion", "DeviceSerialNumber",
                       "DeviceUserID", "DeviceScanType", "BslUSBSpeedMode",
                       "DeviceLinkSelector", "DeviceLinkThroughputLimitMode",
                       "DeviceLinkThroughputLimit", "DeviceTemperatureSelector",
                       "DeviceTemperature", "TemperatureState")),
    ("ChunkDataControl", ("ChunkSelector", "ChunkEnable", "ChunkModeActive")),
    ("AutoFunctionControl", ("AutoTargetBrightness", "AutoFunctionProfile",
                             "AutoGainLowerLimit", "AutoGainUpperLimit",
                             "AutoExposureTimeLowerLimit", "AutoExposureTimeUpperLimit")),
    ("AutoFunctionROIControl", ("AutoFunctionROISelector", "AutoFunctionROIWidth",
                                "AutoFunctionROIHeight", "AutoFunctionROIOffsetX",
                                "AutoFunctionROIOffsetY", "AutoFunctionROIUseBrightness",
                                "AutoFunctionROIUseWhiteBalance")),
    ("LUTControl", ("LUTSelector", "LUTEnable", "LUTIndex", "LUTValue", "LUTValueAll")),
    # Features some lines lack come before those every line has: pylon puts
    # the selector back only after a feature the selected line has (so the
    # output's pulse width comes before the inverter, where the camera's
    # file has it last).
    ("DigitalIOControl", ("LineSelector", "LineMode", "LineFormat", "LineSource",
                          "LineMinimumOutputPulseWidth", "LineInverter", "LineDebouncerTime",
                          "LineStatus", "LineStatusAll", "UserOutputSelector",
                          "UserOutputValue", "UserOutputValueAll")),
    ("CounterAndTimerControl", ("TimerSelector", "TimerDuration", "TimerDelay",
                                "TimerTriggerSource", "CounterSelector", "CounterEventSource",
                                "CounterResetSource", "CounterResetActivation",
                                "CounterReset")),
    ("EventControl", ("EventSelector", "EventNotification")),
    # Each event's data nodes in a category of their own, "Event<Name>Data",
    # as pylon names it (the node a handler registered for the whole event
    # is handed).
    *((f"Event{name}Data", (f"Event{name}FrameID", f"Event{name}Timestamp"))
      for name in EVENTS),
    ("UserDefinedValueControl", ("UserDefinedValueSelector", "UserDefinedValue")),
    ("UserSetControl", ("UserSetSelector", "UserSetLoad", "UserSetSave", "UserSetDefault")),
    ("SequencerControl", ("SequencerMode", "SequencerConfigurationMode", "SequencerSetSelector",
                          "SequencerSetStart", "SequencerPathSelector", "SequencerSetSave",
                          "SequencerSetLoad", "SequencerTriggerSource",
                          "SequencerTriggerActivation")),
)
# The digits after the point a float feature shows (GenApi's fixed notation):
# as the camera's own feature file writes them (confirmed there; the others
# show GenApi's automatic notation). pylon verifies a loaded file by these
# texts, so a file the camera wrote loads only with them.
DISPLAY_PRECISION = {
    **dict.fromkeys(("Gain", "BlackLevel", "Gamma", "BalanceRatio", "ColorAdjustmentHue",
                     "ColorAdjustmentSaturation", "ColorTransformationValue",
                     "AcquisitionFrameRate", "AutoTargetBrightness", "AutoGainLowerLimit",
                     "AutoGainUpperLimit", "LineDebouncerTime"), 5),
    **dict.fromkeys(("ExposureTime", "AutoExposureTimeLowerLimit",
                     "AutoExposureTimeUpperLimit", "TimerDuration", "TimerDelay"), 1),
    "LineMinimumOutputPulseWidth": 3, "TriggerDelay": 0,
}
# Writable features a saved feature file leaves out (besides commands,
# read-only and computed features): the choice of a user set or sequencer set
# to work on, and the LUT's index and single values (the file holds the whole
# table as LUTValueAll; assumed for the others); and those the camera's own
# file leaves out (confirmed there): the sequencer, the acquisition mode, the
# colour space, the device's user ID, the single user outputs (the file holds
# UserOutputValueAll) and the counters' reset activation.
NOT_SAVED = ("UserSetSelector", "UserSetDefault", "SequencerSetSelector", "SequencerPathSelector",
             "SequencerSetStart", "LUTIndex", "LUTValue", "SequencerMode",
             "SequencerConfigurationMode", "SequencerTriggerSource", "SequencerTriggerActivation",
             "AcquisitionMode", "ColorSpace", "DeviceUserID", "UserOutputSelector",
             "UserOutputValue", "CounterResetActivation")


def assumed_values():
    """(what, value) for every value of the model chosen without a source."""
    rows = []
    for node in NODES:
        conf = node.conf if isinstance(node.conf, dict) else {"default": node.conf}
        for field, word in conf.items():
            if word != "assumed":
                continue
            value = getattr(node, field)
            if isinstance(value, tuple):
                value = value[0]
            unit = f" {node.unit}" if node.unit and field in ("default", "min", "max") else ""
            what = {"default": "start value", "min": "minimum", "max": "maximum",
                    "inc": "increment"}.get(field, field)
            rows.append((f"`{node.name}` {what}", f"{value!r}{unit}".replace("'", "")))
    rows += [(what, str(value)) for what, value in ASSUMED_RULES]
    return rows
