"""A head as an antenna rotator: Hamlib's rotctl (Debian libhamlib-utils,
-m 2: its network rotator, what gpredict and other trackers speak) against
ptzd's rotctld port, in front of real simulator processes, and the same
protocol by hand for what rotctl keeps to itself."""
import shutil
import socket
import subprocess
import threading
import time

import pytest

from gateway import Ptzd, Sim, free_port

if not shutil.which("rotctl"):
    pytest.skip("rotctl is not installed (scripts/packages.sh installs libhamlib-utils)", allow_module_level=True)


@pytest.fixture(scope="module")
def rig():
    sim = Sim(instant=False)
    port = free_port()
    g = Ptzd([("ant", sim.link)], head_lines={"ant": [f'rotctld = "127.0.0.1:{port}"', "rotctld_azimuth_offset = 0",
                                                       "rotctld_min_step = 0.1", "rotctld_rate = 50"]})
    yield g, sim, port
    g.stop()
    sim.stop()


def rotctl(port, *commands):
    run = subprocess.run(["rotctl", "-m", "2", "-r", f"127.0.0.1:{port}", *map(str, commands)],
                         capture_output=True, text=True, timeout=60)
    return run.returncode, run.stdout


def steps(g):
    return g.http("GET", "/api/heads/ant/GetPTPos")[1]


def settle(g, pan, tilt, timeout=30):
    deadline = time.monotonic() + timeout
    while steps(g) != {"pan": round(pan * 100), "tilt": round(tilt * 100)}:
        assert time.monotonic() < deadline, f"not at {pan}, {tilt}: {steps(g)}"
        time.sleep(0.02)


def still(g):
    deadline = time.monotonic() + 30
    while True:
        p = g.http("GET", "/api/heads/ant/position")[1]
        if p["known"] and not p["moving"]:
            return p
        assert time.monotonic() < deadline
        time.sleep(0.02)


class Line:
    """The protocol by hand."""

    def __init__(self, port, source="127.0.0.1"):
        self.s = socket.create_connection(("127.0.0.1", port), timeout=15, source_address=(source, 0))
        self.buffer = b""

    def ask(self, line, lines):
        self.s.sendall(line.encode() + b"\n")
        while self.buffer.count(b"\n") < lines:
            chunk = self.s.recv(4096)
            assert chunk, "closed"
            self.buffer += chunk
        out = self.buffer.split(b"\n")
        self.buffer = b"\n".join(out[lines:])
        return [x.decode() for x in out[:lines]]

    def close(self):
        self.s.close()


def test_set_and_get_the_position_negative_elevations_included(rig):
    g, _, port = rig
    assert rotctl(port, "P", 25.5, -12)[0] == 0
    settle(g, 25.5, -12)
    still(g)  # the gateway's own reading has caught up: p answers from it
    code, out = rotctl(port, "p")
    assert code == 0 and out.split() == ["25.50", "-12.00"]
    # Several commands in one run, the way trackers chain them.
    code, out = rotctl(port, "P", -40, 20, "p")
    settle(g, -40, 20)
    assert code == 0


def test_limits_are_what_dump_state_says_and_out_of_range_is_refused(rig):
    g, _, port = rig
    line = Line(port)
    try:
        state = line.ask("\\dump_state", 9)
        assert state[:2] == ["1", "1"]
        assert dict(x.split("=") for x in state[2:8]) == {"min_az": "-170.000000", "max_az": "170.000000",
                                                          "min_el": "-90.000000", "max_el": "30.000000",
                                                          "south_zero": "0", "rot_type": "AzEl"}
        assert state[8] == "done"
        before = steps(g)
        for bad in ("P 200 0", "P 10 45", "P ten 0", "P 10"):
            assert line.ask(bad, 1) == ["RPRT -1"], bad
        assert steps(g) == before
        assert line.ask("X", 1) == ["RPRT -4"]  # not a command this rotator has
        # Extended answers, and a decimal comma as some trackers' locales write it.
        assert line.ask("+P 12,5 3", 2) == ["set_pos: 12,5 3", "RPRT 0"]
        settle(g, 12.5, 3)
        still(g)
        assert line.ask("+p", 4) == ["get_pos:", "Azimuth: 12.50", "Elevation: 3.00", "RPRT 0"]
        assert line.ask("_", 1) == ["ptzd head ant"]
    finally:
        line.close()
    # rotctl itself refuses what dump_state excludes, with its error status.
    code, out = rotctl(port, "P", 200, 0)
    assert code == 2


def test_stop_move_and_park(rig):
    g, _, port = rig
    line = Line(port)
    try:
        assert line.ask("P 0 0", 1) == ["RPRT 0"]
        settle(g, 0, 0)
        assert line.ask("M 16 10", 1) == ["RPRT 0"]  # clockwise, on the motion layer's lease
        deadline = time.monotonic() + 10
        while steps(g)["pan"] < 100:
            assert time.monotonic() < deadline, "M did not move the head"
            time.sleep(0.02)
        assert line.ask("S", 1) == ["RPRT 0"]
        held = still(g)["steps"]
        assert 100 <= held["pan"] < 17000
        assert line.ask("\\park", 1) == ["RPRT 0"]
        settle(g, 0, 0)
        assert line.ask("M 3 50", 1) == ["RPRT -1"]  # no such direction
    finally:
        line.close()


def test_a_tracker_sending_tiny_steps_does_not_make_the_head_hunt(rig):
    g, sim, port = rig
    line = Line(port)
    try:
        assert line.ask("P 30 0", 1) == ["RPRT 0"]
        settle(g, 30, 0)
        sim.control("clear-requests")
        for az in ("30.02", "30.05", "29.97"):  # within the minimum step
            assert line.ask(f"P {az} 0", 1) == ["RPRT 0"]
        assert line.ask("P 31 0", 1) == ["RPRT 0"]
        settle(g, 31, 0)
        moves = [r for r in sim.requests() if bytes.fromhex(r)[3] == 0x8C]
        assert len(moves) == 1, moves  # only the step worth making
    finally:
        line.close()


def test_many_clients_at_once_and_the_cap(rig):
    g, _, port = rig
    results = []

    def client(i):
        results.append(rotctl(port, "p")[0])
    threads = [threading.Thread(target=client, args=(i,)) for i in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert results == [0] * 6
    # Eight held open (from two addresses), the ninth is closed at once.
    held = [served(port, f"127.0.0.{1 + i % 2}") for i in range(8)]
    try:
        extra = socket.create_connection(("127.0.0.1", port), timeout=15, source_address=("127.0.0.3", 0))
        try:
            extra.sendall(b"p\n")
            assert extra.recv(64) == b""
        except ConnectionResetError:
            pass
        finally:
            extra.close()
    finally:
        for h in held:
            h.close()


def served(port, source):
    """A connection ptzd serves: those of earlier clients may not have been
    seen closed yet, so one closed at once is tried again."""
    deadline = time.monotonic() + 15
    while True:
        line = Line(port, source)
        try:
            if len(line.ask("p", 2)) == 2:
                return line
        except (AssertionError, OSError):
            pass
        line.close()
        assert time.monotonic() < deadline, "ptzd served no client"
        time.sleep(0.05)
