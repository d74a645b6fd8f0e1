"""Real ptz-sim and ptzd processes for the gateway tests."""
import json
import os
import signal
import socket
import subprocess
import tempfile
import threading
import time
import urllib.error
import urllib.request

SIM = os.environ.get("PTZ_SIM_BIN", "ptz-sim")
PTZD = os.environ.get("PTZD_BIN", "ptzd")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(predicate, timeout=20, what="condition"):
    """Polls `predicate` until it returns something true (returned), or fails."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(0.02)
    raise AssertionError(f"timed out waiting for {what}")


def require_private_network():
    """ONVIF announces itself by multicast: only inside a network namespace
    of our own (tests/in_netns.sh), never on the machine's network."""
    if os.environ.get("PTZ_NETNS") != "1":
        import pytest
        pytest.skip("sends multicast: runs only inside a network namespace (tests/in_netns.sh)")


def status_of(port, method, path, body=None, content_type="application/json", timeout=10):
    """The HTTP status of one request to 127.0.0.1:`port`, sent with no
    Authorization header."""
    request = urllib.request.Request(f"http://127.0.0.1:{port}{path}", data=body, method=method,
                                     headers={"Content-Type": content_type})
    try:
        with urllib.request.urlopen(request, timeout=timeout) as response:
            return response.status
    except urllib.error.HTTPError as e:
        return e.code


class Sim:
    """A ptz-sim process with a control channel: TCP on `port`, or a pty at `path`."""

    def __init__(self, *args, port=0, pty=False, instant=True):
        self.args, self.pty, self.instant = args, pty, instant
        self.port = port
        self.start()

    def start(self):
        where = ["--pty"] if self.pty else ["--listen", f"127.0.0.1:{self.port}"]
        self.process = subprocess.Popen([SIM, *where, "--control", "127.0.0.1:0",
                                         *(["--instant"] if self.instant else []), *self.args],
                                        stdout=subprocess.PIPE, text=True)
        first = self.process.stdout.readline().split()
        if self.pty:
            self.path = first[1]
        else:
            self.port = int(first[-1].rsplit(":", 1)[1])
        self.control_port = int(self.process.stdout.readline().split()[-1].rsplit(":", 1)[1])

    def control(self, line):
        with socket.create_connection(("127.0.0.1", self.control_port), timeout=5) as c:
            c.sendall(line.encode() + b"\n")
            answer = b""
            while not (answer.endswith(b"ok\n") or answer.endswith(b"end\n") or b"error" in answer
                       or (line == "burns" and answer.endswith(b"\n"))):
                chunk = c.recv(65536)
                if not chunk:
                    break
                answer += chunk
            return answer.decode()

    def requests(self):
        return [r for r in self.control("requests").splitlines() if r != "end"]

    def kill(self):
        self.process.kill()
        self.process.wait()

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            self.process.wait()

    @property
    def link(self):
        return f"serial:{self.path}" if self.pty else f"tcp:127.0.0.1:{self.port}"


class Ptzd:
    """A ptzd process with a configuration file of its own."""

    def __init__(self, heads, token=None, extra="", wait_up=True, head_lines=None):
        """`head_lines` adds configuration lines to named heads: {"roof": ['visca_udp = "..."']}."""
        head_lines = head_lines or {}
        if "onvif" in extra or any("onvif" in line for lines in head_lines.values() for line in lines):
            require_private_network()
        self.http_port = free_port()
        self.native = {}
        lines = [f'http = "127.0.0.1:{self.http_port}"', 'log = "debug"']
        if token:
            lines.append(f'token = "{token}"')
        lines.append(extra)
        for name, link in heads:
            self.native[name] = free_port()
            lines += ["[[head]]", f'name = "{name}"', f'link = "{link}"',
                      f'listen = "127.0.0.1:{self.native[name]}"', *head_lines.get(name, [])]
        self.dir = tempfile.TemporaryDirectory()
        self.config = os.path.join(self.dir.name, "site.toml")
        with open(self.config, "w") as f:
            f.write("\n".join(lines) + "\n")
        self.log = open(os.path.join(self.dir.name, "ptzd.log"), "w+")
        self.process = subprocess.Popen([PTZD, "--config", self.config], stderr=self.log)
        self.token = token
        deadline = time.time() + 10
        while time.time() < deadline:
            try:
                status, heads_now = self.http("GET", "/api/heads")
                if status == 200 and (not wait_up or all(h["up"] for h in heads_now)):
                    return
            except OSError:
                pass
            time.sleep(0.05)
        raise RuntimeError("ptzd did not come up:\n" + self.logs())

    def logs(self):
        self.log.flush()
        self.log.seek(0)
        return self.log.read()

    def http(self, method, path, body=None, token=None, raw=None, headers=None):
        data = raw if raw is not None else (json.dumps(body).encode() if body is not None else None)
        request = urllib.request.Request(f"http://127.0.0.1:{self.http_port}{path}", data=data, method=method)
        request.add_header("Content-Type", "application/json")
        if token or self.token:
            request.add_header("Authorization", f"Bearer {token or self.token}")
        for k, v in (headers or {}).items():
            request.add_header(k, v)
        try:
            with urllib.request.urlopen(request, timeout=15) as response:
                text = response.read().decode()
                status = response.status
        except urllib.error.HTTPError as e:
            text = e.read().decode()
            status = e.code
        try:
            return status, json.loads(text)
        except ValueError:
            return status, text

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.log.close()
        self.dir.cleanup()

    def rss_kib(self):
        with open(f"/proc/{self.process.pid}/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        return 0


class Stream:
    """The live stream of one head, read on a thread of its own."""

    def __init__(self, g, head):
        self.events = []
        self.lock = threading.Lock()
        request = urllib.request.Request(f"http://127.0.0.1:{g.http_port}/api/heads/{head}/stream")
        self.response = urllib.request.urlopen(request, timeout=30)
        assert self.response.headers["Content-Type"].startswith("text/event-stream")
        self.thread = threading.Thread(target=self.read, daemon=True)
        self.thread.start()

    def read(self):
        kind = None
        try:
            for raw in self.response:
                line = raw.decode().rstrip("\n")
                if line.startswith("event: "):
                    kind = line[7:]
                elif line.startswith("data: "):
                    with self.lock:
                        self.events.append((kind, json.loads(line[6:])))
        except Exception:
            pass

    def of(self, kind):
        with self.lock:
            return [e for k, e in self.events if k == kind]

    def close(self):
        # Shut the socket first: a plain close waits for the reading thread,
        # which waits for the server's next keep-alive.
        try:
            self.response.fp.raw._sock.shutdown(socket.SHUT_RDWR)
        except (AttributeError, OSError):
            pass
        self.response.close()
