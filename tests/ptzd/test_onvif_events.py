"""ptzd's ONVIF Events service: npm onvif's pull-point client receives the
move and preset events of moves made through the HTTP API; pull points in
order, filtered, capped, expiring and bounded for a client that never
pulls; long polls capped; the delay from the head settling to PullMessages
delivering its move-finished event."""
import json
import os
import re
import shutil
import statistics
import subprocess
import threading
import time
import urllib.request

import pytest

from onvif_soap import NS, PATHS, validate
from test_onvif import HERE, OnvifGateway, fault_codes, node_modules, token, wait_for  # noqa: F401

LIMIT = 8  # pull points per head
QUEUE = 128  # events kept per pull point


def call(g, service, operation, inner="", path=None):
    body = (f'<s:Envelope xmlns:s="http://www.w3.org/2003/05/soap-envelope" xmlns:tt="http://www.onvif.org/ver10/schema">'
            f'<s:Header>{token(g.user, g.password)}</s:Header><s:Body>'
            f'<x:{operation} xmlns:x="{NS[service]}">{inner}</x:{operation}></s:Body></s:Envelope>')
    return g.post(body.encode(), path or PATHS.get(service, "/onvif/events_service"))


def subscribe(g, inner=""):
    status, answer = call(g, "tev", "CreatePullPointSubscription", inner)
    assert status == 200, answer
    validate(answer)
    return re.search(r"<wsa:Address>http://[^/]+(/[^<]+)</wsa:Address>", answer).group(1)


def pull(g, address, timeout="PT5S", limit=100):
    status, answer = call(g, "tev", "PullMessages", f"<x:Timeout>{timeout}</x:Timeout><x:MessageLimit>{limit}</x:MessageLimit>",
                          path=address)
    return status, answer


def messages(answer):
    """(topic, {item: value}) of each notification, in order."""
    out = []
    for m in re.finditer(r"<wsnt:Topic[^>]*>tns1:([^<]+)</wsnt:Topic>(.*?)</wsnt:NotificationMessage>", answer):
        out.append((m.group(1), dict(re.findall(r'<tt:SimpleItem Name="([^"]+)" Value="([^"]*)"', m.group(2)))))
    return out


def drain(g, address):
    """Pulls until nothing is left (a new pull point starts with every
    property's state)."""
    while messages(pull(g, address, "PT0S")[1]):
        pass


def api(g, path, body):
    request = urllib.request.Request(f"http://127.0.0.1:{g.http_port}/api/heads/roof/{path}", data=json.dumps(body).encode(),
                                     method="POST", headers={"Content-Type": "application/json"})
    with urllib.request.urlopen(request, timeout=10) as r:
        return json.loads(r.read() or b"{}")


def collect(g, address, until, deadline=30):
    got = []
    end = time.time() + deadline
    while time.time() < end:
        status, answer = pull(g, address)
        assert status == 200, answer
        got += messages(answer)
        if until(got):
            return got
    raise AssertionError(f"not seen in time: {got}")


@pytest.fixture
def g(tmp_path):
    gateway = OnvifGateway(tmp_path)
    yield gateway
    gateway.close()


def test_npm_onvif_receives_the_move_and_preset_events(g, node_modules):  # noqa: F811
    if not shutil.which("node"):
        pytest.skip("node is not installed")
    client = subprocess.Popen(["node", os.path.join(HERE, "onvif_events.js"), "127.0.0.1", str(g.onvif_port), g.user,
                               g.password], stdout=subprocess.PIPE, text=True, env={**os.environ, "NODE_PATH": node_modules})
    try:
        # The properties' states may come before the word that it subscribed.
        early = []
        for line in client.stdout:
            if json.loads(line) == {"subscribed": True}:
                break
            early.append(json.loads(line))
        assert all(x["topic"].startswith(("Device/", "Monitoring/")) for x in early), early
        api(g, "presets/3", {"name": "gate"})
        api(g, "move", {"kind": "absolute", "pan": 10})
        lines = []
        for line in client.stdout:
            lines.append(json.loads(line))
            if any(x.get("topic") == "PTZController/PTZMove/Finished" for x in lines):
                break
        api(g, "presets/3/go", {})
        lines += [json.loads(line) for line in client.stdout]
        assert client.wait(timeout=60) == 0, lines
    finally:
        if client.poll() is None:
            client.kill()
            client.wait()
    topics = [x["topic"] for x in lines]
    assert topics.index("PTZController/PTZMove/Started") < topics.index("PTZController/PTZMove/Finished")
    finished = next(x["data"] for x in lines if x["topic"] == "PTZController/PTZMove/Finished")
    assert abs(float(finished["Pan"]) - 10) < 0.5 and finished["Move"] == "absolute"
    reached = next(x["data"] for x in lines if x["topic"] == "PTZController/PTZPresets/Reached")
    assert str(reached["PresetToken"]) == "3"


def test_events_arrive_in_order_and_the_filter_holds(g):
    everything = subscribe(g)
    presets = subscribe(g, '<x:Filter><wsnt:TopicExpression xmlns:wsnt="http://docs.oasis-open.org/wsn/b-2" '
                           'xmlns:tns1="http://www.onvif.org/ver10/topics" '
                           'Dialect="http://www.onvif.org/ver10/tev/topicExpression/ConcreteSet">'
                           'tns1:PTZController/PTZPresets//.</wsnt:TopicExpression></x:Filter>')
    api(g, "presets/2", {"name": "door"})
    for pan in (5, -5, 8):
        api(g, "move", {"kind": "absolute", "pan": pan})
    api(g, "presets/2/go", {})
    got = collect(g, everything, lambda got: any(t == "PTZController/PTZPresets/Reached" for t, _ in got))
    got = [(t, d) for t, d in got if t.startswith("PTZController/")]  # not the properties
    # In order; one event may make several notifications (a preset move's
    # Invoked and its Started), each told once.
    sequences = [int(d["Sequence"]) for _, d in got]
    assert sequences == sorted(sequences) and len(set(got_keys := [(t, d["Sequence"]) for t, d in got])) == len(got_keys)
    assert [t for t, _ in got].count("PTZController/PTZMove/Started") >= 3
    # The filtered one: the preset event and nothing of the moves before it.
    only = collect(g, presets, lambda got: any(t.endswith("Reached") for t, _ in got))
    assert [t for t, _ in only] == ["PTZController/PTZPresets/Invoked", "PTZController/PTZPresets/Reached"]
    assert [d["PresetName"] for _, d in only] == ["door", "door"]
    # A filter outside the ONVIF topics is refused.
    status, answer = call(g, "tev", "CreatePullPointSubscription",
                          '<x:Filter><wsnt:TopicExpression xmlns:wsnt="http://docs.oasis-open.org/wsn/b-2" xmlns:o="urn:other" '
                          'Dialect="http://www.onvif.org/ver10/tev/topicExpression/ConcreteSet">o:Thing</wsnt:TopicExpression>'
                          '</x:Filter>')
    assert status == 400 and "ter:InvalidArgVal" in fault_codes(answer)


def test_pull_points_are_capped_expire_and_are_reclaimed(g):
    points = [subscribe(g) for _ in range(LIMIT)]
    status, answer = call(g, "tev", "CreatePullPointSubscription")
    assert status == 500 and fault_codes(answer)[1:] == ["ter:Action", "ter:OutofResources"]
    validate(answer)
    # Unsubscribing one makes room; the one that expires makes room too.
    status, answer = call(g, "wsnt", "Unsubscribe", path=points[0])
    assert status == 200
    validate(answer)
    assert pull(g, points[0], "PT0S")[0] == 400
    short = subscribe(g, "<x:InitialTerminationTime>PT1S</x:InitialTerminationTime>")
    wait_for(lambda: pull(g, short, "PT0S")[0] == 400)
    subscribe(g)
    # Renew keeps one alive past its first termination time.
    renewed = points[1]
    status, answer = call(g, "wsnt", "Renew", "<x:TerminationTime>PT600S</x:TerminationTime>", path=renewed)
    assert status == 200, answer
    validate(answer)
    assert pull(g, renewed, "PT0S")[0] == 200


def test_a_client_that_never_pulls_keeps_only_the_newest_events(g):
    idle = subscribe(g)
    for i in range(QUEUE + 1):  # each move: a started event at least
        api(g, "move", {"kind": "absolute", "pan": -10 + (i % 20)})
    status, answer = pull(g, idle, "PT0S", 1000)
    got = messages(answer)
    # At most 100 an answer, whatever MessageLimit asks; then the rest of a
    # full queue (and what the last move adds as it ends, its status flags
    # too), the oldest gone. The properties' five states came first.
    assert status == 200 and len(got) == 100
    # (The status flags are among them once the head has been read.)
    topics = [t for t, _ in got]
    properties = topics[:topics.index("Monitoring/OperatingTime/LastReboot") + 1]
    assert properties in (["Monitoring/OperatingTime/LastReboot"],
                          ["Device/Trigger/DigitalInput"] * 4 + ["Monitoring/OperatingTime/LastReboot"]), properties
    rest = messages(pull(g, idle, "PT0S", 1000)[1])
    assert QUEUE - 100 + len(properties) <= len(rest) <= QUEUE - 100 + len(properties) + 4
    assert int(next(d for _, d in got[len(properties):] if "Sequence" in d)["Sequence"]) > 2


def test_long_polls_are_capped_the_rest_answered_at_once(g):
    points = [subscribe(g) for _ in range(6)]
    for p in points:
        drain(g, p)
    done = []

    def poll(address):
        done.append((address, pull(g, address, "PT50S")[0]))
    threads = [threading.Thread(target=poll, args=(p,)) for p in points]
    for t in threads:
        t.start()
    # Four wait; the two beyond them are answered without waiting.
    wait_for(lambda: len(done) >= 2)
    assert len(done) == 2 and all(status == 200 for _, status in done)
    # A move releases the waiting ones with its events.
    api(g, "move", {"kind": "absolute", "pan": 3})
    for t in threads:
        t.join(timeout=60)
    assert len(done) == 6 and all(status == 200 for _, status in done)


def test_move_finished_delivery_after_the_head_settles(g):
    """The figure: the head's own position read in a loop (the head settled
    once it reads the target) against the moment PullMessages answers with
    the move-finished event."""
    address = subscribe(g, '<x:Filter><wsnt:TopicExpression xmlns:wsnt="http://docs.oasis-open.org/wsn/b-2" '
                           'xmlns:tns1="http://www.onvif.org/ver10/topics" '
                           'Dialect="http://www.onvif.org/ver10/tev/topicExpression/ConcreteSet">'
                           'tns1:PTZController/PTZMove/Finished</wsnt:TopicExpression></x:Filter>')
    delays = []
    for n, pan in enumerate([6, -6, 9, -9, 4, -4, 7]):
        pull(g, address, "PT0S")  # nothing left over
        settled = {}

        def watch(target=round(pan / 0.01)):
            while not settled:
                if g.head()["pan"] == target:
                    settled["at"] = time.monotonic()
        api(g, "move", {"kind": "absolute", "pan": pan})
        watcher = threading.Thread(target=watch)
        watcher.start()
        got = []
        while not any(t.endswith("Finished") for t, _ in got):
            status, answer = pull(g, address, "PT20S", 1)
            got += messages(answer)
        arrived = time.monotonic()
        watcher.join(timeout=30)
        if "at" in settled:
            delays.append((arrived - settled["at"]) * 1000)
    assert delays
    median = statistics.median(delays)
    print(f"\nPullMessages delivers a move-finished event within {median:.0f} ms of the head settling (median of {len(delays)})")
    with open(os.path.join(os.environ.get("PTZ_ARTIFACTS", "/tmp"), "onvif_event_delay.txt"), "w") as f:
        f.write(f"{median:.0f} ms median over {len(delays)} moves: {[round(d) for d in delays]}\n")


def test_a_configuration_change_is_an_event(g):
    address = subscribe(g)
    status, answer = call(g, "tptz", "SetConfiguration",
                          '<x:PTZConfiguration token="PTZConfig_1"><tt:Name>PTZ</tt:Name><tt:UseCount>1</tt:UseCount>'
                          '<tt:NodeToken>PTZNode_1</tt:NodeToken><tt:DefaultPTZTimeout>PT7S</tt:DefaultPTZTimeout>'
                          '</x:PTZConfiguration><x:ForcePersistence>true</x:ForcePersistence>')
    assert status == 200, answer
    got = collect(g, address, lambda got: any(t.startswith("Configuration/") for t, _ in got))
    changes = [d for t, d in got if t == "Configuration/PTZConfiguration"]
    assert changes[0]["Token"] == "PTZConfig_1"


def connected(port):
    """An established connection to the local `port` (IPv4)."""
    with open("/proc/net/tcp") as f:
        rows = [line.split() for line in f.readlines()[1:]]
    return any(int(r[1].split(":")[1], 16) == port and r[3] == "01" for r in rows)


def test_a_waiting_long_poll_does_not_hold_up_the_stop(g):
    address = subscribe(g, '<x:Filter><wsnt:TopicExpression xmlns:wsnt="http://docs.oasis-open.org/wsn/b-2" '
                           'xmlns:tns1="http://www.onvif.org/ver10/topics" '
                           'Dialect="http://www.onvif.org/ver10/tev/topicExpression/ConcreteSet">'
                           'tns1:PTZController//.</wsnt:TopicExpression></x:Filter>')
    answered = []
    poller = threading.Thread(target=lambda: answered.append(pull(g, address, "PT60S")))
    poller.start()
    # Its connection is open (nothing has come back); the gateway is asked to stop.
    wait_for(lambda: connected(g.onvif_port))
    assert not answered
    g.process.terminate()
    assert g.process.wait(timeout=20) == 0  # well before the poll's minute
    poller.join(timeout=20)
    g.process = subprocess.Popen(["true"])  # what close() stops
    g.process.wait()


def test_every_head_has_its_own_subscribers_and_the_page_its_streams(tmp_path):
    """Eight pull points on each of eight heads, all their own head allows:
    a ninth head still gets its first pull point, and the page its stream."""
    from gateway import Ptzd, Sim, Stream, free_port, status_of
    sim = Sim("--heads", "9")
    ports = [free_port() for _ in range(9)]
    heads = [(f"h{i}", f"tcp:127.0.0.1:{sim.port + i}") for i in range(9)]
    g = Ptzd(heads, wait_up=False, head_lines={f"h{i}": [f'onvif = "127.0.0.1:{ports[i]}"'] for i in range(9)})
    body = ('<s:Envelope xmlns:s="http://www.w3.org/2003/05/soap-envelope"><s:Body>'
            f'<x:CreatePullPointSubscription xmlns:x="{NS["tev"]}"/></s:Body></s:Envelope>').encode()

    def pull_point(port):
        return status_of(port, "POST", "/onvif/events_service", body, "application/soap+xml")

    try:
        for port in ports[:8]:
            assert [pull_point(port) for _ in range(LIMIT)] == [200] * LIMIT
            assert pull_point(port) != 200  # that head's own cap
        assert pull_point(ports[8]) == 200
        stream = Stream(g, "h8")
        try:
            wait_for(lambda: stream.of("state") or stream.of("heartbeat"))
        finally:
            stream.close()
    finally:
        g.stop()
        sim.stop()


def test_a_push_subscription_is_refused_with_the_word_to_pull_instead(g):
    """Clients that try to be called back first (Home Assistant's webhook)
    fall back to pull points on a fault; a pull point still works after."""
    status, answer = call(g, "wsnt", "Subscribe",
                          "<x:ConsumerReference><wsa:Address xmlns:wsa=\"http://www.w3.org/2005/08/addressing\">"
                          "http://127.0.0.1:9/hook</wsa:Address></x:ConsumerReference>")
    assert status == 500 and fault_codes(answer) == ["s:Receiver", "ter:ActionNotSupported"], answer
    assert "use CreatePullPointSubscription" in answer
    subscribe(g)
