"""tavrocam-view in a real browser: Debian's chromium, headless, driven by
Selenium through Debian's chromium-driver. Opt-in: ``make test-browser``
(which installs them where missing) sets TAVROCAM_BROWSER=1; without it these
tests skip."""

import os
import shutil
import signal
import subprocess
import sys
import time

import pytest

if os.environ.get("TAVROCAM_BROWSER") != "1":
    pytest.skip("browser tests run with make test-browser (TAVROCAM_BROWSER=1)", allow_module_level=True)

from selenium import webdriver  # noqa: E402
from selenium.webdriver.chrome.options import Options  # noqa: E402
from selenium.webdriver.chrome.service import Service  # noqa: E402
from selenium.webdriver.common.action_chains import ActionChains  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.support.ui import WebDriverWait  # noqa: E402

import tavrocam_sim  # noqa: E402
from tavrocam_view import features  # noqa: E402
from tavrocam_view.camera import Camera  # noqa: E402
from tavrocam_view.server import FORBIDDEN, Background, View  # noqa: E402


def chromium() -> webdriver.Chrome:
    options = Options()
    options.binary_location = shutil.which("chromium") or "/usr/bin/chromium"
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1400,1000"):
        options.add_argument(argument)
    return webdriver.Chrome(options=options, service=Service(shutil.which("chromedriver") or "/usr/bin/chromedriver"))


@pytest.fixture(scope="module")
def browser():
    driver = chromium()
    yield driver
    driver.quit()


@pytest.fixture
def served(tavrocam):
    sim = tavrocam_sim.Simulation()
    saved = tavrocam.__dict__.get("pylon")
    tavrocam.pylon = sim.pylon
    features.install(tavrocam)
    camera = Camera(tavrocam, 0)
    camera.connect()
    server = Background(View(camera))
    yield sim, camera, server
    server.stop()
    tavrocam.pylon = saved
    del tavrocam.print


def wait(browser, condition, timeout=20):
    return WebDriverWait(browser, timeout).until(lambda _: condition())


def text(browser, element_id):
    return browser.find_element(By.ID, element_id).text


def row(browser, group, feature):
    return wait(browser, lambda: browser.find_elements(By.ID, f"feature-{group}-{feature}"))[0]


def set_in_row(browser, group, feature, value):
    field = row(browser, group, feature).find_element(By.CSS_SELECTOR, ".param")
    field.clear()
    field.send_keys(value)
    row(browser, group, feature).find_element(By.CSS_SELECTOR, ".set").click()


def test_the_page_needs_the_token_and_shows_the_live_image(browser, served):
    _, _, server = served
    browser.get(server.url.split("?")[0])
    assert browser.find_element(By.TAG_NAME, "body").text == FORBIDDEN
    browser.get(server.url)
    first = wait(browser, lambda: text(browser, "frame-number").isdigit() and int(text(browser, "frame-number")))
    source = browser.find_element(By.ID, "image").get_attribute("src")
    wait(browser, lambda: int(text(browser, "frame-number")) > first + 5)
    assert browser.find_element(By.ID, "image").get_attribute("src") != source
    # a frame whose load is under way shows none yet: wait for one decoded
    wait(browser, lambda: browser.execute_script("return document.getElementById('image').naturalWidth") > 0)
    assert "this page controls the camera" in text(browser, "role")


def test_the_exposure_set_on_the_page_is_the_camera_s(browser, served):
    _, camera, server = served
    browser.get(server.url)
    set_in_row(browser, "Acquisition", "ExposureTime", "4321")
    wait(browser, lambda: "read back: 4321.0" in row(browser, "Acquisition", "ExposureTime").text)
    assert camera.cam.ExposureTime.GetValue() == 4321.0
    wait(browser, lambda: "Exposure Time  : 4321.0 us" in text(browser, "report"))


def test_an_roi_drawn_on_the_image_is_set_on_the_camera(browser, served):
    _, camera, server = served
    browser.get(server.url)
    wait(browser, lambda: text(browser, "frame-number").isdigit() and text(browser, "roi-now"))
    overlay = browser.find_element(By.ID, "overlay")
    ActionChains(browser).move_to_element_with_offset(overlay, -200, -150).click_and_hold() \
        .move_by_offset(250, 180).release().perform()
    wait(browser, lambda: camera.cam.Width.GetValue() < 2048)
    roi = camera.roi()
    wait(browser, lambda: text(browser, "roi-now") ==
         f"ROI {roi.width}×{roi.height} at ({roi.offset_x}, {roi.offset_y})")
    # Drawn over a quarter of the image's width, a little more than 250 px.
    assert 0.25 < roi.width / 2048 < 0.45 and roi.offset_x > 0 and roi.offset_y > 0
    wait(browser, lambda: int(browser.execute_script("return document.getElementById('image').naturalWidth"))
         <= roi.width)


def test_a_setting_the_camera_refuses_shows_pylon_s_error(browser, served):
    _, camera, server = served
    browser.get(server.url)
    set_in_row(browser, "ImageFormat", "Width", "5000")
    outcome = wait(browser, lambda: row(browser, "ImageFormat", "Width").find_elements(By.CSS_SELECTOR, ".error"))
    with camera.idle():  # pylon locks Width while grabbing: the page stops grabbing for it
        expected = camera.call("ImageFormat", "CUF_SET_Width", 5000)["error"]
    assert outcome[0].text == expected and "5000" in expected
    assert expected in text(browser, "log")


def test_stopping_the_server_closes_the_camera_and_the_page_says_so(browser):
    child = subprocess.Popen([sys.executable, "-m", "tavrocam_view", "--simulate", "--no-browser"],
                             stdout=subprocess.PIPE, text=True)
    assert child.stdout.readline().startswith("Connect successful")
    browser.get(child.stdout.readline().strip())
    wait(browser, lambda: text(browser, "frame-number").isdigit())
    child.send_signal(signal.SIGTERM)
    assert child.stdout.read() == "CCD closed.\n" and child.wait(timeout=30) == 128 + signal.SIGTERM
    wait(browser, lambda: text(browser, "camera") == "server stopped")
    time.sleep(0.2)


def test_a_second_page_views_only_until_the_first_one_closes(browser, served):
    _, camera, server = served
    browser.get(server.url)
    first = browser.current_window_handle
    wait(browser, lambda: "controls" in text(browser, "role"))
    browser.switch_to.new_window("tab")
    browser.get(server.url)
    wait(browser, lambda: text(browser, "role").startswith("viewing only (2 pages open"))
    assert "viewer" in browser.find_element(By.TAG_NAME, "body").get_attribute("class")
    browser.switch_to.window(first)
    browser.close()
    browser.switch_to.window(browser.window_handles[0])
    wait(browser, lambda: text(browser, "role") == "this page controls the camera")
    set_in_row(browser, "Acquisition", "ExposureTime", "1234")
    wait(browser, lambda: camera.cam.ExposureTime.GetValue() == 1234.0)


def test_the_pixel_under_the_pointer_is_the_bayer_site_s_value(browser, served):
    import re

    _, camera, server = served
    browser.get(server.url)
    wait(browser, lambda: text(browser, "frame-number").isdigit())
    overlay = browser.find_element(By.ID, "overlay")
    ActionChains(browser).move_to_element_with_offset(overlay, 37, 23).perform()
    found = wait(browser, lambda: re.fullmatch(r"\((\d+), (\d+)\) ([RGB]) (\d+) DN \(8 bit\)",
                                                text(browser, "pointer")))
    x, y, site, value = int(found[1]), int(found[2]), found[3], int(found[4])
    assert site == "RGGB"[(y % 2) * 2 + x % 2] and 0 <= value <= 255
    assert abs(x - 1024) < 120 and abs(y - 768) < 120  # a little right of and below the centre
