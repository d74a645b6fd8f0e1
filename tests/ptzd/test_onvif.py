"""ptzd's ONVIF front end: two npm ONVIF clients against a real ptzd and a
moving simulated head, WS-Security, schema order, hostile input, presets
that survive a restart, and WS-Discovery in a network namespace of its own."""
import base64
import datetime
import hashlib
import json
import os
import shutil
import subprocess
import textwrap
import time
import urllib.error
import urllib.request
import xml.etree.ElementTree as ET

import pytest

from gateway import PTZD, Sim, free_port, require_private_network

HERE = os.path.dirname(__file__)
SOAP = "http://www.w3.org/2003/05/soap-envelope"
TT = "{http://www.onvif.org/ver10/schema}"
NPM_PACKAGES = ["onvif@0.8.3", "node-onvif@0.1.7"]


@pytest.fixture(scope="module")
def node_modules():
    """The two npm clients, installed into a scratch folder of the build."""
    folder = os.environ.get("ONVIF_NPM", os.path.join(os.environ.get("PTZ_ARTIFACTS", "/tmp"), "..", "npm"))
    modules = os.path.join(folder, "node_modules")
    if not all(os.path.isdir(os.path.join(modules, p.split("@")[0])) for p in NPM_PACKAGES):
        if not shutil.which("npm"):
            pytest.skip("npm is not installed")
        subprocess.run(["npm", "install", "--no-audit", "--no-fund", "--prefix", folder, *NPM_PACKAGES],
                       check=True, capture_output=True, timeout=300)
    return modules


class OnvifGateway:
    def __init__(self, tmp_path, user="admin", password="secret", rtsp="rtsp://127.0.0.1:8554/roof", sim=None):
        require_private_network()
        self.sim = sim or Sim(instant=False)
        self.onvif_port, self.http_port = free_port(), free_port()
        self.tmp_path = tmp_path
        self.user, self.password = user, password
        lines = [f'onvif = "127.0.0.1:{self.onvif_port}"']
        if user:
            lines += [f'onvif_user = "{user}"', f'onvif_password = "{password}"']
        if rtsp:
            lines.append(f'rtsp = "{rtsp}"')
        self.config = os.path.join(str(tmp_path), "site.toml")
        with open(self.config, "w") as f:
            f.write(textwrap.dedent(f"""\
                http = "127.0.0.1:{self.http_port}"
                [[head]]
                name = "roof"
                link = "{self.sim.link}"
                """) + "\n".join(lines) + "\n")
        self.start()

    def start(self):
        self.log = open(os.path.join(str(self.tmp_path), "ptzd.log"), "a+")
        self.process = subprocess.Popen([PTZD, "--config", self.config], stderr=self.log)
        deadline = time.time() + 10
        while time.time() < deadline:
            try:
                if self.soap("GetSystemDateAndTime", "tds")[0] == 200:
                    return
            except OSError:
                pass
            time.sleep(0.05)
        raise RuntimeError("ptzd did not start")

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=10)
        self.log.close()

    def close(self):
        self.stop()
        self.sim.stop()

    def http(self, path):
        with urllib.request.urlopen(f"http://127.0.0.1:{self.http_port}{path}", timeout=5) as r:
            return json.loads(r.read())

    def post(self, body, path="/onvif/device_service"):
        request = urllib.request.Request(f"http://127.0.0.1:{self.onvif_port}{path}", data=body, method="POST")
        request.add_header("Content-Type", "application/soap+xml")
        try:
            with urllib.request.urlopen(request, timeout=10) as r:
                return r.status, r.read().decode()
        except urllib.error.HTTPError as e:
            return e.code, e.read().decode()

    def soap(self, operation, service, inner="", security=None, path=None):
        ns = {"tds": "http://www.onvif.org/ver10/device/wsdl", "trt": "http://www.onvif.org/ver10/media/wsdl",
              "tptz": "http://www.onvif.org/ver20/ptz/wsdl"}[service]
        header = f"<s:Header>{security}</s:Header>" if security else ""
        body = (f'<s:Envelope xmlns:s="{SOAP}" xmlns:tt="http://www.onvif.org/ver10/schema">{header}<s:Body>'
                f'<x:{operation} xmlns:x="{ns}">{inner}</x:{operation}></s:Body></s:Envelope>')
        return self.post(body.encode(), path or "/onvif/device_service")


def token(user, password, nonce=None, created=None, text=False):
    nonce = nonce or os.urandom(16)
    created = created or datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%S.000Z")
    if text:
        secret = f'<wsse:Password Type="http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-username-token-profile-1.0#PasswordText">{password}</wsse:Password>'
    else:
        digest = base64.b64encode(hashlib.sha1(nonce + created.encode() + password.encode()).digest()).decode()
        secret = f'<wsse:Password Type="http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-username-token-profile-1.0#PasswordDigest">{digest}</wsse:Password>'
    return (f'<wsse:Security s:mustUnderstand="1" xmlns:wsse="http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-wssecurity-secext-1.0.xsd" '
            f'xmlns:wsu="http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-wssecurity-utility-1.0.xsd">'
            f'<wsse:UsernameToken><wsse:Username>{user}</wsse:Username>{secret}'
            f'<wsse:Nonce>{base64.b64encode(nonce).decode()}</wsse:Nonce><wsu:Created>{created}</wsu:Created>'
            f'</wsse:UsernameToken></wsse:Security>')


@pytest.fixture
def onvif(tmp_path):
    g = OnvifGateway(tmp_path)
    yield g
    g.close()


def steps(output):
    return {line["step"]: line for line in map(json.loads, output.splitlines())}


def test_two_npm_clients_drive_the_head(onvif, node_modules):
    run = subprocess.run(["node", os.path.join(HERE, "onvif_clients.js"), "127.0.0.1", str(onvif.onvif_port), "admin",
                          "secret", str(onvif.http_port), "roof"], capture_output=True, text=True, timeout=120,
                         env={**os.environ, "NODE_PATH": node_modules})
    s = steps(run.stdout)
    assert run.returncode == 0, run.stdout + run.stderr
    assert s["connect"] == {"step": "connect", "profiles": 1, "ptz": True, "video": True}
    assert s["getStreamUri"]["uri"] == "rtsp://127.0.0.1:8554/roof"
    # The generic space maps linearly onto pan -17000..17000 and tilt -9000..3000.
    assert s["getStatus"]["status"]["position"] == {"x": 0, "y": 0.5, "zoom": 0}
    assert s["absoluteMove"]["head"] == {"pan": 8500, "tilt": -6000}
    assert s["absoluteMove"]["status"]["position"]["x"] == 0.5
    assert s["relativeMove"]["head"] == {"pan": 4250, "tilt": -4500}
    c = s["continuousMove+stop"]
    assert c["moving"] == "MOVING" and 4250 < c["head"]["pan"] < 17000 and c["head"] == c["after"]
    t = s["continuousMove+timeout"]
    assert -17000 < t["head"]["pan"] < c["head"]["pan"] and t["head"] == t["after"], "the timeout did not stop the head"
    p = s["presets"]
    assert p["presets"]["door"]["name"] == "door" and p["head"] == p["stored"]
    assert s["removePreset"]["presets"] == {}
    assert s["home"]["head"] == s["home"]["home"] == {"pan": -8500, "tilt": 0}
    n = s["node-onvif"]
    assert n["info"]["Model"] == "PTZ-SIM" and n["info"]["SerialNumber"] == "SIM-000001"
    assert n["halted"]["pan"] > n["before"]["pan"] and n["halted"] == n["after"]


def test_ws_security(onvif):
    ask = lambda security: onvif.soap("GetHostname", "tds", security=security)
    assert ask(token("admin", "secret"))[0] == 200
    assert ask(token("admin", "secret", text=True))[0] == 200
    refused = [
        None,                                                    # no header at all
        token("admin", "wrong"),
        token("someone", "secret"),
        token("admin", "wrong", text=True),
        token("admin", "secret", created="2020-01-01T00:00:00Z"),  # stale
        token("admin", "secret", created="6843-12-08T20:00:00Z"),  # beyond any clock (found by the fuzzer)
        token("admin", "secret", created=(datetime.datetime.now(datetime.timezone.utc) +
                                          datetime.timedelta(minutes=6)).strftime("%Y-%m-%dT%H:%M:%SZ")),
    ]
    for security in refused:
        status, body = ask(security)
        assert status == 400 and "ter:NotAuthorized" in body, (security, body)
    replayed = token("admin", "secret", nonce=b"0123456789abcdef")
    assert ask(replayed)[0] == 200
    status, body = ask(replayed)
    assert status == 400 and "used before" in body
    # These four answer without a token.
    for operation, service in (("GetSystemDateAndTime", "tds"), ("GetCapabilities", "tds"), ("GetServices", "tds"),
                               ("GetServiceCapabilities", "tds")):
        assert onvif.soap(operation, service)[0] == 200, operation
    assert onvif.soap("GetProfiles", "trt", path="/onvif/media_service")[0] == 400


def children(body, *path):
    node = ET.fromstring(body).find(f"{{{SOAP}}}Body")
    for step in path:
        node = next(c for c in node if c.tag.split("}")[1] == step)
    return [c.tag.split("}")[1] for c in node]


def test_responses_keep_schema_order(onvif):
    sec = lambda: token("admin", "secret")
    _, body = onvif.soap("GetProfiles", "trt", security=sec(), path="/onvif/media_service")
    assert children(body, "GetProfilesResponse", "Profiles") == [
        "Name", "VideoSourceConfiguration", "VideoEncoderConfiguration", "PTZConfiguration"]
    assert children(body, "GetProfilesResponse", "Profiles", "VideoEncoderConfiguration") == [
        "Name", "UseCount", "Encoding", "Resolution", "Quality", "RateControl", "H264", "Multicast", "SessionTimeout"]
    ptz_configuration = ["Name", "UseCount", "NodeToken", "DefaultAbsolutePantTiltPositionSpace",
                         "DefaultRelativePanTiltTranslationSpace", "DefaultContinuousPanTiltVelocitySpace",
                         "DefaultPTZSpeed", "DefaultPTZTimeout", "PanTiltLimits"]
    assert children(body, "GetProfilesResponse", "Profiles", "PTZConfiguration") == ptz_configuration
    _, body = onvif.soap("GetConfigurations", "tptz", security=sec(), path="/onvif/ptz_service")
    assert children(body, "GetConfigurationsResponse", "PTZConfiguration") == ptz_configuration
    _, body = onvif.soap("GetConfigurationOptions", "tptz", "<x:ConfigurationToken>PTZConfig_1</x:ConfigurationToken>",
                         security=sec(), path="/onvif/ptz_service")
    assert children(body, "GetConfigurationOptionsResponse", "PTZConfigurationOptions") == ["Spaces", "PTZTimeout"]
    spaces = ["AbsolutePanTiltPositionSpace", "RelativePanTiltTranslationSpace", "ContinuousPanTiltVelocitySpace",
              "PanTiltSpeedSpace"]
    assert children(body, "GetConfigurationOptionsResponse", "PTZConfigurationOptions", "Spaces") == spaces
    _, body = onvif.soap("GetCapabilities", "tds")
    assert children(body, "GetCapabilitiesResponse", "Capabilities") == ["Device", "Media", "PTZ"]
    assert children(body, "GetCapabilitiesResponse", "Capabilities", "Media") == ["XAddr", "StreamingCapabilities"]
    _, body = onvif.soap("GetNodes", "tptz", security=sec(), path="/onvif/ptz_service")
    assert children(body, "GetNodesResponse", "PTZNode") == [
        "Name", "SupportedPTZSpaces", "MaximumNumberOfPresets", "HomeSupported"]
    assert children(body, "GetNodesResponse", "PTZNode", "SupportedPTZSpaces") == spaces
    _, body = onvif.soap("GetStatus", "tptz", "<x:ProfileToken>Profile_1</x:ProfileToken>", security=sec(),
                         path="/onvif/ptz_service")
    assert children(body, "GetStatusResponse", "PTZStatus") == ["Position", "MoveStatus", "UtcTime"]


def test_operations_by_namespace_whatever_the_prefixes(onvif):
    # Prefixes declared on the Envelope, a default namespace on the element, no SOAPAction.
    body = (f'<env:Envelope xmlns:env="{SOAP}" xmlns:d="http://www.onvif.org/ver10/device/wsdl">'
            '<env:Body><d:GetServices><d:IncludeCapability>false</d:IncludeCapability></d:GetServices></env:Body>'
            '</env:Envelope>')
    status, answer = onvif.post(body.encode())
    assert status == 200 and "GetServicesResponse" in answer
    # The same name in another namespace is another operation.
    status, answer = onvif.soap("GetHostname", "trt", security=token("admin", "secret"))
    assert status == 400 and "ter:ActionNotSupported" in answer
    status, answer = onvif.soap("SystemReboot", "tds", security=token("admin", "secret"))
    assert status == 400 and "ter:ActionNotSupported" in answer
    status, answer = onvif.soap("GetSnapshotUri", "trt", "<x:ProfileToken>Profile_1</x:ProfileToken>",
                                security=token("admin", "secret"), path="/onvif/media_service")
    assert status == 400 and "snapshot" in answer


def test_hostile_input_is_refused_and_the_daemon_stays(onvif):
    bomb = ('<?xml version="1.0"?><!DOCTYPE lolz [<!ENTITY lol "lol"><!ENTITY lol2 "&lol;&lol;&lol;&lol;">]>'
            f'<s:Envelope xmlns:s="{SOAP}"><s:Body><GetHostname xmlns="http://www.onvif.org/ver10/device/wsdl">'
            '&lol2;</GetHostname></s:Body></s:Envelope>')
    external = (f'<!DOCTYPE x [<!ENTITY e SYSTEM "file:///etc/passwd">]><s:Envelope xmlns:s="{SOAP}"><s:Body>&e;'
                '</s:Body></s:Envelope>')
    deep = f'<s:Envelope xmlns:s="{SOAP}"><s:Body>' + "<a>" * 5000 + "</a>" * 5000 + "</s:Body></s:Envelope>"
    for body, expected in ((bomb, 400), (external, 400), (deep, 400), ("<not xml", 400), ("", 400),
                           ("<s:Envelope xmlns:s='urn:other'/>", 400), ("x" * 200000, 413)):
        status, answer = onvif.post(body.encode())
        assert status == expected, body[:80]
        assert "passwd" not in answer and "root:" not in answer
    assert onvif.soap("GetSystemDateAndTime", "tds")[0] == 200
    assert onvif.process.poll() is None


def test_preset_names_survive_a_restart(tmp_path):
    g = OnvifGateway(tmp_path, user="")
    try:
        ptz = "/onvif/ptz_service"
        profile = "<x:ProfileToken>Profile_1</x:ProfileToken>"
        status, body = g.soap("SetPreset", "tptz", profile + "<x:PresetName>gate</x:PresetName>", path=ptz)
        assert status == 200 and "<tptz:PresetToken>1</tptz:PresetToken>" in body
        status, body = g.soap("SetPreset", "tptz", profile + "<x:PresetName>yard</x:PresetName><x:PresetToken>7</x:PresetToken>", path=ptz)
        assert "<tptz:PresetToken>7</tptz:PresetToken>" in body
        state = g.config + ".roof.presets.json"
        assert json.load(open(state)) == {"1": "gate", "7": "yard"}
        assert not os.path.exists(state + ".tmp")
        g.stop()
        g.start()
        _, body = g.soap("GetPresets", "tptz", profile, path=ptz)
        assert 'token="1"' in body and "gate" in body and 'token="7"' in body and "yard" in body
        # The head stored them with PTZ_SetPresetPos: moving to one works.
        assert g.soap("GotoPreset", "tptz", profile + "<x:PresetToken>7</x:PresetToken>", path=ptz)[0] == 200
        assert g.soap("GotoPreset", "tptz", profile + "<x:PresetToken>3</x:PresetToken>", path=ptz)[0] == 400
        # A zero zoom is accepted; a real one is not.
        move = profile + '<x:Position><tt:PanTilt x="0" y="0"/><tt:Zoom x="0"/></x:Position>'
        assert g.soap("AbsoluteMove", "tptz", move, path=ptz)[0] == 200
        move = profile + '<x:Position><tt:PanTilt x="0" y="0"/><tt:Zoom x="0.5"/></x:Position>'
        assert g.soap("AbsoluteMove", "tptz", move, path=ptz)[0] == 400
    finally:
        g.close()


def test_discovery_in_a_network_namespace_of_its_own(tmp_path, node_modules):
    if not shutil.which("unshare") or subprocess.run(["unshare", "--net", "true"]).returncode != 0:
        pytest.skip("cannot make a network namespace here")
    sim_port = free_port()
    config = tmp_path / "site.toml"
    config.write_text(textwrap.dedent(f"""\
        http = "off"
        [[head]]
        name = "roof"
        link = "tcp:127.0.0.1:{sim_port}"
        onvif = "127.0.0.1:{free_port()}"
        """))
    probe = tmp_path / "probe.js"
    probe.write_text(textwrap.dedent("""\
        const onvif = require('onvif');
        onvif.Discovery.probe({timeout: 3000, resolve: false}, (err, found) => {
          console.log(JSON.stringify({err: err && err.message, found}));
          process.exit(0);
        });
        """))
    listener = tmp_path / "listen.py"
    listener.write_text(textwrap.dedent(f"""\
        import socket, struct, time
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.bind(("", 3702))
        s.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                     struct.pack("4s4s", socket.inet_aton("239.255.255.250"), socket.inet_aton("0.0.0.0")))
        s.settimeout(0.2)
        end = time.time() + 8
        with open("{tmp_path}/heard.txt", "w") as out:
            while time.time() < end:
                try:
                    out.write(s.recv(65536).decode() + "\\n----\\n")
                    out.flush()
                except socket.timeout:
                    pass
        """))
    script = textwrap.dedent(f"""\
        set -e
        ip link set lo up
        ip route add 224.0.0.0/4 dev lo
        python3 {listener} & heard=$!
        sleep 0.3
        {PTZD} --config {config} 2> {tmp_path}/ptzd.log & pid=$!
        sleep 0.5
        NODE_PATH={node_modules} node {probe}
        kill $pid; wait $pid || true
        sleep 0.3
        kill $heard || true
        """)
    run = subprocess.run(["unshare", "--net", "sh", "-c", script], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    result = json.loads(run.stdout.strip().splitlines()[-1])
    found = json.dumps(result["found"])
    assert "onvif://www.onvif.org/type/ptz" in found and "onvif://www.onvif.org/Profile/Streaming" in found
    assert "onvif://www.onvif.org/name/roof" in found and "/onvif/device_service" in found
    # Hello when it started, Bye when it stopped, both naming the same device.
    heard = (tmp_path / "heard.txt").read_text()
    hello = next(m for m in heard.split("----") if "discovery/Hello" in m)
    bye = next(m for m in heard.split("----") if "discovery/Bye" in m)
    address = hello.split("<a:Address>")[1].split("</a:Address>")[0]
    assert address.startswith("urn:uuid:") and address in bye and address in found
    assert "onvif://www.onvif.org/type/ptz" in hello and "/onvif/device_service" in hello
