"""ptzd against real ptz-sim processes: the head's own protocol through the
gateway, several clients, misbehaving clients, a head that goes away and
comes back, the HTTP API, the metrics, the configuration and the stop."""
import ctypes
import os
import resource
import socket
import subprocess
import threading
import time

import pytest

import ptz
from gateway import PTZD, Ptzd, Sim, status_of


@pytest.fixture
def sims():
    a, b = Sim(), Sim()
    yield a, b
    a.stop()
    b.stop()


@pytest.fixture
def gateway(sims):
    g = Ptzd([("b", sims[1].link)])
    yield g
    g.stop()


# Each row: a Head method and its arguments. The same calls go directly to
# head A and through the gateway to head B; both must answer alike.
OPERATIONS = [
    ("initialize", ()), ("system_info", ()), ("settings", ()), ("status", ()),
    ("set_motor_pos", (0, 0, -300)), ("motor_pos", (0,)), ("motor_home", (4,)), ("act_motor", (1, 2)),
    ("stop_motor", (4,)), ("set_motor_speed", (4, 200)), ("motor_speed", (4,)), ("motor_speed", (1,)),
    ("set_pt_pos", (1, 1000, -500)), ("pt_pos", ()), ("set_sync_mode", (1,)), ("sync_mode", ()),
    ("set_user_home", (0,)), ("set_pt_pos", (0, 5, 6)), ("move_user_home", ()), ("pt_pos", ()),
    ("set_preset", (3, 0)), ("move_preset", (3,)), ("move_preset", (9,)), ("set_auto_return", (300,)),
    ("auto_return", ()), ("auto_pan", (2,)), ("set_ir_control", (1,)), ("eep_write", (0x100, bytes(range(200)))),
    ("eep_read", (0x100, 248)), ("eep_burn", ()),
]


def outcome(head, name, args):
    try:
        return ("ok", getattr(head, name)(*args))
    except ptz.PtzError as e:
        return ("error", e.result, e.kind, e.code)


def test_native_protocol_through_the_gateway_is_the_heads_own(sims, gateway):
    a, b = sims
    with ptz.Head.lan("127.0.0.1", a.port) as direct, ptz.Head.lan("127.0.0.1", gateway.native["b"]) as relayed:
        for name, args in OPERATIONS:
            assert outcome(direct, name, args) == outcome(relayed, name, args), name
    # The head behind the gateway received exactly the frames the direct head did.
    assert a.requests() == b.requests()


def classic_table(lib):
    """Every classic device command once: (name, result, outputs)."""
    i32 = ctypes.c_int32
    a, b = i32(), i32()
    four = ptz._Four()
    info = ptz._SystemInfo()
    eeprom = (ctypes.c_uint8 * 16)()
    data = (ctypes.c_uint8 * 4)(1, 2, 3, 4)
    ref = ctypes.byref
    calls = [
        ("ExecInitialize", lambda: lib.PTZ_ExecInitialize(), lambda: None),
        ("GetSystemInfo", lambda: lib.PTZ_GetSystemInfo(ref(info)), lambda: bytes(info)),
        ("GetSystemSettingInfo", lambda: lib.PTZ_GetSystemSettingInfo(ref(four)), lambda: bytes(four)),
        ("GetPTZStatus", lambda: lib.PTZ_GetPTZStatus(ref(four)), lambda: bytes(four)),
        ("SetIrControl", lambda: lib.PTZ_SetIrControl(1), lambda: None),
        ("ExecMotorHP", lambda: lib.PTZ_ExecMotorHP(4), lambda: None),
        ("SetMotorPos", lambda: lib.PTZ_SetMotorPos(0, 0, -300), lambda: None),
        ("GetMotorPos", lambda: lib.PTZ_GetMotorPos(0, ref(a)), lambda: a.value),
        ("ActMotor", lambda: lib.PTZ_ActMotor(1, 2), lambda: None),
        ("StopMotor", lambda: lib.PTZ_StopMotor(4), lambda: None),
        ("SetMotorSpeed", lambda: lib.PTZ_SetMotorSpeed(4, 200), lambda: None),
        ("GetMotorSpeed", lambda: lib.PTZ_GetMotorSpeed(4, ref(a)), lambda: a.value),
        ("SetUserHP", lambda: lib.PTZ_SetUserHP(0), lambda: None),
        ("MoveUserHP", lambda: lib.PTZ_MoveUserHP(), lambda: None),
        ("SetPresetPos", lambda: lib.PTZ_SetPresetPos(3, 0), lambda: None),
        ("MovePresetPos", lambda: lib.PTZ_MovePresetPos(9), lambda: None),
        ("GetAutoReturn", lambda: lib.PTZ_GetAutoReturn(ref(a)), lambda: a.value),
        ("SetAutoReturn", lambda: lib.PTZ_SetAutoReturn(300), lambda: None),
        ("ExecAutoPan", lambda: lib.PTZ_ExecAutoPan(2, 0, 0), lambda: None),
        ("SetPTPos", lambda: lib.PTZ_SetPTPos(1, 1000, -500), lambda: None),
        ("GetPTPos", lambda: lib.PTZ_GetPTPos(ref(a), ref(b)), lambda: (a.value, b.value)),
        ("GetPanTiltSyncMode", lambda: lib.PTZ_GetPanTiltSyncMode(ref(a)), lambda: a.value),
        ("SetPanTiltSyncMode", lambda: lib.PTZ_SetPanTiltSyncMode(1), lambda: None),
        ("EepWrite", lambda: lib.PTZ_EepWrite(0x20, 4, data), lambda: None),
        ("EepRead", lambda: lib.PTZ_EepRead(0x20, 16, eeprom), lambda: bytes(eeprom)),
        ("EepBurn", lambda: lib.PTZ_EepBurn(), lambda: None),
    ]
    rows = []
    for name, call, outputs in calls:
        result = call()
        kind, code = i32(), i32()
        lib.PTZ_GetLastError(ref(kind), ref(code))
        rows.append((name, result, outputs() if result == 0 else (kind.value, code.value)))
    return rows


def test_classic_interface_through_the_gateway_is_the_heads_own(sims, gateway):
    a, b = sims
    lib = ptz.load_library()
    assert lib.PTZ_LanOpen(b"127.0.0.1", a.port) == 0
    direct = classic_table(lib)
    assert lib.PTZ_DevClose() == 0
    assert lib.PTZ_LanOpen(b"127.0.0.1", gateway.native["b"]) == 0
    relayed = classic_table(lib)
    assert lib.PTZ_DevClose() == 0
    assert len(direct) == 26
    assert direct == relayed
    assert ("MovePresetPos", 1, (0, 1102)) in relayed  # the head's refusal arrives as it was sent
    assert a.requests() == b.requests()


def test_serial_head_behind_the_gateway():
    sim = Sim(pty=True)
    g = Ptzd([("line", sim.link)])
    try:
        with ptz.Head.lan("127.0.0.1", g.native["line"]) as head:
            head.set_pt_pos(1, 42, -42)
            assert head.pt_pos() == (42, -42)
            assert head.eep_read(0, 4) == b"\xff" * 4
        assert g.http("GET", "/api/heads/line/GetPTPos") == (200, {"pan": 42, "tilt": -42})
    finally:
        g.stop()
        sim.stop()


def test_many_clients_each_see_only_their_own_answers(gateway):
    errors = []

    def client(k):
        try:
            with ptz.Head.lan("127.0.0.1", gateway.native["b"]) as head:
                for i in range(30):
                    mine = bytes([k, i, k ^ i, 0xA5])
                    head.eep_write(0x1000 + 16 * k, mine)
                    assert head.eep_read(0x1000 + 16 * k, 4) == mine
        except Exception as e:
            errors.append(e)

    threads = [threading.Thread(target=client, args=(k,)) for k in range(12)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []


def closed_by_peer(sock, timeout=3):
    sock.settimeout(timeout)
    try:
        return sock.recv(1) == b""
    except ConnectionResetError:
        return True


def test_misbehaving_clients_never_hold_up_the_others(gateway):
    port = gateway.native["b"]
    idle = [socket.create_connection(("127.0.0.1", port)) for _ in range(50)]
    half = socket.create_connection(("127.0.0.1", port))
    half.sendall(b"\x02\x80\x00\x98")  # half a frame, then gone
    half.close()
    unknown = socket.create_connection(("127.0.0.1", port))
    unknown.sendall(bytes.fromhex("02 80 00 55 00 03 D6"))  # a command with no known answer
    bad_bcc = socket.create_connection(("127.0.0.1", port))
    bad_bcc.sendall(bytes.fromhex("02 80 00 98 00 03 18"))
    greedy = socket.create_connection(("127.0.0.1", port))
    greedy.sendall(bytes.fromhex("02 80 00 98 00 03 19") * 2000)  # never reads its answers
    assert closed_by_peer(unknown)
    assert closed_by_peer(bad_bcc)
    assert closed_by_peer(greedy)
    # A well-behaved client is served at once meanwhile.
    start = time.monotonic()
    with ptz.Head.lan("127.0.0.1", port) as head:
        for _ in range(20):
            head.pt_pos()
    # Not held up behind the greedy client's 2000 requests (a generous bound:
    # a loaded machine is slow, a client served after them is far slower).
    assert time.monotonic() - start < 10
    for s in idle + [unknown, bad_bcc, greedy]:
        s.close()
    assert "malformed frame or an unknown command" in gateway.logs()
    assert "disconnected" in gateway.logs()


def test_a_thousand_idle_clients_cost_little_memory(gateway):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if hard < 2100:
        pytest.skip("too few descriptors allowed")
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, 2100), hard))
    before = gateway.rss_kib()
    # From two addresses: one alone may hold only three quarters of the places.
    idle = [socket.create_connection(("127.0.0.1", gateway.native["b"]), source_address=(f"127.0.0.{1 + i % 2}", 0))
            for i in range(1000)]
    deadline = time.monotonic() + 20
    while gateway.http("GET", "/api/heads")[1][0]["clients"] != 1000:
        assert time.monotonic() < deadline, "ptzd did not take all 1000 clients"
        time.sleep(0.05)
    grown = gateway.rss_kib() - before
    for s in idle:
        s.close()
    assert grown < 16 * 1024, f"1000 idle clients took {grown} KiB"
    with ptz.Head.lan("127.0.0.1", gateway.native["b"]) as head:
        head.initialize()


def test_sixty_four_busy_clients_all_get_through(gateway):
    done = []

    def client():
        with ptz.Head.lan("127.0.0.1", gateway.native["b"]) as head:
            start = time.monotonic()
            for _ in range(10):
                head.pt_pos()
            done.append(time.monotonic() - start)

    threads = [threading.Thread(target=client) for _ in range(64)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(done) == 64
    # Arrival order is kept per head: nobody waits far longer than the rest
    # (generously: threads of this test may themselves start late).
    assert max(done) < 10 * (sum(done) / len(done)) + 3


def test_head_that_goes_away_and_comes_back():
    sim = Sim()
    g = Ptzd([("b", sim.link)])
    try:
        assert g.http("GET", "/api/heads/b/GetPTPos")[0] == 200
        port = sim.port
        sim.kill()
        # While it is away: prompt failures, never a hang.
        start = time.monotonic()
        statuses = [g.http("GET", "/api/heads/b/GetPTPos")[0] for _ in range(3)]
        assert time.monotonic() - start < 10  # not three of the head's 5 s time limits
        assert all(s in (502, 503) for s in statuses), statuses
        assert g.http("GET", "/api/heads")[1][0]["up"] is False
        with pytest.raises(ptz.PtzError):  # a native client while it is away: refused or dropped at once
            with ptz.Head.lan("127.0.0.1", g.native["b"]) as head:
                head.pt_pos()
        # It comes back on its port: service resumes without restarting anything.
        sim = Sim(port=port)
        deadline = time.monotonic() + 10
        while g.http("GET", "/api/heads/b/GetPTPos")[0] != 200:
            assert time.monotonic() < deadline, g.logs()
            time.sleep(0.1)
        with ptz.Head.lan("127.0.0.1", g.native["b"]) as head:
            head.set_pt_pos(1, 9, 9)
            assert head.pt_pos() == (9, 9)
        assert "ptzd_reconnects_total{head=\"b\"} 1" in g.http("GET", "/metrics")[1]
    finally:
        g.stop()
        sim.stop()


def test_serial_head_that_vanishes_fails_promptly():
    sim = Sim(pty=True)
    g = Ptzd([("line", sim.link)])
    try:
        sim.kill()
        start = time.monotonic()
        statuses = [g.http("GET", "/api/heads/line/GetPTPos")[0] for _ in range(3)]
        assert time.monotonic() - start < 20  # answered, not hung
        assert statuses[-1] == 503, statuses
        assert g.process.poll() is None
    finally:
        g.stop()


# ---- HTTP ---------------------------------------------------------------------

ROUTES = [  # (method, command, arguments, keys of the answer)
    ("POST", "ExecInitialize", {}, []),
    ("GET", "GetSystemInfo", {}, ["text0", "text1", "text2"]),
    ("GET", "GetSystemSettingInfo", {}, ["setting0", "setting1", "setting2", "setting3"]),
    ("GET", "GetPTZStatus", {}, ["flag0", "flag1", "flag2", "flag3"]),
    ("POST", "SetIrControl", {"control": 1}, []),
    ("POST", "ExecMotorHP", {"motor": 0}, []),
    ("POST", "SetMotorPos", {"motor": 0, "param": 0, "position": -77}, []),
    ("GET", "GetMotorPos", {"motor": 0}, ["position"]),
    ("POST", "ActMotor", {"motor": 1, "param": 2}, []),
    ("POST", "StopMotor", {"motor": 4}, []),
    ("POST", "SetMotorSpeed", {"motor": 4, "speed": 200}, []),
    ("GET", "GetMotorSpeed", {"motor": 4}, ["speed"]),
    ("POST", "SetPTPos", {"param": 1, "pan": 1000, "tilt": -500}, []),
    ("GET", "GetPTPos", {}, ["pan", "tilt"]),
    ("POST", "SetUserHP", {"flag": 0}, []),
    ("POST", "MoveUserHP", {}, []),
    ("POST", "SetPresetPos", {"preset": 16, "flag": 1}, []),
    ("POST", "MovePresetPos", {"preset": 16}, []),
    ("POST", "SetAutoReturn", {"autoReturn": 7}, []),
    ("GET", "GetAutoReturn", {}, ["autoReturn"]),
    ("POST", "ExecAutoPan", {"mode": 2}, []),
    ("POST", "SetPanTiltSyncMode", {"mode": 1}, []),
    ("GET", "GetPanTiltSyncMode", {}, ["mode"]),
    ("POST", "EepWrite", {"address": 256, "data": "DEADBEEF"}, []),
    ("GET", "EepRead", {"address": 256, "count": 4}, ["address", "count", "data"]),
    ("POST", "EepBurn", {}, []),
]


def test_every_route_of_the_api(gateway):
    assert len(ROUTES) == 26
    for method, command, args, keys in ROUTES:
        if method == "GET":
            query = "&".join(f"{k}={v}" for k, v in args.items())
            status, answer = gateway.http("GET", f"/api/heads/b/{command}" + (f"?{query}" if query else ""))
        else:
            status, answer = gateway.http("POST", f"/api/heads/b/{command}", args)
        assert status == 200, (command, answer)
        assert sorted(answer) == sorted(keys), command
    assert gateway.http("GET", "/api/heads/b/GetPTPos")[1] == {"pan": 1000, "tilt": -500}
    assert gateway.http("GET", "/api/heads/b/EepRead?address=256&count=4")[1]["data"] == "DEADBEEF"
    assert gateway.http("GET", "/api/heads/b/GetMotorPos?motor=0")[1] == {"position": 1000}
    status, heads = gateway.http("GET", "/api/heads")
    assert status == 200 and heads[0]["name"] == "b" and heads[0]["up"] is True


def test_bad_requests_get_json_errors_and_reach_nothing(sims, gateway):
    head = sims[1]
    head.control("clear-requests")
    cases = [
        ("POST", "/api/heads/b/SetPTPos", b"{not json", 400),
        ("POST", "/api/heads/b/SetPTPos", b'{"param": 1, "pan": "far", "tilt": 0}', 400),
        ("POST", "/api/heads/b/SetPTPos", b'{"param": 1, "pan": 4294967296, "tilt": 0}', 400),
        ("POST", "/api/heads/b/SetPTPos", b'{"param": 1, "pan": 1.5, "tilt": 0}', 400),
        ("POST", "/api/heads/b/SetPTPos", b'{"param": 1, "tilt": 0}', 400),
        ("POST", "/api/heads/b/SetPTPos", b'[1, 2, 3]', 400),
        ("POST", "/api/heads/b/SetPTPos", b'{"param": 1, "pan": 0, "tilt": 0, "zoom": 1}', 400),
        ("POST", "/api/heads/b/MovePresetPos", b'{"preset": 17}', 400),
        ("POST", "/api/heads/b/SetIrControl", b'{"control": 2}', 400),
        ("GET", "/api/heads/b/GetMotorSpeed?motor=1", None, 400),
        ("GET", "/api/heads/b/GetMotorPos?motor=x", None, 400),
        ("GET", "/api/heads/b/EepRead?address=0&count=249", None, 400),
        ("POST", "/api/heads/b/EepWrite", b'{"address": 0, "data": "XYZ"}', 400),
        ("GET", "/api/heads/nobody/GetPTPos", None, 404),
        ("GET", "/api/heads/b/Frobnicate", None, 404),
        ("GET", "/api/nothing", None, 404),
        ("GET", "/api/heads/b/SetPTPos", None, 405),
        ("POST", "/api/heads/b/GetPTPos", b"{}", 405),
        ("POST", "/api/heads/b/SetPTPos", b"{" + b" " * 100000 + b"}", 413),
    ]
    for method, path, raw, expected in cases:
        status, answer = gateway.http(method, path, raw=raw)
        assert status == expected, (path, raw and raw[:60], answer)
        assert isinstance(answer, dict) and "error" in answer, (path, answer)
    assert head.requests() == []
    # A refusal by the head itself: its kind, code and text, and a conflict.
    status, answer = gateway.http("POST", "/api/heads/b/MovePresetPos", {"preset": 5})
    assert status == 409 and (answer["kind"], answer["code"]) == (0, 1102) and "refused" in answer["error"]


def test_token_guards_the_api_and_the_metrics():
    sim = Sim()
    g = Ptzd([("b", sim.link)], token="s3cret")
    try:
        for path in ("/api/heads", "/api/heads/b/GetPTPos", "/metrics"):
            assert g.http("GET", path, token="wrong")[0] == 401
        sim.control("clear-requests")
        assert g.http("POST", "/api/heads/b/SetPTPos", {"param": 1, "pan": 1, "tilt": 1}, token="wrong")[0] == 401
        assert sim.requests() == []
        assert g.http("GET", "/api/heads/b/GetPTPos")[0] == 200
        with urllib_get(g, "/") as page:
            assert page.status == 200
        # A token in the query opens the live stream only, never a route
        # that merely ends the same way.
        for method, path, body in [("PUT", "/api/heads/b/tours/stream", b'{"name": "stream", "steps": [{"preset": 1}]}'),
                                   ("GET", "/api/heads/b/tours/stream", None),
                                   ("POST", "/api/heads/b/SetPTPos", b'{"param": 1, "pan": 1, "tilt": 1}'),
                                   ("POST", "/api/heads/b/stream", b"{}")]:
            assert status_of(g.http_port, method, path + "?token=s3cret", body) == 401, (method, path)
        assert not [r for r in sim.requests() if r[6:8].upper() == "8C"]
        assert g.http("GET", "/api/heads/b/tours")[1]["tours"] == []
        with urllib_get(g, "/api/heads/b/stream?token=s3cret") as stream:
            assert stream.status == 200
    finally:
        g.stop()
        sim.stop()


def urllib_get(g, path):
    import urllib.request
    return urllib.request.urlopen(f"http://127.0.0.1:{g.http_port}{path}", timeout=5)


PAGE_DIR = os.path.join(os.path.dirname(__file__), "..", "..", "ptzd", "http", "page")


def test_the_page_is_served_as_its_files_are_without_a_token():
    sim = Sim()
    g = Ptzd([("b", sim.link)], token="s3cret")
    try:
        for path, name, kind in [("/", "index.html", "text/html"), ("/page.css", "page.css", "text/css"),
                                 ("/page.js", "page.js", "text/javascript")]:
            with open(os.path.join(PAGE_DIR, name), "rb") as f:
                source = f.read()
            with urllib_get(g, path) as served:
                assert served.status == 200
                assert served.headers["Content-Type"].startswith(kind), path
                assert served.read() == source, path
        # What the page names it loads from the gateway.
        with open(os.path.join(PAGE_DIR, "index.html"), encoding="utf-8") as f:
            html = f.read()
        assert 'href="page.css"' in html and 'src="page.js"' in html
    finally:
        g.stop()
        sim.stop()


def test_metrics_count_exchanges_failures_clients_and_link_state(gateway):
    gateway.http("GET", "/api/heads/b/GetPTPos")
    gateway.http("POST", "/api/heads/b/MovePresetPos", {"preset": 9})  # refused
    with ptz.Head.lan("127.0.0.1", gateway.native["b"]) as head:
        head.initialize()
        status, text = gateway.http("GET", "/metrics")
    assert status == 200
    assert 'ptzd_exchanges_total{head="b"} 3' in text
    assert 'ptzd_exchange_failures_total{head="b",kind="0",code="1102"} 1' in text
    assert 'ptzd_exchange_seconds_bucket{head="b",le="+Inf"} 3' in text
    assert 'ptzd_exchange_seconds_count{head="b"} 3' in text
    assert 'ptzd_clients_connected{head="b"} 1' in text
    assert 'ptzd_head_up{head="b"} 1' in text
    assert "# TYPE ptzd_exchange_seconds histogram" in text


# ---- configuration and life cycle ---------------------------------------------------

BAD_CONFIGS = [
    ('http = "127.0.0.1:8080"\n[[head]]\nname = "a"\nlink = serial:/dev/x\n', 4, "value"),  # TOML syntax
    ('[[head]]\nname = "a"\nlink = "serial:/dev/x"\ncolour = "red"\n', 4, 'unknown key "colour"'),
    ('[[head]]\nname = "a"\nlink = "usb:3"\n', 3, "link must be"),
    ('[[head]]\nname = "a"\nlink = "tcp:host"\n', 3, "tcp: needs HOST:PORT"),
    ('log = "loud"\n[[head]]\nname = "a"\nlink = "com:1"\n', 1, "log must be"),
    ('[[head]]\nname = "a"\nlink = "com:1"\npan_motor = 300\n', 4, "pan_motor must be between"),
    ('[[head]]\nlink = "com:1"\n', 1, "needs a name"),
    ('[[head]]\nname = "a"\nlink = "com:1"\n[[head]]\nname = "a"\nlink = "com:2"\n', 4, "used twice"),
    ('[[head]]\nname = "a"\nlink = "com:1"\nlisten = "nowhere"\n', 4, "listen must be HOST:PORT"),
    ('gateway = "site/a"\n[[head]]\nname = "a"\nlink = "com:1"\n', 1, "gateway must be 1-64 letters"),
    ('gateway = ""\n[[head]]\nname = "a"\nlink = "com:1"\n', 1, "gateway must be 1-64 letters"),
    ('[[head]]\nname = "a"\nlink = "com:1"\nonvif_location = "roof"\n', 1, "need onvif ="),
    ('[mqtt]\nprefix = "p"\n[[head]]\nname = "a"\nlink = "com:1"\n', 1, "[mqtt] needs broker"),
    ('[mqtt]\nbroker = "http://x:1"\n', 2, "broker must be mqtt://"),
    ('[mqtt]\nbroker = "mqtt://127.0.0.1"\ngateway = "a/b"\n', 3, "one topic level"),
    ('[mqtt]\nbroker = "mqtt://127.0.0.1"\nprotocol = "4"\n', 3, "protocol must be"),
    ('[mqtt]\nbroker = "mqtt://127.0.0.1"\nstate_hz = 0\n', 3, "state_hz must be"),
    ('[mqtt]\nbroker = "mqtt://127.0.0.1"\nca_file = "/x"\n', 1, "need broker = \"mqtts://"),
    ('[mqtt]\nbroker = "mqtt://127.0.0.1"\npassword_file = "/x"\n', 1, "password_file needs user"),
    ('[mqtt]\nbroker = "mqtt://127.0.0.1"\nretain = true\n', 3, 'unknown key "retain"'),
    # Pointing and following.
    ('[[head]]\nname = "a"\nlink = "com:1"\nlocation = [95.0, 8.0, 1.0]\n', 4, "location: "),
    ('[[head]]\nname = "a"\nlink = "com:1"\norientation = [0.0, 0.0, 0.0]\n', 1, "need location ="),
    ('[[head]]\nname = "a"\nlink = "com:1"\nfollow = "127.0.0.1:4600"\n', 1, "following a target needs location"),
    ('[[head]]\nname = "a"\nlink = "com:1"\nlocation = [47.0, 8.0, 1.0]\nfollow_rate = 0\n', 5, "follow_rate must be"),
    ('[[head]]\nname = "a"\nlink = "com:1"\nlocation = [47.0, 8.0, 1.0]\nfollow_lease = 0.1\n', 5, "follow_lease must be"),
    ('[[head]]\nname = "a"\nlink = "com:1"\nlocation = [47.0, 8.0, 1.0]\nfollow_height_offset = 5\n', 1,
     "need follow or follow_connect"),
    ('[[head]]\nname = "a"\nlink = "com:1"\nlocation = [47.0, 8.0, 1.0]\nfollow_colour = 5\n', 5, 'unknown key "follow_colour"'),
]


def test_configuration_errors_name_their_line(tmp_path):
    for text, line, what in BAD_CONFIGS:
        path = tmp_path / "site.toml"
        path.write_text(text)
        run = subprocess.run([PTZD, "--check-config", str(path)], capture_output=True, text=True)
        assert run.returncode == 1, text
        assert f"{path}:{line}:" in run.stderr and what in run.stderr, (text, run.stderr)
    good = os.path.join(os.path.dirname(__file__), "..", "..", "ptzd", "site.example.toml")
    run = subprocess.run([PTZD, "--check-config", good], capture_output=True, text=True)
    assert run.returncode == 0 and "valid" in run.stdout, run.stderr


def test_sigterm_stops_cleanly_after_the_exchange_in_flight():
    sim = Sim("--delay-ms", "300")
    g = Ptzd([("b", sim.link)])
    try:
        result = {}
        t = threading.Thread(target=lambda: result.update(answer=g.http("GET", "/api/heads/b/GetPTPos")))
        t.start()
        time.sleep(0.1)
        g.process.terminate()
        assert g.process.wait(timeout=10) == 0
        t.join()
        assert "stopped" in g.logs()
    finally:
        g.stop()
        sim.stop()
