"""Grabbing from the simulated acA2040-55uc: the calls, the locks, the timing and
the pixels. The pixels are decoded here from GetBuffer(), independently of the
simulator, so everything but the Array tests runs with and without numpy."""

import binascii
import struct
import time

import pytest

tavrocam_sim = pytest.importorskip("tavrocam_sim")
from pypylon import pylon  # noqa: E402
from tavrocam_sim import image as sim_image  # noqa: E402

RED_PATCH, BLUE_PATCH = (760, 700), (300, 700)   # ROI corners inside chart patches
DARK, BRIGHT = (32, 1300), (1700, 1300)          # plain background, left and right
CHART_CORNER = (260, 220)                        # first patch's top-left sensor pixel
PHASES = {(False, False): "RG", (True, False): "GR", (False, True): "GB", (True, True): "BG"}
RED_SITE = {"RG": (0, 0), "GR": (0, 1), "GB": (1, 0), "BG": (1, 1)}
BYTES_PER_PIXEL = {"8": 1, "12": 2, "12p": 1.5, "RGB8": 3, "BGR8": 3, "YCbCr422_8": 2}


@pytest.fixture
def cam():
    sim = tavrocam_sim.Simulation()
    camera = sim.pylon.InstantCamera(sim.pylon.TlFactory.GetInstance().CreateFirstDevice())
    camera.Open()
    roi(camera, *BRIGHT)
    yield camera
    camera.StopGrabbing()
    camera.Close()


def roi(cam, x, y, width=64, height=48):
    cam.OffsetX.Value = cam.OffsetY.Value = 0
    cam.Width.Value, cam.Height.Value = width, height
    cam.OffsetX.Value, cam.OffsetY.Value = x, y


def rows(result, pixel_format):
    """The image as rows of samples (ints), decoded from GetBuffer()."""
    data = bytes(result.GetBuffer())[:result.ImageSize]
    if pixel_format.endswith("12p"):
        flat = []
        for i in range(0, len(data), 3):
            flat += (data[i] | (data[i + 1] & 15) << 8, data[i + 1] >> 4 | data[i + 2] << 4)
    elif "12" in pixel_format:
        flat = list(struct.unpack(f"<{len(data) // 2}H", data))
    else:
        flat = list(data)
    per_row = len(flat) // result.Height
    return [flat[i:i + per_row] for i in range(0, len(flat), per_row)]


def mean(values):
    values = list(values)
    return sum(values) / len(values)


def site_mean(image, dy, dx):
    return mean(v for row in image[dy::2] for v in row[dx::2])


def grab(cam, pixel_format=None):
    with cam.GrabOne(1000) as result:
        return rows(result, pixel_format or cam.PixelFormat.Value)


# ------------------------------------------------------------------ the calls
class TestCalls:
    def test_grab_one_opens_and_closes_a_closed_camera(self, cam):
        cam.Close()
        result = cam.GrabOne(1000)
        assert (result.GrabSucceeded(), result.Width, result.Height) == (True, 64, 48)
        assert not cam.IsOpen() and not cam.IsGrabbing()

    @pytest.mark.parametrize("call", [
        lambda c: c.GrabOne("1000"), lambda c: c.GrabOne(-1), lambda c: c.GrabOne(2 ** 32),
        lambda c: c.GrabOne(100.0), lambda c: c.RetrieveResult(), lambda c: c.StartGrabbing(1.0),
        lambda c: c.StartGrabbingMax(-1), lambda c: c.GrabOne(timeout=100)],
        ids=["str", "negative", "too-big", "float", "none", "strategy", "count", "keyword"])
    def test_bad_arguments_are_type_errors(self, cam, call):
        with pytest.raises(TypeError, match="overloaded function 'InstantCamera_|keyword"):
            call(cam)
        assert not cam.IsGrabbing()

    def test_a_count_of_zero_is_out_of_range(self, cam):
        with pytest.raises(pylon.OutOfRangeException, match="cannot be 0"):
            cam.StartGrabbingMax(0)

    def test_retrieve_while_not_grabbing_gives_an_empty_result(self, cam):
        result = cam.RetrieveResult(10, pylon.TimeoutHandling_ThrowException)
        assert not result and not result.IsValid()
        with pytest.raises(pylon.RuntimeException, match="No grab result data is referenced"):
            result.Width

    @pytest.mark.parametrize("use", ["GrabSucceeded", "GetBuffer", "GetTimeStamp", "GetArray"])
    def test_a_released_result_refuses_every_use(self, cam, use):
        with cam.GrabOne(1000) as result:
            assert result.IsValid()
        expected = pylon.RuntimeException
        if use == "GetArray" and tavrocam_sim.image.numpy is None:
            expected = NotImplementedError
        with pytest.raises(expected):
            getattr(result, use)()
        result.Release()  # twice is fine
        assert not result.IsValid()

    def test_starting_twice_is_refused(self, cam):
        cam.StartGrabbing()
        for call in (cam.StartGrabbing, lambda: cam.GrabOne(100)):
            with pytest.raises(pylon.RuntimeException, match="already been started"):
                call()

    @pytest.mark.parametrize("strategy", [pylon.GrabStrategy_OneByOne,
                                          pylon.GrabStrategy_LatestImageOnly])
    def test_a_count_stops_grabbing_after_that_many(self, cam, strategy):
        cam.StartGrabbingMax(3, strategy)
        numbers = [cam.RetrieveResult(1000).ImageNumber for _ in range(3)]
        assert numbers == [1, 2, 3] and not cam.IsGrabbing()
        assert not cam.RetrieveResult(10).IsValid()

    def test_a_software_trigger_needs_grabbing(self, cam):
        with pytest.raises(pylon.RuntimeException, match="Grabbing has not been started"):
            cam.ExecuteSoftwareTrigger()


# ------------------------------------------------------------------ locks
@pytest.mark.parametrize("node,value", [
    ("Width", 32), ("Height", 32), ("OffsetX", 100), ("OffsetY", 100), ("ReverseX", True),
    ("PixelFormat", "Mono8"), ("ChunkModeActive", True), ("AcquisitionMode", "SingleFrame"),
    ("MaxNumBuffer", 4)])
@pytest.mark.parametrize("stop", ["StopGrabbing", "count", "Close"])
def test_idle_settings_lock_while_grabbing_and_lift_after(cam, node, value, stop):
    cam.StartGrabbingMax(1) if stop == "count" else cam.StartGrabbing()
    with pytest.raises(pylon.AccessException, match="not writable"):
        getattr(cam, node).Value = value
    if stop == "count":
        cam.RetrieveResult(1000)
    elif stop == "Close":
        cam.Close()
        cam.Open()
    else:
        cam.StopGrabbing()
    getattr(cam, node).Value = value
    assert getattr(cam, node).Value == value and not cam.IsGrabbing()


# ------------------------------------------------------------------ timing and triggers
@pytest.mark.parametrize("settings", [{}, {"ExposureTime": 40000.0},
                                      {"AcquisitionFrameRateEnable": True,
                                       "AcquisitionFrameRate": 30.0}])
def test_free_running_frames_are_one_resulting_frame_period_apart(cam, settings):
    for name, value in settings.items():
        getattr(cam, name).Value = value
    period_ns = 1e9 / cam.ResultingFrameRate.Value
    cam.StartGrabbing()
    stamps = [cam.RetrieveResult(1000).TimeStamp for _ in range(3)]
    assert [b - a for a, b in zip(stamps, stamps[1:])] == [pytest.approx(period_ns, abs=2)] * 2


class TestSoftwareTrigger:
    @pytest.fixture(autouse=True)
    def triggered(self, cam):
        cam.TriggerSelector.Value = "FrameStart"
        cam.TriggerMode.Value = "On"
        cam.TriggerSource.Value = "Software"

    @pytest.mark.parametrize("trigger", ["node", "camera"])
    def test_one_frame_a_trigger(self, cam, trigger):
        cam.StartGrabbing()
        assert not cam.RetrieveResult(20, pylon.TimeoutHandling_Return).IsValid()
        with pytest.raises(pylon.TimeoutException, match="Grab timed out"):
            cam.RetrieveResult(20)
        cam.TriggerSoftware.Execute() if trigger == "node" else cam.ExecuteSoftwareTrigger()
        assert cam.RetrieveResult(1000).ImageNumber == 1
        assert not cam.RetrieveResult(20, pylon.TimeoutHandling_Return).IsValid()

    @pytest.mark.parametrize("strategy,queue,delivered", [
        (pylon.GrabStrategy_OneByOne, {}, [(1, 0, 0), (2, 1, 0), (3, 2, 0)]),
        (pylon.GrabStrategy_OneByOne, {"MaxNumBuffer": 2}, [(1, 0, 0), (2, 1, 0)]),
        (pylon.GrabStrategy_LatestImageOnly, {}, [(1, 2, 2)]),
        (pylon.GrabStrategy_LatestImages, {"OutputQueueSize": 2}, [(1, 1, 1), (2, 2, 0)])],
        ids=["one-by-one", "two-buffers", "latest-only", "latest-two"])
    def test_strategies(self, cam, strategy, queue, delivered):
        for name, value in queue.items():
            getattr(cam, name).Value = value
        cam.StartGrabbing(strategy)
        for _ in range(3):
            assert cam.WaitForFrameTriggerReady(1000)
            cam.ExecuteSoftwareTrigger()
        assert cam.WaitForFrameTriggerReady(1000)
        time.sleep(2 / cam.ResultingFrameRate.Value)  # let the last frame arrive
        got = []
        while True:
            result = cam.RetrieveResult(0, pylon.TimeoutHandling_Return)
            if not result:
                break
            got.append((result.ImageNumber, result.BlockID, result.NumberOfSkippedImages))
        assert got == delivered

    def test_grab_one_times_out_without_a_trigger(self, cam):
        with pytest.raises(pylon.TimeoutException, match="Grab timed out"):
            cam.GrabOne(20)
        assert not cam.IsGrabbing()
        assert not cam.GrabOne(20, pylon.TimeoutHandling_Return).IsValid()


# ------------------------------------------------------------------ pixels
FORMATS = ["Mono8", "BayerRG8", "BayerRG12", "BayerRG12p", "RGB8", "BGR8", "YCbCr422_8"]


@pytest.mark.parametrize("pixel_format", FORMATS)
def test_sizes_and_pixel_types(cam, pixel_format):
    cam.PixelFormat.Value = pixel_format
    roi(cam, *BRIGHT, width=128, height=32)
    kind = pixel_format if pixel_format in BYTES_PER_PIXEL else \
        "12p" if pixel_format.endswith("12p") else "12" if pixel_format.endswith("12") else "8"
    expected_type = {"RGB8": pylon.PixelType_RGB8packed, "BGR8": pylon.PixelType_BGR8packed,
                     "YCbCr422_8": pylon.PixelType_YUV422_YUYV_Packed}.get(
        pixel_format, getattr(pylon, "PixelType_" + pixel_format, None))
    with cam.GrabOne(1000) as result:
        size = 128 * 32 * BYTES_PER_PIXEL[kind]
        assert len(result.GetBuffer()) == result.PayloadSize == cam.PayloadSize.Value == size
        assert result.PixelType == expected_type


@pytest.mark.parametrize("depth", ["8", "12", "12p"])
@pytest.mark.parametrize("reverse", list(PHASES), ids=lambda r: PHASES[r])
def test_bayer_phase_follows_mirroring(cam, reverse, depth):
    cam.ReverseX.Value, cam.ReverseY.Value = reverse
    phase = PHASES[reverse]
    cam.PixelFormat.Value = f"Bayer{phase}{depth}"
    ry, rx = RED_SITE[phase]
    for corner, site in ((RED_PATCH, (ry, rx)), (BLUE_PATCH, (1 - ry, 1 - rx))):
        roi(cam, *corner)
        image = grab(cam)
        means = {(dy, dx): site_mean(image, dy, dx) for dy in (0, 1) for dx in (0, 1)}
        assert max(means, key=means.get) == site, means
        assert means[site] > 3 * min(means.values())


@pytest.mark.parametrize("axis,offset", [("x", 252), ("x", 256), ("x", 248),
                                         ("y", 212), ("y", 216), ("y", 210)])
@pytest.mark.parametrize("mirrored", [False, True])
def test_the_roi_cuts_the_sensor_where_its_offsets_say(cam, axis, offset, mirrored):
    cam.PixelFormat.Value = "Mono8"
    (cam.ReverseX if axis == "x" else cam.ReverseY).Value = mirrored
    roi(cam, *((offset, 300) if axis == "x" else (300, offset)), width=16, height=16)
    image = grab(cam)
    lines = [mean(col) for col in zip(*image)] if axis == "x" else [mean(r) for r in image]
    edge = max(range(1, 16), key=lambda i: abs(lines[i] - lines[i - 1]))
    inside = CHART_CORNER[0 if axis == "x" else 1] - offset
    assert edge == (16 - inside if mirrored else inside)


@pytest.mark.parametrize("pixel_format,full", [("BayerRG8", 255), ("BayerRG12", 4095)])
class TestBrightness:
    @pytest.mark.parametrize("node,value", [("ExposureTime", 20000.0), ("Gain", 6.0206),
                                            ("DigitalShift", 1)])
    def test_doubles(self, cam, pixel_format, full, node, value):
        cam.PixelFormat.Value = pixel_format
        roi(cam, *DARK)
        before = mean(v for row in grab(cam) for v in row)
        getattr(cam, node).Value = value
        after = mean(v for row in grab(cam) for v in row)
        assert after == pytest.approx(2 * before, rel=0.03)

    def test_clips_at_full_scale(self, cam, pixel_format, full):
        cam.PixelFormat.Value = pixel_format
        cam.ExposureTime.Value = 200000.0
        values = {v for row in grab(cam) for v in row}  # the full well, less read noise
        assert max(values) == full and min(values) >= full * 0.998

    def test_black_level_is_an_offset_in_counts_of_the_format(self, cam, pixel_format, full):
        cam.PixelFormat.Value = pixel_format
        cam.ExposureTime.Value = 19.0
        before = mean(v for row in grab(cam) for v in row)
        cam.BlackLevel.Value = 20.0
        after = mean(v for row in grab(cam) for v in row)
        assert after - before == pytest.approx(20, abs=0.6)

    def test_balance_ratio_scales_its_channel(self, cam, pixel_format, full):
        cam.PixelFormat.Value = pixel_format
        roi(cam, *DARK)
        before = [site_mean(grab(cam), 0, dx) for dx in (0, 1)]  # red, green
        cam.BalanceRatioSelector.Value = "Red"
        cam.BalanceRatio.Value *= 2
        after = [site_mean(grab(cam), 0, dx) for dx in (0, 1)]
        assert after == [pytest.approx(2 * before[0], rel=0.03), pytest.approx(before[1], rel=0.03)]


@pytest.mark.parametrize("auto,target", [("ExposureAuto", 0.3), ("ExposureAuto", 0.6),
                                         ("GainAuto", 0.5)])
def test_once_settles_where_the_images_have_the_target_mean(cam, auto, target):
    roi(cam, *DARK)
    cam.AutoTargetBrightness.Value = target
    getattr(cam, auto).Value = "Once"
    cam.StartGrabbing()
    for _ in range(31):
        cam.RetrieveResult(1000).Release()
        if getattr(cam, auto).Value == "Off":
            break
    assert getattr(cam, auto).Value == "Off"
    cam.StopGrabbing()
    with cam.GrabOne(1000) as result:
        assert mean(v for row in rows(result, "BayerRG8") for v in row) / 255 == \
            pytest.approx(target, rel=0.03)


@pytest.mark.parametrize("half", [0, 1])
def test_exposure_auto_measures_its_roi_of_the_scene(cam, half):
    """A picture dark on the left and bright on the right of the image: Once
    brings the half its brightness ROI covers to the target."""
    np = pytest.importorskip("numpy")
    x, y, width, height = 1024, 512, 256, 128
    picture = np.full((tavrocam_sim.model.SENSOR_HEIGHT, tavrocam_sim.model.SENSOR_WIDTH), 0.02,
                      np.float32)
    picture[:, x + width // 2:] = 0.2
    cam._sim.scene = tavrocam_sim.scenes.Picture(picture)
    roi(cam, x, y, width, height)
    cam.AutoFunctionROISelector.Value = "ROI1"  # the one used for the brightness
    cam.AutoFunctionROIOffsetX.Value = cam.AutoFunctionROIOffsetY.Value = 0
    cam.AutoFunctionROIWidth.Value, cam.AutoFunctionROIHeight.Value = width // 2, height
    cam.AutoFunctionROIOffsetX.Value, cam.AutoFunctionROIOffsetY.Value = x + half * width // 2, y
    cam.AutoTargetBrightness.Value = 0.4
    cam.ExposureAuto.Value = "Once"
    cam.StartGrabbing()
    for _ in range(31):
        cam.RetrieveResult(1000).Release()
        if cam.ExposureAuto.Value == "Off":
            break
    cam.StopGrabbing()
    image = grab(cam)
    measured = [row[half * width // 2:(half + 1) * width // 2] for row in image]
    assert mean(v for row in measured for v in row) / 255 == pytest.approx(0.4, rel=0.05)


def test_a_held_result_keeps_its_image_while_later_frames_reuse_buffers(cam):
    calls = []

    def scene(t):  # brighter at every call: a frame made twice would show it
        calls.append(t)
        return tavrocam_sim.scenes.Uniform(0.001 * len(calls))
    cam._sim.scene = scene
    cam.StartGrabbing()
    first = cam.RetrieveResult(1000)
    copy = type(first)(first)  # a second reference to the same frame
    before = bytes(first.GetBuffer())
    first.Release()
    for _ in range(6):  # each made in a buffer a released frame gave back
        cam.RetrieveResult(1000).Release()
    assert bytes(copy.GetBuffer()) == before and len(calls) == 7
    copy.Release()


def test_colour_formats_agree(cam):
    roi(cam, *RED_PATCH)
    cam.LightSourcePreset.Value = "Off"  # a preset's matrix and gamma change RGB, not Mono8
    means = {}
    for pixel_format in ("RGB8", "BGR8", "Mono8", "YCbCr422_8"):
        cam.PixelFormat.Value = pixel_format
        image = grab(cam)
        step = {"Mono8": 1, "YCbCr422_8": 4}.get(pixel_format, 3)
        means[pixel_format] = [mean(v for row in image for v in row[i::step]) for i in range(step)]
    assert means["RGB8"] == pytest.approx(means["BGR8"][::-1], abs=0.5)
    red, green, blue = means["RGB8"]
    assert red > 4 * green and red > 4 * blue
    y0, cb, y1, cr = means["YCbCr422_8"]
    assert (y0 + y1) / 2 == pytest.approx(means["Mono8"][0], abs=1.5)
    assert cr > 150 and cb < 128  # red


def test_packed_12_bit_holds_the_same_values(cam):
    roi(cam, *RED_PATCH)
    cam.PixelFormat.Value = "BayerRG12"
    plain = grab(cam)
    cam.PixelFormat.Value = "BayerRG12p"
    packed = grab(cam)
    assert len(packed) == len(plain) and len(packed[0]) == len(plain[0])
    for dy in (0, 1):
        for dx in (0, 1):
            assert site_mean(packed, dy, dx) == pytest.approx(site_mean(plain, dy, dx), abs=2)


def test_noise_is_the_sensors_and_reproducible(cam):
    other = tavrocam_sim.Simulation().pylon
    twin = other.InstantCamera(other.TlFactory.GetInstance().CreateFirstDevice())
    twin.Open()
    roi(twin, *BRIGHT)
    cam.PixelFormat.Value = twin.PixelFormat.Value = "BayerRG12"
    first, second, again = grab(cam), grab(cam), grab(twin)
    assert first == again and first != second
    greens = [(y, x) for y in range(48) for x in range(64) if (x + y) & 1]  # balance ratio 1
    diffs = [first[y][x] - second[y][x] for y, x in greens]
    level = mean(first[y][x] for y, x in greens)
    gain = tavrocam_sim.sensor.SYSTEM_GAIN  # shot noise: variance K x signal
    assert mean(d * d for d in diffs) / 2 == pytest.approx(gain * level, rel=0.15)
    assert abs(mean(diffs)) < 0.1 * (gain * level) ** 0.5


@pytest.mark.parametrize("pixel_format,shift", [("Mono8", 0), ("BayerRG12", 4)])
def test_test_images_replace_the_scene(cam, pixel_format, shift):
    cam.PixelFormat.Value = pixel_format
    cam.ExposureTime.Value = 50000.0  # no effect on a test image
    cam.TestImageSelector.Value = "Testimage1"
    assert grab(cam) == [[((x + y) % 256) << shift for x in range(64)] for y in range(48)]
    cam.TestImageSelector.Value = "Testimage2"
    cam.StartGrabbing()
    first, second = (rows(cam.RetrieveResult(1000), pixel_format) for _ in range(2))
    assert [row[1:] for row in first] == [row[:-1] for row in second]
    assert first != second


class TestChunks:
    def test_enabled_chunks_come_with_the_result(self, cam):
        cam.ChunkModeActive.Value = True
        for name in ("ExposureTime", "Timestamp", "Gain"):
            cam.ChunkSelector.Value = name
            cam.ChunkEnable.Value = True
        cam.Gain.Value = 3.5
        with cam.GrabOne(1000) as result:
            assert result.PayloadSize == cam.PayloadSize.Value == 64 * 48 + 8 + 3 * 16
            assert len(result.GetBuffer()) == result.PayloadSize
            assert result.ChunkExposureTime.Value == cam.ExposureTime.Value
            assert result.ChunkGain.Value == 3.5
            assert result.ChunkTimestamp.Value == result.TimeStamp
            value, _, length = struct.unpack("<QII", bytes(result.GetBuffer())[-16:])
            assert (value, length) == (result.TimeStamp, 8)  # Timestamp: after Gain, ExposureTime
            with pytest.raises(pylon.AccessException):
                result.ChunkLineStatusAll.Value

    @pytest.mark.parametrize("chunks", [("PayloadCRC16",), ("Timestamp", "PayloadCRC16"),
                                        ("Gain", "CounterValue", "PayloadCRC16")])
    def test_the_image_is_the_first_chunk_and_the_crc_the_last(self, cam, chunks):
        cam.ChunkModeActive.Value = True
        for name in chunks:
            cam.ChunkSelector.Value = name
            cam.ChunkEnable.Value = True
        with cam.GrabOne(1000) as result:
            data = bytes(result.GetBuffer())
            assert len(data) == result.PayloadSize == cam.PayloadSize.Value == \
                64 * 48 + 8 + 16 * len(chunks)
            image_id, image_length = struct.unpack_from("<II", data, 64 * 48)
            assert image_length == 64 * 48
            trailers = [struct.unpack_from("<II", data, 64 * 48 + 8 + 16 * i + 8)
                        for i in range(len(chunks))]
            assert [length for _, length in trailers] == [8] * len(chunks)
            assert len({image_id, *(chunk_id for chunk_id, _ in trailers)}) == len(chunks) + 1
            crc = struct.unpack_from("<Q", data, len(data) - 16)[0]
            assert crc == binascii.crc_hqx(data[:-16], 0) == result.ChunkPayloadCRC16.Value
            assert result.HasCRC() and result.CheckCRC()

    def test_without_the_crc_chunk_there_is_no_crc(self, cam):
        cam.ChunkModeActive.Value = True
        with cam.GrabOne(1000) as result:
            assert not result.HasCRC() and result.PayloadSize == 64 * 48 + 8
            with pytest.raises(pylon.RuntimeException, match="CRC"):
                result.CheckCRC()

    def test_without_chunk_mode_no_chunk_nodes(self, cam):
        with cam.GrabOne(1000) as result:
            assert result.PayloadSize == 64 * 48 and not result.IsChunkDataAvailable()
            with pytest.raises(AttributeError, match="no attribute 'ChunkGain' in GrabResult"):
                result.ChunkGain


# ------------------------------------------------------------------ numpy
@pytest.mark.parametrize("pixel_format,shape,dtype", [
    ("BayerRG8", (48, 64), "uint8"), ("Mono8", (48, 64), "uint8"),
    ("BayerRG12", (48, 64), "uint16"), ("BayerRG12p", (48, 64), "uint16"),
    ("RGB8", (48, 64, 3), "uint8"), ("BGR8", (48, 64, 3), "uint8"),
    ("YCbCr422_8", (48, 64, 2), "uint8")])
def test_array_as_pypylon_shapes_it(cam, pixel_format, shape, dtype):
    numpy = pytest.importorskip("numpy")
    if tavrocam_sim.image.numpy is None:
        pytest.skip("the simulator was loaded without numpy")
    cam.PixelFormat.Value = pixel_format
    with cam.GrabOne(1000) as result:
        array = result.Array
        assert (array.shape, array.dtype) == (shape, numpy.dtype(dtype))
        assert array.ravel().tolist() == [v for row in rows(result, pixel_format) for v in row]


def test_array_without_numpy_fails_as_pypylons(cam):
    if tavrocam_sim.image.numpy is not None:
        pytest.skip("numpy is installed")
    with cam.GrabOne(1000) as result:
        with pytest.raises(NotImplementedError, match="please install numpy"):
            result.Array


# ------------------------------------------------------------------ LUT, temperature, white balance
def invert_lut(cam, how):
    """An inverting LUT (4095 - value) written point by point or as one block."""
    if how == "LUTValue":
        for index in range(0, 4096, 8):
            cam.LUTIndex.Value = index
            cam.LUTValue.Value = 4095 - index
    else:
        slots = [4095 - i if i % 8 == 0 else 0 for i in range(4096)]
        cam.LUTValueAll.Set(struct.pack("<4096I", *slots))
    cam.LUTEnable.Value = True


@pytest.mark.parametrize("how", ["LUTValue", "LUTValueAll"])
@pytest.mark.parametrize("test_image,changed", [
    ("Off", True), ("Testimage1", False), ("Testimage2", False), ("Testimage3", False),
    ("Testimage4", True), ("Testimage5", True), ("Testimage6", False)])
def test_the_lut_in_the_node_map_changes_the_scene_and_testimages_4_and_5(cam, how, test_image,
                                                                           changed):
    cam.PixelFormat.Value = "BayerRG12"
    cam.TestImageSelector.Value = test_image
    registers = cam._sim.registers
    before, grabbed = sim_image.settings(registers), grab(cam)
    invert_lut(cam, how)
    after = sim_image.settings(registers)
    # the same frame number (the moving test images) before and after
    assert (sim_image.frame(after, 7) != sim_image.frame(before, 7)) == changed
    if test_image == "Off":  # the values turned over
        assert mean(v for row in grab(cam) for v in row) == \
            pytest.approx(4095 - mean(v for row in grabbed for v in row), abs=8)


@pytest.mark.parametrize("index,value", [(0, 4095), (8, 17), (4088, 0)])
def test_lut_value_all_holds_each_point_in_every_8th_slot(cam, index, value):
    cam.LUTIndex.Value = index
    cam.LUTValue.Value = value
    slots = struct.unpack("<4096I", bytes(cam.LUTValueAll.Get(cam.LUTValueAll.GetLength())))
    assert slots[index] == value
    assert [slots[i] for i in range(4096) if i % 8] == [0] * (4096 - 512)
    assert [slots[i] for i in range(0, 4096, 8) if i != index] == \
        [i for i in range(0, 4096, 8) if i != index]


def test_a_feature_file_sets_the_lut(cam):
    persistence = tavrocam_sim.persistence
    text = persistence.FeaturePersistence.SaveToString(cam.GetNodeMap())
    cam.LUTIndex.Value = 16
    cam.LUTValue.Value = 1000
    changed = persistence.FeaturePersistence.SaveToString(cam.GetNodeMap())
    assert changed != text
    persistence.FeaturePersistence.LoadFromString(text, cam.GetNodeMap(), True)
    assert cam.LUTValue.Value == 16
    persistence.FeaturePersistence.LoadFromString(changed, cam.GetNodeMap(), True)
    assert cam.LUTValue.Value == 1000


def gradient_moves(images):
    """Whether each image is test image 2 (a diagonal 8-bit gradient moving one step a frame)."""
    return all(row[1:] == [(v + 1) % 256 for v in row[:-1]] for image in images for row in image) \
        and all([row[1:] for row in a] == [row[:-1] for row in b] for a, b in zip(images, images[1:]))


@pytest.mark.parametrize("path,test_image_2", [
    ([70.0], False), ([81.0], True), ([80.0], False), ([81.0, 78.0], True),
    ([81.0, 77.0], False), ([81.0, 77.0, 80.0], False)])
def test_over_temperature_sends_testimage2_until_cooled_to_77(cam, path, test_image_2):
    cam.PixelFormat.Value = "Mono8"
    device = cam._sim
    for celsius in path:
        device.temperature = celsius
    cam.StartGrabbing()
    images = [rows(cam.RetrieveResult(1000), "Mono8") for _ in range(2)]
    assert gradient_moves(images) == test_image_2


@pytest.mark.parametrize("event,path,fired", [
    ("OverTemperature", [81.0, 78.0, 81.0], 1), ("OverTemperature", [81.0, 77.0, 81.0], 2),
    ("CriticalTemperature", [75.0, 72.0, 75.0], 1), ("CriticalTemperature", [75.0, 71.0, 75.0], 2),
    ("CriticalTemperature", [74.0], 0), ("OverTemperature", [80.0], 0)])
def test_temperature_events_fire_once_until_re_armed(cam, event, path, fired):
    cam.EventSelector.Value = event
    cam.EventNotification.Value = "On"
    device = cam._sim
    device.events.take()
    for celsius in path:
        device.temperature = celsius
    assert [name for name, _ in device.events.take()] == [event] * fired


@pytest.mark.parametrize("mode", ["Once", "Continuous"])
@pytest.mark.parametrize("corner", [BRIGHT, DARK])
def test_balance_white_auto_makes_the_grey_world_grey(cam, mode, corner):
    roi(cam, *corner)
    cam.BalanceWhiteAuto.Value = mode
    cam.StartGrabbing()
    for _ in range(31):
        cam.RetrieveResult(1000).Release()
        if cam.BalanceWhiteAuto.Value == "Off":
            break
    assert cam.BalanceWhiteAuto.Value == ("Off" if mode == "Once" else "Continuous")
    cam.StopGrabbing()
    cam.BalanceWhiteAuto.Value = "Off"
    cam.BalanceRatioSelector.Value = "Green"
    assert cam.BalanceRatio.Value == 1.5
    image = grab(cam)
    red, green, blue = site_mean(image, 0, 0), site_mean(image, 0, 1), site_mean(image, 1, 1)
    assert red == pytest.approx(green, rel=0.03) and blue == pytest.approx(green, rel=0.03)


def test_balance_white_once_outside_its_roi_sets_all_ratios_to_1_5(cam):
    cam.AutoFunctionROISelector.Value = "ROI2"  # the one used for the white balance
    cam.AutoFunctionROIWidth.Value, cam.AutoFunctionROIHeight.Value = 64, 48
    cam.AutoFunctionROIOffsetX.Value = cam.AutoFunctionROIOffsetY.Value = 0
    cam.BalanceWhiteAuto.Value = "Once"
    cam.StartGrabbing()
    cam.RetrieveResult(1000).Release()
    cam.StopGrabbing()
    assert cam.BalanceWhiteAuto.Value == "Off"
    ratios = []
    for colour in ("Red", "Green", "Blue"):
        cam.BalanceRatioSelector.Value = colour
        ratios.append(cam.BalanceRatio.Value)
    assert ratios == [1.5, 1.5, 1.5]


# ------------------------------------------------------------------ triggers on lines, bursts, sequencer
def trigger_on(cam, source, selector="FrameStart", activation="RisingEdge"):
    cam.TriggerSelector.Value = selector
    cam.TriggerMode.Value = "On"
    cam.TriggerSource.Value = source
    cam.TriggerActivation.Value = activation


def pulse(device, line, start, width, level=True):
    """Drive ``line`` to ``level`` at ``start`` (monotonic seconds in the past) for ``width`` s."""
    device.set_input(line, level, at=start)
    device.set_input(line, not level, at=start + width)


def results(cam, wait=0.3):
    """Every result that arrives within ``wait`` s of the last one."""
    got = []
    while True:
        result = cam.RetrieveResult(int(wait * 1000), pylon.TimeoutHandling_Return)
        if not result:
            return got
        got.append(result)


def stamp(when):
    return tavrocam_sim.events.timestamp(when)


def enable_events(cam, *names):
    """Camera events ``names`` on, recorded in the list returned, in order."""
    seen = []

    class Events(pylon.CameraEventHandler):
        def OnCameraEvent(self, camera, user_id, node):
            seen.append(names[user_id])
    cam.Close()
    cam.GrabCameraEvents.Value = True
    for index, name in enumerate(names):
        cam.RegisterCameraEventHandler(Events(), f"Event{name}Data", index,
                                       pylon.RegistrationMode_Append, pylon.Cleanup_Delete)
    cam.Open()
    for name in names:
        cam.EventSelector.Value = name
        cam.EventNotification.Value = "On"
    return seen


@pytest.mark.parametrize("debounce_us,width_ms,frames", [
    (0.0, 1.0, 1), (20000.0, 5.0, 0), (20000.0, 40.0, 1), (5000.0, 5.5, 1)])
def test_the_debouncer_drops_short_levels_and_delays_valid_edges(cam, debounce_us, width_ms,
                                                                 frames):
    trigger_on(cam, "Line1")
    cam.LineSelector.Value = "Line1"
    cam.LineDebouncerTime.Value = debounce_us
    period = 1 / cam.ResultingFrameRate.Value
    cam.StartGrabbing()
    start = time.monotonic() - 0.1
    pulse(cam._sim, "Line1", start, width_ms / 1000)
    got = results(cam)
    assert len(got) == frames
    if frames:
        assert got[0].TimeStamp == pytest.approx(stamp(start + debounce_us / 1e6 + period), abs=2)


@pytest.mark.parametrize("source,delayed", [("Line1", True), ("Line3", True), ("Software", False)])
def test_trigger_delay_delays_line_triggers_only(cam, source, delayed):
    trigger_on(cam, source)
    cam.TriggerDelay.Value = 30000.0
    period = 1 / cam.ResultingFrameRate.Value
    cam.StartGrabbing()
    before = time.monotonic()
    if source == "Software":
        cam.TriggerSoftware.Execute()
    else:
        cam._sim.set_input(source, source == "Line1", at=before)  # Line3 is high when idle
        if source == "Line3":
            cam._sim.set_input(source, True)
    after = time.monotonic()
    (result,) = results(cam)
    delay = 0.03 if delayed else 0.0
    if source == "Line3":  # the rising edge comes back when the test drives it high again
        assert result.TimeStamp >= stamp(before + delay + period)
    else:
        assert stamp(before + delay + period) - 2 <= result.TimeStamp <= \
            stamp(after + delay + period) + 2


@pytest.mark.parametrize("line,mode,inverter,levels,frames,activation", [
    ("Line1", None, False, [True], 1, "RisingEdge"), ("Line1", None, True, [True], 0, "RisingEdge"),
    ("Line1", None, True, [True, False], 1, "RisingEdge"),
    ("Line1", None, False, [True, False, True], 2, "RisingEdge"),
    ("Line1", None, False, [True, False], 1, "FallingEdge"),
    ("Line3", "Input", False, [False, True], 1, "RisingEdge"),
    ("Line3", "Output", False, [False, True], 0, "RisingEdge"),
    ("Line4", "Input", True, [False], 1, "RisingEdge")])
def test_lines_trigger_as_inputs_after_their_inverter(cam, line, mode, inverter, levels, frames,
                                                      activation):
    trigger_on(cam, line, activation=activation)
    cam.LineSelector.Value = line
    if mode is not None:
        cam.LineMode.Value = mode
    cam.LineInverter.Value = inverter
    cam.StartGrabbing()
    for level in levels:
        cam._sim.set_input(line, level)
        time.sleep(0.05)
    assert len(results(cam)) == frames


def test_frame_triggers_sooner_than_a_period_are_overtriggers(cam):
    trigger_on(cam, "Line1")
    seen = enable_events(cam, "FrameStartOvertrigger")
    period = 1 / cam.ResultingFrameRate.Value
    cam.StartGrabbing()
    start = time.monotonic() - 1.0
    for index in range(3):  # edges half a period apart
        pulse(cam._sim, "Line1", start + index * period / 2, period / 4)
    assert len(results(cam)) == 2
    assert seen == ["FrameStartOvertrigger"]


@pytest.mark.parametrize("count", [1, 3])
def test_a_burst_trigger_starts_its_frames_at_the_frame_rate(cam, count):
    trigger_on(cam, "Software", selector="FrameBurstStart")
    cam.AcquisitionBurstFrameCount.Value = count
    cam.ExposureTime.Value = 100000.0  # a burst long enough for the second trigger to fall in
    seen = enable_events(cam, "FrameBurstStart", "FrameBurstStartOvertrigger",
                         "FrameBurstStartWait")
    period_ns = 1e9 / cam.ResultingFrameRate.Value
    cam.StartGrabbing()
    cam.TriggerSoftware.Execute()
    cam.TriggerSoftware.Execute()  # too soon: the burst is still running
    got = results(cam)
    stamps = [result.TimeStamp for result in got]
    assert len(got) == count
    assert [b - a for a, b in zip(stamps, stamps[1:])] == [pytest.approx(period_ns, abs=2)] * \
        (count - 1)
    assert seen == ["FrameBurstStartWait", "FrameBurstStart",
                           "FrameBurstStartOvertrigger", "FrameBurstStartWait"]


def test_a_burst_trigger_lets_its_count_of_frame_triggers_in(cam):
    trigger_on(cam, "Software", selector="FrameBurstStart")
    trigger_on(cam, "Line1", selector="FrameStart")
    cam.AcquisitionBurstFrameCount.Value = 2
    seen = enable_events(cam, "FrameStartOvertrigger")
    period = 1 / cam.ResultingFrameRate.Value
    cam.StartGrabbing()
    start = time.monotonic() - 1.0
    pulse(cam._sim, "Line1", start, period / 4)  # before the burst: not taken
    cam.TriggerSelector.Value = "FrameBurstStart"
    cam.TriggerSoftware.Execute()
    start = time.monotonic()
    time.sleep(4 * period)
    for index in range(3):
        pulse(cam._sim, "Line1", start + index * 1.2 * period, period / 4)
    assert len(results(cam)) == 2
    assert seen == ["FrameStartOvertrigger"] * 2


@pytest.mark.parametrize("width_us", [2000.0, 25000.0])
def test_trigger_width_exposes_for_the_pulse(cam, width_us):
    trigger_on(cam, "Line1")
    cam.ExposureMode.Value = "TriggerWidth"
    cam.ChunkModeActive.Value = True
    cam.ChunkSelector.Value = "ExposureTime"
    cam.ChunkEnable.Value = True
    cam.StartGrabbing()
    pulse(cam._sim, "Line1", time.monotonic() - 0.5, width_us / 1e6)
    (result,) = results(cam)
    assert result.ChunkExposureTime.Value == pytest.approx(
        width_us + tavrocam_sim.model.TRIGGER_WIDTH_OFFSET_US, abs=0.01)


def save_sequencer_sets(cam, sets):
    cam.SequencerConfigurationMode.Value = "On"
    for index, (exposure, gain) in enumerate(sets):
        cam.SequencerSetSelector.Value = index
        cam.ExposureTime.Value, cam.Gain.Value = exposure, gain
        cam.SequencerSetSave.Execute()
    cam.SequencerConfigurationMode.Value = "Off"


@pytest.mark.parametrize("source,start,line_high,active", [
    ("FrameStart", 0, False, [0, 1, 2, 0, 1]), ("Counter2End", 1, False, [1, 2, 1, 2, 1]),
    ("Line1", 0, False, [0, 0, 0, 0, 0]), ("Line1", 0, True, [0, 1, 2, 0, 1])])
def test_the_sequencer_gives_each_frame_its_sets_settings(cam, source, start, line_high, active):
    sets = [(5000.0, 0.0), (8000.0, 6.0), (12000.0, 12.0)]
    save_sequencer_sets(cam, sets)
    cam.SequencerSetStart.Value = start
    cam.SequencerTriggerSource.Value = source
    cam.SequencerMode.Value = "On"
    cam.ChunkModeActive.Value = True
    for name in ("ExposureTime", "Gain", "SequencerSetActive"):
        cam.ChunkSelector.Value = name
        cam.ChunkEnable.Value = True
    cam._sim.set_input("Line1", line_high)
    cam.StartGrabbing(pylon.GrabStrategy_OneByOne)
    got = [cam.RetrieveResult(1000) for _ in range(5)]
    assert [r.ChunkSequencerSetActive.Value for r in got] == active
    assert [(r.ChunkExposureTime.Value, r.ChunkGain.Value) for r in got] == \
        [sets[index] for index in active]


@pytest.mark.parametrize("name,change,named", [
    ("LUTIndex", {"inc": 3}, "'LUTValue': selector 'LUTIndex' is not an Enumeration"),
    ("LUTIndex", {"max": 4090}, "'LUTValue': selector 'LUTIndex' is not an Enumeration"),
    ("LUTValueAll", {"length": None}, "'LUTValueAll': a Register needs a length"),
    ("LUTValueAll", {"length": 0}, "'LUTValueAll': a Register needs a length"),
    ("LUTValueAll", {"default": 0}, "'LUTValueAll': a Register needs a length")])
def test_the_node_map_takes_integer_selectors_and_registers_as_the_lut_needs(name, change, named):
    from tavrocam_sim import model, nodemap
    rows = [row._replace(**change) if row.name == name else row for row in model.NODES]
    with pytest.raises(tavrocam_sim.ModelError, match=named):
        nodemap.generate(rows)


@pytest.mark.parametrize("reset_source,counted", [("Off", [1, 2, 3, 4]), ("Line3", [1, 2, 1, 2])])
def test_a_rising_edge_on_its_reset_line_resets_counter1(cam, reset_source, counted):
    cam.CounterSelector.Value = "Counter1"
    cam.CounterResetSource.Value = reset_source
    cam.ChunkModeActive.Value = True
    cam.ChunkSelector.Value = "CounterValue"
    cam.ChunkEnable.Value = True
    cam.CounterReset.Execute()
    trigger_on(cam, "Software")
    cam.StartGrabbing(pylon.GrabStrategy_OneByOne)
    got = []
    for index in range(4):
        if index == 2:
            cam._sim.set_input("Line3", False)
            cam._sim.set_input("Line3", True)
        assert cam.WaitForFrameTriggerReady(1000)
        cam.TriggerSoftware.Execute()
        got.append(cam.RetrieveResult(1000).ChunkCounterValue.Value)
    assert got == counted
