"""ptzd's HTTP and ONVIF listeners and its configuration as an attacker and a
careless user would try them, against real processes: requests a foreign
web page could make, malformed arguments, slow and surplus clients, a head
that never answers next to a healthy one, SIGTERM under load and during
start-up, and configurations that must not pass."""
import json
import os
import re
import select
import signal
import socket
import statistics
import subprocess
import textwrap
import threading
import time

import pytest

from gateway import PTZD, Ptzd, Sim, free_port, require_private_network


@pytest.fixture
def head():
    sim = Sim()
    yield sim
    sim.stop()


@pytest.fixture
def gateway(head):
    g = Ptzd([("b", head.link)], extra='http_hosts = ["ptz.example.com"]')
    yield g
    g.stop()


def exchange(port, request, timeout=10):
    """Sends raw request bytes; returns (status, headers, body) of the answer."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall(request)
        data = b""
        while b"\r\n\r\n" not in data:
            chunk = s.recv(65536)
            if not chunk:
                break
            data += chunk
        head, _, body = data.partition(b"\r\n\r\n")
        lines = head.decode("latin-1").split("\r\n")
        headers = {k.strip().lower(): v.strip() for k, _, v in (line.partition(":") for line in lines[1:])}
        length = int(headers.get("content-length", "0"))
        while len(body) < length:
            chunk = s.recv(65536)
            if not chunk:
                break
            body += chunk
        return int(lines[0].split()[1]), headers, body.decode("utf-8", "replace")


def request(g, method, path, headers=None, body=b""):
    """A request with exactly these headers (no Host unless given)."""
    lines = [f"{method} {path} HTTP/1.1"] + [f"{k}: {v}" for k, v in (headers or {}).items()]
    if body or method == "POST":
        lines.append(f"Content-Length: {len(body)}")
    return exchange(g.http_port, ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1") + body)


def host(g):
    return {"Host": f"127.0.0.1:{g.http_port}"}


def wait_until(condition, timeout, what):
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, what
        time.sleep(0.02)


# ---- requests a page of another origin could send --------------------------------------

MOVE = b'{"param":1,"pan":100,"tilt":100}'


@pytest.mark.parametrize("content_type", [None, "text/plain", "application/x-www-form-urlencoded",
                                          "multipart/form-data; boundary=x", "application/jsonx"])
def test_actions_want_a_json_content_type(head, gateway, content_type):
    head.control("clear-requests")
    headers = {**host(gateway), **({"Content-Type": content_type} if content_type else {})}
    status, _, body = request(gateway, "POST", "/api/heads/b/SetPTPos", headers, MOVE)
    assert status == 415 and "application/json" in json.loads(body)["error"]
    assert head.requests() == []
    ok = {**host(gateway), "Content-Type": "Application/JSON; charset=utf-8"}
    assert request(gateway, "POST", "/api/heads/b/SetPTPos", ok, MOVE)[0] == 200


@pytest.mark.parametrize("name, expected", [
    ("127.0.0.1:{port}", 200), ("127.0.0.1", 200), ("localhost:{port}", 200), ("LOCALHOST", 200),
    ("[::1]:{port}", 200), ("ptz.example.com:{port}", 200), ("PTZ.example.com", 200),
    ("evil.example:{port}", 421), ("ptz.example.com.evil.example", 421), ("127.0.0.1:{port}:1", 421),
    ("[::1", 421), ("localhost:0", 421), ("", 400),
])
def test_host_must_name_this_gateway(gateway, name, expected):
    # A page on a name that was rebound to 127.0.0.1 sends its own name.
    status, _, body = request(gateway, "GET", "/api/heads/b/GetPTPos", {"Host": name.format(port=gateway.http_port)})
    assert status == expected, body
    assert request(gateway, "GET", "/metrics", {"Host": "evil.example"})[0] == 421


def test_a_request_without_host_is_refused(gateway):
    assert request(gateway, "GET", "/api/heads")[0] == 400


@pytest.mark.parametrize("origin, expected", [
    ("http://127.0.0.1:{port}", 200), ("HTTP://127.0.0.1:{port}", 200),
    ("http://evil.example", 403), ("http://127.0.0.1:{other}", 403), ("http://127.0.0.1", 403),
    ("https://127.0.0.1:{port}", 403), ("null", 403), ("http://localhost:{port}", 403),
])
def test_origin_must_be_the_pages_own(head, gateway, origin, expected):
    head.control("clear-requests")
    headers = {**host(gateway), "Content-Type": "application/json",
               "Origin": origin.format(port=gateway.http_port, other=gateway.http_port + 1)}
    status, _, body = request(gateway, "POST", "/api/heads/b/SetPTPos", headers, MOVE)
    assert status == expected, body
    assert (head.requests() == []) == (expected != 200)


def test_a_listed_name_behind_a_tls_proxy_may_post_from_its_https_page(gateway):
    headers = {"Host": "ptz.example.com", "Origin": "https://ptz.example.com", "Content-Type": "application/json"}
    assert request(gateway, "POST", "/api/heads/b/SetPTPos", headers, MOVE)[0] == 200
    headers = {"Host": "127.0.0.1", "Origin": "https://127.0.0.1", "Content-Type": "application/json"}
    assert request(gateway, "POST", "/api/heads/b/SetPTPos", headers, MOVE)[0] == 403


# ---- malformed requests and arguments ----------------------------------------------------

@pytest.mark.parametrize("path", ["/api/heads/%FF/GetPTPos", "/api/heads/b/GetMotorPos?%FF=1",
                                  "/api/heads/b/GetMotorPos?motor=%C0%80", "/%ED%A0%80"])
def test_invalid_utf8_is_a_bad_request_not_an_exception(gateway, path):
    status, headers, body = request(gateway, "GET", path, host(gateway))
    assert status == 400 and "UTF-8" in json.loads(body)["error"]
    assert not any(k.startswith("exception") for k in headers)


# Read off the one route table the routes are registered in.
@pytest.mark.parametrize("path, allow", [
    ("/api/heads/b/position", "GET, HEAD"), ("/api/heads/b/move", "POST"), ("/api/heads/b/presets", "GET, HEAD"),
    ("/api/heads/b/presets/3", "POST, PUT, DELETE"), ("/api/heads/b/presets/3/go", "POST"),
    ("/api/heads/b/tours/rounds", "GET, HEAD, PUT, DELETE"), ("/api/heads/b/tours/rounds/pause", "POST"),
    ("/api/moves", "POST"), ("/api/stream", "GET, HEAD"), ("/api/heads/b/stream", "GET, HEAD"), ("/", "GET, HEAD"),
    ("/page.js", "GET, HEAD")])
def test_every_route_answers_a_wrong_method_with_its_methods(head, gateway, path, allow):
    head.control("clear-requests")
    status, headers, _ = request(gateway, "PATCH", path, {**host(gateway), "Content-Type": "application/json"}, MOVE)
    assert (status, headers.get("allow")) == (405, allow)
    assert head.requests() == []


@pytest.mark.parametrize("method", ["PUT", "DELETE", "PATCH", "OPTIONS"])
@pytest.mark.parametrize("path, allow", [("/api/heads/b/SetPTPos", "POST"), ("/api/heads/b/GetPTPos", "GET, HEAD"),
                                         ("/metrics", "GET, HEAD"), ("/api/heads", "GET, HEAD")])
def test_a_wrong_method_is_405_with_allow(head, gateway, method, path, allow):
    head.control("clear-requests")
    status, headers, _ = request(gateway, method, path, {**host(gateway), "Content-Type": "application/json"}, MOVE)
    assert (status, headers.get("allow")) == (405, allow)
    assert head.requests() == []


@pytest.mark.parametrize("query", ["motor=%200", "motor=0%20", "motor=+0", "motor=0x0", "motor=", "motor=1e1",
                                   "motor=--1", "motor=0&motor=4", "motor=99999999999999999999"])
def test_query_integers_are_strictly_decimal(head, gateway, query):
    head.control("clear-requests")
    status, body = gateway.http("GET", f"/api/heads/b/GetMotorPos?{query}")
    assert status == 400, body
    assert head.requests() == []


def test_leading_zeros_are_decimal(gateway):
    assert gateway.http("POST", "/api/heads/b/EepWrite", {"address": 100, "data": "C0FFEE"})[0] == 200
    assert gateway.http("GET", "/api/heads/b/EepRead?address=0100&count=3")[1]["data"] == "C0FFEE"
    assert gateway.http("GET", "/api/heads/b/GetMotorPos?motor=-0")[0] == 200


# Each argument one past what the head's byte or the library's check allows:
# the classic export would truncate these (speed 356 went out as 100).
OUT_OF_RANGE = [
    ("SetMotorSpeed", {"motor": 256, "speed": 100}), ("SetMotorSpeed", {"motor": 0, "speed": 356}),
    ("SetMotorSpeed", {"motor": -1, "speed": 1}), ("ExecMotorHP", {"motor": 256}), ("StopMotor", {"motor": 256}),
    ("SetMotorPos", {"motor": 0, "param": 256, "position": 0}), ("ActMotor", {"motor": 0, "param": -1}),
    ("SetPTPos", {"param": 256, "pan": 0, "tilt": 0}), ("SetAutoReturn", {"autoReturn": 300}),
    ("ExecAutoPan", {"mode": 258}), ("SetPresetPos", {"preset": 0, "flag": 0}), ("SetPresetPos", {"preset": 1, "flag": 2}),
    ("MovePresetPos", {"preset": 17}), ("SetUserHP", {"flag": -1}), ("SetIrControl", {"control": 256}),
    ("SetPanTiltSyncMode", {"mode": 2}), ("EepWrite", {"address": 65536, "data": "00"}),
    ("EepWrite", {"address": -1, "data": "00"}), ("EepWrite", {"address": 0, "data": "00" * 247}),
    ("GetMotorPos?motor=256", None), ("GetMotorSpeed?motor=260", None), ("EepRead?address=65536&count=1", None),
    ("EepRead?address=0&count=-1", None),
]


@pytest.mark.parametrize("command, body", OUT_OF_RANGE)
def test_arguments_outside_their_range_are_refused(head, gateway, command, body):
    head.control("clear-requests")
    status, answer = gateway.http("POST" if body is not None else "GET", f"/api/heads/b/{command}", body)
    assert status == 400, answer
    assert head.requests() == []


@pytest.mark.parametrize("command, body", [
    ("SetMotorSpeed", {"motor": 255, "speed": 255}), ("SetPresetPos", {"preset": 16, "flag": 1}),
    ("EepWrite", {"address": 65535, "data": "00" * 246}), ("SetAutoReturn", {"autoReturn": 255}),
    ("EepRead?address=65535&count=248", None),
])
def test_arguments_at_their_limits_reach_the_head(head, gateway, command, body):
    head.control("clear-requests")
    status, answer = gateway.http("POST" if body is not None else "GET", f"/api/heads/b/{command}", body)
    assert status != 400, answer
    assert len(head.requests()) == 1


# ---- metrics -------------------------------------------------------------------------------

def test_metrics_of_a_head_with_the_longest_name(head):
    name = "n" * 62 + ".-"
    g = Ptzd([(name, head.link)])
    try:
        status, text = g.http("GET", "/metrics")
        assert status == 200
        assert f'ptzd_head_up{{head="{name}"}} 1' in text
        assert f'ptzd_exchange_seconds_bucket{{head="{name}",le="0.0005"}}' in text
        # One family's samples together, after its HELP and TYPE.
        families = [line.split()[2] for line in text.splitlines() if line.startswith("# TYPE")]
        assert len(families) == len(set(families)) == 7
    finally:
        g.stop()


# ---- slow clients, caps, a silent head --------------------------------------------------------

class Trickle:
    """Connections that each send one byte of a request at a time, never
    finishing it; `closed` tells when ptzd cut each one."""

    def __init__(self, port, count, request, preamble=b""):
        self.request = request
        self.sockets = [socket.create_connection(("127.0.0.1", port)) for _ in range(count)]
        for s in self.sockets:
            s.sendall(preamble)
        self.sent = [0] * count
        self.closed = {}
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        while not self.stop.wait(0.3):
            for i, s in enumerate(self.sockets):
                if i in self.closed:
                    continue
                try:
                    readable, _, _ = select.select([s], [], [], 0)
                    if readable and not s.recv(4096, socket.MSG_DONTWAIT):
                        raise ConnectionResetError
                    s.send(self.request[self.sent[i] % len(self.request):][:1])
                    self.sent[i] += 1
                except OSError:
                    self.closed[i] = time.monotonic()

    def close(self):
        self.stop.set()
        self.thread.join()
        for s in self.sockets:
            s.close()


def test_slow_clients_are_cut_at_their_deadlines_and_never_hold_up_others(gateway):
    start = time.monotonic()
    headers = Trickle(gateway.http_port, 32, b"GET /api/heads HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: " + b"a" * 4096)
    # Whole headers at once, then a body that never ends.
    body = Trickle(gateway.http_port, 32, b" ", b"POST /api/heads/b/SetPTPos HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                   b"Content-Type: application/json\r\nContent-Length: 60000\r\n\r\n{")
    try:
        for _ in range(20):  # served at once meanwhile
            assert gateway.http("GET", "/api/heads/b/GetPTPos")[0] == 200
        wait_until(lambda: len(headers.closed) == 32, 15, "slow headers were not cut")
        wait_until(lambda: len(body.closed) == 32, 20, "slow bodies were not cut")
        # Headers within 5 s of their first byte, the whole request within 10 s.
        assert max(headers.closed.values()) - start < 5 + 3
        assert 9 <= min(body.closed.values()) - start and max(body.closed.values()) - start < 10 + 3
        assert gateway.process.poll() is None
    finally:
        headers.close()
        body.close()


def test_connections_over_the_cap_get_503_at_once(head):
    g = Ptzd([("b", head.link)], extra="http_max_connections = 8")
    # The connections of its start are gone first: one closing later would free a place.
    from test_hardening_native import connections_to
    wait_until(lambda: connections_to(g.http_port) == 0, 10, "the start's connections did not close")
    idle = [socket.create_connection(("127.0.0.1", g.http_port)) for _ in range(8)]
    try:
        wait_until(lambda: exchange(g.http_port, b"GET /api/heads HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")[0] == 503, 5,
                   "no 503 over the cap")
        status, headers, body = exchange(g.http_port, b"GET /api/heads HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
        assert status == 503 and headers["connection"] == "close" and "too many connections" in json.loads(body)["error"]
        for s in idle:
            s.close()
        wait_until(lambda: exchange(g.http_port, b"GET /api/heads HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")[0] == 200, 5,
                   "the cap was not freed")
    finally:
        for s in idle:
            s.close()
        g.stop()


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def test_out_of_descriptors_the_listener_pauses_instead_of_spinning(head, tmp_path):
    import resource
    port = free_port()
    config = tmp_path / "site.toml"
    config.write_text(f'http = "127.0.0.1:{port}"\n[[head]]\nname = "b"\nlink = "{head.link}"\n')
    limit = lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (48, 48))
    log = open(tmp_path / "log", "w+")
    p = subprocess.Popen([PTZD, "--config", str(config)], stderr=log, preexec_fn=limit)
    clients = []
    try:
        wait_until(lambda: "running" in (tmp_path / "log").read_text(), 10, "no start")
        clients = [socket.create_connection(("127.0.0.1", port)) for _ in range(80)]  # more than it has descriptors
        wait_until(lambda: "cannot accept" in (tmp_path / "log").read_text(), 10, "descriptors did not run out")
        before, begin = cpu_seconds(p.pid), time.monotonic()
        time.sleep(1)  # a window to measure CPU time in
        used = (cpu_seconds(p.pid) - before) / (time.monotonic() - begin)
        assert used < 0.3, f"{used:.0%} of a core while out of descriptors"
        for c in clients:
            c.close()
        wait_until(lambda: exchange(port, b"GET /api/heads HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")[0] == 200, 10,
                   "no service once descriptors were free")
    finally:
        for c in clients:
            c.close()
        p.terminate()
        p.wait(timeout=10)
        log.close()


def silent_gateway(extra=""):
    healthy, silent = Sim(), Sim("--silent")
    g = Ptzd([("ok", healthy.link), ("mute", silent.link)], extra=extra, wait_up=False)
    wait_until(lambda: all(h["up"] for h in g.http("GET", "/api/heads")[1]), 10, "heads not up")
    return g, healthy, silent


def fill_silent_queue(g, count=100):
    """HTTP calls to the silent head, each on a thread, until its cap of
    waiting callers refuses the rest at once. Returns the threads, their
    results (a status, or "cut" when the connection was closed) and how many
    wait."""
    results, busy = [], []

    def call():
        try:
            status, answer = g.http("GET", "/api/heads/mute/GetPTPos")
            results.append(status)
            if status == 503:
                busy.append(answer["error"])
        except OSError:
            results.append("cut")
    threads = [threading.Thread(target=call) for _ in range(count)]
    for t in threads:
        t.start()
    wait_until(lambda: busy, 10, "the silent head's callers are not capped")
    waiting = int(re.search(r"busy: (\d+) calls wait", busy[0]).group(1))
    assert waiting < count
    wait_until(lambda: results.count(503) == count - waiting, 5, f"not {count - waiting} busy answers: {results}")
    return threads, results, waiting


def test_a_silent_head_never_delays_a_healthy_one(request):
    g, healthy, silent = silent_gateway()
    slow = None

    def latencies():
        seen = []
        for _ in range(200):
            begin = time.monotonic()
            assert g.http("GET", "/api/heads/ok/GetPTPos")[0] == 200
            seen.append(time.monotonic() - begin)
        return statistics.median(seen) * 1e3
    try:
        quiet = latencies()
        # Beyond the per-head cap of waiting callers: 503 busy at once, while
        # the first calls still wait for the silent head.
        threads, results, waiting = fill_silent_queue(g)
        slow = Trickle(g.http_port, 64, b"GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n")
        loaded = latencies()
        assert len(results) == len(threads) - waiting, "the healthy head's answers came after the silent calls returned"
        status, answer = g.http("GET", "/api/heads/mute/GetPTPos")
        assert status == 503 and "busy" in answer["error"]
        slow.close()
        slow = None
        for t in threads:
            t.join(30)
        assert all(s in (503, 504, 502) for s in results), results
        print(f"\nhealthy head, HTTP median: {quiet:.2f} ms quiet, {loaded:.2f} ms with 64 slow clients and a "
              f"silent neighbour's full queue, {latencies():.2f} ms quiet again")
    finally:
        if slow:
            slow.close()
        g.stop()
        healthy.stop()
        silent.stop()


def test_sigterm_under_load_exits_within_two_seconds():
    g, healthy, silent = silent_gateway()
    slow = Trickle(g.http_port, 64, b"GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n")
    try:
        threads, results, _ = fill_silent_queue(g)
        assert g.http("GET", "/api/heads/ok/GetPTPos")[0] == 200
        begin = time.monotonic()
        g.process.send_signal(signal.SIGTERM)
        code = g.process.wait(timeout=10)
        took = time.monotonic() - begin
        print(f"\nSIGTERM to exit under load: {took:.3f} s")
        assert took < 2 and code == 0, g.logs()
        for t in threads:
            t.join(10)
        assert len(results) == len(threads)  # every queued caller got an answer or a closed connection
    finally:
        slow.close()
        g.stop()
        healthy.stop()
        silent.stop()


@pytest.mark.parametrize("moment", ["spawned", "HTTP API", "running"])
def test_sigterm_at_any_moment_of_the_start(head, tmp_path, moment):
    config = tmp_path / "site.toml"
    config.write_text(f'http = "127.0.0.1:{free_port()}"\n[[head]]\nname = "b"\nlink = "{head.link}"\n'
                      f'listen = "127.0.0.1:{free_port()}"\n')
    for attempt in range(10):
        log = tmp_path / f"log{attempt}"
        with open(log, "w") as err:
            p = subprocess.Popen([PTZD, "--config", str(config)], stderr=err)
        if moment != "spawned":
            wait_until(lambda: moment in log.read_text(), 10, f"no {moment!r} in the log")
        p.send_signal(signal.SIGTERM)
        begin = time.monotonic()
        try:
            p.wait(timeout=5)
        finally:
            if p.poll() is None:
                p.kill()
                p.wait()
        assert time.monotonic() - begin < 2, f"{moment}, attempt {attempt}: ptzd hung"


# ---- ONVIF listener ---------------------------------------------------------------------------

GET_STATUS = (b'<s:Envelope xmlns:s="http://www.w3.org/2003/05/soap-envelope"><s:Body>'
              b'<x:GetStatus xmlns:x="http://www.onvif.org/ver20/ptz/wsdl"><x:ProfileToken>Profile_1</x:ProfileToken>'
              b'</x:GetStatus></s:Body></s:Envelope>')


def onvif_gateway(head, tmp_path, extra="", top=""):
    require_private_network()
    port = free_port()
    g = Ptzd([], extra=top + textwrap.dedent(f"""\
        [[head]]
        name = "roof"
        link = "{head.link}"
        onvif = "127.0.0.1:{port}"
        """) + extra)
    g.onvif_port = port
    return g


def pollers(port, count, requests, source="127.0.0.1"):
    """`count` keep-alive clients, each sending GetStatus `requests` times;
    returns every status (or the exception) they saw."""
    import http.client
    seen = []

    def poll():
        c = http.client.HTTPConnection("127.0.0.1", port, timeout=10, source_address=(source, 0))
        for _ in range(requests):
            try:
                c.request("POST", "/onvif/ptz_service", GET_STATUS, {"Content-Type": "application/soap+xml"})
                r = c.getresponse()
                r.read()
                seen.append(r.status)
                if r.getheader("Connection", "").lower() == "close":
                    c.close()
            except Exception as e:  # a dropped request: never expected
                seen.append(repr(e))
                c.close()
        c.close()

    threads = [threading.Thread(target=poll) for _ in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    return seen


def test_thirty_two_onvif_pollers_are_all_answered(head, tmp_path):
    g = onvif_gateway(head, tmp_path)
    try:
        seen = pollers(g.onvif_port, 32, 40)
        assert len(seen) == 32 * 40 and set(seen) == {200}, [s for s in seen if s != 200][:5]
    finally:
        g.stop()


def test_onvif_pollers_past_the_cap_are_refused_clearly(head, tmp_path):
    # (the port's own cap: no cap per source)
    g = onvif_gateway(head, tmp_path, "onvif_max_connections = 8\n", top="max_connections_per_source = 0\n")
    try:
        seen = pollers(g.onvif_port, 32, 20)
        assert len(seen) == 32 * 20 and set(seen) <= {200, 503}, [s for s in seen if s not in (200, 503)][:5]
        assert seen.count(200) >= 8 * 20 and 503 in seen
    finally:
        g.stop()


def test_slow_clients_on_the_onvif_port(head, tmp_path):
    # 48 slow clients from one address are its whole share: the pollers
    # come from another.
    g = onvif_gateway(head, tmp_path)
    line = b"POST /onvif/ptz_service HTTP/1.1\r\nHost: 127.0.0.1\r\n"
    slow = Trickle(g.onvif_port, 48, line)
    still = None
    try:
        assert pollers(g.onvif_port, 4, 10, "127.0.0.2") == [200] * 40
        wait_until(lambda: len(slow.closed) == 48, 15, "slow ONVIF clients were not cut")
        # SIGTERM while another 48 are connected.
        still = Trickle(g.onvif_port, 48, line)
        assert pollers(g.onvif_port, 1, 1, "127.0.0.2") == [200]
        begin = time.monotonic()
        g.process.send_signal(signal.SIGTERM)
        assert g.process.wait(timeout=10) == 0 and time.monotonic() - begin < 2
    finally:
        slow.close()
        if still:
            still.close()
        g.stop()


# ---- configuration ----------------------------------------------------------------------------

HEAD = '[[head]]\nname = "a"\nlink = "com:1"\n'
ONVIF = '[[head]]\nname = "a"\nlink = "com:1"\nonvif = "127.0.0.1:8081"\n'
BAD_CONFIGS = [
    (ONVIF + 'onvif_password = "pw"\n', 1, "onvif_password needs onvif_user"),
    (ONVIF + 'onvif_user = "admin"\n', 1, "onvif_user needs onvif_password"),
    ('http = "localhost.example:8080"\n' + HEAD, 1, "not an IP address"),
    (HEAD + 'listen = "ptz.example.com:4001"\n', 4, "not an IP address"),
    ('http = ""\n' + HEAD, 1, "must not be empty"),
    (HEAD + 'listen = ""\n', 4, "must not be empty"),
    ('token = ""\n' + HEAD, 1, "must not be empty"),
    (HEAD + 'listen = "127.0.0.1:0"\n', 4, "port from 1"),
    ('http = "127.0.0.1:0"\n' + HEAD, 1, "port from 1"),
    ('[[head]]\nname = "a"\nlink = "com:0"\n', 3, "com: needs a port number"),
    ('http = "127.0.0.1:4001"\n' + HEAD + 'listen = "127.0.0.1:4001"\n', 5, "already used by http"),
    (HEAD + 'listen = "127.0.0.1:4001"\n[[head]]\nname = "b"\nlink = "com:2"\nlisten = "0.0.0.0:4001"\n', 8,
     'already used by head "a" listen'),
    ('http = "127.0.0.1:8081"\n' + ONVIF, 5, "already used by http"),
    (ONVIF + 'visca_udp = "127.0.0.1:3702"\n', 5, "WS-Discovery's"),
    (ONVIF + '[[head]]\nname = "b"\nlink = "com:2"\nvisca_udp = "0.0.0.0:3702"\n', 8, "WS-Discovery's"),
    ('[[head]]\nname = "' + "n" * 65 + '"\nlink = "com:1"\n', 1, "must be 1-64"),
    ('[[head]]\nname = "a/b"\nlink = "com:1"\n', 1, "must be 1-64"),
    ('http_hosts = ["ptz.example.com:8080"]\n' + HEAD, 1, "must be a host name"),
    ('http_max_connections = 0\n' + HEAD, 1, "between 1 and"),
    ('state_dir = "no/such/dir"\n' + ONVIF, 1, "not a directory ptzd can write to"),
]


@pytest.mark.parametrize("text, line, what", BAD_CONFIGS)
def test_check_config_refuses(tmp_path, text, line, what):
    path = tmp_path / "site.toml"
    path.write_text(text)
    run = subprocess.run([PTZD, "--check-config", str(path)], capture_output=True, text=True, timeout=10)
    assert run.returncode == 1, text
    assert f"{path}:{line}:" in run.stderr and what in run.stderr, run.stderr


def test_check_config_accepts_what_starts(tmp_path, head):
    http, native = free_port(), free_port()
    path = tmp_path / "site.toml"
    path.write_text(f'http = "localhost:{http}"\nhttp_hosts = ["ptz.example.com"]\nhttp_max_connections = 4096\n'
                    f'[[head]]\nname = "{"n" * 64}"\nlink = "{head.link}"\nlisten = "localhost:{native}"\n')
    run = subprocess.run([PTZD, "--check-config", str(path)], capture_output=True, text=True, timeout=10)
    assert run.returncode == 0, run.stderr
    # "localhost" is 127.0.0.1: what passes the check also starts.
    log = open(tmp_path / "log", "w+")
    p = subprocess.Popen([PTZD, "--config", str(path)], stderr=log)
    try:
        wait_until(lambda: "running" in open(tmp_path / "log").read() or p.poll() is not None, 10, "no start")
        assert p.poll() is None, open(tmp_path / "log").read()
        assert exchange(http, b"GET /api/heads HTTP/1.1\r\nHost: localhost\r\n\r\n")[0] == 200
    finally:
        p.terminate()
        p.wait(timeout=10)
        log.close()


@pytest.mark.parametrize("argument, what", [
    ('a"b=com:1', "must be 1-64"), ("=com:1", "NAME=LINK"), ("n" * 65 + "=com:1", "must be 1-64"), ("a=com:0", "com:")])
def test_head_option_names_are_checked(argument, what):
    run = subprocess.run([PTZD, "--head", argument], capture_output=True, text=True, timeout=10)
    assert run.returncode == 2 and what in run.stderr, run.stderr


@pytest.mark.parametrize("options, what", [
    (["--listen", "127.0.0.1:{http}"], "already used by http"), (["--listen", "127.0.0.1:0"], "port from 1"),
    (["--http", "example.com:{http}"], "not an IP address"), (["--token", ""], "must not be empty")])
def test_command_line_configuration_is_checked_whole(options, what):
    http = free_port()
    run = subprocess.run([PTZD, "--head", "a=com:1", "--http", f"127.0.0.1:{http}",
                          *[o.format(http=http) for o in options]], capture_output=True, text=True, timeout=10)
    assert run.returncode in (1, 2) and what in run.stderr, run.stderr


def test_preset_names_are_kept_in_the_state_dir(head, tmp_path):
    require_private_network()
    state = tmp_path / "state"
    state.mkdir()
    port = free_port()
    config = tmp_path / "site.toml"
    config.write_text(f'http = "127.0.0.1:{free_port()}"\nstate_dir = "state"\n[[head]]\nname = "roof"\n'
                      f'link = "{head.link}"\nonvif = "127.0.0.1:{port}"\n')
    log = open(tmp_path / "log", "w+")
    p = subprocess.Popen([PTZD, "--config", str(config)], stderr=log)
    try:
        body = (b'<s:Envelope xmlns:s="http://www.w3.org/2003/05/soap-envelope"><s:Body>'
                b'<x:SetPreset xmlns:x="http://www.onvif.org/ver20/ptz/wsdl"><x:ProfileToken>Profile_1</x:ProfileToken>'
                b'<x:PresetName>gate</x:PresetName></x:SetPreset></s:Body></s:Envelope>')
        post = (f"POST /onvif/ptz_service HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/soap+xml\r\n"
                f"Content-Length: {len(body)}\r\n\r\n").encode() + body

        def ready():
            try:
                return exchange(port, post)[0] == 200
            except OSError:
                return False
        wait_until(ready, 10, "no ONVIF")
        assert "gate" in (state / "roof.presets.json").read_text()
        assert not (tmp_path / "site.toml.roof.presets.json").exists()
    finally:
        p.terminate()
        p.wait(timeout=10)
        log.close()
