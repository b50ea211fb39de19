"""The live view's page as a browser shows it, for the documentation.

    python docs/scripts/view_screenshot.py [FILE]

serves ``tavrocam-view`` on a simulated acA2040-55uc, opens the page in
Debian's chromium (headless, through Selenium and chromium-driver, as the
browser tests do; `make docs` installs them where missing) and writes a PNG
of it (default: build/view.png). The docs hook calls ``screenshot()`` at
every build. Where no browser can be had (Read the Docs), ``preview()`` is
the page's live image alone, made by the view's own preview code.
"""

from __future__ import annotations

import shutil
import sys
import time
from pathlib import Path

SIZE = (1400, 860)


def _served():
    import Tavrocam
    import tavrocam_sim
    from tavrocam_view import features
    from tavrocam_view.camera import Camera
    from tavrocam_view.server import Background, View

    Tavrocam.pylon = tavrocam_sim.Simulation().pylon
    features.install(Tavrocam)
    with features.capture():
        camera = Camera(Tavrocam, 0)
        camera.connect()
    return Background(View(camera))


def browser_found() -> bool:
    try:
        import selenium  # noqa: F401
    except ImportError:
        return False
    return bool(shutil.which("chromium") and shutil.which("chromedriver"))


def screenshot() -> bytes:
    """A PNG of the page, a few seconds into showing the live image."""
    from selenium import webdriver
    from selenium.webdriver.chrome.options import Options
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from tavrocam_view import features

    server = _served()
    options = Options()
    options.binary_location = shutil.which("chromium")
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage",
                     f"--window-size={SIZE[0]},{SIZE[1]}", "--hide-scrollbars"):
        options.add_argument(argument)
    driver = webdriver.Chrome(options=options, service=Service(shutil.which("chromedriver")))
    try:
        driver.get(server.url)
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            ready = driver.find_elements(By.CSS_SELECTOR, "#histogram-counts tr") and \
                driver.find_element(By.ID, "report").text and \
                driver.find_element(By.ID, "frame-number").text.isdigit()
            if ready:
                break
            time.sleep(0.2)
        else:
            raise RuntimeError("the view's page did not show a frame within 30 s")
        time.sleep(1.5)  # frames per second measured over a second or more
        return driver.get_screenshot_as_png()
    finally:
        driver.quit()
        with features.capture():
            server.stop()


def preview() -> bytes:
    """The live image alone, as the page gets it (a JPEG)."""
    from tavrocam_view import features

    server = _served()
    try:
        camera = server.view.camera
        deadline = time.monotonic() + 30
        while camera.frame is None and time.monotonic() < deadline:
            time.sleep(0.05)
        return camera.preview(camera.frame, 960, 720)
    finally:
        with features.capture():
            server.stop()


def main(argv: list[str]) -> int:
    out = Path(argv[1] if len(argv) > 1 else "build/view.png")
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_bytes(screenshot())
    print(out)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
