"""The control page in headless Chromium against a real ptzd and simulated
heads with their motion model on: the map of the range, the live position
through the stream, click-to-move, keyboard, gamepad, the dead man when the
browser dies mid-jog, the stream under a token. Screenshots at desktop and
phone width are left in $PTZ_ARTIFACTS."""
import contextlib
import http.server
import os
import re
import shutil
import signal
import tempfile
import threading
import time

import pytest

from gateway import Ptzd, Sim, Stream, free_port

webdriver = pytest.importorskip("selenium.webdriver")
from selenium.webdriver.chrome.service import Service  # noqa: E402
from selenium.webdriver.common.action_chains import ActionChains  # noqa: E402
from selenium.webdriver.common.actions.action_builder import ActionBuilder  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.common.keys import Keys  # noqa: E402
from selenium.webdriver.support import expected_conditions  # noqa: E402
from selenium.webdriver.support.ui import WebDriverWait  # noqa: E402

pytestmark = pytest.mark.skipif(not shutil.which("chromedriver"), reason="chromium-driver is not installed")

# The simulated head: 1 step = 1/100 degree, pan -170..170, tilt -90..30.
HEAD = ['pan_limits = [-90.0, 120.0]', 'tilt_limits = [-45.0, 20.0]',
        'status_labels = ["lamp", "wiper", "heater", "alarm"]']
LABELS = ["lamp", "wiper", "heater", "alarm"]
PICTURE = (b'<svg xmlns="http://www.w3.org/2000/svg" width="320" height="180">'
           b'<rect width="320" height="180" fill="#4a6b8a"/><circle cx="250" cy="45" r="22" fill="#ffd65a"/>'
           b'<path d="M0 180 L90 90 L160 150 L230 100 L320 180 Z" fill="#2e4a3a"/></svg>')


def chromium():
    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium") or "/usr/bin/chromium"
    profile = tempfile.mkdtemp(prefix="ptzd-chromium-")
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--window-size=1280,800", f"--user-data-dir={profile}"):
        options.add_argument(flag)
    service = Service(executable_path=shutil.which("chromedriver") or "/usr/bin/chromedriver")
    return webdriver.Chrome(options=options, service=service), profile


def close_browser(driver, profile):
    """Ends a browser chromium() started (if any), whatever became of it."""
    if driver:
        try:
            driver.quit()
        except Exception:  # its browser was killed on purpose
            pass
        shutil.rmtree(profile, ignore_errors=True)


def wait_for(predicate, timeout=10, interval=0.02):
    deadline = time.time() + timeout
    while time.time() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(interval)
    raise AssertionError("timed out")


@contextlib.contextmanager
def one_head(token=None, browser=True):
    """A moving simulated head "roof", ptzd (with `token`) and, when asked,
    a browser; all stopped afterwards, whatever happened to the browser."""
    sim = Sim(instant=False)
    g = driver = profile = None
    try:
        g = Ptzd([("roof", sim.link)], token=token, head_lines={"roof": HEAD})
        if browser:
            driver, profile = chromium()
        yield g, driver
    finally:
        close_browser(driver, profile)
        if g:
            g.stop()
        sim.stop()


def at_head(g, name="roof"):
    """Where the head is, in degrees, read at the head (not the poller)."""
    status, p = g.http("GET", f"/api/heads/{name}/GetPTPos")
    assert status == 200, p
    return p["pan"] / 100, p["tilt"] / 100


def still(g, name="roof"):
    """The head at rest: the same reading twice, 0.25 s apart."""
    first = at_head(g, name)
    time.sleep(0.25)
    return first if at_head(g, name) == first else None


def arrive(g, pan, tilt, name="roof"):
    status, answer = g.http("POST", f"/api/heads/{name}/move", {"kind": "absolute", "pan": pan, "tilt": tilt, "speed": 1})
    assert status == 200, answer
    wait_for(lambda: at_head(g, name) == (pan, tilt), timeout=20)


def marker(driver, selector, head="roof"):
    """A map marker's place in the SVG's units and the map's scale."""
    return driver.execute_script("""
        const svg = document.querySelector(`[data-head="${arguments[0]}"] svg.map`);
        const m = svg && svg.querySelector(arguments[1]);  // no map before the heads have loaded
        if (!m) return null;
        const c = m.tagName === "g" ? m.querySelector("circle") : m;
        const n = k => +svg.dataset[k];
        return {cx: +c.getAttribute("cx"), cy: +c.getAttribute("cy"), pan: +m.dataset.pan, tilt: +m.dataset.tilt,
                panMin: n("panMin"), tiltMax: n("tiltMax"), scale: n("scale"), text: m.textContent};""", head, selector)


def shown_at(driver, pan, tilt, head="roof", tolerance=0.05):
    m = marker(driver, '[data-role="here"]', head)
    return m and m["pan"] is not None and abs(m["pan"] - pan) <= tolerance and abs(m["tilt"] - tilt) <= tolerance and m


def record_fetches(driver):
    driver.execute_script("""
        window.sent = [];
        const f = window.fetch;
        window.fetch = (url, options) => { window.sent.push([String(url), options && options.body || null]); return f(url, options); };""")


def sent(driver, ending):
    """The bodies the page sent to paths ending so, without the page's own
    name and number (every move and stop carries them, in order)."""
    import json
    bodies = [json.loads(b) for u, b in driver.execute_script("return window.sent") if u.endswith(ending) and b]
    for b in bodies:
        if ending in ("/move", "/stop"):
            assert isinstance(b.pop("client"), str) and isinstance(b.pop("seq"), int), b
    return bodies


def serve_picture():
    hits = []

    class Picture(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            hits.append(self.path)
            self.send_response(200)
            self.send_header("Content-Type", "image/svg+xml")
            self.send_header("Content-Length", str(len(PICTURE)))
            self.end_headers()
            self.wfile.write(PICTURE)

        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Picture)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server, hits


@pytest.fixture(scope="module")
def site():
    """Two heads (roof with a camera picture, a stored preset and a tour;
    mast), ptzd and one browser on the page, shared by the tests below."""
    roof, mast = Sim(instant=False), Sim(instant=False)
    pictures, hits = serve_picture()
    g = driver = profile = None
    try:
        g = Ptzd([("roof", roof.link), ("mast", mast.link)],
                 head_lines={"roof": HEAD + [f'snapshot = "http://127.0.0.1:{pictures.server_port}/snap.svg"'],
                             "mast": HEAD})
        arrive(g, 40.0, -10.0)
        assert g.http("POST", "/api/heads/roof/presets/3", {"name": "gate"})[0] == 200
        arrive(g, -60.0, 5.0)
        assert g.http("POST", "/api/heads/roof/presets/5", {"name": "yard"})[0] == 200
        arrive(g, 0.0, 0.0)
        tour = {"loop": True, "steps": [{"preset": 3, "dwell": 2}, {"preset": 5, "dwell": 2}]}
        assert g.http("PUT", "/api/heads/roof/tours/rounds", tour)[0] == 200
        driver, profile = chromium()
        driver.get(f"http://127.0.0.1:{g.http_port}/")
        wait_for(lambda: shown_at(driver, 0, 0))
        record_fetches(driver)
        yield {"g": g, "driver": driver, "roof": roof, "hits": hits}
    finally:
        close_browser(driver, profile)
        if g:
            g.stop()
        pictures.shutdown()
        roof.stop()
        mast.stop()


def test_map_draws_range_limits_and_presets(site):
    driver = site["driver"]
    svg = marker(driver, '[data-role="range"]')
    assert (svg["panMin"], svg["tiltMax"]) == (-170, 30)
    k = svg["scale"]
    rect = lambda role: driver.execute_script(  # noqa: E731
        "const r = document.querySelector(`[data-head=roof] [data-role=${arguments[0]}]`);"
        "return ['x', 'y', 'width', 'height'].map(a => +r.getAttribute(a));", role)
    assert rect("range") == pytest.approx([0, 0, 340 * k, 120 * k])
    # Soft limits pan -90..120, tilt -45..20: x from the left, y down from the top (tilt 30).
    assert rect("limits") == pytest.approx([80 * k, 10 * k, 210 * k, 65 * k])
    # The presets where they were stored, with their names.
    for preset, pan, tilt, name in [(3, 40, -10, "gate"), (5, -60, 5, "yard")]:
        m = wait_for(lambda: marker(driver, f'[data-preset="{preset}"]'))
        assert (m["cx"], m["cy"]) == pytest.approx(((pan + 170) * k, (30 - tilt) * k))
        assert m["text"] == name
    # Status flags under their labels, the readout in degrees, steps on demand.
    flags = driver.find_elements(By.CSS_SELECTOR, '[data-head="roof"] [data-flag]')
    assert [f.text for f in flags] == LABELS
    assert driver.find_element(By.CSS_SELECTOR, '[data-head="roof"] [data-role="pan"]').text == "0.00°"
    steps = driver.find_element(By.CSS_SELECTOR, '[data-head="roof"] [data-role="steps"]')
    assert not steps.is_displayed()
    driver.find_element(By.CSS_SELECTOR, '[data-head="roof"] [data-role="show-steps"]').click()
    assert steps.text == "steps 0 / 0"
    # The camera's picture is shown and refreshed. (Between a refresh's
    # request and its decoding the image has no width yet: waited for.)
    wait_for(lambda: len(site["hits"]) >= 2)
    wait_for(lambda: driver.execute_script("return document.querySelector('[data-role=snapshot]').naturalWidth") == 320)
    assert not driver.find_elements(By.CSS_SELECTOR, '[data-head="mast"] [data-role="snapshot"]')


def test_marker_follows_a_move_made_elsewhere(site):
    g, driver = site["g"], site["driver"]
    driver.execute_script("window.notReloaded = true")
    arrive(g, 0.0, 0.0)
    wait_for(lambda: shown_at(driver, 0, 0))
    assert g.http("POST", "/api/heads/roof/move", {"kind": "absolute", "pan": 30.0, "tilt": -15.0, "speed": 0.3})[0] == 200
    # On the way (the stream shows the head while it moves) and there at the end.
    wait_for(lambda: (m := marker(driver, '[data-role="here"]')) and 1 < m["pan"] < 29)
    m = wait_for(lambda: shown_at(driver, 30, -15), timeout=20)
    k = m["scale"]
    assert (m["cx"], m["cy"]) == pytest.approx((200 * k, 45 * k))
    trail = driver.find_element(By.CSS_SELECTOR, '[data-head="roof"] [data-role="trail"]').get_attribute("points")
    assert len(trail.split()) >= 3
    assert driver.execute_script("return window.notReloaded") is True


def test_click_on_the_map_moves_the_head_there(site):
    g, driver = site["g"], site["driver"]
    driver.execute_script("arguments[0].scrollIntoView({block: 'center'})",
                          driver.find_element(By.CSS_SELECTOR, '[data-head="roof"] svg.map'))
    # The viewport point of (-50°, 10°) through the SVG's own transform.
    x, y = driver.execute_script("""
        const svg = document.querySelector('[data-head=roof] svg.map');
        const p = svg.createSVGPoint(), k = +svg.dataset.scale;
        p.x = (-50 - svg.dataset.panMin) * k; p.y = (svg.dataset.tiltMax - 10) * k;
        const q = p.matrixTransform(svg.getScreenCTM());
        return [q.x, q.y];""")
    actions = ActionBuilder(driver)
    actions.pointer_action.move_to_location(round(x), round(y)).pointer_down().pointer_up()
    actions.perform()
    target = wait_for(lambda: (m := marker(driver, '[data-role="target"]')) and m["pan"] == m["pan"] and m)  # NaN until aimed
    # The pointer lands within a pixel of the point: at most a degree off.
    assert abs(target["pan"] + 50) <= 1 and abs(target["tilt"] - 10) <= 1, target
    wait_for(lambda: at_head(g) == (target["pan"], target["tilt"]), timeout=20)
    wait_for(lambda: shown_at(driver, target["pan"], target["tilt"]))


def test_keyboard_jogs_faster_with_shift_and_space_stops(site):
    g, driver = site["g"], site["driver"]
    arrive(g, 0.0, 0.0)
    driver.execute_script("window.sent.length = 0")
    body = driver.find_element(By.TAG_NAME, "body")
    ActionChains(driver).move_to_element(body).key_down(Keys.ARROW_RIGHT).perform()
    wait_for(lambda: at_head(g)[0] > 2)
    ActionChains(driver).send_keys(" ").perform()
    stopped = wait_for(lambda: still(g))
    assert stopped[1] == 0 and 2 < stopped[0] < 120
    ActionChains(driver).key_up(Keys.ARROW_RIGHT).perform()
    # Shift: full speed; the plain arrow: the slider's speed (0.5).
    ActionChains(driver).key_down(Keys.SHIFT).key_down(Keys.ARROW_UP).perform()
    wait_for(lambda: at_head(g)[1] > 1)
    ActionChains(driver).key_up(Keys.ARROW_UP).key_up(Keys.SHIFT).perform()
    wait_for(lambda: still(g))
    moves = [(m["pan"], m["tilt"]) for m in sent(driver, "/move") if m.get("kind") == "continuous"]
    assert moves == [(0.5, 0), (0, 1)], moves
    assert len(sent(driver, "/stop")) >= 2
    # A digit goes to that preset.
    ActionChains(driver).send_keys("3").perform()
    wait_for(lambda: at_head(g) == (40.0, -10.0), timeout=20)


def test_space_stops_and_arrows_jog_while_the_speed_slider_has_the_focus(site):
    g, driver = site["g"], site["driver"]
    arrive(g, 0.0, 0.0)
    slider = driver.find_element(By.CSS_SELECTOR, '[data-head=roof] [data-role="speed"]')
    slider.click()
    value = slider.get_attribute("value")
    ActionChains(driver).key_down(Keys.ARROW_RIGHT).perform()
    wait_for(lambda: at_head(g)[0] > 2)
    ActionChains(driver).send_keys(" ").perform()
    stopped = wait_for(lambda: still(g))
    ActionChains(driver).key_up(Keys.ARROW_RIGHT).perform()
    assert 2 < stopped[0] < 120
    assert slider.get_attribute("value") == value  # the arrows jogged, the speed stayed


def test_gamepad_moves_the_head_and_steps_presets(site):
    g, driver = site["g"], site["driver"]
    arrive(g, 0.0, 0.0)
    driver.execute_script("window.sent.length = 0")
    driver.execute_script("""
        const button = () => ({pressed: false, value: 0});
        window.pad = {id: "test pad", connected: true, axes: [0.8, 0, 0, 0], buttons: Array.from({length: 16}, button)};
        navigator.getGamepads = () => [window.pad];""")
    wait_for(lambda: at_head(g)[0] > 2)
    assert {"kind": "continuous", "pan": 0.8, "tilt": 0, "timeout": 0.3} in sent(driver, "/move")
    # Button 0 stops (the stick still held).
    driver.execute_script("window.pad.buttons[0] = {pressed: true, value: 1}")
    wait_for(lambda: sent(driver, "/stop"))
    driver.execute_script("window.pad.axes[0] = 0; window.pad.buttons[0] = {pressed: false, value: 0}")
    wait_for(lambda: still(g))
    # The right shoulder: the next preset (the first, 3, from none).
    driver.execute_script("window.pad.buttons[5] = {pressed: true, value: 1}")
    wait_for(lambda: at_head(g) == (40.0, -10.0), timeout=20)
    driver.execute_script("window.pad.buttons[5] = {pressed: false, value: 0}; navigator.getGamepads = () => []")


def test_tour_starts_and_shows_progress(site):
    g, driver = site["g"], site["driver"]
    row = '[data-head="roof"] [data-tour="rounds"]'
    wait_for(lambda: driver.find_elements(By.CSS_SELECTOR, row))
    driver.find_element(By.CSS_SELECTOR, row + ' button[title="start"]').click()
    progress = driver.find_element(By.CSS_SELECTOR, '[data-head="roof"] [data-role="tour-progress"]')
    # Progress from the stream's tour_step events: the first step, then the second.
    wait_for(lambda: progress.text == "rounds: step 1, round 1")
    wait_for(lambda: progress.text == "rounds: step 2, round 1", timeout=20)
    driver.find_element(By.CSS_SELECTOR, row + ' button[title="stop"]').click()
    wait_for(lambda: g.http("GET", "/api/heads/roof/tours")[1]["current"]["state"] == "idle")
    wait_for(lambda: progress.text.startswith("rounds stopped"))


def test_screenshots_desktop_and_phone(site):
    driver = site["driver"]
    artifacts = os.environ.get("PTZ_ARTIFACTS", tempfile.gettempdir())
    os.makedirs(artifacts, exist_ok=True)
    for name, (w, h) in [("desktop", (1280, 800)), ("phone", (390, 844))]:
        driver.set_window_size(w, h)
        wait_for(lambda: driver.execute_script("return window.innerWidth") <= w)
        driver.execute_script("window.scrollTo(0, 0)")
        # Nothing wider than the window.
        assert driver.execute_script("return document.documentElement.scrollWidth <= window.innerWidth + 1")
        shot = os.path.join(artifacts, f"ptzd-page-{name}.png")
        driver.save_screenshot(shot)
        print("screenshot:", shot)
    driver.set_window_size(1280, 800)


def descendants(pid):
    """The processes below `pid` (ours: the browser chromedriver started)."""
    children = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as f:
                    parent = int(f.read().rsplit(")", 1)[1].split()[1])
            except OSError:
                continue
            children.setdefault(parent, []).append(int(entry))
    found, todo = [], [pid]
    while todo:
        for child in children.get(todo.pop(), []):
            found.append(child)
            todo.append(child)
    return found


def test_dead_man_stops_the_head_when_the_browser_dies_mid_jog():
    with one_head() as (g, driver):
        driver.get(f"http://127.0.0.1:{g.http_port}/")
        wait_for(lambda: shown_at(driver, 0, 0))
        record_fetches(driver)
        right = driver.find_element(By.CSS_SELECTOR, '[data-head="roof"] [data-jog="1,0"]')
        ActionChains(driver).click_and_hold(right).perform()
        # Held well past one lease: the renewals keep it going.
        wait_for(lambda: len(sent(driver, "/renew")) >= 8)
        before = at_head(g)[0]
        wait_for(lambda: at_head(g)[0] > before)
        stream = Stream(g, "roof")
        try:
            browser = descendants(driver.service.process.pid)
            killed = time.monotonic()
            for pid in browser:
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
            # Nobody renews the lease any more: the gateway itself ends the jog.
            finished = wait_for(lambda: [e for e in stream.of("move_finished") if e.get("reason") == "lease expired"])
            assert len(finished) == 1, finished
            ended = time.monotonic() - killed
        finally:
            stream.close()
        # What it took (the lease is 0.3 s, renewed every 0.1 s, plus a poll
        # at 20 Hz) is reported, not asserted: a loaded machine stretches it.
        print(f"dead man: the jog ended {ended * 1000:.0f} ms after the browser died")
        # And the head stays where it stopped (the same reading for a second).
        last, last_change, since = at_head(g), time.monotonic(), time.monotonic()
        while time.monotonic() - last_change < 1.0:
            assert time.monotonic() - since < 20, "the head kept moving"
            now = at_head(g)
            if now != last:
                last, last_change = now, time.monotonic()
        assert last[0] < 120


def test_stream_under_a_token():
    secret = "s3cret-token"
    with one_head(token=secret) as (g, driver):
        assert g.http("GET", "/api/heads/roof/stream", token="wrong")[0] == 401
        driver.get(f"http://127.0.0.1:{g.http_port}/")
        alert = WebDriverWait(driver, 10).until(expected_conditions.alert_is_present())
        alert.send_keys(secret)
        alert.accept()
        wait_for(lambda: shown_at(driver, 0, 0))
        assert driver.execute_script("return sessionStorage.getItem('ptzd-token')") == secret
        live = driver.find_element(By.CSS_SELECTOR, '[data-head="roof"] [data-role="live"]')
        wait_for(lambda: live.text == "live")
        # A move made elsewhere reaches the page through the stream.
        assert g.http("POST", "/api/heads/roof/move", {"kind": "absolute", "pan": -20.0, "tilt": 0.0, "speed": 1})[0] == 200
        wait_for(lambda: shown_at(driver, -20, 0), timeout=20)


def streams_open(g):
    status, text = g.http("GET", "/metrics")
    assert status == 200
    return int(re.search(r"^ptzd_http_streams (\d+)$", text, re.M).group(1))


def test_eight_tabs_share_one_stream_and_commands_still_get_through():
    """A browser keeps six connections per host across its tabs: eight tabs
    of the page hold one live stream between them, each shows what happens,
    and the last one opened still moves and stops the head."""
    with one_head() as (g, driver):
        url = f"http://127.0.0.1:{g.http_port}/"
        tabs = []
        for i in range(8):
            if i:
                driver.switch_to.new_window("tab")
            driver.get(url)
            tabs.append(driver.current_window_handle)
            wait_for(lambda: shown_at(driver, 0, 0))
            live = driver.find_element(By.CSS_SELECTOR, '[data-head="roof"] [data-role="live"]')
            wait_for(lambda: live.text == "live")
        wait_for(lambda: streams_open(g) == 1)
        # The eighth tab jogs and stops: its commands had a connection.
        ActionChains(driver).move_to_element(driver.find_element(By.TAG_NAME, "body")).key_down(Keys.ARROW_RIGHT).perform()
        wait_for(lambda: at_head(g)[0] > 2, timeout=20)
        ActionChains(driver).send_keys(" ").key_up(Keys.ARROW_RIGHT).perform()
        stopped = wait_for(lambda: still(g))
        # Every tab was told where the head stopped.
        for tab in tabs:
            driver.switch_to.window(tab)
            wait_for(lambda: shown_at(driver, *stopped, tolerance=0.5))
        # Tabs closed, the others keep the stream.
        for tab in tabs[1:]:
            driver.switch_to.window(tab)
            driver.close()
        driver.switch_to.window(tabs[0])
        assert g.http("POST", "/api/heads/roof/move", {"kind": "absolute", "pan": -20.0, "tilt": 0.0, "speed": 1})[0] == 200
        wait_for(lambda: shown_at(driver, -20, 0), timeout=20)
        assert streams_open(g) == 1
        # The last tab closed (a tab left for another page may wait in the
        # browser's back-forward cache, its stream with it, frozen).
        driver.switch_to.new_window("tab")
        blank = driver.current_window_handle
        driver.switch_to.window(tabs[0])
        driver.close()
        driver.switch_to.window(blank)
        wait_for(lambda: streams_open(g) == 0)


@pytest.mark.parametrize("value", ['["a", "b", "c"]', '["a", "b", "c", "d", "e"]', '["a", "", "c", "d"]',
                                   '["a", 2, "c", "d"]', '"lamp"', '["a", "b", "c", "' + "x" * 65 + '"]'])
def test_status_labels_must_be_four_short_strings(tmp_path, value):
    import subprocess
    from gateway import PTZD
    path = tmp_path / "site.toml"
    path.write_text(f'[[head]]\nname = "a"\nlink = "com:1"\nstatus_labels = {value}\n')
    run = subprocess.run([PTZD, "--check-config", str(path)], capture_output=True, text=True)
    assert run.returncode == 1 and f"{path}:4: status_labels must be four strings" in run.stderr, run.stderr


def test_heads_tell_the_page_labels_snapshot_and_listeners():
    sim = Sim()
    g = None
    try:
        udp = f"127.0.0.1:{free_port()}"
        # A snapshot without onvif; labels left out on the second head.
        g = Ptzd([("roof", sim.link), ("mast", sim.link)],
                 head_lines={"roof": HEAD + ['snapshot = "http://127.0.0.1:9/snap.jpg"', f'visca_udp = "{udp}"']})
        roof, mast = g.http("GET", "/api/heads")[1]
        assert roof["status_labels"] == LABELS and roof["snapshot"] == "http://127.0.0.1:9/snap.jpg"
        assert (roof["visca_udp"], roof["visca_tcp"], roof["onvif"]) == (udp, "", "")
        assert mast["status_labels"] == ["flag 0", "flag 1", "flag 2", "flag 3"] and mast["snapshot"] == ""
    finally:
        if g:
            g.stop()
        sim.stop()


class CuttableWire:
    """A TCP relay between the browser and ptzd whose wire can be cut: while
    cut, bytes in both directions are held back, as a network that stalls;
    mended, everything held goes through, late."""

    def __init__(self, target_port):
        import socket
        self.socket = socket
        self.target = target_port
        self.server = socket.create_server(("127.0.0.1", 0))
        self.port = self.server.getsockname()[1]
        self.flowing = threading.Event()
        self.flowing.set()
        self.sockets = []
        threading.Thread(target=self.accept, daemon=True).start()

    def accept(self):
        while True:
            try:
                client, _ = self.server.accept()
            except OSError:
                return
            upstream = self.socket.create_connection(("127.0.0.1", self.target))
            self.sockets += [client, upstream]
            for a, b in ((client, upstream), (upstream, client)):
                threading.Thread(target=self.pump, args=(a, b), daemon=True).start()

    def pump(self, source, sink):
        try:
            while True:
                data = source.recv(65536)
                if not data:
                    break
                self.flowing.wait()
                sink.sendall(data)
        except OSError:
            pass
        try:
            sink.shutdown(self.socket.SHUT_WR)
        except OSError:
            pass

    def cut(self):
        self.flowing.clear()

    def mend(self):
        self.flowing.set()

    def close(self):
        self.flowing.set()
        self.server.close()
        for s in self.sockets:
            s.close()


def test_a_cut_network_stops_the_head_shows_it_and_nothing_held_back_moves_it_late():
    with one_head() as (g, driver):
        wire = CuttableWire(g.http_port)
        try:
            driver.get(f"http://127.0.0.1:{wire.port}/")
            wait_for(lambda: shown_at(driver, 0, 0), timeout=15)
            lost = driver.find_element(By.CSS_SELECTOR, '[data-role="lost"]')
            assert not lost.is_displayed()
            body = driver.find_element(By.TAG_NAME, "body")
            ActionChains(driver).move_to_element(body).key_down(Keys.ARROW_RIGHT).perform()
            wait_for(lambda: at_head(g)[0] > 2, timeout=15)
            wire.cut()
            # The renewals are held back: the lease ends the jog, the key still held.
            rest = wait_for(lambda: still(g), timeout=15)
            wait_for(lambda: lost.is_displayed(), timeout=15)
            # Held back too: a move the other way, its release and a Space.
            ActionChains(driver).key_up(Keys.ARROW_RIGHT).key_down(Keys.ARROW_LEFT).perform()
            ActionChains(driver).key_up(Keys.ARROW_LEFT).send_keys(" ").perform()
            wire.mend()
            wait_for(lambda: not lost.is_displayed(), timeout=15)
            # Whatever arrives late: refused, or stopped by the stop right behind it.
            after = wait_for(lambda: still(g), timeout=15)
            assert abs(after[0] - rest[0]) < 5 and after[1] == rest[1], (rest, after)
        finally:
            wire.close()


def test_the_page_shows_where_the_head_stands_and_what_it_looks_at():
    sim = Sim(instant=True)
    g = driver = profile = None
    try:
        g = Ptzd([("roof", sim.link)], head_lines={"roof": ["location = [47.3769, 8.5417, 420.0]", "ground_height = 400",
                                                             "orientation = [15, 0, 0]"]})
        assert g.http("POST", "/api/heads/roof/move", {"kind": "absolute", "pan": 20, "tilt": -10})[0] == 200
        driver, profile = chromium()
        driver.get(f"http://127.0.0.1:{g.http_port}/")
        text = lambda role: driver.execute_script(  # noqa: E731
            "const e = document.querySelector(`[data-head=roof] [data-role=${arguments[0]}]`); return e ? e.textContent : null;", role)
        wait_for(lambda: text("geo-looking") == "looks azimuth 35.00°, elevation -10.00°")
        assert text("geo-location") == "at 47.37690, 8.54170 · 420.0 m"
        assert text("geo-orientation") == "stands yaw 15.00°, pitch 0.00°, roll 0.00°"
        link = driver.find_element(By.CSS_SELECTOR, '[data-head="roof"] [data-role="geo-ground"] a')
        assert "openstreetmap.org/?mlat=47.37" in link.get_attribute("href")
        # About 113 m out (20 m down at 10 degrees), to the north-east.
        lat, lon = map(float, link.text.split(", "))
        assert 47.3769 < lat < 47.3779 and 8.5417 < lon < 8.5437
        assert g.http("POST", "/api/heads/roof/move", {"kind": "absolute", "pan": 20, "tilt": 10})[0] == 200
        wait_for(lambda: text("geo-ground") == "ground none (above the horizon)")
    finally:
        close_browser(driver, profile)
        if g:
            g.stop()
        sim.stop()
