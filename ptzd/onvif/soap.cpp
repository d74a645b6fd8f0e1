#include "soap.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace ptzd::onvif {

std::string LocalName(const char* qualified) {
    const char* colon = std::strchr(qualified, ':');
    return colon ? colon + 1 : qualified;
}

std::string NamespaceOf(const pugi::xml_node& element) {
    const std::string name = element.name();
    const size_t colon = name.find(':');
    const std::string attribute = colon == std::string::npos ? "xmlns" : "xmlns:" + name.substr(0, colon);
    for (pugi::xml_node n = element; n && n.type() == pugi::node_element; n = n.parent())
        if (pugi::xml_attribute a = n.attribute(attribute.c_str())) return a.value();
    return "";
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

}  // namespace

std::string Parse(const std::string& body, Request& request) {
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
    if (LocalName(envelope.name()) != "Envelope" || NamespaceOf(envelope) != kSoap)
        return "the request is not a SOAP 1.2 envelope";
    if (Depth(envelope, kMaxDepth) > kMaxDepth) return "the request is nested too deeply";
    request.header = Child(envelope, kSoap, "Header");
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
    return "";
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

std::string Envelope(const std::string& body) {
    return std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                       "<s:Envelope xmlns:s=\"") + kSoap + "\" xmlns:tt=\"" + kSchema + "\" xmlns:tds=\"" + kDevice +
           "\" xmlns:trt=\"" + kMedia + "\" xmlns:tptz=\"" + kPtz +
           "\" xmlns:ter=\"http://www.onvif.org/ver10/error\"><s:Body>" + body + "</s:Body></s:Envelope>";
}

std::string Fault(const char* code, const std::string& subcode, const std::string& reason) {
    return Envelope(std::string("<s:Fault><s:Code><s:Value>s:") + code + "</s:Value><s:Subcode><s:Value>" + subcode +
                    "</s:Value></s:Subcode></s:Code><s:Reason><s:Text xml:lang=\"en\">" + Escape(reason) +
                    "</s:Text></s:Reason></s:Fault>");
}

}  // namespace ptzd::onvif
