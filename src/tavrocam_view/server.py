"""The web server of the view (aiohttp): the page, its token, one page in
control at a time, frames sent only to a page ready for one."""

from __future__ import annotations

import asyncio
import concurrent.futures
import contextlib
import hmac
import itertools
import json
import secrets
import time
from importlib import resources

from aiohttp import WSMsgType, web

from .camera import Camera, ViewError

STATE_PERIOD = 0.5       # seconds between state messages to each page
HISTOGRAM_PERIOD = 0.5   # at most this often a histogram of the full frame
MAX_PREVIEW = 4096       # largest preview side a page may ask for
FORBIDDEN = ("403: Forbidden. This page needs the token printed when tavrocam-view "
             "started: open the URL it printed.")
CONTROLLED_ELSEWHERE = "Another page has control: this page views only."

_KEY = web.AppKey("view", object)


class Page:
    """One open page: its websocket, what it asked for, what it was sent."""

    def __init__(self, number: int, socket: web.WebSocketResponse, frames_before: int) -> None:
        self.number = number
        self.frames_before = frames_before  # frames the camera sent before the page opened
        self.socket = socket
        self.ready = False
        self.size = (960, 720)
        self.sent_frame = -1
        self.shown = 0
        self.shown_marks: list[float] = []


class View:
    """The camera and the pages of one server."""

    def __init__(self, camera: Camera, token: str | None = None) -> None:
        self.camera = camera
        self.token = token or secrets.token_urlsafe(24)
        self.pages: list[Page] = []
        self._numbers = itertools.count(1)
        # Camera work, one call at a time; previews and histograms beside it.
        self.worker = concurrent.futures.ThreadPoolExecutor(1, "tavrocam-view camera")
        self.encoder = concurrent.futures.ThreadPoolExecutor(1, "tavrocam-view preview")
        self.frame_ready = asyncio.Event()
        self._loop: asyncio.AbstractEventLoop | None = None
        self._encoded: tuple | None = None  # (frame number, size, jpeg)
        self._histogram: tuple[float, dict | None] = (0.0, None)
        self._tasks: set[asyncio.Task] = set()

    # --- who controls ---------------------------------------------------------------
    @property
    def controller(self) -> Page | None:
        """The oldest open page controls; when it closes, the next one does."""
        return self.pages[0] if self.pages else None

    def authorised(self, request: web.Request) -> bool:
        given = request.query.get("token", "")
        return hmac.compare_digest(given.encode(), self.token.encode())

    # --- frames -----------------------------------------------------------------------
    def _frame_arrived(self, number: int) -> None:
        loop = self._loop
        if loop is not None and not loop.is_closed():
            loop.call_soon_threadsafe(self.frame_ready.set)

    async def _frames(self) -> None:
        """Send the last frame to every page ready for a newer one; frames
        that arrive meanwhile replace it."""
        loop = asyncio.get_running_loop()
        while True:
            await self.frame_ready.wait()
            self.frame_ready.clear()
            frame = self.camera.frame
            if frame is None:
                continue
            for page in list(self.pages):
                if not page.ready or page.sent_frame == frame.number:
                    continue
                encoded = self._encoded
                if encoded is None or encoded[0] != frame.number or encoded[1] != page.size:
                    try:
                        jpeg = await loop.run_in_executor(self.encoder, self.camera.preview,
                                                          frame, *page.size)
                    except Exception as error:  # a frame that cannot be shown: say so
                        await self._send(page, {"type": "error", "error": f"Preview: {error}"})
                        continue
                    encoded = self._encoded = (frame.number, page.size, jpeg)
                page.ready = False
                page.sent_frame = frame.number
                await self._send(page, {"type": "frame", "number": frame.number,
                                        "width": frame.width, "height": frame.height,
                                        "format": frame.pixel_format})
                with _closed_ok():
                    await page.socket.send_bytes(encoded[2])

    async def _states(self) -> None:
        loop = asyncio.get_running_loop()
        while True:
            await asyncio.sleep(STATE_PERIOD)
            if not self.pages:
                continue
            removed = await loop.run_in_executor(self.worker, self.camera.check_removed)
            histogram = None
            stamp, kept = self._histogram
            if time.monotonic() - stamp >= HISTOGRAM_PERIOD and self.camera.frame is not None:
                try:
                    kept = await loop.run_in_executor(self.encoder, self.camera.histogram)
                except Exception:
                    kept = None
                self._histogram = (time.monotonic(), kept)
                histogram = kept
            for page in list(self.pages):
                await self._send(page, self.state(page, removed, histogram))

    def state(self, page: Page, removed: bool, histogram: dict | None = None) -> dict:
        camera = self.camera
        frame = camera.frame
        now = time.monotonic()
        page.shown_marks = [t for t in page.shown_marks if t > now - 2.0]
        shown_rate = (len(page.shown_marks) - 1) / (page.shown_marks[-1] - page.shown_marks[0]) \
            if len(page.shown_marks) > 1 and page.shown_marks[-1] > page.shown_marks[0] else 0.0
        message = {
            "type": "state", "page": page.number, "control": page is self.controller,
            "pages": len(self.pages), "connected": camera.api is not None, "removed": removed,
            "grabbing": camera.grabbing, "serial": camera.serial, "model": camera.model,
            "frame": frame.number if frame else None,
            "received_fps": round(camera.received_rate(), 2), "shown_fps": round(shown_rate, 2),
            "received": camera.received, "shown": page.shown,
            "dropped": max(camera.camera_frames() - page.frames_before - page.shown, 0),
            "failed": camera.failed, "grab_error": camera.grab_error,
        }
        if histogram is not None:
            message["histogram"] = histogram
        return message

    async def _send(self, page: Page, message: dict) -> None:
        with _closed_ok():
            await page.socket.send_str(json.dumps(message))

    # --- requests ------------------------------------------------------------------------
    async def page(self, request: web.Request) -> web.StreamResponse:
        if not self.authorised(request):
            return web.Response(status=403, text=FORBIDDEN)
        return web.Response(text=page_html(), content_type="text/html",
                            headers={"Cache-Control": "no-store", "Referrer-Policy": "no-referrer"})

    async def download(self, request: web.Request) -> web.StreamResponse:
        if not self.authorised(request):
            return web.Response(status=403, text=FORBIDDEN)
        what = request.match_info["what"]
        makers = {"frame.png": (self.camera.png, "image/png"),
                  "frame.raw": (self.camera.raw, "application/octet-stream"),
                  "features.pfs": (self.camera.feature_file, "text/plain")}
        if what not in makers:
            raise web.HTTPNotFound()
        make, content_type = makers[what]
        try:
            body = await asyncio.get_running_loop().run_in_executor(self.worker, make)
        except ViewError as error:
            return web.Response(status=409, text=str(error))
        except Exception as error:
            return web.Response(status=500, text=str(error))
        frame = self.camera.frame
        stem = f"{self.camera.model or 'camera'}_{self.camera.serial}"
        if what.startswith("frame") and frame is not None:
            stem += f"_{frame.number}_{frame.width}x{frame.height}_{frame.pixel_format}"
        name = stem + what[what.index("."):]
        return web.Response(body=body.encode() if isinstance(body, str) else body,
                            content_type=content_type,
                            headers={"Content-Disposition": f'attachment; filename="{name}"'})

    async def socket(self, request: web.Request) -> web.StreamResponse:
        if not self.authorised(request):
            return web.Response(status=403, text=FORBIDDEN)
        # JPEG frames do not deflate: compressing each one would cost CPU for nothing
        socket = web.WebSocketResponse(heartbeat=20, max_msg_size=1 << 16, compress=False)
        await socket.prepare(request)
        page = Page(next(self._numbers), socket, self.camera.camera_frames())
        self.pages.append(page)
        loop = asyncio.get_running_loop()
        try:
            await self._send(page, self.state(page, self.camera.removed))
            async for message in socket:
                if message.type != WSMsgType.TEXT:
                    continue
                try:
                    request_ = json.loads(message.data)
                    if not isinstance(request_, dict):
                        raise ValueError("a request is a JSON object")
                except ValueError as error:
                    await self._send(page, {"type": "error", "error": f"Bad request: {error}"})
                    continue
                await self._answer(page, request_, loop)
        finally:
            self.pages.remove(page)
            for other in list(self.pages):
                await self._send(other, self.state(other, self.camera.removed))
        return socket

    async def _answer(self, page: Page, message: dict, loop) -> None:
        kind = message.get("type")
        reply_to = message.get("id")
        if kind == "ready":
            try:
                width = min(max(int(message.get("width", 960)), 16), MAX_PREVIEW)
                height = min(max(int(message.get("height", 720)), 16), MAX_PREVIEW)
            except (TypeError, ValueError):
                width, height = page.size
            if message.get("shown"):
                page.shown += 1
                page.shown_marks.append(time.monotonic())
            page.size = (width, height)
            page.ready = True
            self.frame_ready.set()
            return
        if kind == "pixel":
            try:
                value = self.camera.pixel(int(message["x"]), int(message["y"]))
            except (KeyError, TypeError, ValueError):
                value = None
            await self._send(page, {"type": "pixel", "pixel": value})
            return
        handler = READS.get(kind)
        if handler is None:
            handler = CHANGES.get(kind)
            if handler is None:
                await self._send(page, {"type": "error", "id": reply_to,
                                        "error": f"Unknown request {kind!r}."})
                return
            if page is not self.controller:
                await self._send(page, {"type": "error", "id": reply_to, "error": CONTROLLED_ELSEWHERE})
                return
        try:
            result = await loop.run_in_executor(self.worker, handler, self.camera, message)
        except ViewError as error:
            result = {"error": str(error)}
        except (KeyError, TypeError, ValueError) as error:
            result = {"error": f"Bad request: {error}"}
        except Exception as error:  # pylon's own words
            result = {"error": str(error), "error_type": type(error).__name__}
        await self._send(page, {"type": kind, "id": reply_to, **result})
        if kind in CHANGES:
            for other in self.pages:
                if other is not page:
                    await self._send(other, {"type": "changed", "by": page.number, "what": kind})

    # --- life -------------------------------------------------------------------------------
    async def started(self, app: web.Application) -> None:
        self._loop = asyncio.get_running_loop()
        self.camera.on_frame = self._frame_arrived
        for job in (self._frames(), self._states()):
            task = asyncio.ensure_future(job)
            self._tasks.add(task)

    async def stopping(self, app: web.Application) -> None:
        for task in self._tasks:
            task.cancel()
        for page in list(self.pages):
            with _closed_ok():
                await page.socket.close(code=1001, message=b"server stopped")


def _need_connected(camera: Camera) -> None:
    if camera.api is None:
        raise ViewError("The camera is not connected: reconnect.")


def _features(camera: Camera, message: dict) -> dict:
    _need_connected(camera)
    return {"groups": camera.describe(), "roi": vars(camera.roi()), "limits": vars(camera.limits())}


def _report(camera: Camera, message: dict) -> dict:
    _need_connected(camera)
    return {"lines": camera.report()}


def _set(camera: Camera, message: dict) -> dict:
    _need_connected(camera)
    values = message.get("values", [])
    if not isinstance(values, list):
        raise ViewError("values: a list")
    return camera.set(str(message["group"]), str(message["feature"]), values)


def _roi(camera: Camera, message: dict) -> dict:
    _need_connected(camera)
    if message.get("full"):
        limits = camera.limits()
        return camera.set_roi(0, 0, limits.sensor_width, limits.sensor_height, relative=False)
    return camera.set_roi(message["x"], message["y"], message["width"], message["height"])


def _centre(camera: Camera, message: dict) -> dict:
    _need_connected(camera)
    axis = message.get("axis")
    if axis not in ("X", "Y"):
        raise ViewError("axis: X or Y")
    return camera.centre(axis)


def _grab(camera: Camera, message: dict) -> dict:
    _need_connected(camera)
    if message.get("on"):
        camera.start()
    else:
        camera.stop()
    return {"grabbing": camera.grabbing}


def _reconnect(camera: Camera, message: dict) -> dict:
    camera.reconnect()
    return {"messages": camera.messages, "serial": camera.serial}


READS = {"features": _features, "report": _report}
CHANGES = {"set": _set, "roi": _roi, "centre": _centre, "grab": _grab, "reconnect": _reconnect}


class _closed_ok:
    """A page that went away meanwhile is no error."""

    def __enter__(self):
        return self

    def __exit__(self, kind, value, traceback):
        return kind is not None and issubclass(kind, (ConnectionError, RuntimeError))


def page_html() -> str:
    """The page, its style and script inlined: one request, one token check."""
    static = resources.files(__package__).joinpath("static")
    html = static.joinpath("index.html").read_text("utf-8")
    css = static.joinpath("view.css").read_text("utf-8")
    js = static.joinpath("view.js").read_text("utf-8")
    return (html.replace('<link rel="stylesheet" id="style">', f"<style>\n{css}</style>")
                .replace('<script id="code"></script>', f"<script>\n{js}</script>"))


def application(view: View) -> web.Application:
    app = web.Application()
    app[_KEY] = view
    app.router.add_get("/", view.page)
    app.router.add_get("/ws", view.socket)
    app.router.add_get("/save/{what}", view.download)
    app.on_startup.append(view.started)
    app.on_shutdown.append(view.stopping)
    return app


class Background:
    """The view served from a thread of this process, for a program (or a
    notebook) that keeps its own main thread: ``url``, then ``stop()``,
    which stops the server and releases the camera."""

    def __init__(self, view: View, host: str = "127.0.0.1", port: int = 0) -> None:
        import threading

        self.view = view
        self._started = threading.Event()
        self._stop: asyncio.Event | None = None
        self._loop: asyncio.AbstractEventLoop | None = None
        self._error: BaseException | None = None
        self.url = ""
        self._thread = threading.Thread(target=asyncio.run, args=(self._run(host, port),),
                                        name="tavrocam-view server", daemon=True)
        self._thread.start()
        self._started.wait()
        if self._error is not None:
            raise self._error

    async def _run(self, host: str, port: int) -> None:
        self._loop = asyncio.get_running_loop()
        self._stop = asyncio.Event()
        runner = web.AppRunner(application(self.view), handle_signals=False, access_log=None)
        try:
            await runner.setup()
            site = web.TCPSite(runner, host, port)
            await site.start()
            bound = runner.addresses[0]
            self.url = f"http://{host}:{bound[1]}/?token={self.view.token}"
            self.view.camera.start()
        except BaseException as error:
            self._error = error
            self._started.set()
            await runner.cleanup()
            return
        self._started.set()
        try:
            await self._stop.wait()
        finally:
            await runner.cleanup()

    def stop(self) -> None:
        loop, stop = self._loop, self._stop
        if loop is not None and stop is not None and not loop.is_closed():
            with contextlib.suppress(RuntimeError):
                loop.call_soon_threadsafe(stop.set)
        self._thread.join()
        try:
            self.view.camera.release()
        finally:
            self.view.worker.shutdown(wait=True)
            self.view.encoder.shutdown(wait=True)
