"""The Basler acA2040-55uc's facts beside its feature nodes: its identity and
sensor, its pixel formats' PFNC codes, the figures its own behaviour follows
(light-source presets, the LUT, the temperatures, the frame timing, chunks,
triggers, the sequencer) and the rules the model assumes. Confidence as in
tavrocam_sim.model; everything here is read as ``model.<name>`` too.
"""

from __future__ import annotations

MODEL_NAME = "acA2040-55uc"
VENDOR_NAME = "Basler"
DEVICE_CLASS = "BaslerUsb"
SENSOR_WIDTH = 2064
SENSOR_HEIGHT = 1544
DEFAULT_WIDTH = 2048
DEFAULT_HEIGHT = 1536
# USB identity of the ace U family, as the full name shows it on Linux.
USB_VID_PID = "2676:ba02"
# Serial numbers of simulated cameras count up from here (assumed; the format,
# eight decimal digits, is confirmed).
FIRST_SERIAL = 40000001

# PFNC pixel-format codes; bits 16-23 hold the bits a pixel occupies.
PFNC = {
    "Mono8": 0x01080001,
    "BayerGR8": 0x01080008, "BayerRG8": 0x01080009,
    "BayerGB8": 0x0108000A, "BayerBG8": 0x0108000B,
    "BayerGR12": 0x01100010, "BayerRG12": 0x01100011,
    "BayerGB12": 0x01100012, "BayerBG12": 0x01100013,
    "BayerGR12p": 0x010C0057, "BayerRG12p": 0x010C0059,
    "BayerGB12p": 0x010C0055, "BayerBG12p": 0x010C0053,
    "RGB8": 0x02180014, "BGR8": 0x02180015, "YCbCr422_8": 0x0210003B,
}
# The Bayer phase as (ReverseX + 2 * ReverseY) gives it, from the native RG.
PHASES = ("RG", "GR", "GB", "BG")


def bayer_phase(pixel_format: str) -> int | None:
    """0..3 for a Bayer format (its index in PHASES), None for the others."""
    if not pixel_format.startswith("Bayer"):
        return None
    return PHASES.index(pixel_format[5:7])


# Balance ratios (red, green, blue) each light-source preset sets. Daylight
# 5000 K is the saved state of a real camera; the others are assumed.
PRESET_RATIOS = {
    "Daylight5000K": (1.56494, 1.0, 2.20166),
    "Daylight6500K": (1.79102, 1.0, 1.87231),
    "Tungsten2800K": (1.0, 1.0, 3.33423),
}

# The colour of the scene's neutral patch as the sensor sees it under the
# default illumination (assumed): the images and the white balance use it.
SCENE_NEUTRAL_RGB = (0.639, 1.0, 0.454)
# Balance White Auto (Once, Continuous) first sets all three ratios to this
# (confirmed), then moves red and blue until their averages match green's.
GREY_WORLD_START = 1.5
# An auto function's Once ends when the image is within this fraction of its
# target (brightness; red and blue averages against green's) (assumed), or
# after this many cycles (confirmed).
AUTO_TOLERANCE = 0.01
AUTO_MAX_CYCLES = 30

# The luminance LUT: LUTValue (0..4095) at LUTIndex 0, 8, ..., 4088; the
# camera interpolates between its points (likely).
LUT_STEP = 8
LUT_POINTS = 512

# The colour transformation each light-source preset loads (RGBtoRGB, rows:
# output red, green, blue; assumed values, each row adding up to 1 so that a
# balanced grey stays grey); Off is the identity (likely). A preset other
# than Off also applies the sRGB gamma (about 0.4) in the RGB, BGR and YCbCr
# formats (likely).
COLOR_MATRICES = {
    "Off": ((1.0, 0.0, 0.0), (0.0, 1.0, 0.0), (0.0, 0.0, 1.0)),
    "Daylight5000K": ((1.5625, -0.4375, -0.125), (-0.25, 1.4375, -0.1875),
                      (-0.0625, -0.5, 1.5625)),
    "Daylight6500K": ((1.5, -0.375, -0.125), (-0.25, 1.4375, -0.1875),
                      (-0.0625, -0.4375, 1.5)),
    "Tungsten2800K": ((1.6875, -0.5625, -0.125), (-0.3125, 1.5, -0.1875),
                      (0.0, -0.75, 1.75)),
}

# Temperatures (degrees C) at which the state changes, heating and cooling.
TEMPERATURE_CRITICAL = 75      # Ok -> Critical when heating
TEMPERATURE_ERROR = 80         # above this: Error (over-temperature mode)
TEMPERATURE_BACK_CRITICAL = 80  # Error -> Critical when cooling
TEMPERATURE_BACK_OK = 74       # Critical -> Ok when cooling
# Above TEMPERATURE_ERROR the camera is in its over-temperature mode: it
# sends test image 2 instead of images until it has cooled to
# TEMPERATURE_RESUME. The OverTemperature event fires on entering the mode and
# fires again only after the camera cooled to OVER_TEMPERATURE_REARM; the
# CriticalTemperature event likewise after CRITICAL_REARM (all confirmed).
TEMPERATURE_RESUME = 77
OVER_TEMPERATURE_REARM = 77
CRITICAL_REARM = 71

# Frame timing (assumed model): the sensor reads a row in ROW_TIME_US, plus a
# fixed overhead of FRAME_OVERHEAD_ROWS rows a frame, giving 55 fps at the
# default ROI height (confirmed figure); the exposure of a frame overlaps the
# readout of the previous one, so the exposure time limits the rate only when
# it exceeds the readout time; the USB link carries at most
# DeviceLinkThroughputLimit bytes a second when the limit is on, else
# USB_MAX_BYTES_PER_S.
FRAME_OVERHEAD_ROWS = 40
ROW_TIME_US = 1e6 / (55.0 * (DEFAULT_HEIGHT + FRAME_OVERHEAD_ROWS))
EXPOSURE_OVERHEAD_US = 30.0
USB_MAX_BYTES_PER_S = 400_000_000
# Bytes a chunk adds to the payload when enabled (assumed): a chunk header of
# 8 bytes and the value.
CHUNK_BYTES = {"Gain": 16, "ExposureTime": 16, "Timestamp": 16, "LineStatusAll": 16,
               "CounterValue": 16, "SequencerSetActive": 16, "PayloadCRC16": 16}

# ExposureMode TriggerWidth: the exposure lasts from the trigger's edge to the
# opposite edge plus a fixed offset (C4; the offset is confirmed, its value
# assumed).
TRIGGER_WIDTH_OFFSET_US = 14.0
# TriggerDelay delays a trigger from an input line; a software trigger and the
# free-running camera are not delayed (a sibling's manual: guessed here).
DELAYED_SOURCES = ("Line1", "Line3", "Line4")
# The settings a sequencer set holds (assumed: the exposure, the analog and
# the digital stage; the ROI and the pixel format stay as they are).
SEQUENCED = ("ExposureTime", "Gain", "BlackLevel", "Gamma", "DigitalShift", "BalanceRatio")

# What the model assumes beyond single node values, for the table of assumed
# values: (what, the value chosen).
ASSUMED_RULES = (
    ("serial numbers of simulated cameras", f"{FIRST_SERIAL}, {FIRST_SERIAL + 1}, ..."),
    ("balance ratios of Daylight6500K (red, green, blue)", PRESET_RATIOS["Daylight6500K"]),
    ("balance ratios of Tungsten2800K (red, green, blue)", PRESET_RATIOS["Tungsten2800K"]),
    ("frame rate", "the least of: 1 / (row time x (Height + "
                   f"{FRAME_OVERHEAD_ROWS} rows)) with the row time giving 55 fps at "
                   f"{DEFAULT_HEIGHT} rows; 1 / (ExposureTime + {EXPOSURE_OVERHEAD_US:g} us); "
                   "the USB link's bytes per second (DeviceLinkThroughputLimit when its mode is "
                   f"On, else {USB_MAX_BYTES_PER_S:,}) / PayloadSize; AcquisitionFrameRate "
                   "when enabled"),
    ("bytes a chunk adds to PayloadSize", f"{CHUNK_BYTES['Gain']} for each enabled chunk"),
    ("the output line each user output drives", "Line2: UserOutput1, Line3: UserOutput2, "
                                                 "Line4: UserOutput3"),
    ("colour matrix of Daylight5000K", COLOR_MATRICES["Daylight5000K"]),
    ("colour matrix of Daylight6500K", COLOR_MATRICES["Daylight6500K"]),
    ("colour matrix of Tungsten2800K", COLOR_MATRICES["Tungsten2800K"]),
    ("order of the digital processing", "colour matrix (RGB, BGR, YCbCr), LUT, sRGB gamma "
                                        "(RGB, BGR, YCbCr with a preset), Gamma, "
                                        "DigitalShift, the format's bits"),
    ("TriggerDelay applied", "to line triggers only (guessed: a sibling's manual)"),
    ("test image 6", "red (x + y + frame) mod 256, green and blue the same 85 and 170 on"),
    ("chroma of YCbCr422_8", "Cb from the even, Cr from the odd pixel of a pair"),
    ("auto functions", "one calculation cycle a frame while acquiring; Once stops within "
                       f"{AUTO_TOLERANCE * 100:g} % of AutoTargetBrightness or after "
                       f"{AUTO_MAX_CYCLES} cycles"),
    ("Balance White Auto", "one grey-world step a frame over the image ROI's overlap with the "
                           "auto-function ROI that has AutoFunctionROIUseWhiteBalance (both in "
                           "sensor coordinates); Once stops when red and blue are within "
                           f"{AUTO_TOLERANCE * 100:g} % of green or after {AUTO_MAX_CYCLES} "
                           "cycles"),
    ("byte order of LUTValueAll's 32-bit slots", "little-endian"),
    ("TriggerWidth exposure offset (C4)", f"{TRIGGER_WIDTH_OFFSET_US:g} us"),
    ("a triggered frame", "due one frame period after its trigger (plus TriggerDelay for a "
                          "line trigger); in TriggerWidth mode, after the closing edge"),
    ("the settings a sequencer set holds", ", ".join(SEQUENCED)),
    ("the sequencer's path", "from SequencerSetStart through the highest set saved, then "
                             "SequencerSetStart again; Counter2End advances every frame "
                             "(no CounterDuration in the model), a line advances at each "
                             "frame start it is high at, a software signal never"),
    ("FrameStartWait and FrameBurstStartWait events", "at AcquisitionStart and each time a "
                                                      "frame (a burst) is done, while the "
                                                      "trigger is on"),
    ("the text of an open after the device was removed", "Failed to open device '<full "
                                                         "name>'. Error: 'The device has been "
                                                         "removed from the PC.'"),
)
