#include "http/server.h"

#include <httplib.h>

#include <arpa/inet.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <climits>
#include <cstring>
#include <functional>
#include <nlohmann/json.hpp>
#include <regex>

#include "protocol/splitter.h"
#include "infra/listener.h"
#include "http/moves.h"
#include "http/routes.h"
#include "infra/log.h"
#include "http/page_files.h"
#include "ptz.h"
#include "infra/utf8.h"

namespace ptzd {

using nlohmann::json;

namespace {

constexpr size_t kMaxBody = 64 * 1024;

void Reply(httplib::Response& res, int status, const json& body) {
    res.status = status;
    // Never throws: a text that is not UTF-8 is written with replacement characters.
    res.set_content(body.dump(-1, ' ', false, json::error_handler_t::replace), "application/json");
}

void Fail(httplib::Response& res, int status, const std::string& text) {
    Reply(res, status, {{"error", text}});
}

// The HTTP status that fits a failed library call.
int StatusFor(const Outcome& o) {
    if (o.result == kLinkDown) return 503;
    if (o.result == PTZ_BAD_PARAM) return 400;
    if (o.kind == PTZ_ERRKIND_RESPONSE) return o.code == PTZ_ERR_RESP_STATUS ? 409 : 502;
    if (o.kind == PTZ_ERRKIND_LINK) return o.code == PTZ_ERR_TIMEOUT ? 504 : 502;
    return 502;
}

bool ParseHex(const std::string& text, std::vector<uint8_t>& bytes) {
    if (text.size() % 2 != 0) return false;
    for (size_t i = 0; i < text.size(); i += 2) {
        auto nibble = [](char c) -> int {
            if (c >= '0' && c <= '9') return c - '0';
            if (c >= 'a' && c <= 'f') return c - 'a' + 10;
            if (c >= 'A' && c <= 'F') return c - 'A' + 10;
            return -1;
        };
        const int hi = nibble(text[i]), lo = nibble(text[i + 1]);
        if (hi < 0 || lo < 0) return false;
        bytes.push_back(static_cast<uint8_t>(hi << 4 | lo));
    }
    return true;
}

// An argument and the range the head's byte or the library's check allows:
// the HTTP API refuses what the classic export would truncate.
struct Arg {
    const char* name;
    int64_t min, max;
};
constexpr Arg Int32(const char* name) { return {name, INT32_MIN, INT32_MAX}; }
constexpr Arg Byte(const char* name) { return {name, 0, 255}; }
constexpr Arg Flag(const char* name) { return {name, 0, 1}; }
constexpr Arg Preset{"preset", 1, 16};
constexpr Arg EepAddress{"address", 0, 0xFFFF};
constexpr size_t kMaxEepRead = 248, kMaxEepWrite = 246;

using Args = CommandArgs;

// One device command as an HTTP route.
struct Route {
    const char* name;
    bool query;                 // GET with query parameters; otherwise POST with a JSON body
    std::vector<Arg> args;      // required integer arguments
    std::vector<Arg> optional;  // integer arguments that default to 0
    // Runs on the head's worker; fills the answer on success.
    std::function<int32_t(int32_t link, const Args& a, json& answer)> call;
};

const std::vector<Route>& CommandRoutes() {
    static const std::vector<Route> routes = {
        {"ExecInitialize", false, {}, {}, [](int32_t l, const Args&, json&) { return PTZ_LinkExecInitialize(l); }},
        {"GetSystemInfo", true, {}, {}, [](int32_t l, const Args&, json& out) {
             PTZ_SYSTEM_INFO info{};
             const int32_t r = PTZ_LinkGetSystemInfo(l, &info);
             out = {{"text0", std::string(info.text0, strnlen(info.text0, 16))},
                    {"text1", std::string(info.text1, strnlen(info.text1, 16))},
                    {"text2", std::string(info.text2, strnlen(info.text2, 16))}};
             return r;
         }},
        {"GetSystemSettingInfo", true, {}, {}, [](int32_t l, const Args&, json& out) {
             PTZ_SYSTEM_SETTING_INFO s{};
             const int32_t r = PTZ_LinkGetSystemSettingInfo(l, &s);
             out = {{"setting0", s.setting0}, {"setting1", s.setting1}, {"setting2", s.setting2}, {"setting3", s.setting3}};
             return r;
         }},
        {"GetPTZStatus", true, {}, {}, [](int32_t l, const Args&, json& out) {
             PTZ_STATUS s{};
             const int32_t r = PTZ_LinkGetPTZStatus(l, &s);
             out = {{"flag0", s.flag0}, {"flag1", s.flag1}, {"flag2", s.flag2}, {"flag3", s.flag3}};
             return r;
         }},
        {"SetIrControl", false, {Flag("control")}, {}, [](int32_t l, const Args& a, json&) { return PTZ_LinkSetIrControl(l, a["control"]); }},
        {"ExecMotorHP", false, {Byte("motor")}, {}, [](int32_t l, const Args& a, json&) { return PTZ_LinkExecMotorHP(l, a["motor"]); }},
        {"SetMotorPos", false, {Byte("motor"), Byte("param"), Int32("position")}, {}, [](int32_t l, const Args& a, json&) {
             return PTZ_LinkSetMotorPos(l, a["motor"], a["param"], a["position"]);
         }},
        {"GetMotorPos", true, {Byte("motor")}, {}, [](int32_t l, const Args& a, json& out) {
             int32_t position = 0;
             const int32_t r = PTZ_LinkGetMotorPos(l, a["motor"], &position);
             out = {{"position", position}};
             return r;
         }},
        {"ActMotor", false, {Byte("motor"), Byte("param")}, {}, [](int32_t l, const Args& a, json&) { return PTZ_LinkActMotor(l, a["motor"], a["param"]); }},
        {"StopMotor", false, {Byte("motor")}, {}, [](int32_t l, const Args& a, json&) { return PTZ_LinkStopMotor(l, a["motor"]); }},
        {"GetMotorSpeed", true, {Byte("motor")}, {}, [](int32_t l, const Args& a, json& out) {
             int32_t speed = 0;
             const int32_t r = PTZ_LinkGetMotorSpeed(l, a["motor"], &speed);
             out = {{"speed", speed}};
             return r;
         }},
        {"SetMotorSpeed", false, {Byte("motor"), Byte("speed")}, {}, [](int32_t l, const Args& a, json&) {
             return PTZ_LinkSetMotorSpeed(l, a["motor"], a["speed"]);
         }},
        {"SetUserHP", false, {Flag("flag")}, {}, [](int32_t l, const Args& a, json&) { return PTZ_LinkSetUserHP(l, a["flag"]); }},
        {"MoveUserHP", false, {}, {}, [](int32_t l, const Args&, json&) { return PTZ_LinkMoveUserHP(l); }},
        {"SetPresetPos", false, {Preset, Flag("flag")}, {}, [](int32_t l, const Args& a, json&) {
             return PTZ_LinkSetPresetPos(l, a["preset"], a["flag"]);
         }},
        {"MovePresetPos", false, {Preset}, {}, [](int32_t l, const Args& a, json&) { return PTZ_LinkMovePresetPos(l, a["preset"]); }},
        {"GetAutoReturn", true, {}, {}, [](int32_t l, const Args&, json& out) {
             int32_t value = 0;
             const int32_t r = PTZ_LinkGetAutoReturn(l, &value);
             out = {{"autoReturn", value}};
             return r;
         }},
        {"SetAutoReturn", false, {Byte("autoReturn")}, {}, [](int32_t l, const Args& a, json&) { return PTZ_LinkSetAutoReturn(l, a["autoReturn"]); }},
        {"ExecAutoPan", false, {Byte("mode")}, {Int32("reserved1"), Int32("reserved2")}, [](int32_t l, const Args& a, json&) {
             return PTZ_LinkExecAutoPan(l, a["mode"], a["reserved1"], a["reserved2"]);
         }},
        {"SetPTPos", false, {Byte("param"), Int32("pan"), Int32("tilt")}, {}, [](int32_t l, const Args& a, json&) {
             return PTZ_LinkSetPTPos(l, a["param"], a["pan"], a["tilt"]);
         }},
        {"GetPTPos", true, {}, {}, [](int32_t l, const Args&, json& out) {
             int32_t pan = 0, tilt = 0;
             const int32_t r = PTZ_LinkGetPTPos(l, &pan, &tilt);
             out = {{"pan", pan}, {"tilt", tilt}};
             return r;
         }},
        {"GetPanTiltSyncMode", true, {}, {}, [](int32_t l, const Args&, json& out) {
             int32_t mode = 0;
             const int32_t r = PTZ_LinkGetPanTiltSyncMode(l, &mode);
             out = {{"mode", mode}};
             return r;
         }},
        {"SetPanTiltSyncMode", false, {Flag("mode")}, {}, [](int32_t l, const Args& a, json&) { return PTZ_LinkSetPanTiltSyncMode(l, a["mode"]); }},
        {"EepRead", true, {EepAddress, {"count", 0, kMaxEepRead}}, {}, [](int32_t l, const Args& a, json& out) {
             uint8_t buffer[kMaxEepRead] = {};
             const int32_t count = a["count"];
             const int32_t r = PTZ_LinkEepRead(l, a["address"], count, buffer);
             out = {{"address", a["address"]}, {"count", count}, {"data", r == PTZ_OK ? ptz::HexText({buffer, buffer + count}) : ""}};
             return r;
         }},
        {"EepWrite", false, {EepAddress}, {}, [](int32_t l, const Args& a, json&) {
             return PTZ_LinkEepWrite(l, a["address"], static_cast<int32_t>(a.data.size()), a.data.empty() ? nullptr : a.data.data());
         }},
        {"EepBurn", false, {}, {}, [](int32_t l, const Args&, json&) { return PTZ_LinkEepBurn(l); }},
    };
    return routes;
}

// An integer argument from query text: strictly decimal, an optional '-'
// and digits only (no sign '+', spaces, or base prefixes: "0100" is 100).
bool ParseInteger(const std::string& text, int64_t& value) {
    const size_t digits = text.size() - (text.rfind('-', 0) == 0 ? 1 : 0);
    if (digits == 0 || digits > 11 || text.find_first_not_of("0123456789", text.size() - digits) != std::string::npos)
        return false;
    return std::from_chars(text.data(), text.data() + text.size(), value).ec == std::errc();
}

const Route* FindRoute(const std::string& command) {
    for (const Route& r : CommandRoutes())
        if (command == r.name) return &r;
    return nullptr;
}

std::string Quoted(const std::string& name) { return "\"" + name + "\""; }

// Collects a route's arguments; the reason when they are not right.
std::string CollectArgs(const Route& route, const std::multimap<std::string, std::string>& query,
                        const std::string& text, Args& args) {
    const bool eepWrite = std::string(route.name) == "EepWrite";
    json body = json::object();
    if (!route.query && !text.empty()) {
        body = json::parse(text, nullptr, false);  // refuses invalid UTF-8 too
        if (body.is_discarded()) return "the body is not valid JSON";
        if (!body.is_object()) return "the body must be a JSON object";
    }
    auto known = [&](const std::string& key) {
        for (const auto* list : {&route.args, &route.optional})
            for (const Arg& a : *list)
                if (key == a.name) return true;
        return eepWrite && (key == "data" || key == "count");
    };
    if (route.query) {
        for (const auto& [key, value] : query) {
            if (!ValidUtf8(key) || !ValidUtf8(value)) return "the query must be UTF-8";
            if (!known(key)) return "unknown argument " + Quoted(key);
            if (query.count(key) > 1) return "argument " + Quoted(key) + " is given twice";
        }
    } else {
        for (const auto& [key, value] : body.items())
            if (!known(key)) return "unknown argument " + Quoted(key);
    }
    auto take = [&](const Arg& arg, bool required) -> std::string {
        const std::string name = arg.name;
        int64_t value = 0;
        if (route.query ? query.count(name) == 0 : !body.contains(name)) {
            args.values[name] = 0;
            return required ? "missing argument " + Quoted(name) : "";
        }
        if (route.query) {
            if (!ParseInteger(query.find(name)->second, value))
                return "argument " + Quoted(name) + " must be a decimal integer";
        } else {
            const json& v = body[name];
            if (!v.is_number_integer()) return "argument " + Quoted(name) + " must be an integer";
            if (v.is_number_unsigned() && v.get<uint64_t>() > uint64_t{INT32_MAX}) value = int64_t{INT32_MAX} + 1;
            else value = v.get<int64_t>();
        }
        if (value < arg.min || value > arg.max)
            return "argument " + Quoted(name) + " must be from " + std::to_string(arg.min) + " to " + std::to_string(arg.max);
        args.values[name] = static_cast<int32_t>(value);
        return "";
    };
    for (const Arg& a : route.args)
        if (std::string why = take(a, true); !why.empty()) return why;
    for (const Arg& a : route.optional)
        if (std::string why = take(a, false); !why.empty()) return why;
    if (eepWrite) {
        if (!body.contains("data") || !body["data"].is_string()) return "argument \"data\" must be a hex string";
        if (!ParseHex(body["data"].get<std::string>(), args.data)) return "argument \"data\" is not hex bytes";
        if (args.data.size() > kMaxEepWrite)
            return "argument \"data\" holds at most " + std::to_string(kMaxEepWrite) + " bytes";
        if (body.contains("count") && (!body["count"].is_number_integer() ||
                                       body["count"].get<int64_t>() != static_cast<int64_t>(args.data.size())))
            return "argument \"count\" does not match the data";
    }
    return "";
}

// SHA-256 of a text: secrets are compared through their digests, so that the
// comparison takes the same time whatever the length or content.
std::array<unsigned char, 32> Digest(const std::string& text) {
    std::array<unsigned char, 32> digest{};
    unsigned int length = 0;
    EVP_Digest(text.data(), text.size(), digest.data(), &length, EVP_sha256(), nullptr);
    return digest;
}

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// "name", "name:port", "[v6]", "[v6]:port" into the host (lower case, IPv6
// without brackets) and the port (0 when absent); false when malformed.
bool SplitHost(const std::string& text, std::string& host, int& port) {
    std::string rest;
    port = 0;
    if (text.rfind('[', 0) == 0) {
        const size_t close = text.find(']');
        if (close == std::string::npos) return false;
        host = text.substr(1, close - 1);
        rest = text.substr(close + 1);
        in6_addr v6{};
        if (::inet_pton(AF_INET6, host.c_str(), &v6) != 1) return false;
    } else {
        const size_t colon = text.find(':');
        host = text.substr(0, colon);
        rest = colon == std::string::npos ? "" : text.substr(colon);
    }
    if (host.empty()) return false;
    host = Lower(host);
    if (rest.empty()) return true;
    if (rest[0] != ':' || rest.size() < 2 || rest.size() > 6 || rest.find_first_not_of("0123456789", 1) != std::string::npos)
        return false;
    port = std::stoi(rest.substr(1));
    return port >= 1 && port <= 65535;
}

bool IpLiteral(const std::string& host) {
    in_addr v4{};
    in6_addr v6{};
    return ::inet_pton(AF_INET, host.c_str(), &v4) == 1 || ::inet_pton(AF_INET6, host.c_str(), &v6) == 1;
}

// Whether `method` is one of "GET, HEAD, PUT" (HEAD goes with GET).
bool MethodAllowed(const std::string& allowed, const std::string& method) {
    for (size_t at = 0; at < allowed.size();) {
        const size_t end = std::min(allowed.find(',', at), allowed.size());
        if (allowed.compare(at, end - at, method) == 0) return true;
        at = end + 2;
    }
    return false;
}

using Handled = httplib::Server::HandlerResponse;

}  // namespace

std::vector<std::string> CommandNames() {
    std::vector<std::string> names;
    for (const Route& r : CommandRoutes()) names.emplace_back(r.name);
    return names;
}

bool CommandExists(const std::string& command, bool& query) {
    const Route* route = FindRoute(command);
    if (route != nullptr) query = route->query;
    return route != nullptr;
}

std::string ParseCommandArgs(const std::string& command, const std::multimap<std::string, std::string>& query,
                             const std::string& body, CommandArgs& args) {
    const Route* route = FindRoute(command);
    if (route == nullptr) return "no command named " + Quoted(ValidUtf8(command) ? command : "?");
    return CollectArgs(*route, query, body, args);
}

HttpServer::HttpServer(std::vector<HeadWorker*> heads, HttpSettings settings, std::vector<motion::Motion*> motions,
                       std::vector<HeadListing> listings)
    : heads_(std::move(heads)),
      motions_(std::move(motions)),
      listings_(std::move(listings)),
      token_(std::move(settings.token)),
      hosts_(std::move(settings.hosts)),
      address_(settings.address),
      listenHost_(Lower(settings.address.host)) {
    listings_.resize(heads_.size());
    ListenerLimits limits;
    limits.maxConnections = settings.maxConnections;
    limits.perSource = settings.maxConnectionsPerSource;
    server_ = std::make_unique<Listener>("HTTP", limits, json{{"error", "too many connections; try again"}}.dump(),
                                         "application/json");
    AddRoutes();
}

HttpServer::~HttpServer() { server_->Join(); }

void HttpServer::BeginStop() {
    EndStreams();
    server_->Shutdown();
}

void HttpServer::Join() { server_->Join(); }

HeadWorker* HttpServer::Find(const std::string& name) {
    for (HeadWorker* h : heads_)
        if (h->name() == name) return h;
    return nullptr;
}

bool HttpServer::HostAllowed(const std::string& host) const {
    // A page whose address is an IP literal can only be this gateway's own
    // (a DNS rebinding needs a name); names must be loopback's or listed.
    if (IpLiteral(host) || host == "localhost" || host == listenHost_) return true;
    return std::find(hosts_.begin(), hosts_.end(), host) != hosts_.end();
}

void HttpServer::AddRoutes() {
    auto& s = *server_;
    routes_ = std::make_unique<Routes>(s);
    Routes& r = *routes_;
    s.set_payload_max_length(kMaxBody);
    // What a browser page of another origin (or a rebound name) could do is
    // refused before anything else: a Host that is not ours (421), an Origin
    // that is not the page's own (403), a POST that is not JSON (415: a form
    // or a text/plain "simple request" never gets through).
    s.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
        // A refusal closes the connection: the request's body (if any) is
        // never read.
        auto refuse = [&res](int status, const std::string& why) {
            res.set_header("Connection", "close");
            Listener::CloseAfterAnswer();
            Fail(res, status, why);
            return Handled::Handled;
        };
        if (!ValidUtf8(req.path) || !ValidUtf8(req.target)) return refuse(400, "the path must be UTF-8");
        for (const auto& [key, value] : req.params)
            if (!ValidUtf8(key) || !ValidUtf8(value)) return refuse(400, "the query must be UTF-8");
        if (!req.has_header("Host")) return refuse(400, "a Host header is required");
        std::string host;
        int port = 0;
        if (!SplitHost(req.get_header_value("Host"), host, port) || !HostAllowed(host))
            return refuse(421, "this gateway does not serve that host name (see http_hosts)");
        if (req.has_header("Origin")) {
            // Its own page's origin: http://HOST[:PORT] as in Host; https too
            // for a listed name (a TLS proxy in front of the gateway).
            const std::string origin = Lower(req.get_header_value("Origin"));
            const size_t scheme = origin.find("://");
            const std::string name = scheme == std::string::npos ? "" : origin.substr(0, scheme);
            std::string originHost;
            int originPort = 0;
            const bool https = name == "https" && std::find(hosts_.begin(), hosts_.end(), host) != hosts_.end();
            const int defaultPort = https ? 443 : 80;
            if ((name != "http" && !https) || !SplitHost(origin.substr(scheme + 3), originHost, originPort) ||
                originHost != host || (originPort ? originPort : defaultPort) != (port ? port : defaultPort))
                return refuse(403, "requests from another origin are refused");
        }
        const bool page = req.path == "/" || req.path == "/index.html" || req.path == "/page.css" || req.path == "/page.js" ||
                          req.path == "/stream.js";
        // A browser's EventSource cannot send headers: the live stream may
        // carry the token in its query instead.
        // Only there: a token in a query would open any other route too.
        static const std::regex streamRoute(R"(/api/(heads/[^/]+/)?stream)");
        const bool stream = (req.method == "GET" || req.method == "HEAD") && std::regex_match(req.path, streamRoute);
        const std::string presented = stream && req.has_param("token") ? "Bearer " + req.get_param_value("token")
                                                                         : req.get_header_value("Authorization");
        if (!token_.empty() && !page &&
            CRYPTO_memcmp(Digest(presented).data(), Digest("Bearer " + token_).data(), 32) != 0) {
            res.set_header("WWW-Authenticate", "Bearer");
            return refuse(401, "this gateway wants \"Authorization: Bearer <token>\"");
        }
        const std::string allowed = routes_->Allowed(req.path);
        if (!allowed.empty() && !MethodAllowed(allowed, req.method)) {
            res.set_header("Allow", allowed);
            return refuse(405, req.path + " answers " + allowed + " only");
        }
        if (req.method == "POST" || req.method == "PUT") {
            const std::string type = req.get_header_value("Content-Type");
            std::string media = Lower(type.substr(0, type.find(';')));
            media.erase(media.find_last_not_of(" \t") + 1);
            if (media != "application/json")
                return refuse(415, "actions want \"Content-Type: application/json\"");
        }
        return Handled::Unhandled;
    });
    s.set_error_handler([](const httplib::Request&, httplib::Response& res) {
        if (!res.body.empty()) return;
        // httplib refused the request itself, maybe before reading its body.
        if (res.status == 400 || res.status == 413 || res.status == 414) Listener::CloseAfterAnswer();
        const char* text = res.status == 404 ? "no such route" : res.status == 413 ? "the request body is too large"
                           : res.status == 405 ? "method not allowed" : res.status == 500 ? "internal error" : "bad request";
        Fail(res, res.status, text);
    });
    // Never the exception's text to the client (httplib would put it in a header).
    s.set_exception_handler([](const httplib::Request& req, httplib::Response& res, std::exception_ptr error) {
        std::string what = "unknown exception";
        try {
            std::rethrow_exception(error);
        } catch (const std::exception& e) {
            what = e.what();
        } catch (...) {
        }
        Log(Level::Error, "HTTP " + req.method + ": " + what);
        res.headers.clear();
        Fail(res, 500, "internal error");
    });
    // Before the per-export routes, which would take /api/heads/NAME/WORD.
    AddMotionRoutes(r, motions_, stopping_, streams_);
    // The page's own files, as they are in http/page.
    auto file = [](std::string_view bytes, const char* type) {
        return [bytes, type](const httplib::Request&, httplib::Response& res) {
            // Never kept: a page restored from a browser's cache would show
            // a head as it was, and hold the shared live stream while away.
            res.set_header("Cache-Control", "no-store");
            res.set_content(std::string(bytes), type);
        };
    };
    r.Get("/", file(page::kIndexHtml, "text/html; charset=utf-8"));
    r.Get("/page.css", file(page::kPageCss, "text/css; charset=utf-8"));
    r.Get("/page.js", file(page::kPageJs, "text/javascript; charset=utf-8"));
    r.Get("/stream.js", file(page::kStreamJs, "text/javascript; charset=utf-8"));
    r.Get("/metrics", [this](const httplib::Request&, httplib::Response& res) {
        std::vector<std::pair<std::string, const HeadMetrics*>> all;
        for (HeadWorker* h : heads_) all.emplace_back(h->name(), &h->metrics());
        std::string text = RenderMetrics(all);
        text += "# HELP ptzd_http_streams Live streams open.\n# TYPE ptzd_http_streams gauge\nptzd_http_streams " +
                std::to_string(streams_.load()) + "\n";
        for (const auto& more : moreMetrics_) more(text);
        res.set_content(text, "text/plain; version=0.0.4");
    });
    r.Get("/api/heads", [this](const httplib::Request&, httplib::Response& res) {
        json list = json::array();
        for (size_t i = 0; i < heads_.size(); ++i) {
            HeadWorker* h = heads_[i];
            const HeadListing& c = listings_[i];
            const Mapping& m = c.mapping;
            list.push_back({{"name", h->name()},
                            {"link", h->link()},
                            {"up", h->Up()},
                            {"listen", c.listen},
                            {"clients", h->metrics().clients.load()},
                            {"failures", h->RecentFailures()},
                            {"mapping",
                             {{"pan_motor", m.panMotor}, {"tilt_motor", m.tiltMotor}, {"pan_min", m.panMin},
                              {"pan_max", m.panMax}, {"tilt_min", m.tiltMin}, {"tilt_max", m.tiltMax},
                              {"speed_min", m.speedMin}, {"speed_max", m.speedMax}, {"move_param", m.moveParam},
                              {"preset_flag", m.presetFlag}}}});
            json& one = list.back();
            json labels = json::array();
            for (size_t k = 0; k < 4; ++k)
                labels.push_back(k < c.statusLabels.size() ? c.statusLabels[k] : "flag " + std::to_string(k));
            one["status_labels"] = labels;
            one["snapshot"] = c.snapshot;
            one["visca_udp"] = c.viscaUdp;
            one["visca_tcp"] = c.viscaTcp;
            one["visca_udp_raw"] = c.viscaUdpRaw;
            one["onvif"] = c.onvif;
        }
        Reply(res, 200, list);
    });
    // The method was checked before routing (405 with Allow).
    auto command = [this](const httplib::Request& req, httplib::Response& res) {
        HeadWorker* head = Find(req.matches[1]);
        if (head == nullptr) return Fail(res, 404, "no head named " + Quoted(req.matches[1]));
        const Route* route = FindRoute(req.matches[2]);
        if (route == nullptr) return Fail(res, 404, "no command named " + Quoted(req.matches[2]));
        Args args;
        if (const std::string why = CollectArgs(*route, req.params, req.body, args); !why.empty()) return Fail(res, 400, why);
        json answer = json::object();
        const Outcome o =
            head->Call([&](int32_t link) { return route->call(link, args, answer); }, HeadWorker::Lane::Normal, route->name);
        if (o.result == PTZ_OK) return Reply(res, 200, answer);
        if (o.result == kBusy) {
            res.set_header("Retry-After", "1");
            return Fail(res, 503, "head " + Quoted(head->name()) + " is busy: " +
                                      std::to_string(HeadWorker::kMaxCallers) +
                                      " calls wait for it already, or this one waited too long; nothing was sent");
        }
        if (o.result == kLinkDown) return Fail(res, 503, "head " + Quoted(head->name()) + " is not connected");
        if (o.result == PTZ_BAD_PARAM) return Fail(res, 400, "the library rejected an argument; nothing was sent");
        char text[320];
        PTZ_GetErrorText(o.kind, o.code, text, sizeof text);
        Reply(res, StatusFor(o), {{"error", text}, {"kind", o.kind}, {"code", o.code}});
    };
    // A query answers GET (and HEAD), a command POST.
    r.Add(
        R"(/api/heads/([^/]+)/([A-Za-z]+))",
        [](const std::smatch& m) -> std::string {
            bool query = false;
            return CommandExists(m[2], query) ? (query ? "GET" : "POST") : "";
        },
        {{"GET", command}, {"POST", command}});
}

bool HttpServer::Listen(const Address& address) {
    if (!server_->Bind(address)) return false;
    Log(Level::Info, "HTTP API, page and metrics on http://" + address.host + ":" + std::to_string(address.port) + "/");
    return true;
}

void HttpServer::Start() { server_->Start(); }

}  // namespace ptzd
