#include "http_server.h"

#include <httplib.h>

#include <climits>
#include <cstring>
#include <functional>
#include <nlohmann/json.hpp>

#include "control.h"
#include "log.h"
#include "page.h"
#include "ptz.h"

namespace ptzd {

using nlohmann::json;

namespace {

constexpr size_t kMaxBody = 64 * 1024;

void Reply(httplib::Response& res, int status, const json& body) {
    res.status = status;
    res.set_content(body.dump(), "application/json");
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

// The arguments of one call, by the header's names.
struct Args {
    std::map<std::string, int32_t> values;
    std::vector<uint8_t> data;  // EepWrite
    int32_t operator[](const char* name) const { return values.at(name); }
};

// One device command as an HTTP route.
struct Route {
    const char* name;
    bool query;                        // GET with query parameters; otherwise POST with a JSON body
    std::vector<const char*> args;     // required integer arguments
    std::vector<const char*> optional; // integer arguments that default to 0
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
        {"SetIrControl", false, {"control"}, {}, [](int32_t l, const Args& a, json&) { return PTZ_LinkSetIrControl(l, a["control"]); }},
        {"ExecMotorHP", false, {"motor"}, {}, [](int32_t l, const Args& a, json&) { return PTZ_LinkExecMotorHP(l, a["motor"]); }},
        {"SetMotorPos", false, {"motor", "param", "position"}, {}, [](int32_t l, const Args& a, json&) {
             return PTZ_LinkSetMotorPos(l, a["motor"], a["param"], a["position"]);
         }},
        {"GetMotorPos", true, {"motor"}, {}, [](int32_t l, const Args& a, json& out) {
             int32_t position = 0;
             const int32_t r = PTZ_LinkGetMotorPos(l, a["motor"], &position);
             out = {{"position", position}};
             return r;
         }},
        {"ActMotor", false, {"motor", "param"}, {}, [](int32_t l, const Args& a, json&) { return PTZ_LinkActMotor(l, a["motor"], a["param"]); }},
        {"StopMotor", false, {"motor"}, {}, [](int32_t l, const Args& a, json&) { return PTZ_LinkStopMotor(l, a["motor"]); }},
        {"GetMotorSpeed", true, {"motor"}, {}, [](int32_t l, const Args& a, json& out) {
             int32_t speed = 0;
             const int32_t r = PTZ_LinkGetMotorSpeed(l, a["motor"], &speed);
             out = {{"speed", speed}};
             return r;
         }},
        {"SetMotorSpeed", false, {"motor", "speed"}, {}, [](int32_t l, const Args& a, json&) {
             return PTZ_LinkSetMotorSpeed(l, a["motor"], a["speed"]);
         }},
        {"SetUserHP", false, {"flag"}, {}, [](int32_t l, const Args& a, json&) { return PTZ_LinkSetUserHP(l, a["flag"]); }},
        {"MoveUserHP", false, {}, {}, [](int32_t l, const Args&, json&) { return PTZ_LinkMoveUserHP(l); }},
        {"SetPresetPos", false, {"preset", "flag"}, {}, [](int32_t l, const Args& a, json&) {
             return PTZ_LinkSetPresetPos(l, a["preset"], a["flag"]);
         }},
        {"MovePresetPos", false, {"preset"}, {}, [](int32_t l, const Args& a, json&) { return PTZ_LinkMovePresetPos(l, a["preset"]); }},
        {"GetAutoReturn", true, {}, {}, [](int32_t l, const Args&, json& out) {
             int32_t value = 0;
             const int32_t r = PTZ_LinkGetAutoReturn(l, &value);
             out = {{"autoReturn", value}};
             return r;
         }},
        {"SetAutoReturn", false, {"autoReturn"}, {}, [](int32_t l, const Args& a, json&) { return PTZ_LinkSetAutoReturn(l, a["autoReturn"]); }},
        {"ExecAutoPan", false, {"mode"}, {"reserved1", "reserved2"}, [](int32_t l, const Args& a, json&) {
             return PTZ_LinkExecAutoPan(l, a["mode"], a["reserved1"], a["reserved2"]);
         }},
        {"SetPTPos", false, {"param", "pan", "tilt"}, {}, [](int32_t l, const Args& a, json&) {
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
        {"SetPanTiltSyncMode", false, {"mode"}, {}, [](int32_t l, const Args& a, json&) { return PTZ_LinkSetPanTiltSyncMode(l, a["mode"]); }},
        {"EepRead", true, {"address", "count"}, {}, [](int32_t l, const Args& a, json& out) {
             uint8_t buffer[256] = {};
             const int32_t count = a["count"];
             const int32_t r = PTZ_LinkEepRead(l, a["address"], count, count >= 0 && count <= 248 ? buffer : nullptr);
             out = {{"address", a["address"]}, {"count", count}, {"data", r == PTZ_OK ? ptzsim::HexOf({buffer, buffer + count}) : ""}};
             return r;
         }},
        {"EepWrite", false, {"address"}, {}, [](int32_t l, const Args& a, json&) {
             return PTZ_LinkEepWrite(l, a["address"], static_cast<int32_t>(a.data.size()), a.data.empty() ? nullptr : a.data.data());
         }},
        {"EepBurn", false, {}, {}, [](int32_t l, const Args&, json&) { return PTZ_LinkEepBurn(l); }},
    };
    return routes;
}

// An integer argument from query text ("12", "-5", "0x100").
bool ParseInteger(const std::string& text, int32_t& value) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    const long long v = std::strtoll(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || v < INT32_MIN || v > INT32_MAX) return false;
    value = static_cast<int32_t>(v);
    return true;
}

// Collects a route's arguments; the reason when they are not right.
std::string CollectArgs(const Route& route, const httplib::Request& req, Args& args) {
    json body = json::object();
    if (!route.query && !req.body.empty()) {
        body = json::parse(req.body, nullptr, false);
        if (body.is_discarded()) return "the body is not valid JSON";
        if (!body.is_object()) return "the body must be a JSON object";
    }
    auto known = [&](const std::string& key) {
        for (const char* a : route.args)
            if (key == a) return true;
        for (const char* a : route.optional)
            if (key == a) return true;
        return std::string(route.name) == "EepWrite" && (key == "data" || key == "count");
    };
    if (route.query) {
        for (const auto& [key, value] : req.params)
            if (!known(key)) return "unknown argument \"" + key + "\"";
    } else {
        for (const auto& [key, value] : body.items())
            if (!known(key)) return "unknown argument \"" + key + "\"";
    }
    auto take = [&](const char* name, bool required) -> std::string {
        int32_t value = 0;
        if (route.query) {
            if (!req.has_param(name)) return required ? std::string("missing argument \"") + name + "\"" : "";
            if (!ParseInteger(req.get_param_value(name), value))
                return std::string("argument \"") + name + "\" must be a 32-bit integer";
        } else {
            if (!body.contains(name)) {
                if (required) return std::string("missing argument \"") + name + "\"";
                args.values[name] = 0;
                return "";
            }
            const json& v = body[name];
            if (!v.is_number_integer()) return std::string("argument \"") + name + "\" must be an integer";
            const auto wide = v.get<int64_t>();
            if (v.is_number_unsigned() && v.get<uint64_t>() > uint64_t{INT32_MAX})
                return std::string("argument \"") + name + "\" is out of the 32-bit range";
            if (wide < INT32_MIN || wide > INT32_MAX)
                return std::string("argument \"") + name + "\" is out of the 32-bit range";
            value = static_cast<int32_t>(wide);
        }
        args.values[name] = value;
        return "";
    };
    for (const char* a : route.args)
        if (std::string why = take(a, true); !why.empty()) return why;
    for (const char* a : route.optional)
        if (std::string why = take(a, false); !why.empty()) return why;
    for (const char* a : route.optional)
        if (!args.values.count(a)) args.values[a] = 0;
    if (std::string(route.name) == "EepWrite") {
        if (!body.contains("data") || !body["data"].is_string()) return "argument \"data\" must be a hex string";
        if (!ParseHex(body["data"].get<std::string>(), args.data)) return "argument \"data\" is not hex bytes";
        if (body.contains("count") && (!body["count"].is_number_integer() ||
                                       body["count"].get<int64_t>() != static_cast<int64_t>(args.data.size())))
            return "argument \"count\" does not match the data";
    }
    return "";
}

}  // namespace

HttpServer::HttpServer(std::vector<HeadWorker*> heads, std::string token)
    : heads_(std::move(heads)), token_(std::move(token)), server_(std::make_unique<httplib::Server>()) {
    AddRoutes();
}

HttpServer::~HttpServer() { Stop(); }

HeadWorker* HttpServer::Find(const std::string& name) {
    for (HeadWorker* h : heads_)
        if (h->config().name == name) return h;
    return nullptr;
}

void HttpServer::AddRoutes() {
    auto& s = *server_;
    s.set_payload_max_length(kMaxBody);
    // Answers leave at once (no Nagle delay), and enough workers that
    // clients keeping their connections alive do not queue behind each other.
    s.set_tcp_nodelay(true);
    s.new_task_queue = [] { return new httplib::ThreadPool(64); };
    s.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
        if (token_.empty() || req.path == "/" || req.path == "/index.html") return httplib::Server::HandlerResponse::Unhandled;
        if (req.get_header_value("Authorization") != "Bearer " + token_) {
            res.set_header("WWW-Authenticate", "Bearer");
            Fail(res, 401, "this gateway wants \"Authorization: Bearer <token>\"");
            return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });
    s.set_error_handler([](const httplib::Request&, httplib::Response& res) {
        if (!res.body.empty()) return;
        const char* text = res.status == 404 ? "no such route" : res.status == 413 ? "the request body is too large"
                           : res.status == 405 ? "method not allowed" : "bad request";
        Fail(res, res.status, text);
    });
    s.Get("/", [](const httplib::Request&, httplib::Response& res) { res.set_content(kPage, "text/html; charset=utf-8"); });
    s.Get("/metrics", [this](const httplib::Request&, httplib::Response& res) {
        std::vector<std::pair<std::string, const HeadMetrics*>> all;
        for (HeadWorker* h : heads_) all.emplace_back(h->config().name, &h->metrics());
        res.set_content(RenderMetrics(all), "text/plain; version=0.0.4");
    });
    s.Get("/api/heads", [this](const httplib::Request&, httplib::Response& res) {
        json list = json::array();
        for (HeadWorker* h : heads_) {
            const HeadConfig& c = h->config();
            const Mapping& m = c.mapping;
            list.push_back({{"name", c.name},
                            {"link", c.link},
                            {"up", h->Up()},
                            {"listen", c.listen ? c.listen->host + ":" + std::to_string(c.listen->port) : ""},
                            {"clients", h->metrics().clients.load()},
                            {"failures", h->RecentFailures()},
                            {"mapping",
                             {{"pan_motor", m.panMotor}, {"tilt_motor", m.tiltMotor}, {"pan_min", m.panMin},
                              {"pan_max", m.panMax}, {"tilt_min", m.tiltMin}, {"tilt_max", m.tiltMax},
                              {"speed_min", m.speedMin}, {"speed_max", m.speedMax}, {"move_param", m.moveParam},
                              {"preset_flag", m.presetFlag}}}});
        }
        Reply(res, 200, list);
    });
    auto command = [this](const httplib::Request& req, httplib::Response& res, bool isGet) {
        HeadWorker* head = Find(req.matches[1]);
        if (head == nullptr) return Fail(res, 404, "no head named \"" + std::string(req.matches[1]) + "\"");
        const Route* route = nullptr;
        for (const Route& r : CommandRoutes())
            if (req.matches[2] == r.name) route = &r;
        if (route == nullptr) return Fail(res, 404, "no command named \"" + std::string(req.matches[2]) + "\"");
        if (route->query != isGet) {
            res.set_header("Allow", route->query ? "GET" : "POST");
            return Fail(res, 405, std::string(route->name) + " is " + (route->query ? "a GET" : "a POST") + " route");
        }
        Args args;
        if (const std::string why = CollectArgs(*route, req, args); !why.empty()) return Fail(res, 400, why);
        json answer = json::object();
        const Outcome o = head->Call([&](int32_t link) { return route->call(link, args, answer); });
        if (o.result == PTZ_OK) return Reply(res, 200, answer);
        if (o.result == kLinkDown) return Fail(res, 503, "head \"" + head->config().name + "\" is not connected");
        if (o.result == PTZ_BAD_PARAM) return Fail(res, 400, "the library rejected an argument; nothing was sent");
        char text[320];
        PTZ_GetErrorText(o.kind, o.code, text, sizeof text);
        head->NoteFailure(route->name, o.kind, o.code);
        Reply(res, StatusFor(o), {{"error", text}, {"kind", o.kind}, {"code", o.code}});
    };
    s.Get(R"(/api/heads/([^/]+)/([A-Za-z]+))",
          [command](const httplib::Request& req, httplib::Response& res) { command(req, res, true); });
    s.Post(R"(/api/heads/([^/]+)/([A-Za-z]+))",
           [command](const httplib::Request& req, httplib::Response& res) { command(req, res, false); });
}

bool HttpServer::Listen(const Address& address) {
    if (!server_->bind_to_port(address.host.c_str(), address.port)) {
        Log(Level::Error, "cannot listen for HTTP on " + address.host + ":" + std::to_string(address.port));
        return false;
    }
    Log(Level::Info, "HTTP API, page and metrics on http://" + address.host + ":" + std::to_string(address.port) + "/");
    return true;
}

void HttpServer::Start() {
    thread_ = std::thread([this] { server_->listen_after_bind(); });
}

void HttpServer::Stop() {
    if (!thread_.joinable()) return;
    server_->stop();
    thread_.join();
}

}  // namespace ptzd
