"""ONVIF's geo operations: the device's location (GetGeoLocation,
SetGeoLocation, DeleteGeoLocation) and the PTZ service's GeoMove, each
request and answer validated against the official schemas, and the
simulated head turned where PROJ (Debian proj-bin's cct, an independent
oracle) says the target lies."""
import re
import shutil

import pytest

from gateway import Sim
from onvif_soap import NS, PATHS, validate
from test_geo import az_el, offset
from test_onvif import OnvifGateway, fault_codes, token, wait_for

if not shutil.which("cct"):
    pytest.skip("PROJ's cct is not installed (scripts/packages.sh installs proj-bin)", allow_module_level=True)

P = "<x:ProfileToken>Profile_1</x:ProfileToken>"
HERE = (46.95, 7.45, 540.0)
YAW = 25.0


def envelope(g, service, operation, inner):
    return (f'<s:Envelope xmlns:s="http://www.w3.org/2003/05/soap-envelope" xmlns:tt="http://www.onvif.org/ver10/schema">'
            f'<s:Header>{token(g.user, g.password)}</s:Header><s:Body>'
            f'<x:{operation} xmlns:x="{NS[service]}">{inner}</x:{operation}></s:Body></s:Envelope>')


def call(g, service, operation, inner="", request_valid=True):
    """The request checked against the schemas too (unless it is meant not
    to be), then its answer."""
    body = envelope(g, service, operation, inner)
    if request_valid:
        validate(body)
    status, answer = g.post(body.encode(), PATHS[service])
    validate(answer)
    return status, answer


def location(lat, lon, elevation, yaw=None):
    orientation = f'<tt:GeoOrientation roll="0" pitch="0" yaw="{yaw}"/>' if yaw is not None else ""
    return f'<x:Location Entity="Device"><tt:GeoLocation lon="{lon}" lat="{lat}" elevation="{elevation}"/>{orientation}</x:Location>'


def geo_move(g, place, speed=None):
    extra = f'<x:Speed><tt:PanTilt x="{speed}" y="{speed}"/></x:Speed>' if speed else ""
    return call(g, "tptz", "GeoMove", P + f'<x:Target lon="{place[1]}" lat="{place[0]}" elevation="{place[2]}"/>' + extra)


def still(g):
    seen = []

    def rested():
        seen.append(g.http("/api/heads/roof/position"))
        return seen[-1]["known"] and not seen[-1]["moving"]
    wait_for(rested)
    return seen[-1]


@pytest.fixture
def gateway(tmp_path):
    g = OnvifGateway(tmp_path, sim=Sim(instant=True))
    yield g
    g.close()


def test_geo_location_is_advertised(gateway):
    status, answer = call(gateway, "tds", "GetServices", "<x:IncludeCapability>true</x:IncludeCapability>")
    assert status == 200 and re.search(r'<tds:System [^>]*GeoLocationEntries="1"', answer), answer
    status, answer = call(gateway, "tptz", "GetNodes")
    assert status == 200 and 'GeoMove="true"' in answer, answer
    # No location configured: none listed, and a GeoMove says why.
    status, answer = call(gateway, "tds", "GetGeoLocation")
    assert status == 200 and "Location" not in answer.split("GetGeoLocationResponse")[1], answer
    status, answer = geo_move(gateway, offset(HERE, 100, 1000, 0))
    assert status == 500 and "ter:GeoLocationUnknown" in fault_codes(answer), answer


def test_set_geo_location_then_geo_moves_land_where_proj_says(gateway):
    g = gateway
    status, answer = call(g, "tds", "SetGeoLocation", location(*HERE, yaw=YAW))
    assert status == 200, answer
    status, answer = call(g, "tds", "GetGeoLocation")
    assert status == 200, answer
    got = re.search(r'<tt:GeoLocation lon="([^"]+)" lat="([^"]+)" elevation="([^"]+)"', answer)
    assert got and abs(float(got[2]) - HERE[0]) < 1e-9 and abs(float(got[1]) - HERE[1]) < 1e-9, answer
    assert abs(float(got[3]) - HERE[2]) < 1e-3 and f'yaw="{YAW:g}"' in answer, answer
    for east, north, up in ((900, 2400, 35), (-1500, 800, -20), (2500, 150, 300)):
        target = offset(HERE, east, north, up)
        az, el = az_el(HERE, target)
        status, answer = geo_move(g, target, speed=1)
        assert status == 200, answer
        p = still(g)
        pan = (az - YAW + 180) % 360 - 180
        # Half a step of the head (0.01 degree) from the oracle.
        assert abs(p["steps"]["pan"] / 100 - pan) <= 0.0051, (east, north, up, p["steps"], pan)
        assert abs(p["steps"]["tilt"] / 100 - el) <= 0.0051, (east, north, up, p["steps"], el)


def test_geo_moves_are_refused_before_anything_moves(gateway):
    g = gateway
    assert call(g, "tds", "SetGeoLocation", location(*HERE, yaw=0))[0] == 200
    before = g.head()
    behind = offset(HERE, 0, -3000, 0)  # due south: pan 180, past the head's limits
    for inner, valid, code in (
        (P + f'<x:Target lon="{behind[1]}" lat="{behind[0]}" elevation="{behind[2]}"/>', True, "ter:UnreachablePosition"),
        (P + '<x:Target lon="7.45" lat="91" elevation="500"/>', True, "ter:InvalidArgVal"),
        (P + '<x:Target lon="7.45" lat="NaN" elevation="500"/>', True, "ter:InvalidArgVal"),
        (P + '<x:Target lon="7.45" elevation="500"/>', True, "ter:InvalidArgVal"),
        (P + '<x:Target lon="7.45" lat="47" elevation="500"/><x:Speed><tt:PanTilt x="3" y="3"/></x:Speed>', True,
         "ter:InvalidSpeed"),
        ("<x:ProfileToken>nope</x:ProfileToken>" + '<x:Target lon="7.45" lat="47" elevation="500"/>', True, "ter:NoProfile"),
        (P, False, "ter:InvalidArgVal"),
    ):
        status, answer = call(g, "tptz", "GeoMove", inner, request_valid=valid)
        assert status in (400, 500) and code in fault_codes(answer), (inner, answer)
    for inner in (location(95, 7, 0), '<x:Location Entity="AudioSource"><tt:GeoLocation lon="7" lat="47"/></x:Location>',
                  location(*HERE) + location(*HERE), location(47, 7, 500, yaw=400),
                  '<x:Location><tt:GeoLocation lon="7" lat="47"/><tt:LocalLocation x="1" y="2" z="3"/></x:Location>'):
        status, answer = call(g, "tds", "SetGeoLocation", inner)
        assert status == 400 and "ter:InvalidArgVal" in fault_codes(answer), (inner, answer)
    assert g.head() == before
    # What was set before the refusals still holds.
    assert re.search(r'lat="46.95', call(g, "tds", "GetGeoLocation")[1])


def test_a_location_set_is_kept_and_a_deleted_one_stays_deleted(gateway):
    g = gateway
    assert call(g, "tds", "SetGeoLocation", location(*HERE, yaw=YAW))[0] == 200
    g.stop()
    g.start()
    answer = call(g, "tds", "GetGeoLocation")[1]
    assert 'lat="46.95' in answer and f'yaw="{YAW:g}"' in answer, answer
    # An update of the orientation alone keeps the place.
    assert call(g, "tds", "SetGeoLocation", '<x:Location><tt:GeoOrientation yaw="-40"/></x:Location>')[0] == 200
    answer = call(g, "tds", "GetGeoLocation")[1]
    assert 'lat="46.95' in answer and 'yaw="-40"' in answer, answer
    status, answer = call(g, "tds", "DeleteGeoLocation", location(*HERE))
    assert status == 200, answer
    status, answer = call(g, "tds", "DeleteGeoLocation", location(*HERE))
    assert status == 400 and "ter:NoEntity" in fault_codes(answer), answer
    g.stop()
    g.start()
    assert "Location" not in call(g, "tds", "GetGeoLocation")[1].split("GetGeoLocationResponse")[1]
    status, answer = geo_move(g, offset(HERE, 100, 1000, 0))
    assert status == 500 and "ter:GeoLocationUnknown" in fault_codes(answer), answer


def test_a_configured_location_is_listed_and_a_target_without_elevation_is_on_the_ground(tmp_path):
    g = OnvifGateway(tmp_path, sim=Sim(instant=True),
                     head_lines=[f"location = [{HERE[0]}, {HERE[1]}, {HERE[2]}]", f"ground_height = {HERE[2] - 12}"])
    try:
        assert 'lat="46.95' in call(g, "tds", "GetGeoLocation")[1]
        target = offset(HERE, 300, 400, -12)
        status, answer = call(g, "tptz", "GeoMove", P + f'<x:Target lon="{target[1]}" lat="{target[0]}"/>')
        assert status == 200, answer
        p = still(g)
        az, el = az_el(HERE, target)
        assert abs(p["steps"]["pan"] / 100 - az) <= 0.0051 and abs(p["steps"]["tilt"] / 100 - el) <= 0.0051, (p, az, el)
    finally:
        g.close()
