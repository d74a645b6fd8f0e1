"""The HTTP routes in moves, over the motion layer, against a simulated head
with its motion model: positions in degrees, soft limits, leases, group
moves, presets with names, tours, and the live stream."""
import threading
import time

import pytest

from gateway import Ptzd, Sim, Stream, wait_for


@pytest.fixture(scope="module")
def rig():
    sims = [Sim(instant=False), Sim(instant=False)]
    g = Ptzd([("a", sims[0].link), ("b", sims[1].link)],
             head_lines={"a": ["pan_limits = [-90.0, 90.0]", "tilt_limits = [-45.0, 20.0]"]})
    yield g, sims
    g.stop()
    for s in sims:
        s.stop()


def at_head(g, name="a"):
    p = g.http("GET", f"/api/heads/{name}/GetPTPos")[1]
    return p["pan"], p["tilt"]


def still(g, name="a"):
    return wait_for(lambda: (p := g.http("GET", f"/api/heads/{name}/position")[1]) and not p["moving"] and p, what="still")


def move(g, name="a", **body):
    return g.http("POST", f"/api/heads/{name}/move", body)


def test_position_reports_degrees_steps_and_limits(rig):
    g, _ = rig
    status, p = g.http("GET", "/api/heads/a/position")
    assert status == 200
    assert p["limits"] == {"pan": [-90.0, 90.0], "tilt": [-45.0, 20.0]}
    assert p["range"] == {"pan": [-170.0, 170.0], "tilt": [-90.0, 30.0]}
    assert {"pan", "tilt", "steps", "moving", "link", "move", "tour"} <= set(p)


@pytest.mark.parametrize("body,target", [
    ({"kind": "absolute", "pan": 12.5, "tilt": -3}, (1250, -300)),
    ({"kind": "absolute", "pan": 150, "tilt": -80}, (9000, -4500)),   # clamped to the soft limits
    ({"kind": "absolute", "tilt": 10}, None),                        # pan stays
])
def test_absolute_moves_land_in_degrees_inside_the_limits(rig, body, target):
    g, _ = rig
    still(g)
    before = at_head(g)
    status, answer = move(g, **body)
    assert status == 200, answer
    still(g)
    expected = target or (before[0], 1000)
    assert at_head(g) == expected
    if body.get("pan") == 150:
        assert answer["clamped"] == {"pan": True, "tilt": True}


def test_relative_move_and_stop(rig):
    g, _ = rig
    assert move(g, kind="absolute", pan=0, tilt=0)[0] == 200
    still(g)
    assert move(g, kind="relative", pan=-5, tilt=2)[0] == 200
    still(g)
    assert at_head(g) == (-500, 200)


def test_a_continuous_move_stops_by_its_lease_and_renewals_extend_it(rig):
    g, sims = rig
    assert move(g, kind="absolute", pan=0, tilt=0)[0] == 200
    still(g)
    status, answer = move(g, kind="continuous", pan=0.2, timeout=0.3)
    assert status == 200
    lease = answer["lease"]
    renewals = 0
    begun = time.monotonic()
    while time.monotonic() - begun < 1.0:  # held for a second: renewed every 100 ms
        assert g.http("POST", "/api/heads/a/renew", {"lease": lease, "timeout": 0.3})[0] == 200
        renewals += 1
        time.sleep(0.1)
    last_renewal = time.monotonic()
    # Let go: no more renewals. The head stops by itself within the lease.
    stopped = still(g)
    assert stopped["steps"]["pan"] > 0
    assert g.http("POST", "/api/heads/a/renew", {"lease": lease})[0] == 409
    assert renewals >= 5
    # The head's own record: the stop reached it, well within time-out + 100 ms of the last renewal.
    requests = sims[0].requests()
    assert any(r[6:8] == "91" or r.startswith("028000") for r in requests)
    assert time.monotonic() - last_renewal < 10


def test_continuous_move_is_held_at_the_soft_limit(rig):
    g, _ = rig
    assert move(g, kind="absolute", pan=80, tilt=0)[0] == 200
    still(g)
    assert move(g, kind="continuous", pan=1.0, timeout=5)[0] == 200
    p = still(g)
    assert p["steps"]["pan"] <= 9000 + 200  # the limit, with what one poll's travel can add
    assert g.http("POST", "/api/heads/a/stop", {})[0] == 200


@pytest.mark.parametrize("path,method,body,status", [
    ("/api/heads/a/move", "POST", {"kind": "sideways"}, 400),
    ("/api/heads/a/move", "POST", {"kind": "absolute"}, 400),
    ("/api/heads/a/move", "POST", {"kind": "absolute", "pan": "10"}, 400),
    ("/api/heads/a/move", "POST", {"kind": "absolute", "pan": 1e300}, 400),
    ("/api/heads/a/move", "POST", {"kind": "absolute", "pan": 1, "speed": 2}, 400),
    ("/api/heads/a/move", "POST", {"kind": "absolute", "pan": 1, "speed": 0.5, "duration": 2}, 400),
    ("/api/heads/a/move", "POST", {"kind": "continuous", "pan": 1.5}, 400),
    ("/api/heads/a/move", "POST", {"kind": "continuous", "pan": 0.5, "timeout": 0}, 400),
    ("/api/heads/a/move", "POST", {"kind": "absolute", "pan": 1, "junk": 1}, 400),
    ("/api/heads/a/move", "GET", None, 405),
    ("/api/heads/a/position", "POST", {}, 405),
    ("/api/heads/nosuch/move", "POST", {"kind": "absolute", "pan": 1}, 404),
    ("/api/heads/a/presets/17", "POST", {"name": "x"}, 404),
    ("/api/heads/a/presets/3", "POST", {"name": "\u0001bell"}, 400),
    ("/api/heads/a/presets/3", "POST", {"name": "x" * 65}, 400),
    ("/api/heads/a/renew", "POST", {"lease": -1}, 400),
    ("/api/moves", "POST", {"moves": []}, 400),
    ("/api/moves", "POST", {"moves": [{"head": "a", "pan": 1}, {"head": "a", "pan": 2}]}, 400),
])
def test_bad_requests_are_refused_before_anything_moves(rig, path, method, body, status):
    g, sims = rig
    still(g)
    before = len(sims[0].requests())
    assert g.http(method, path, body)[0] == status
    moving = [r for r in sims[0].requests()[before:] if r[6:8] in ("91", "92")]  # SetPTPos / SetMotorSpeed
    assert moving == []


def test_presets_have_names_shared_with_every_front_end(rig):
    g, _ = rig
    assert move(g, kind="absolute", pan=20, tilt=5)[0] == 200
    still(g)
    assert g.http("POST", "/api/heads/a/presets/4", {"name": "Door"})[0] == 200
    assert g.http("PUT", "/api/heads/a/presets/4", {"name": "Front door"})[0] == 200
    presets = {p["preset"]: p for p in g.http("GET", "/api/heads/a/presets")[1]["presets"]}
    assert presets[4]["name"] == "Front door" and presets[4]["pan"] == 20 and presets[4]["tilt"] == 5
    assert move(g, kind="absolute", pan=-20, tilt=0)[0] == 200
    still(g)
    assert g.http("POST", "/api/heads/a/presets/4/go", {})[0] == 200
    still(g)
    assert at_head(g) == (2000, 500)
    assert g.http("DELETE", "/api/heads/a/presets/4")[0] == 200
    presets = {p["preset"]: p for p in g.http("GET", "/api/heads/a/presets")[1]["presets"]}
    assert presets[4]["name"] == ""


def test_the_stream_carries_state_and_events_in_order(rig):
    g, _ = rig
    still(g)
    s = Stream(g, "a")
    try:
        wait_for(lambda: s.of("state"), what="the first state")
        assert move(g, kind="absolute", pan=30, tilt=0)[0] == 200
        finished = wait_for(lambda: s.of("move_finished"), what="move_finished")
        started = s.of("move_started")
        assert started and started[0]["seq"] < finished[0]["seq"]
        assert finished[0]["pan"] == pytest.approx(30)
        # While moving, states came at the poller's pace; the last one is still, at the target.
        states = s.of("state")
        assert any(st["moving"] for st in states)
        wait_for(lambda: (st := s.of("state")[-1]) and not st["moving"] and st["steps"]["pan"] == 3000, what="still state")
    finally:
        s.close()


def test_tours_run_in_order_and_a_manual_move_stops_them(rig):
    g, _ = rig
    still(g)
    tour = {"loop": True, "steps": [{"pan": 10, "tilt": 0, "dwell": 0}, {"pan": -10, "tilt": 0, "dwell": 0}]}
    status, stored = g.http("PUT", "/api/heads/a/tours/sweep", tour)
    assert status == 200, stored
    assert g.http("GET", "/api/heads/a/tours/sweep")[1]["steps"][1]["pan"] == -10
    s = Stream(g, "a")
    try:
        assert g.http("POST", "/api/heads/a/tours/sweep/start", {})[0] == 200
        wait_for(lambda: len(s.of("tour_step")) >= 3, what="three tour steps")
        steps = [e["step"] for e in s.of("tour_step")]
        assert steps[:3] == [0, 1, 0]
        assert g.http("POST", "/api/heads/a/tours/sweep/pause", {})[0] == 200
        assert g.http("GET", "/api/heads/a/tours")[1]["current"]["state"] == "paused"
        assert g.http("POST", "/api/heads/a/tours/sweep/resume", {})[0] == 200
        assert move(g, kind="absolute", pan=0, tilt=0)[0] == 200  # a manual move
        stopped = wait_for(lambda: s.of("tour_stopped"), what="tour_stopped")
        assert "manual" in stopped[0]["reason"]
        assert g.http("GET", "/api/heads/a/tours")[1]["current"]["state"] == "idle"
    finally:
        s.close()
    assert g.http("DELETE", "/api/heads/a/tours/sweep")[0] == 200
    assert g.http("GET", "/api/heads/a/tours/sweep")[0] == 404


def test_a_group_move_brings_every_head_there_together(rig):
    g, _ = rig
    for name in ("a", "b"):
        assert move(g, name, kind="absolute", pan=0, tilt=0)[0] == 200
    for name in ("a", "b"):
        still(g, name)
    status, answer = g.http("POST", "/api/moves", {"moves": [{"head": "a", "pan": 40, "tilt": 10},
                                                             {"head": "b", "pan": -10, "tilt": 0}],
                                                   "duration": 2})
    assert status == 200, answer
    assert answer["seconds"] == pytest.approx(2, abs=0.3)
    arrived = {}

    def watch(name, target):
        while name not in arrived:
            if at_head(g, name) == target:
                arrived[name] = time.monotonic()
            time.sleep(0.01)

    threads = [threading.Thread(target=watch, args=("a", (4000, 1000))),
               threading.Thread(target=watch, args=("b", (-1000, 0)))]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=30)
    assert set(arrived) == {"a", "b"}
    # Together: far closer than the 2 s the move takes (one head's way is four times the other's).
    assert abs(arrived["a"] - arrived["b"]) < 1.0


def test_a_move_held_back_past_its_clients_later_stop_is_refused(rig):
    g, sims = rig
    still(g)
    assert g.http("POST", "/api/heads/a/stop", {"client": "page-1", "seq": 5})[0] == 200
    before = at_head(g)
    sims[0].control("clear-requests")
    # Numbered before that stop: it arrived late, and goes nowhere.
    status, answer = move(g, kind="continuous", pan=0.5, tilt=0, timeout=0.3, client="page-1", seq=4)
    assert status == 409 and "later stop" in answer["error"], answer
    assert not [r for r in sims[0].requests() if r[6:8].upper() == "8C"]
    # Another client, or a later number, goes.
    for client, seq in [("page-2", 1), ("page-1", 6)]:
        status, answer = move(g, kind="continuous", pan=0.2, tilt=0, timeout=0.3, client=client, seq=seq)
        assert status == 200, answer
    assert g.http("POST", "/api/heads/a/stop", {})[0] == 200
    still(g)
    assert at_head(g) != before
    for body in [{"client": "x"}, {"seq": 1}, {"client": "", "seq": 1}, {"client": "a b", "seq": 1},
                 {"client": "x", "seq": -1}, {"client": "x" * 65, "seq": 1}, {"client": 3, "seq": 1}]:
        assert g.http("POST", "/api/heads/a/stop", body)[0] == 400, body


def test_the_stream_beats_twice_a_second_when_nothing_else_happens(rig):
    g, _ = rig
    stream = Stream(g, "b")
    try:
        wait_for(lambda: len(stream.of("heartbeat")) >= 3, what="three heartbeats")
    finally:
        stream.close()


def test_one_stream_carries_every_heads_state_and_events(rig):
    """A page with many heads needs one connection for all of them."""
    import json
    import urllib.request
    g, _ = rig
    response = urllib.request.urlopen(f"http://127.0.0.1:{g.http_port}/api/stream", timeout=30)
    seen, lock = [], threading.Lock()

    def read():
        kind = None
        try:
            for raw in response:
                line = raw.decode().rstrip("\n")
                if line.startswith("event: "):
                    kind = line[7:]
                elif line.startswith("data: "):
                    with lock:
                        seen.append((kind, json.loads(line[6:])))
        except Exception:
            pass

    reader = threading.Thread(target=read, daemon=True)
    reader.start()
    try:
        heads_in = lambda kind: {d.get("head") for k, d in list(seen) if k == kind}  # noqa: E731
        wait_for(lambda: heads_in("state") == {"a", "b"}, what="both heads' state")
        still(g, "b")
        assert move(g, "b", kind="relative", pan=1, tilt=0)[0] == 200
        wait_for(lambda: "b" in heads_in("move_finished"), what="b's move in the page-wide stream")
    finally:
        response.fp.raw._sock.shutdown(2)
        response.close()
