#include "config/config.h"

#include <algorithm>

#include <arpa/inet.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <toml++/toml.h>

#include "config/motion_keys.h"

namespace ptzd {

std::string CheckLink(const std::string& link) {
    if (link.rfind("serial:", 0) == 0) return link.size() > 7 ? "" : "serial: needs a device path";
    if (link.rfind("com:", 0) == 0) {
        const std::string n = link.substr(4);
        if (n.empty() || n.find_first_not_of("0123456789") != std::string::npos || n.size() > 6 || std::stoi(n) < 1)
            return "com: needs a port number from 1 (COM1)";
        return "";
    }
    if (link.rfind("tcp:", 0) == 0) {
        Address a;
        if (!ParseAddress(link.substr(4), a) || a.port == 0 || a.host.empty()) return "tcp: needs HOST:PORT (port 1-65535)";
        return "";
    }
    return "link must be \"serial:PATH\", \"com:N\" or \"tcp:HOST:PORT\"";
}

std::string CheckHeadName(const std::string& name) {
    bool fine = !name.empty() && name.size() <= 64;
    for (char c : name)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.')) fine = false;
    return fine ? "" : "head name \"" + name + "\" must be 1-64 letters, digits, - _ or .";
}

std::string GatewayName(const Config& config) {
    if (!config.gateway.empty()) return config.gateway;
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) != 0) host[0] = 0;
    std::string name;
    for (const char* c = host; *c && name.size() < 64; ++c)
        name += std::isalnum(static_cast<unsigned char>(*c)) || *c == '-' || *c == '_' ? *c : '-';
    return name.empty() ? "ptzd" : name;
}

bool ParseHeadOption(const std::string& text, HeadConfig& head, std::string& error) {
    const size_t eq = text.find('=');
    if (eq == std::string::npos || eq == 0) {
        error = "--head takes NAME=LINK";
        return false;
    }
    head.name = text.substr(0, eq);
    head.link = text.substr(eq + 1);
    error = CheckHeadName(head.name);
    if (error.empty()) error = CheckLink(head.link);
    return error.empty();
}

namespace {

// A name for the Host check: letters, digits, - and . (no port).
bool ValidHostName(const std::string& name) {
    if (name.empty() || name.size() > 253) return false;
    for (char c : name)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.')) return false;
    return true;
}

// An address to listen on must be an IP literal: a name could resolve
// differently, or not at all, when ptzd starts. "localhost" is taken as
// 127.0.0.1, what it names on every system ptzd runs on.
std::string CheckListenAddress(Address& address, const char* what) {
    if (address.host == "localhost") address.host = "127.0.0.1";
    in_addr v4{};
    in6_addr v6{};
    if (::inet_pton(AF_INET, address.host.c_str(), &v4) != 1 && ::inet_pton(AF_INET6, address.host.c_str(), &v6) != 1)
        return std::string(what) + " address \"" + address.host +
               "\" is not an IP address (write 127.0.0.1, 0.0.0.0, ::1 or [::]; names are not resolved)";
    if (address.port == 0) return std::string(what) + " needs a port from 1 to 65535 (port 0 would pick one at random)";
    return "";
}

bool UsableDirectory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && ::access(path.c_str(), W_OK | X_OK) == 0;
}

bool Parse(toml::table& root, const std::string& path, Config& config, std::vector<std::string>& errors) {
    auto where = [&](const toml::node& node) { return path + ":" + std::to_string(node.source().begin.line); };
    auto fail = [&](const toml::node& node, const std::string& what) { errors.push_back(where(node) + ": " + what); };
    // Strings: never empty (an empty value is a mistake, not a default).
    auto text = [&](const toml::node& node, const std::string& key, std::string& out) {
        if (const auto* s = node.as_string()) {
            out = s->get();
            if (out.empty()) fail(node, key + " must not be empty (leave the key out instead)");
        } else {
            fail(node, key + " must be a string");
        }
    };
    auto integer = [&](const toml::node& node, const std::string& key, int32_t& out, int64_t min, int64_t max) {
        const auto* i = node.as_integer();
        if (i == nullptr) return fail(node, key + " must be an integer");
        if (i->get() < min || i->get() > max)
            return fail(node, key + " must be between " + std::to_string(min) + " and " + std::to_string(max));
        out = static_cast<int32_t>(i->get());
    };
    auto address = [&](const toml::node& node, const std::string& key, Address& out) {
        std::string value;
        text(node, key, value);
        if (value.empty()) return false;
        if (!ParseAddress(value, out)) {
            fail(node, key + " must be HOST:PORT");
            return false;
        }
        out.where = where(node);
        return true;
    };

    for (auto&& [key, node] : root) {
        const std::string k(key.str());
        if (k == "http") {
            if (const auto* s = node.as_string(); s != nullptr && s->get() == "off") config.httpEnabled = false;
            else address(node, k, config.http);
        } else if (k == "http_hosts") {
            const auto* list = node.as_array();
            if (list == nullptr) {
                fail(node, "http_hosts must be an array of host names");
                continue;
            }
            for (auto& entry : *list) {
                std::string name;
                text(entry, k, name);
                for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
                if (!name.empty() && !ValidHostName(name))
                    fail(entry, "http_hosts entry \"" + name + "\" must be a host name (letters, digits, - and ., no port)");
                else if (!name.empty()) config.httpHosts.push_back(name);
            }
        } else if (k == "http_max_connections") {
            integer(node, k, config.httpMaxConnections, 1, kMaxConnectionsLimit);
        } else if (k == "max_connections_per_source") {
            integer(node, k, config.maxConnectionsPerSource, 0, kMaxConnectionsLimit);
        } else if (k == "gateway") {
            text(node, k, config.gateway);
            bool fine = !config.gateway.empty() && config.gateway.size() <= 64;
            for (char c : config.gateway)
                if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_')) fine = false;
            if (!fine) fail(node, "gateway must be 1-64 letters, digits, - or _");
        } else if (k == "token") {
            text(node, k, config.token);
        } else if (k == "state_dir") {
            text(node, k, config.stateDir);
            config.stateDirWhere = where(node);
        } else if (k == "log") {
            text(node, k, config.log);
            if (config.log != "error" && config.log != "warn" && config.log != "info" && config.log != "debug")
                fail(node, "log must be error, warn, info or debug");
        } else if (k == "mqtt") {
            const auto* table = node.as_table();
            if (table == nullptr) {
                fail(node, "mqtt must be a table: write [mqtt]");
                continue;
            }
            MqttConfig m;
            bool broker = false;
            auto flag = [&](const toml::node& n, const std::string& key, bool& out) {
                if (const auto* b = n.as_boolean()) out = b->get();
                else fail(n, key + " must be true or false");
            };
            auto level = [&](const toml::node& n, const std::string& key, std::string& out) {
                text(n, key, out);
                bool fine = !out.empty() && out.size() <= 64;
                for (char c : out)
                    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_')) fine = false;
                if (!fine) fail(n, key + " must be one topic level: 1-64 letters, digits, - or _");
            };
            for (auto&& [mkey, mnode] : *table) {
                const std::string q(mkey.str());
                int32_t number = 0;
                if (q == "broker") {
                    std::string url;
                    text(mnode, q, url);
                    const bool secure = url.rfind("mqtts://", 0) == 0;
                    const std::string rest = secure ? url.substr(8) : url.rfind("mqtt://", 0) == 0 ? url.substr(7) : "";
                    Address a;
                    if (rest.find(':') == std::string::npos ? !ParseAddress(rest + (secure ? ":8883" : ":1883"), a)
                                                            : !ParseAddress(rest, a)) {
                        fail(mnode, "broker must be mqtt://HOST[:PORT] or mqtts://HOST[:PORT]");
                        continue;
                    }
                    m.host = a.host;
                    m.port = a.port;
                    m.tls = secure;
                    broker = true;
                } else if (q == "client_id") {
                    text(mnode, q, m.clientId);
                    if (m.clientId.size() > 64) fail(mnode, "client_id must be at most 64 bytes");
                } else if (q == "prefix") level(mnode, q, m.prefix);
                else if (q == "gateway") level(mnode, q, m.gateway);
                else if (q == "user") text(mnode, q, m.user);
                else if (q == "password_file") text(mnode, q, m.passwordFile);
                else if (q == "ca_file") text(mnode, q, m.caFile);
                else if (q == "cert_file") text(mnode, q, m.certFile);
                else if (q == "key_file") text(mnode, q, m.keyFile);
                else if (q == "protocol") {
                    std::string v;
                    text(mnode, q, v);
                    if (v == "5") m.protocol = 5;
                    else if (v == "3.1.1") m.protocol = 4;
                    else fail(mnode, "protocol must be \"5\" or \"3.1.1\"");
                } else if (q == "keepalive") {
                    number = m.keepalive;
                    integer(mnode, q, number, 5, 3600);
                    m.keepalive = number;
                } else if (q == "state_hz") {
                    const auto v = mnode.value<double>();
                    if (!v || !(*v >= 0.2 && *v <= 50)) fail(mnode, "state_hz must be a number from 0.2 to 50");
                    else m.stateHz = *v;
                } else if (q == "rate_limit") {
                    number = m.rateLimit;
                    integer(mnode, q, number, 1, 1000);
                    m.rateLimit = number;
                } else if (q == "max_age") {
                    number = m.maxAgeSeconds;
                    integer(mnode, q, number, 1, 3600);
                    m.maxAgeSeconds = number;
                } else if (q == "commands") flag(mnode, q, m.commands);
                else if (q == "discovery") flag(mnode, q, m.discovery);
                else if (q == "discovery_retain") flag(mnode, q, m.discoveryRetain);
                else if (q == "discovery_prefix") level(mnode, q, m.discoveryPrefix);
                else fail(mnode, "unknown key \"" + q + "\" in [mqtt]");
            }
            if (!broker) fail(node, "[mqtt] needs broker = \"mqtt://HOST:PORT\"");
            if ((!m.certFile.empty()) != (!m.keyFile.empty())) fail(node, "cert_file and key_file go together");
            if (!m.tls && (!m.caFile.empty() || !m.certFile.empty()))
                fail(node, "ca_file, cert_file and key_file need broker = \"mqtts://...\"");
            if (!m.passwordFile.empty() && m.user.empty()) fail(node, "password_file needs user");
            config.mqtt = m;
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
                bool locationGiven = false, rotctldKeys = false, followKeys = false;
                std::optional<double> followHeight;
                std::optional<size_t> followClients;
                std::optional<double> groundHeight;
                bool onvifSet = false, onvifKeys = false;
                for (auto&& [hkey, hnode] : *table) {
                    const std::string h(hkey.str());
                    Mapping& m = head.mapping;
                    if (h == "onvif_user" || h == "onvif_password" || h == "rtsp" || h == "onvif_max_connections" ||
                        h == "onvif_plain_password" || h == "onvif_location")
                        onvifKeys = true;
                    constexpr int64_t lo = INT32_MIN, hi = INT32_MAX;
                    if (h == "name") text(hnode, h, head.name);
                    else if (h == "link") {
                        text(hnode, h, head.link);
                        if (const std::string why = CheckLink(head.link); !head.link.empty() && !why.empty())
                            fail(hnode, why);
                    } else if (h == "listen") {
                        Address a;
                        if (address(hnode, h, a)) head.listen = a;
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
                    else if (h == "max_clients") integer(hnode, h, head.maxClients, 1, kMaxConnectionsLimit);
                    else if (h == "visca_udp" || h == "visca_tcp" || h == "visca_udp_raw") {
                        Address a;
                        if (address(hnode, h, a))
                            (h == "visca_udp" ? head.viscaUdp : h == "visca_tcp" ? head.viscaTcp : head.viscaUdpRaw) = a;
                    } else if (h == "visca_max_clients") integer(hnode, h, head.viscaMaxClients, 1, 256);
                    else if (h == "visca_idle_timeout") integer(hnode, h, head.viscaIdleSeconds, 1, 86400);
                    else if (h == "visca_units_per_degree") {
                        const auto v = hnode.value<double>();
                        // 16-bit positions must still reach 180 degrees either way.
                        if (!v || !std::isfinite(*v) || *v <= 0 || *v * 180 > 32767)
                            fail(hnode, "visca_units_per_degree must be a number above 0 and at most 182");
                        else head.viscaUnitsPerDegree = *v;
                    }
                    else if (h == "onvif") {
                        address(hnode, h, onvif.address);
                        onvifSet = true;
                    } else if (h == "onvif_user") text(hnode, h, onvif.user);
                    else if (h == "onvif_password") text(hnode, h, onvif.password);
                    else if (h == "rtsp") text(hnode, h, onvif.rtsp);
                    else if (h == "onvif_location") text(hnode, h, onvif.location);
                    else if (h == "location" || h == "orientation") {
                        const auto* list = hnode.as_array();
                        double v[3] = {};
                        bool fine = list != nullptr && list->size() == 3;
                        for (size_t i = 0; fine && i < 3; ++i) {
                            const auto n = (*list)[i].value<double>();
                            fine = n.has_value() && std::isfinite(*n);
                            if (fine) v[i] = *n;
                        }
                        if (!fine) {
                            fail(hnode, h + (h == "location" ? " must be [lat, lon, height] (degrees, degrees, metres)"
                                                             : " must be [yaw, pitch, roll] (degrees)"));
                            continue;
                        }
                        if (!head.pose) head.pose = motion::GeoPose{};
                        if (h == "location") {
                            head.pose->place = {v[0], v[1], v[2]};
                            locationGiven = true;
                            if (auto why = geo::CheckPlace(head.pose->place); !why.empty()) fail(hnode, "location: " + why);
                        } else {
                            head.pose->orientation = {v[0], v[1], v[2]};
                            if (std::fabs(v[0]) > 360 || std::fabs(v[1]) > 90 || std::fabs(v[2]) > 90)
                                fail(hnode, "orientation: yaw within ±360, pitch and roll within ±90 degrees");
                        }
                    } else if (h == "rotctld") {
                        Address a;
                        if (address(hnode, h, a)) {
                            if (!head.rotctld) head.rotctld = rotctld::Settings{};
                            head.rotctld->address = a;
                        }
                    } else if (h == "follow" || h == "follow_connect") {
                        Address a;
                        if (address(hnode, h, a)) {
                            if (!head.follow) head.follow = follow::Settings{};
                            (h == "follow" ? head.follow->listen : head.follow->connect) = a;
                        }
                    } else if (h == "follow_target") {
                        text(hnode, h, head.following.target);
                        const std::string& t = head.following.target;
                        if (t.size() > 64 || std::any_of(t.begin(), t.end(), [](char c) {
                                return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
                            }))
                            fail(hnode, "follow_target must be an id of at most 64 bytes, without control characters");
                    } else if (h.rfind("follow_", 0) == 0) {
                        followKeys = true;
                        const auto v = hnode.value<double>();
                        const toml::node& keyNode = hnode;
                        auto need = [&](bool fine, const char* what) {
                            if (!fine) fail(keyNode, h + " must be " + what);
                            return fine;
                        };
                        if (h == "follow_rate") {
                            if (need(v && *v >= 0.1 && *v <= 20, "moves a second from 0.1 to 20")) head.following.rate = *v;
                        } else if (h == "follow_min_step") {
                            if (need(v && *v >= 0 && *v <= 10, "degrees from 0 to 10")) head.following.minStep = *v;
                        } else if (h == "follow_lease") {
                            if (need(v && *v >= 0.5 && *v <= 600, "seconds from 0.5 to 600"))
                                head.following.lease = std::chrono::milliseconds(std::lround(*v * 1000));
                        } else if (h == "follow_height_offset") {
                            if (need(v && std::isfinite(*v) && std::fabs(*v) <= 1000, "metres within ±1000")) followHeight = *v;
                        } else if (h == "follow_max_clients") {
                            if (need(v && *v >= 1 && *v <= 64 && *v == std::floor(*v), "a whole number from 1 to 64"))
                                followClients = static_cast<size_t>(*v);
                        } else {
                            fail(hnode, "unknown key \"" + h + "\" in [[head]]");
                        }
                    } else if (h.rfind("rotctld_", 0) == 0) {
                        rotctldKeys = true;
                        if (!head.rotctld) head.rotctld = rotctld::Settings{};
                        rotctld::Settings& r = *head.rotctld;
                        const auto v = hnode.value<double>();
                        const toml::node& keyNode = hnode;
                        auto need = [&](bool fine, const char* what) {
                            if (!fine) fail(keyNode, h + " must be " + what);
                            return fine;
                        };
                        if (h == "rotctld_azimuth_offset") {
                            if (need(v && std::isfinite(*v) && std::fabs(*v) <= 360, "degrees within ±360")) r.azimuthOffset = *v;
                        } else if (h == "rotctld_direction") {
                            if (need(v && (*v == 1 || *v == -1), "1 or -1")) r.direction = static_cast<int>(*v);
                        } else if (h == "rotctld_min_step") {
                            if (need(v && *v >= 0 && *v <= 10, "degrees from 0 to 10")) r.minStep = *v;
                        } else if (h == "rotctld_rate") {
                            if (need(v && *v >= 0.1 && *v <= 50, "targets a second from 0.1 to 50")) r.rate = *v;
                        } else if (h == "rotctld_max_clients") {
                            if (need(v && *v >= 1 && *v <= 64 && *v == std::floor(*v), "a whole number from 1 to 64"))
                                r.maxClients = static_cast<size_t>(*v);
                        } else {
                            fail(hnode, "unknown key \"" + h + "\" in [[head]]");
                        }
                    } else if (h == "ground_height") {
                        const auto n = hnode.value<double>();
                        if (!n || !std::isfinite(*n) || *n < -12000 || *n > 100000)
                            fail(hnode, "ground_height must be metres above the ellipsoid");
                        else groundHeight = *n;
                    }
                    else if (h == "onvif_plain_password") {
                        if (const auto v = hnode.value<bool>()) onvif.plainPassword = *v;
                        else fail(hnode, "onvif_plain_password must be true or false");
                    }
                    else if (h == "snapshot") text(hnode, h, head.snapshot);
                    else if (h == "status_labels") {
                        const auto* list = hnode.as_array();
                        bool good = list != nullptr && list->size() == 4;
                        std::vector<std::string> labels;
                        for (size_t i = 0; good && i < list->size(); ++i) {
                            const auto* one = list->get(i)->as_string();
                            good = one != nullptr && !one->get().empty() && one->get().size() <= 64;
                            if (good) labels.push_back(one->get());
                        }
                        if (good) head.statusLabels = labels;
                        else fail(hnode, "status_labels must be four strings of 1 to 64 bytes, one per status flag");
                    }
                    else if (h == "onvif_max_connections") integer(hnode, h, onvif.maxConnections, 1, kMaxConnectionsLimit);
                    else if (h == "fov_horizontal" || h == "fov_vertical") {
                        const auto v = hnode.value<double>();
                        if (!v || !std::isfinite(*v) || *v <= 0 || *v > 360)
                            fail(hnode, h + " must be a number of degrees above 0 and at most 360");
                        else (h == "fov_horizontal" ? onvif.fovHorizontal : onvif.fovVertical) = *v;
                    }
                    else if (std::vector<std::string> why; motion::ParseMotionKey(h, hnode, head.motion, why))
                        for (const std::string& w : why) fail(hnode, w);
                    else fail(hnode, "unknown key \"" + h + "\" in [[head]]");
                }
                onvif.snapshot = head.snapshot;
                if (onvifSet) head.onvif = onvif;
                else if (onvifKeys)
                    fail(entry, "onvif_user, onvif_password, onvif_plain_password, onvif_location, rtsp and onvif_max_connections need onvif = "
                                "\"HOST:PORT\"");
                // Either both or neither: a password alone would leave the device open.
                if (onvif.user.empty() != onvif.password.empty())
                    fail(entry, onvif.user.empty() ? "onvif_password needs onvif_user (without a user there is no authentication)"
                                                   : "onvif_user needs onvif_password");
                if (head.name.empty()) fail(entry, "a head needs a name");
                else if (const std::string why = CheckHeadName(head.name); !why.empty()) fail(entry, why);
                if (head.link.empty()) fail(entry, "head \"" + head.name + "\" needs a link");
                if (head.mapping.panMin >= head.mapping.panMax) fail(entry, "pan_min must be below pan_max");
                if (head.mapping.tiltMin >= head.mapping.tiltMax) fail(entry, "tilt_min must be below tilt_max");
                if (head.mapping.speedMin > head.mapping.speedMax) fail(entry, "speed_min must not exceed speed_max");
                std::vector<std::string> motionErrors;
                motion::FinishMotionConfig(head.mapping, head.motion, motionErrors);
                for (const std::string& w : motionErrors) fail(entry, w);
                for (const HeadConfig& other : config.heads)
                    if (other.name == head.name) fail(entry, "head name \"" + head.name + "\" is used twice");
                if ((head.pose || groundHeight) && !locationGiven)
                    fail(entry, "orientation and ground_height need location = [lat, lon, height]");
                if (head.pose) head.pose->groundHeight = groundHeight;
                if (head.follow) {
                    if (followHeight) head.follow->heightOffset = *followHeight;
                    if (followClients) head.follow->maxClients = *followClients;
                } else if (followHeight || followClients) {
                    fail(entry, "follow_height_offset and follow_max_clients need follow or follow_connect");
                }
                if ((head.follow || !head.following.target.empty() || followKeys) && !locationGiven)
                    fail(entry, "following a target needs location = [lat, lon, height]");
                if (rotctldKeys && head.rotctld && head.rotctld->address.host.empty())
                    fail(entry, "the rotctld_ keys need rotctld = \"HOST:PORT\"");
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

}  // namespace

void ResolveStateDir(Config& config) {
    namespace fs = std::filesystem;
    if (config.stateDir.empty()) {
        // systemd may list several directories, separated by colons: ours is the first.
        const char* systemd = std::getenv("STATE_DIRECTORY");
        if (systemd != nullptr && *systemd != '\0') config.stateDir = std::string(systemd).substr(0, std::string(systemd).find(':'));
        else if (!config.path.empty()) config.stateDir = ".";
        else return;
    }
    // Relative to the configuration file's folder; absolute from then on.
    const fs::path base = config.path.empty() ? fs::path(".") : fs::path(config.path).parent_path();
    std::error_code error;
    const fs::path full = fs::absolute(base / config.stateDir, error);
    if (!error) config.stateDir = full.lexically_normal().string();
    while (config.stateDir.size() > 1 && config.stateDir.back() == '/') config.stateDir.pop_back();
}

bool CheckConfig(Config& config, std::vector<std::string>& errors) {
    const size_t before = errors.size();
    struct Use {
        Address* address;
        std::string what;
    };
    std::vector<Use> uses;
    if (config.httpEnabled) uses.push_back({&config.http, "http"});
    bool keepsState = false;
    for (HeadConfig& h : config.heads) {
        if (h.listen) uses.push_back({&*h.listen, "head \"" + h.name + "\" listen"});
        if (h.onvif) uses.push_back({&h.onvif->address, "head \"" + h.name + "\" onvif"});
        if (h.viscaUdp) uses.push_back({&*h.viscaUdp, "head \"" + h.name + "\" visca_udp"});
        if (h.viscaTcp) uses.push_back({&*h.viscaTcp, "head \"" + h.name + "\" visca_tcp"});
        if (h.viscaUdpRaw) uses.push_back({&*h.viscaUdpRaw, "head \"" + h.name + "\" visca_udp_raw"});
        if (h.rotctld) uses.push_back({&h.rotctld->address, "head \"" + h.name + "\" rotctld"});
        if (h.follow && h.follow->listen) uses.push_back({&*h.follow->listen, "head \"" + h.name + "\" follow"});
        keepsState = true;  // every head's preset names and tours
    }
    auto where = [](const Address& a) { return a.where.empty() ? std::string("the default") : a.where; };
    for (size_t i = 0; i < uses.size(); ++i) {
        Address& a = *uses[i].address;
        if (const std::string why = CheckListenAddress(a, uses[i].what.c_str()); !why.empty()) {
            errors.push_back(where(a) + ": " + why);
            continue;
        }
        // One port, one listener: two services on one port cannot both bind
        // it on every address, and one of them would fail at start.
        for (size_t j = 0; j < i; ++j)
            if (uses[j].address->port == a.port)
                errors.push_back(where(a) + ": port " + std::to_string(a.port) + " of " + uses[i].what +
                                 " is already used by " + uses[j].what + " (" + where(*uses[j].address) + ")");
    }
    // WS-Discovery takes UDP 3702 on every address once a head speaks ONVIF.
    const bool discovery = std::any_of(config.heads.begin(), config.heads.end(), [](const HeadConfig& h) { return h.onvif.has_value(); });
    for (const Use& u : uses)
        if (discovery && u.address->port == kWsDiscoveryPort)
            errors.push_back(where(*u.address) + ": port " + std::to_string(kWsDiscoveryPort) + " of " + u.what +
                             " is WS-Discovery's, which the ONVIF heads use");
    // The gateway's per-source cap reaches every port of every head.
    for (HeadConfig& h : config.heads) {
        h.maxConnectionsPerSource = config.maxConnectionsPerSource;
        if (h.onvif) h.onvif->maxConnectionsPerSource = config.maxConnectionsPerSource;
    }
    ResolveStateDir(config);
    if (keepsState && !config.stateDir.empty() && !UsableDirectory(config.stateDir))
        errors.push_back((!config.stateDirWhere.empty() ? config.stateDirWhere
                          : config.path.empty()          ? std::string("ptzd")
                                                         : config.path + ":1") +
                         ": state directory \"" + config.stateDir + "\" is not a directory ptzd can write to");
    return errors.size() == before;
}

bool LoadConfigText(const std::string& text, const std::string& path, Config& config,
                    std::vector<std::string>& errors) {
    toml::table root;
    try {
        root = toml::parse(text, path);
    } catch (const toml::parse_error& e) {
        errors.push_back(path + ":" + std::to_string(e.source().begin.line) + ": " + std::string(e.description()));
        return false;
    }
    return Parse(root, path, config, errors) && CheckConfig(config, errors);
}

bool LoadConfig(const std::string& path, Config& config, std::vector<std::string>& errors) {
    std::ifstream file(path, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (!file.is_open() || file.bad()) {
        errors.push_back(path + ":1: cannot be read");
        return false;
    }
    return LoadConfigText(text, path, config, errors);
}

}  // namespace ptzd
