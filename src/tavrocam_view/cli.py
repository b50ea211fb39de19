"""``tavrocam-view``: the command line of the live view."""

from __future__ import annotations

import argparse
import os
import signal
import socket
import sys
import tempfile

from . import features

PROG = "tavrocam-view"
MISSING_EXTRA = ("{prog}: the live view needs the 'view' extra ({name} is missing): "
                 'pip install "tavrocam[view]"')


class Usage(Exception):
    """A command line the view cannot run: status 2, as argparse's errors."""


def _cameras(text: str) -> int:
    from tavrocam_sim.simulator import MAX_CAMERAS

    try:
        number = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number of cameras") from None
    if not 1 <= number <= MAX_CAMERAS:
        raise argparse.ArgumentTypeError(f"{number}: from 1 to {MAX_CAMERAS} cameras")
    return number


def _natural(text: str) -> int:
    try:
        number = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number") from None
    if number < 0:
        raise argparse.ArgumentTypeError(f"{number} is negative")
    return number


def _port(text: str) -> int:
    number = _natural(text)
    if number > 65535:
        raise argparse.ArgumentTypeError(f"{number}: a port is from 0 to 65535")
    return number


def parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog=PROG, description="A live view of the acA2040-55uc (or of simulated ones) in the "
        "browser: the image, its histogram and the fourteen feature groups.",
        epilog="The page's URL, with its token, is printed on standard output. "
        "Ctrl-C or SIGTERM stops the server and closes the camera.")
    p.add_argument("--index", type=_natural, default=0, metavar="N",
                   help="the camera at this enumeration index (default 0)")
    p.add_argument("--simulate", type=_cameras, nargs="?", const=1, default=None, metavar="N",
                   help="show simulated acA2040-55uc cameras instead: N of them (default 1)")
    p.add_argument("--scene", metavar="PATH",
                   help="with --simulate: what the simulated camera sees (an image file, "
                   "or a folder of them played in name order)")
    p.add_argument("--host", default="127.0.0.1",
                   help="the address to listen on (default 127.0.0.1: this computer only)")
    p.add_argument("--port", type=_port, default=0,
                   help="the port to listen on (default 0: a free one)")
    p.add_argument("--no-browser", action="store_true", help="do not open a browser")
    return p


def _module(args, p: argparse.ArgumentParser):
    """The Tavrocam module, on simulated cameras when asked; the camera index
    checked against the cameras found (a usage error when past them)."""
    import Tavrocam

    if args.scene is not None and args.simulate is None:
        p.error("--scene needs --simulate")
    if args.simulate is not None:
        import tavrocam_sim

        sim = tavrocam_sim.Simulation(cameras=args.simulate)
        if args.index >= args.simulate:
            p.error(f"--index {args.index}: there are {args.simulate} simulated camera(s)")
        if args.scene is not None:
            try:
                from tavrocam_sim import scenes
            except ImportError:
                p.error("--scene: this tavrocam_sim has no scenes")
            try:
                sim.cameras[args.index].scene = scenes.from_path(args.scene)
            except (TypeError, ValueError, OSError) as error:
                p.error(f"--scene {args.scene}: {error}")
        Tavrocam.pylon = sim.pylon
        return Tavrocam, sim
    count = len(Tavrocam.pylon.TlFactory.GetInstance().EnumerateDevices())
    if count == 0:
        raise Usage("No Basler cameras found.")
    if args.index >= count:
        p.error(f"--index {args.index}: there {'is' if count == 1 else 'are'} {count} camera(s) "
                f"(--index 0 to {count - 1})")
    return Tavrocam, None


def _listen(host: str, port: int) -> socket.socket:
    last: OSError | None = None
    for family, kind, proto, _, address in socket.getaddrinfo(host, port, type=socket.SOCK_STREAM):
        sock = socket.socket(family, kind, proto)
        try:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            sock.bind(address)
            sock.listen(16)
            return sock
        except OSError as error:
            sock.close()
            last = error
    raise last or OSError(f"cannot listen on {host}:{port}")


def url_of(sock: socket.socket, host: str, token: str) -> str:
    address, port = sock.getsockname()[:2]
    shown = host if host not in ("", "0.0.0.0", "::") else "127.0.0.1"
    if ":" in shown:
        shown = f"[{shown}]"
    return f"http://{shown}:{port}/?token={token}"


def redirect_file(url: str) -> str:
    """A private file (mode 0600, only its owner reads it) that sends the
    browser on to ``url``: the token stays off every command line."""
    fd, path = tempfile.mkstemp(prefix="tavrocam-view-", suffix=".html")
    with os.fdopen(fd, "w", encoding="utf-8") as out:
        out.write('<!DOCTYPE html><html><head><meta charset="utf-8">'
                  f'<meta http-equiv="refresh" content="0;url={url}">'
                  f'<title>tavrocam-view</title></head><body><a href="{url}">Open the live view</a>'
                  f'<script>location.replace({url!r})</script></body></html>')
    os.chmod(path, 0o600)
    return path


def main(argv=None) -> int:
    p = parser()
    args = p.parse_args(argv)
    try:
        import aiohttp  # noqa: F401
        import numpy  # noqa: F401
        import PIL  # noqa: F401
    except ImportError as error:
        print(MISSING_EXTRA.format(prog=PROG, name=error.name), file=sys.stderr)
        return 1
    try:
        module, sim = _module(args, p)
    except Usage as error:
        print(f"{PROG}: {error}", file=sys.stderr)
        return 1
    features.install(module)
    return _serve(args, module)


def _serve(args, module) -> int:
    import asyncio

    from aiohttp import web

    from .camera import Camera, ViewError
    from .server import View, application

    try:
        sock = _listen(args.host, args.port)
    except OSError as error:
        print(f"{PROG}: cannot listen on {args.host}:{args.port}: {error.strerror or error}",
              file=sys.stderr)
        return 1
    camera = Camera(module, args.index)
    try:
        camera.connect()
    except ViewError as error:
        sock.close()
        print(f"{PROG}: {error}", file=sys.stderr)
        return 1
    view = View(camera)
    url = url_of(sock, args.host, view.token)
    received: list[int] = []
    redirect = None

    async def run() -> None:
        loop = asyncio.get_running_loop()
        stop = asyncio.Event()
        for number in (signal.SIGINT, signal.SIGTERM):
            loop.add_signal_handler(number, lambda n=number: (received.append(n), stop.set()))
        runner = web.AppRunner(application(view), handle_signals=False, access_log=None)
        await runner.setup()
        try:
            await web.SockSite(runner, sock).start()
            camera.start()
            features.safe_print(url)
            if not args.no_browser:
                nonlocal redirect
                redirect = redirect_file(url)
                import webbrowser

                await loop.run_in_executor(None, webbrowser.open, "file://" + redirect)
            await stop.wait()
        finally:
            await runner.cleanup()

    try:
        asyncio.run(run())
    finally:
        try:
            camera.release()
        finally:
            view.worker.shutdown(wait=True)
            view.encoder.shutdown(wait=True)
            if redirect is not None:
                try:
                    os.unlink(redirect)
                except OSError:
                    pass
    if received and received[0] == signal.SIGINT:
        raise KeyboardInterrupt
    return 128 + received[0] if received else 0


def entry() -> int:
    """The console script: Ctrl-C ends with the status of an interrupt."""
    try:
        return main()
    except KeyboardInterrupt:
        return 128 + signal.SIGINT
    except BrokenPipeError:
        features.silence_stdout()
        return 1
