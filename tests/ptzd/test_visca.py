"""VISCA over IP (UDP, port 52381 style), plain VISCA over TCP and
header-less VISCA over UDP, against a
ptzd process in front of a simulated head with its motion model: raw frames
in, raw replies out, the head's state checked through ptzd's own API."""
import socket
import struct
import time

import pytest

from gateway import Ptzd, Sim, free_port

COMMAND, INQUIRY, REPLY, CONTROL, CONTROL_REPLY = 0x0100, 0x0110, 0x0111, 0x0200, 0x0201
UNITS_PER_DEGREE = 14.4


def h(text):
    return bytes.fromhex(text)


def nibbles(value):
    v = value & 0xFFFF
    return bytes([(v >> 12) & 15, (v >> 8) & 15, (v >> 4) & 15, v & 15])


def absolute(pan_deg, tilt_deg, speed=0x18, kind=0x02):
    return (h(f"81 01 06 {kind:02x} {speed:02x} 17") + nibbles(round(pan_deg * UNITS_PER_DEGREE))
            + nibbles(round(tilt_deg * UNITS_PER_DEGREE)) + h("FF"))


class Udp:
    def __init__(self, port):
        self.port = port
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.settimeout(15)
        self.sequence = 0
        # A RESET first, as a controller sends at its start: the kernel may
        # hand this socket the port an earlier test's client had, whose
        # sequence numbers the camera still remembers.
        self.send(b"\x01", CONTROL, sequence=0)
        assert self.receive() == (CONTROL_REPLY, 0, b"\x01")

    def send(self, payload, kind=COMMAND, sequence=None):
        if sequence is None:
            self.sequence += 1
            sequence = self.sequence
        self.sock.sendto(struct.pack(">HHI", kind, len(payload), sequence) + payload, ("127.0.0.1", self.port))
        return sequence

    def receive(self, timeout=15):
        self.sock.settimeout(timeout)
        data, _ = self.sock.recvfrom(4096)
        kind, length, sequence = struct.unpack(">HHI", data[:8])
        assert length == len(data) - 8
        return kind, sequence, data[8:]

    def silent(self, timeout=0.3):
        """Nothing arrives (within a short look: used only where an answer would already be there)."""
        try:
            self.receive(timeout)
        except socket.timeout:
            return True
        return False

    def ask(self, payload, replies=1, kind=None):
        kind = kind if kind is not None else (INQUIRY if payload[1] == 0x09 else COMMAND)
        seq = self.send(payload, kind)
        out = []
        for _ in range(replies):
            k, s, body = self.receive()
            assert k == REPLY and s == seq, (hex(k), s, seq)
            out.append(body.hex(" ").upper())
        return out

    def next(self):
        return self.receive()[2].hex(" ").upper()

    def close(self):
        self.sock.close()


class Raw:
    """Header-less VISCA over UDP: one message per datagram, each reply its own datagram."""

    def __init__(self, port):
        self.port = port
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", 0))

    def message(self, timeout=15):
        self.sock.settimeout(timeout)
        data, _ = self.sock.recvfrom(4096)
        return data.hex(" ").upper()

    def ask(self, payload, replies=1):
        self.sock.sendto(payload, ("127.0.0.1", self.port))
        return [self.message() for _ in range(replies)]

    def next(self):
        return self.message()

    def close(self):
        self.sock.close()


class Tcp:
    def __init__(self, port, source="127.0.0.1"):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=15, source_address=(source, 0))
        self.buffer = b""

    def message(self, timeout=15):
        self.sock.settimeout(timeout)
        while b"\xff" not in self.buffer:
            chunk = self.sock.recv(256)
            assert chunk, "ptzd closed the connection"
            self.buffer += chunk
        end = self.buffer.index(b"\xff") + 1
        out, self.buffer = self.buffer[:end], self.buffer[end:]
        return out.hex(" ").upper()

    def ask(self, payload, replies=1):
        self.sock.sendall(payload)
        return [self.message() for _ in range(replies)]

    def next(self):
        return self.message()

    def close(self):
        self.sock.close()


@pytest.fixture(scope="module")
def rig():
    sim = Sim(instant=False)
    udp_port, tcp_port, raw_port = free_port(), free_port(), free_port()
    g = Ptzd([("cam", sim.link)], head_lines={"cam": [f'visca_udp = "127.0.0.1:{udp_port}"',
                                                       f'visca_tcp = "127.0.0.1:{tcp_port}"',
                                                       f'visca_udp_raw = "127.0.0.1:{raw_port}"']})
    yield sim, g, udp_port, tcp_port, raw_port
    g.stop()
    sim.stop()


def steps(g):
    return g.http("GET", "/api/heads/cam/GetPTPos")[1]


def wait_still(g, timeout=30):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        status, p = g.http("GET", "/api/heads/cam/position")
        if status == 200 and not p["moving"]:
            return p
        time.sleep(0.05)
    raise AssertionError("the head did not come to rest")


@pytest.fixture
def udp(rig):
    u = Udp(rig[2])
    yield u
    u.close()


@pytest.fixture
def raw(rig):
    r = Raw(rig[4])
    yield r
    r.close()


@pytest.fixture
def tcp(rig):
    t = Tcp(rig[3])
    yield t
    t.close()


# request, replies (both transports)
TABLE = [
    ("81 09 04 00 FF", ["90 50 02 FF"]),                       # power: on
    ("81 09 06 11 FF", ["90 50 18 17 FF"]),                    # max speeds
    ("81 01 04 07 02 FF", ["90 41 FF", "90 61 41 FF"]),        # zoom tele: a head cannot
    ("81 01 04 08 03 FF", ["90 41 FF", "90 61 41 FF"]),        # focus near
    ("81 01 04 39 00 FF", ["90 41 FF", "90 61 41 FF"]),        # exposure
    ("81 09 04 47 FF", ["90 60 41 FF"]),                       # zoom position inquiry
    ("81 01 06 01 19 17 01 03 FF", ["90 60 02 FF"]),           # pan speed out of range
    ("81 01 04 3F 02 10 FF", ["90 41 FF", "90 61 41 FF"]),     # memory 16: only 0-15 are presets
    ("81 01 00 01 FF", ["90 50 FF"]),                          # IF_Clear
    ("88 01 00 01 FF", ["88 01 00 01 FF"]),                    # IF_Clear, broadcast
    ("88 30 01 FF", ["88 30 02 FF"]),                          # address set
    ("81 21 FF", ["90 61 05 FF"]),                             # cancel: nothing in socket 1
    ("81 05 06 04 FF", ["90 60 02 FF"]),                       # no such category
    ("81 01 7E 01 18 FF", ["90 60 02 FF"]),                    # a command of a category no camera has: no ACK
    ("81 09 7E 01 FF", ["90 60 02 FF"]),                       # an inquiry no camera knows
    ("81 09 06 15 FF", ["90 60 02 FF"]),
]


@pytest.mark.parametrize("request_hex,replies", TABLE)
def test_table_over_udp(udp, request_hex, replies):
    assert udp.ask(h(request_hex), len(replies)) == replies


@pytest.mark.parametrize("request_hex,replies", TABLE)
def test_table_over_tcp(tcp, request_hex, replies):
    assert tcp.ask(h(request_hex), len(replies)) == replies


@pytest.mark.parametrize("request_hex,replies", TABLE)
def test_table_over_bare_udp(raw, request_hex, replies):
    assert raw.ask(h(request_hex), len(replies)) == replies


def test_bare_udp_datagrams_hold_whole_messages(raw, rig):
    # Two messages in one datagram: two answers; no terminator, or one too
    # long: a syntax error; the answer goes to the sender alone.
    assert raw.ask(h("81 09 04 00 FF 81 09 06 11 FF"), 2) == ["90 50 02 FF", "90 50 18 17 FF"]
    assert raw.ask(h("81 09 04 00")) == ["90 60 02 FF"]
    assert raw.ask(h("81") + b"\x01" * 20 + h("FF")) == ["90 60 02 FF"]
    other = Raw(rig[4])
    try:
        assert raw.ask(h("81 09 04 00 FF")) == ["90 50 02 FF"]
        other.sock.settimeout(0.3)
        with pytest.raises(socket.timeout):
            other.sock.recvfrom(64)  # (the answer above had already arrived)
    finally:
        other.close()


def test_version_comes_from_the_head(udp):
    (reply,) = udp.ask(h("81 09 00 02 FF"))
    b = bytes.fromhex(reply)
    assert len(b) == 10 and b[:2] == h("90 50") and b[-1] == 0xFF
    assert b[6:8] == h("01 00") and b[8] == 0x02  # the simulator's 1.0.0; two sockets


@pytest.mark.parametrize("transport", ["udp", "tcp", "raw"])
def test_absolute_move_completes_only_when_the_head_is_still(rig, transport):
    sim, g, udp_port, tcp_port = rig[:4]
    client = {"udp": lambda: Udp(udp_port), "tcp": lambda: Tcp(tcp_port), "raw": lambda: Raw(rig[4])}[transport]()
    try:
        wait_still(g)
        target = {"udp": -30, "tcp": 30, "raw": 15}[transport]
        sim.control("clear-requests")
        assert client.ask(absolute(target, -10, speed=0x08), 1) == ["90 41 FF"]
        # Completion: sent only once the head is at its target and still.
        assert client.next() == "90 51 FF"
        assert steps(g) == {"pan": target * 100, "tilt": -1000}
        # Each axis at its own speed: pan 8 of 0x18, tilt 0x17 of 0x17 (the head's 1-255).
        speeds = {f[5]: f[6] for f in map(bytes.fromhex, sim.requests()) if f[3] == 0x86}
        assert speeds == {0: 86, 4: 255}
        (inq,) = client.ask(h("81 09 06 12 FF"))
        assert inq == ("90 50 " + nibbles(round(target * UNITS_PER_DEGREE)).hex(" ").upper() + " "
                       + nibbles(round(-10 * UNITS_PER_DEGREE)).hex(" ").upper() + " FF")
        assert client.ask(h("81 09 06 10 FF")) == ["90 50 00 00 00 01 FF"]  # still
    finally:
        client.close()


def test_relative_move_and_home(udp, rig):
    g = rig[1]
    wait_still(g)
    assert udp.ask(absolute(0, 0), 2) == ["90 41 FF", "90 51 FF"]
    # (Degrees that are whole VISCA units: 1 unit is 1/14.4 degree.)
    assert udp.ask(absolute(5, -2.5, kind=0x03), 2) == ["90 41 FF", "90 51 FF"]
    assert steps(g) == {"pan": 500, "tilt": -250}
    assert udp.ask(h("81 01 06 04 FF"), 2) == ["90 41 FF", "90 51 FF"]
    assert steps(g) == {"pan": 0, "tilt": 0}


def test_a_reset_without_a_stored_home_goes_to_zero(udp, rig):
    g = rig[1]
    wait_still(g)
    assert udp.ask(absolute(5, -2.5), 2) == ["90 41 FF", "90 51 FF"]
    assert udp.ask(h("81 01 06 05 FF"), 2) == ["90 41 FF", "90 51 FF"]
    assert steps(g) == {"pan": 0, "tilt": 0}


# A stop carries speed bytes for axes that do not move: controllers send
# their drive's speeds, or 00 00 (the npm visca-over-ip library).
@pytest.mark.parametrize("stop_speeds", ["10 10", "00 00"])
def test_drive_moves_until_stopped(udp, rig, stop_speeds):
    g = rig[1]
    wait_still(g)
    start = steps(g)["pan"]
    assert udp.ask(h("81 01 06 01 10 10 02 03 FF"), 2) == ["90 41 FF", "90 51 FF"]  # right
    deadline = time.monotonic() + 10
    while steps(g)["pan"] <= start + 200:
        assert time.monotonic() < deadline, "the head did not move right"
        time.sleep(0.02)
    assert udp.ask(h(f"81 01 06 01 {stop_speeds} 03 03 FF"), 2) == ["90 41 FF", "90 51 FF"]  # stop
    held = wait_still(g)
    assert start + 200 < held["steps"]["pan"] < 17000


def test_presets_set_recall_and_reset(udp, rig):
    g = rig[1]
    wait_still(g)
    assert udp.ask(absolute(10, 2.5), 2) == ["90 41 FF", "90 51 FF"]
    assert udp.ask(h("81 01 04 3F 01 04 FF"), 2) == ["90 41 FF", "90 51 FF"]  # memory 4 = preset 5
    assert udp.ask(absolute(-12, 0), 2) == ["90 41 FF", "90 51 FF"]
    assert udp.ask(h("81 01 04 3F 02 04 FF"), 2) == ["90 41 FF", "90 51 FF"]
    assert steps(g) == {"pan": 1000, "tilt": 250}
    names = g.http("GET", "/api/heads/cam/presets")[1]
    assert any(p["preset"] == 5 for p in names["presets"]), names
    assert udp.ask(h("81 01 04 3F 00 04 FF"), 2) == ["90 41 FF", "90 51 FF"]
    names = g.http("GET", "/api/heads/cam/presets")[1]
    assert not any(p["preset"] == 5 and p.get("name") for p in names["presets"]), names


def test_a_newer_move_cancels_the_older(udp, rig):
    g = rig[1]
    wait_still(g)
    assert udp.ask(absolute(-60, 0, speed=0x01), 1) == ["90 41 FF"]  # slow: seconds away
    second = udp.send(absolute(20, 0))
    replies = {}
    for _ in range(3):
        kind, seq, body = udp.receive()
        replies.setdefault(seq, []).append(body.hex(" ").upper())
    assert replies[udp.sequence - 1] == ["90 41 FF", "90 61 04 FF"] or "90 61 04 FF" in replies[udp.sequence - 1]
    assert replies[second][-1] == "90 52 FF"
    assert steps(g) == {"pan": 2000, "tilt": 0}


def test_cancel_stops_the_move_in_a_socket(udp, rig):
    g = rig[1]
    wait_still(g)
    assert udp.ask(absolute(-60, 0, speed=0x01), 1) == ["90 41 FF"]
    assert udp.ask(h("81 21 FF")) == ["90 61 04 FF"]
    held = wait_still(g)
    assert held["steps"]["pan"] > -6000, "the canceled move went on"


def test_sequence_numbers_reset_and_bad_types(udp):
    seq = udp.send(h("81 09 04 00 FF"), INQUIRY, sequence=7)
    assert udp.receive()[1:] == (7, h("90 50 02 FF"))
    udp.send(h("81 09 04 00 FF"), INQUIRY, sequence=7)  # a repeat
    assert udp.receive() == (CONTROL_REPLY, 7, h("0F 01"))
    udp.send(h("81 09 04 00 FF"), INQUIRY, sequence=3)  # out of order
    assert udp.receive() == (CONTROL_REPLY, 3, h("0F 01"))
    udp.send(h("01"), CONTROL, sequence=9)  # RESET
    assert udp.receive() == (CONTROL_REPLY, 9, h("01"))
    udp.send(h("81 09 04 00 FF"), INQUIRY, sequence=1)
    assert udp.receive() == (REPLY, 1, h("90 50 02 FF"))
    udp.send(h("90 50 FF"), REPLY, sequence=2)  # a reply sent to the camera
    assert udp.receive() == (CONTROL_REPLY, 2, h("0F 02"))
    udp.send(h("81 09 04 00 FF"), 0x0777, sequence=3)
    assert udp.receive() == (CONTROL_REPLY, 3, h("0F 02"))
    assert seq == 7
    udp.sequence = 10


def test_hostile_datagrams_are_refused_or_dropped_and_replies_stay_small(udp, rig):
    port = rig[2]
    raw = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        raw.bind(("127.0.0.1", 0))
        raw.settimeout(5)
        # A header whose length disagrees, a bare header, a short datagram: dropped.
        for junk in (struct.pack(">HHI", COMMAND, 40, 1) + h("81 09 04 00 FF"), struct.pack(">HHI", COMMAND, 0, 2), b"\x01"):
            raw.sendto(junk, ("127.0.0.1", port))
        # Too long, no terminator: syntax errors, each reply no longer than the request.
        for n, payload in enumerate((h("81") + b"\x01" * 20 + h("FF"), h("81 01 06 04"))):
            request = struct.pack(">HHI", COMMAND, len(payload), 100 + n) + payload
            raw.sendto(request, ("127.0.0.1", port))
            data, _ = raw.recvfrom(4096)
            assert data[8:] == h("90 60 02 FF") and len(data) <= len(request) + 8
        # A flood of inquiries and commands: what the kernel does not drop is
        # answered, each to its sender, and the camera answers normally after.
        for n in range(2000):
            payload = h("81 09 06 12 FF") if n % 2 else absolute(n % 40, 0)
            raw.sendto(struct.pack(">HHI", INQUIRY if n % 2 else COMMAND, len(payload), 1000 + n) + payload,
                       ("127.0.0.1", port))
        answered = 0
        raw.settimeout(2)
        try:
            while True:
                data, _ = raw.recvfrom(4096)
                assert len(data) <= 8 + 11  # never more than a reply
                answered += 1
        except socket.timeout:
            pass
        assert answered > 0
        assert udp.ask(h("81 09 04 00 FF")) == ["90 50 02 FF"]
        wait_still(rig[1])
    finally:
        raw.close()


def test_over_long_tcp_input_and_split_messages(tcp):
    tcp.sock.sendall(b"\x81" + b"\x01" * 30)
    assert tcp.message() == "90 60 02 FF"
    tcp.sock.sendall(h("FF 81 09 04"))
    tcp.sock.sendall(h("00 FF"))
    assert tcp.message() == "90 50 02 FF"


def test_both_sockets_busy_is_buffer_full(rig):
    sim, g, udp_port, _ = rig[:4]
    wait_still(g)
    u = Udp(udp_port)
    try:
        sim.control("faults delay=2000")  # each exchange with the head now takes 2 s
        for target in (10, 20, 30):
            u.send(absolute(target, 0))
        replies = [u.receive()[2].hex(" ").upper() for _ in range(3)]
        assert sorted(replies) == ["90 41 FF", "90 42 FF", "90 60 03 FF"], replies
        sim.control("faults")
        # Both sockets answered in the end (a completion or an error each):
        # only then are they free for the next test. (The head may look still
        # while the first move is still on its way to it.)
        done = set()
        while not {1, 2} <= done:
            body = u.receive(60)[2]
            if body[1] & 0xF0 in (0x50, 0x60):
                done.add(body[1] & 0x0F)
    finally:
        sim.control("faults")
        u.close()
        wait_still(g, timeout=60)


def test_link_down_is_not_executable(tmp_path):
    sim = Sim(instant=False)
    udp_port = free_port()
    g = Ptzd([("cam", sim.link)], head_lines={"cam": [f'visca_udp = "127.0.0.1:{udp_port}"']})
    u = Udp(udp_port)
    try:
        sim.kill()
        deadline = time.monotonic() + 20
        while g.http("GET", "/api/heads")[1][0]["up"]:
            assert time.monotonic() < deadline
            time.sleep(0.05)
        assert u.ask(absolute(10, 0), 2) == ["90 41 FF", "90 61 41 FF"]
        assert u.ask(h("81 09 06 12 FF")) == ["90 60 41 FF"]
    finally:
        u.close()
        g.stop()
        sim.stop()


def test_sofies_visca_over_ip_device_drives_the_head(rig):
    """A real third-party client: the VISCA over IP device of Sofie's playout
    engine (npm timeline-state-resolver), installed by the test script."""
    import os
    import shutil
    import subprocess
    modules = os.environ.get("VISCA_TSR")
    if not modules or not os.path.isdir(os.path.join(modules, "timeline-state-resolver")) or not shutil.which("node"):
        pytest.skip("timeline-state-resolver is not installed (scripts/test.sh installs it)")
    sim, g, udp_port, _ = rig[:4]
    script = os.path.join(os.path.dirname(__file__), "visca_tsr.js")

    def tsr(*steps):
        run = subprocess.run(["node", script, modules, str(udp_port), *steps], capture_output=True, text=True, timeout=30)
        assert run.returncode == 0, run.stderr

    assert absolute_via_http(g, 0, 0)
    wait_still(g)
    tsr("right")
    deadline = time.monotonic() + 10
    while steps(g)["pan"] < 200:
        assert time.monotonic() < deadline, "the head did not move right"
        time.sleep(0.02)
    tsr("stop", "store", "4")  # memory 4: the head's preset 5
    held = wait_still(g)["steps"]
    assert 200 <= held["pan"] < 17000
    presets = {p["preset"]: p for p in g.http("GET", "/api/heads/cam/presets")[1]["presets"]}
    assert presets[5]["name"]
    assert absolute_via_http(g, -20, 0)
    wait_still(g)
    tsr("recall", "4")
    deadline = time.monotonic() + 20
    while steps(g) != {"pan": held["pan"], "tilt": held["tilt"]}:
        assert time.monotonic() < deadline, "the preset was not recalled"
        time.sleep(0.02)


@pytest.mark.parametrize("transport", ["raw", "tcp"])
def test_the_npm_visca_over_ip_library_drives_the_head(rig, transport):
    """A real third-party client: npm visca-over-ip (installed by the test
    script), its camera class over bare UDP, its messages over TCP."""
    import json
    import os
    import shutil
    import subprocess
    folder = os.environ.get("ONVIF_NPM", "")
    modules = os.path.join(folder, "node_modules")
    if not os.path.isdir(os.path.join(modules, "visca-over-ip")) or not shutil.which("node"):
        pytest.skip("visca-over-ip is not installed (scripts/test.sh installs it)")
    sim, g, _, tcp_port, raw_port = rig
    script = os.path.join(os.path.dirname(__file__), "visca_voip.js")
    port = raw_port if transport == "raw" else tcp_port

    def library(*steps):
        run = subprocess.run(["node", script, modules, "tcp" if transport == "tcp" else "udp", str(port), *map(str, steps)],
                             capture_output=True, text=True, timeout=120)
        assert run.returncode == 0, run.stderr
        return [json.loads(line) for line in run.stdout.splitlines()]

    wait_still(g)
    # An absolute move (VISCA units: 144 = 10 degrees), completed at the head,
    # and the position inquiry answering what the head reports.
    assert library("abs", 144, -72, "where") == [{"pan": 144, "tilt": -72}]
    assert steps(g) == {"pan": 1000, "tilt": -500}
    # Stored as memory 3 (the head's preset 4), moved away, recalled.
    assert library("store", 3, "abs", -288, 0) == []
    assert steps(g) == {"pan": -2000, "tilt": 0}
    assert library("recall", 3, "where") == [{"pan": 144, "tilt": -72}]
    assert steps(g) == {"pan": 1000, "tilt": -500}
    # A drive right, then its stop with speeds 00 00: the head moved and is still.
    library("right")
    deadline = time.monotonic() + 10
    while steps(g)["pan"] < 1200:
        assert time.monotonic() < deadline, "the head did not move right"
        time.sleep(0.02)
    library("stop")
    held = wait_still(g)["steps"]
    assert 1200 <= held["pan"] < 17000
    (where,) = library("where")
    assert where == {"pan": round(held["pan"] / 100 * UNITS_PER_DEGREE), "tilt": round(held["tilt"] / 100 * UNITS_PER_DEGREE)}


def absolute_via_http(g, pan, tilt):
    return g.http("POST", "/api/heads/cam/move", {"kind": "absolute", "pan": pan, "tilt": tilt})[0] == 200


def test_a_visca_move_stops_a_running_tour(udp, rig):
    g = rig[1]
    wait_still(g)
    tour = {"loop": True, "steps": [{"pan": 10, "tilt": 0, "dwell": 0}, {"pan": -10, "tilt": 0, "dwell": 0}]}
    assert g.http("PUT", "/api/heads/cam/tours/sweep", tour)[0] == 200
    assert g.http("POST", "/api/heads/cam/tours/sweep/start", {})[0] == 200
    deadline = time.monotonic() + 10
    while g.http("GET", "/api/heads/cam/tours")[1]["current"]["state"] != "running":
        assert time.monotonic() < deadline
        time.sleep(0.02)
    assert udp.ask(h("81 01 06 01 05 05 03 03 FF"), 2) == ["90 41 FF", "90 51 FF"]  # a VISCA stop
    assert g.http("GET", "/api/heads/cam/tours")[1]["current"]["state"] == "idle"
    assert g.http("DELETE", "/api/heads/cam/tours/sweep")[0] == 200


def test_metrics_count_messages_and_errors_per_transport(udp, tcp, rig):
    g = rig[1]
    udp.ask(h("81 05 06 04 FF"))  # a syntax error
    tcp.ask(h("81 09 04 00 FF"))
    text = g.http("GET", "/metrics")[1]
    lines = {line.rsplit(" ", 1)[0]: float(line.rsplit(" ", 1)[1]) for line in text.splitlines()
             if line.startswith("ptzd_visca_")}
    assert lines['ptzd_visca_messages_total{head="cam",transport="udp"}'] >= 1
    assert lines['ptzd_visca_messages_total{head="cam",transport="tcp"}'] >= 1
    assert lines['ptzd_visca_errors_total{head="cam",transport="udp",kind="syntax"}'] >= 1
    assert "# TYPE ptzd_visca_errors_total counter" in text


def served_client(port, source="127.0.0.1"):
    """A TCP client ptzd serves: the connections of earlier tests may not
    have been noticed as closed yet, so one closed at once is tried again."""
    deadline = time.monotonic() + 15
    while True:
        c = Tcp(port, source)
        try:
            if c.ask(h("81 09 04 00 FF")) == ["90 50 02 FF"]:
                return c
        except (AssertionError, OSError):
            pass
        c.close()
        assert time.monotonic() < deadline, "ptzd served no client"
        time.sleep(0.05)


def test_tcp_clients_over_the_cap_are_closed(rig):
    port = rig[3]
    # From two addresses: one alone may hold only three quarters of the places.
    clients = [served_client(port, f"127.0.0.{1 + i % 2}") for i in range(8)]
    try:
        extra = socket.create_connection(("127.0.0.1", port), timeout=15, source_address=("127.0.0.3", 0))
        try:
            extra.sendall(h("81 09 04 00 FF"))
            assert extra.recv(16) == b""  # closed at once, unanswered
        except ConnectionResetError:
            pass
        finally:
            extra.close()
    finally:
        for c in clients:
            c.close()


def test_an_idle_tcp_client_is_closed_and_its_place_freed():
    sim = Sim(instant=False)
    port = free_port()
    g = Ptzd([("cam", sim.link)], head_lines={"cam": [f'visca_tcp = "127.0.0.1:{port}"', "visca_max_clients = 1",
                                                       "visca_idle_timeout = 1"]})
    try:
        idle = served_client(port)
        idle.sock.settimeout(15)
        assert idle.sock.recv(16) == b""  # closed by ptzd after a second of silence
        idle.close()
        served_client(port).close()  # the only place is free again
        assert "idle for 1 s" in g.logs()
    finally:
        g.stop()
        sim.stop()
