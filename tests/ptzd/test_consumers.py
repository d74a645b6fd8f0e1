"""What the most used consumers really send, replayed with zeep (a strict
SOAP stack, the one both use underneath) from the official WSDLs against a
gateway with two heads: Frigate's ONVIF start-up and its autotracking loop
(RelativeMove in the field-of-view space, GetStatus back to back until
IDLE), its plain-password mode; Home Assistant's config flow and device
set-up (two heads, two devices) and its event manager (pull point,
SetSynchronizationPoint, the topics its parsers know)."""
import os
import time
import urllib.error
import urllib.request

import pytest

from gateway import Ptzd, Sim, free_port, require_private_network
from test_onvif import token
from test_onvif_zeep import SERVICES, LocalTransport, SCHEMAS

zeep = pytest.importorskip("zeep")
requests = pytest.importorskip("requests")
from zeep.plugins import HistoryPlugin  # noqa: E402
from zeep.wsse.username import UsernameToken  # noqa: E402

USER, PASSWORD = "admin", "secret"
FOV_H, FOV_V = 60.0, 34.0
HEADS = ["roof", "yard.east"]  # a name with a dot: one gateway, two devices
TT = "{http://www.onvif.org/ver10/schema}"


@pytest.fixture(scope="module")
def rig():
    require_private_network()
    sims = [Sim(instant=False) for _ in HEADS]
    ports = {name: free_port() for name in HEADS}
    lines = {name: [f'onvif = "127.0.0.1:{ports[name]}"', f'onvif_user = "{USER}"', f'onvif_password = "{PASSWORD}"',
                    f'rtsp = "rtsp://127.0.0.1:8554/{name}"', f"fov_horizontal = {FOV_H}", f"fov_vertical = {FOV_V}"]
             for name in HEADS}
    lines["roof"].append('onvif_location = "north mast"')
    lines["yard.east"].append("onvif_plain_password = true")  # only this head takes a password in clear
    g = Ptzd([(name, sim.link) for name, sim in zip(HEADS, sims)], extra='gateway = "site-a"', head_lines=lines)
    yield g, ports
    g.stop()
    for sim in sims:
        sim.stop()


def client(port, name, digest=True, password=PASSWORD, address=None, binding=None, history=None):
    wsdl, default_binding, path = SERVICES[name]
    session = requests.Session()
    session.trust_env = False  # loopback only, never a proxy
    c = zeep.Client(os.path.join(SCHEMAS, "wsdl", wsdl), transport=LocalTransport(session=session, timeout=30),
                    wsse=UsernameToken(USER, password, use_digest=digest), plugins=[history] if history else [])
    return c.create_service(binding or default_binding, address or f"http://127.0.0.1:{port}{path}")


def steps(g, head):
    return g.http("GET", f"/api/heads/{head}/GetPTPos")[1]


def park(g, head, pan, tilt):
    assert g.http("POST", f"/api/heads/{head}/move", {"kind": "absolute", "pan": pan, "tilt": tilt})[0] == 200
    deadline = time.monotonic() + 30
    while steps(g, head) != {"pan": round(pan * 100), "tilt": round(tilt * 100)}:
        assert time.monotonic() < deadline, "the head did not get there"


def soap(port, path, ns, operation, inner=""):
    """A call zeep cannot make from these WSDLs (the OASIS bindings of
    Subscribe, Renew and Unsubscribe are not among them): by hand."""
    body = (f'<s:Envelope xmlns:s="http://www.w3.org/2003/05/soap-envelope"><s:Header>{token(USER, PASSWORD)}</s:Header>'
            f'<s:Body><x:{operation} xmlns:x="{ns}">{inner}</x:{operation}></s:Body></s:Envelope>').encode()
    request = urllib.request.Request(f"http://127.0.0.1:{port}{path}", data=body, method="POST",
                                     headers={"Content-Type": "application/soap+xml"})
    try:
        with urllib.request.urlopen(request, timeout=10) as r:
            return r.status, r.read().decode()
    except urllib.error.HTTPError as e:
        return e.code, e.read().decode()


WSNT = "http://docs.oasis-open.org/wsn/b-2"


# ---- Frigate ---------------------------------------------------------------------------

def frigate_start_up(port, digest=True):
    """Frigate's ONVIF start-up with autotracking on: the profile, the FOV
    space, the status template, the presets, MoveStatus support."""
    device, media, ptz = (client(port, n, digest) for n in ("device", "media", "ptz"))
    device.GetCapabilities(Category="All")  # the library finds the service addresses
    profile = next(p for p in media.GetProfiles()
                   if p.VideoEncoderConfiguration is not None and p.PTZConfiguration is not None
                   and (p.PTZConfiguration.DefaultContinuousPanTiltVelocitySpace
                        or p.PTZConfiguration.DefaultContinuousZoomVelocitySpace))
    assert media.GetVideoSources()[0].token
    options = ptz.GetConfigurationOptions(ConfigurationToken=profile.PTZConfiguration.token)
    fov = next(s for s in options.Spaces.RelativePanTiltTranslationSpace if "TranslationSpaceFov" in s.URI)
    ptz.GetStatus(ProfileToken=profile.token)
    presets = {(p.Name or f"preset {p.token}").lower(): p.token for p in ptz.GetPresets(ProfileToken=profile.token) or []}
    # Autotracking is refused unless relative FOV moves and MoveStatus are there.
    assert profile.PTZConfiguration.DefaultRelativePanTiltTranslationSpace
    assert ptz.GetServiceCapabilities().MoveStatus in (True, "true")
    return ptz, profile, fov, presets


def frigate_move(ptz, profile, fov, cx, cy, width=1280, height=720):
    """One autotracking step: the object's centre to the frame's centre,
    [-1, 1] mapped onto the space's range, speed 1, no zoom; then GetStatus
    back to back until the pan/tilt is IDLE. The number of polls."""
    pan = (cx / width - 0.5) * 2
    tilt = (0.5 - cy / height) * 2
    x = fov.XRange.Min + (pan + 1) / 2 * (fov.XRange.Max - fov.XRange.Min)
    y = fov.YRange.Min + (tilt + 1) / 2 * (fov.YRange.Max - fov.YRange.Min)
    ptz.RelativeMove(ProfileToken=profile.token, Translation={"PanTilt": {"x": x, "y": y, "space": fov.URI}},
                     Speed={"PanTilt": {"x": 1, "y": 1}})
    polls = 0
    while True:
        polls += 1
        status = ptz.GetStatus(ProfileToken=profile.token)
        if status.MoveStatus.PanTilt == "IDLE":
            return polls
        assert polls < 100000, "the head never came to rest"


def test_frigate_start_up_and_autotracking_centre_the_object(rig):
    g, ports = rig
    ptz, profile, fov, _ = frigate_start_up(ports["roof"])
    park(g, "roof", 0, 0)
    expected = {"pan": 0.0, "tilt": 0.0}
    residuals = []
    # Objects seen in a 1280 x 720 frame: right of centre, lower left, near
    # the top-right corner, just off centre.
    for cx, cy in ((960, 360), (320, 540), (1200, 40), (650, 370)):
        frigate_move(ptz, profile, fov, cx, cy)
        expected["pan"] += (cx / 1280 - 0.5) * 2 * FOV_H / 2
        expected["tilt"] += (0.5 - cy / 720) * 2 * FOV_V / 2
        at = steps(g, "roof")
        residual = max(abs(at["pan"] / 100 - expected["pan"]), abs(at["tilt"] / 100 - expected["tilt"]))
        residuals.append(residual)
        assert residual < 0.5, (cx, cy, at, expected)
    artifacts = os.environ.get("PTZ_ARTIFACTS", "/tmp")
    with open(os.path.join(artifacts, "frigate_autotracking.txt"), "w") as f:
        f.write(f"residual after each of {len(residuals)} autotracking moves (degrees): {residuals}\n")


def test_frigate_plain_password_mode_is_taken_only_where_configured(rig):
    # Frigate with tls_insecure: the password as text, no nonce, no time.
    g, ports = rig
    with pytest.raises(zeep.exceptions.Fault) as refused:
        frigate_start_up(ports["roof"], digest=False)
    assert "onvif_plain_password" in str(refused.value.message)
    ptz, profile, fov, presets = frigate_start_up(ports["yard.east"], digest=False)
    park(g, "yard.east", 0, 0)
    frigate_move(ptz, profile, fov, 960, 360)
    assert steps(g, "yard.east") == {"pan": 1500, "tilt": 0}
    # A wrong password in clear is refused all the same.
    with pytest.raises(zeep.exceptions.Fault):
        client(ports["yard.east"], "ptz", digest=False, password="wrong").GetStatus(ProfileToken=profile.token)


# ---- Home Assistant ----------------------------------------------------------------------

def ha_config_flow(port):
    """The config flow's profile set-up: the unique id is the first enabled
    interface's MAC address, else the serial number; a device without an
    H264 profile is refused."""
    device, media = client(port, "device"), client(port, "media")
    device.GetCapabilities(Category="All")
    interface = next(i for i in device.GetNetworkInterfaces() if i.Enabled)
    unique_id = interface.Info.HwAddress or device.GetDeviceInformation().SerialNumber
    assert unique_id
    assert any(p.VideoEncoderConfiguration is not None and p.VideoEncoderConfiguration.Encoding == "H264"
               for p in media.GetProfiles()), "no_h264"
    return unique_id


def ha_device_set_up(port):
    """The device's set-up once added: time, information, MAC, snapshot,
    profiles with PTZ, presets, the stream."""
    device, media, ptz = (client(port, n) for n in ("device", "media", "ptz"))
    device.GetCapabilities(Category="All")
    clock = device.GetSystemDateAndTime()
    assert clock.UTCDateTime is not None
    info = device.GetDeviceInformation()
    mac = [i for i in device.GetNetworkInterfaces() if i.Enabled][-1].Info.HwAddress
    assert media.GetServiceCapabilities().SnapshotUri in (True, False)
    profiles = [p for p in media.GetProfiles() if p.VideoEncoderConfiguration is not None
                and p.VideoEncoderConfiguration.Encoding == "H264"]
    ptz_profiles = [p for p in profiles if p.PTZConfiguration is not None]
    assert ptz_profiles
    ptz.GetPresets(ProfileToken=ptz_profiles[0].token)
    uri = media.GetStreamUri(StreamSetup={"Stream": "RTP-Unicast", "Transport": {"Protocol": "RTSP"}},
                             ProfileToken=profiles[0].token).Uri
    scopes = [s.ScopeItem for s in device.GetScopes()]
    return {"serial": info.SerialNumber, "model": info.Model, "manufacturer": info.Manufacturer, "mac": mac,
            "uri": uri, "scopes": scopes}


def test_home_assistant_adds_two_heads_of_one_gateway_as_two_devices(rig):
    _, ports = rig
    entries = {}
    for name in HEADS:
        unique_id = ha_config_flow(ports[name])
        assert unique_id not in entries, "already_configured: the second head would replace the first"
        entries[unique_id] = name
    assert len(entries) == 2
    devices = {name: ha_device_set_up(ports[name]) for name in HEADS}
    # The device registry: identifiers from the serial, connections from the MAC.
    assert len({d["serial"] for d in devices.values()}) == 2
    assert len({d["mac"] for d in devices.values()}) == 2
    for unique_id, name in entries.items():
        d = devices[name]
        assert d["mac"] == unique_id and d["serial"] == f"site-a/{name}"
        assert d["uri"] == f"rtsp://127.0.0.1:8554/{name}"
        # What its discovery would read: the name and the same MAC address.
        assert f"onvif://www.onvif.org/name/{name}" in d["scopes"]
        assert f"onvif://www.onvif.org/mac/{unique_id}" in d["scopes"]
    assert "onvif://www.onvif.org/location/north%20mast" in devices["roof"]["scopes"]
    # The same ids on a second look (a restart is the same computation).
    assert {ha_config_flow(ports[name]): name for name in HEADS} == entries


def notifications(history):
    """What Home Assistant's parsers read from each message of the last
    PullMessages answer: the topic as sent, the property operation, the
    first Source and first Data value (by position), and every Data item by
    name. (Read from the envelope: this zeep leaves the text of the Topic,
    a mixed-content element, out of its objects.)"""
    out = []
    envelope = history.last_received["envelope"]
    for m in envelope.iter("{http://docs.oasis-open.org/wsn/b-2}NotificationMessage"):
        topic = (m.find("{http://docs.oasis-open.org/wsn/b-2}Topic").text or "").strip().rstrip("/.")
        message = m.find(f".//{TT}Message")
        source = [i.get("Value") for s in message.iter(f"{TT}Source") for i in s.iter(f"{TT}SimpleItem")]
        data = [(i.get("Name"), i.get("Value")) for d in message.iter(f"{TT}Data") for i in d.iter(f"{TT}SimpleItem")]
        out.append({"topic": topic, "operation": message.get("PropertyOperation"),
                    "source": source[0] if source else None, "value": data[0][1] if data else None,
                    "data": dict(data)})
    return out


def test_home_assistant_event_manager_gets_entities_and_preset_events(rig):
    g, ports = rig
    port = ports["roof"]
    unique_id = ha_config_flow(port)
    events = client(port, "events")
    # HA's webhook too: refused with the word to pull instead.
    status, answer = soap(port, "/onvif/events_service", WSNT, "Subscribe",
                          '<x:ConsumerReference><a:Address xmlns:a="http://www.w3.org/2005/08/addressing">'
                          "http://127.0.0.1:9/api/webhook/onvif</a:Address></x:ConsumerReference>"
                          "<x:InitialTerminationTime>PT600S</x:InitialTerminationTime>")
    assert status == 500 and "CreatePullPointSubscription" in answer
    subscription = events.CreatePullPointSubscription(InitialTerminationTime="PT600S")
    address = subscription.SubscriptionReference.Address._value_1
    history = HistoryPlugin()
    pull = client(port, "events", address=address,
                  binding="{http://www.onvif.org/ver10/events/wsdl}PullPointSubscriptionBinding", history=history)
    pull.SetSynchronizationPoint()
    seen = []

    def pull_until(done, rounds=60):
        for _ in range(rounds):
            pull.PullMessages(Timeout="PT5S", MessageLimit=100)
            seen.extend(notifications(history))
            if done(seen):
                return
        raise AssertionError(f"not seen: {seen}")

    # The status flags as four digital inputs and the start as LastReboot:
    # Initialized on subscription and again after SetSynchronizationPoint.
    pull_until(lambda s: sum(n["topic"] == "tns1:Monitoring/OperatingTime/LastReboot" for n in s) >= 2)
    inputs = [n for n in seen if n["topic"] == "tns1:Device/Trigger/DigitalInput" and n["operation"] == "Initialized"]
    assert sorted({n["source"] for n in inputs}) == ["input_0", "input_1", "input_2", "input_3"]
    assert all(n["value"] in ("true", "false") for n in inputs)
    # HA's binary sensors: one per input, keyed by its unique id, topic and source.
    uids = {f"{unique_id}_{n['topic']}_{n['source']}" for n in inputs}
    assert len(uids) == 4
    # The infrared lamp as a relay, told when it is switched.
    ptz = client(port, "ptz")
    seen.clear()
    ptz.SendAuxiliaryCommand(ProfileToken="Profile_1", AuxiliaryData="tt:IRLamp|On")
    pull_until(lambda s: any(n["topic"] == "tns1:Device/Trigger/Relay" for n in s))
    relay = next(n for n in seen if n["topic"] == "tns1:Device/Trigger/Relay")
    assert relay == {**relay, "source": "ir", "value": "active", "operation": "Changed"}
    # Presets: invoked, reached (with name), then left when the head moves on.
    assert g.http("POST", "/api/heads/roof/presets/6", {"name": "gate"})[0] == 200
    park(g, "roof", 12, 0)
    seen.clear()
    ptz.GotoPreset(ProfileToken="Profile_1", PresetToken="6")
    pull_until(lambda s: any(n["topic"].endswith("PTZPresets/Reached") for n in s))
    park(g, "roof", 5, 0)
    pull_until(lambda s: any(n["topic"].endswith("PTZPresets/Left") for n in s))
    told = [(n["topic"].rsplit("/", 1)[1], n["data"]["PresetToken"], n["data"]["PresetName"])
            for n in seen if "PTZPresets" in n["topic"]]
    assert told == [("Invoked", "6", "gate"), ("Reached", "6", "gate"), ("Left", "6", "gate")]
    # A synchronization point tells every property again, the relay included.
    seen.clear()
    pull.SetSynchronizationPoint()
    pull_until(lambda s: any(n["topic"] == "tns1:Monitoring/OperatingTime/LastReboot" for n in s))
    again = {n["topic"] for n in seen if n["operation"] == "Initialized"}
    assert again >= {"tns1:Device/Trigger/DigitalInput", "tns1:Device/Trigger/Relay", "tns1:Monitoring/OperatingTime/LastReboot"}
    # Renew as HA does before the end, then Unsubscribe at shutdown.
    path = address.split(str(port), 1)[1]
    assert soap(port, path, WSNT, "Renew", "<x:TerminationTime>PT600S</x:TerminationTime>")[0] == 200
    assert soap(port, path, WSNT, "Unsubscribe")[0] == 200
