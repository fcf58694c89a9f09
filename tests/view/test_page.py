# The viewer page in headless Chromium against the embedded simulated sensor: it runs without
# script errors, shows the stream's status and images, and pause holds the shown frame.
import os
import tempfile
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By

FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--use-gl=angle", "--use-angle=swiftshader", "--enable-unsafe-swiftshader",
         "--window-size=1600,1000"]


def browser(profile):
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in FLAGS + ["--user-data-dir=" + profile]:
        options.add_argument(flag)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


def wait_for(condition, what, timeout=30):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.1)
    raise AssertionError("timed out waiting for " + what)


def field(driver, name):
    return driver.find_element(By.CSS_SELECTOR, "#sensor-tarn .value-" + name).text


def number(text):
    try:
        return float(text)
    except ValueError:
        return -1.0


DEPTH_PIXELS = """
const c = document.querySelector('#sensor-tarn canvas.depth');
const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
const seen = new Set();
for (let i = 0; i < d.length; i += 4 * 97) seen.add(d[i] * 65536 + d[i + 1] * 256 + d[i + 2]);
return seen.size;
"""


def test_the_page_shows_the_stream_and_pauses(view):
    v = view("--angle")
    with tempfile.TemporaryDirectory() as profile:
        driver = browser(profile)
        try:
            driver.get(v.url())
            wait_for(lambda: number(field(driver, "fps")) > 0, "a frame rate")
            wait_for(lambda: number(field(driver, "decoded")) > 0, "the stream's counters")
            wait_for(lambda: driver.execute_script(DEPTH_PIXELS) > 10, "a depth image")
            wait_for(lambda: number(field(driver, "angle")) > 0, "the plane angle")
            assert field(driver, "lost") == "0"
            assert abs(number(field(driver, "angle")) - 12) < 1

            driver.find_element(By.ID, "pause").click()
            shown = field(driver, "shown")
            decoded = number(field(driver, "decoded"))
            # The stream goes on (its counters still come) while the shown frame stays.
            wait_for(lambda: number(field(driver, "decoded")) >= decoded + 15, "more frames")
            assert field(driver, "shown") == shown
            driver.find_element(By.ID, "pause").click()
            wait_for(lambda: field(driver, "shown") != shown, "updates after resume")

            artefacts = os.environ.get("TARN_VIEW_ARTEFACTS", tempfile.gettempdir())
            driver.save_screenshot(os.path.join(artefacts, "view.png"))
            errors = [e for e in driver.get_log("browser") if e["level"] == "SEVERE"]
            assert errors == []
        finally:
            driver.quit()
