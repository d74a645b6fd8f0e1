"""ptzd's MQTT front end against a real Debian mosquitto started here on a
free loopback port, with third-party clients (paho-mqtt, mosquitto_pub and
mosquitto_sub) and real simulator processes: every command moving the head
(checked at the head), state, links and events published, Home Assistant
discovery checked against HA's documented rules and sent again on HA's
birth message, and the safety rules: nothing ever moves unasked."""
import json
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
import uuid

import pytest

from gateway import PTZD, Sim, free_port

mqtt = pytest.importorskip("paho.mqtt.client")
from paho.mqtt.packettypes import PacketTypes  # noqa: E402
from paho.mqtt.properties import Properties  # noqa: E402

MOSQUITTO = shutil.which("mosquitto") or "/usr/sbin/mosquitto"
if not os.path.exists(MOSQUITTO):
    pytest.skip("mosquitto is not installed (scripts/packages.sh installs it)", allow_module_level=True)

BASE = "ptzd/site-a"
HEADS = ["roof", "yard.east"]


class Broker:
    """A mosquitto of our own on a free loopback port."""

    def __init__(self, extra="", anonymous=True):
        self.dir = tempfile.TemporaryDirectory()
        self.port = free_port()
        self.anonymous = anonymous
        self.conf = os.path.join(self.dir.name, "mosquitto.conf")
        with open(self.conf, "w") as f:
            f.write(f"listener {self.port} 127.0.0.1\n" + ("allow_anonymous true\n" if anonymous else "") +
                    f"persistence false\n{extra}")
        self.start()

    def start(self):
        self.log = open(os.path.join(self.dir.name, "mosquitto.log"), "a")
        self.process = subprocess.Popen([MOSQUITTO, "-c", self.conf], stdout=self.log, stderr=self.log)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            if not self.anonymous:
                try:
                    socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                    return
                except OSError:
                    time.sleep(0.05)
                    continue
            try:
                c = Client(self.port, subscribe=None)
                c.close()
                return
            except OSError:
                time.sleep(0.05)
        raise RuntimeError("mosquitto did not start")

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            self.process.wait(timeout=10)


class Client:
    """A paho-mqtt client (MQTT 5) that keeps everything it hears."""

    def __init__(self, port, subscribe="#", client_id="", login=None):
        self.messages = []
        self.cond = threading.Condition()
        self.c = mqtt.Client(client_id=client_id, protocol=mqtt.MQTTv5)
        if login:
            self.c.username_pw_set(*login)
        self.c.on_message = self._on_message
        connected = threading.Event()
        self.c.on_connect = lambda *a: connected.set()
        self.c.connect("127.0.0.1", port)
        self.c.loop_start()
        if not connected.wait(10):
            self.close()
            raise OSError("no connection to the broker")
        if subscribe:
            done = threading.Event()
            self.c.on_subscribe = lambda *a: done.set()
            self.c.subscribe(subscribe, qos=1)
            assert done.wait(10)

    def _on_message(self, client, userdata, msg):
        with self.cond:
            self.messages.append(msg)
            self.cond.notify_all()

    def wait(self, predicate, timeout=20, what="a message"):
        """The first message (since `start`) for which predicate holds."""
        deadline = time.monotonic() + timeout
        with self.cond:
            while True:
                for m in self.messages:
                    if predicate(m):
                        return m
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError(f"not heard: {what}; heard {[m.topic for m in self.messages][-30:]}")
                self.cond.wait(left)

    def on(self, topic):
        with self.cond:
            return [m for m in self.messages if m.topic == topic]

    def clear(self):
        with self.cond:
            self.messages.clear()

    def publish(self, topic, payload, qos=1, retain=False, response=None, correlation=None, expiry=None):
        props = None
        if response or correlation or expiry is not None:
            props = Properties(PacketTypes.PUBLISH)
            if response:
                props.ResponseTopic = response
            if correlation:
                props.CorrelationData = correlation
            if expiry is not None:
                props.MessageExpiryInterval = expiry
        info = self.c.publish(topic, payload, qos=qos, retain=retain, properties=props)
        info.wait_for_publish(10)

    def ask(self, topic, payload, timeout=20):
        """A command with an MQTT 5 response topic under ptzd's reply tree: its answer."""
        reply = f"{BASE}/reply/{uuid.uuid4().hex}"
        correlation = uuid.uuid4().bytes
        self.c.subscribe(reply, qos=1)
        self.publish(topic, payload, response=reply, correlation=correlation)
        m = self.wait(lambda m: m.topic == reply, timeout, f"the answer on {reply}")
        assert m.properties.CorrelationData == correlation
        return json.loads(m.payload)

    def close(self):
        self.c.loop_stop()
        self.c.disconnect()


class Gateway:
    """ptzd with two simulated heads and [mqtt] pointing at `broker`."""

    def __init__(self, broker, mqtt_lines=(), state_dir=None, heads=HEADS, top_lines=()):
        self.sims = [Sim(instant=False) for _ in heads]
        self.http_port = free_port()
        self.dir = state_dir or tempfile.mkdtemp()
        self.config = os.path.join(self.dir, "site.toml")
        lines = [f'http = "127.0.0.1:{self.http_port}"', 'gateway = "site-a"', f'state_dir = "{self.dir}"', *top_lines,
                 "[mqtt]", f'broker = "mqtt://127.0.0.1:{broker.port}"' if broker else "", "state_hz = 10", *mqtt_lines]
        for name, sim in zip(heads, self.sims):
            lines += ["[[head]]", f'name = "{name}"', f'link = "{sim.link}"']
        with open(self.config, "w") as f:
            f.write("\n".join(lines) + "\n")
        self.start()

    def start(self):
        self.log = open(os.path.join(self.dir, "ptzd.log"), "a+")
        self.process = subprocess.Popen([PTZD, "--config", self.config], stderr=self.log)
        deadline = time.monotonic() + 20
        while True:
            try:
                if all(h["up"] for h in self.http("GET", "/api/heads")):
                    return
            except OSError:
                pass
            assert self.process.poll() is None, self.logs()
            assert time.monotonic() < deadline, "ptzd did not come up:\n" + self.logs()
            time.sleep(0.05)

    def restart(self, observer):
        """Stopped and started again; back once it says online again."""
        self.stop()
        observer.clear()
        self.start()
        online(observer)

    def logs(self):
        self.log.flush()
        with open(os.path.join(self.dir, "ptzd.log")) as f:
            return f.read()

    def steps(self, head):
        import urllib.request
        with urllib.request.urlopen(f"http://127.0.0.1:{self.http_port}/api/heads/{head}/GetPTPos", timeout=10) as r:
            return json.loads(r.read())

    def http(self, method, path, body=None):
        import urllib.request
        request = urllib.request.Request(f"http://127.0.0.1:{self.http_port}{path}", method=method,
                                         data=json.dumps(body).encode() if body is not None else None,
                                         headers={"Content-Type": "application/json"})
        with urllib.request.urlopen(request, timeout=10) as r:
            return json.loads(r.read() or b"{}")

    def settle(self, head, pan, tilt, timeout=30):
        deadline = time.monotonic() + timeout
        while self.steps(head) != {"pan": round(pan * 100), "tilt": round(tilt * 100)}:
            assert time.monotonic() < deadline, f"{head} did not get to {pan}, {tilt}: {self.steps(head)}"
            time.sleep(0.02)

    def still(self, head, timeout=30):
        """Where the head rests (read twice alike, the gateway saying still)."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            p = self.http("GET", f"/api/heads/{head}/position")
            if p["known"] and not p["moving"]:
                return self.steps(head)
            time.sleep(0.02)
        raise AssertionError(f"{head} never came to rest")

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            code = self.process.wait(timeout=10)
        else:
            code = self.process.returncode
        return code

    def close(self):
        self.stop()
        for s in self.sims:
            s.stop()


def online(observer):
    return observer.wait(lambda m: m.topic == f"{BASE}/status" and m.payload == b"online", what="status online")


@pytest.fixture(scope="module")
def broker():
    b = Broker()
    yield b
    b.stop()


@pytest.fixture(scope="module")
def rig(broker):
    observer = Client(broker.port)
    g = Gateway(broker)
    online(observer)
    for name in HEADS:
        observer.wait(lambda m, n=name: m.topic == f"{BASE}/{n}/state", what=f"{name}'s state")
    yield g, observer
    observer.close()
    g.close()


@pytest.fixture
def own_broker():
    """A broker of the test's own, for a gateway beside the rig's."""
    b = Broker()
    yield b
    b.stop()


@pytest.fixture
def client(broker):
    c = Client(broker.port, subscribe=None)
    yield c
    c.close()


# ---- commands --------------------------------------------------------------------------

def test_every_command_moves_the_head(rig, client):
    g, observer = rig
    head = f"{BASE}/roof/cmd"
    # Home Assistant's number entities send bare degrees.
    assert "move" in client.ask(f"{head}/pan", "12.5")
    g.settle("roof", 12.5, 0)
    assert "move" in client.ask(f"{head}/tilt", "-4")
    g.settle("roof", 12.5, -4)
    # The HTTP API's move body, absolute and relative (with its id).
    client.ask(f"{head}/move", json.dumps({"kind": "absolute", "pan": -20, "tilt": 5}))
    g.settle("roof", -20, 5)
    client.ask(f"{head}/move", json.dumps({"kind": "relative", "pan": 3, "tilt": -1, "id": uuid.uuid4().hex}))
    g.settle("roof", -17, 4)
    # Presets: stored with a name, recalled by number and by name (as a select sends it).
    assert "move" in client.ask(f"{head}/preset/store", json.dumps({"preset": 4, "name": "gate"}))
    # Home: the head's own (a head without one stored refuses, in its words).
    answer = client.ask(f"{head}/home", "PRESS")
    assert "error" not in answer or answer["status"] == "head failed", answer
    client.ask(f"{head}/move", json.dumps({"kind": "absolute", "pan": 0, "tilt": 0}))
    g.settle("roof", 0, 0)
    client.ask(f"{head}/preset/go", "4")
    g.settle("roof", -17, 4)
    client.ask(f"{head}/pan", "30")
    g.settle("roof", 30, 4)
    client.ask(f"{head}/preset/go", "gate")
    g.settle("roof", -17, 4)
    # A continuous move on its lease, then its stop.
    answer = client.ask(f"{head}/move", json.dumps({"kind": "continuous", "pan": 0.3, "tilt": 0, "timeout": 5}))
    assert answer["lease"] > 0
    deadline = time.monotonic() + 10
    while g.steps("roof")["pan"] <= -1600:
        assert time.monotonic() < deadline, "the continuous move did not start"
        time.sleep(0.02)
    assert "move" in client.ask(f"{head}/stop", "PRESS")
    held = g.still("roof")
    assert -1600 < held["pan"] < 17000
    # Frigate's words.
    client.ask(f"{head}/frigate", "preset_gate")
    g.settle("roof", -17, 4)
    answer = client.ask(f"{head}/frigate", "MOVE_RIGHT")
    assert answer["lease"] > 0
    deadline = time.monotonic() + 10
    while g.steps("roof")["pan"] <= -1600:
        assert time.monotonic() < deadline, "MOVE_RIGHT did not move"
        time.sleep(0.02)
    client.ask(f"{head}/frigate", "STOP")
    g.still("roof")
    # Infrared, as HA's switch sends it.
    assert "move" in client.ask(f"{head}/ir", "ON")
    observer.wait(lambda m: m.topic == f"{BASE}/roof/event" and json.loads(m.payload)["event_type"] == "infrared_changed",
                  what="the infrared event")
    # The gateway's group move: both heads at once.
    answer = client.ask(f"{BASE}/cmd/moves", json.dumps({"moves": [{"head": "roof", "pan": 6}, {"head": "yard.east", "pan": -6}]}))
    assert [m["status"] for m in answer["moves"]] == ["ok", "ok"], answer
    g.settle("yard.east", -6, 0)
    g.settle("roof", 6, 4)


def test_tours_start_pause_and_stop(rig, client):
    g, _ = rig
    tour = {"loop": True, "steps": [{"pan": 8, "tilt": 0, "dwell": 0}, {"pan": -8, "tilt": 0, "dwell": 0}]}
    g.http("PUT", "/api/heads/yard.east/tours/sweep", tour)
    head = f"{BASE}/yard.east/cmd"
    assert "error" not in client.ask(f"{head}/tour/start", "sweep")
    deadline = time.monotonic() + 10
    while g.http("GET", "/api/heads/yard.east/tours")["current"]["state"] != "running":
        assert time.monotonic() < deadline
        time.sleep(0.02)
    assert "error" not in client.ask(f"{head}/tour/pause", "")
    assert g.http("GET", "/api/heads/yard.east/tours")["current"]["state"] == "paused"
    assert "error" not in client.ask(f"{head}/tour/stop", "")
    assert g.http("GET", "/api/heads/yard.east/tours")["current"]["state"] == "idle"
    assert client.ask(f"{head}/tour/stop", "")["error"] == "no tour is running"


BAD_COMMANDS = [
    ("roof/cmd/pan", "left", "takes a number"),
    ("roof/cmd/pan", "NaN", "takes a number"),
    ("roof/cmd/move", json.dumps({"kind": "absolute", "pan": 1, "colour": "red"}), "unknown argument"),
    ("roof/cmd/move", json.dumps({"kind": "relative", "pan": 1}), "needs an \"id\""),
    ("roof/cmd/move", "[1, 2]", "JSON object"),
    ("roof/cmd/preset/go", "17", "1 to 16"),
    ("roof/cmd/preset/go", "nowhere", "no preset named"),
    ("roof/cmd/ir", "maybe", "ON or OFF"),
    ("roof/cmd/frigate", "ZOOM_IN", "not a PTZ command"),
    ("roof/cmd/fly", "1", "no command"),
    ("attic/cmd/stop", "", "no head named"),
    ("cmd/stop", "", "the gateway takes cmd/moves"),
    ("roof/cmd/moves", json.dumps({"moves": [{"head": "roof", "pan": 1}]}), "the gateway's"),
    ("roof/cmd/move", json.dumps({"kind": 1, "pan": 1}), "kind"),
    ("roof/cmd/preset/go", "4294967298", "1 to 16"),
    ("roof/cmd/preset/store", "4294967297", "1 to 16"),
    ("roof/cmd/move", json.dumps({"kind": "absolute", "pan": 1, "sent": 1e308}), "too old"),
]


@pytest.mark.parametrize("topic,payload,why", BAD_COMMANDS)
def test_bad_commands_are_refused_with_a_reason_before_anything_moves(rig, client, topic, payload, why):
    g, _ = rig
    before = g.steps("roof")
    answer = client.ask(f"{BASE}/{topic}", payload)
    assert why in answer["error"], answer
    assert g.steps("roof") == before


# ---- state, events, discovery -------------------------------------------------------------

def test_state_link_and_events_are_published(rig, client, broker):
    g, observer = rig
    observer.clear()
    client.ask(f"{BASE}/yard.east/cmd/pan", "9")
    finished = observer.wait(lambda m: m.topic == f"{BASE}/yard.east/event" and json.loads(m.payload)["type"] == "move_finished",
                             what="move_finished")
    assert not finished.retain and json.loads(finished.payload)["event_type"] == "move_finished"
    # The state settles on the head's position, retained.
    state = observer.wait(lambda m: m.topic == f"{BASE}/yard.east/state" and json.loads(m.payload)["pan"] == 9
                          and not json.loads(m.payload)["moving"], what="the state at rest")
    body = json.loads(state.payload)
    assert body["known"] and body["link"] and body["steps"] == g.steps("yard.east")
    # A new subscriber gets the retained state, link and status at once.
    late = Client(broker.port, subscribe=f"{BASE}/#")
    try:
        late.wait(lambda m: m.topic == f"{BASE}/yard.east/state" and m.retain)
        late.wait(lambda m: m.topic == f"{BASE}/yard.east/link" and m.retain and m.payload == b"online")
        late.wait(lambda m: m.topic == f"{BASE}/status" and m.retain and m.payload == b"online")
    finally:
        late.close()


def check_discovery(topic, config, heads):
    """Home Assistant's rules for a device-based discovery message, checked
    here: ids in HA's characters, the required keys per platform, ranges,
    options, availability."""
    import re
    parts = topic.split("/")
    assert parts[0] == "homeassistant" and parts[1] == "device" and parts[-1] == "config", topic
    assert all(re.fullmatch(r"[a-zA-Z0-9_-]+", p) for p in parts[2:-1]), topic
    assert config["o"]["name"]
    dev = config["dev"]
    assert dev["ids"] and all(isinstance(i, str) for i in dev["ids"])
    required = {"number": {"cmd_t"}, "button": {"cmd_t"}, "select": {"cmd_t", "ops"}, "binary_sensor": {"stat_t"},
                "switch": {"cmd_t"}, "event": {"stat_t", "evt_typ"}}
    uids = set()
    for key, c in config["cmps"].items():
        assert re.fullmatch(r"[a-zA-Z0-9_-]+", key)
        p = c["p"]
        assert p in required, p
        assert required[p] <= set(c), (key, c)
        assert "object_id" not in c and "obj_id" not in c
        assert re.fullmatch(rf"{p}\.[a-z0-9_]+", c["default_entity_id"]), c["default_entity_id"]
        assert c["uniq_id"] not in uids
        uids.add(c["uniq_id"])
        if p == "number":
            assert c["min"] < c["max"] and c["step"] >= 0.001
        if p == "select":
            assert c["ops"] and len(set(c["ops"])) == len(c["ops"])
        if p == "event":
            assert c["evt_typ"]
        for a in c.get("avty", config.get("avty", [])):
            assert a["t"].startswith(BASE + "/")
    if "avty" in config:
        assert config["avty_mode"] in ("all", "any", "latest")
    return uids


def test_home_assistant_discovery_and_its_birth_message(rig, client, broker):
    g, observer = rig
    g.http("POST", "/api/heads/yard.east/presets/2", {"name": "door"})
    configs = {}
    ha = Client(broker.port, subscribe="homeassistant/device/#")  # the retained configurations, as HA gets them
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        for m in list(ha.messages):
            if m.topic.startswith("homeassistant/device/") and m.payload:
                configs[m.topic] = json.loads(m.payload)
        yard = next((c for t, c in configs.items() if t.endswith("__yard_2Eeast/config")), None)
        if yard and "preset_2" in yard["cmps"]:
            break
        time.sleep(0.05)
    ha.close()
    assert len(configs) == 3, list(configs)  # the hub and its two heads
    uids = set()
    for topic, config in configs.items():
        found = check_discovery(topic, config, HEADS)
        assert not (found & uids)
        uids |= found
    hub = next(c for t, c in configs.items() if t == "homeassistant/device/ptzd__site-a/config")
    yard = next(c for t, c in configs.items() if t.endswith("__yard_2Eeast/config"))
    assert yard["dev"]["via_device"] == hub["dev"]["ids"][0]
    assert yard["cmps"]["preset"]["ops"] == ["door"] and yard["cmps"]["preset_2"]["pl_prs"] == "2"
    # The sliders cover the head's range: a state outside it HA would ignore.
    assert (yard["cmps"]["pan"]["min"], yard["cmps"]["pan"]["max"]) == (-170, 170)
    assert {a["t"] for a in yard["avty"]} == {f"{BASE}/status", f"{BASE}/yard.east/link"}
    # HA's birth message: everything again (after up to 5 s).
    observer.clear()
    client.publish("homeassistant/status", "online")
    observer.wait(lambda m: m.topic.startswith("homeassistant/device/") and m.topic.endswith("__roof/config"), timeout=20)
    # Slider and button as HA sends them: a bare number, the button's payload.
    client.publish(yard["cmps"]["pan"]["cmd_t"], "0")
    g.settle("yard.east", 0, 0)
    client.publish(yard["cmps"]["preset_2"]["cmd_t"], yard["cmps"]["preset_2"]["pl_prs"])
    g.settle("yard.east", 9, 0)


# ---- safety ------------------------------------------------------------------------------

def test_a_retained_command_never_moves_a_head(rig, client, broker):
    g, observer = rig
    before = g.still("roof")
    reply = f"{BASE}/reply/{uuid.uuid4().hex}"
    client.c.subscribe(reply, qos=1)
    client.publish(f"{BASE}/roof/cmd/pan", "77", retain=True, response=reply)
    answer = json.loads(client.wait(lambda m: m.topic == reply).payload)
    assert "retained" in answer["error"]
    # And a gateway that starts later is not handed it either (nor moves).
    subprocess.run(["mosquitto_pub", "-h", "127.0.0.1", "-p", str(broker.port), "-t", f"{BASE}/roof/cmd/tilt", "-m", "-30",
                    "-r", "-q", "1"], check=True, timeout=10)
    g.restart(observer)
    assert g.still("roof") == before
    for topic in (f"{BASE}/roof/cmd/pan", f"{BASE}/roof/cmd/tilt"):  # clear what was retained
        client.publish(topic, b"", retain=True)


def test_a_command_sent_while_ptzd_was_away_is_not_replayed(rig, broker):
    g, observer = rig
    before = g.still("roof")
    g.stop()
    # QoS 1 to a gateway that is not there: a persistent session would
    # hand it over at the reconnection as if it were live.
    subprocess.run(["mosquitto_pub", "-h", "127.0.0.1", "-p", str(broker.port), "-t", f"{BASE}/roof/cmd/pan", "-m", "55",
                    "-q", "1"], check=True, timeout=10)
    observer.clear()
    g.start()
    online(observer)
    observer.wait(lambda m: m.topic == f"{BASE}/roof/state", what="the state after the restart")
    assert g.still("roof") == before


def test_stale_and_expired_commands_are_refused(rig, client):
    g, _ = rig
    before = g.still("roof")
    answer = client.ask(f"{BASE}/roof/cmd/move", json.dumps({"kind": "absolute", "pan": 40, "sent": time.time() - 3600}))
    assert "too old" in answer["error"]
    assert g.steps("roof") == before
    # A fresh one with its time is taken.
    client.ask(f"{BASE}/roof/cmd/move", json.dumps({"kind": "absolute", "pan": 2, "sent": time.time()}))
    g.settle("roof", 2, before["tilt"] / 100)


def test_a_repeated_relative_move_moves_once(rig, client):
    g, _ = rig
    start = g.still("roof")
    body = json.dumps({"kind": "relative", "pan": 2, "id": "step-" + uuid.uuid4().hex})
    client.ask(f"{BASE}/roof/cmd/move", body)
    client.publish(f"{BASE}/roof/cmd/move", body)  # QoS 1's duplicate
    # Then a different move: once it is done, the repeat had its chance.
    client.ask(f"{BASE}/roof/cmd/tilt", "1")
    g.settle("roof", start["pan"] / 100 + 2, 1)
    assert g.still("roof")["pan"] == start["pan"] + 200


def test_a_foreign_reply_topic_is_never_published_to(rig, client, broker):
    g, observer = rig
    g.still("roof")
    observer.clear()
    client.publish(f"{BASE}/roof/cmd/pan", "33", response="victim/inbox")
    # A later command with a proper reply: by its answer the first was dealt with.
    answer = client.ask(f"{BASE}/roof/cmd/move", json.dumps({"kind": "absolute", "pan": 0, "tilt": 0}))
    assert "error" not in answer, answer
    g.settle("roof", 0, 0)
    assert not [m for m in observer.messages if m.topic.startswith("victim/")]
    started = [json.loads(m.payload) for m in observer.on(f"{BASE}/roof/event")]
    assert not [e for e in started if e["type"] == "move_started" and e.get("pan") == 33], started


def test_a_flood_of_targets_ends_at_the_newest_and_is_capped(rig, client):
    g, _ = rig
    g.still("roof")
    for i in range(200):
        client.publish(f"{BASE}/roof/cmd/pan", str(-10 - i * 0.1), qos=0)
    # Beyond the cap a target is answered busy; a stop never is.
    assert "busy" in client.ask(f"{BASE}/roof/cmd/pan", "-25")["error"]
    assert "error" not in client.ask(f"{BASE}/roof/cmd/stop", "")
    # Once the second is over, the newest target is taken and reached.
    deadline = time.monotonic() + 10
    while "error" in client.ask(f"{BASE}/roof/cmd/pan", "-25"):
        assert time.monotonic() < deadline, "still busy"
    g.settle("roof", -25, g.steps("roof")["tilt"] / 100)
    import urllib.request
    with urllib.request.urlopen(f"http://127.0.0.1:{g.http_port}/metrics", timeout=10) as r:
        metrics = r.read().decode()
    assert 'ptzd_mqtt_refused_total{reason="busy"}' in metrics


def test_the_broker_going_away_and_coming_back(rig, broker):
    g, observer = rig
    observer.close()
    broker.stop()
    broker.start()
    watcher = Client(broker.port)
    try:
        online(watcher)
        watcher.wait(lambda m: m.topic == f"{BASE}/roof/state", what="the state again")
        # Commands are taken again.
        c = Client(broker.port, subscribe=None)
        try:
            c.ask(f"{BASE}/roof/cmd/pan", "4")
            g.settle("roof", 4, g.steps("roof")["tilt"] / 100)
        finally:
            c.close()
    finally:
        watcher.close()


def test_a_clean_stop_says_offline_and_sigterm_never_waits_for_the_broker(own_broker):
    broker = own_broker  # not the rig's: a second gateway of the same name would take its session
    observer = Client(broker.port, subscribe="ptzd/site-a/status")
    g = Gateway(broker)
    try:
        online(observer)
        observer.clear()
        assert g.stop() == 0
        observer.wait(lambda m: m.payload == b"offline", what="offline")
        # and it stays: a new subscriber is told so.
        late = Client(broker.port, subscribe="ptzd/site-a/status")
        try:
            late.wait(lambda m: m.payload == b"offline" and m.retain, what="offline, retained")
        finally:
            late.close()
        # With the broker unreachable (a port nobody listens on) ptzd still
        # stops by itself, cleanly (a forced exit would return 1).
        with open(g.config) as f:
            text = f.read()
        with open(g.config, "w") as f:
            f.write(text.replace(f"127.0.0.1:{broker.port}", f"127.0.0.1:{free_port()}"))
        g.start()
        deadline = time.monotonic() + 20
        while "trying again" not in g.logs():
            assert time.monotonic() < deadline
            time.sleep(0.05)
        assert g.stop() == 0
    finally:
        observer.close()
        g.close()


def test_a_head_removed_from_the_configuration_is_removed_from_home_assistant(own_broker):
    broker = own_broker  # not the rig's: a second gateway of the same name would take its session
    state = tempfile.mkdtemp()
    g = Gateway(broker, state_dir=state)
    ha = Client(broker.port, subscribe="homeassistant/device/#")
    try:
        ha.wait(lambda m: m.topic.endswith("__yard_2Eeast/config") and m.payload, what="yard.east's configuration")
        g.close()
        # The same gateway, yard.east gone from its file.
        g = Gateway(broker, state_dir=state, heads=["roof"])
        ha.wait(lambda m: m.topic.endswith("__yard_2Eeast/config") and m.payload == b"" and not m.retain,
                what="yard.east's configuration emptied")
        late = Client(broker.port, subscribe="homeassistant/device/#")
        try:
            late.wait(lambda m: m.topic.endswith("__roof/config") and m.retain)
            assert not [m for m in late.messages if "yard" in m.topic]  # nothing retained for it any more
        finally:
            late.close()
    finally:
        ha.close()
        g.close()


def test_mqtt_3_1_1_clients_name_their_reply_in_the_body(own_broker):
    broker = own_broker  # not the rig's: a second gateway of the same name would take its session
    g = Gateway(broker, mqtt_lines=['protocol = "3.1.1"'], heads=["roof"])
    watcher = Client(broker.port)
    try:
        online(watcher)
        watcher.wait(lambda m: m.topic == f"{BASE}/roof/state")
        run = subprocess.run(["mosquitto_rr", "-h", "127.0.0.1", "-p", str(broker.port), "-V", "311", "-t", f"{BASE}/roof/cmd/move",
                              "-e", f"{BASE}/reply/rr", "-W", "20",
                              "-m", json.dumps({"kind": "absolute", "pan": 7, "reply": "rr"})],
                             capture_output=True, text=True, timeout=30)
        assert run.returncode == 0, run.stderr
        assert json.loads(run.stdout)["pan"] == 7
        g.settle("roof", 7, 0)
        # A retained command left for a gateway that starts later is handed
        # over at its subscription with RETAIN set, and refused. (To a client
        # subscribed already, 3.1.1 forwards a retained publish as a live
        # one: nothing can tell them apart there.)
        g.stop()
        subprocess.run(["mosquitto_pub", "-h", "127.0.0.1", "-p", str(broker.port), "-V", "311", "-t", f"{BASE}/roof/cmd/pan",
                        "-m", "60", "-r"], check=True, timeout=10)
        g.restart(watcher)
        assert g.still("roof") == {"pan": 700, "tilt": 0}
        subprocess.run(["mosquitto_pub", "-h", "127.0.0.1", "-p", str(broker.port), "-t", f"{BASE}/roof/cmd/pan", "-n", "-r"],
                       check=True, timeout=10)
    finally:
        watcher.close()
        g.close()


def test_tls_a_password_and_the_brokers_acl_decide_who_may_do_what():
    """A site gateway over TLS (a CA of the test's own) with a password from
    a file, a viewer that may only read, a control room that may command."""
    import pathlib
    # Readable by mosquitto, which drops to its own user when started as root.
    work = tempfile.TemporaryDirectory()
    d = pathlib.Path(work.name)
    os.chmod(d, 0o755)

    def run(*args):
        subprocess.run(args, check=True, capture_output=True, timeout=60, cwd=d)
    ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    run("openssl", "req", "-x509", *ec, "-keyout", "ca.key", "-out", "ca.crt", "-days", "2", "-subj", "/CN=ptz test CA")
    run("openssl", "req", *ec, "-keyout", "server.key", "-out", "server.csr", "-subj", "/CN=127.0.0.1")
    (d / "san.ext").write_text("subjectAltName=IP:127.0.0.1\n")
    run("openssl", "x509", "-req", "-in", "server.csr", "-CA", "ca.crt", "-CAkey", "ca.key", "-CAcreateserial",
        "-out", "server.crt", "-days", "2", "-extfile", "san.ext")
    run("mosquitto_passwd", "-b", "-c", "passwords", "site-a", "gateway-secret")
    run("mosquitto_passwd", "-b", "passwords", "viewer", "viewer-secret")
    run("mosquitto_passwd", "-b", "passwords", "control", "control-secret")
    (d / "acl").write_text("user site-a\ntopic readwrite ptzd/site-a/#\ntopic write homeassistant/device/#\n"
                           "topic read homeassistant/status\n\nuser viewer\ntopic read ptzd/#\n\n"
                           "user control\ntopic readwrite ptzd/#\n")
    (d / "gateway.password").write_text("gateway-secret\n")
    for f in d.iterdir():
        os.chmod(f, 0o644)
    tls_port = free_port()
    broker = Broker(extra=f"allow_anonymous false\npassword_file {d}/passwords\nacl_file {d}/acl\n"
                          f"listener {tls_port} 127.0.0.1\ncafile {d}/ca.crt\ncertfile {d}/server.crt\nkeyfile {d}/server.key\n",
                    anonymous=False)

    g = Gateway(None, mqtt_lines=[f'broker = "mqtts://127.0.0.1:{tls_port}"', f'ca_file = "{d}/ca.crt"', 'user = "site-a"',
                                  f'password_file = "{d}/gateway.password"'], heads=["roof"])
    viewer = Client(broker.port, subscribe="ptzd/#", login=("viewer", "viewer-secret"))
    control = Client(broker.port, subscribe=None, login=("control", "control-secret"))
    try:
        viewer.wait(lambda m: m.topic == f"{BASE}/roof/state", what="the state, over TLS")
        # The viewer's command never reaches the gateway: the ACL refuses it.
        viewer.publish(f"{BASE}/roof/cmd/pan", "50")
        answer = control.ask(f"{BASE}/roof/cmd/pan", "5")
        assert answer["pan"] == 5
        g.settle("roof", 5, 0)
        assert not [m for m in viewer.on(f"{BASE}/roof/event") if json.loads(m.payload).get("pan") == 50]
    finally:
        viewer.close()
        control.close()
        g.close()
        broker.stop()
        work.cleanup()


def test_a_site_bridged_to_a_central_broker_never_moves_late_after_an_outage():
    """A control room on a central broker, a site broker bridged to it with
    its commands at QoS 0 on a clean session: the commands sent while the
    site was cut off are not delivered when it is back."""
    central = Broker()
    site = Broker(extra=f"connection central\naddress 127.0.0.1:{central.port}\ncleansession true\nrestart_timeout 1\n"
                        "topic ptzd/site-a/+/cmd/# in 0\ntopic ptzd/site-a/cmd/# in 0\n"
                        "topic ptzd/site-a/status out 1\ntopic ptzd/site-a/+/state out 0\ntopic ptzd/site-a/+/event out 0\n"
                        "topic ptzd/site-a/reply/# out 0\n")
    g = Gateway(site, heads=["roof"])
    room = Client(central.port)

    def ask(pan):
        # Over the bridge (MQTT 3.1.1) a reply topic travels in the body.
        reply = uuid.uuid4().hex
        room.publish(f"{BASE}/roof/cmd/move", json.dumps({"kind": "absolute", "pan": pan, "reply": reply}))
        return json.loads(room.wait(lambda m: m.topic == f"{BASE}/reply/{reply}", timeout=5).payload)

    try:
        # Once the bridge carries the commands (its subscription is up when an answer comes back).
        deadline = time.monotonic() + 60
        while True:
            try:
                assert ask(10)["pan"] == 10
                break
            except AssertionError:
                assert time.monotonic() < deadline, "the bridge never carried a command"
        g.settle("roof", 10, 0)
        # The uplink goes down (the site broker with it); the control room sends anyway.
        site.stop()
        room.publish(f"{BASE}/roof/cmd/pan", "40", qos=1)
        room.clear()
        site.start()
        deadline = time.monotonic() + 60
        while True:
            try:
                assert ask(12)["pan"] == 12
                break
            except AssertionError:
                assert time.monotonic() < deadline, "the bridge never came back"
        g.settle("roof", 12, 0)
        moves = [json.loads(m.payload) for m in room.messages if m.topic == f"{BASE}/roof/event"]
        assert not [e for e in moves if e["type"] == "move_started" and e.get("pan") == 40], moves
    finally:
        room.close()
        g.close()
        site.stop()
        central.stop()


def test_mqtt_js_moves_a_head(rig, broker):
    """npm mqtt (MQTT.js), installed by the test script: MQTT 5 with a
    response topic and correlation data."""
    g, _ = rig
    modules = os.path.join(os.environ.get("ONVIF_NPM", ""), "node_modules")
    if not os.path.isdir(os.path.join(modules, "mqtt")) or not shutil.which("node"):
        pytest.skip("npm mqtt is not installed (scripts/test.sh installs it)")
    run = subprocess.run(["node", os.path.join(os.path.dirname(__file__), "mqtt_js.js"), modules, str(broker.port), BASE,
                          "yard.east", "-13"], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    out = json.loads(run.stdout)
    assert out["correlated"] and out["answer"]["pan"] == -13
    g.settle("yard.east", -13, g.steps("yard.east")["tilt"] / 100)


def test_sigterm_with_a_broker_that_never_answers(own_broker):
    broker = own_broker  # not the rig's: a second gateway of the same name would take its session
    """A broker that takes the connection and then says nothing (half
    open): ptzd still stops cleanly by itself."""
    silent = socket.socket()
    silent.bind(("127.0.0.1", 0))
    silent.listen(8)
    g = Gateway(broker, mqtt_lines=[], heads=["roof"])
    try:
        with open(g.config) as f:
            text = f.read()
        g.stop()
        with open(g.config, "w") as f:
            f.write(text.replace(f"127.0.0.1:{broker.port}", f"127.0.0.1:{silent.getsockname()[1]}"))
        g.start()
        conn, _ = silent.accept()  # ptzd is connected, waiting for a CONNACK that never comes
        assert g.stop() == 0
        conn.close()
    finally:
        silent.close()
        g.close()


def test_a_stop_overtakes_what_waits_for_a_slow_head(rig, client):
    g, _ = rig
    g.still("roof")
    sim = g.sims[0]
    sim.control("faults delay=1500")  # every exchange with the head now takes 1.5 s
    try:
        replies = []
        # Three commands no newer target replaces: the first is in hand, the
        # other two wait for it.
        for topic, payload in (("pan", "20"), ("tilt", "3"),
                               ("move", json.dumps({"kind": "relative", "pan": 1, "id": uuid.uuid4().hex}))):
            reply = f"{BASE}/reply/{uuid.uuid4().hex}"
            client.c.subscribe(reply, qos=1)
            client.publish(f"{BASE}/roof/cmd/{topic}", payload, response=reply)
            replies.append(reply)
        answer = client.ask(f"{BASE}/roof/cmd/stop", "")
        assert "error" not in answer or answer["status"] == "head failed", answer
        # What still waited behind the head's slow exchange was never sent.
        told = [json.loads(client.wait(lambda m, r=r: m.topic == r, timeout=30).payload) for r in replies]
        assert [t for t in told if t.get("error") == "stopped before it was sent"], told
    finally:
        sim.control("faults")
    g.still("roof")
