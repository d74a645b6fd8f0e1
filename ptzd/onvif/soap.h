// SOAP 1.2 requests as ONVIF clients send them: the operation is the first
// element of the Body, named by its namespace and local name, whatever
// prefixes the client chose. Hostile input is refused before or while
// parsing: oversized bodies, DTDs and entity declarations, deep nesting.
// Another envelope version is a VersionMismatch, a header block meant for us
// with mustUnderstand that we do not know is a MustUnderstand fault.
#pragma once

#include <pugixml.hpp>
#include <string>
#include <string_view>

namespace ptzd::onvif {

constexpr size_t kMaxRequest = 64 * 1024;
constexpr int kMaxDepth = 32;

constexpr const char* kSoap = "http://www.w3.org/2003/05/soap-envelope";
constexpr const char* kDevice = "http://www.onvif.org/ver10/device/wsdl";
constexpr const char* kMedia = "http://www.onvif.org/ver10/media/wsdl";
constexpr const char* kPtz = "http://www.onvif.org/ver20/ptz/wsdl";
constexpr const char* kSchema = "http://www.onvif.org/ver10/schema";
constexpr const char* kWsse = "http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-wssecurity-secext-1.0.xsd";
constexpr const char* kWsu = "http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-wssecurity-utility-1.0.xsd";
constexpr const char* kAddressing2004 = "http://schemas.xmlsoap.org/ws/2004/08/addressing";
constexpr const char* kAddressing2005 = "http://www.w3.org/2005/08/addressing";

// The local part of a qualified name ("tds:GetHostname" -> "GetHostname").
std::string LocalName(const char* qualified);
// The namespace an element's name is in, resolved through the xmlns
// declarations on it and its ancestors.
std::string NamespaceOf(const pugi::xml_node& element);
// The namespace a prefix stands for at `element` ("" prefix: the default
// namespace); false when it is not declared.
bool NamespaceOfPrefix(const pugi::xml_node& element, const std::string& prefix, std::string& ns);
// The first child element in namespace `ns` with local name `local`.
pugi::xml_node Child(const pugi::xml_node& parent, const char* ns, const char* local);
// The same, whatever its namespace (for ONVIF's schema types, which clients
// qualify in every way).
pugi::xml_node ChildAnyNs(const pugi::xml_node& parent, const char* local);

// Why Parse refused a request: it decides the fault's code.
enum class Refusal { None, Malformed, VersionMismatch, MustUnderstand };

struct Request {
    Refusal refusal = Refusal::None;
    std::string notUnderstood;  // the header block's qualified name, for MustUnderstand
    std::string notUnderstoodNs;
    pugi::xml_document document;
    pugi::xml_node header;     // may be empty
    pugi::xml_node operation;  // the first element of the Body
    std::string ns;            // its namespace
    std::string name;          // its local name
    std::string base;          // "http://host:port" as the client reached us
};

// Parses a request; the reason when it is not an acceptable SOAP envelope
// (`request.refusal` says which kind of refusal).
std::string Parse(const std::string& body, Request& request);
// The fault for a request Parse refused with `why`; returns its HTTP status
// (400 for a malformed request, 500 for VersionMismatch and MustUnderstand).
int RefusalFault(const Request& request, const std::string& why, std::string& response);

// A SOAP 1.2 envelope around `body` (elements already qualified with the
// prefixes declared here: s, tt, tds, trt, tptz, ter), with an optional header.
std::string Envelope(const std::string& body, const std::string& header = "");
// A SOAP fault: code "Sender", "Receiver", "VersionMismatch" or
// "MustUnderstand"; subcode e.g. "ter:ActionNotSupported", or nested ones
// separated by '/' ("ter:InvalidArgVal/ter:NoToken"); "" for none.
std::string Fault(const char* code, const std::string& subcode, const std::string& reason,
                  const std::string& header = "");
// Text with &, <, >, " escaped.
std::string Escape(const std::string& text);
// Text without the XML white space (space, tab, CR, LF) at either end.
std::string_view Collapsed(std::string_view text);


}  // namespace ptzd::onvif
