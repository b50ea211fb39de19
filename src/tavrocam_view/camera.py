"""One camera behind the page: the module's ``CLASS_Tavrocam`` on it, a grab
thread that keeps only the last frame, and what the page asks of it.

The page's camera work (settings, ROI, saving) runs on one worker thread
of the server; the grab thread only retrieves frames. Preview and histogram
are made from the last frame when a page is ready for one: frames arriving
meanwhile replace it, none queue.
"""

from __future__ import annotations

import contextlib
import io
import threading
import time

from . import features
from .roi import Limits, Roi, fit

PREVIEW_QUALITY = 75
# Bayer sites of each pattern, by (row, column) parity: R, G, G, B.
BAYER_SITES = {"RG": "RGGB", "GR": "GRBG", "GB": "GBRG", "BG": "BGGR"}


class ViewError(Exception):
    """A request the camera cannot serve as asked, in words for the page."""


def bits_of(pixel_format: str) -> int:
    """The bits per value of a pixel format named as the camera names it."""
    digits = ""
    for char in reversed(pixel_format.rstrip("p")):
        if not char.isdigit():
            break
        digits = char + digits
    return int(digits) if digits else 8


class Frame:
    """A grab result kept as the last frame, its array made once on demand."""

    def __init__(self, result, pixel_format: str, received: float) -> None:
        self.result = result
        self.pixel_format = pixel_format
        self.bits = bits_of(pixel_format)
        self.number = int(result.GetImageNumber())
        self.block_id = int(result.GetBlockID())
        self.width = int(result.GetWidth())
        self.height = int(result.GetHeight())
        self.pixel_type = result.GetPixelType()
        self.received = received
        self._array = None
        self._lock = threading.Lock()

    def array(self):
        with self._lock:
            if self._array is None:
                self._array = self.result.GetArray()
            return self._array


def decimate(array, pixel_format: str, step: int):
    """Every ``step``-th pixel in each direction, keeping what a pixel is:
    the 2x2 Bayer cell, the YCbCr 4:2:2 pair."""
    if step <= 1:
        return array
    height, width = array.shape[:2]
    if pixel_format.startswith("Bayer"):
        cells = array[:height - height % 2, :width - width % 2].reshape(
            height // 2, 2, width // 2, 2)[::step, :, ::step, :]
        return cells.reshape(cells.shape[0] * 2, cells.shape[2] * 2)
    if pixel_format.startswith("YCbCr"):
        pairs = array[:, :width - width % 2].reshape(height, width // 2, 2, 2)[::step, ::step]
        return pairs.reshape(pairs.shape[0], pairs.shape[1] * 2, 2)
    return array[::step, ::step]


def channels(array, pixel_format: str) -> list[tuple[str, object]]:
    """The image's channels as (name, values), values in the camera's units."""
    if pixel_format.startswith("Bayer"):
        sites = BAYER_SITES.get(pixel_format[5:7], "RGGB")
        planes = {(r, c): array[r::2, c::2] for r in (0, 1) for c in (0, 1)}
        named: dict[str, list] = {}
        for (r, c), site in zip(((0, 0), (0, 1), (1, 0), (1, 1)), sites):
            named.setdefault(site, []).append(planes[(r, c)])
        return [(name, named[name]) for name in ("R", "G", "B")]
    if pixel_format in ("RGB8", "BGR8"):
        order = "RGB" if pixel_format == "RGB8" else "BGR"
        return sorted(((name, [array[..., i]]) for i, name in enumerate(order)),
                      key=lambda item: "RGB".index(item[0]))
    if pixel_format.startswith("YCbCr"):
        return [("Y", [array[..., 0]]), ("Cb", [array[:, 0::2, 1]]), ("Cr", [array[:, 1::2, 1]])]
    return [("Mono", [array])]


def histogram(array, pixel_format: str, bits: int) -> dict:
    """256 bins per channel, and the pixels at 0 (black) and at full scale
    (saturated) counted exactly: one count of every value per channel."""
    import numpy as np

    top = (1 << bits) - 1
    result = []
    for name, planes in channels(array, pixel_format):
        values = np.zeros(top + 1, dtype=np.int64)
        for plane in planes:
            values += np.bincount(plane.ravel(), minlength=top + 1)[:top + 1]
        result.append({"name": name, "counts": values.reshape(256, -1).sum(axis=1).tolist(),
                       "black": int(values[0]), "saturated": int(values[top]),
                       "total": int(values.sum())})
    return {"bits": bits, "channels": result}


class Camera:
    """The camera at ``index`` through the ``Tavrocam`` module ``module``."""

    def __init__(self, module, index: int) -> None:
        import numpy  # noqa: F401  (the view's frames are numpy arrays)

        self.module = module
        self.pylon = module.pylon
        self.index = index
        self.serial = ""
        self.model = ""
        self.api = None
        self.messages: list[str] = []
        self.removed = False
        self.grab_error = ""
        self.on_frame = None  # called from the grab thread on every new frame
        self._frame: Frame | None = None
        self._thread: threading.Thread | None = None
        self._halt = threading.Event()
        self._grab_lock = threading.RLock()
        self._converter = None
        self.received = 0
        self.failed = 0
        self._first_block: int | None = None
        self._rate_marks: list[float] = []

    # --- connection -------------------------------------------------------------
    def connect(self) -> None:
        """Construct ``CLASS_Tavrocam`` for the camera at ``self.index``;
        ViewError with what the constructor printed when it did not connect."""
        with features.capture() as lines:
            api = self.module.CLASS_Tavrocam(self.index)
        self.messages = lines
        if not hasattr(api, "Device") or not api.cam.IsOpen():
            with features.capture():
                with contextlib.suppress(Exception):
                    api.close()
            raise ViewError(" ".join(lines) or "The camera did not open.")
        self.api = api
        self.removed = False
        info = api.cam.GetDeviceInfo()
        self.serial = info.GetSerialNumber()
        self.model = info.GetModelName()
        features.safe_print(*lines)

    def reconnect(self) -> None:
        """Release the camera, find it again by its serial number and connect."""
        serial = self.serial
        self.release()
        devices = self.pylon.TlFactory.GetInstance().EnumerateDevices()
        for position, device in enumerate(devices):
            if device.GetSerialNumber() == serial:
                self.index = position
                self.connect()
                self.start()
                return
        raise ViewError(f"Camera {serial} is not attached: {len(devices)} camera(s) found.")

    def release(self) -> None:
        """Stop grabbing and close the camera (``close()`` says "CCD closed.")."""
        self.stop()
        api, self.api = self.api, None
        self._frame = None
        if api is None:
            return
        try:
            api.close()
        except Exception:  # a removed camera cannot be closed: it is gone already
            pass
        with contextlib.suppress(Exception):
            api.cam.DestroyDevice()

    @property
    def cam(self):
        if self.api is None:
            raise ViewError("The camera is not connected.")
        return self.api.cam

    def check_removed(self) -> bool:
        if self.api is not None and not self.removed:
            try:
                self.removed = bool(self.api.cam.IsCameraDeviceRemoved())
            except Exception:
                self.removed = True
        return self.removed

    # --- grabbing ------------------------------------------------------------------
    @property
    def grabbing(self) -> bool:
        return self._thread is not None and self._thread.is_alive()

    def start(self) -> None:
        with self._grab_lock:
            if self.grabbing:
                return
            cam = self.cam
            pixel_format = str(cam.PixelFormat.GetValue())
            cam.StartGrabbing(self.pylon.GrabStrategy_LatestImageOnly)
            self._halt.clear()
            self.grab_error = ""
            self._thread = threading.Thread(target=self._grab, args=(cam, pixel_format),
                                            name="tavrocam-view grab", daemon=True)
            self._thread.start()

    def stop(self) -> None:
        with self._grab_lock:
            thread, self._thread = self._thread, None
            self._halt.set()
            if self.api is not None:
                with contextlib.suppress(Exception):
                    self.api.cam.StopGrabbing()
            if thread is not None:
                thread.join()

    @contextlib.contextmanager
    def idle(self, needed: bool = True):
        """Grabbing stopped meanwhile (when ``needed``), then started again,
        as the camera maker's viewer does for the settings pylon locks."""
        was = needed and self.grabbing
        if was:
            self.stop()
        try:
            yield
        finally:
            if was and not self.check_removed():
                self.start()

    def _grab(self, cam, pixel_format: str) -> None:
        timeout = self.pylon.TimeoutHandling_Return
        while not self._halt.is_set():
            try:
                result = cam.RetrieveResult(500, timeout)
            except Exception as error:
                self.grab_error = str(error)
                self.check_removed()
                break
            if result is None or not result.IsValid():
                if not cam.IsGrabbing():
                    break
                continue
            if not result.GrabSucceeded():
                self.failed += 1
                self.grab_error = str(result.GetErrorDescription())
                result.Release()
                continue
            frame = Frame(result, pixel_format, time.monotonic())
            if self._first_block is None:
                self._first_block = frame.block_id
            self._frame = frame  # the one before goes with its last reader
            self.received += 1
            self._rate_marks.append(frame.received)
            if len(self._rate_marks) > 120:
                del self._rate_marks[:60]
            callback = self.on_frame
            if callback is not None:
                callback(frame.number)

    @property
    def frame(self) -> Frame | None:
        return self._frame

    def received_rate(self) -> float:
        marks = [t for t in self._rate_marks[-60:] if t > time.monotonic() - 2.0]
        if len(marks) < 2:
            return 0.0
        return (len(marks) - 1) / (marks[-1] - marks[0]) if marks[-1] > marks[0] else 0.0

    def camera_frames(self) -> int:
        """Frames the camera sent since grabbing first started (block IDs)."""
        frame = self._frame
        if frame is None or self._first_block is None:
            return 0
        return max(frame.block_id - self._first_block + 1, self.received)

    # --- images ---------------------------------------------------------------------
    def _rgb(self, array, frame: Frame):
        """An RGB8 (or Mono8) array of this image: Bayer and YCbCr through
        pylon's own ImageFormatConverter."""
        import numpy as np

        name = frame.pixel_format
        if name == "Mono8":
            return array
        if name == "RGB8":
            return array
        if name == "BGR8":
            return array[..., ::-1]
        pylon = self.pylon
        if name.startswith("Bayer"):
            pixel_type = getattr(pylon, "PixelType_" + name.rstrip("p"))  # unpacked by Array
        else:
            pixel_type = frame.pixel_type
        image = pylon.PylonImage()
        image.AttachArray(np.ascontiguousarray(array), pixel_type)
        if self._converter is None:
            converter = pylon.ImageFormatConverter()
            converter.OutputPixelFormat = pylon.PixelType_RGB8packed
            self._converter = converter
        return self._converter.Convert(image).GetArray()

    def preview(self, frame: Frame, max_width: int, max_height: int) -> bytes:
        """The frame as a JPEG for a window of max_width x max_height:
        decimated first (to the step nearest the window's scale), converted,
        then scaled down to fit if still larger; never scaled up (the page
        does that)."""
        from PIL import Image

        array = frame.array()
        scale = min(max_width / frame.width, max_height / frame.height, 1.0)
        step = max(round(1.0 / scale), 1)
        image = Image.fromarray(self._rgb(decimate(array, frame.pixel_format, step), frame))
        fit = min(max_width / image.width, max_height / image.height)
        if fit < 1.0:
            image = image.resize((max(round(image.width * fit), 1), max(round(image.height * fit), 1)),
                                 Image.BILINEAR)
        out = io.BytesIO()
        image.save(out, "JPEG", quality=PREVIEW_QUALITY)
        return out.getvalue()

    def histogram(self) -> dict | None:
        frame = self._frame
        if frame is None:
            return None
        return histogram(frame.array(), frame.pixel_format, frame.bits)

    def pixel(self, x: int, y: int) -> dict | None:
        """The value at (x, y) of the last frame, in the camera's units."""
        frame = self._frame
        if frame is None or not (0 <= x < frame.width and 0 <= y < frame.height):
            return None
        array = frame.array()
        name = frame.pixel_format
        unit = f"DN ({frame.bits} bit)"
        if name.startswith("Bayer"):
            site = BAYER_SITES.get(name[5:7], "RGGB")[(y % 2) * 2 + x % 2]
            return {"x": x, "y": y, "values": {site: int(array[y, x])}, "unit": unit}
        if name in ("RGB8", "BGR8"):
            r, g, b = (int(v) for v in array[y, x][:: 1 if name == "RGB8" else -1])
            return {"x": x, "y": y, "values": {"R": r, "G": g, "B": b}, "unit": unit}
        if name.startswith("YCbCr"):
            pair = x - x % 2
            return {"x": x, "y": y, "unit": unit,
                    "values": {"Y": int(array[y, x, 0]), "Cb": int(array[y, pair, 1]),
                               "Cr": int(array[y, pair + 1, 1]) if pair + 1 < frame.width else None}}
        return {"x": x, "y": y, "values": {"Mono": int(array[y, x])}, "unit": unit}

    def png(self) -> bytes:
        from PIL import Image

        frame = self._need_frame()
        out = io.BytesIO()
        Image.fromarray(self._rgb(frame.array(), frame)).save(out, "PNG")
        return out.getvalue()

    def raw(self) -> bytes:
        return bytes(self._need_frame().result.GetBuffer())

    def _need_frame(self) -> Frame:
        frame = self._frame
        if frame is None:
            raise ViewError("No frame yet: start grabbing first.")
        return frame

    def feature_file(self) -> str:
        return self.pylon.FeaturePersistence.SaveToString(self.cam.GetNodeMap())

    # --- the module's feature groups ----------------------------------------------------
    def call(self, group: str, method: str, *args) -> dict:
        """One method of the module, what it printed, its value or pylon's
        error text."""
        target = getattr(getattr(self.api, group), method)
        with features.capture() as lines:
            try:
                value = target(*args)
            except Exception as error:
                return {"error": str(error), "error_type": type(error).__name__, "printed": lines}
        outcome: dict = {"printed": lines}
        if method.startswith("CUF_GET_"):
            outcome["value"] = features.text(value)
        return outcome

    def node_value(self, feature: str) -> dict:
        try:
            return {"value": features.text(getattr(self.cam, features.node_of(feature)).GetValue()),
                    "from_node": True}
        except Exception as error:
            return {"error": str(error), "error_type": type(error).__name__, "from_node": True}

    def control(self, feature: str, params: list[str]) -> list[dict]:
        """How each parameter of a setter is edited."""
        cam = self.cam
        controls = []
        for param in params:
            node_name = "BalanceRatioSelector" if param == "selector" else features.node_of(feature)
            try:
                info = features.kind_of(getattr(cam, node_name))
            except Exception:
                info = {"kind": "text"}
            controls.append({"param": param, **info})
        return controls

    def read(self, group: str, feature: dict) -> dict:
        if feature["getter"]:
            return self.call(group, feature["getter"])
        if feature["setter"] and feature["params"]:
            return self.node_value(feature["name"])
        return {}

    def describe(self) -> list[dict]:
        groups = features.describe(self.module)
        for group in groups:
            for feature in group["features"]:
                if feature["setter"]:
                    feature["controls"] = self.control(feature["name"], feature["params"])
                feature["now"] = self.read(group["group"], feature)
        return groups

    def set(self, group: str, feature: str, values: list) -> dict:
        """Call ``CUF_SET_<feature>`` with the page's values converted to what
        the node takes; then read the value back. Settings pylon locks while
        grabbing are made with grabbing stopped."""
        entry = next((f for g in features.describe(self.module) if g["group"] == group
                      for f in g["features"] if f["name"] == feature and f["setter"]), None)
        if entry is None:
            raise ViewError(f"{group} has no setter for {feature}.")
        if len(values) != len(entry["params"]):
            raise ViewError(f"CUF_SET_{feature} takes {len(entry['params'])} value(s), not {len(values)}.")
        args = []
        for control, value in zip(self.control(feature, entry["params"]), values):
            try:
                args.append(features.convert(value, control))
            except (TypeError, ValueError) as error:
                raise ViewError(f"{control['param']}: {error}") from None
        node = None
        with contextlib.suppress(Exception):
            node = getattr(self.cam, features.node_of(feature))
        locked = feature in features.IDLE_ONLY
        if not locked and node is not None and self.grabbing:
            with contextlib.suppress(Exception):
                locked = not node.IsWritable()
        with self.idle(locked):
            outcome = self.call(group, "CUF_SET_" + feature, *args)
        if entry["getter"]:
            back = self.call(group, entry["getter"], *args[:1] if feature == "BalanceRatio" else ())
        else:
            back = self.node_value(feature) if entry["params"] else {}
        outcome["read_back"] = back
        outcome["printing"] = feature in features.PRINTING
        return outcome

    def report(self) -> list[dict]:
        """The five values of the settings report, read as it reads them."""
        lines = []
        for label, group, getter, unit in features.REPORT:
            outcome = self.call(group, getter)
            lines.append({"label": f"{label:<15}: ", "unit": unit, **outcome})
        return lines

    # --- ROI -----------------------------------------------------------------------------
    def limits(self) -> Limits:
        cam = self.cam
        return Limits(int(cam.WidthMax.GetValue()), int(cam.HeightMax.GetValue()),
                      int(cam.Width.GetMin()), int(cam.Height.GetMin()),
                      int(cam.Width.GetInc()), int(cam.Height.GetInc()),
                      int(cam.OffsetX.GetInc()), int(cam.OffsetY.GetInc()))

    def roi(self) -> Roi:
        cam = self.cam
        return Roi(int(cam.OffsetX.GetValue()), int(cam.OffsetY.GetValue()),
                   int(cam.Width.GetValue()), int(cam.Height.GetValue()))

    def set_roi(self, x: float, y: float, width: float, height: float, relative: bool = True) -> dict:
        """The ROI drawn at (x, y) on the image (relative to the ROI shown)
        or on the sensor, fitted to the camera's increments, set through the
        module's setters with grabbing stopped: offsets to 0 first, so every
        step lies within the camera's current range."""
        now = self.roi()
        if relative:
            x, y = x + now.offset_x, y + now.offset_y
        target = fit(x, y, width, height, self.limits())
        steps = (("CUF_SET_OffsetX", 0), ("CUF_SET_OffsetY", 0),
                 ("CUF_SET_Width", target.width), ("CUF_SET_Height", target.height),
                 ("CUF_SET_OffsetX", target.offset_x), ("CUF_SET_OffsetY", target.offset_y))
        printed: list[str] = []
        with self.idle():
            for method, value in steps:
                outcome = self.call("ImageFormat", method, value)
                printed += outcome["printed"]
                if "error" in outcome:
                    outcome["step"] = f"{method}({value})"
                    outcome["roi"] = vars(self.roi())
                    return outcome
        return {"printed": printed, "roi": vars(self.roi())}

    def centre(self, axis: str) -> dict:
        with self.idle():
            outcome = self.call("ImageFormat", "CUF_SET_Center" + axis)
        outcome["roi"] = vars(self.roi())
        return outcome
