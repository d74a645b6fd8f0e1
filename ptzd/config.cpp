#include "config.h"

#include <set>
#include <toml++/toml.h>

namespace ptzd {

bool ParseAddress(const std::string& text, Address& address) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) return false;
    std::string host = text.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    const std::string port = text.substr(colon + 1);
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos) return false;
    const int value = std::stoi(port);
    if (value < 0 || value > 65535) return false;
    address = {host, value};
    return true;
}

std::string CheckLink(const std::string& link) {
    if (link.rfind("serial:", 0) == 0) return link.size() > 7 ? "" : "serial: needs a device path";
    if (link.rfind("com:", 0) == 0) {
        const std::string n = link.substr(4);
        if (n.empty() || n.find_first_not_of("0123456789") != std::string::npos || n.size() > 6)
            return "com: needs a port number";
        return "";
    }
    if (link.rfind("tcp:", 0) == 0) {
        Address a;
        if (!ParseAddress(link.substr(4), a) || a.port == 0) return "tcp: needs HOST:PORT (port 1-65535)";
        return "";
    }
    return "link must be \"serial:PATH\", \"com:N\" or \"tcp:HOST:PORT\"";
}

bool ParseHeadOption(const std::string& text, HeadConfig& head, std::string& error) {
    const size_t eq = text.find('=');
    if (eq == std::string::npos || eq == 0) {
        error = "--head takes NAME=LINK";
        return false;
    }
    head.name = text.substr(0, eq);
    head.link = text.substr(eq + 1);
    error = CheckLink(head.link);
    return error.empty();
}

namespace {

bool ValidName(const std::string& name) {
    if (name.empty() || name.size() > 64) return false;
    for (char c : name)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.')) return false;
    return true;
}

}  // namespace

bool LoadConfig(const std::string& path, Config& config, std::vector<std::string>& errors) {
    toml::table root;
    try {
        root = toml::parse_file(path);
    } catch (const toml::parse_error& e) {
        errors.push_back(path + ":" + std::to_string(e.source().begin.line) + ": " + std::string(e.description()));
        return false;
    }
    auto fail = [&](const toml::node& node, const std::string& what) {
        errors.push_back(path + ":" + std::to_string(node.source().begin.line) + ": " + what);
    };
    auto text = [&](const toml::node& node, const std::string& key, std::string& out) {
        if (const auto* s = node.as_string()) out = s->get();
        else fail(node, key + " must be a string");
    };
    auto integer = [&](const toml::node& node, const std::string& key, int32_t& out, int64_t min, int64_t max) {
        const auto* i = node.as_integer();
        if (i == nullptr) return fail(node, key + " must be an integer");
        if (i->get() < min || i->get() > max)
            return fail(node, key + " must be between " + std::to_string(min) + " and " + std::to_string(max));
        out = static_cast<int32_t>(i->get());
    };

    for (auto&& [key, node] : root) {
        const std::string k(key.str());
        if (k == "http") {
            std::string value;
            text(node, k, value);
            if (value == "off") config.httpEnabled = false;
            else if (!value.empty() && !ParseAddress(value, config.http)) fail(node, "http must be HOST:PORT or \"off\"");
        } else if (k == "token") {
            text(node, k, config.token);
        } else if (k == "log") {
            text(node, k, config.log);
            if (config.log != "error" && config.log != "warn" && config.log != "info" && config.log != "debug")
                fail(node, "log must be error, warn, info or debug");
        } else if (k == "head") {
            const auto* heads = node.as_array();
            if (heads == nullptr) {
                fail(node, "head must be an array of tables: write [[head]]");
                continue;
            }
            for (auto& entry : *heads) {
                const auto* table = entry.as_table();
                if (table == nullptr) {
                    fail(entry, "each head must be a table");
                    continue;
                }
                HeadConfig head;
                OnvifConfig onvif;
                bool onvifSet = false;
                for (auto&& [hkey, hnode] : *table) {
                    const std::string h(hkey.str());
                    Mapping& m = head.mapping;
                    constexpr int64_t lo = INT32_MIN, hi = INT32_MAX;
                    if (h == "name") text(hnode, h, head.name);
                    else if (h == "link") {
                        text(hnode, h, head.link);
                        if (const std::string why = CheckLink(head.link); !head.link.empty() && !why.empty())
                            fail(hnode, why);
                    } else if (h == "listen") {
                        std::string value;
                        text(hnode, h, value);
                        Address a;
                        if (!value.empty() && !ParseAddress(value, a)) fail(hnode, "listen must be HOST:PORT");
                        else if (!value.empty()) head.listen = a;
                    } else if (h == "pan_motor") integer(hnode, h, m.panMotor, 0, 255);
                    else if (h == "tilt_motor") integer(hnode, h, m.tiltMotor, 0, 255);
                    else if (h == "pan_min") integer(hnode, h, m.panMin, lo, hi);
                    else if (h == "pan_max") integer(hnode, h, m.panMax, lo, hi);
                    else if (h == "tilt_min") integer(hnode, h, m.tiltMin, lo, hi);
                    else if (h == "tilt_max") integer(hnode, h, m.tiltMax, lo, hi);
                    else if (h == "speed_min") integer(hnode, h, m.speedMin, 0, 255);
                    else if (h == "speed_max") integer(hnode, h, m.speedMax, 0, 255);
                    else if (h == "move_param") integer(hnode, h, m.moveParam, 0, 255);
                    else if (h == "preset_flag") integer(hnode, h, m.presetFlag, 0, 1);
                    else if (h == "max_clients") integer(hnode, h, head.maxClients, 1, 4096);
                    else if (h == "onvif") {
                        std::string value;
                        text(hnode, h, value);
                        if (!ParseAddress(value, onvif.address)) fail(hnode, "onvif must be HOST:PORT");
                        onvifSet = true;
                    } else if (h == "onvif_user") text(hnode, h, onvif.user);
                    else if (h == "onvif_password") text(hnode, h, onvif.password);
                    else if (h == "rtsp") text(hnode, h, onvif.rtsp);
                    else if (h == "snapshot") text(hnode, h, onvif.snapshot);
                    else fail(hnode, "unknown key \"" + h + "\" in [[head]]");
                }
                if (onvifSet) head.onvif = onvif;
                else if (!onvif.user.empty() || !onvif.rtsp.empty())
                    fail(entry, "onvif_user, onvif_password and rtsp need onvif = \"HOST:PORT\"");
                if (head.name.empty()) fail(entry, "a head needs a name");
                else if (!ValidName(head.name)) fail(entry, "head name \"" + head.name + "\" may hold only letters, digits, - _ .");
                if (head.link.empty()) fail(entry, "head \"" + head.name + "\" needs a link");
                if (head.mapping.panMin >= head.mapping.panMax) fail(entry, "pan_min must be below pan_max");
                if (head.mapping.tiltMin >= head.mapping.tiltMax) fail(entry, "tilt_min must be below tilt_max");
                if (head.mapping.speedMin > head.mapping.speedMax) fail(entry, "speed_min must not exceed speed_max");
                for (const HeadConfig& other : config.heads)
                    if (other.name == head.name) fail(entry, "head name \"" + head.name + "\" is used twice");
                config.heads.push_back(head);
            }
        } else {
            fail(node, "unknown key \"" + k + "\"");
        }
    }
    if (config.heads.empty() && errors.empty()) errors.push_back(path + ":1: no [[head]] is configured");
    config.path = path;
    return errors.empty();
}

}  // namespace ptzd
