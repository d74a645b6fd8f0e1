"""Pointing at the world, against PROJ (Debian proj-bin's cct) as an
independent oracle: a head with a location turns to look at places at
several latitudes, heights and distances; what it looks at comes back as a
ground point; landmark calibration recovers how it stands."""
import json
import math
import random
import shutil
import subprocess
import time

import pytest

from gateway import Ptzd, Sim

if not shutil.which("cct"):
    pytest.skip("PROJ's cct is not installed (scripts/packages.sh installs proj-bin)", allow_module_level=True)


def enu(origin, place):
    """east, north, up of `place` from `origin` ((lat, lon, h) each), by PROJ."""
    lat0, lon0, h0 = origin
    run = subprocess.run(["cct", "-d", "6", "+proj=pipeline", "+step", "+proj=cart", "+ellps=WGS84", "+step",
                          "+proj=topocentric", "+ellps=WGS84", f"+lat_0={lat0}", f"+lon_0={lon0}", f"+h_0={h0}"],
                         input=f"{place[1]} {place[0]} {place[2]}\n", capture_output=True, text=True, check=True, timeout=30)
    e, n, u = map(float, run.stdout.split()[:3])
    return e, n, u


def az_el(origin, place):
    e, n, u = enu(origin, place)
    return math.degrees(math.atan2(e, n)) % 360, math.degrees(math.atan2(u, math.hypot(e, n)))


def offset(origin, east, north, up):
    """A place about that many metres away (a small-angle estimate: PROJ says where it really is)."""
    lat, lon, h = origin
    return (lat + north / 111_320, lon + east / (111_320 * math.cos(math.radians(lat))), h + up)


def wait_still(g, head):
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        p = g.http("GET", f"/api/heads/{head}/position")[1]
        if p["known"] and not p["moving"]:
            return p
        time.sleep(0.02)
    raise AssertionError("the head never came to rest")


SITES = [("equator", (0.0, 10.0, 5.0)), ("vienna", (48.2, 16.37, 180.0)), ("tromso", (69.65, 18.96, 420.0)),
         ("sydney", (-33.87, 151.2, 30.0))]


@pytest.fixture(scope="module", params=SITES, ids=[s[0] for s in SITES])
def site(request):
    name, where = request.param
    sim = Sim(instant=True)
    g = Ptzd([("cam", sim.link)], head_lines={"cam": [f"location = [{where[0]}, {where[1]}, {where[2]}]",
                                                        f"ground_height = {where[2] - 20}"]})
    yield g, where
    g.stop()
    sim.stop()


def test_a_geo_move_points_where_proj_says(site):
    g, where = site
    for east, north, up in ((800, 2500, 40), (-3000, 1200, -15), (150, 90, -60), (-20000, 35000, 900), (5, 40000, 0)):
        target = offset(where, east, north, up)
        az, el = az_el(where, target)
        status, answer = g.http("POST", "/api/heads/cam/move", {"kind": "geo", "lat": target[0], "lon": target[1],
                                                                "height": target[2]})
        assert status == 200, answer
        p = wait_still(g, "cam")
        pan = az if az <= 180 else az - 360
        # One step is 0.01 degree: the head is within half a step of the oracle.
        assert abs(p["steps"]["pan"] / 100 - pan) <= 0.0051, (east, north, up, p["steps"], pan)
        assert abs(p["steps"]["tilt"] / 100 - el) <= 0.0051, (east, north, up, p["steps"], el)
        assert abs(p["geo"]["looking"]["azimuth"] - round(pan * 100) / 100 % 360) < 1e-6


def test_the_ground_point_it_looks_at(site):
    g, where = site
    g.http("POST", "/api/heads/cam/move", {"kind": "absolute", "pan": 35, "tilt": -12})
    p = wait_still(g, "cam")
    ground = p["geo"]["ground"]
    e, n, u = enu(where, (ground["lat"], ground["lon"], ground["height"]))
    assert abs(ground["height"] - (where[2] - 20)) < 0.01
    assert abs(math.degrees(math.atan2(e, n)) - 35) < 0.001
    assert abs(math.degrees(math.atan2(u, math.hypot(e, n))) + 12) < 0.001
    # Up in the sky: no ground point.
    g.http("POST", "/api/heads/cam/move", {"kind": "absolute", "pan": 35, "tilt": 10})
    assert wait_still(g, "cam")["geo"]["ground"] is None


def test_geo_moves_refused_before_anything_moves():
    sim, bare = Sim(instant=True), Sim(instant=True)
    g = Ptzd([("cam", sim.link), ("bare", bare.link)], head_lines={"cam": ["location = [47.0, 8.0, 500.0]"]})
    try:
        before = g.http("GET", "/api/heads/cam/GetPTPos")[1]
        behind = offset((47.0, 8.0, 500.0), 0, -2000, 0)  # due south: pan 180, past the head's ±170
        for head, body, why in (
            ("cam", {"kind": "geo", "lat": behind[0], "lon": behind[1], "height": behind[2]}, "outside the limits"),
            ("cam", {"kind": "geo", "lat": 91, "lon": 8, "height": 0}, "lat"),
            ("cam", {"kind": "geo", "lat": 47.1, "lon": 8}, "missing argument \"height\""),
            ("cam", {"kind": "geo", "lat": 47.1, "lon": 8, "height": 1, "pan": 3}, "not \"pan\""),
            ("bare", {"kind": "geo", "lat": 47.1, "lon": 8, "height": 1}, "no location"),
        ):
            status, answer = g.http("POST", f"/api/heads/{head}/move", body)
            assert status == 400 and why in answer["error"], (body, answer)
        assert g.http("GET", "/api/heads/cam/GetPTPos")[1] == before
    finally:
        g.stop()
        sim.stop()
        bare.stop()


def test_landmark_calibration_recovers_how_the_head_stands(tmp_path):
    """The head stands turned and tipped (yaw 30, pitch 1.5, roll -1): it is
    aimed at three landmarks (as a user would, off by up to 0.02 degrees),
    and the orientation solved from them points it at a fourth place."""
    here = (52.5, 13.4, 60.0)
    truth = (30.0, 1.5, -1.0)

    def to_head(az, el):
        # The head's pan and tilt for an azimuth and elevation, for a head
        # standing as `truth` says (the same rotations as the README's).
        y, p, r = (math.radians(a) for a in truth)
        f0, r0, u0 = (math.sin(y), math.cos(y), 0), (math.cos(y), -math.sin(y), 0), (0, 0, 1)
        f1 = tuple(math.cos(p) * a + math.sin(p) * b for a, b in zip(f0, u0))
        u1 = tuple(math.cos(p) * a - math.sin(p) * b for a, b in zip(u0, f0))
        r2 = tuple(math.cos(r) * a - math.sin(r) * b for a, b in zip(r0, u1))
        u2 = tuple(math.cos(r) * a + math.sin(r) * b for a, b in zip(u1, r0))
        v = (math.cos(math.radians(el)) * math.sin(math.radians(az)), math.cos(math.radians(el)) * math.cos(math.radians(az)),
             math.sin(math.radians(el)))
        dot = lambda a, b: sum(x * y for x, y in zip(a, b))  # noqa: E731
        return math.degrees(math.atan2(dot(v, r2), dot(v, f1))), math.degrees(math.atan2(dot(v, u2), math.hypot(dot(v, f1), dot(v, r2))))

    sim = Sim(instant=True)
    g = Ptzd([("cam", sim.link)], head_lines={"cam": [f"location = [{here[0]}, {here[1]}, {here[2]}]"]},
             extra=f'state_dir = "{tmp_path}"')
    try:
        rng = random.Random(3)
        for east, north, up in ((1200, 3100, 15), (-2500, 400, -30), (300, -1800, 80)):
            mark = offset(here, east, north, up)
            pan, tilt = to_head(*az_el(here, mark))
            pan += rng.uniform(-0.02, 0.02)
            tilt += rng.uniform(-0.02, 0.02)
            g.http("POST", "/api/heads/cam/move", {"kind": "absolute", "pan": round(pan, 2), "tilt": round(tilt, 2)})
            wait_still(g, "cam")
            status, answer = g.http("POST", "/api/heads/cam/landmarks", {"lat": mark[0], "lon": mark[1], "height": mark[2]})
            assert status == 200, answer
        status, c = g.http("POST", "/api/heads/cam/calibrate", {})
        assert status == 200, c
        o = c["orientation"]
        assert abs(o["yaw"] - truth[0]) < 0.1 and abs(o["pitch"] - truth[1]) < 0.1 and abs(o["roll"] - truth[2]) < 0.1, c
        assert c["residual"] < 0.05
        # A fourth place: the head, standing as it does, looks right at it.
        target = offset(here, -700, 2600, 25)
        g.http("POST", "/api/heads/cam/move", {"kind": "geo", "lat": target[0], "lon": target[1], "height": target[2]})
        p = wait_still(g, "cam")
        pan, tilt = to_head(*az_el(here, target))
        assert abs(p["pan"] - pan) < 0.1 and abs(p["tilt"] - tilt) < 0.1, (p["pan"], p["tilt"], pan, tilt)
        assert p["geo"]["calibrated"]
        with open(tmp_path / "cam.pose.json") as f:
            assert abs(json.load(f)["pose"]["yaw"] - truth[0]) < 0.1  # kept for the next start
    finally:
        g.stop()
        sim.stop()
