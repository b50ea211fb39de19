"""What the live view (tavrocam-view) costs beside the camera itself.

    .venv/bin/python bench/bench_view.py [--seconds 10] [--formats BayerRG8,RGB8]

Each pixel format at the full sensor on the simulated acA2040-55uc, two child
processes measured over the same window after a warm-up:

- the camera alone: a grab loop as the view's own (LatestImageOnly, the last
  result kept), each frame's array taken (``GetArray()``), nothing shown;
- the view: ``python -m tavrocam_view --simulate``, with a page played by
  this process (a websocket client that asks for the next frame as soon as
  it has one, at a 1280 x 960 preview, and the pixel under a pointer 20 times
  a second), so it serves as fast as a browser could take frames.

Printed per format: frames per second the camera sent (``ResultingFrameRate``)
and each child received, frames the page got, and the CPU of each child in
cores (user + system, from the kernel's accounting): the view's cost is the
difference. The target: at most 0.5 of a core at the full sensor and 55 fps.
"""

import argparse
import asyncio
import json
import os
import subprocess
import sys
import textwrap
import time

ALONE = textwrap.dedent("""
    import json, resource, sys, time
    import tavrocam_sim
    sim = tavrocam_sim.Simulation(); pylon = sim.pylon
    cam = pylon.InstantCamera(pylon.TlFactory.GetInstance().CreateFirstDevice()); cam.Open()
    cam.PixelFormat.SetValue(sys.argv[1])
    warm, seconds = float(sys.argv[2]), float(sys.argv[3])
    rate = cam.ResultingFrameRate.GetValue()
    cam.StartGrabbing(pylon.GrabStrategy_LatestImageOnly)
    kept, frames, start, cpu = None, 0, time.monotonic(), None
    while True:
        now = time.monotonic()
        if cpu is None and now - start >= warm:
            usage = resource.getrusage(resource.RUSAGE_SELF); cpu = usage.ru_utime + usage.ru_stime
            frames, begun = 0, now
        if cpu is not None and now - begun >= seconds:
            break
        result = cam.RetrieveResult(1000, pylon.TimeoutHandling_Return)
        if result is not None and result.IsValid() and result.GrabSucceeded():
            kept = result; kept.GetArray(); frames += 1
    usage = resource.getrusage(resource.RUSAGE_SELF)
    elapsed = time.monotonic() - begun
    print(json.dumps({"cores": (usage.ru_utime + usage.ru_stime - cpu) / elapsed,
                      "received": frames / elapsed, "rate": rate}))
    cam.StopGrabbing(); cam.Close()
""")


def cpu_seconds(pid: int) -> float:
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


async def play_page(url: str, pixel_format: str, warm: float, seconds: float, pid: int) -> dict:
    import aiohttp

    base, token = url.split("?token=")
    async with aiohttp.ClientSession() as session:
        socket = await session.ws_connect(f"{base}ws?token={token}", max_msg_size=0)
        await socket.send_json({"type": "set", "group": "ImageFormat", "feature": "PixelFormat",
                                "values": [pixel_format]})
        await socket.send_json({"type": "ready", "width": 1280, "height": 960})
        start = time.monotonic()
        begun = cpu = None
        frames = last_pixel = 0
        state = {}
        async for message in socket:
            now = time.monotonic()
            if message.type == aiohttp.WSMsgType.BINARY:
                frames += 1
                await socket.send_json({"type": "ready", "width": 1280, "height": 960, "shown": True})
            elif message.type == aiohttp.WSMsgType.TEXT:
                data = json.loads(message.data)
                if data["type"] == "set" and "error" in data:
                    raise SystemExit(f"{pixel_format}: {data['error']}")
                if data["type"] == "state":
                    state = data
            if now - last_pixel > 0.05:
                last_pixel = now
                await socket.send_json({"type": "pixel", "x": 100, "y": 100})
            if begun is None and now - start >= warm:
                begun, cpu, frames, received = now, cpu_seconds(pid), 0, state.get("received", 0)
            if begun is not None and now - begun >= seconds:
                break
        elapsed = time.monotonic() - begun
        cores = (cpu_seconds(pid) - cpu) / elapsed
        await socket.close()
    return {"cores": cores, "shown": frames / elapsed,
            "received": (state.get("received", 0) - received) / elapsed}


def measure_view(pixel_format: str, warm: float, seconds: float) -> dict:
    child = subprocess.Popen([sys.executable, "-m", "tavrocam_view", "--simulate", "--no-browser"],
                             stdout=subprocess.PIPE, text=True)
    try:
        url = ""
        while not url.startswith("http"):
            url = child.stdout.readline()
            if not url:
                raise SystemExit("tavrocam-view did not start")
        return asyncio.run(play_page(url.strip(), pixel_format, warm, seconds, child.pid))
    finally:
        child.terminate()
        child.wait()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=10.0)
    parser.add_argument("--warm", type=float, default=3.0)
    parser.add_argument("--formats", default="BayerRG8,BayerRG12,RGB8,YCbCr422_8,Mono8")
    args = parser.parse_args()
    print(f"{'format':<11} {'camera fps':>10} {'alone: fps':>10} {'cores':>6} "
          f"{'view: fps':>9} {'shown':>6} {'cores':>6} {'view cost':>9}")
    for pixel_format in args.formats.split(","):
        run = subprocess.run([sys.executable, "-c", ALONE, pixel_format, str(args.warm), str(args.seconds)],
                             capture_output=True, text=True, check=True)
        alone = json.loads(run.stdout.strip().splitlines()[-1])
        view = measure_view(pixel_format, args.warm, args.seconds)
        print(f"{pixel_format:<11} {alone['rate']:>10.1f} {alone['received']:>10.1f} {alone['cores']:>6.2f} "
              f"{view['received']:>9.1f} {view['shown']:>6.1f} {view['cores']:>6.2f} "
              f"{view['cores'] - alone['cores']:>9.2f}", flush=True)


if __name__ == "__main__":
    main()
