"""zeep (a strict SOAP stack) built from the official WSDLs, offline,
against ptzd's device, media, Media2, PTZ and events services, with
WS-Security UsernameToken and with HTTP Digest; HTTP Digest by hand for
SHA-256, replayed nonce counts and stale nonces."""
import hashlib
import os
import re
import urllib.request

import pytest

from onvif_soap import SCHEMAS, external
from test_onvif import OnvifGateway

zeep = pytest.importorskip("zeep")
requests = pytest.importorskip("requests")
from requests.auth import HTTPDigestAuth  # noqa: E402
from zeep.transports import Transport  # noqa: E402
from zeep.wsse.username import UsernameToken  # noqa: E402

WSDL = "http://schemas.xmlsoap.org/wsdl/"


def events_wsdl(path):
    """event.wsdl without what needs the two OASIS WSDLs it imports (not
    among the schemas): those imports, the bindings of their port types and
    the operations' fault declarations (their messages are there)."""
    from lxml import etree
    tree = etree.parse(path)
    root = tree.getroot()
    for node in list(root.iter(f"{{{WSDL}}}import", f"{{{WSDL}}}fault", f"{{{WSDL}}}binding", f"{{{WSDL}}}port")):
        kind = etree.QName(node).localname
        if kind == "binding" and not node.get("type", "").startswith("tev:"):
            node.getparent().remove(node)
        elif kind == "port" and not node.get("binding", "").startswith("tev:"):
            node.getparent().remove(node)
        elif kind in ("import", "fault"):
            node.getparent().remove(node)
    return etree.tostring(tree)


class LocalTransport(Transport):
    def load(self, url):
        local = external(url)
        if local:
            with open(local, "rb") as f:
                return f.read()
        if url.endswith("event.wsdl") and os.path.isfile(url):
            return events_wsdl(url)
        if url.startswith(("http://", "https://")):
            raise ValueError(f"refusing to fetch {url}")
        return super().load(url)


SERVICES = {
    "device": ("ver10/device/wsdl/devicemgmt.wsdl", "{http://www.onvif.org/ver10/device/wsdl}DeviceBinding", "/onvif/device_service"),
    "media": ("ver10/media/wsdl/media.wsdl", "{http://www.onvif.org/ver10/media/wsdl}MediaBinding", "/onvif/media_service"),
    "media2": ("ver20/media/wsdl/media.wsdl", "{http://www.onvif.org/ver20/media/wsdl}Media2Binding", "/onvif/media2_service"),
    "ptz": ("ver20/ptz/wsdl/ptz.wsdl", "{http://www.onvif.org/ver20/ptz/wsdl}PTZBinding", "/onvif/ptz_service"),
    "events": ("ver10/events/wsdl/event.wsdl", "{http://www.onvif.org/ver10/events/wsdl}EventBinding", "/onvif/events_service"),
}


@pytest.fixture(scope="module")
def gateway(tmp_path_factory):
    g = OnvifGateway(tmp_path_factory.mktemp("zeep"))
    yield g
    g.close()


def service(g, name, auth, address=None, binding=None):
    wsdl, default_binding, path = SERVICES[name]
    session = requests.Session()
    session.trust_env = False  # loopback only, never a proxy
    wsse = None
    if auth == "digest":
        session.auth = HTTPDigestAuth(g.user, g.password)
    else:
        wsse = UsernameToken(g.user, g.password, use_digest=True)
    client = zeep.Client(os.path.join(SCHEMAS, "wsdl", wsdl), transport=LocalTransport(session=session, timeout=20),
                         wsse=wsse)
    return client.create_service(binding or default_binding, address or f"http://127.0.0.1:{g.onvif_port}{path}")


@pytest.mark.parametrize("auth", ["wsse", "digest"])
def test_zeep_calls_every_service(gateway, auth):
    device = service(gateway, "device", auth)
    assert device.GetSystemDateAndTime().DateTimeType == "NTP"
    assert {s.Namespace for s in device.GetServices(IncludeCapability=False)} >= {
        "http://www.onvif.org/ver10/events/wsdl", "http://www.onvif.org/ver20/media/wsdl"}
    assert device.GetCapabilities().Events.XAddr.endswith("/onvif/events_service")
    assert device.GetServiceCapabilities().Security.HttpDigest is True
    mac = device.GetNetworkInterfaces()[0].Info.HwAddress
    assert re.fullmatch(r"[0-9a-f][26ae](:[0-9a-f]{2}){5}", mac)  # loopback: locally administered, from the name
    assert mac == device.GetNetworkInterfaces()[0].Info.HwAddress
    assert [u.Username for u in device.GetUsers()] == [gateway.user]
    assert device.GetDiscoveryMode() == "Discoverable"
    with pytest.raises(zeep.exceptions.Fault):
        device.SetSystemDateAndTime(DateTimeType="Manual", DaylightSavings=False)
    device.SetSystemDateAndTime(DateTimeType="NTP", DaylightSavings=False)

    media = service(gateway, "media", auth)
    assert media.GetProfiles()[0].token == "Profile_1"
    media2 = service(gateway, "media2", auth)
    profile = media2.GetProfiles(Type=["All"])[0]
    assert profile.Configurations.VideoEncoder.Encoding == "H264"
    assert media2.GetProfiles()[0].Configurations is None  # no Type: no configurations
    assert media2.GetStreamUri(Protocol="RTSP", ProfileToken="Profile_1") == "rtsp://127.0.0.1:8554/roof"
    assert media2.GetVideoEncoderConfigurations()[0].Encoding == "H264"

    ptz = service(gateway, "ptz", auth)
    assert ptz.GetStatus(ProfileToken="Profile_1").MoveStatus.PanTilt in ("IDLE", "MOVING")

    events = service(gateway, "events", auth)
    assert events.GetServiceCapabilities().MaxPullPoints >= 4
    subscription = events.CreatePullPointSubscription(InitialTerminationTime="PT60S")
    address = subscription.SubscriptionReference.Address._value_1
    pull = service(gateway, "events", auth, address=address,
                   binding="{http://www.onvif.org/ver10/events/wsdl}PullPointSubscriptionBinding")
    answer = pull.PullMessages(Timeout="PT0S", MessageLimit=10)
    assert answer.TerminationTime is not None


def digest_header(g, nonce, nc, algorithm="SHA-256", uri="/onvif/media_service", password=None):
    h = (lambda s: hashlib.sha256(s.encode()).hexdigest()) if algorithm == "SHA-256" else (lambda s: hashlib.md5(s.encode()).hexdigest())
    ha1 = h(f"{g.user}:ptzd:{password or g.password}")
    ha2 = h(f"POST:{uri}")
    response = h(f"{ha1}:{nonce}:{nc}:abcdef:auth:{ha2}")
    return (f'Digest username="{g.user}", realm="ptzd", nonce="{nonce}", uri="{uri}", algorithm={algorithm}, '
            f'qop=auth, nc={nc}, cnonce="abcdef", response="{response}"')


def post(g, authorization=None):
    body = (b'<s:Envelope xmlns:s="http://www.w3.org/2003/05/soap-envelope"><s:Body>'
            b'<x:GetProfiles xmlns:x="http://www.onvif.org/ver10/media/wsdl"/></s:Body></s:Envelope>')
    request = urllib.request.Request(f"http://127.0.0.1:{g.onvif_port}/onvif/media_service", data=body, method="POST")
    request.add_header("Content-Type", "application/soap+xml")
    if authorization:
        request.add_header("Authorization", authorization)
    try:
        with urllib.request.urlopen(request, timeout=10) as r:
            return r.status, r.headers.get_all("WWW-Authenticate") or []
    except urllib.error.HTTPError as e:
        return e.code, e.headers.get_all("WWW-Authenticate") or []


def test_digest_counts_replays_and_stale_nonces(gateway):
    status, challenges = post(gateway)
    assert status == 401 and len(challenges) == 2
    assert "algorithm=SHA-256" in challenges[0] and "algorithm=MD5" in challenges[1]
    nonce = re.search(r'nonce="([^"]+)"', challenges[0]).group(1)
    for algorithm, nc in (("SHA-256", "00000001"), ("MD5", "00000002")):
        assert post(gateway, digest_header(gateway, nonce, nc, algorithm))[0] == 200
    # The same count again: a replay.
    status, challenges = post(gateway, digest_header(gateway, nonce, "00000001"))
    assert status == 401 and "stale=true" not in challenges[0]
    # A wrong password, and a digest for another path.
    assert post(gateway, digest_header(gateway, nonce, "00000003", password="nope"))[0] == 401
    assert post(gateway, digest_header(gateway, nonce, "00000004", uri="/onvif/ptz_service"))[0] == 401
    # Right, but for a nonce this device does not know (any more): stale.
    status, challenges = post(gateway, digest_header(gateway, "00" * 24, "00000001"))
    assert status == 401 and all("stale=true" in c for c in challenges)
