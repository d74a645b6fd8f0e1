"""Every answer ptzd's ONVIF services give, faults included, validated
against the official schemas (onvif_soap.validate: the first invalid
element fails the test)."""
import pytest

from onvif_soap import NS, PATHS, validate
from test_onvif import OnvifGateway, token, wait_for

P = "<x:ProfileToken>Profile_1</x:ProfileToken>"
VECTOR = '<x:{0}><tt:PanTilt x="{1}" y="{2}"/></x:{0}>'

# (service, operation, request content); every one answered with 200 or a fault.
OPERATIONS = [
    ("tds", "GetSystemDateAndTime", ""), ("tds", "GetCapabilities", ""),
    ("tds", "GetServices", "<x:IncludeCapability>true</x:IncludeCapability>"),
    ("tds", "GetServices", "<x:IncludeCapability>false</x:IncludeCapability>"),
    ("tds", "GetServiceCapabilities", ""), ("tds", "GetDeviceInformation", ""), ("tds", "GetNetworkInterfaces", ""),
    ("tds", "GetScopes", ""), ("tds", "GetHostname", ""), ("tds", "GetNTP", ""), ("tds", "GetDNS", ""),
    ("tds", "GetNetworkProtocols", ""), ("tds", "GetDiscoveryMode", ""), ("tds", "GetUsers", ""), ("tds", "GetWsdlUrl", ""),
    ("tds", "SetDiscoveryMode", "<x:DiscoveryMode>Discoverable</x:DiscoveryMode>"),
    ("tds", "SetSystemDateAndTime", "<x:DateTimeType>NTP</x:DateTimeType><x:DaylightSavings>false</x:DaylightSavings>"),
    ("tds", "SetSystemDateAndTime", "<x:DateTimeType>Manual</x:DateTimeType><x:DaylightSavings>false</x:DaylightSavings>"),
    ("tds", "SystemReboot", ""),
    ("trt", "GetServiceCapabilities", ""), ("trt", "GetProfiles", ""), ("trt", "GetProfile", P),
    ("trt", "GetProfile", "<x:ProfileToken>nope</x:ProfileToken>"), ("trt", "GetVideoSources", ""),
    ("trt", "GetVideoSourceConfigurations", ""), ("trt", "GetVideoEncoderConfigurations", ""),
    ("trt", "GetStreamUri", "<x:StreamSetup><tt:Stream>RTP-Unicast</tt:Stream><tt:Transport><tt:Protocol>RTSP</tt:Protocol>"
                            "</tt:Transport></x:StreamSetup>" + P),
    ("trt", "GetSnapshotUri", P),
    ("tr2", "GetServiceCapabilities", ""), ("tr2", "GetProfiles", ""), ("tr2", "GetProfiles", "<x:Type>All</x:Type>"),
    ("tr2", "GetProfiles", "<x:Token>nope</x:Token>"),
    ("tr2", "GetStreamUri", "<x:Protocol>RTSP</x:Protocol>" + P), ("tr2", "GetSnapshotUri", P),
    ("tr2", "GetVideoSourceConfigurations", ""), ("tr2", "GetVideoEncoderConfigurations", ""),
    ("tr2", "GetVideoEncoderConfigurations", "<x:ConfigurationToken>nope</x:ConfigurationToken>"),
    ("tptz", "GetServiceCapabilities", ""), ("tptz", "GetNodes", ""), ("tptz", "GetNode", "<x:NodeToken>PTZNode_1</x:NodeToken>"),
    ("tptz", "GetNode", "<x:NodeToken>nope</x:NodeToken>"), ("tptz", "GetConfigurations", ""),
    ("tptz", "GetConfiguration", "<x:PTZConfigurationToken>PTZConfig_1</x:PTZConfigurationToken>"),
    ("tptz", "GetConfigurationOptions", "<x:ConfigurationToken>PTZConfig_1</x:ConfigurationToken>"),
    ("tptz", "GetCompatibleConfigurations", P),
    ("tptz", "GetStatus", P), ("tptz", "GetStatus", "<x:ProfileToken>nope</x:ProfileToken>"),
    ("tptz", "AbsoluteMove", P + VECTOR.format("Position", 0.1, 0.1)),
    ("tptz", "AbsoluteMove", P + VECTOR.format("Position", 3, 0)),
    ("tptz", "RelativeMove", P + VECTOR.format("Translation", 0.05, 0)),
    ("tptz", "ContinuousMove", P + VECTOR.format("Velocity", 0.2, 0) + "<x:Timeout>PT1S</x:Timeout>"),
    ("tptz", "Stop", P + "<x:PanTilt>true</x:PanTilt>"), ("tptz", "GetPresets", P),
    ("tptz", "SetPreset", P + "<x:PresetName>gate</x:PresetName>"),
    ("tptz", "GotoPreset", P + "<x:PresetToken>99</x:PresetToken>"),
    ("tptz", "RemovePreset", P + "<x:PresetToken>99</x:PresetToken>"),
    ("tptz", "GotoHomePosition", P), ("tptz", "SetHomePosition", P),
    ("tptz", "SendAuxiliaryCommand", P + "<x:AuxiliaryData>tt:IRLamp|On</x:AuxiliaryData>"),
    ("tptz", "SendAuxiliaryCommand", P + "<x:AuxiliaryData>tt:Wiper|On</x:AuxiliaryData>"),
    ("tptz", "GetPresetTours", P),
    ("tptz", "GetPresetTourOptions", P), ("tptz", "CreatePresetTour", P),
    ("tptz", "GetPresetTour", P + "<x:PresetTourToken>nope</x:PresetTourToken>"),
    ("tptz", "OperatePresetTour", P + "<x:PresetTourToken>nope</x:PresetTourToken><x:Operation>Start</x:Operation>"),
    ("tptz", "RemovePresetTour", P + "<x:PresetTourToken>nope</x:PresetTourToken>"),
    ("tptz", "GetConfigurationOptions", "<x:ConfigurationToken>nope</x:ConfigurationToken>"),
    ("tptz", "SetConfiguration", '<x:PTZConfiguration token="PTZConfig_1"><tt:Name>PTZ</tt:Name><tt:UseCount>1</tt:UseCount>'
                                 '<tt:NodeToken>PTZNode_1</tt:NodeToken><tt:DefaultPTZTimeout>PT9S</tt:DefaultPTZTimeout>'
                                 '</x:PTZConfiguration><x:ForcePersistence>true</x:ForcePersistence>'),
    ("tptz", "SetConfiguration", '<x:PTZConfiguration token="nope"><tt:Name>PTZ</tt:Name><tt:UseCount>1</tt:UseCount>'
                                 '<tt:NodeToken>PTZNode_1</tt:NodeToken></x:PTZConfiguration><x:ForcePersistence>true</x:ForcePersistence>'),
    ("tptz", "RelativeMove", P + '<x:Translation><tt:PanTilt x="0.1" y="0" '
                                 'space="http://www.onvif.org/ver10/tptz/PanTiltSpaces/TranslationSpaceFov"/></x:Translation>'),
    ("tptz", "AbsoluteMove", P + '<x:Position><tt:PanTilt x="5" y="1" '
                                 'space="http://www.onvif.org/ver10/tptz/PanTiltSpaces/SphericalPositionSpaceDegrees"/></x:Position>'),
    ("tptz", "SetPreset", P + "<x:PresetName>gate</x:PresetName>"),  # the name again: PresetExist
    ("tptz", "GotoPreset", P + "<x:PresetToken>1</x:PresetToken>"),
    ("tev", "GetServiceCapabilities", ""), ("tev", "GetEventProperties", ""),
    ("tev", "CreatePullPointSubscription", "<x:InitialTerminationTime>PT60S</x:InitialTerminationTime>"),
    ("tev", "CreatePullPointSubscription", "<x:InitialTerminationTime>soon</x:InitialTerminationTime>"),
    ("tev", "PullMessages", "<x:Timeout>PT0S</x:Timeout><x:MessageLimit>10</x:MessageLimit>"),
]


def call(g, service, operation, inner, path=None, secure=True):
    header = token(g.user, g.password) if secure else None
    body = (f'<s:Envelope xmlns:s="http://www.w3.org/2003/05/soap-envelope" xmlns:tt="http://www.onvif.org/ver10/schema">'
            f'{"<s:Header>" + header + "</s:Header>" if header else ""}<s:Body>'
            f'<x:{operation} xmlns:x="{NS[service]}">{inner}</x:{operation}></s:Body></s:Envelope>')
    return g.post(body.encode(), path or PATHS[service])


@pytest.fixture(scope="module")
def gateway(tmp_path_factory):
    g = OnvifGateway(tmp_path_factory.mktemp("schema"), rtsp="rtsp://127.0.0.1:8554/roof")
    yield g
    g.close()


@pytest.mark.parametrize("service,operation,inner", OPERATIONS,
                         ids=[f"{s}-{o}-{i}" for i, (s, o, _) in enumerate(OPERATIONS)])
def test_every_answer_is_valid(gateway, service, operation, inner):
    status, answer = call(gateway, service, operation, inner)
    assert status in (200, 400, 401, 500), answer
    validate(answer)


def test_pull_point_answers_and_notifications_are_valid(gateway):
    import re
    status, answer = call(gateway, "tev", "CreatePullPointSubscription", "")
    assert status == 200, answer
    validate(answer)
    address = re.search(r"<wsa:Address>http://[^/]+(/[^<]+)</wsa:Address>", answer).group(1)
    call(gateway, "tptz", "AbsoluteMove", P + VECTOR.format("Position", -0.1, 0.05))
    messages = []

    def pulled():
        s, a = call(gateway, "tev", "PullMessages", "<x:Timeout>PT2S</x:Timeout><x:MessageLimit>50</x:MessageLimit>", path=address)
        assert s == 200, a
        validate(a)
        messages.append(a)
        return "PTZMove/Finished" in a
    wait_for(pulled)
    for service, operation, inner in [("tev", "SetSynchronizationPoint", ""),
                                       ("wsnt", "Renew", "<x:TerminationTime>PT120S</x:TerminationTime>"),
                                       ("wsnt", "Unsubscribe", ""), ("wsnt", "Unsubscribe", "")]:
        s, a = call(gateway, service, operation, inner, path=address)
        validate(a)


def test_refusals_are_valid(gateway):
    # No token at all, an unknown operation, an unknown service.
    for service, operation in [("tptz", "GetStatus"), ("tds", "Nothing"), ("tr2", "Nothing")]:
        s, a = call(gateway, service, operation, P, secure=service != "tptz")
        assert s in (400, 401, 500)
        validate(a)
