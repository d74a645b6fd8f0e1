#include "soap.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <vector>

namespace ptzd::onvif {

std::string LocalName(const char* qualified) {
    const char* colon = std::strchr(qualified, ':');
    return colon ? colon + 1 : qualified;
}

bool NamespaceOfPrefix(const pugi::xml_node& element, const std::string& prefix, std::string& ns) {
    if (prefix == "xml") {
        ns = "http://www.w3.org/XML/1998/namespace";
        return true;
    }
    const std::string attribute = prefix.empty() ? "xmlns" : "xmlns:" + prefix;
    for (pugi::xml_node n = element; n && n.type() == pugi::node_element; n = n.parent())
        if (pugi::xml_attribute a = n.attribute(attribute.c_str())) {
            ns = a.value();
            return true;
        }
    ns.clear();
    return prefix.empty();  // no default namespace: the name is in none
}

std::string NamespaceOf(const pugi::xml_node& element) {
    const std::string name = element.name();
    const size_t colon = name.find(':');
    std::string ns;
    NamespaceOfPrefix(element, colon == std::string::npos ? "" : name.substr(0, colon), ns);
    return ns;
}

pugi::xml_node Child(const pugi::xml_node& parent, const char* ns, const char* local) {
    for (pugi::xml_node c = parent.first_child(); c; c = c.next_sibling())
        if (c.type() == pugi::node_element && LocalName(c.name()) == local && NamespaceOf(c) == ns) return c;
    return {};
}

pugi::xml_node ChildAnyNs(const pugi::xml_node& parent, const char* local) {
    for (pugi::xml_node c = parent.first_child(); c; c = c.next_sibling())
        if (c.type() == pugi::node_element && LocalName(c.name()) == local) return c;
    return {};
}

namespace {

int Depth(const pugi::xml_node& node, int limit) {
    // Iterative, so a hostile nesting cannot exhaust the stack here.
    int deepest = 0;
    std::vector<std::pair<pugi::xml_node, int>> stack{{node, 0}};
    while (!stack.empty()) {
        auto [n, d] = stack.back();
        stack.pop_back();
        if (d > deepest) deepest = d;
        if (deepest > limit) return deepest;
        for (pugi::xml_node c = n.first_child(); c; c = c.next_sibling())
            if (c.type() == pugi::node_element) stack.emplace_back(c, d + 1);
    }
    return deepest;
}

// The value of an attribute in the SOAP envelope namespace (env:mustUnderstand,
// env:role); unprefixed attributes are in no namespace, so they never count.
std::string SoapAttribute(const pugi::xml_node& element, const char* local) {
    for (pugi::xml_attribute a = element.first_attribute(); a; a = a.next_attribute()) {
        const std::string name = a.name();
        const size_t colon = name.find(':');
        if (colon == std::string::npos || name.compare(colon + 1, std::string::npos, local) != 0) continue;
        std::string ns;
        if (NamespaceOfPrefix(element, name.substr(0, colon), ns) && ns == kSoap) return a.value();
    }
    return "";
}

// A header block this device must process: targeted at it (no role, "next"
// or "ultimateReceiver") and marked mustUnderstand.
bool MustProcess(const pugi::xml_node& block) {
    const std::string must(Collapsed(SoapAttribute(block, "mustUnderstand")));
    if (must != "true" && must != "1") return false;
    const std::string role(Collapsed(SoapAttribute(block, "role")));
    return role.empty() || role == std::string(kSoap) + "/role/next" ||
           role == std::string(kSoap) + "/role/ultimateReceiver";
}

// The header blocks this device knows: WS-Security's (checked when
// authentication is on) and WS-Addressing's (informational here).
bool Understood(const std::string& ns, const std::string& local) {
    return (ns == kWsse && local == "Security") || ns == kAddressing2004 || ns == kAddressing2005;
}

}  // namespace

std::string Parse(const std::string& body, Request& request) {
    request.refusal = Refusal::Malformed;
    if (body.size() > kMaxRequest) return "the request is too large";
    // No document type, no entity declarations: nothing to expand or fetch.
    if (body.find("<!DOCTYPE") != std::string::npos || body.find("<!ENTITY") != std::string::npos ||
        body.find("<!doctype") != std::string::npos)
        return "document type declarations are not accepted";
    // Nesting is bounded before the parser sees it: count the open tags.
    int depth = 0, deepest = 0;
    for (size_t i = 0; i + 1 < body.size(); ++i) {
        if (body[i] != '<') continue;
        const char next = body[i + 1];
        if (next == '/') --depth;
        else if (next != '?' && next != '!') {
            const size_t end = body.find('>', i);
            if (end != std::string::npos && body[end - 1] != '/') ++depth;
            deepest = std::max(deepest, depth);
        }
        if (deepest > kMaxDepth * 2) return "the request is nested too deeply";
    }
    const pugi::xml_parse_result parsed =
        request.document.load_buffer(body.data(), body.size(), pugi::parse_default & ~pugi::parse_doctype);
    if (!parsed) return std::string("the request is not well-formed XML: ") + parsed.description();
    const pugi::xml_node envelope = request.document.document_element();
    if (Depth(envelope, kMaxDepth) > kMaxDepth) return "the request is nested too deeply";
    if (LocalName(envelope.name()) != "Envelope" || NamespaceOf(envelope) != kSoap) {
        request.refusal = Refusal::VersionMismatch;
        return NamespaceOf(envelope) == "http://schemas.xmlsoap.org/soap/envelope/"
                   ? "this device speaks SOAP 1.2; the request is a SOAP 1.1 envelope"
                   : "the request is not a SOAP 1.2 envelope";
    }
    request.header = Child(envelope, kSoap, "Header");
    for (pugi::xml_node block = request.header.first_child(); block; block = block.next_sibling()) {
        if (block.type() != pugi::node_element || !MustProcess(block)) continue;
        const std::string ns = NamespaceOf(block), local = LocalName(block.name());
        if (Understood(ns, local)) continue;
        request.refusal = Refusal::MustUnderstand;
        request.notUnderstood = local;
        request.notUnderstoodNs = ns;
        return "the header block {" + ns + "}" + local + " must be understood, and this device does not know it";
    }
    const pugi::xml_node body_ = Child(envelope, kSoap, "Body");
    if (!body_) return "the envelope has no Body";
    for (pugi::xml_node c = body_.first_child(); c; c = c.next_sibling()) {
        if (c.type() != pugi::node_element) continue;
        request.operation = c;
        break;
    }
    if (!request.operation) return "the Body names no operation";
    request.ns = NamespaceOf(request.operation);
    request.name = LocalName(request.operation.name());
    request.refusal = Refusal::None;
    return "";
}

int RefusalFault(const Request& request, const std::string& why, std::string& response) {
    switch (request.refusal) {
        case Refusal::VersionMismatch:
            response = Fault("VersionMismatch", "", why, "<s:Upgrade><s:SupportedEnvelope qname=\"s:Envelope\"/></s:Upgrade>");
            return 500;
        case Refusal::MustUnderstand: {
            const std::string& ns = request.notUnderstoodNs;
            const std::string qname = ns.empty() ? "qname=\"" + Escape(request.notUnderstood) + "\""
                                                 : "qname=\"nu:" + Escape(request.notUnderstood) + "\" xmlns:nu=\"" + Escape(ns) + "\"";
            response = Fault("MustUnderstand", "", why, "<s:NotUnderstood " + qname + "/>");
            return 500;
        }
        default:
            response = Fault("Sender", "ter:WellFormed", why);
            return 400;
    }
}

std::string Escape(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            default: out += c;
        }
    }
    return out;
}

std::string Envelope(const std::string& body, const std::string& header) {
    return std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                       "<s:Envelope xmlns:s=\"") + kSoap + "\" xmlns:tt=\"" + kSchema + "\" xmlns:tds=\"" + kDevice +
           "\" xmlns:trt=\"" + kMedia + "\" xmlns:tptz=\"" + kPtz + "\" xmlns:ter=\"http://www.onvif.org/ver10/error\">" +
           (header.empty() ? "" : "<s:Header>" + header + "</s:Header>") + "<s:Body>" + body + "</s:Body></s:Envelope>";
}

std::string Fault(const char* code, const std::string& subcode, const std::string& reason, const std::string& header) {
    // Nested subcodes, each inside the one before.
    std::string open, close;
    for (size_t at = 0; at < subcode.size();) {
        size_t end = subcode.find('/', at);
        if (end == std::string::npos) end = subcode.size();
        open += "<s:Subcode><s:Value>" + subcode.substr(at, end - at) + "</s:Value>";
        close += "</s:Subcode>";
        at = end + 1;
    }
    return Envelope(std::string("<s:Fault><s:Code><s:Value>s:") + code + "</s:Value>" + open + close +
                        "</s:Code><s:Reason><s:Text xml:lang=\"en\">" + Escape(reason) + "</s:Text></s:Reason></s:Fault>",
                    header);
}

std::string_view Collapsed(std::string_view text) {
    const size_t a = text.find_first_not_of(" \t\r\n");
    if (a == std::string_view::npos) return {};
    return text.substr(a, text.find_last_not_of(" \t\r\n") - a + 1);
}

}  // namespace ptzd::onvif
