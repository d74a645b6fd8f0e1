"""The control page in headless Chromium against a real ptzd and a moving
simulated head: load it, watch the position, hold the jog pad, store and go
to a preset. A screenshot is left in $PTZ_ARTIFACTS."""
import os
import re
import shutil
import tempfile
import time

import pytest

from gateway import Ptzd, Sim

webdriver = pytest.importorskip("selenium.webdriver")
from selenium.webdriver.chrome.service import Service  # noqa: E402
from selenium.webdriver.common.action_chains import ActionChains  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402


def chromium():
    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium") or "/usr/bin/chromium"
    profile = tempfile.mkdtemp(prefix="ptzd-chromium-")
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--window-size=1400,1000", f"--user-data-dir={profile}"):
        options.add_argument(flag)
    service = Service(executable_path=shutil.which("chromedriver") or "/usr/bin/chromedriver")
    return webdriver.Chrome(options=options, service=service), profile


def position(driver):
    text = driver.find_element(By.CSS_SELECTOR, '[data-head="roof"] [data-role="position"]').text
    match = re.match(r"pan (-?\d+), tilt (-?\d+)", text)
    return (int(match[1]), int(match[2])) if match else None


def wait_for(predicate, timeout=10):
    deadline = time.time() + timeout
    while time.time() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(0.05)
    raise AssertionError("timed out")


@pytest.mark.skipif(not shutil.which("chromedriver"), reason="chromium-driver is not installed")
def test_page_shows_moves_and_presets():
    sim = Sim(instant=False)
    g = driver = profile = None
    try:
        g = Ptzd([("roof", sim.link)])
        driver, profile = chromium()
        driver.get(f"http://127.0.0.1:{g.http_port}/")
        assert wait_for(lambda: position(driver) == (0, 0))
        # Hold the jog pad to the right: the head moves while it is held and
        # stops where it is when let go.
        right = driver.find_element(By.CSS_SELECTOR, '[data-head="roof"] [data-jog="1,0"]')
        ActionChains(driver).click_and_hold(right).pause(0.8).release().perform()
        moved = wait_for(lambda: (p := position(driver)) and p[0] > 500 and p)
        # Wait until the head is still (read at the head through the API); a
        # head that kept moving would come to rest only at its limit.
        def still():
            first = g.http("GET", "/api/heads/roof/GetPTPos")[1]
            time.sleep(0.3)
            second = g.http("GET", "/api/heads/roof/GetPTPos")[1]
            return first == second and (second["pan"], second["tilt"])
        held = wait_for(still, timeout=20)
        assert 500 < held[0] < 17000 and held[1] == 0, (moved, held)
        assert wait_for(lambda: position(driver) == held)
        # Store it as preset 2, move away by the absolute move form, come back by the preset.
        driver.find_element(By.CSS_SELECTOR, '[data-head="roof"] [data-preset-set="2"]').click()
        wait_for(lambda: "SetPresetPos" in "".join(sim.requests()) or any(r[6:8] == "91" for r in sim.requests()))
        pan = driver.find_element(By.CSS_SELECTOR, '[data-head="roof"] [data-role="pan"]')
        pan.clear()
        pan.send_keys("-2000")
        driver.find_element(By.XPATH, '//div[@data-head="roof"]//button[text()="Move"]').click()
        assert wait_for(lambda: position(driver) == (-2000, 0))
        driver.find_element(By.CSS_SELECTOR, '[data-head="roof"] [data-preset-go="2"]').click()
        assert wait_for(lambda: position(driver) == held)
        # System information and status are shown.
        assert wait_for(lambda: "PTZ-SIM" in driver.find_element(By.CSS_SELECTOR, '[data-head="roof"] .info').text)
        artifacts = os.environ.get("PTZ_ARTIFACTS", tempfile.gettempdir())
        os.makedirs(artifacts, exist_ok=True)
        shot = os.path.join(artifacts, "ptzd-page.png")
        driver.save_screenshot(shot)
        print("screenshot:", shot)
    finally:
        if driver:
            driver.quit()
            shutil.rmtree(profile, ignore_errors=True)
        if g:
            g.stop()
        sim.stop()
