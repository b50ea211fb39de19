"""The simulated acA2040-55uc's scenes and sensor, through the camera as a
program sees it: pictures reach the right pixels in every format, the raw
signal follows the EMVA 1288 model (the photon-transfer curve gives back the
sensor's own figures), bad scenes are refused, callables fail or delay only
their own frames and camera, and frames are reproducible."""

import math
import threading
import time

import pytest

tavrocam_sim = pytest.importorskip("tavrocam_sim")
np = pytest.importorskip("numpy")
from tavrocam_sim import scenes  # noqa: E402

PHASES = {(False, False): "RG", (True, False): "GR", (False, True): "GB", (True, True): "BG"}
ROI = (512, 384, 256, 128)  # sensor x, y, width, height


def open_camera(sim, index=0):
    factory = sim.pylon.TlFactory.GetInstance()
    camera = sim.pylon.InstantCamera(factory.CreateDevice(factory.EnumerateDevices()[index]))
    camera.Open()
    return camera


def roi(camera, x, y, width, height):
    camera.OffsetX.Value = camera.OffsetY.Value = 0
    camera.Width.Value, camera.Height.Value = width, height
    camera.OffsetX.Value, camera.OffsetY.Value = x, y


def frames(camera, count):
    """``count`` grabbed images as float arrays (OneByOne)."""
    camera.StartGrabbingMax(count)
    out = []
    while camera.IsGrabbing():
        with camera.RetrieveResult(5000) as result:
            assert result.GrabSucceeded(), result.GetErrorDescription()
            out.append(result.Array.astype(np.float64))
    return out


@pytest.fixture
def cam():
    sim = tavrocam_sim.Simulation()
    camera = open_camera(sim)
    camera.LightSourcePreset.Value = "Off"  # no colour matrix, no gamma
    yield sim.cameras[0], camera
    camera.Close()


def blocks(rng, channels, shape=None, size=8):
    """A picture (sensor-sized by default) of independent random blocks per channel."""
    h, w = shape or (tavrocam_sim.model.SENSOR_HEIGHT, tavrocam_sim.model.SENSOR_WIDTH)
    coarse = rng.uniform(0.05, 0.5, (h // size, w // size, channels))
    return np.repeat(np.repeat(coarse, size, 0), size, 1).astype(np.float32)


def on_the_sensor(picture):
    """The picture filling the sensor keeping its aspect, centred and cropped."""
    height, width = tavrocam_sim.model.SENSOR_HEIGHT, tavrocam_sim.model.SENSOR_WIDTH
    scale = max(width / picture.shape[1], height / picture.shape[0])
    ys = ((np.arange(height) + 0.5 - height / 2) / scale + picture.shape[0] / 2).astype(int)
    xs = ((np.arange(width) + 0.5 - width / 2) / scale + picture.shape[1] / 2).astype(int)
    return picture[ys][:, xs]


def correlation(a, b):
    return float(np.corrcoef(np.ravel(a), np.ravel(b))[0, 1])


# ------------------------------------------------------------------ pictures
MIRRORS = [(False, False), (True, False), (True, True)]
PICTURES = [(f, m, None) for f in ("Bayer8", "Bayer12", "Bayer12p", "RGB8", "BGR8", "Mono8",
                                   "YCbCr422_8") for m in MIRRORS]
# Pictures of other sizes (1920 x 1080, 1000 x 2000): one raw, one colour, the grey formats.
PICTURES += [(f, m, s) for f in ("Bayer12", "RGB8", "Mono8", "YCbCr422_8")
             for m in MIRRORS[::2] for s in ((1080, 1920), (2000, 1000))]


@pytest.mark.parametrize("pixel_format,mirror,shape", PICTURES)
def test_a_picture_reaches_its_pixels_in_every_format(cam, pixel_format, mirror, shape):
    device, camera = cam
    grey = pixel_format in ("Mono8", "YCbCr422_8")
    given = blocks(np.random.default_rng(33), 1 if grey else 3, shape)
    picture = on_the_sensor(given)
    device.scene = scenes.Picture(given[..., 0] if grey else given)
    camera.ReverseX.Value, camera.ReverseY.Value = mirror
    if pixel_format.startswith("Bayer"):
        pixel_format = f"Bayer{PHASES[mirror]}{pixel_format[5:]}"
    camera.PixelFormat.Value = pixel_format
    x, y, width, height = ROI
    roi(camera, x, y, width, height)
    image = frames(camera, 1)[0]
    seen = picture[y:y + height, x:x + width]
    seen = seen[:, ::-1] if mirror[0] else seen
    seen = seen[::-1] if mirror[1] else seen
    if grey:
        luma = image[..., 0] if image.ndim == 3 else image
        assert correlation(luma, seen[..., 0]) > 0.9
        return
    if image.ndim == 3:  # RGB8, BGR8: each channel its own colour
        order = (2, 1, 0) if pixel_format == "BGR8" else (0, 1, 2)
        for channel, colour in enumerate(order):
            assert correlation(image[..., channel], seen[..., colour]) > 0.9
            assert abs(correlation(image[..., channel], seen[..., (colour + 1) % 3])) < 0.3
        return
    sensor_x = np.arange(width)[::-1] + x if mirror[0] else np.arange(width) + x
    sensor_y = np.arange(height)[::-1] + y if mirror[1] else np.arange(height) + y
    site = (sensor_x[None, :] & 1) + (sensor_y[:, None] & 1)  # 0 red, 1 green, 2 blue
    for colour in range(3):
        mask = site == colour
        assert correlation(image[mask], seen[..., colour][mask]) > 0.9
        assert abs(correlation(image[mask], seen[..., (colour + 1) % 3][mask])) < 0.3


# ------------------------------------------------------------------ the sensor
def green(image, x, y):
    """The green sites of a raw Bayer image taken at sensor (x, y), unmirrored."""
    j, i = np.indices(image.shape)
    return image[((x + i) + (y + j)) & 1 == 1]


def raw_camera(cam, irradiance, black=0.0):
    device, camera = cam
    device.scene = scenes.Uniform(irradiance)
    camera.PixelFormat.Value = "BayerRG12"
    camera.BlackLevel.Value = black
    roi(camera, *ROI)
    return device, camera


def pair(camera, exposure_us):
    camera.ExposureTime.Value = exposure_us
    a, b = (green(image, *ROI[:2]) for image in frames(camera, 2))
    return (a.mean() + b.mean()) / 2, np.var(a - b) / 2


def test_the_raw_mean_is_linear_in_the_exposure(cam):
    device, camera = raw_camera(cam, 0.02, black=64.0)
    exposures = np.array([500.0, 2000.0, 4000.0, 8000.0, 12000.0])
    means = np.array([pair(camera, e)[0] for e in exposures])
    slope, offset = np.polyfit(exposures, means, 1)
    assert np.max(np.abs(means - (slope * exposures + offset))) < 0.002 * means.max()
    s = device.sensor
    per_us = s.system_gain * s.quantum_efficiency(545, "green") \
        * tavrocam_sim.sensor.photons(0.02, 1e-6, 545.0)
    assert slope == pytest.approx(per_us + s.system_gain * s.dark_current * 1e-6, rel=0.02)
    assert offset == pytest.approx(64.0, abs=2.0)


def test_light_far_beyond_the_full_well_saturates(cam):
    device, camera = raw_camera(cam, 1e6)
    (image,) = frames(camera, 1)  # the full well, less at most a few read noises
    assert image.min() > 4095 - 5 * device.sensor.system_gain * device.sensor.dark_noise - 1


def test_the_photon_transfer_curve_gives_back_the_sensor(cam):
    """As EMVA 1288 measures: pairs of frames from dark to beyond saturation."""
    device, camera = raw_camera(cam, 0.0, black=64.0)
    dark = dict((e, pair(camera, e)) for e in (1000.0, 23000.0))
    device.scene = scenes.Uniform(0.025)
    # Finer steps where the pixels saturate (about 20 ms).
    exposures = np.concatenate([np.linspace(1000.0, 16000.0, 10), np.linspace(16250, 23000, 28)])
    points = np.array([pair(camera, e) for e in exposures])
    dark_mean = np.interp(exposures, list(dark), [m for m, _ in dark.values()])
    dark_var = dark[1000.0][1]
    signal, variance = points[:, 0] - dark_mean, points[:, 1] - dark_var
    peak = int(np.argmax(points[:, 1]))
    linear = signal < 0.7 * signal[peak]
    k = np.polyfit(signal[linear], variance[linear], 1)[0]
    s = device.sensor
    assert k == pytest.approx(s.system_gain, rel=0.05)
    assert np.sqrt(dark_var) / k == pytest.approx(s.dark_noise, rel=0.1)
    # Saturated: the full well, or the ADC's range above the black level if that
    # ends first; the variance peaks just below it.
    full = min(s.saturation_capacity, (tavrocam_sim.sensor.FULL_SCALE - 64.0) / s.system_gain)
    assert signal.max() / k == pytest.approx(full, rel=0.04)
    assert 0.9 * signal.max() < signal[peak] < signal.max()
    photons = tavrocam_sim.sensor.photons(0.025, exposures[linear] * 1e-6, 545.0)
    qe = np.polyfit(photons, signal[linear] / k, 1)[0]
    assert qe == pytest.approx(s.quantum_efficiency(545.0, "green"), rel=0.05)


@pytest.mark.parametrize("mean", [0.05, 1.3, 6.0, 19.9, 23.9])
def test_few_electrons_are_poisson_draws(mean):
    """Without read noise or patterns, at 1 DN an electron, a dim uniform
    light's raw values are its electrons: their frequencies are Poisson's."""
    from tavrocam_sim import image
    light = (np.ones(1, np.float32).tobytes(), 1, 1, 1, "f32")
    sensor = (mean, mean, mean, 0.0, 0.0, 10700.0, 0.0, 0.0)
    data = image.core.render(light, (1024, 512, 0, 0, False, False), "BayerRG12", sensor,
                             (1.0, 1.0, 1.0, 0.0, None, None), 1, 3)
    counts = np.bincount(np.frombuffer(data, "<u2"), minlength=80)[:80] / (1024 * 512)
    n = np.arange(80)
    log_pmf = n * np.log(mean) - mean - np.array([math.lgamma(k + 1) for k in n])
    assert np.abs(counts - np.exp(log_pmf)).max() < 0.003


@pytest.mark.parametrize("mean", [0.03, 2.5, 19.9, 23.9])
def test_dim_draws_are_the_same_bytes_on_every_path(mean):
    """Dim rows with read noise and patterns (the three colours in three
    ranges of the draw, some sites past the exact draw's last mean) make the
    same bytes on every path, and two frames differ."""
    from tavrocam_sim import image
    light = (np.ones(1, np.float32).tobytes(), 1, 1, 1, "f32")
    sensor = (mean / 3, mean, mean / 25, 0.02, 2.5, 10700.0, 0.8, 0.01)
    made, before = {}, image.core.simd()
    try:
        for path in image.core.SIMD_PATHS:
            image.core.use_simd(path)
            made[path] = [image.core.render(light, (2064, 24, 0, 900, False, False), "BayerRG12", sensor,
                                            (0.4, 0.4, 0.4, 60.0, None, None), 7, number) for number in (0, 1)]
    finally:
        image.core.use_simd(before)
    assert made["none"][0] != made["none"][1]
    assert [path for path in made if made[path] != made["none"]] == []


@pytest.mark.parametrize("suffix,dtype,channels", [
    ("png", np.uint8, 3), ("png", np.uint16, 1), ("tif", np.uint16, 1), ("bmp", np.uint8, 3),
    ("jpg", np.uint8, 1), ("tiff", np.uint8, 1)])
def test_an_image_file_is_read_as_its_array_would_be(tmp_path, suffix, dtype, channels):
    image_module = pytest.importorskip("PIL.Image", reason="image files are read through Pillow")
    top = np.iinfo(dtype).max
    array = (blocks(np.random.default_rng(5), channels, (48, 64)) * top).astype(dtype)
    array = array[..., 0] if channels == 1 else array
    path = tmp_path / f"picture.{suffix}"
    image_module.fromarray(array).save(path)
    light, expected = scenes.Picture(path).light(), scenes.Picture(array).light()
    assert light[1:] == expected[1:]
    read = np.frombuffer(light.data, dtype).reshape(array.shape)
    assert np.abs(read.astype(float) - array).max() <= (8 if suffix == "jpg" else 0)


def test_a_folder_plays_its_images_in_name_order_one_per_frame(cam, tmp_path):
    image_module = pytest.importorskip("PIL.Image", reason="image files are read through Pillow")
    for name, level in (("b.png", 200), ("a.png", 0), ("c.bmp", 100)):
        image_module.fromarray(np.full((30, 40), level, np.uint8)).save(tmp_path / name)
    (tmp_path / "notes.txt").write_text("not an image")
    device, camera = cam
    camera.PixelFormat.Value = "Mono8"
    device.scene = scenes.from_path(tmp_path)
    levels = [image.mean() for image in frames(camera, 7)]
    dark, mid, bright = sorted(levels[:3])
    assert mid - dark > 10 and bright - mid > 10

    def name(level):  # 0, 1, 2: a, b, c
        return min((abs(level - dark), 0), (abs(level - bright), 1), (abs(level - mid), 2))[1]

    shown = [name(level) for level in levels]
    assert all((after - before) % 3 == 1 for before, after in zip(shown, shown[1:]))


# ------------------------------------------------------------------ bad scenes
@pytest.mark.parametrize("scene,error", [
    (5, TypeError), ([[0.5]], TypeError), (np.zeros((4, 4), np.int32), TypeError),
    (np.zeros((4, 4, 4), np.uint8), ValueError), (np.zeros((0, 4)), ValueError),
    (np.full((2, 2), np.nan), ValueError), (np.full((2, 2), -1.0), ValueError),
    ("missing.png", FileNotFoundError), ("not-an-image.png", ValueError),
    ("empty-folder", ValueError)])
def test_a_bad_scene_is_refused_and_the_old_one_kept(cam, tmp_path, monkeypatch, scene, error):
    if isinstance(scene, str) and scene == "not-an-image.png":
        pytest.importorskip("PIL", reason="image files are read through Pillow")
    monkeypatch.chdir(tmp_path)
    (tmp_path / "not-an-image.png").write_text("no picture here")
    (tmp_path / "empty-folder").mkdir()
    device, _ = cam
    kept = device.scene = scenes.Uniform(0.01)
    with pytest.raises(error, match="must|no such|cannot|holds no|takes"):
        device.scene = scene
    assert device.scene is kept


# ------------------------------------------------------------------ callables
def test_a_raising_callable_fails_its_frame_only(cam):
    device, camera = cam
    calls = []

    def scene(t):
        calls.append(t)
        if len(calls) == 2:
            raise RuntimeError("the scene broke")
        return np.full((4, 4), 0.3)

    device.scene = scene
    roi(camera, *ROI)
    camera.StartGrabbingMax(3)
    outcome = []
    while camera.IsGrabbing():
        with camera.RetrieveResult(5000) as result:
            outcome.append((result.GrabSucceeded(), result.GetErrorDescription()))
    assert [ok for ok, _ in outcome] == [True, False, True]
    assert "the scene broke" in outcome[1][1]
    assert calls == sorted(calls) and calls[1] > calls[0]


def test_a_slow_callable_delays_only_its_camera_and_may_read_nodes():
    sim = tavrocam_sim.Simulation(2)
    slow, other = open_camera(sim, 0), open_camera(sim, 1)
    release, read = threading.Event(), []

    def scene(t):
        read.append(other.ExposureTime.Value)  # another camera's node, from the frame's maker
        release.wait(10)
        return scenes.Uniform(0.01)

    sim.cameras[0].scene = scene
    slow.StartGrabbing()
    try:
        assert len(frames(other, 5)) == 5 and not release.is_set()
        release.set()
        with slow.RetrieveResult(5000) as result:
            assert result.GrabSucceeded()
    finally:
        release.set()
        slow.StopGrabbing()
    assert read and read[0] == other.ExposureTime.Value


@pytest.mark.parametrize("first,then", [
    (scenes.Uniform(0.0), scenes.Uniform(0.03)), (scenes.Chart(), scenes.Uniform(0.0)),
    (lambda t: np.full((4, 4), 0.9), scenes.Chart())])
def test_a_new_scene_is_seen_though_the_last_ones_light_was_kept(cam, first, then):
    device, camera = cam
    camera.PixelFormat.Value = "Mono8"
    roi(camera, *ROI)
    levels = []
    for scene in (first, then, first):
        device.scene = scene
        levels.append([image.mean() for image in frames(camera, 2)])
    assert levels[0] == pytest.approx(levels[2], abs=1)
    assert abs(levels[1][1] - levels[0][1]) > 10


def test_scenes_set_from_another_thread_apply_to_whole_frames(cam):
    device, camera = cam
    camera.PixelFormat.Value = "Mono8"
    roi(camera, *ROI)
    dark, bright = scenes.Uniform(0.0), scenes.Uniform(0.03)
    stop = threading.Event()

    def flip():
        while not stop.is_set():
            device.scene = bright if device.scene is dark else dark
            time.sleep(0.0005)

    thread = threading.Thread(target=flip)
    thread.start()
    try:
        images = frames(camera, 20)
    finally:
        stop.set()
        thread.join()
    for image in images:  # all dark or all bright, never a mixture
        assert image.max() < 40 or image.min() > 80


# ------------------------------------------------------------------ reproducible
def test_the_same_settings_give_the_same_first_frames_and_frames_differ():
    made = []
    for _ in range(2):
        camera = open_camera(tavrocam_sim.Simulation())
        roi(camera, *ROI)
        made.append(frames(camera, 3))
        camera.Close()
    assert all(np.array_equal(a, b) for a, b in zip(*made))
    assert not np.array_equal(made[0][0], made[0][1])
