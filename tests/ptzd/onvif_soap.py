"""Requests to ptzd's ONVIF services as raw SOAP 1.2, and lxml validation of
every answer's Body child against the official schemas in
../shared/onvif-schemas (offline: every imported URL maps onto a local file)."""
import os
import re
import tempfile

from lxml import etree

SCHEMAS = os.environ.get("ONVIF_SCHEMAS", os.path.join(os.path.dirname(__file__), "..", "..", "..", "shared", "onvif-schemas"))
if not os.path.isdir(SCHEMAS):
    SCHEMAS = "/work/shared/onvif-schemas"
SOAP = "http://www.w3.org/2003/05/soap-envelope"
XS = "http://www.w3.org/2001/XMLSchema"
NS = {
    "tds": "http://www.onvif.org/ver10/device/wsdl",
    "trt": "http://www.onvif.org/ver10/media/wsdl",
    "tptz": "http://www.onvif.org/ver20/ptz/wsdl",
    "tr2": "http://www.onvif.org/ver20/media/wsdl",
    "tev": "http://www.onvif.org/ver10/events/wsdl",
    "wsnt": "http://docs.oasis-open.org/wsn/b-2",
}
PATHS = {"tds": "/onvif/device_service", "trt": "/onvif/media_service", "tptz": "/onvif/ptz_service",
         "tr2": "/onvif/media2_service", "tev": "/onvif/events_service"}
WSDLS = ["ver10/device/wsdl/devicemgmt.wsdl", "ver10/media/wsdl/media.wsdl", "ver20/ptz/wsdl/ptz.wsdl",
         "ver20/media/wsdl/media.wsdl", "ver10/events/wsdl/event.wsdl"]
EXTERNAL = {
    "soap-envelope": "soap-envelope.xsd", "xmlmime": "xmlmime.xsd", "xop/include": "xop-include.xsd",
    "2001/xml.xsd": "xml.xsd", "wsn/b-2.xsd": "b-2.xsd", "wsn/t-1.xsd": "t-1.xsd", "ws-addr.xsd": "ws-addr.xsd",
}


def external(url):
    """The local file an imported URL stands for, or None."""
    if url.startswith(("http://", "https://")):
        for key, name in EXTERNAL.items():
            if url.rstrip("/").endswith(key):
                return os.path.join(SCHEMAS, "external", name)
        # What those import beside themselves (b-2.xsd: bf-2.xsd, xml.xsd, ...).
        beside = os.path.join(SCHEMAS, "external", url.rsplit("/", 1)[-1])
        if url.startswith(("http://docs.oasis-open.org/", "http://www.w3.org/")) and os.path.isfile(beside):
            return beside
    return None


class Resolver(etree.Resolver):
    def resolve(self, url, pubid, context):
        local = external(url)
        if local:
            return self.resolve_filename(local, context)
        if url.endswith("onvif.xsd"):
            # The one change libxml2 needs (XSD 1.0's unique particle rule).
            text = open(url, encoding="utf-8").read()
            text = re.sub(r'(<xs:complexType name="VideoSourceConfigurationOptionsExtension2">.*?namespace=")##targetNamespace',
                          r"\1##other", text, count=1, flags=re.S)
            return self.resolve_string(text, context, base_url=url)
        if url.startswith("/") and os.path.exists(url):
            return self.resolve_filename(url, context)
        raise ValueError(f"refusing to fetch {url}")


_SCHEMA = None


def schema():
    """One XMLSchema for every service's messages, the SOAP envelope and the types."""
    global _SCHEMA
    if _SCHEMA is not None:
        return _SCHEMA
    folder = tempfile.mkdtemp(prefix="onvif-xsd-")
    imports = [(SOAP, os.path.join(SCHEMAS, "external", "soap-envelope.xsd")),
               ("http://www.onvif.org/ver10/schema", os.path.join(SCHEMAS, "wsdl", "ver10", "schema", "onvif.xsd"))]
    for i, wsdl in enumerate(WSDLS):
        path = os.path.join(SCHEMAS, "wsdl", wsdl)
        tree = etree.parse(path)
        for j, s in enumerate(tree.iter(f"{{{XS}}}schema")):
            s = etree.fromstring(etree.tostring(s))
            for imp in s.iter(f"{{{XS}}}import", f"{{{XS}}}include"):
                location = imp.get("schemaLocation")
                if location and not location.startswith(("http://", "https://")):
                    imp.set("schemaLocation", os.path.normpath(os.path.join(os.path.dirname(path), location)))
            out = os.path.join(folder, f"s{i}_{j}.xsd")
            etree.ElementTree(s).write(out)
            imports.append((s.get("targetNamespace"), out))
    wrapper = f'<xs:schema xmlns:xs="{XS}" targetNamespace="urn:wrapper">' + "".join(
        f'<xs:import namespace="{ns}" schemaLocation="{loc}"/>' for ns, loc in imports) + "</xs:schema>"
    parser = etree.XMLParser(no_network=True)
    parser.resolvers.add(Resolver())
    document = etree.fromstring(wrapper.encode(), parser, base_url=os.path.join(folder, "wrapper.xsd"))
    _SCHEMA = etree.XMLSchema(document)
    return _SCHEMA


def body_child(answer):
    envelope = etree.fromstring(answer.encode() if isinstance(answer, str) else answer)
    body = envelope.find(f"{{{SOAP}}}Body")
    return next(iter(body))


def validate(answer):
    """Raises with the first invalid element when the Body's child is not valid."""
    s = schema()
    child = body_child(answer)
    if not s.validate(etree.ElementTree(etree.fromstring(etree.tostring(child)))):
        error = s.error_log.last_error
        raise AssertionError(f"{etree.QName(child).localname} is not valid: line {error.line}: {error.message}\n{answer}")
