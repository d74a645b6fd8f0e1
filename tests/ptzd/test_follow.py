"""Following a moving target: an aircraft passing over the head, fed as
BaseStation (SBS-1) lines the way ADS-B receivers publish them, and a
balloon fed as JSON lines from a receiver's port the gateway reads; each
fix checked against PROJ (Debian proj-bin's cct) as the oracle. The feed's
lease stops the head when the feed goes silent, and a command from anyone
else takes the head from the follower."""
import json
import math
import shutil
import socket
import threading
import time

import pytest

from gateway import Ptzd, Sim, free_port, wait_for
from test_geo import az_el, offset

if not shutil.which("cct"):
    pytest.skip("PROJ's cct is not installed (scripts/packages.sh installs proj-bin)", allow_module_level=True)

HERE = (52.30, 4.76, -3.0)
FEET = 0.3048


def sbs(icao, lat, lon, feet, kind=3):
    stamp = "2026/12/10,14:00:00.000"
    alt = "" if feet is None else str(feet)
    return f"MSG,{kind},1,1,{icao},1,{stamp},{stamp},,{alt},,,{lat:.6f},{lon:.6f},,,0,0,0,0\r\n"


def follow_state(g, head="cam"):
    return g.http("GET", f"/api/heads/{head}/follow")[1]


def position(g, head="cam"):
    return g.http("GET", f"/api/heads/{head}/position")[1]


def looking_at(g, pan, tilt):
    """The head at rest, within half a step (0.01 degree) of pan and tilt."""
    p = position(g)
    return (p["known"] and not p["moving"] and abs(p["steps"]["pan"] / 100 - pan) <= 0.0051
            and abs(p["steps"]["tilt"] / 100 - tilt) <= 0.0051)


def feed_socket(port):
    s = socket.create_connection(("127.0.0.1", port), timeout=10)
    return s


@pytest.fixture
def rig():
    sim = Sim(instant=True)
    port = free_port()
    g = Ptzd([("cam", sim.link)], head_lines={"cam": [f"location = [{HERE[0]}, {HERE[1]}, {HERE[2]}]",
                                                        f'follow = "127.0.0.1:{port}"', 'follow_target = "4ca2d6"',
                                                        "follow_rate = 20", "follow_lease = 30"]})
    yield g, sim, port
    g.stop()
    sim.stop()


def test_an_aircraft_passing_over_the_head(rig):
    """From 8 km south-west to 8 km north-east at 2500 ft, passing 300 m
    east of the head: followed while it is inside the head's limits (tilt
    up to 30 degrees), held while it is above them, and followed again."""
    g, sim, port = rig
    feed = feed_socket(port)
    try:
        # Another aircraft in the same feed is not followed; an altitude
        # message before the position, as receivers send them.
        feed.sendall(sbs("3C6444", *offset(HERE, 100, 100, 0)[:2], 1000).encode())
        feed.sendall(sbs("4CA2D6", 0, 0, 2500, kind=5).replace(",0.000000,0.000000,", ",,,").encode())
        held = 0
        for step in range(-8, 9):
            east, north = 300 + step * 700, step * 1000
            lat, lon, _ = offset(HERE, east, north, 0)
            place = (lat, lon, 2500 * FEET)
            az, el = az_el(HERE, place)
            pan = (az + 180) % 360 - 180
            fixes = follow_state(g)["fixes"]
            feed.sendall(sbs("4CA2D6", lat, lon, None).encode())
            assert wait_for(lambda: follow_state(g)["fixes"] == fixes + 1, what="the fix taken")
            if el > 30 or abs(pan) > 170:
                held += 1
                assert wait_for(lambda: "outside the limits" in (follow_state(g)["problem"] or ""), what="held")
                continue
            assert wait_for(lambda: looking_at(g, pan, el), what=f"the head looking at the aircraft {east} m east, {north} m north (pan {pan}, tilt {el})")
            assert follow_state(g)["following"]
        assert 0 < held < 17  # some of the pass is above the head's limits, most is not
        s = follow_state(g)
        assert s["target"] == "4ca2d6" and s["last"]["id"] == "4CA2D6" and s["problem"] is None
        assert abs(s["last"]["height"] - 2500 * FEET) < 1e-6
    finally:
        feed.close()


def test_a_flood_of_fixes_is_paced_and_the_newest_wins(rig):
    g, sim, port = rig
    feed = feed_socket(port)
    try:
        start = time.monotonic()
        lines = []
        for i in range(200):
            lat, lon, _ = offset(HERE, 2000 + i * 5, 3000, 0)
            lines.append(sbs("4CA2D6", lat, lon, 1500))
        feed.sendall("".join(lines).encode())
        lat, lon, _ = offset(HERE, 2000 + 199 * 5, 3000, 0)
        az, el = az_el(HERE, (lat, lon, 1500 * FEET))
        assert wait_for(lambda: looking_at(g, az, el), what="the head at the newest fix")
        elapsed = time.monotonic() - start
        s = follow_state(g)
        assert s["fixes"] == 200
        # At most 20 moves a second (follow_rate), however fast the fixes came.
        assert 1 <= s["moves"] <= elapsed * 20 + 1, (s, elapsed)
        assert s["moves"] < 200
    finally:
        feed.close()


@pytest.mark.parametrize("command", ["move", "stop"])
def test_a_command_from_elsewhere_takes_the_head(rig, command):
    g, sim, port = rig
    feed = feed_socket(port)
    try:
        lat, lon, _ = offset(HERE, 1000, 4000, 0)
        feed.sendall(sbs("4CA2D6", lat, lon, 2000).encode())
        assert wait_for(lambda: follow_state(g)["following"], what="following")
        assert wait_for(lambda: not position(g)["moving"], what="at rest")
        if command == "move":
            assert g.http("POST", "/api/heads/cam/move", {"kind": "absolute", "pan": -60, "tilt": 5})[0] == 200
            assert wait_for(lambda: (lambda p: p["known"] and not p["moving"] and abs(p["pan"] + 60) < 0.01)(position(g)))
        else:
            assert g.http("POST", "/api/heads/cam/stop", {})[0] == 200
        left = position(g)["steps"]
        lat, lon, _ = offset(HERE, 1500, 4000, 0)
        feed.sendall(sbs("4CA2D6", lat, lon, 2000).encode())
        assert wait_for(lambda: "another command took the head" in (follow_state(g)["problem"] or ""), what="yielded")
        fixes = follow_state(g)["fixes"]
        feed.sendall(sbs("4CA2D6", *offset(HERE, 1600, 4000, 0)[:2], 2000).encode())
        assert wait_for(lambda: follow_state(g)["fixes"] == fixes + 1)
        assert position(g)["steps"] == left  # still where the other command left it
        assert not follow_state(g)["following"]
        # Chosen again: followed again.
        assert g.http("POST", "/api/heads/cam/follow", {"target": "4CA2D6"})[0] == 200
        lat, lon, _ = offset(HERE, 1700, 4000, 0)
        feed.sendall(sbs("4CA2D6", lat, lon, 2000).encode())
        az, el = az_el(HERE, (lat, lon, 2000 * FEET))
        assert wait_for(lambda: looking_at(g, az, el), what="followed again")
    finally:
        feed.close()


def test_a_silent_feed_stops_the_head():
    """A slow head on its way to an aircraft when the receiver's feed goes
    quiet: the lease (1 s) ends the move long before it would arrive."""
    sim = Sim(instant=False)
    port = free_port()
    g = Ptzd([("cam", sim.link)], head_lines={"cam": [f"location = [{HERE[0]}, {HERE[1]}, {HERE[2]}]",
                                                        "default_speed = 0.01", f'follow = "127.0.0.1:{port}"',
                                                        'follow_target = "4CA2D6"', "follow_lease = 1"]})
    feed = feed_socket(port)
    try:
        lat, lon, _ = offset(HERE, -3000, 1000, 0)  # pan about -70: a long way at this speed
        target = (lat, lon, 2600 * FEET)
        feed.sendall(sbs("4CA2D6", lat, lon, 2600).encode())
        assert wait_for(lambda: position(g)["moving"], what="the head moving")
        assert wait_for(lambda: "no fix of the target" in (follow_state(g)["problem"] or ""), what="the lease ended")
        assert wait_for(lambda: not position(g)["moving"], what="the head stopped")
        az, _ = az_el(HERE, target)
        assert abs(position(g)["pan"] - (az - 360 if az > 180 else az)) > 5  # nowhere near: it was stopped
        assert "following stopped the head (the feed went silent)" in g.logs()
        # Someone aims the head elsewhere; the aircraft is heard again: the
        # head stays theirs.
        assert g.http("POST", "/api/heads/cam/move", {"kind": "absolute", "pan": 30, "tilt": 0, "speed": 1})[0] == 200
        assert wait_for(lambda: (lambda p: not p["moving"] and abs(p["pan"] - 30) < 0.01)(position(g)), what="aimed elsewhere")
        feed.sendall(sbs("4CA2D6", lat, lon, 2600).encode())
        assert wait_for(lambda: "another command took the head" in (follow_state(g)["problem"] or ""), what="yielded")
        assert abs(position(g)["pan"] - 30) < 0.01 and not position(g)["moving"]
    finally:
        feed.close()
        g.stop()
        sim.stop()


class Receiver:
    """A receiver's port the gateway connects to (as to dump1090's 30003)."""

    def __init__(self):
        self.server = socket.create_server(("127.0.0.1", 0))
        self.port = self.server.getsockname()[1]
        self.clients = []
        self.ready = threading.Event()
        self.thread = threading.Thread(target=self.accept, daemon=True)
        self.thread.start()

    def accept(self):
        while True:
            try:
                c, _ = self.server.accept()
            except OSError:
                return
            self.clients.append(c)
            self.ready.set()

    def send(self, text):
        for c in self.clients:
            c.sendall(text.encode())

    def drop(self):
        for c in self.clients:
            c.close()
        self.clients = []
        self.ready.clear()

    def close(self):
        self.drop()
        self.server.close()


def test_a_receivers_port_is_read_and_read_again_after_it_drops():
    receiver = Receiver()
    sim = Sim(instant=True)
    g = Ptzd([("cam", sim.link)], head_lines={"cam": [f"location = [{HERE[0]}, {HERE[1]}, {HERE[2]}]",
                                                        f'follow_connect = "127.0.0.1:{receiver.port}"']})
    try:
        assert receiver.ready.wait(20), g.logs()
        # Another target chosen: the sonde's fix moves nothing. (The marker
        # after it, at the head's own place, is taken and points nowhere:
        # once it is counted, the sonde's line before it was read.)
        before = g.http("GET", "/api/heads/cam/GetPTPos")[1]
        assert g.http("POST", "/api/heads/cam/follow", {"target": "marker"})[0] == 200
        target = offset(HERE, 400, 2500, 150)
        line = json.dumps({"id": "sonde-7", "lat": target[0], "lon": target[1], "height": target[2]}) + "\n"
        receiver.send(line + json.dumps({"id": "marker", "lat": HERE[0], "lon": HERE[1], "height": HERE[2]}) + "\n")
        assert wait_for(lambda: "where the head is" in (follow_state(g)["problem"] or ""), what="the marker taken")
        assert g.http("GET", "/api/heads/cam/GetPTPos")[1] == before
        assert g.http("POST", "/api/heads/cam/follow", {"target": "SONDE-7"})[0] == 200
        receiver.send(line)
        az, el = az_el(HERE, target)
        assert wait_for(lambda: looking_at(g, az, el), what="looking at the sonde")
        # The receiver restarts: the gateway comes back to it.
        receiver.drop()
        assert receiver.ready.wait(20), g.logs()
        target = offset(HERE, -400, 2500, 150)
        wait_for(lambda: receiver.send(json.dumps({"id": "sonde-7", "lat": target[0], "lon": target[1],
                                                   "height": target[2]}) + "\n") or follow_state(g)["fixes"] >= 2)
        az, el = az_el(HERE, target)
        assert wait_for(lambda: looking_at(g, az - 360, el), what="looking at the sonde again")
    finally:
        g.stop()
        sim.stop()
        receiver.close()


def test_the_follow_settings_and_api_refuse_what_cannot_work():
    sim, bare = Sim(instant=True), Sim(instant=True)
    port = free_port()
    g = Ptzd([("cam", sim.link), ("bare", bare.link)],
             head_lines={"cam": [f"location = [{HERE[0]}, {HERE[1]}, {HERE[2]}]", f'follow = "127.0.0.1:{port}"']})
    try:
        for head, body, why in (("bare", {"target": "x"}, "no location"), ("cam", {"target": 5}, "must be an id"),
                                ("cam", {"target": "x" * 65}, "at most 64 bytes"), ("cam", {"id": "x"}, "unknown argument")):
            status, answer = g.http("POST", f"/api/heads/{head}/follow", body)
            assert status == 400 and why in answer["error"], (body, answer)
        # Garbage and an over-long line: the feed is closed, the port stays.
        s = feed_socket(port)
        s.sendall(b"hello\n" + b"x" * 5000)
        def closed():
            try:
                return s.recv(1) == b""
            except ConnectionResetError:  # closed with our bytes unread
                return True
        assert wait_for(closed, what="the over-long feed closed")
        s.close()
        s = feed_socket(port)
        assert g.http("POST", "/api/heads/cam/follow", {"target": None})[1]["target"] is None
        s.close()
    finally:
        g.stop()
        sim.stop()
        bare.stop()
