#include "mqtt/gateway.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <unistd.h>
#include <random>

#include "infra/log.h"
#include "infra/metrics.h"
#include "infra/state_file.h"
#include "infra/utf8.h"
#include "json/events.h"
#include "json/motion.h"

namespace ptzd::mqtt {

using Clock = std::chrono::steady_clock;
using nlohmann::json;
using motion::Motion;
using motion::Result;

namespace {

// Topic levels of ptzd's own under <prefix>/<gateway>/: no head may take them.
bool Reserved(const std::string& name) { return name == "cmd" || name == "reply" || name == "status"; }

// A bare number ("12.5", as Home Assistant's number entity sends), finite.
std::optional<double> BareNumber(const std::string& text) {
    const json v = json::parse(text, nullptr, false);
    if (v.is_number() && std::isfinite(v.get<double>())) return v.get<double>();
    return std::nullopt;
}

// The motion events Home Assistant's event entity is told of.
const char* const kEventTypes[] = {"move_started", "move_finished", "limit_reached", "preset_reached", "link_lost",
                                   "link_restored", "tour_step",    "tour_stopped", "flags_changed", "infrared_changed"};

double SecondsSinceEpoch() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

}  // namespace

Gateway::Gateway(MqttConfig config, std::string gateway, std::string password, std::vector<Motion*> heads,
                 std::string stateFile)
    : config_(std::move(config)), gateway_(std::move(gateway)), base_(config_.prefix + "/" + gateway_),
      stateFile_(std::move(stateFile)) {
    for (Motion* m : heads) {
        if (Reserved(m->name())) {
            Log(Level::Error, "mqtt: head \"" + m->name() + "\" is not served over MQTT: its name is one of MQTT's own topic levels");
            continue;
        }
        auto h = std::make_unique<HeadState>();
        h->motion = m;
        h->level = m->name();
        h->id = "ptzd__" + TopicLevel(gateway_) + "__" + TopicLevel(m->name());
        heads_.push_back(std::move(h));
    }
    std::vector<Subscription> subs;
    if (config_.commands) {
        subs.push_back({base_ + "/+/cmd/#", 1, false});
        subs.push_back({base_ + "/cmd/#", 1, false});
    }
    if (config_.discovery) subs.push_back({config_.discoveryPrefix + "/status", 1, true});
    Outgoing will{base_ + "/status", "offline", 1, true, std::nullopt, std::nullopt};
    Client::Hooks hooks;
    hooks.connected = [this] { OnConnected(); };
    hooks.message = [this](const Incoming& in) { OnMessage(in); };
    client_ = std::make_unique<Client>(config_, config_.clientId.empty() ? "ptzd-" + gateway_ : config_.clientId,
                                       std::move(password), will, std::move(subs), std::move(hooks));
}

Gateway::~Gateway() {
    BeginStop();
    Join();
}

bool Gateway::Bind() {
    for (const std::string* file : {&config_.caFile, &config_.certFile, &config_.keyFile})
        if (!file->empty() && ::access(file->c_str(), R_OK) != 0) {
            Log(Level::Error, "mqtt: cannot read " + *file + ": " + std::strerror(errno));
            return false;
        }
    return true;
}

void Gateway::Start() {
    for (auto& h : heads_) {
        h->events = h->motion->events().Subscribe(1024);
        if (!h->events) Log(Level::Warn, "mqtt: head " + h->level + ": no room on its event bus; its events are not published");
    }
    client_->Start();
    for (auto& h : heads_) {
        HeadState* lane = h.get();
        lane->worker = std::thread([this, lane] { Work(*lane); });
    }
    group_.worker = std::thread([this] { Work(group_); });
    stopper_ = std::thread([this] { Stopper(); });
    publisher_ = std::thread([this] { PublishLoop(); });
    Log(Level::Info, "mqtt: " + std::string(config_.tls ? "mqtts://" : "mqtt://") + config_.host + ":" +
                         std::to_string(config_.port) + ", topics under " + base_ + "/");
}

void Gateway::BeginStop() {
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        stopping_ = true;
        stopBegan_ = Clock::now();
    }
    {
        std::lock_guard lock(mutex_);
        for (auto& h : heads_) h->work.notify_all();
        group_.work.notify_all();
    }
    ready_.notify_all();
    stopWork_.notify_all();
    for (auto& h : heads_)
        if (h->events) h->events->Close();
    // Offline, said on a clean stop too (a clean disconnect sends no will),
    // and at once: the heads stop meanwhile.
    if (client_) client_->Publish({base_ + "/status", "offline", 1, true, std::nullopt, std::nullopt});
}

void Gateway::Join() {
    for (auto& h : heads_)
        if (h->worker.joinable()) h->worker.join();
    if (group_.worker.joinable()) group_.worker.join();
    if (stopper_.joinable()) stopper_.join();
    if (publisher_.joinable()) publisher_.join();
    // Whatever the broker does, within ptzd's own time to stop.
    const auto deadline = std::max(Clock::now() + std::chrono::milliseconds(50),
                                   std::min(Clock::now() + std::chrono::milliseconds(800), stopBegan_ + std::chrono::milliseconds(1600)));
    if (client_) client_->Stop(Outgoing{base_ + "/status", "offline", 1, true, std::nullopt, std::nullopt}, deadline);
}

// ---- incoming --------------------------------------------------------------------------

void Gateway::OnConnected() {
    // Everything again: state, links and discovery (the broker may have
    // lost what was retained), then "online".
    // (The publisher sees the new connection and sends everything again.)
    std::lock_guard lock(mutex_);
    discoveryOwed_ = true;
    discoveryAt_ = Clock::now();
}

std::optional<std::string> Gateway::ReplyTopic(const Incoming& in, const std::string& payload, std::string& why) const {
    why.clear();
    const std::string tree = base_ + "/reply/";
    auto fine = [&](const std::string& topic) {
        return topic.size() > tree.size() && topic.size() <= 256 && topic.compare(0, tree.size(), tree) == 0 &&
               topic.find_first_of("+#") == std::string::npos && ValidUtf8(topic);
    };
    if (in.responseTopic) {
        if (!fine(*in.responseTopic)) {
            why = "a response topic outside " + tree;
            return std::nullopt;
        }
        return in.responseTopic;
    }
    // MQTT 3.1.1 has no response topic: a "reply" field names one below the tree.
    const json body = json::parse(payload, nullptr, false);
    if (body.is_object() && body.contains("reply")) {
        if (!body["reply"].is_string() || !fine(tree + body["reply"].get<std::string>())) {
            why = "\"reply\" must name a topic below " + tree;
            return std::nullopt;
        }
        return tree + body["reply"].get<std::string>();
    }
    return std::nullopt;
}

void Gateway::Count(const char* kind, const std::string& topic, const std::string& reason) {
    std::lock_guard lock(countMutex_);
    ++refused_[kind];
    auto& at = logged_[kind];
    if (at == Clock::time_point{} || Clock::now() - at >= std::chrono::minutes(1)) {
        at = Clock::now();
        Log(Level::Warn, "mqtt: refused a command on " + topic + ": " + reason + " (said at most once a minute per reason)");
    }
}

void Gateway::Refuse(const Incoming& in, const std::optional<std::string>& reply, const char* kind, const std::string& reason) {
    Count(kind, in.topic, reason);
    if (reply)
        client_->Publish({*reply, json{{"error", reason}, {"status", "refused"}}.dump(-1, ' ', false, json::error_handler_t::replace),
                          0, false, in.correlation, std::nullopt});
}

void Gateway::OnMessage(const Incoming& in) {
    if (config_.discovery && in.topic == config_.discoveryPrefix + "/status") {
        // Home Assistant is back: discovery again, after a random pause so
        // many gateways do not all answer at once.
        if (in.payload == "online") {
            std::lock_guard lock(mutex_);
            discoveryOwed_ = true;
            discoveryAt_ = Clock::now() + std::chrono::milliseconds(std::random_device{}() % 5000);
        }
        return;
    }
    if (!config_.commands) return;
    std::string why;
    const bool small = in.payload.size() <= kMaxPayload && in.topic.size() <= 512;
    const bool text = small && ValidUtf8(in.payload);
    const std::optional<std::string> reply = text ? ReplyTopic(in, in.payload, why) : std::nullopt;
    if (!small) return Refuse(in, std::nullopt, "size", "over " + std::to_string(kMaxPayload) + " bytes");
    if (!text) return Refuse(in, std::nullopt, "utf8", "not UTF-8");
    if (!why.empty()) return Refuse(in, std::nullopt, "reply_topic", why);  // never an answer to a topic not ours
    if (in.retained) return Refuse(in, reply, "retained", "a retained message is never a command");

    // <base>/<head>/cmd/<what> or <base>/cmd/<what>
    const std::string rest = in.topic.compare(0, base_.size() + 1, base_ + "/") == 0 ? in.topic.substr(base_.size() + 1) : "";
    Command c;
    c.replyTopic = reply;
    c.correlation = in.correlation;
    c.payload = in.payload;
    HeadState* head = nullptr;
    if (rest.compare(0, 4, "cmd/") == 0) {
        c.what = rest.substr(4);
        if (c.what != "moves") return Refuse(in, reply, "unknown", "the gateway takes cmd/moves");
    } else {
        const size_t slash = rest.find('/');
        const std::string level = rest.substr(0, slash);
        for (auto& h : heads_)
            if (h->level == level) head = h.get();
        if (head == nullptr) return Refuse(in, reply, "unknown", "no head named \"" + level + "\"");
        c.head = head->motion;
        c.what = slash == std::string::npos ? "" : rest.substr(slash + 1);
        if (c.what.compare(0, 4, "cmd/") != 0) return Refuse(in, reply, "unknown", "not a command");
        c.what = c.what.substr(4);
    }
    static const char* const kCommands[] = {"move",       "pan",        "tilt",      "stop",        "home",
                                            "preset/go",  "preset/store", "tour/start", "tour/stop", "tour/pause",
                                            "tour/resume", "renew",     "ir",        "frigate",     "moves"};
    if (std::find_if(std::begin(kCommands), std::end(kCommands), [&](const char* k) { return c.what == k; }) == std::end(kCommands))
        return Refuse(in, reply, "unknown", "no command \"" + c.what + "\"");

    const json body = json::parse(in.payload, nullptr, false);
    // A command older than max_age (by its "sent" time) is refused: a
    // bridge or a client may hand it on long after it was meant.
    if (body.is_object() && body.contains("sent")) {
        if (!body["sent"].is_number() || !std::isfinite(body["sent"].get<double>()))
            return Refuse(in, reply, "invalid", "\"sent\" must be a time in seconds since 1970");
        const double age = SecondsSinceEpoch() - body["sent"].get<double>();
        if (age > config_.maxAgeSeconds || age < -config_.maxAgeSeconds)
        {
            char text[80];
            std::snprintf(text, sizeof text, "sent %.3g s ago: too old to act on", age);
            return Refuse(in, reply, "stale", text);
        }
    }
    if (in.expiry && *in.expiry == 0) return Refuse(in, reply, "stale", "expired");

    // A head's own queue, or the gateway's for group moves.
    HeadState& lane = head != nullptr ? *head : group_;
    if (head != nullptr && c.what == "moves") return Refuse(in, reply, "unknown", "group moves are the gateway's: " + base_ + "/cmd/moves");
    const auto now = Clock::now();
    c.arrived = now;
    c.topic = in.topic;
    const std::string kind = body.is_object() && body.contains("kind") && body["kind"].is_string() ? body["kind"].get<std::string>() : "";
    // The rate cap: a head takes rate_limit commands a second (a stop always).
    if (c.what != "stop") {
        if (now - lane.window >= std::chrono::seconds(1)) {
            lane.window = now;
            lane.inWindow = 0;
        }
        if (++lane.inWindow > config_.rateLimit)
            return Refuse(in, reply, "busy", "busy: over " + std::to_string(config_.rateLimit) + " commands a second for this head");
    }
    // A relative move carries an id, and a repeat (QoS 1 may deliver
    // twice) is dropped.
    if (c.what == "move" && kind == "relative") {
        if (!body.contains("id") || !body["id"].is_string() || body["id"].get<std::string>().empty() ||
            body["id"].get<std::string>().size() > 64)
            return Refuse(in, reply, "invalid", "a relative move needs an \"id\" (1-64 characters): a repeat must be told from a new move");
        for (auto it = lane.seen.begin(); it != lane.seen.end();)
            it = now - it->second > kRepeatWindow ? lane.seen.erase(it) : std::next(it);
        c.repeatId = body["id"].get<std::string>();
        if (lane.seen.count(c.repeatId)) return Refuse(in, std::nullopt, "repeat", "a repeat of relative move \"" + c.repeatId + "\"");
    }
    c.absolute = c.what == "pan" || c.what == "tilt" || (c.what == "move" && kind == "absolute");
    const std::string repeatId = c.repeatId;
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        if (c.what == "stop") {
            // A stop never waits behind the head's moves: they are dropped,
            // and it goes on the stop lane at once.
            for (const Command& dropped : lane.queue)
                if (dropped.replyTopic)
                    client_->Publish({*dropped.replyTopic, json{{"error", "stopped before it was sent"}, {"status", "superseded"}}.dump(),
                                      0, false, dropped.correlation, std::nullopt});
            lane.queue.clear();
            if (stops_.size() < kMaxQueued) {
                stops_.push_back(std::move(c));
                stopWork_.notify_one();
                return;
            }
        } else {
            // The newest absolute target of a head replaces one still waiting.
            if (c.absolute) {
                for (auto it = lane.queue.begin(); it != lane.queue.end(); ++it) {
                    if (it->absolute && it->what == c.what) {
                        Count("superseded", it->topic, "replaced by a newer target");
                        if (it->replyTopic)
                            client_->Publish({*it->replyTopic, json{{"error", "replaced by a newer target"}, {"status", "superseded"}}.dump(),
                                              0, false, it->correlation, std::nullopt});
                        lane.queue.erase(it);
                        break;
                    }
                }
            }
            if (lane.queue.size() < kMaxQueuedPerHead) {
                lane.queue.push_back(std::move(c));
                lane.work.notify_one();
                // Remembered once taken: a move refused busy may be sent again with its id.
                if (!repeatId.empty()) {
                    if (lane.seen.size() >= kMaxRemembered)
                        lane.seen.erase(std::min_element(lane.seen.begin(), lane.seen.end(),
                                                         [](const auto& a, const auto& b) { return a.second < b.second; }));
                    lane.seen[repeatId] = now;
                }
                return;
            }
        }
    }
    Refuse(in, reply, "busy", "busy: too many commands waiting");
}

// ---- commands ------------------------------------------------------------------------

void Gateway::Work(HeadState& lane) {
    for (;;) {
        Command c;
        {
            std::unique_lock lock(mutex_);
            lane.work.wait(lock, [&] { return stopping_ || !lane.queue.empty(); });
            if (stopping_) return;
            c = std::move(lane.queue.front());
            lane.queue.pop_front();
        }
        // Waited too long behind a slow head: no longer what was meant.
        if (Clock::now() - c.arrived > std::chrono::seconds(config_.maxAgeSeconds)) {
            Count("stale", c.topic, "waited over max_age for its head");
            Answer(c, {{"error", "waited too long for the head; not sent"}, {"status", "stale"}});
            continue;
        }
        ++taken_;
        Run(c);
    }
}

void Gateway::Stopper() {
    for (;;) {
        Command c;
        {
            std::unique_lock lock(mutex_);
            stopWork_.wait(lock, [&] { return stopping_ || !stops_.empty(); });
            if (stopping_) return;
            c = std::move(stops_.front());
            stops_.pop_front();
        }
        ++taken_;
        Run(c);
    }
}

void Gateway::Run(const Command& c) {
    // Nothing a client sends may end the gateway.
    try {
        Execute(c);
    } catch (const std::exception& e) {
        Count("invalid", c.topic, std::string("could not be carried out: ") + e.what());
        Answer(c, {{"error", "could not be carried out"}, {"status", "refused"}});
    }
}

void Gateway::Answer(const Command& c, const json& body) {
    if (c.replyTopic)
        client_->Publish({*c.replyTopic, body.dump(-1, ' ', false, json::error_handler_t::replace), 0, false, c.correlation, std::nullopt});
}

void Gateway::Execute(const Command& c) {
    const json body = json::parse(c.payload, nullptr, false);
    const bool object = body.is_object();
    // Keys every command may carry besides its own.
    auto only = [&](std::initializer_list<const char*> keys) -> std::string {
        if (!object) return "";
        for (const auto& item : body.items()) {
            const std::string& k = item.key();
            if (k == "reply" || k == "sent") continue;
            if (std::none_of(keys.begin(), keys.end(), [&](const char* key) { return k == key; }))
                return "unknown argument \"" + k + "\"";
        }
        return "";
    };
    auto fail = [&](const std::string& why) {
        Count("invalid", c.topic, why);
        Answer(c, {{"error", why}, {"status", "refused"}});
    };
    auto done = [&](const Result& r, json extra = json::object()) {
        if (!r.ok()) Count("motion", c.topic, r.message.empty() ? StatusName(r.status) : r.message);
        Answer(c, ResultJson(r, std::move(extra)));
    };

    if (c.what == "moves") {
        std::vector<motion::GroupTarget> targets;
        motion::Pace pace;
        bool unknown = false;
        auto find = [this](const std::string& name) -> Motion* {
            for (auto& h : heads_)
                if (h->motion->name() == name) return h->motion;
            return nullptr;
        };
        if (auto why = ParseGroup(body, find, {"reply", "sent"}, targets, pace, unknown); !why.empty()) return fail(why);
        const motion::GroupResult g = motion::MoveTogether(targets, pace);
        return Answer(c, GroupJson(targets, g));
    }
    Motion& m = *c.head;
    if (c.what == "move") {
        if (!object) return fail("a move is a JSON object: {\"kind\", \"pan\", \"tilt\", ...}");
        if (auto why = only({"kind", "pan", "tilt", "speed", "duration", "timeout", "client", "seq", "id", "lat", "lon", "height"});
            !why.empty())
            return fail(why);
        json move = body;
        move.erase("reply");
        move.erase("sent");
        move.erase("id");
        MoveRequest request;
        if (auto why = ParseMove(move, request); !why.empty()) return fail(why);
        if (!request.client.empty() && !m.InClientOrder(request.client, request.seq, false))
            return fail("a later stop of this client came first; nothing was sent");
        const Result r = SendMove(m, request);
        json extra = MoveJson(r);
        if (request.kind == MoveRequest::Kind::Continuous) extra["lease"] = r.move;
        return done(r, extra);
    }
    if (c.what == "pan" || c.what == "tilt") {
        const auto value = BareNumber(c.payload);
        if (!value || std::fabs(*value) > 36000) return fail(c.what + " takes a number of degrees");
        const Result r = c.what == "pan" ? m.Absolute(*value, std::nullopt) : m.Absolute(std::nullopt, *value);
        return done(r, MoveJson(r));
    }
    if (c.what == "stop" || c.what == "home") {
        if (auto why = only({}); !why.empty()) return fail(why);
        return done(c.what == "stop" ? m.Stop() : m.Home());
    }
    // A preset by number or by name, bare or as {"preset": ...}.
    auto byName = [&](const std::string& name, int& number) {
        const auto all = m.presets().All();
        for (int p = 1; p <= motion::kPresets; ++p)
            if (!all[static_cast<size_t>(p)].name.empty() && all[static_cast<size_t>(p)].name == name) {
                number = p;
                return true;
            }
        return false;
    };
    auto presetOf = [&](const json& v, int& number) -> std::string {
        if (v.is_number_integer()) {
            const bool inRange = v.is_number_unsigned() ? v.get<uint64_t>() <= static_cast<uint64_t>(motion::kPresets)
                                                        : v.get<int64_t>() >= 1 && v.get<int64_t>() <= motion::kPresets;
            if (!inRange || v.get<int64_t>() < 1) return "presets are numbered 1 to 16";
            number = static_cast<int>(v.get<int64_t>());
            return "";
        }
        if (v.is_string() && byName(v.get<std::string>(), number)) return "";
        if (!v.is_string()) return "a preset is a number 1-16 or a preset's name";
        return "no preset named \"" + JsonText(v) + "\"";
    };
    auto presetArgument = [&](int& number) -> std::string {
        if (object) {
            if (!body.contains("preset")) return "missing argument \"preset\"";
            return presetOf(body["preset"], number);
        }
        // A bare payload is a name first (a select sends the option as it
        // reads, and a preset may be named "3"), else a number.
        if (byName(c.payload, number)) return "";
        if (!body.is_discarded()) return presetOf(body, number);
        return presetOf(json(c.payload), number);
    };
    if (c.what == "preset/go") {
        if (auto why = only({"preset", "speed", "duration"}); !why.empty()) return fail(why);
        int number = 0;
        motion::Pace pace;
        if (auto why = presetArgument(number); !why.empty()) return fail(why);
        if (object)
            if (auto why = PaceArgument(body, pace); !why.empty()) return fail(why);
        return done(m.GoPreset(number, pace));
    }
    if (c.what == "preset/store") {
        if (auto why = only({"preset", "name"}); !why.empty()) return fail(why);
        int number = 0;
        const json& given = object ? (body.contains("preset") ? body["preset"] : json()) : body;
        if (!given.is_number_integer()) return fail("preset/store takes a preset number 1-16, or {\"preset\", \"name\"}");
        if (auto why = presetOf(given, number); !why.empty()) return fail(why);
        std::string name;
        if (object && body.contains("name")) {
            if (!body["name"].is_string()) return fail("argument \"name\" must be a string");
            name = body["name"].get<std::string>();
            if (auto why = motion::PresetStore::CheckName(name); !why.empty()) return fail(why);
        }
        return done(m.StorePreset(number, name));
    }
    if (c.what == "tour/start") {
        std::string name = object ? "" : body.is_string() ? body.get<std::string>() : c.payload;
        if (object) {
            if (auto why = only({"tour"}); !why.empty()) return fail(why);
            if (!body.contains("tour") || !body["tour"].is_string()) return fail("missing argument \"tour\"");
            name = body["tour"].get<std::string>();
        }
        return done(m.StartTour(name));
    }
    if (c.what == "tour/stop" || c.what == "tour/pause" || c.what == "tour/resume") {
        if (auto why = only({}); !why.empty()) return fail(why);
        if (m.CurrentTour().state == motion::TourState::Idle) return fail("no tour is running");
        return done(c.what == "tour/stop" ? m.StopTour() : c.what == "tour/pause" ? m.PauseTour() : m.ResumeTour());
    }
    if (c.what == "renew") {
        if (auto why = only({"lease", "timeout"}); !why.empty()) return fail(why);
        const json lease = object ? body.value("lease", json()) : body;
        if (!lease.is_number_unsigned()) return fail("renew takes a move number, or {\"lease\", \"timeout\"}");
        std::optional<std::chrono::milliseconds> timeout;
        if (object)
            if (auto why = SecondsArgument(body, "timeout", timeout); !why.empty()) return fail(why);
        if (!m.Renew(lease.get<uint64_t>(), timeout)) return Answer(c, {{"error", "that move is no longer the one in hand"}, {"status", "refused"}});
        return Answer(c, {{"lease", lease.get<uint64_t>()}});
    }
    if (c.what == "ir") {
        std::string v = c.payload;
        std::transform(v.begin(), v.end(), v.begin(), [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
        if (v != "on" && v != "off" && v != "true" && v != "false") return fail("ir takes ON or OFF");
        return done(m.SetInfrared(v == "on" || v == "true"));
    }
    if (c.what == "frigate") {
        // Frigate's PTZ words, as dashboards built for it send them (any case).
        std::string v = c.payload;
        std::transform(v.begin(), v.end(), v.begin(), [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
        if (v == "stop") return done(m.Stop());
        const std::pair<const char*, std::pair<double, double>> drives[] = {
            {"move_left", {-0.5, 0}}, {"move_right", {0.5, 0}}, {"move_up", {0, 0.5}}, {"move_down", {0, -0.5}}};
        for (const auto& [word, velocity] : drives)
            if (v == word) {
                const Result r = m.Continuous(velocity.first, velocity.second);  // on the motion layer's lease
                return done(r, {{"lease", r.move}});
            }
        if (v.compare(0, 7, "preset_") == 0) {
            const std::string wanted = v.substr(7);
            const auto all = m.presets().All();
            for (int p = 1; p <= motion::kPresets; ++p) {
                std::string name = all[static_cast<size_t>(p)].name;
                std::transform(name.begin(), name.end(), name.begin(), [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
                if (!name.empty() && name == wanted) return done(m.GoPreset(p));
            }
            return fail("no preset named \"" + wanted + "\"");
        }
        return fail("not a PTZ command this head takes (MOVE_LEFT, MOVE_RIGHT, MOVE_UP, MOVE_DOWN, STOP, preset_NAME)");
    }
    fail("no command \"" + c.what + "\"");
}

// ---- publishing ----------------------------------------------------------------------

// An entity id's object part: lower case, [a-z0-9_] only.
static std::string EntityPart(const std::string& text) {
    std::string out;
    for (unsigned char c : text) out += std::isalnum(c) ? static_cast<char>(std::tolower(c)) : '_';
    return out;
}

json Gateway::HubConfig() const {
    const std::string hub = "ptzd__" + TopicLevel(gateway_);
    return {{"dev", {{"ids", json::array({hub})}, {"name", "ptzd " + gateway_}, {"mf", "ptz"}, {"mdl", "ptzd gateway"}}},
            {"o", {{"name", "ptzd"}}},
            {"cmps",
             {{"status",
               {{"p", "binary_sensor"}, {"uniq_id", hub + "_status"}, {"name", "Status"}, {"dev_cla", "connectivity"},
                {"stat_t", base_ + "/status"}, {"pl_on", "online"}, {"pl_off", "offline"},
                {"default_entity_id", "binary_sensor.ptzd_" + EntityPart(gateway_) + "_status"}}}}}};
}

json Gateway::DeviceConfig(HeadState& h) const {
    Motion& m = *h.motion;
    const std::string t = base_ + "/" + h.level;
    const std::string entity = EntityPart(h.level);
    const auto range = [&](motion::Axis a) { return m.units().MechanicalDegrees(a); };
    json cmps = json::object();
    auto add = [&](const std::string& key, const char* platform, const std::string& name, json extra) {
        extra["p"] = platform;
        extra["uniq_id"] = h.id + "_" + key;
        extra["name"] = name;
        extra["default_entity_id"] = std::string(platform) + "." + entity + "_" + key;
        cmps[key] = std::move(extra);
    };
    for (motion::Axis a : {motion::Axis::Pan, motion::Axis::Tilt}) {
        const bool pan = a == motion::Axis::Pan;
        add(pan ? "pan" : "tilt", "number", pan ? "Pan" : "Tilt",
            {{"cmd_t", t + (pan ? "/cmd/pan" : "/cmd/tilt")}, {"stat_t", t + "/state"},
             {"val_tpl", pan ? "{{ value_json.pan }}" : "{{ value_json.tilt }}"}, {"min", range(a).min}, {"max", range(a).max},
             {"step", 0.1}, {"mode", "slider"}, {"unit_of_meas", "°"}});
    }
    add("stop", "button", "Stop", {{"cmd_t", t + "/cmd/stop"}, {"pl_prs", "PRESS"}});
    add("home", "button", "Home", {{"cmd_t", t + "/cmd/home"}, {"pl_prs", "PRESS"}});
    json presetNames = json::array();
    const auto all = m.presets().All();
    for (int p = 1; p <= motion::kPresets; ++p) {
        const std::string& name = all[static_cast<size_t>(p)].name;
        if (name.empty()) continue;
        presetNames.push_back(name);
        add("preset_" + std::to_string(p), "button", "Preset " + name,
            {{"cmd_t", t + "/cmd/preset/go"}, {"pl_prs", std::to_string(p)}});
    }
    if (!presetNames.empty())
        add("preset", "select", "Preset",
            {{"cmd_t", t + "/cmd/preset/go"}, {"stat_t", t + "/state"}, {"ops", presetNames},
             {"val_tpl", "{{ value_json.at_preset_name if value_json.at_preset_name else 'None' }}"}});
    json tourNames = json::array();
    for (const motion::Tour& tour : m.Tours()) tourNames.push_back(tour.name);
    if (!tourNames.empty())
        add("tour", "select", "Tour",
            {{"cmd_t", t + "/cmd/tour/start"}, {"stat_t", t + "/state"}, {"ops", tourNames},
             {"val_tpl", "{{ value_json.tour.name if value_json.tour.state != 'idle' else 'None' }}"}});
    add("moving", "binary_sensor", "Moving",
        {{"stat_t", t + "/state"}, {"dev_cla", "moving"}, {"val_tpl", "{{ 'ON' if value_json.moving else 'OFF' }}"}});
    // The link's own sensor stays available while the link is down.
    add("link", "binary_sensor", "Link",
        {{"stat_t", t + "/link"}, {"dev_cla", "connectivity"}, {"pl_on", "online"}, {"pl_off", "offline"},
         {"avty", json::array({{{"t", base_ + "/status"}}})}});
    add("ir", "switch", "Infrared", {{"cmd_t", t + "/cmd/ir"}, {"opt", true}, {"pl_on", "ON"}, {"pl_off", "OFF"}});
    add("event", "event", "Motion event", {{"stat_t", t + "/event"}, {"evt_typ", json(std::vector<std::string>(std::begin(kEventTypes), std::end(kEventTypes)))}});
    const motion::Motion::Identity id = m.HeadIdentity();
    json dev{{"ids", json::array({h.id})}, {"name", h.level}, {"mf", "ptz"}, {"via_device", "ptzd__" + TopicLevel(gateway_)}};
    if (id.known) {
        dev["mdl"] = id.model;
        dev["sw"] = id.firmware;
        if (!id.serial.empty()) dev["sn"] = id.serial;
    }
    return {{"dev", dev},
            {"o", {{"name", "ptzd"}}},
            {"avty", json::array({{{"t", base_ + "/status"}}, {{"t", t + "/link"}}})},
            {"avty_mode", "all"},
            {"qos", 1},
            {"cmps", cmps}};
}

void Gateway::ForgetRemoved() {
    // What this gateway published before that it no longer has: emptied,
    // so Home Assistant removes those devices.
    std::set<std::string> current = {"ptzd__" + TopicLevel(gateway_)};
    for (auto& h : heads_) current.insert(h->id);
    std::set<std::string> before;
    std::string text;
    if (!stateFile_.empty() && LoadStateFile(stateFile_, text) == StateRead::Read) {
        const json data = json::parse(text, nullptr, false);
        if (data.is_object() && data.contains("discovered") && data["discovered"].is_array())
            for (const json& id : data["discovered"])
                if (id.is_string()) before.insert(id.get<std::string>());
    }
    for (const std::string& id : before)
        if (!current.count(id))
            client_->Publish({config_.discoveryPrefix + "/device/" + id + "/config", "", 1, true, std::nullopt, std::nullopt});
    if (!stateFile_.empty() && before != current) {
        if (auto why = WriteStateFile(stateFile_, json{{"discovered", current}}.dump()); !why.empty())
            Log(Level::Warn, "mqtt: cannot keep what was published for discovery: " + why);
    }
}

void Gateway::PublishDiscovery() {
    if (!config_.discovery) return;
    ForgetRemoved();
    client_->Publish({config_.discoveryPrefix + "/device/ptzd__" + TopicLevel(gateway_) + "/config", HubConfig().dump(), 1,
                      config_.discoveryRetain, std::nullopt, std::nullopt});
    for (auto& h : heads_) {
        h->lastDiscovery = DeviceConfig(*h).dump(-1, ' ', false, json::error_handler_t::replace);
        client_->Publish({config_.discoveryPrefix + "/device/" + h->id + "/config", h->lastDiscovery, 1, config_.discoveryRetain,
                          std::nullopt, std::nullopt});
    }
}

void Gateway::PublishLoop() {
    const auto interval = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / config_.stateHz));
    const auto tick = std::min<Clock::duration>(interval, std::chrono::milliseconds(50));
    auto nextNames = Clock::now();
    bool online = false;
    uint64_t connections = 0;
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            if (ready_.wait_for(lock, tick, [&] { return stopping_; })) return;
        }
        if (!client_->Connected()) {
            // What happens while away is not news when the broker is back.
            for (auto& h : heads_)
                if (h->events) h->events->Drain();
            online = false;
            continue;
        }
        if (client_->Connections() != connections) {
            connections = client_->Connections();
            online = false;
            for (auto& h : heads_) {
                h->lastState.clear();
                h->lastLink.clear();
            }
        }
        const auto now = Clock::now();
        bool discoveryDue = false;
        {
            std::lock_guard lock(mutex_);
            if (discoveryOwed_ && now >= discoveryAt_) {
                discoveryOwed_ = false;
                discoveryDue = true;
            }
        }
        if (discoveryDue) PublishDiscovery();
        // Names of presets and tours change: the configuration follows.
        if (config_.discovery && now >= nextNames && !discoveryDue) {
            nextNames = now + std::chrono::seconds(1);
            for (auto& h : heads_) {
                const std::string d = DeviceConfig(*h).dump(-1, ' ', false, json::error_handler_t::replace);
                if (!h->lastDiscovery.empty() && d != h->lastDiscovery) {
                    h->lastDiscovery = d;
                    client_->Publish({config_.discoveryPrefix + "/device/" + h->id + "/config", d, 1, config_.discoveryRetain,
                                      std::nullopt, std::nullopt});
                }
            }
        }
        for (auto& h : heads_) {
            const std::string t = base_ + "/" + h->level;
            if (h->events)
                for (const motion::Event& e : h->events->Drain()) {
                    json j = json::parse(EventJson(e));
                    j["event_type"] = motion::EventName(e.type);
                    client_->Publish({t + "/event", j.dump(), 0, false, std::nullopt, std::nullopt});
                }
            const motion::Snapshot s = h->motion->State();
            const std::string link = s.linkUp ? "online" : "offline";
            if (link != h->lastLink) {
                h->lastLink = link;
                client_->Publish({t + "/link", link, 1, true, std::nullopt, std::nullopt});
            }
            if (!s.known) continue;  // never a position not read
            json state = PositionJson(*h->motion);
            state["at_preset"] = s.atPreset != 0 ? json(s.atPreset) : json(nullptr);
            const std::string name = s.atPreset != 0 ? h->motion->presets().Get(s.atPreset).name : "";
            state["at_preset_name"] = name.empty() ? json(nullptr) : json(name);
            const std::string text = state.dump(-1, ' ', false, json::error_handler_t::replace);
            // Still: at once on a change; moving: at most state_hz.
            if (text != h->lastState && (!s.moving || now - h->lastStateAt >= interval)) {
                h->lastState = text;
                h->lastStateAt = now;
                client_->Publish({t + "/state", text, 0, true, std::nullopt, std::nullopt});
            }
        }
        if (!online) {
            online = true;
            client_->Publish({base_ + "/status", "online", 1, true, std::nullopt, std::nullopt});
        }
    }
}

void Gateway::Metrics(std::string& out) const {
    out += "# HELP ptzd_mqtt_connected Whether the MQTT client is connected to its broker.\n# TYPE ptzd_mqtt_connected gauge\n";
    out += "ptzd_mqtt_connected " + std::string(client_ && client_->Connected() ? "1" : "0") + "\n";
    out += "# HELP ptzd_mqtt_commands_total MQTT commands carried out.\n# TYPE ptzd_mqtt_commands_total counter\n";
    out += "ptzd_mqtt_commands_total " + std::to_string(taken_.load()) + "\n";
    out += "# HELP ptzd_mqtt_dropped_total MQTT messages not sent: the queue to the broker was full.\n"
           "# TYPE ptzd_mqtt_dropped_total counter\n";
    out += "ptzd_mqtt_dropped_total " + std::to_string(client_ ? client_->Dropped() : 0) + "\n";
    out += "# HELP ptzd_mqtt_refused_total MQTT commands refused, by reason.\n# TYPE ptzd_mqtt_refused_total counter\n";
    std::lock_guard lock(countMutex_);
    for (const auto& [reason, n] : refused_)
        out += "ptzd_mqtt_refused_total{reason=\"" + EscapeLabel(reason) + "\"} " + std::to_string(n) + "\n";
}

}  // namespace ptzd::mqtt
