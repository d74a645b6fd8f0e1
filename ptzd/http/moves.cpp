#include "http/moves.h"

#include <httplib.h>

#include <cmath>
#include <memory>
#include <nlohmann/json.hpp>

#include "http/routes.h"
#include "infra/listener.h"
#include "json/events.h"
#include "json/motion.h"
#include "motion/group.h"

namespace ptzd {

using nlohmann::json;
using namespace motion;

namespace {

constexpr auto kStreamTick = std::chrono::milliseconds(50);
constexpr auto kHeartbeat = std::chrono::milliseconds(500);

void Reply(httplib::Response& res, int status, const json& body) {
    res.status = status;
    res.set_content(JsonText(body), "application/json");
}

void Fail(httplib::Response& res, int status, const std::string& text) { Reply(res, status, {{"error", text}}); }

int HttpStatus(Status s) {
    switch (s) {
    case Status::Ok: return 200;
    case Status::BadArgument: return 400;
    case Status::NotFound: return 404;
    case Status::LinkDown:
    case Status::Busy: return 503;
    case Status::HeadFailed: return 502;
    case Status::Superseded: return 409;
    case Status::StateFailed: return 500;
    }
    return 500;
}

// The body as a JSON object ("" when fine, else why not).
std::string Body(const httplib::Request& req, json& body) {
    body = json::object();
    if (req.body.empty()) return "";
    body = json::parse(req.body, nullptr, false);
    if (body.is_discarded()) return "the body is not valid JSON";
    if (!body.is_object()) return "the body must be a JSON object";
    return "";
}

void Answer(httplib::Response& res, const Result& r, json extra = json::object()) {
    Reply(res, r.ok() ? 200 : HttpStatus(r.status), ResultJson(r, std::move(extra)));
}

// A preset number 1-16 from the path.
bool PresetNumber(const std::string& text, int& preset) {
    if (text.empty() || text.size() > 2) return false;
    preset = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        preset = preset * 10 + (c - '0');
    }
    return preset >= 1 && preset <= kPresets;
}

// A live stream's state line: sent while moving at the poller's pace, and
// when anything shown changes while still.
struct Shown {
    bool link = false, moving = false, known = false;
    int32_t pan = 0, tilt = 0;
    int32_t flags[4] = {};
    uint64_t readings = 0;
    bool operator==(const Shown& o) const {
        return link == o.link && moving == o.moving && known == o.known && pan == o.pan && tilt == o.tilt &&
               std::equal(flags, flags + 4, o.flags);
    }
};

Shown ShownOf(const Snapshot& s) {
    Shown v{s.linkUp, s.moving, s.known, s.panSteps, s.tiltSteps, {}, s.readings};
    std::copy(s.flags, s.flags + 4, v.flags);
    return v;
}

std::string SseEvent(const char* type, const std::string& data) {
    return std::string("event: ") + type + "\ndata: " + data + "\n\n";
}

}  // namespace

void AddMotionRoutes(Routes& s, const std::vector<Motion*>& heads, const std::atomic<bool>& stopping,
                     std::atomic<int>& openStreams) {
    auto find = [heads](const std::string& name) -> Motion* {
        for (Motion* m : heads)
            if (m->name() == name) return m;
        return nullptr;
    };
    // Runs `f(motion, body)` for a head named in the path, with the body
    // checked to be a JSON object with only `keys`.
    using Handler = std::function<void(Motion&, const json&, const httplib::Request&, httplib::Response&)>;
    auto route = [find](std::initializer_list<const char*> keys, Handler f) {
        std::vector<const char*> allowed(keys);
        return [find, allowed, f](const httplib::Request& req, httplib::Response& res) {
            Motion* m = find(req.matches[1]);
            if (m == nullptr) return Fail(res, 404, "no head named \"" + std::string(req.matches[1]) + "\"");
            json body;
            if (auto why = Body(req, body); !why.empty()) return Fail(res, 400, why);
            for (const auto& item : body.items()) {
                const std::string key = item.key();
                if (std::find_if(allowed.begin(), allowed.end(), [&](const char* k) { return key == k; }) == allowed.end())
                    return Fail(res, 400, "unknown argument \"" + key + "\"");
            }
            f(*m, body, req, res);
        };
    };
    const std::string head = R"(/api/heads/([A-Za-z0-9_.-]+))";

    s.Get(head + "/position", route({}, [](Motion& m, const json&, const httplib::Request&, httplib::Response& res) {
        Reply(res, 200, PositionJson(m));
    }));

    s.Post(head + "/move", route({"kind", "pan", "tilt", "speed", "duration", "timeout", "client", "seq", "lat", "lon", "height"},
                                 [](Motion& m, const json& b, const httplib::Request&, httplib::Response& res) {
        MoveRequest move;
        if (auto why = ParseMove(b, move); !why.empty()) return Fail(res, 400, why);
        if (!move.client.empty() && !m.InClientOrder(move.client, move.seq, false))
            return Fail(res, 409, "a later stop of this client came first; nothing was sent");
        const Result r = SendMove(m, move);
        json extra = MoveJson(r);
        if (move.kind == MoveRequest::Kind::Continuous) extra["lease"] = r.move;
        Answer(res, r, extra);
    }));

    s.Post(head + "/renew", route({"lease", "timeout"}, [](Motion& m, const json& b, const httplib::Request&,
                                                          httplib::Response& res) {
        if (!b.contains("lease") || !b["lease"].is_number_unsigned()) return Fail(res, 400, "argument \"lease\" must be a move number");
        std::optional<std::chrono::milliseconds> lease;
        if (auto why = SecondsArgument(b, "timeout", lease); !why.empty()) return Fail(res, 400, why);
        const uint64_t id = b["lease"].get<uint64_t>();
        if (!m.Renew(id, lease)) return Reply(res, 409, {{"error", "that move is no longer the one in hand"}, {"lease", id}});
        Reply(res, 200, {{"lease", id}});
    }));

    s.Post(head + "/stop", route({"client", "seq"}, [](Motion& m, const json& b, const httplib::Request&, httplib::Response& res) {
        std::string client;
        uint64_t seq = 0;
        if (auto why = ClientOrderArgument(b, client, seq); !why.empty()) return Fail(res, 400, why);
        if (!client.empty()) m.InClientOrder(client, seq, true);
        Answer(res, m.Stop());
    }));
    s.Post(head + "/home", route({}, [](Motion& m, const json&, const httplib::Request&, httplib::Response& res) {
        Answer(res, m.Home());
    }));

    // Landmarks: "the head now looks at this place"; then the orientation
    // solved from them.
    auto landmarksJson = [](Motion& m) {
        json list = json::array();
        for (const auto& l : m.Landmarks())
            list.push_back({{"lat", l.place.lat}, {"lon", l.place.lon}, {"height", l.place.height}, {"pan", l.seen.pan},
                            {"tilt", l.seen.tilt}});
        return list;
    };
    s.Get(head + "/landmarks", route({}, [landmarksJson](Motion& m, const json&, const httplib::Request&, httplib::Response& res) {
        Reply(res, 200, {{"landmarks", landmarksJson(m)}});
    }));
    s.Post(head + "/landmarks", route({"lat", "lon", "height"}, [landmarksJson](Motion& m, const json& b, const httplib::Request&,
                                                                               httplib::Response& res) {
        geo::Place place;
        if (auto why = PlaceArgument(b, place); !why.empty()) return Fail(res, 400, why);
        const Result r = m.AddLandmark(place);
        if (!r.ok()) return Answer(res, r);
        Reply(res, 200, {{"landmarks", landmarksJson(m)}});
    }));
    s.Delete(head + "/landmarks", route({}, [](Motion& m, const json&, const httplib::Request&, httplib::Response& res) {
        m.ClearLandmarks();
        Reply(res, 200, {{"landmarks", json::array()}});
    }));
    s.Post(head + "/calibrate", route({}, [](Motion& m, const json&, const httplib::Request&, httplib::Response& res) {
        geo::Calibration c;
        const Result r = m.Calibrate(c);
        if (!r.ok() && r.status != Status::StateFailed) return Answer(res, r);
        json body{{"orientation", {{"yaw", c.orientation.yaw}, {"pitch", c.orientation.pitch}, {"roll", c.orientation.roll}}},
                  {"residual", c.residual}, {"landmarks", m.Landmarks().size()}};
        if (!r.ok()) body["error"] = r.message;
        Reply(res, 200, body);
    }));

    // Following a moving target: which one, and fixes given by hand (the
    // head's feed port takes streams of them).
    s.Get(head + "/follow", route({}, [](Motion& m, const json&, const httplib::Request&, httplib::Response& res) {
        Reply(res, 200, FollowJson(m));
    }));
    s.Post(head + "/follow", route({"target"}, [](Motion& m, const json& b, const httplib::Request&, httplib::Response& res) {
        if (!b.contains("target") || !(b["target"].is_string() || b["target"].is_null()))
            return Fail(res, 400, "argument \"target\" must be an id (null or \"\" follows none)");
        const std::string id = b["target"].is_null() ? "" : b["target"].get<std::string>();
        // Following none is always allowed (a head whose location was deleted too).
        if (!id.empty() && !m.Pose()) return Fail(res, 400, "this head has no location: give it location = [lat, lon, height]");
        if (!m.follow().SetTarget(id)) {
            if (id.size() > motion::Follow::kMaxId || std::any_of(id.begin(), id.end(), [](char c) {
                    return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
                }))
                return Fail(res, 400, "a target id is text of at most 64 bytes, without control characters");
            return Fail(res, 503, "the gateway is stopping");
        }
        Reply(res, 200, FollowJson(m));
    }));
    s.Post(head + "/follow/fix", route({"id", "lat", "lon", "height"}, [](Motion& m, const json& b, const httplib::Request&,
                                                                         httplib::Response& res) {
        geo::Place place;
        if (auto why = PlaceArgument(b, place); !why.empty()) return Fail(res, 400, why);
        if (!b.contains("id") || !b["id"].is_string() || b["id"].get<std::string>().empty())
            return Fail(res, 400, "argument \"id\" must be the target's id");
        m.follow().Feed({b["id"].get<std::string>(), place});
        Reply(res, 200, FollowJson(m));
    }));

    s.Get(head + "/presets", route({}, [](Motion& m, const json&, const httplib::Request&, httplib::Response& res) {
        Reply(res, 200, {{"presets", PresetsJson(m)}});
    }));
    auto preset = [](const httplib::Request& req, httplib::Response& res, int& number) {
        if (PresetNumber(req.matches[2], number)) return true;
        Fail(res, 404, "presets are numbered 1 to 16");
        return false;
    };
    auto name = [](const json& b, std::string& out) -> std::string {
        out.clear();
        if (!b.contains("name")) return "";
        if (!b["name"].is_string()) return "argument \"name\" must be a string";
        out = b["name"].get<std::string>();
        return PresetStore::CheckName(out);
    };
    const std::string presetPath = head + R"(/presets/([0-9]+))";
    s.Post(presetPath, route({"name"}, [preset, name](Motion& m, const json& b, const httplib::Request& req,
                                                     httplib::Response& res) {
        int p = 0;
        std::string n;
        if (!preset(req, res, p)) return;
        if (auto why = name(b, n); !why.empty()) return Fail(res, 400, why);
        Answer(res, m.StorePreset(p, n));
    }));
    s.Put(presetPath, route({"name"}, [preset, name](Motion& m, const json& b, const httplib::Request& req,
                                                    httplib::Response& res) {
        int p = 0;
        std::string n;
        if (!preset(req, res, p)) return;
        if (!b.contains("name")) return Fail(res, 400, "missing argument \"name\"");
        if (auto why = name(b, n); !why.empty()) return Fail(res, 400, why);
        Answer(res, m.RenamePreset(p, n));
    }));
    s.Delete(presetPath, route({}, [preset](Motion& m, const json&, const httplib::Request& req, httplib::Response& res) {
        int p = 0;
        if (preset(req, res, p)) Answer(res, m.RemovePreset(p));
    }));
    s.Post(presetPath + "/go", route({"speed", "duration"}, [preset](Motion& m, const json& b, const httplib::Request& req,
                                                                    httplib::Response& res) {
        int p = 0;
        Pace pace;
        if (!preset(req, res, p)) return;
        if (auto why = PaceArgument(b, pace); !why.empty()) return Fail(res, 400, why);
        Answer(res, m.GoPreset(p, pace));
    }));

    s.Get(head + "/tours", route({}, [](Motion& m, const json&, const httplib::Request&, httplib::Response& res) {
        json list = json::array();
        for (const Tour& t : m.Tours()) list.push_back(TourJson(t));
        Reply(res, 200, {{"tours", list}, {"current", TourStatusJson(m.CurrentTour())}});
    }));
    const std::string tourPath = head + R"(/tours/([^/]+))";
    s.Get(tourPath, route({}, [](Motion& m, const json&, const httplib::Request& req, httplib::Response& res) {
        const auto t = m.GetTour(req.matches[2]);
        if (!t) return Fail(res, 404, "no tour named \"" + std::string(req.matches[2]) + "\"");
        Reply(res, 200, TourJson(*t));
    }));
    s.Put(tourPath, [find](const httplib::Request& req, httplib::Response& res) {
        Motion* m = find(req.matches[1]);
        if (m == nullptr) return Fail(res, 404, "no head named \"" + std::string(req.matches[1]) + "\"");
        json body;
        if (auto why = Body(req, body); !why.empty()) return Fail(res, 400, why);
        body["name"] = std::string(req.matches[2]);
        Tour tour;
        if (auto why = TourFromJson(body, tour); !why.empty()) return Fail(res, 400, why);
        if (auto why = CheckTour(tour, m->units()); !why.empty()) return Fail(res, 400, why);
        const Result r = m->PutTour(tour);
        if (!r.ok()) return Answer(res, r);
        Reply(res, 200, TourJson(tour));
    });
    s.Delete(tourPath, route({}, [](Motion& m, const json&, const httplib::Request& req, httplib::Response& res) {
        Answer(res, m.RemoveTour(req.matches[2]));
    }));
    s.Post(tourPath + "/(start|stop|pause|resume)", route({}, [](Motion& m, const json&, const httplib::Request& req,
                                                               httplib::Response& res) {
        const std::string what = req.matches[3];
        if (what == "start") return Answer(res, m.StartTour(req.matches[2]));
        const TourStatus st = m.CurrentTour();
        if (st.name != std::string(req.matches[2])) return Fail(res, 409, "tour \"" + std::string(req.matches[2]) + "\" is not running");
        Answer(res, what == "stop" ? m.StopTour() : what == "pause" ? m.PauseTour() : m.ResumeTour());
    }));

    s.Post("/api/moves", [find](const httplib::Request& req, httplib::Response& res) {
        json body;
        if (auto why = Body(req, body); !why.empty()) return Fail(res, 400, why);
        std::vector<GroupTarget> targets;
        Pace pace;
        bool unknownHead = false;
        if (auto why = ParseGroup(body, find, {}, targets, pace, unknownHead); !why.empty())
            return Fail(res, unknownHead ? 404 : 400, why);
        const GroupResult g = MoveTogether(targets, pace);
        Reply(res, g.status == Status::Ok ? 200 : HttpStatus(g.status), GroupJson(targets, g));
    });

    // The live stream: the state now, then the state at the poller's pace
    // while a head moves (on change while it is still) and every event, of
    // one head or of all of them (a page with many heads needs one
    // connection only: a browser allows six per host), until the client
    // goes or the gateway stops.
    std::atomic<int>* streams = &openStreams;
    auto serve = [streams, &stopping](const std::vector<Motion*>& which, httplib::Response& res) {
        if (streams->fetch_add(1) >= kMaxStreams) {
            --*streams;
            return Fail(res, 503, "too many live streams; try again later");
        }
        std::vector<std::shared_ptr<EventBus::Subscription>> subscriptions;
        for (Motion* m : which) {
            subscriptions.push_back(m->events().Subscribe(256));
            if (!subscriptions.back()) {
                subscriptions.pop_back();
                for (auto& sub : subscriptions) sub->Close();
                --*streams;
                return Fail(res, 503, "too many subscribers; try again later");
            }
        }
        for (Motion* m : which) m->Watch();  // the stream shows the state as it changes
        const bool taken = Listener::TakeOver([&](const std::function<bool(const std::string&)>& write) {
            if (!write("HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-cache\r\n"
                       "X-Accel-Buffering: no\r\nConnection: close\r\n\r\n"))
                return;
            std::vector<std::optional<Shown>> shown(which.size());
            auto lastWrite = std::chrono::steady_clock::now();
            auto send = [&](const std::string& text) {
                lastWrite = std::chrono::steady_clock::now();
                return write(text);
            };
            while (!stopping.load()) {
                for (size_t i = 0; i < which.size(); ++i) {
                    Motion& m = *which[i];
                    const Snapshot snap = m.State();
                    const Shown now = ShownOf(snap);
                    if (!shown[i] || !(now == *shown[i]) || (snap.moving && now.readings != shown[i]->readings)) {
                        shown[i] = now;
                        if (!send(SseEvent("state", PositionJson(m).dump(-1, ' ', false, json::error_handler_t::replace))))
                            return;
                    }
                }
                // The first head's events are waited for, the others' taken
                // as they are: none waits longer than a tick.
                for (size_t i = 0; i < subscriptions.size(); ++i) {
                    std::vector<Event> all;
                    if (i == 0) {
                        if (auto e = subscriptions[0]->Next(kStreamTick)) all.push_back(*e);
                    }
                    for (Event& more : subscriptions[i]->Drain()) all.push_back(std::move(more));
                    for (const Event& one : all)
                        if (one.head == which[i]->name() && !send(SseEvent(motion::EventName(one.type), ptzd::EventJson(one)))) return;
                }
                // A heartbeat when nothing else was sent: the page sees the
                // stream alive, and a client that went away is noticed.
                if (std::chrono::steady_clock::now() - lastWrite >= kHeartbeat && !send(SseEvent("heartbeat", "{}"))) return;
            }
        });
        for (auto& sub : subscriptions) sub->Close();
        for (Motion* m : which) m->Unwatch();
        --*streams;
        if (!taken) Fail(res, 500, "the live stream needs the gateway's own listener");
    };
    s.Get(head + "/stream", [find, serve](const httplib::Request& req, httplib::Response& res) {
        Motion* m = find(req.matches[1]);
        if (m == nullptr) return Fail(res, 404, "no head named \"" + std::string(req.matches[1]) + "\"");
        serve({m}, res);
    });
    s.Get("/api/stream", [heads, serve](const httplib::Request&, httplib::Response& res) {
        if (heads.empty()) return Fail(res, 404, "no heads configured");
        serve(heads, res);
    });
}

}  // namespace ptzd
