"""tavrocam-view's own logic, without a browser: the ROI arithmetic against
the simulated camera's nodes, the command line in child processes, the token,
control passing between pages, captured messages and removal, through a plain
HTTP and websocket client."""

import asyncio
import contextlib
import io
import json
import os
import signal
import subprocess
import sys
import threading

import pytest

import tavrocam_sim
from tavrocam_view import features
from tavrocam_view.roi import Limits, fit

aiohttp = pytest.importorskip("aiohttp", reason="the view extra (aiohttp) is not installed")
pytest.importorskip("numpy", reason="the view extra (numpy) is not installed")
Image = pytest.importorskip("PIL.Image", reason="the view extra (Pillow) is not installed")

from tavrocam_view.camera import Camera  # noqa: E402
from tavrocam_view.server import CONTROLLED_ELSEWHERE, FORBIDDEN, Background, View  # noqa: E402

VIEW = [sys.executable, "-m", "tavrocam_view"]


@pytest.fixture
def served(tavrocam):
    """The view of one simulated camera, served from a thread."""
    sim = tavrocam_sim.Simulation()
    saved = tavrocam.__dict__.get("pylon"), tavrocam.__dict__.get("print")
    tavrocam.pylon = sim.pylon
    features.install(tavrocam)
    camera = Camera(tavrocam, 0)
    camera.connect()
    server = Background(View(camera))
    try:
        yield sim, camera, server
    finally:
        server.stop()
        tavrocam.pylon = saved[0]
        del tavrocam.print


def talk(url, script):
    """Run ``script(session, base_url, token)`` against the server at ``url``."""
    base, token = url.split("?token=")

    async def main():
        async with aiohttp.ClientSession() as session:
            return await script(session, base, token)

    return asyncio.run(main())


async def next_of(socket, kind):
    async for message in socket:
        if message.type == aiohttp.WSMsgType.TEXT and json.loads(message.data)["type"] == kind:
            return json.loads(message.data)
    raise AssertionError(f"socket closed before a {kind!r} message")


@pytest.mark.parametrize("drawn, inside", [
    ((100, 50, 640, 480), True), ((740, 530, -640, -480), True), ((2001, 1501, 37, 19), True),
    ((3, 1, 7, 5), False), ((2040, 1530, 500, 400), False), ((-20, -20, 5000, 5000), False)])
def test_a_drawn_roi_is_one_the_camera_takes_next_to_the_drawing(served, drawn, inside):
    sim, camera, _ = served
    limits = camera.limits()
    roi = fit(*drawn, limits)
    outcome = camera.set_roi(*drawn, relative=False)
    assert "error" not in outcome and outcome["roi"] == vars(roi)  # the camera took it as it is
    x, y, w, h = drawn
    for start, size, offset, length, inc, sensor in (
            (min(x, x + w), abs(w), roi.offset_x, roi.width, limits.width_inc, limits.sensor_width),
            (min(y, y + h), abs(h), roi.offset_y, roi.height, limits.height_inc, limits.sensor_height)):
        assert 0 <= offset and offset + length <= sensor
        if inside:  # within one increment of what was drawn
            assert 0 <= start - offset < inc and 0 <= size - length < inc


@pytest.mark.parametrize("bad", [float("nan"), float("inf"), "10", True])
def test_an_roi_of_no_number_is_refused(bad):
    with pytest.raises(ValueError, match="finite number"):
        fit(bad, 0, 16, 16, Limits(2048, 1536, 16, 16, 4, 2, 4, 2))


@pytest.mark.parametrize("args, says", [
    (["--port", "70000"], "a port is from 0 to 65535"),
    (["--simulate", "0"], "from 1 to 64 cameras"),
    (["--index", "-1"], "is negative"),
    (["--scene", "x.png"], "--scene needs --simulate"),
    (["--simulate", "2", "--index", "2"], "there are 2 simulated camera(s)"),
    (["--frobnicate"], "unrecognized arguments"),
])
def test_a_bad_command_line_is_a_usage_error(args, says):
    run = subprocess.run(VIEW + args + ["--no-browser"], capture_output=True, text=True, timeout=60)
    assert (run.returncode, run.stdout) == (2, "") and says in run.stderr and "usage:" in run.stderr


def test_an_index_past_the_emulated_cameras_says_how_many():
    env = dict(os.environ, PYLON_CAMEMU="1")
    run = subprocess.run(VIEW + ["--index", "1", "--no-browser"], capture_output=True, text=True,
                         timeout=60, env=env)
    assert run.returncode == 2 and "there is 1 camera(s) (--index 0 to 0)" in run.stderr


def test_a_scene_that_is_no_image_is_a_usage_error(tmp_path):
    pytest.importorskip("tavrocam_sim.scenes", reason="tavrocam_sim has no scenes yet")
    run = subprocess.run(VIEW + ["--simulate", "--scene", str(tmp_path / "none.png"), "--no-browser"],
                         capture_output=True, text=True, timeout=60)
    assert run.returncode == 2 and "--scene" in run.stderr


def start_view(*args, model="acA2040-55uc", env=None):
    child = subprocess.Popen(VIEW + ["--no-browser", *(args or ["--simulate"])], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True, env=env)
    lines = [child.stdout.readline(), child.stdout.readline()]
    assert lines[0] == f"Connect successful: {model}\n", lines + [child.stderr.read()]
    return child, lines[1].strip()


@pytest.mark.parametrize("args, emulated, model", [
    (["--simulate", "2", "--index", "1"], None, "acA2040-55uc"), (["--index", "1"], "2", "CamEmu")])
def test_the_second_camera_s_live_image_and_roi_on_the_simulated_and_the_emulated_camera(args, emulated, model):
    env = dict(os.environ, **({"PYLON_CAMEMU": emulated} if emulated else {}))
    child, url = start_view(*args, model=model, env=env)

    async def look(session, base, token):
        socket = await session.ws_connect(f"{base}ws?token={token}")
        await socket.send_json({"type": "features"})
        described = await next_of(socket, "features")
        serial = next(f["now"]["value"] for g in described["groups"]
                      for f in g["features"] if f["name"] == "ModelName")
        before = described["roi"]
        await socket.send_json({"type": "roi", "x": 32, "y": 16, "width": 256, "height": 128})
        roi = await next_of(socket, "roi")
        await socket.send_json({"type": "ready", "width": 4096, "height": 4096})
        header = await next_of(socket, "frame")
        while (header["width"], header["height"]) != (256, 128):  # a frame from before the ROI
            await socket.send_json({"type": "ready", "width": 4096, "height": 4096})
            header = await next_of(socket, "frame")
        jpeg = await socket.receive_bytes()
        await socket.close()
        return serial, before, roi, jpeg

    try:
        model_name, before, roi, jpeg = talk(url, look)
    finally:
        child.send_signal(signal.SIGTERM)
        out, err = child.communicate(timeout=60)
    # Drawn on the image: its offsets add to the ROI shown.
    assert model_name == model and roi["roi"] == {"offset_x": before["offset_x"] + 32, "width": 256,
                                                  "offset_y": before["offset_y"] + 16, "height": 128}
    assert Image.open(io.BytesIO(jpeg)).size == (256, 128)
    assert (child.returncode, out, err) == (128 + 15, "CCD closed.\n", "")


@pytest.mark.parametrize("stop, status", [(signal.SIGTERM, 128 + 15), (signal.SIGINT, 128 + 2)])
def test_the_server_needs_its_token_and_closes_the_camera_when_stopped(stop, status):
    child, url = start_view()
    base, token = url.split("?token=")

    async def fetch(session, _, __):
        answers = []
        for query in ("", "?token=", "?token=" + token[:-1] + ("B" if token.endswith("A") else "A"), "?token=" + token):
            async with session.get(base + query) as response:
                answers.append((response.status, await response.text()))
        async with session.get(base + "ws") as response:
            answers.append((response.status, await response.text()))
        return answers

    answers = talk(url, fetch)
    child.send_signal(stop)
    out, err = child.communicate(timeout=60)
    assert [a[0] for a in answers] == [403, 403, 403, 200, 403]
    assert answers[0][1] == FORBIDDEN and "<title>tavrocam-view</title>" in answers[3][1]
    assert (child.returncode, out, err) == (status, "CCD closed.\n", "")


def test_the_browser_gets_a_private_file_and_no_command_line_holds_the_token(tmp_path):
    record = tmp_path / "browser.json"
    script = tmp_path / "browser"
    script.write_text(f"""#!{sys.executable}
import json, os, stat, sys
path = sys.argv[1].removeprefix("file://")
json.dump({{"argv": sys.argv[1:], "mode": stat.S_IMODE(os.stat(path).st_mode),
           "text": open(path).read()}}, open({str(record)!r}, "w"))
""")
    script.chmod(0o755)
    child = subprocess.Popen(VIEW + ["--simulate"], stdout=subprocess.PIPE, text=True,
                             env=dict(os.environ, BROWSER=str(script)))
    child.stdout.readline()
    url = child.stdout.readline().strip()
    for _ in range(600):
        if record.exists() and record.stat().st_size:
            break
        threading.Event().wait(0.05)
    child.send_signal(signal.SIGTERM)
    child.communicate(timeout=60)
    opened = json.loads(record.read_text())
    token = url.split("?token=")[1]
    assert token not in " ".join(opened["argv"]) and opened["mode"] == 0o600
    assert url in opened["text"] and not os.path.exists(opened["argv"][0].removeprefix("file://"))


def test_output_cut_by_a_closed_pipe_ends_quietly():
    child, _ = start_view()
    child.stdout.close()  # as `| head -2` does
    child.send_signal(signal.SIGTERM)
    child.wait(timeout=60)
    assert (child.returncode, child.stderr.read()) == (128 + 15, "")


def test_one_page_controls_and_control_passes_on_when_it_closes(served):
    sim, camera, server = served

    async def pages(session, base, token):
        first = await session.ws_connect(f"{base}ws?token={token}")
        second = await session.ws_connect(f"{base}ws?token={token}")
        roles = [(await next_of(first, "state"))["control"], (await next_of(second, "state"))["control"]]
        await second.send_json({"type": "set", "group": "Acquisition", "feature": "ExposureTime",
                                "values": ["2500"]})
        refused = await next_of(second, "error")
        await first.close()
        while not (await next_of(second, "state"))["control"]:
            pass
        await second.send_json({"type": "set", "group": "Acquisition", "feature": "ExposureTime",
                                "values": ["2500"]})
        done = await next_of(second, "set")
        await second.close()
        return roles, refused, done

    roles, refused, done = talk(server.url, pages)
    assert roles == [True, False] and refused["error"] == CONTROLLED_ELSEWHERE
    assert done["read_back"]["value"] == "2500.0" == str(camera.cam.ExposureTime.GetValue())


def test_what_a_setter_prints_is_its_own_call_s_while_other_threads_print(served, tavrocam, capfd):
    sim, camera, _ = served
    other = tavrocam_sim.Simulation()  # another camera, driven by another thread of the program
    tavrocam.pylon = other.pylon
    with features.capture():
        api = tavrocam.CLASS_Tavrocam()
    tavrocam.pylon = sim.pylon
    other.cameras[0].fail("ExposureTime.SetValue", other.pylon.AccessException("elsewhere"))
    sim.cameras[0].fail("ExposureTime.SetValue", sim.pylon.AccessException("held"))
    done = threading.Event()

    def elsewhere():
        while not done.is_set():
            api.Acquisition.CUF_SET_ExposureTime(5000)

    thread = threading.Thread(target=elsewhere)
    thread.start()
    try:
        outcomes = [camera.set("Acquisition", "ExposureTime", [5000]) for _ in range(50)]
    finally:
        done.set()
        thread.join()
        with features.capture():
            api.close()
    assert all(o["printed"] == ["ExposureTime set failure: held"] and o["read_back"]["value"] == "10000.0"
               for o in outcomes)
    printed = capfd.readouterr().out.splitlines()
    assert printed and set(printed) == {"ExposureTime set failure: elsewhere"}


def test_frames_pixels_and_files_come_from_the_last_frame(served):
    sim, camera, server = served

    async def look(session, base, token):
        # a browser offers to deflate; JPEG frames are sent as they are
        socket = await session.ws_connect(f"{base}ws?token={token}", compress=15)
        assert socket.compress == 0
        await socket.send_json({"type": "ready", "width": 500, "height": 500})
        header = await next_of(socket, "frame")
        jpeg = await socket.receive_bytes()
        await socket.send_json({"type": "pixel", "x": 1, "y": 0})
        pixel = await next_of(socket, "pixel")
        files = {}
        for name in ("frame.png", "frame.raw", "features.pfs"):
            async with session.get(f"{base}save/{name}?token={token}") as response:
                files[name] = await response.read()
        await socket.close()
        return header, jpeg, pixel, files

    header, jpeg, pixel, files = talk(server.url, look)
    frame = camera.frame
    assert Image.open(io.BytesIO(jpeg)).size == (500, 375)
    assert pixel["pixel"]["values"] == {"G": int(frame.array()[0, 1])} if frame.number == header["number"] \
        else "G" in pixel["pixel"]["values"]
    assert Image.open(io.BytesIO(files["frame.png"])).size == (header["width"], header["height"])
    assert len(files["frame.raw"]) == camera.cam.PayloadSize.GetValue()
    assert files["features.pfs"].decode().startswith("# {05D8C294-F295-4dfb-9D01-096BD04049F4}")


def test_a_removed_camera_is_shown_removed_and_reconnecting_says_why_not(served):
    sim, camera, server = served

    async def unplug(session, base, token):
        socket = await session.ws_connect(f"{base}ws?token={token}")
        await next_of(socket, "state")
        sim.cameras[0].remove()
        while not (await next_of(socket, "state"))["removed"]:
            pass
        await socket.send_json({"type": "reconnect"})
        answer = await next_of(socket, "reconnect")
        await socket.close()
        return answer

    answer = talk(server.url, unplug)
    assert answer["error"] == f"Camera {sim.cameras[0].serial} is not attached: 0 camera(s) found."
    assert camera.api is None
