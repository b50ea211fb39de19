"""The simulated acA2040-55uc's images, made directly by tavrocam_sim.image:
the test images, the analog and digital processing, the white balance rule,
threads, and the compiled core refusing what it cannot take."""

import array
import os
import subprocess
import sys
import threading

import pytest

tavrocam_sim = pytest.importorskip("tavrocam_sim")
from tavrocam_sim import image, model, pixels  # noqa: E402

DAYLIGHT = model.PRESET_RATIOS["Daylight5000K"]
BRIGHT, DARK, RED_PATCH = (1700, 1300), (32, 1300), (760, 700)
IDENTITY = tuple(range(0, 4096, 8))
DOUBLING = tuple(min(2 * v, 4095) for v in IDENTITY)
TESTS = tuple(f"Testimage{n}" for n in range(1, 7))


def settings(pixel_format="BayerRG8", corner=BRIGHT, width=32, height=16, **changes):
    s = image.Settings(width, height, corner[0], corner[1], False, False, pixel_format, 0.01,
                       0.0, 0.0, DAYLIGHT, "Off")
    return s._replace(**changes)


def values(s, number=0):
    """One list of samples a pixel (one sample for Bayer and Mono8)."""
    flat = [int(v) for v in image.pixel_values(image.frame(s, number), s.pixel_format,
                                                s.width * s.height)]
    per = {"RGB8": 3, "BGR8": 3, "YCbCr422_8": 2}.get(s.pixel_format, 1)
    return [flat[i:i + per] if per > 1 else flat[i] for i in range(0, len(flat), per)]


def at(s, x, y, number=0):
    return values(s, number)[y * s.width + x]


def mean(samples):
    samples = list(samples)
    return sum(samples) / len(samples)


# ------------------------------------------------------------------ test images
@pytest.mark.parametrize("name,pixel_format,formula", [
    ("Testimage1", "Mono8", lambda x, y, n: (x + y) % 256),
    ("Testimage1", "BayerRG12", lambda x, y, n: ((x + y) % 256) << 4),
    ("Testimage2", "BayerGB8", lambda x, y, n: (x + y + n) % 256),
    ("Testimage2", "BayerRG12p", lambda x, y, n: ((x + y + n) % 256) << 4),
    ("Testimage3", "BayerRG12", lambda x, y, n: (x + y + n) % 4096),
    ("Testimage3", "Mono8", lambda x, y, n: ((x + y + n) % 4096) >> 4),
    ("Testimage4", "BayerRG8", lambda x, y, n: (x + y + n) % 256),
    ("Testimage5", "BayerBG12", lambda x, y, n: (x + y + n) % 4096),
    ("Testimage6", "RGB8", lambda x, y, n: [(x + y + n + k) % 256 for k in (0, 85, 170)]),
    ("Testimage6", "BGR8", lambda x, y, n: [(x + y + n + k) % 256 for k in (170, 85, 0)]),
    ("Testimage2", "RGB8", lambda x, y, n: [(x + y + n) % 256] * 3),
    ("Testimage3", "YCbCr422_8", lambda x, y, n: [((x + y + n) % 4096) >> 4, 128]),
])
@pytest.mark.parametrize("x,y,number", [(0, 0, 0), (31, 15, 1), (5, 9, 250), (30, 3, 4070)])
def test_each_test_image_follows_its_formula(name, pixel_format, formula, x, y, number):
    s = settings(pixel_format, test_image=name)
    assert at(s, x, y, number) == formula(x, y, number)


@pytest.mark.parametrize("phase,red", [("RG", (0, 0)), ("GR", (1, 0)), ("GB", (0, 1)),
                                       ("BG", (1, 1))])
def test_testimage6_on_bayer_shows_each_filter_colour(phase, red):
    s = settings(f"Bayer{phase}8", test_image="Testimage6")
    for x, y in ((0, 0), (1, 0), (0, 1), (1, 1), (7, 4)):
        channel = ((x ^ red[0]) & 1) + ((y ^ red[1]) & 1)
        assert at(s, x, y, 3) == (x + y + 3 + 85 * channel) % 256


def test_testimage5_through_the_lut_is_the_curve_of_testimage3():
    s = settings("BayerRG12", test_image="Testimage5", lut=DOUBLING)
    assert values(s, 9) == [min(2 * ((x + y + 9) % 4096), 4095)
                            for y in range(16) for x in range(32)]


@pytest.mark.parametrize("field,value", [
    ("exposure", 0.04), ("gain", 6.0), ("black", 10.0), ("ratios", (3.0, 0.5, 1.0)), ("gamma", 0.5),
    ("digital_shift", 2), ("preset", "Tungsten2800K")])
@pytest.mark.parametrize("name", TESTS)
@pytest.mark.parametrize("pixel_format", ["BayerRG12", "RGB8"])
def test_analog_settings_change_no_test_image(field, value, name, pixel_format):
    s = settings(pixel_format, test_image=name)
    assert image.frame(s._replace(**{field: value}), 3) == image.frame(s, 3)


# ------------------------------------------------------------------ analog and digital
@pytest.mark.parametrize("pixel_format,black", [("BayerRG8", 20.0), ("BayerRG12", 20.0),
                                                ("BayerRG12", 320.0), ("Mono8", 31.9375)])
def test_black_level_counts_in_the_pixel_format(pixel_format, black):
    s = settings(pixel_format, corner=DARK, exposure=0.00002)
    lifted = mean(values(s._replace(black=black))) - mean(values(s))
    assert lifted == pytest.approx(black, abs=0.6)


@pytest.mark.parametrize("gamma", [0.5, 2.0])
def test_gamma_bends_the_values(gamma):
    s = settings("BayerRG12", corner=DARK)
    linear, bent = values(s), values(s._replace(gamma=gamma))
    for a, b in zip(linear, bent):
        assert b == pytest.approx(4095 * (a / 4095) ** gamma, abs=1)


@pytest.mark.parametrize("shift", [1, 2, 4])
def test_digital_shift_multiplies_and_saturates(shift):
    s = settings("BayerRG12", corner=DARK)
    plain = values(s)
    assert values(s._replace(digital_shift=shift)) == [min(v << shift, 4095) for v in plain]


def test_digital_shift_comes_after_the_lut():
    s = settings("BayerRG12", corner=DARK, lut=DOUBLING, digital_shift=1)
    plain = values(settings("BayerRG12", corner=DARK))
    assert values(s) == [min(4 * v, 4095) for v in plain]


@pytest.mark.parametrize("pixel_format", ["BayerRG8", "BayerBG12p", "Mono8"])
def test_the_preset_leaves_raw_and_mono_formats_alone(pixel_format):
    s = settings(pixel_format, corner=RED_PATCH)
    assert image.frame(s._replace(preset="Daylight5000K"), 2) == image.frame(s, 2)


def test_the_preset_saturates_colours_and_keeps_grey_grey():
    red_off = values(settings("RGB8", corner=RED_PATCH))
    red_day = values(settings("RGB8", corner=RED_PATCH, preset="Daylight5000K"))
    (r_off, g_off), (r_day, g_day) = ([mean(p[c] for p in v) for c in (0, 1)]
                                      for v in (red_off, red_day))
    assert r_day > 1.5 * r_off and g_day < g_off
    grey = values(settings("RGB8", corner=BRIGHT, preset="Daylight5000K"))
    r, g, b = (mean(p[c] for p in grey) for c in range(3))
    assert abs(r - g) < 2 and abs(b - g) < 2


def test_the_preset_gamma_is_srgb():
    s = settings("RGB8", corner=BRIGHT)
    linear = values(s)
    encoded = values(s._replace(preset="Daylight5000K"))
    g_linear, g_encoded = mean(p[1] for p in linear), mean(p[1] for p in encoded)
    assert g_encoded == pytest.approx(255 * pixels.srgb(g_linear / 255), rel=0.03)


@pytest.mark.parametrize("points,probes", [
    (IDENTITY, {0: 0, 4: 4, 2047: 2047, 4095: 4095}),
    (DOUBLING, {4: 8, 1000: 2000, 3000: 4095}),
    (tuple(4095 - v for v in IDENTITY), {0: 4095, 4088: 7, 4095: 0}),
])
def test_the_lut_interpolates_between_its_points(points, probes):
    curve = pixels.lut_curve(points)
    assert {v: curve[v] for v in probes} == probes


def test_the_identity_lut_changes_nothing():
    s = settings("BayerRG12", corner=RED_PATCH)
    assert image.frame(s._replace(lut=IDENTITY), 1) == image.frame(s, 1)


# ------------------------------------------------------------------ white balance
def test_grey_world_step_keeps_the_ratio_range():
    assert image.grey_world_step((15.0, 1.0, 1.0), (0.01, 0.5, 0.5))[0] == \
        model.BY_NAME["BalanceRatio"].max


# ------------------------------------------------------------------ threads, the core
def test_threads_render_their_own_frames():
    cases = [settings(f, width=512, height=384, exposure=0.01 + k / 6400, corner=(256, 200))
             for k, f in enumerate(("BayerRG8", "RGB8", "BayerRG12p", "YCbCr422_8"))]
    cases += [settings("Mono8", test_image="Testimage3", width=512, height=384)]
    rounds = 12
    expected = {(i, r): image.frame(case._replace(exposure=case.exposure * (1 + r / 256)), r)
                for i, case in enumerate(cases) for r in range(rounds)}
    image.clear_caches()
    got, errors = {}, []

    def render(i, case):
        try:
            for r in range(rounds):
                got[i, r] = image.frame(case._replace(exposure=case.exposure * (1 + r / 256)), r)
                image.mean_level(case)
        except Exception as error:  # reported below
            errors.append(error)
    threads = [threading.Thread(target=render, args=item) for item in enumerate(cases)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not errors
    assert [key for key in expected if got.get(key) != expected[key]] == []


@pytest.mark.parametrize("name", ["Off", "Testimage1", "Testimage3"])
@pytest.mark.parametrize("number", [0, 5])
def test_12p_packs_the_values_of_12(name, number):
    s = settings("BayerGR12p", test_image=name, width=30, height=7)
    plain = image.pixel_values(image.frame(s._replace(pixel_format="BayerGR12"), number, seed=7),
                               "BayerGR12", s.width * s.height)
    assert list(image.unpack12(image.frame(s, number, seed=7), s.width * s.height)) == list(plain)


CHART = tavrocam_sim.scenes.Chart().light()
ROI = (16, 8, 0, 0, False, False)
SENSOR = (100.0, 100.0, 100.0, 0.0, 2.9, 10700.0, 1.0, 0.005)
CHAIN = (0.38, 0.38, 0.38, 0.0, None, None)


@pytest.mark.parametrize("argument,bad,error", [
    (0, None, TypeError), (0, (b"", 1, 1, 1, "u8"), ValueError),
    (0, (b"\0" * 3, 1, 1, 1, "u16"), ValueError), (0, (b"\0" * 4, 2, 2, 1, "u9"), ValueError),
    (0, (b"\0" * 8, 1, 1, 2, "f32"), ValueError), (0, (b"\0" * 4, -1, 2, 1, "u8"), ValueError),
    (0, (memoryview(b"\0" * 8)[::2], 2, 2, 1, "u8"), TypeError),
    (0, (memoryview(b"\0" * 5)[1:], 1, 1, 1, "f32"), ValueError),
    (1, (16, 8, 2060, 0, False, False), ValueError), (1, (0, 8, 0, 0, False, False), ValueError),
    (1, (16, 8), TypeError), (1, (16, 8, 0, 2 ** 70, False, False), ValueError),
    (2, "Mono16", ValueError), (2, b"Mono8", TypeError),
    (3, SENSOR[:7] + (float("nan"),), ValueError), (3, SENSOR[:5] + (-1.0,) + SENSOR[6:], ValueError),
    (3, SENSOR[:4] + ("2.9",) + SENSOR[5:], TypeError), (3, SENSOR[:4] + (1e300,) + SENSOR[5:], ValueError),
    (4, CHAIN[:3] + (5000.0,) + CHAIN[4:], ValueError), (4, CHAIN[:4] + ((1.0,) * 8, None), TypeError),
    (4, CHAIN[:5] + (b"\0" * 100,), ValueError), (4, CHAIN[:3] + (float("inf"), None, None), ValueError),
    (5, -1.5, TypeError), (6, "1", TypeError)])
def test_the_core_refuses_what_it_cannot_take(argument, bad, error):
    arguments = [CHART, ROI, "BayerRG8", SENSOR, CHAIN, 1, 0]
    arguments[argument] = bad
    with pytest.raises(error):
        image.core.render(*arguments)


@pytest.mark.parametrize("call,error", [
    (lambda core: core.measure(CHART, (0, 0, 4000, 8), SENSOR, CHAIN, 2), ValueError),
    (lambda core: core.measure(CHART, (0, 0, 16, 8), SENSOR, CHAIN, 0), ValueError),
    (lambda core: core.test_image(b"\0" * 255, 1, 16, 8, 0, 256, -1, False, False), ValueError),
    (lambda core: core.test_image(b"\0" * 1024, 1, 16, 8, 0, 100, -1, False, False), ValueError),
    (lambda core: core.test_image(b"\0" * 1024, 1, 16, 8, 0, 256, -1, False, True), ValueError),
    (lambda core: core.unpack12(b"\0" * 5, 4), ValueError),
    (lambda core: core.unpack12(b"\0" * 6, 4, b"\0" * 8), BufferError),
    (lambda core: core.unpack12(b"\0" * 6, 4, bytearray(6)), ValueError),
    (lambda core: core.render(*[CHART] * 6), TypeError),
    (lambda core: core.use_simd("avx512"), ValueError), (lambda core: core.use_simd(2), TypeError)])
def test_the_cores_other_calls_refuse_what_they_cannot_take(call, error):
    with pytest.raises(error):
        call(image.core)


@pytest.mark.parametrize("asked", ["none", "sse2", "avx2", "fastest"])
def test_tavrocam_simd_picks_the_path_at_import(asked):
    """The path TAVROCAM_SIMD names, or the fastest below it the machine
    has (another word: the fastest)."""
    code = "import _tavrocam_sensor as c; print(c.simd(), *c.SIMD_PATHS)"
    env = dict(os.environ, TAVROCAM_SIMD=asked)
    used, *paths = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True,
                                  text=True, check=True).stdout.split()
    order = ["none", "sse2", "avx2"]
    wanted = order.index(asked) if asked in order else len(order) - 1
    assert paths == order[:len(paths)]
    assert used == order[min(wanted, len(paths) - 1)]


def uniform(electrons):
    return tavrocam_sim.scenes.Uniform(
        tavrocam_sim.sensor.irradiance_for(electrons, 0.01, 545.0, "green")).light()


def fine_colour_light(width=1032, height=772):
    """A colour light of half the sensor's size: eight sites' samples lie
    further apart than the chart's (each sample its own value)."""
    cycle = array.array("f", [(k * 7919 % 1000) / 1000.0 for k in range(997)])
    data = (cycle * (width * height * 3 // len(cycle) + 1))[:width * height * 3]
    return CHART._replace(data=data, width=width, height=height)


@pytest.mark.parametrize("pixel_format,size,corner,mirror,light,changes", [
    ("BayerRG8", (2064, 12), (0, 1290), (False, False), CHART, {}),
    ("RGB8", (259, 7), (1, 33), (True, False), fine_colour_light(), {}),
    ("Mono8", (333, 31), (101, 51), (True, False), uniform(3), {"gain": 24.0, "black": 9.0}),
    ("RGB8", (515, 13), (3, 1280), (True, True), CHART, {"preset": "Daylight5000K"}),
    ("YCbCr422_8", (258, 9), (40, 300), (False, False), uniform(0.4), {"gamma": 0.8}),
    ("BayerGB12p", (181, 17), (7, 9), (False, True), uniform(0), {}),
    ("BayerRG12", (640, 8), (1200, 1000), (True, False), uniform(9000), {"gain": 12.0})])
def test_every_vector_path_makes_the_same_bytes(pixel_format, size, corner, mirror, light, changes):
    """Frames (and the values read from them) are the same on every path
    this machine has: AVX2, SSE2 and plain C++."""
    s = settings(pixel_format, corner, *size, reverse_x=mirror[0], reverse_y=mirror[1], **changes)
    before, made = image.core.simd(), {}
    try:
        for path in image.core.SIMD_PATHS:
            assert image.core.use_simd(path) == path
            frames = [image.frame(s, number, light, seed=11) for number in (0, 1)]
            made[path] = frames + [bytes(image.pixel_values(data, pixel_format, size[0] * size[1]))
                                   for data in frames]
    finally:
        image.core.use_simd(before)
    first = made["none"]
    assert first[0] != first[1]  # two frames' noise
    assert [path for path in made if made[path] != first] == []


@pytest.mark.parametrize("pixel_format", ["RGB8", "BGR8", "YCbCr422_8"])
@pytest.mark.parametrize("preset,gamma", [("Off", 1.0), ("Off", 0.8), ("Daylight5000K", 1.0)])
@pytest.mark.parametrize("corner,width,height,mirror", [
    ((96, 40), 64, 12, (False, False)), ((97, 41), 37, 9, (True, False)),
    ((300, 220), 21, 6, (False, True)), ((1, 3), 19, 5, (True, True))])
def test_the_colour_formats_are_the_raw_mosaic_demosaiced(pixel_format, preset, gamma, corner,
                                                          width, height, mirror):
    """Each colour frame is the bilinear demosaic (edges mirrored) of the same
    frame's raw values, the preset's matrix around the black level in 1/4096,
    the processing, then the format: worked out here from BayerRG12."""
    np = pytest.importorskip("numpy")
    s = settings(pixel_format, corner, width, height, preset=preset, gamma=gamma, black=4.0,
                 reverse_x=mirror[0], reverse_y=mirror[1])
    raw12 = s._replace(pixel_format="BayerRG12", black=64.0, reverse_x=False, reverse_y=False,
                       preset="Off", gamma=1.0)
    raw = np.frombuffer(image.frame(raw12, 5, seed=9), "<u2").reshape(height, width).astype(int)
    p = np.pad(raw, 1, mode="reflect")
    c4, h2, v2 = 4 * raw, p[1:-1, :-2] + p[1:-1, 2:], p[:-2, 1:-1] + p[2:, 1:-1]
    diag4 = p[:-2, :-2] + p[:-2, 2:] + p[2:, :-2] + p[2:, 2:]
    odd = ((corner[0] + np.arange(width)) % 2 == 1)[None, :]
    red_row = ((corner[1] + np.arange(height)) % 2 == 0)[:, None]
    r4 = np.where(red_row, np.where(odd, 2 * h2, c4), np.where(odd, diag4, 2 * v2))
    g4 = np.where(red_row, np.where(odd, c4, h2 + v2), np.where(odd, h2 + v2, c4))
    b4 = np.where(red_row, np.where(odd, 2 * v2, diag4), np.where(odd, c4, 2 * h2))
    rgb = np.stack([r4, g4, b4], -1)
    if preset == "Off":
        rgb = (rgb + 2) >> 2
    else:
        q = np.rint(np.array(model.COLOR_MATRICES[preset]) * 4096).astype(int)
        rgb = np.clip(((rgb - 256) @ q.T + 256 * 4096 + 8192) >> 14, 0, 4095)
    process = image._process(s)
    rgb = np.array(process)[rgb] if process is not None else rgb >> 4
    rgb = rgb[::-1 if mirror[1] else 1, ::-1 if mirror[0] else 1]
    if pixel_format == "YCbCr422_8":
        weights = np.array([pixels.Y_WEIGHTS, pixels.CB_WEIGHTS, pixels.CR_WEIGHTS])
        ycc = (rgb @ weights.T + 128) >> 8
        chroma = np.where(np.arange(width) % 2 == 1, ycc[..., 2], ycc[..., 1]) + 128
        expected = np.stack([ycc[..., 0], chroma], -1)
    else:
        expected = rgb if pixel_format == "RGB8" else rgb[..., ::-1]
    got = np.frombuffer(image.frame(s, 5, seed=9), np.uint8).reshape(expected.shape)
    assert np.array_equal(got, np.clip(expected, 0, 255))
