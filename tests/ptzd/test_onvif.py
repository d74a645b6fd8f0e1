"""ptzd's ONVIF front end: two npm ONVIF clients against a real ptzd and a
moving simulated head, WS-Security (replays, re-spelled nonces, clock
windows), SOAP's own faults, numbers checked before anything moves,
ContinuousMove's stops, presets saved safely, load, and WS-Discovery in
network namespaces of its own."""
import base64
import datetime
import hashlib
import json
import os
import re
import shutil
import signal
import subprocess
import sys
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
    def __init__(self, tmp_path, user="admin", password="secret", rtsp="rtsp://127.0.0.1:8554/roof", sim=None, env=None,
                 head_lines=()):
        require_private_network()
        os.makedirs(str(tmp_path), exist_ok=True)
        self.sim = sim or Sim(instant=False)
        self.onvif_port, self.http_port = free_port(), free_port()
        self.tmp_path = tmp_path
        self.env = {**os.environ, **(env or {})}
        # The preset names live in the state directory: by default the configuration's.
        self.state = os.path.join(str(tmp_path), "roof.presets.json")
        self.user, self.password = user, password
        lines = [f'onvif = "127.0.0.1:{self.onvif_port}"']
        if user:
            lines += [f'onvif_user = "{user}"', f'onvif_password = "{password}"']
        if rtsp:
            lines.append(f'rtsp = "{rtsp}"')
        lines += list(head_lines)
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
        self.process = subprocess.Popen([PTZD, "--config", self.config], stderr=self.log, env=self.env)
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

    def send_json(self, method, path, body=None):
        """A call of the HTTP API with a JSON body."""
        request = urllib.request.Request(f"http://127.0.0.1:{self.http_port}{path}", method=method,
                                         data=json.dumps(body or {}).encode())
        request.add_header("Content-Type", "application/json")
        with urllib.request.urlopen(request, timeout=10) as r:
            return json.loads(r.read() or b"{}")

    def post(self, body, path="/onvif/device_service"):
        request = urllib.request.Request(f"http://127.0.0.1:{self.onvif_port}{path}", data=body, method="POST")
        request.add_header("Content-Type", "application/soap+xml")
        try:
            with urllib.request.urlopen(request, timeout=10) as r:
                return r.status, r.read().decode()
        except urllib.error.HTTPError as e:
            return e.code, e.read().decode()

    def soap(self, operation, service, inner="", security=None, path=None, header=""):
        ns = {"tds": "http://www.onvif.org/ver10/device/wsdl", "trt": "http://www.onvif.org/ver10/media/wsdl",
              "tptz": "http://www.onvif.org/ver20/ptz/wsdl"}[service]
        blocks = (security or "") + header
        header = f"<s:Header>{blocks}</s:Header>" if blocks else ""
        body = (f'<s:Envelope xmlns:s="{SOAP}" xmlns:tt="http://www.onvif.org/ver10/schema">{header}<s:Body>'
                f'<x:{operation} xmlns:x="{ns}">{inner}</x:{operation}></s:Body></s:Envelope>')
        return self.post(body.encode(), path or "/onvif/device_service")

    def ptz(self, operation, inner="", security=None):
        return self.soap(operation, "tptz", PROFILE + inner, security=security, path="/onvif/ptz_service")

    def head(self):
        """The head's own position, through the HTTP API."""
        return self.http("/api/heads/roof/GetPTPos")



PROFILE = "<x:ProfileToken>Profile_1</x:ProfileToken>"
PASSWORD_TYPE = "http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-username-token-profile-1.0#Password"


def wait_for(condition, timeout=20, fail=True):
    deadline = time.time() + timeout
    while time.time() < deadline:
        if condition():
            return True
        time.sleep(0.05)
    if fail:
        raise AssertionError("condition not met in time")
    return False


def utc(seconds_from_now=0):
    moment = datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(seconds=seconds_from_now)
    return moment.strftime("%Y-%m-%dT%H:%M:%S.000Z")


def token(user, password, nonce=None, created=None, text=False, typed=True, nonce_text=None, bare=False):
    """A UsernameToken: a digest (or the password itself with text=True),
    with or without a Type attribute, a nonce in any spelling, or none."""
    nonce = nonce or os.urandom(16)
    created = created or utc()
    if text:
        kind, value = "Text", password
    else:
        kind, value = "Digest", base64.b64encode(hashlib.sha1(nonce + created.encode() + password.encode()).digest()).decode()
    type_attribute = f' Type="{PASSWORD_TYPE}{kind}"' if typed else ""
    freshness = "" if bare else (f'<wsse:Nonce>{nonce_text or base64.b64encode(nonce).decode()}</wsse:Nonce>'
                                 f'<wsu:Created>{created}</wsu:Created>')
    return (f'<wsse:Security s:mustUnderstand="1" xmlns:wsse="http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-wssecurity-secext-1.0.xsd" '
            f'xmlns:wsu="http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-wssecurity-utility-1.0.xsd">'
            f'<wsse:UsernameToken><wsse:Username>{user}</wsse:Username><wsse:Password{type_attribute}>{value}</wsse:Password>'
            f'{freshness}</wsse:UsernameToken></wsse:Security>')


def fault_codes(body):
    """The fault's code and subcodes, outermost first: ["s:Sender", "ter:InvalidArgVal", ...]."""
    code = ET.fromstring(body).find(f"{{{SOAP}}}Body/{{{SOAP}}}Fault/{{{SOAP}}}Code")
    values = []
    while code is not None:
        values.append(code.find(f"{{{SOAP}}}Value").text)
        code = code.find(f"{{{SOAP}}}Subcode")
    return values


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
    assert n["info"]["Model"] == "PTZ-SIM" and n["info"]["HardwareId"] == "SIM-000001"
    assert re.fullmatch(r"[A-Za-z0-9_-]+/roof", n["info"]["SerialNumber"])  # this gateway's head: its own
    assert n["halted"]["pan"] > n["before"]["pan"] and n["halted"] == n["after"]


def test_device_information_costs_the_head_nothing(tmp_path):
    g = OnvifGateway(tmp_path, user="")
    try:
        asked = lambda: [r for r in g.sim.requests() if r[6:8] == "00"]  # the system texts
        wait_for(lambda: asked())
        g.sim.control("clear-requests")
        for _ in range(50):
            status, body = g.soap("GetDeviceInformation", "tds")
            assert status == 200 and "<tds:Model>" in body, body
        assert asked() == []
    finally:
        g.close()


def test_a_move_the_head_refuses_is_recorded_alike_from_every_front_end(tmp_path):
    """The HTTP move routes, ONVIF, VISCA and the per-export route each send a
    move the head refuses; each failure is recorded once, in the same form,
    by the head's worker."""
    import socket
    visca_port = free_port()
    g = OnvifGateway(tmp_path, user="", head_lines=[f'visca_tcp = "127.0.0.1:{visca_port}"'])
    try:
        g.sim.control("faults refuse=0x8C")  # SetPTPos: every move to a position
        failures = lambda: g.http("/api/heads")[0]["failures"]
        assert failures() == []
        request = urllib.request.Request(f"http://127.0.0.1:{g.http_port}/api/heads/roof/move", method="POST",
                                         data=json.dumps({"kind": "absolute", "pan": 10, "tilt": 0}).encode())
        request.add_header("Content-Type", "application/json")
        with pytest.raises(urllib.error.HTTPError) as refused:
            urllib.request.urlopen(request, timeout=10)
        assert refused.value.code == 502
        status, body = g.ptz("AbsoluteMove", '<x:Position><tt:PanTilt x="0.1" y="0"/></x:Position>')
        assert status == 500 and "refused" in body, body
        with socket.create_connection(("127.0.0.1", visca_port), timeout=10) as visca:
            visca.sendall(bytes.fromhex("81 01 06 02 18 17 00 00 01 00 00 00 00 00 FF"))
            answer = b""
            while answer.count(b"\xff") < 2:
                answer += visca.recv(64)
            assert answer[-3] & 0xF0 == 0x60, answer.hex(" ")  # an error reply, after the ACK
        request = urllib.request.Request(f"http://127.0.0.1:{g.http_port}/api/heads/roof/SetPTPos", method="POST",
                                         data=json.dumps({"param": 1, "pan": 100, "tilt": 0}).encode())
        request.add_header("Content-Type", "application/json")
        with pytest.raises(urllib.error.HTTPError):
            urllib.request.urlopen(request, timeout=10)
        recorded = failures()
        assert len(recorded) == 4, recorded
        text = "kind 0, code 1102: the head refused the command"
        assert [r.split(" ", 1)[1].split(":", 1)[0] for r in recorded] == [
            "absolute move", "absolute move", "absolute move", "SetPTPos"], recorded
        assert all(text in r for r in recorded), recorded
    finally:
        g.close()


def test_a_plain_password_is_taken_only_where_the_configuration_allows_it(tmp_path):
    """Clients that send the password itself, with neither Nonce nor Created
    (a tracker in its insecure mode, setup wizards)."""
    plain = token("admin", "secret", text=True, bare=True)
    off = OnvifGateway(tmp_path / "off")
    try:
        status, body = off.soap("GetHostname", "tds", security=plain)
        assert status == 400 and "ter:NotAuthorized" in body and "onvif_plain_password = true" in body, body
    finally:
        off.close()
    on = OnvifGateway(tmp_path / "on", head_lines=["onvif_plain_password = true"])
    try:
        ask = lambda security: on.soap("GetHostname", "tds", security=security)[0]
        assert ask(plain) == 200
        assert ask(plain) == 200  # nothing in it can tell a replay: it is the password
        assert ask(token("admin", "secret", text=True, typed=False, bare=True)) == 200
        for refused in (token("admin", "wrong", text=True, bare=True), token("someone", "secret", text=True, bare=True),
                        token("admin", "secret", bare=True)):  # a digest needs what it was made of
            assert ask(refused) == 400, refused
        assert ask(token("admin", "secret")) == 200  # the other forms as before
    finally:
        on.close()


def test_ws_security(onvif):
    ask = lambda security: onvif.soap("GetHostname", "tds", security=security)
    accepted = [
        token("admin", "secret"),
        token("admin", "secret", text=True),
        token("admin", "secret", text=True, typed=False),  # no Type: PasswordText, as WS-Security has it
        token("admin", "secret", created=utc(-290)),
        token("admin", "secret", created=utc(290)),
    ]
    for security in accepted:
        status, body = ask(security)
        assert status == 200, (security, body)
    refused = [
        None,                                                    # no header at all
        token("admin", "wrong"),
        token("someone", "secret"),
        token("admin", "wrong", text=True),
        token("someone", "secret", text=True),
        token("admin", "secret", typed=False),                   # a digest is not the password
        token("admin", "secret", created="2020-01-01T00:00:00Z"),  # stale
        token("admin", "secret", created="6843-12-08T20:00:00Z"),  # beyond any clock (found by the fuzzer)
        token("admin", "secret", created=utc(360)),
        token("admin", "secret", created=" " + utc()),
        # PasswordText is held to the same Created and nonce rules.
        token("admin", "secret", text=True, created="1999-01-01T00:00:00Z"),
        token("admin", "secret", text=True, created=utc(360)),
        token("admin", "secret", text=True, bare=True),
        token("admin", "secret", bare=True),
    ]
    for security in refused:
        status, body = ask(security)
        # With no token at all the answer is HTTP Digest's challenge (401).
        assert status == (401 if security is None else 400) and "ter:NotAuthorized" in body, (security, body)
    # One refusal for every wrong name or password: nothing tells which was wrong.
    reasons = {ET.fromstring(ask(t)[1]).find(f".//{{{SOAP}}}Text").text
               for t in (token("admin", "wrong"), token("someone", "secret"), token("someone", "secret", text=True))}
    assert len(reasons) == 1
    for text in (False, True):
        replayed = token("admin", "secret", text=text)
        assert ask(replayed)[0] == 200
        status, body = ask(replayed)
        assert status == 400 and "used before" in body
    # These four answer without a token.
    for operation, service in (("GetSystemDateAndTime", "tds"), ("GetCapabilities", "tds"), ("GetServices", "tds"),
                               ("GetServiceCapabilities", "tds")):
        assert onvif.soap(operation, service)[0] == 200, operation
    assert onvif.soap("GetProfiles", "trt", path="/onvif/media_service")[0] == 401  # with the digest challenge


BASE64 = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"


def respellings(nonce):
    """Other Base64 texts that lax decoders turn into the same bytes: the
    last character's unused bits set, '=' in place of an 'A'."""
    text = base64.b64encode(nonce).decode()
    padding = text.count("=")
    last = len(text) - padding - 1
    unused = {0: 0, 1: 2, 2: 4}[padding]
    value = BASE64.index(text[last])
    spelled = [text[:last] + BASE64[value | bits] + text[last + 1:] for bits in range(1, 1 << unused)]
    return spelled + [text.replace("A", "=", 1)]


def test_a_nonce_counts_once_however_it_is_spelled(onvif):
    ask = lambda security: onvif.soap("GetHostname", "tds", security=security)
    nonce = b"\0" + os.urandom(15)  # 16 bytes: four unused bits, and an 'A' first
    spellings = respellings(nonce)
    assert len(spellings) == 16
    created = utc()
    assert ask(token("admin", "secret", nonce=nonce, created=created))[0] == 200
    for spelling in spellings:
        status, body = ask(token("admin", "secret", nonce=nonce, created=created, nonce_text=spelling))
        assert status == 400 and "ter:NotAuthorized" in body, spelling
    # A fresh nonce is refused in any spelling but its own.
    fresh = b"\0" + os.urandom(15)
    for spelling in respellings(fresh)[:3] + respellings(fresh)[-1:]:
        assert ask(token("admin", "secret", nonce=fresh, nonce_text=spelling))[0] == 400, spelling
    # Some clients send one nonce with a fresh Created every time: a new
    # digest, a new token.
    assert ask(token("admin", "secret", nonce=nonce, created=utc(1.5)))[0] == 200
    # The same instant spelled another way is the same token.
    assert ask(token("admin", "secret", text=True, nonce=fresh, created=created))[0] == 200
    assert ask(token("admin", "secret", text=True, nonce=fresh, created=created.replace(".000Z", "+00:00")))[0] == 400


CLOCK_SHIM = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
/* The process's wall clock, moved on by the seconds in the file $PTZ_TEST_CLOCK. */
static long Offset(void) {
    long offset = 0;
    const char* path = getenv("PTZ_TEST_CLOCK");
    FILE* f = path ? fopen(path, "r") : NULL;
    if (f) {
        if (fscanf(f, "%ld", &offset) != 1) offset = 0;
        fclose(f);
    }
    return offset;
}
int clock_gettime(clockid_t id, struct timespec* t) {
    static int (*real)(clockid_t, struct timespec*);
    if (!real) real = (int (*)(clockid_t, struct timespec*))dlsym(RTLD_NEXT, "clock_gettime");
    const int r = real(id, t);
    if (r == 0 && id == CLOCK_REALTIME) t->tv_sec += Offset();
    return r;
}
time_t time(time_t* out) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    if (out) *out = now.tv_sec;
    return now.tv_sec;
}
"""


def test_a_nonce_is_remembered_while_its_created_time_is_in_the_window(tmp_path):
    compiler = shutil.which("cc") or shutil.which("gcc")
    if not compiler:
        pytest.skip("no C compiler for the clock shim")
    (tmp_path / "clock.c").write_text(CLOCK_SHIM)
    subprocess.run([compiler, "-shared", "-fPIC", "-o", str(tmp_path / "clock.so"), str(tmp_path / "clock.c"), "-ldl"],
                   check=True)
    clock = tmp_path / "clock"
    clock.write_text("0")
    g = OnvifGateway(tmp_path / "gw", env={"LD_PRELOAD": str(tmp_path / "clock.so"), "PTZ_TEST_CLOCK": str(clock)})
    try:
        ask = lambda security: g.soap("GetHostname", "tds", security=security)
        ahead = token("admin", "secret", created=utc(280))
        assert ask(ahead)[0] == 200
        # 303 s later by ptzd's clock: the token arrived more than five minutes
        # ago, but its Created time is still inside the window.
        clock.write_text("303")
        status, body = ask(ahead)
        assert status == 400 and "used before" in body
    finally:
        g.close()


def test_faults_of_soap_itself(onvif):
    unknown = '<u:Trace xmlns:u="urn:example:trace" s:mustUnderstand="{}"{}>on</u:Trace>'
    cases = [
        (unknown.format("true", ""), 500, ["s:MustUnderstand"]),
        (unknown.format("1", ""), 500, ["s:MustUnderstand"]),
        (unknown.format("false", ""), 200, None),
        (unknown.format("1", ' s:role="http://www.w3.org/2003/05/soap-envelope/role/none"'), 200, None),
        ('<u:Trace xmlns:u="urn:example:trace" mustUnderstand="1"/>', 200, None),  # not the envelope's attribute
        ('<a:Action xmlns:a="http://www.w3.org/2005/08/addressing" s:mustUnderstand="1">'
         'http://www.onvif.org/ver10/device/wsdl/GetSystemDateAndTime</a:Action>', 200, None),
    ]
    for header, status, codes in cases:
        got, body = onvif.soap("GetSystemDateAndTime", "tds", header=header)
        assert got == status, (header, body)
        if codes:
            assert fault_codes(body) == codes
            # The block not understood is named in the answer's header.
            named = ET.fromstring(body).find(f"{{{SOAP}}}Header/{{{SOAP}}}NotUnderstood")
            assert named is not None and named.get("qname").endswith(":Trace") and "urn:example:trace" in body
    soap11 = ('<e:Envelope xmlns:e="http://schemas.xmlsoap.org/soap/envelope/"><e:Body>'
              '<GetSystemDateAndTime xmlns="http://www.onvif.org/ver10/device/wsdl"/></e:Body></e:Envelope>')
    for envelope in (soap11, "<s:Envelope xmlns:s='urn:other'/>"):
        status, body = onvif.post(envelope.encode())
        assert status == 500 and fault_codes(body) == ["s:VersionMismatch"], body
        upgrade = ET.fromstring(body).find(f"{{{SOAP}}}Header/{{{SOAP}}}Upgrade/{{{SOAP}}}SupportedEnvelope")
        assert upgrade is not None and upgrade.get("qname") == "s:Envelope"
    status, body = onvif.soap("SystemReboot", "tds", security=token("admin", "secret"))
    assert status == 500 and fault_codes(body) == ["s:Receiver", "ter:ActionNotSupported"]


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
    spaces = ["AbsolutePanTiltPositionSpace"] * 2 + ["RelativePanTiltTranslationSpace"] * 3 + [
        "ContinuousPanTiltVelocitySpace", "PanTiltSpeedSpace"]
    assert children(body, "GetConfigurationOptionsResponse", "PTZConfigurationOptions", "Spaces") == spaces
    _, body = onvif.soap("GetCapabilities", "tds")
    assert children(body, "GetCapabilitiesResponse", "Capabilities") == ["Device", "Events", "Media", "PTZ"]
    assert children(body, "GetCapabilitiesResponse", "Capabilities", "Media") == ["XAddr", "StreamingCapabilities"]
    _, body = onvif.soap("GetNodes", "tptz", security=sec(), path="/onvif/ptz_service")
    assert children(body, "GetNodesResponse", "PTZNode") == [
        "Name", "SupportedPTZSpaces", "MaximumNumberOfPresets", "HomeSupported", "AuxiliaryCommands",
        "AuxiliaryCommands", "Extension"]
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
    assert status == 500 and "ter:ActionNotSupported" in answer
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
                           ("<s:Envelope xmlns:s='urn:other'/>", 500), ("x" * 200000, 413)):
        status, answer = onvif.post(body.encode())
        assert status == expected, body[:80]
        assert "passwd" not in answer and "root:" not in answer
    assert onvif.soap("GetSystemDateAndTime", "tds")[0] == 200
    assert onvif.process.poll() is None


def frames(sim, code=None):
    """The head's requests since the last clear, as bytes; only `code`'s if given."""
    return [f for f in map(bytes.fromhex, sim.requests()) if code is None or f[3] == code]


STOP_MOTOR, SET_MOTOR_SPEED, SET_PT_POS, SET_IR_CONTROL = 0x84, 0x86, 0x8C, 0x12
POLLER_READS = (0x98, 0x8B, 0x00)  # position and status (the poller), and the identity read at link-up (retried when refused)
BAD_NUMBERS = ["nan", "NaN", "inf", "-INF", "infinity", "1e19", "-1e19", "0.5junk", "0.5abc", "", " ", "0x1", "1.5",
               "-1.0001", "--1", "+-0.5", "1e400", "0.5 0.5", "1,5", "０.5"]


def test_malformed_numbers_are_refused_before_anything_moves(tmp_path):
    g = OnvifGateway(tmp_path, user="")
    try:
        assert g.ptz("SetPreset", "<x:PresetName>gate</x:PresetName><x:PresetToken>1</x:PresetToken>")[0] == 200
        pan_tilt = '<x:{0}><tt:PanTilt x="{{}}" y="0"/></x:{0}>'
        requests = [("AbsoluteMove", pan_tilt.format("Position")), ("RelativeMove", pan_tilt.format("Translation")),
                    ("ContinuousMove", pan_tilt.format("Velocity")),
                    ("AbsoluteMove", '<x:Position><tt:PanTilt x="0" y="{}"/></x:Position>'),
                    ("AbsoluteMove", '<x:Position><tt:PanTilt x="0" y="0"/></x:Position>'
                                     '<x:Speed><tt:PanTilt x="{}" y="1"/></x:Speed>'),
                    ("ContinuousMove", '<x:Velocity><tt:PanTilt x="0.5" y="0"/><tt:Zoom x="{}"/></x:Velocity>')]
        cases = [(op, inner.format(n)) for op, inner in requests for n in BAD_NUMBERS]
        cases += [(op, '<x:Position><tt:PanTilt x="0" y="0"/></x:Position>'
                       '<x:Speed><tt:PanTilt x="-0.5" y="1"/></x:Speed>') for op in ("AbsoluteMove",)]
        cases += [("ContinuousMove", f'<x:Velocity><tt:PanTilt x="0.5" y="0"/></x:Velocity><x:Timeout>{t}</x:Timeout>')
                  for t in ("PT1e3S", "PT0x10S", "-PT5S", "PT5", "PT", "P", "PTS", "PT5S junk", "PT1.S", "PT.5S",
                            "P1Y", "PT100000S", "PT5M5M", "PT5S5M", "nan", "")]
        cases += [("GotoPreset", f"<x:PresetToken>{t}</x:PresetToken>") for t in (" 1", "+1", "01", "1.0", "0", "17")]
        for op, inner in cases:
            g.sim.control("clear-requests")
            status, body = g.ptz(op, inner)
            assert status == 400 and fault_codes(body)[:2] == ["s:Sender", "ter:InvalidArgVal"], (op, inner, body)
            # Nothing but the motion layer's own readings (ONVIF keeps its state fresh).
            assert [f for f in frames(g.sim) if f[3] not in POLLER_READS] == [], (op, inner)
        # What the XML number types allow is taken.
        for x in ("+0.5", " 0.5 ", "5e-1", "-1", "1", ".5", "-0"):
            status, body = g.ptz("AbsoluteMove", f'<x:Position><tt:PanTilt x="{x}" y="0"/></x:Position>')
            assert status == 200, (x, body)
    finally:
        g.close()


def stopped(g):
    """Waits until ptzd has stopped both motors (the head has them at once);
    the head's position then."""
    wait_for(lambda: sorted(f[5] for f in frames(g.sim, STOP_MOTOR)) == [0, 4], timeout=40)
    return g.head()


def test_a_continuous_move_without_a_timeout_stops_after_the_default(tmp_path):
    # Two heads at once: no Timeout, and PT0S, which is taken the same way.
    gateways = [OnvifGateway(tmp_path / name, user="") for name in ("none", "zero")]
    try:
        velocity = '<x:Velocity><tt:PanTilt x="0.05" y="0"/></x:Velocity>'
        for g in gateways:
            g.sim.control("clear-requests")
        sent = time.time()
        assert gateways[0].ptz("ContinuousMove", velocity)[0] == 200
        assert gateways[1].ptz("ContinuousMove", velocity + "<x:Timeout>PT0S</x:Timeout>")[0] == 200
        for g in gateways:
            rest = stopped(g)
            # Stopped by the time-out (10 s at 700 units a second), before the limit.
            assert time.time() - sent >= 10 and 3000 < rest["pan"] < 17000, rest
    finally:
        for g in gateways:
            g.close()


def test_a_diagonal_keeps_its_direction(onvif):
    onvif.sim.control("clear-requests")
    start = onvif.head()
    move = '<x:Velocity><tt:PanTilt x="0.25" y="-1"/></x:Velocity><x:Timeout>PT0.4S</x:Timeout>'
    assert onvif.ptz("ContinuousMove", move, security=token("admin", "secret"))[0] == 200
    rest = stopped(onvif)
    pan, tilt = rest["pan"] - start["pan"], rest["tilt"] - start["tilt"]
    # Each motor at the speed of its own axis: pan a quarter as fast as tilt.
    assert pan > 0 and tilt < 0 and 0.15 < pan / -tilt < 0.4, (start, rest)
    speeds = {f[5]: f[6] for f in frames(onvif.sim, SET_MOTOR_SPEED)}
    assert speeds == {0: 65, 4: 255}


def test_a_stop_is_made_for_its_own_move_only(tmp_path):
    g = OnvifGateway(tmp_path, user="")
    try:
        # Every answer half a second late: move B's commands are still on
        # their way when move A's time-out expires.
        g.sim.control("faults delay=500")
        assert g.ptz("ContinuousMove", '<x:Velocity><tt:PanTilt x="-0.3" y="0"/></x:Velocity>'
                                       '<x:Timeout>PT1.75S</x:Timeout>')[0] == 200
        assert g.ptz("ContinuousMove", '<x:Velocity><tt:PanTilt x="0.3" y="0"/></x:Velocity>'
                                       '<x:Timeout>PT30S</x:Timeout>')[0] == 200
        # B runs on past where a stop of A's would have left it.
        wait_for(lambda: g.head()["pan"] > 3000, timeout=30)
        assert g.ptz("Stop", "<x:PanTilt>true</x:PanTilt>")[0] == 200
    finally:
        g.close()


def test_both_motors_are_stopped_when_one_stop_fails(onvif):
    onvif.sim.control("faults refuse=0x84")  # StopMotor refused
    onvif.sim.control("clear-requests")
    status, body = onvif.ptz("Stop", "<x:PanTilt>true</x:PanTilt>", security=token("admin", "secret"))
    assert status == 500 and fault_codes(body)[0] == "s:Receiver"
    assert sorted(f[5] for f in frames(onvif.sim, STOP_MOTOR)) == [0, 4]
    # PanTilt false stops nothing.
    onvif.sim.control("clear-requests")
    assert onvif.ptz("Stop", "<x:PanTilt>false</x:PanTilt>", security=token("admin", "secret"))[0] == 200
    assert frames(onvif.sim, STOP_MOTOR) == []


def test_sigterm_stops_a_continuous_move(tmp_path):
    g = OnvifGateway(tmp_path, user="")
    try:
        assert g.ptz("ContinuousMove", '<x:Velocity><tt:PanTilt x="0.2" y="0.2"/></x:Velocity>'
                                       '<x:Timeout>PT60S</x:Timeout>')[0] == 200
        g.sim.control("clear-requests")
        g.process.send_signal(signal.SIGTERM)
        g.process.wait(timeout=10)
        assert sorted(f[5] for f in frames(g.sim, STOP_MOTOR)) == [0, 4]
    finally:
        g.log.close()
        g.sim.stop()


def test_preset_names_survive_a_restart(tmp_path):
    g = OnvifGateway(tmp_path, user="")
    try:
        ptz = "/onvif/ptz_service"
        profile = "<x:ProfileToken>Profile_1</x:ProfileToken>"
        status, body = g.soap("SetPreset", "tptz", profile + "<x:PresetName>gate</x:PresetName>", path=ptz)
        assert status == 200 and "<tptz:PresetToken>1</tptz:PresetToken>" in body
        status, body = g.soap("SetPreset", "tptz", profile + "<x:PresetName>yard</x:PresetName><x:PresetToken>7</x:PresetToken>", path=ptz)
        assert "<tptz:PresetToken>7</tptz:PresetToken>" in body
        assert stored_names(g) == {"1": "gate", "7": "yard"}
        assert sorted(os.listdir(str(tmp_path))) == ["ptzd.log", "roof.presets.json", "site.toml"]  # nothing left over
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


def stored_names(g):
    """The preset names in the motion layer's state file (beside where each preset is)."""
    return {n: p["name"] for n, p in json.load(open(g.state, encoding="utf-8")).items()}


def preset_names(g):
    _, body = g.ptz("GetPresets")
    return {p.get("token"): p.find(f"{TT}Name").text for p in ET.fromstring(body).iter("{http://www.onvif.org/ver20/ptz/wsdl}Preset")}


def test_preset_names_are_bounded_utf8(tmp_path):
    g = OnvifGateway(tmp_path, user="")
    try:
        set_preset = lambda name, n: g.post(
            (f'<s:Envelope xmlns:s="{SOAP}"><s:Body><SetPreset xmlns="http://www.onvif.org/ver20/ptz/wsdl">'
             f'<ProfileToken>Profile_1</ProfileToken><PresetName>').encode() + name +
            f'</PresetName><PresetToken>{n}</PresetToken></SetPreset></s:Body></s:Envelope>'.encode(),
            "/onvif/ptz_service")
        for name in (b"\xff\xfe", b"caf\xe9", b"\xed\xa0\x80", b"\xc0\xaf", "é".encode() * 32 + b"x", b"a" * 65, b"bell&#7;"):
            status, body = set_preset(name, 2)
            assert status == 400 and fault_codes(body)[:2] == ["s:Sender", "ter:InvalidArgVal"], name
        # Every later call still works, and what is kept is valid.
        for n, name in ((1, "é".encode() * 32), (3, "gate".encode())):
            assert set_preset(name, n)[0] == 200
        assert preset_names(g) == {"1": "é" * 32, "3": "gate"}
        assert stored_names(g) == {"1": "é" * 32, "3": "gate"}
    finally:
        g.close()


def test_the_state_file_is_replaced_never_written_through(tmp_path):
    g = OnvifGateway(tmp_path, user="")
    try:
        # A link where the old fixed temporary name was, and the state file
        # itself a link: neither target is written.
        victim = tmp_path / "victim"
        victim.write_text("keep me")
        os.symlink(str(victim), g.state + ".tmp")
        assert g.ptz("SetPreset", "<x:PresetName>gate</x:PresetName><x:PresetToken>1</x:PresetToken>")[0] == 200
        os.unlink(g.state)
        os.symlink(str(victim), g.state)
        assert g.ptz("SetPreset", "<x:PresetName>yard</x:PresetName><x:PresetToken>2</x:PresetToken>")[0] == 200
        assert victim.read_text() == "keep me"
        assert not os.path.islink(g.state) and stored_names(g) == {"1": "gate", "2": "yard"}
        # A save that fails answers a fault; the motion layer keeps the
        # change in memory (the head has the preset all the same).
        os.unlink(g.state)
        os.mkdir(g.state)  # nothing can be renamed over a directory
        status, body = g.ptz("SetPreset", "<x:PresetName>door</x:PresetName><x:PresetToken>3</x:PresetToken>")
        assert status == 500 and fault_codes(body)[:2] == ["s:Receiver", "ter:Action"]
        status, body = g.ptz("RemovePreset", "<x:PresetToken>1</x:PresetToken>")
        assert status == 500 and fault_codes(body)[:2] == ["s:Receiver", "ter:Action"]
        assert preset_names(g) == {"2": "yard", "3": "door"}
        assert sorted(os.listdir(str(tmp_path))) == ["ptzd.log", "roof.presets.json", "roof.presets.json.tmp",
                                                       "site.toml", "victim"]
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
        open("{tmp_path}/ready", "w").close()
        end = time.time() + 30  # until the Bye, at the latest then
        with open("{tmp_path}/heard.txt", "w") as out:
            while time.time() < end:
                try:
                    message = s.recv(65536).decode()
                    out.write(message + "\\n----\\n")
                    out.flush()
                    if "discovery/Bye" in message:
                        break
                except socket.timeout:
                    pass
        """))
    script = textwrap.dedent(f"""\
        set -e
        ip link set lo up
        ip route add 224.0.0.0/4 dev lo
        python3 {listener} & heard=$!
        # Each step waits for what it needs (at most 20 s), never a fixed time.
        n=0; until [ -e {tmp_path}/ready ] || [ $n -ge 400 ]; do sleep 0.05; n=$((n+1)); done
        {PTZD} --config {config} 2> {tmp_path}/ptzd.log & pid=$!
        n=0; until grep -q "ptzd running" {tmp_path}/ptzd.log || [ $n -ge 400 ]; do sleep 0.05; n=$((n+1)); done
        NODE_PATH={node_modules} node {probe}
        kill $pid; wait $pid || true
        wait $heard || true
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


# ---- WS-Discovery in namespaces of its own -------------------------------------------------

DISCOVERY_KIT = r'''
import atexit, json, os, select, signal, socket, subprocess, sys, time, uuid
import xml.etree.ElementTree as ET

GROUP = ("239.255.255.250", 3702)
PTZD = sys.argv[1]
WORK = sys.argv[2]
CHILDREN = []
atexit.register(lambda: [p.kill() for p in CHILDREN if p.poll() is None])


def spawn(command, **options):
    """A child that is ended with this script, whatever happens."""
    CHILDREN.append(subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, **options))
    return CHILDREN[-1]


def sh(command):
    subprocess.run(command, shell=True, check=True)


def start_ptzd(heads):
    """ptzd with one ONVIF head per (name, address); its log in WORK."""
    lines = ['http = "off"']
    for i, (name, address) in enumerate(heads):
        lines += ["[[head]]", f'name = "{name}"', f'link = "tcp:127.0.0.1:{40000 + i}"', f'onvif = "{address}"']
    config = os.path.join(WORK, "site.toml")
    with open(config, "w") as f:
        f.write("\n".join(lines) + "\n")
    return spawn([PTZD, "--config", config], stderr=open(os.path.join(WORK, "ptzd.log"), "a"))


def stop_ptzd(process):
    process.send_signal(signal.SIGTERM)
    process.wait(timeout=10)


def prober(source="127.0.0.1", via="127.0.0.1", loop=True):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind((source, 0))
    s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(via))
    s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_LOOP, 1 if loop else 0)
    s.setblocking(False)
    return s


def probe(s, types=None, scopes=None, match_by=None):
    message_id = "urn:uuid:" + str(uuid.uuid4())
    types_xml = ("" if types is None else
                 '<d:Types xmlns:dn="http://www.onvif.org/ver10/network/wsdl" '
                 f'xmlns:tds="http://www.onvif.org/ver10/device/wsdl" xmlns:x="urn:example">{types}</d:Types>')
    scopes_xml = ("" if scopes is None else
                  "<d:Scopes" + (f' MatchBy="{match_by}"' if match_by else "") + f">{scopes}</d:Scopes>")
    s.sendto(('<s:Envelope xmlns:s="http://www.w3.org/2003/05/soap-envelope" '
              'xmlns:a="http://schemas.xmlsoap.org/ws/2004/08/addressing" '
              'xmlns:d="http://schemas.xmlsoap.org/ws/2005/04/discovery"><s:Header>'
              f'<a:MessageID>{message_id}</a:MessageID><a:To>urn:schemas-xmlsoap-org:ws:2005:04:discovery</a:To>'
              '<a:Action>http://schemas.xmlsoap.org/ws/2005/04/discovery/Probe</a:Action></s:Header>'
              f'<s:Body><d:Probe>{types_xml}{scopes_xml}</d:Probe></s:Body></s:Envelope>').encode(), GROUP)
    return message_id


def text_of(root, local):
    return next((e.text for e in root.iter() if e.tag.endswith("}" + local)), None)


def answers(s):
    """Every answer waiting on s: what it relates to, its XAddrs and Scopes."""
    out = []
    while True:
        try:
            root = ET.fromstring(s.recv(65536))
        except BlockingIOError:
            return out
        out.append({"relates": text_of(root, "RelatesTo"), "xaddrs": text_of(root, "XAddrs"),
                    "scopes": text_of(root, "Scopes")})


def answered(s, timeout=15, **what):
    """Probes until an answer comes (ptzd may still be starting); the answers
    to that probe. Every probe sent before it has been dealt with by then."""
    deadline = time.time() + timeout
    while time.time() < deadline:
        message_id = probe(s, **what)
        end = time.time() + 1
        while time.time() < end:
            select.select([s], [], [], 0.1)
            got = [a for a in answers(s) if a["relates"] == message_id]
            if got:
                return got
    raise SystemExit("no answer to a probe")
'''


def in_namespace(tmp_path, scenario):
    """Runs DISCOVERY_KIT + scenario inside a network namespace of its own;
    the JSON it prints last."""
    if not shutil.which("unshare") or subprocess.run(["unshare", "--net", "true"]).returncode != 0:
        pytest.skip("cannot make a network namespace here")
    script = tmp_path / "scenario.py"
    script.write_text(DISCOVERY_KIT + "# ---- scenario\n" + textwrap.dedent(scenario))
    run = subprocess.run(["unshare", "--net", sys.executable, str(script), PTZD, str(tmp_path)],
                         capture_output=True, text=True, timeout=120)
    log = (tmp_path / "ptzd.log").read_text() if (tmp_path / "ptzd.log").exists() else ""
    assert run.returncode == 0, run.stdout + run.stderr + log
    return json.loads(run.stdout.strip().splitlines()[-1])


def test_discovery_on_loopback_sends_nothing_elsewhere(tmp_path):
    # A second interface with the multicast route: everything ptzd sent
    # there would be seen by a packet socket bound to it. (A dummy interface
    # where the kernel has them, else one end of a veth pair.)
    result = in_namespace(tmp_path, f"""
        sh("ip link set lo up && ip link set lo multicast on")
        if subprocess.run("ip link add d0 type dummy", shell=True, stderr=subprocess.DEVNULL).returncode != 0:
            sh("ip link add d0 type veth peer name d1 && echo 1 > /proc/sys/net/ipv6/conf/d1/disable_ipv6")
            sh("ip link set d1 up")
        sh("echo 1 > /proc/sys/net/ipv6/conf/d0/disable_ipv6")
        sh("ip addr add 10.9.0.1/24 dev d0 && ip link set d0 up multicast on && ip route add 224.0.0.0/4 dev d0")
        capture = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(3))  # every protocol
        capture.bind(("d0", 0))
        capture.setblocking(False)
        ptzd = start_ptzd([("roof", "127.0.0.1:{free_port()}")])
        got = answered(prober())
        stop_ptzd(ptzd)
        seen = []
        while True:
            try:
                seen.append(capture.recv(65536).hex()[:120])
            except BlockingIOError:
                break
        print(json.dumps({{"xaddrs": got[0]["xaddrs"], "seen": seen}}))
        """)
    assert result["xaddrs"].startswith("http://127.0.0.1:")
    assert result["seen"] == []


def test_probes_are_answered_when_they_match_and_not_too_often(tmp_path):
    roof, yard = free_port(), free_port()
    result = in_namespace(tmp_path, f"""
        sh("ip link set lo up && ip route add 224.0.0.0/4 dev lo")
        ptzd = start_ptzd([("roof", "127.0.0.1:{roof}"), ("yard", "[::1]:{yard}")])
        answered(prober("127.0.0.2"))
        cases = json.loads({json.dumps(PROBE_CASES)!r})
        sockets = []
        for i, case in enumerate(cases):  # each from an address of its own: no rate limit between them
            s = prober(f"127.0.1.{{i + 1}}")
            probe(s, **case["probe"])
            sockets.append(s)
        answered(prober("127.0.0.3"))
        heard = [sorted(a["scopes"].split("/name/")[1].split()[0] for a in answers(s)) for s in sockets]
        # A burst from one address.
        s = prober("127.0.0.4")
        began = time.time()
        burst = [probe(s) for _ in range(12)]
        took = time.time() - began
        answered(prober("127.0.0.5"))
        got = answers(s)
        stop_ptzd(ptzd)
        print(json.dumps({{"heard": heard, "burst": len({{a["relates"] for a in got}}), "took": took,
                          "xaddrs": sorted({{a["xaddrs"] for a in got}})}}))
        """)
    for case, heard in zip(PROBE_CASES, result["heard"]):
        assert heard == case["heads"], case
    # Three probes a second from one address at most (the burst may span two seconds).
    assert 1 <= result["burst"] <= 3 * (int(result["took"]) + 2)
    assert result["xaddrs"] == [f"http://127.0.0.1:{roof}/onvif/device_service",
                                f"http://[::1]:{yard}/onvif/device_service"]


def test_a_device_made_non_discoverable_stops_answering_and_stays_so(tmp_path):
    roof, yard = free_port(), free_port()
    result = in_namespace(tmp_path, f"""
        import urllib.request
        sh("ip link set lo up && ip route add 224.0.0.0/4 dev lo")

        def mode(port, value=None):
            inner = f"<x:DiscoveryMode>{{value}}</x:DiscoveryMode>" if value else ""
            operation = "SetDiscoveryMode" if value else "GetDiscoveryMode"
            body = ('<s:Envelope xmlns:s="http://www.w3.org/2003/05/soap-envelope"><s:Body>'
                    f'<x:{{operation}} xmlns:x="http://www.onvif.org/ver10/device/wsdl">{{inner}}</x:{{operation}}>'
                    '</s:Body></s:Envelope>').encode()
            request = urllib.request.Request(f"http://127.0.0.1:{{port}}/onvif/device_service", data=body,
                                             headers={{"Content-Type": "application/soap+xml"}})
            with urllib.request.urlopen(request, timeout=10) as r:
                return r.read().decode()

        sources = iter(range(1, 200))
        def heard():
            # The heads answering a probe: every answer to it has come once
            # the answer to a second probe, sent after it, is in.
            s = prober(f"127.0.2.{{next(sources)}}")
            first = probe(s)
            seen = []
            second = probe(s)
            deadline = time.time() + 10
            while time.time() < deadline and not any(a["relates"] == second for a in seen):
                select.select([s], [], [], 0.1)
                seen += answers(s)
            return sorted(a["scopes"].split("/name/")[1].split()[0] for a in seen if a["relates"] == first)

        ptzd = start_ptzd([("roof", "127.0.0.1:{roof}"), ("yard", "127.0.0.1:{yard}")])
        answered(prober("127.0.0.2"))
        before = heard()
        mode({roof}, "NonDiscoverable")
        after = heard()
        stop_ptzd(ptzd)
        ptzd = start_ptzd([("roof", "127.0.0.1:{roof}"), ("yard", "127.0.0.1:{yard}")])
        answered(prober("127.0.0.3"))
        restarted, kept = heard(), "NonDiscoverable" in mode({roof})
        mode({roof}, "Discoverable")
        back = heard()
        stop_ptzd(ptzd)
        print(json.dumps({{"before": before, "after": after, "restarted": restarted, "kept": kept, "back": back}}))
        """)
    assert result == {"before": ["roof", "yard"], "after": ["yard"], "restarted": ["yard"], "kept": True,
                      "back": ["roof", "yard"]}


RFC3986 = "http://schemas.xmlsoap.org/ws/2005/04/discovery/rfc3986"
STRCMP0 = "http://schemas.xmlsoap.org/ws/2005/04/discovery/strcmp0"
PROBE_CASES = [{"probe": probe, "heads": heads} for probe, heads in [
    ({}, ["roof", "yard"]),
    ({"types": "dn:NetworkVideoTransmitter"}, ["roof", "yard"]),
    ({"types": "tds:Device dn:NetworkVideoTransmitter"}, ["roof", "yard"]),
    ({"types": "NetworkVideoTransmitter"}, ["roof", "yard"]),
    ({"types": "dn:Device"}, []),            # Device is the device service's type, not the network's
    ({"types": "x:NetworkVideoTransmitter"}, []),
    ({"types": "dn:NetworkVideoDisplay"}, []),
    ({"scopes": ""}, ["roof", "yard"]),
    ({"scopes": "onvif://www.onvif.org/name/roof"}, ["roof"]),
    ({"scopes": "onvif://www.onvif.org/name/yard/"}, ["yard"]),
    ({"scopes": "ONVIF://WWW.ONVIF.ORG/name/roof"}, ["roof"]),
    ({"scopes": "onvif://www.onvif.org/name"}, ["roof", "yard"]),
    ({"scopes": "onvif://www.onvif.org/name/roo"}, []),  # segments, not characters
    ({"scopes": "onvif://www.onvif.org/name/nosuchhead"}, []),
    ({"scopes": "onvif://www.onvif.org/Name/roof"}, []),
    ({"scopes": "onvif://www.onvif.org/type/ptz onvif://www.onvif.org/name/roof"}, ["roof"]),
    ({"scopes": "onvif://www.onvif.org/type/ptz onvif://www.onvif.org/name/gate"}, []),
    ({"scopes": "onvif://www.onvif.org/name/roof", "match_by": RFC3986}, ["roof"]),
    ({"scopes": "onvif://www.onvif.org/name/roof", "match_by": STRCMP0}, ["roof"]),
    ({"scopes": "onvif://www.onvif.org/name", "match_by": STRCMP0}, []),
    ({"scopes": "onvif://www.onvif.org/name/roof", "match_by": "urn:example:rule"}, []),
    ({"types": "dn:NetworkVideoTransmitter", "scopes": "onvif://www.onvif.org/name/nosuchhead"}, []),
]]


def test_a_wildcard_address_answers_with_the_address_the_probe_came_to(tmp_path):
    port = free_port()
    result = in_namespace(tmp_path, f"""
        sh("ip link set lo up && ip route add 224.0.0.0/4 dev lo")
        # Another machine behind a virtual cable: namespace B at 10.9.0.2.
        other = spawn(["unshare", "--net", "sleep", "60"])
        netns = f"/proc/{{other.pid}}/ns/net"
        deadline = time.time() + 10
        while os.readlink(netns) == os.readlink("/proc/self/ns/net") and time.time() < deadline:
            time.sleep(0.01)  # until it has a namespace of its own
        sh(f"ip link add v0 type veth peer name v1 netns {{other.pid}}")
        sh("ip addr add 10.9.0.1/24 dev v0 && ip link set v0 up")
        inside = f"nsenter --net={{netns}} "
        sh(inside + "sh -c 'ip link set lo up && ip addr add 10.9.0.2/24 dev v1 && ip link set v1 up && "
                    "ip route add 224.0.0.0/4 dev v1'")
        ptzd = start_ptzd([("roof", "0.0.0.0:{port}")])
        here = answered(prober())[0]["xaddrs"]
        # From B: its probe arrives on v0.
        kit = open(sys.argv[0]).read().split("# ---- scenario")[0]
        with open(os.path.join(WORK, "remote.py"), "w") as f:
            f.write(kit + "print(json.dumps(answered(prober('10.9.0.2', '10.9.0.2', loop=False))))\\n")
        remote = subprocess.run(inside + f"{{sys.executable}} {{WORK}}/remote.py {{PTZD}} {{WORK}}", shell=True,
                                check=True, capture_output=True, text=True).stdout
        stop_ptzd(ptzd)
        print(json.dumps({{"here": here, "there": json.loads(remote.splitlines()[-1])[0]["xaddrs"]}}))
        """)
    assert result["here"] == f"http://127.0.0.1:{port}/onvif/device_service"
    assert result["there"] == f"http://10.9.0.1:{port}/onvif/device_service"


# ---- PTZ over the motion layer: spaces, move status, limits, configuration, aux, tours ----

PTZ_NS = "{http://www.onvif.org/ver20/ptz/wsdl}"
DEGREES = "http://www.onvif.org/ver10/tptz/PanTiltSpaces/SphericalPositionSpaceDegrees"
DEGREES_TRANSLATION = "http://www.onvif.org/ver10/tptz/PanTiltSpaces/SphericalTranslationSpaceDegrees"
FOV = "http://www.onvif.org/ver10/tptz/PanTiltSpaces/TranslationSpaceFov"
GENERIC = "http://www.onvif.org/ver10/tptz/PanTiltSpaces/PositionGenericSpace"


def status(g):
    """GetStatus: (MoveStatus, generic x, generic y)."""
    code, body = g.ptz("GetStatus")
    assert code == 200, body
    root = ET.fromstring(body)
    pan_tilt = root.find(f".//{TT}Position/{TT}PanTilt")
    return root.find(f".//{TT}MoveStatus/{TT}PanTilt").text, float(pan_tilt.get("x")), float(pan_tilt.get("y"))


def settled(g):
    """Waits for IDLE with the head's position unchanged between two readings; the head's position."""
    last = [None]

    def still():
        now = g.head()
        same = now == last[0] and status(g)[0] == "IDLE"
        last[0] = now
        return same
    wait_for(still, timeout=40)
    return last[0]


def move(g, operation, x, y, space="", speed=None):
    element = "Position" if operation == "AbsoluteMove" else "Translation"
    space_attribute = f' space="{space}"' if space else ""
    inner = f'<x:{element}><tt:PanTilt x="{x}" y="{y}"{space_attribute}/></x:{element}>'
    if speed is not None:
        inner += f'<x:Speed><tt:PanTilt x="{speed}" y="{speed}"/></x:Speed>'
    return g.ptz(operation, inner)


@pytest.fixture
def limited(tmp_path):
    g = OnvifGateway(tmp_path, user="", head_lines=["fov_horizontal = 40.0", "fov_vertical = 20.0",
                                                     "pan_limits = [-30.0, 30.0]", "tilt_limits = [-20.0, 10.0]"])
    yield g
    g.close()


def test_a_fov_move_turns_by_its_share_of_the_field_of_view_and_is_seen_moving(limited):
    g = limited
    start = settled(g)
    assert status(g)[0] == "IDLE"
    # The image's centre is 0, its edges ±1: 0.5 is a quarter of the view
    # (40 by 20 degrees here), slowly enough to be seen moving.
    assert move(g, "RelativeMove", 0.5, -0.5, FOV, speed=0.1)[0] == 200
    wait_for(lambda: status(g)[0] == "MOVING")
    rest = settled(g)
    assert (rest["pan"] - start["pan"], rest["tilt"] - start["tilt"]) == (1000, -500)  # 10 and -5 degrees


@pytest.mark.parametrize("cx,cy,expected", [
    (1440, 540, (1000, 0)),      # three quarters across a 1920 by 1080 frame: a quarter of the view right
    (0, 0, (-2000, 1000)),       # the upper left corner: half the view left and up
    (960, 810, (0, -500)),       # below the centre: the head tilts down
])
def test_an_object_off_centre_is_centred_by_the_move_a_tracker_computes(limited, cx, cy, expected):
    """A tracker sends x = 2cx/w - 1 and y = -(2cy/h - 1) (the image's y
    runs down) to bring an object at (cx, cy) to the centre."""
    g = limited
    assert move(g, "AbsoluteMove", 0, 0, DEGREES)[0] == 200
    start = settled(g)
    width, height = 1920, 1080
    assert move(g, "RelativeMove", 2 * cx / width - 1, -(2 * cy / height - 1), FOV)[0] == 200
    rest = settled(g)
    assert (rest["pan"] - start["pan"], rest["tilt"] - start["tilt"]) == expected


@pytest.mark.parametrize("operation,x,y,space,expected", [
    ("AbsoluteMove", 12.5, -7.25, DEGREES, (1250, -725)),
    ("AbsoluteMove", 0.1, 0.3333333333, GENERIC, (1700, -1000)),  # generic spans the mechanical range
    ("AbsoluteMove", 90, -90, DEGREES, (3000, -2000)),            # inside the mechanical range: clamped to the limits
    ("AbsoluteMove", 1, -1, "", (3000, -2000)),
    ("RelativeMove", -2.5, 1.5, DEGREES_TRANSLATION, (-250, 150)),
])
def test_degrees_and_generic_spaces_round_trip_inside_the_soft_limits(limited, operation, x, y, space, expected):
    g = limited
    assert move(g, "AbsoluteMove", 0, 0, DEGREES)[0] == 200
    settled(g)
    assert move(g, operation, x, y, space)[0] == 200
    rest = settled(g)
    assert (rest["pan"], rest["tilt"]) == expected
    # GetStatus gives the same place in the generic space.
    _, gx, gy = status(g)
    assert abs(gx - (-1 + 2 * (rest["pan"] + 17000) / 34000)) < 1e-4
    assert abs(gy - (-1 + 2 * (rest["tilt"] + 9000) / 12000)) < 1e-4


def test_a_continuous_move_stops_at_the_soft_limit(limited):
    g = limited
    # A time-out past the longest lease runs for the longest lease, not refused.
    assert g.ptz("ContinuousMove", '<x:Velocity><tt:PanTilt x="1" y="0"/></x:Velocity><x:Timeout>PT1H</x:Timeout>')[0] == 200
    rest = settled(g)
    assert 2800 <= rest["pan"] <= 3000, rest


def test_each_axis_moves_at_its_own_speed(limited):
    g = limited
    for x, y, expected in ((1, 0, {0: 255, 4: 1}), (0.5, None, {0: 128, 4: 128})):
        g.sim.control("clear-requests")
        speed = f'<x:Speed><tt:PanTilt x="{x}"' + ("" if y is None else f' y="{y}"') + "/></x:Speed>"
        assert g.ptz("RelativeMove", '<x:Translation><tt:PanTilt x="0.01" y="0.01"/></x:Translation>' + speed)[0] == 200
        settled(g)
        assert {f[5]: f[6] for f in frames(g.sim, SET_MOTOR_SPEED)} == expected


def spaces_of(body):
    """{(element, uri): (xmin, xmax, ymin, ymax)} of a Spaces list."""
    out = {}
    for space in ET.fromstring(body).find(f".//{TT}Spaces"):
        ranges = [space.find(f"{TT}{r}") for r in ("XRange", "YRange")]
        out[(space.tag.split("}")[1], space.find(f"{TT}URI").text)] = tuple(
            float(r.find(f"{TT}{m}").text) for r in ranges if r is not None for m in ("Min", "Max"))
    return out


def test_configuration_options_list_every_space_with_the_limits(limited):
    code, body = limited.soap("GetConfigurationOptions", "tptz", "<x:ConfigurationToken>PTZConfig_1</x:ConfigurationToken>",
                              path="/onvif/ptz_service")
    assert code == 200
    spaces = spaces_of(body)
    assert spaces[("AbsolutePanTiltPositionSpace", DEGREES)] == (-30, 30, -20, 10)
    assert spaces[("AbsolutePanTiltPositionSpace", GENERIC)] == pytest.approx((-30 / 170, 30 / 170, 1 / 6, 2 / 3), abs=1e-5)
    assert spaces[("RelativePanTiltTranslationSpace", FOV)] == (-1, 1, -1, 1)
    assert spaces[("RelativePanTiltTranslationSpace", DEGREES_TRANSLATION)] == (-60, 60, -30, 30)
    _, body = limited.ptz("GetServiceCapabilities")
    caps = ET.fromstring(body).find(f".//{PTZ_NS}Capabilities")
    assert caps.get("MoveStatus") == caps.get("StatusPosition") == caps.get("GetCompatibleConfigurations") == "true"
    code, body = limited.ptz("GetCompatibleConfigurations")
    assert code == 200 and [c.get("token") for c in ET.fromstring(body).iter(f"{PTZ_NS}PTZConfiguration")] == ["PTZConfig_1"]


SET_CONFIGURATION = ('<x:PTZConfiguration token="PTZConfig_1"><tt:Name>PTZConfig</tt:Name><tt:UseCount>1</tt:UseCount>'
                     '<tt:NodeToken>PTZNode_1</tt:NodeToken><tt:DefaultPTZSpeed><tt:PanTilt x="{speed}" y="{speed}"/>'
                     '</tt:DefaultPTZSpeed><tt:DefaultPTZTimeout>{timeout}</tt:DefaultPTZTimeout><tt:PanTiltLimits>'
                     '<tt:Range><tt:URI>{uri}</tt:URI><tt:XRange><tt:Min>{x0}</tt:Min><tt:Max>{x1}</tt:Max></tt:XRange>'
                     '<tt:YRange><tt:Min>{y0}</tt:Min><tt:Max>{y1}</tt:Max></tt:YRange></tt:Range></tt:PanTiltLimits>'
                     '</x:PTZConfiguration><x:ForcePersistence>true</x:ForcePersistence>')


def test_set_configuration_is_checked_and_survives_a_restart(limited):
    g = limited
    set_configuration = lambda **v: g.soap("SetConfiguration", "tptz", SET_CONFIGURATION.format(
        **{"speed": 0.5, "timeout": "PT20S", "uri": DEGREES, "x0": -20, "x1": 20, "y0": -10, "y1": 5, **v}),
        path="/onvif/ptz_service")
    # Outside the head's limits, a timeout of nothing, a speed past 1: refused, nothing kept.
    for bad in ({"x1": 31}, {"y0": -21}, {"x0": 5, "x1": 4}, {"timeout": "PT0S"}, {"timeout": "PT601S"}, {"speed": 1.5},
                {"uri": "urn:other"}):
        code, body = set_configuration(**bad)
        assert code == 400 and fault_codes(body)[:2] == ["s:Sender", "ter:InvalidArgVal"], bad
    assert not os.path.exists(os.path.join(str(g.tmp_path), "roof.onvif.json"))
    assert set_configuration()[0] == 200
    g.stop()
    g.start()
    _, body = g.soap("GetConfiguration", "tptz", "<x:PTZConfigurationToken>PTZConfig_1</x:PTZConfigurationToken>",
                     path="/onvif/ptz_service")
    root = ET.fromstring(body)
    assert root.find(f".//{TT}DefaultPTZTimeout").text == "PT20S"
    assert root.find(f".//{TT}DefaultPTZSpeed/{TT}PanTilt").get("x") == "0.5"
    # The new limits hold for ONVIF's moves.
    assert move(g, "AbsoluteMove", 25, 9, DEGREES)[0] == 200
    rest = settled(g)
    assert (rest["pan"], rest["tilt"]) == (2000, 500)
    # Continuous moves too: they end at the configuration's limits, not the head's.
    assert g.ptz("ContinuousMove", '<x:Velocity><tt:PanTilt x="-1" y="-1"/></x:Velocity><x:Timeout>PT30S</x:Timeout>')[0] == 200
    rest = settled(g)
    assert (rest["pan"], rest["tilt"]) == (-2000, -1000)
    code, body = g.soap("SetConfiguration", "tptz", '<x:PTZConfiguration token="other"/>', path="/onvif/ptz_service")
    assert fault_codes(body) == ["s:Sender", "ter:InvalidArgVal", "ter:NoEntity"]


def test_auxiliary_commands_switch_the_ir_lamp(onvif):
    sec = lambda: token("admin", "secret")
    _, body = onvif.soap("GetNodes", "tptz", security=sec(), path="/onvif/ptz_service")
    assert [a.text for a in ET.fromstring(body).iter(f"{TT}AuxiliaryCommands")] == ["tt:IRLamp|On", "tt:IRLamp|Off"]
    for command, state in (("tt:IRLamp|On", 1), ("tt:IRLamp|Off", 0), ("tt:IRLamp|On", 1)):
        code, body = onvif.ptz("SendAuxiliaryCommand", f"<x:AuxiliaryData>{command}</x:AuxiliaryData>", security=sec())
        assert code == 200 and command in body
        assert onvif.http("/api/heads/roof/GetSystemSettingInfo")["setting3"] == state
    onvif.sim.control("clear-requests")
    for command in ("tt:IRLamp|Blink", "tt:Wiper|On", ""):
        code, body = onvif.ptz("SendAuxiliaryCommand", f"<x:AuxiliaryData>{command}</x:AuxiliaryData>", security=sec())
        assert code == 400 and fault_codes(body)[:2] == ["s:Sender", "ter:InvalidArgVal"]
    assert frames(onvif.sim, SET_IR_CONTROL) == []


def test_preset_names_are_shared_with_the_http_api(tmp_path):
    g = OnvifGateway(tmp_path, user="")
    try:
        assert g.ptz("SetPreset", "<x:PresetName>gate</x:PresetName><x:PresetToken>2</x:PresetToken>")[0] == 200
        names = {p["preset"]: p["name"] for p in g.http("/api/heads/roof/presets")["presets"] if p["name"]}
        assert names == {2: "gate"}
        g.send_json("POST", "/api/heads/roof/presets/5", {"name": "yard"})
        assert preset_names(g) == {"2": "gate", "5": "yard"}
        # A second preset of an existing name is refused, the same one renamed to itself is not.
        code, body = g.ptz("SetPreset", "<x:PresetName>yard</x:PresetName><x:PresetToken>3</x:PresetToken>")
        assert fault_codes(body) == ["s:Sender", "ter:InvalidArgVal", "ter:PresetExist"]
        assert g.ptz("SetPreset", "<x:PresetName>yard</x:PresetName><x:PresetToken>5</x:PresetToken>")[0] == 200
        assert g.ptz("RemovePreset", "<x:PresetToken>2</x:PresetToken>")[0] == 200
        assert [p["name"] for p in g.http("/api/heads/roof/presets")["presets"]][1] == ""
    finally:
        g.close()


@pytest.mark.parametrize("operation,service,inner,path,codes", [
    ("GetStatus", "tptz", "<x:ProfileToken>nope</x:ProfileToken>", "/onvif/ptz_service",
     ["s:Sender", "ter:InvalidArgVal", "ter:NoProfile"]),
    ("GetNode", "tptz", "<x:NodeToken>nope</x:NodeToken>", "/onvif/ptz_service", ["s:Sender", "ter:InvalidArgVal", "ter:NoEntity"]),
    ("GetConfiguration", "tptz", "<x:PTZConfigurationToken>nope</x:PTZConfigurationToken>", "/onvif/ptz_service",
     ["s:Sender", "ter:InvalidArgVal", "ter:NoEntity"]),
    ("AbsoluteMove", "tptz", PROFILE + '<x:Position><tt:PanTilt x="1.5" y="0"/></x:Position>', "/onvif/ptz_service",
     ["s:Sender", "ter:InvalidArgVal", "ter:InvalidPosition"]),
    ("AbsoluteMove", "tptz", PROFILE + f'<x:Position><tt:PanTilt x="171" y="0" space="{DEGREES}"/></x:Position>',
     "/onvif/ptz_service", ["s:Sender", "ter:InvalidArgVal", "ter:InvalidPosition"]),
    ("GotoPreset", "tptz", PROFILE + "<x:PresetToken>9</x:PresetToken>", "/onvif/ptz_service",
     ["s:Sender", "ter:InvalidArgVal", "ter:NoToken"]),
    ("GetPresetTour", "tptz", PROFILE + "<x:PresetTourToken>nope</x:PresetTourToken>", "/onvif/ptz_service",
     ["s:Sender", "ter:InvalidArgVal", "ter:NoToken"]),
    ("GeoMove", "tptz", PROFILE + '<x:Target lat="47" lon="8"/>', "/onvif/ptz_service",
     ["s:Receiver", "ter:Action", "ter:GeoLocationUnknown"]),
    ("MoveAndStartTracking", "tptz", PROFILE, "/onvif/ptz_service", ["s:Receiver", "ter:ActionNotSupported"]),
    ("GetStatus", "tptz", PROFILE, "/onvif/no_such_service", ["s:Receiver", "ter:ActionNotSupported"]),
])
def test_faults_carry_both_subcode_levels(tmp_path, operation, service, inner, path, codes):
    g = OnvifGateway(tmp_path, user="")
    try:
        code, body = g.soap(operation, service, inner, path=path)
        assert code >= 400 and fault_codes(body) == codes, body
    finally:
        g.close()


def test_a_host_without_a_port_gets_the_port(onvif):
    for host in ("127.0.0.1", "[::1]", "camera.local"):
        body = (f'<s:Envelope xmlns:s="{SOAP}"><s:Body><GetCapabilities xmlns="http://www.onvif.org/ver10/device/wsdl"/>'
                f'</s:Body></s:Envelope>').encode()
        request = urllib.request.Request(f"http://127.0.0.1:{onvif.onvif_port}/onvif/device_service", data=body, method="POST")
        request.add_header("Content-Type", "application/soap+xml")
        request.add_header("Host", host)
        with urllib.request.urlopen(request, timeout=10) as r:
            answer = r.read().decode()
        xaddrs = [e.text for e in ET.fromstring(answer).iter(f"{TT}XAddr")]
        assert xaddrs and all(x.startswith(f"http://{host}:{onvif.onvif_port}/") for x in xaddrs), (host, xaddrs)


TOUR = ('<x:PresetTour token="{token}"><tt:Name>{token}</tt:Name><tt:Status><tt:State>Idle</tt:State></tt:Status>'
        '<tt:AutoStart>false</tt:AutoStart><tt:StartingCondition><tt:RecurringTime>1</tt:RecurringTime>'
        '</tt:StartingCondition>{spots}</x:PresetTour>')
SPOT = '<tt:TourSpot><tt:PresetDetail>{detail}</tt:PresetDetail><tt:StayTime>PT0.2S</tt:StayTime></tt:TourSpot>'


def test_a_preset_tour_made_over_onvif_runs_on_the_motion_layer(tmp_path):
    g = OnvifGateway(tmp_path, user="")
    try:
        assert move(g, "AbsoluteMove", 10, 5, DEGREES)[0] == 200
        settled(g)
        assert g.ptz("SetPreset", "<x:PresetName>gate</x:PresetName><x:PresetToken>1</x:PresetToken>")[0] == 200
        code, body = g.ptz("CreatePresetTour")
        assert code == 200
        name = ET.fromstring(body).find(f".//{PTZ_NS}PresetTourToken").text
        spots = SPOT.format(detail=f'<tt:PTZPosition><tt:PanTilt x="-15" y="-5" space="{DEGREES}"/></tt:PTZPosition>') + \
            SPOT.format(detail="<tt:PresetToken>1</tt:PresetToken>")
        assert g.ptz("ModifyPresetTour", TOUR.format(token=name, spots=spots))[0] == 200
        tours = g.http("/api/heads/roof/tours")["tours"]
        assert [(t["name"], [s.get("preset", 0) for s in t["steps"]], t["loop"]) for t in tours] == [(name, [0, 1], False)]
        # Started over ONVIF: the head goes to the position, then to the preset, and the tour ends.
        assert g.ptz("OperatePresetTour", f"<x:PresetTourToken>{name}</x:PresetTourToken>"
                                          "<x:Operation>Start</x:Operation>")[0] == 200
        wait_for(lambda: g.head() == {**g.head(), "pan": -1500, "tilt": -500})
        wait_for(lambda: g.http("/api/heads/roof/tours")["current"]["state"] == "idle" and
                 (g.head()["pan"], g.head()["tilt"]) == (1000, 500))
        _, body = g.ptz("GetPresetTour", f"<x:PresetTourToken>{name}</x:PresetTourToken>")
        assert ET.fromstring(body).find(f".//{TT}State").text == "Idle"
        from onvif_soap import validate  # a tour with its spots, and presets with their positions
        validate(body)
        validate(g.ptz("GetPresets")[1])
        assert len(list(ET.fromstring(body).iter(f"{TT}TourSpot"))) == 2
        assert g.ptz("RemovePresetTour", f"<x:PresetTourToken>{name}</x:PresetTourToken>")[0] == 200
        assert g.http("/api/heads/roof/tours")["tours"] == []
    finally:
        g.close()


def test_thirty_two_getstatus_pollers_cost_the_head_only_the_poller(tmp_path):
    """32 keep-alive clients polling GetStatus for three seconds: every
    answer 200, and the head sees the motion layer's poller, not the
    clients. The figures go to the artifacts folder (not asserted as times)."""
    import http.client
    import statistics
    import threading
    g = OnvifGateway(tmp_path, user="")
    try:
        body = (f'<s:Envelope xmlns:s="{SOAP}"><s:Body><x:GetStatus xmlns:x="http://www.onvif.org/ver20/ptz/wsdl">'
                f'{PROFILE}</x:GetStatus></s:Body></s:Envelope>').encode()
        status(g)  # the shared state is being kept
        times, errors, lock = [], [], threading.Lock()
        g.sim.control("clear-requests")
        began = time.monotonic()
        until = began + 3

        def poll():
            c = http.client.HTTPConnection("127.0.0.1", g.onvif_port, timeout=10)
            mine, bad = [], []
            while time.monotonic() < until:
                sent = time.monotonic()
                try:
                    c.request("POST", "/onvif/ptz_service", body, {"Content-Type": "application/soap+xml"})
                    r = c.getresponse()
                    answer = r.read()
                    if r.status != 200 or b"MoveStatus" not in answer:
                        bad.append(r.status)
                except Exception as e:  # never expected
                    bad.append(repr(e))
                    c.close()
                mine.append(time.monotonic() - sent)
            c.close()
            with lock:
                times.extend(mine)
                errors.extend(bad)

        threads = [threading.Thread(target=poll) for _ in range(32)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(30)
        elapsed = time.monotonic() - began
        exchanges = len(g.sim.requests())
        figures = {"clients": 32, "seconds": round(elapsed, 2), "answers": len(times),
                   "answers_per_second": round(len(times) / elapsed), "head_exchanges": exchanges,
                   "head_exchanges_per_second": round(exchanges / elapsed, 1), "errors": len(errors),
                   "median_ms": round(statistics.median(times) * 1000, 3)}
        folder = os.environ.get("PTZ_ARTIFACTS")
        if folder:
            os.makedirs(folder, exist_ok=True)
            with open(os.path.join(folder, "onvif_getstatus_pollers.json"), "w") as f:
                json.dump(figures, f)
        print(figures)
        assert errors == [] and times
        # The poller reads position and status at most 20 times a second
        # (poll_moving_hz), however many clients ask.
        assert exchanges <= 2 * 20 * elapsed + 4, figures
    finally:
        g.close()
