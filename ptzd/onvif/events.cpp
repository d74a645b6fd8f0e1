#include "onvif/xs.h"
#include "events.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <random>
#include <regex>

#include "auth.h"

#include "onvif/names.h"

namespace ptzd::onvif {

namespace {

constexpr const char* kTopics = "http://www.onvif.org/ver10/topics";
constexpr const char* kConcreteSet = "http://www.onvif.org/ver10/tev/topicExpression/ConcreteSet";
constexpr const char* kNamespaces =
    " xmlns:tev=\"http://www.onvif.org/ver10/events/wsdl\" xmlns:wsnt=\"http://docs.oasis-open.org/wsn/b-2\""
    " xmlns:wsa=\"http://www.w3.org/2005/08/addressing\" xmlns:wstop=\"http://docs.oasis-open.org/wsn/t-1\""
    " xmlns:tns1=\"http://www.onvif.org/ver10/topics\"";
constexpr const char* kPullPath = "/onvif/pullpoint/";

// What each published topic carries, for GetEventProperties, in the order
// of the topic tree (topics sharing a parent next to each other).
struct TopicInfo {
    const char* topic;   // below tns1:, '/'-separated
    const char* source;  // SimpleItemDescriptions of its Source
    const char* data;    // SimpleItemDescriptions of its Data
    bool property;
};
#define PTZ_CONFIG_SOURCE "<tt:SimpleItemDescription Name=\"PTZConfigurationToken\" Type=\"tt:ReferenceToken\"/>"
#define SEQUENCE_ITEM "<tt:SimpleItemDescription Name=\"Sequence\" Type=\"xs:unsignedLong\"/>"
#define PRESET_ITEMS                                                              \
    "<tt:SimpleItemDescription Name=\"PresetToken\" Type=\"tt:ReferenceToken\"/>" \
    "<tt:SimpleItemDescription Name=\"PresetName\" Type=\"tt:Name\"/>" SEQUENCE_ITEM
const TopicInfo kTopicInfo[] = {
    {"Configuration/PTZConfiguration", PTZ_CONFIG_SOURCE,
     "<tt:SimpleItemDescription Name=\"Changed\" Type=\"xs:boolean\"/><tt:SimpleItemDescription Name=\"Token\" Type=\"tt:ReferenceToken\"/>",
     false},
    {"Device/Trigger/DigitalInput", "<tt:SimpleItemDescription Name=\"InputToken\" Type=\"tt:ReferenceToken\"/>",
     "<tt:SimpleItemDescription Name=\"LogicalState\" Type=\"xs:boolean\"/>", true},
    {"Device/Trigger/Relay", "<tt:SimpleItemDescription Name=\"RelayToken\" Type=\"tt:ReferenceToken\"/>",
     "<tt:SimpleItemDescription Name=\"LogicalState\" Type=\"tt:RelayLogicalState\"/>", true},
    {"Monitoring/OperatingTime/LastReboot", "", "<tt:SimpleItemDescription Name=\"Status\" Type=\"xs:dateTime\"/>", true},
    {"PTZController/Link/Lost", PTZ_CONFIG_SOURCE, SEQUENCE_ITEM, false},
    {"PTZController/Link/Restored", PTZ_CONFIG_SOURCE, SEQUENCE_ITEM, false},
    {"PTZController/PTZMove/Started", PTZ_CONFIG_SOURCE,
     "<tt:SimpleItemDescription Name=\"Move\" Type=\"xs:string\"/><tt:SimpleItemDescription Name=\"Pan\" Type=\"xs:float\"/>"
     "<tt:SimpleItemDescription Name=\"Tilt\" Type=\"xs:float\"/>" SEQUENCE_ITEM,
     false},
    {"PTZController/PTZMove/Finished", PTZ_CONFIG_SOURCE,
     "<tt:SimpleItemDescription Name=\"Move\" Type=\"xs:string\"/><tt:SimpleItemDescription Name=\"Reason\" Type=\"xs:string\"/>"
     "<tt:SimpleItemDescription Name=\"Pan\" Type=\"xs:float\"/><tt:SimpleItemDescription Name=\"Tilt\" Type=\"xs:float\"/>" SEQUENCE_ITEM,
     false},
    {"PTZController/PTZMove/LimitReached", PTZ_CONFIG_SOURCE,
     "<tt:SimpleItemDescription Name=\"Axis\" Type=\"xs:string\"/><tt:SimpleItemDescription Name=\"Side\" Type=\"xs:string\"/>" SEQUENCE_ITEM,
     false},
    {"PTZController/PTZPresets/Invoked", PTZ_CONFIG_SOURCE, PRESET_ITEMS, false},
    {"PTZController/PTZPresets/Reached", PTZ_CONFIG_SOURCE, PRESET_ITEMS, false},
    {"PTZController/PTZPresets/Aborted", PTZ_CONFIG_SOURCE, PRESET_ITEMS, false},
    {"PTZController/PTZPresets/Left", PTZ_CONFIG_SOURCE, PRESET_ITEMS, false},
};
#undef PTZ_CONFIG_SOURCE
#undef SEQUENCE_ITEM
#undef PRESET_ITEMS

// The gateway's start, for Monitoring/OperatingTime/LastReboot.
const std::chrono::system_clock::time_point kStarted = std::chrono::system_clock::now();

// The status flags' input tokens and the infrared lamp's relay token.
const char* const kInputTokens[4] = {"input_0", "input_1", "input_2", "input_3"};
constexpr const char* kRelayToken = "ir";

std::string Item(const char* name, const std::string& value) {
    return std::string("<tt:SimpleItem Name=\"") + name + "\" Value=\"" + Escape(value) + "\"/>";
}

// `operation`: a property's "Initialized" or "Changed"; empty for a plain event.
std::string Notification(const std::string& topic, std::chrono::system_clock::time_point when, const std::string& source,
                         const std::string& data, const char* operation = "") {
    return std::string("<wsnt:NotificationMessage><wsnt:Topic Dialect=\"") + kConcreteSet + "\">tns1:" + topic +
           "</wsnt:Topic><wsnt:Message><tt:Message UtcTime=\"" + DateTimeText(when) + "\"" +
           (*operation ? std::string(" PropertyOperation=\"") + operation + "\"" : std::string()) + "><tt:Source>" + source +
           "</tt:Source><tt:Data>" + data + "</tt:Data></tt:Message></wsnt:Message></wsnt:NotificationMessage>";
}

std::string PtzSource() { return Item("PTZConfigurationToken", kPtzConfig); }

std::pair<int, std::string> Ok(const std::string& body) { return {200, Envelope(body)}; }
std::pair<int, std::string> Bad(const std::string& why, const std::string& detail = "") {
    return {400, Fault("Sender", "ter:InvalidArgVal" + (detail.empty() ? "" : "/" + detail), why)};
}

// A termination time given as a duration from now or as a UTC time.
bool TerminationOf(const pugi::xml_node& node, std::chrono::system_clock::time_point& out) {
    const std::string text(Collapsed(node.text().get()));
    const auto now = std::chrono::system_clock::now();
    std::chrono::milliseconds span{0};
    if (ParseDuration(text, span)) {
        out = now + span;
        return true;
    }
    std::time_t when = 0;
    if (!ParseDateTime(text, when)) return false;
    out = std::chrono::system_clock::from_time_t(when);
    return true;
}

}  // namespace

std::string PullPoints::Capabilities() {
    return "<tev:Capabilities xmlns:tev=\"http://www.onvif.org/ver10/events/wsdl\" WSSubscriptionPolicySupport=\"false\" "
           "WSPausableSubscriptionManagerInterfaceSupport=\"false\" MaxNotificationProducers=\"0\" MaxPullPoints=\"" +
           std::to_string(kMaxPullPoints) + "\" PersistentNotificationStorage=\"false\"/>";
}

PullPoints::~PullPoints() {
    std::lock_guard lock(mutex_);
    for (auto& [id, p] : points_)
        if (p->subscription) p->subscription->Close();
}

std::vector<PullPoints::Note> PullPoints::Notes(const motion::Event& e) const {
    using T = motion::EventType;
    std::vector<Note> out;
    const std::string sequence = Item("Sequence", std::to_string(e.sequence));
    auto plain = [&](const char* topic, const std::string& data) {
        out.push_back({topic, Notification(topic, e.time, PtzSource(), data + sequence)});
    };
    auto preset = [&](const char* topic, int number) {
        const std::string name = motion_ && number >= 1 && number <= motion::kPresets ? motion_->presets().Get(number).name : "";
        plain(topic, Item("PresetToken", std::to_string(number)) + Item("PresetName", name));
    };
    const bool presetMove = e.move == "preset" && e.preset != 0;
    switch (e.type) {
        case T::MoveStarted:
            // Leaving a preset comes first: the head was there until now.
            if (e.fromPreset != 0) preset("PTZController/PTZPresets/Left", e.fromPreset);
            if (presetMove) preset("PTZController/PTZPresets/Invoked", e.preset);
            plain("PTZController/PTZMove/Started", Item("Move", e.move) + Item("Pan", FloatText(e.pan)) + Item("Tilt", FloatText(e.tilt)));
            break;
        case T::MoveFinished:
            if (presetMove && e.reason != "arrived") preset("PTZController/PTZPresets/Aborted", e.preset);
            plain("PTZController/PTZMove/Finished", Item("Move", e.move) + Item("Reason", e.reason) + Item("Pan", FloatText(e.pan)) +
                                                        Item("Tilt", FloatText(e.tilt)));
            break;
        case T::LimitReached: plain("PTZController/PTZMove/LimitReached", Item("Axis", e.axis) + Item("Side", e.side)); break;
        case T::PresetReached: preset("PTZController/PTZPresets/Reached", e.preset); break;
        case T::LinkLost: plain("PTZController/Link/Lost", ""); break;
        case T::LinkRestored: plain("PTZController/Link/Restored", ""); break;
        case T::FlagsChanged:
            for (int k = 0; k < 4; ++k)
                if (e.changedFlags & (1u << k))
                    out.push_back({"Device/Trigger/DigitalInput",
                                   Notification("Device/Trigger/DigitalInput", e.time, Item("InputToken", kInputTokens[k]),
                                                Item("LogicalState", e.flags[static_cast<size_t>(k)] ? "true" : "false"), "Changed")});
            break;
        case T::InfraredChanged:
            out.push_back({"Device/Trigger/Relay", Notification("Device/Trigger/Relay", e.time, Item("RelayToken", kRelayToken),
                                                                Item("LogicalState", e.on ? "active" : "inactive"), "Changed")});
            break;
        case T::TourStep:
        case T::TourStopped: break;
    }
    return out;
}

std::vector<PullPoints::Note> PullPoints::Properties() const {
    const auto now = std::chrono::system_clock::now();
    std::vector<Note> out;
    if (motion_) {
        const motion::Snapshot s = motion_->State();
        if (s.flagsKnown)
            for (int k = 0; k < 4; ++k)
                out.push_back({"Device/Trigger/DigitalInput",
                               Notification("Device/Trigger/DigitalInput", now, Item("InputToken", kInputTokens[k]),
                                            Item("LogicalState", s.flags[k] ? "true" : "false"), "Initialized")});
        if (s.infrared)
            out.push_back({"Device/Trigger/Relay", Notification("Device/Trigger/Relay", now, Item("RelayToken", kRelayToken),
                                                                Item("LogicalState", *s.infrared ? "active" : "inactive"),
                                                                "Initialized")});
    }
    out.push_back({"Monitoring/OperatingTime/LastReboot",
                   Notification("Monitoring/OperatingTime/LastReboot", now, "", Item("Status", DateTimeText(kStarted)), "Initialized")});
    return out;
}

bool PullPoints::Wanted(const Point& point, const std::string& topic) {
    if (point.filter.empty()) return true;
    for (const std::string& f : point.filter)
        if (topic.compare(0, f.size(), f) == 0 && (topic.size() == f.size() || topic[f.size()] == '/')) return true;
    return false;
}

void PullPoints::ConfigurationChanged(const std::string& token) {
    const std::string message = Notification("Configuration/PTZConfiguration", std::chrono::system_clock::now(), PtzSource(),
                                             Item("Changed", "true") + Item("Token", token));
    std::lock_guard lock(mutex_);
    for (auto& [id, p] : points_) {
        if (p->local.size() >= kQueue) p->local.erase(p->local.begin());
        p->local.push_back(message);
    }
}

void PullPoints::Reclaim() {
    const auto now = std::chrono::system_clock::now();
    for (auto it = points_.begin(); it != points_.end();) {
        if (it->second->terminates > now) {
            ++it;
            continue;
        }
        if (it->second->subscription) it->second->subscription->Close();
        it = points_.erase(it);
    }
}

std::shared_ptr<PullPoints::Point> PullPoints::Find(const std::string& path) {
    if (path.rfind(kPullPath, 0) != 0) return nullptr;
    std::lock_guard lock(mutex_);
    Reclaim();
    const auto it = points_.find(path.substr(std::char_traits<char>::length(kPullPath)));
    return it == points_.end() ? nullptr : it->second;
}

std::pair<int, std::string> PullPoints::Handle(const Request& r, const std::string& path) {
    const std::string& op = r.name;
    const pugi::xml_node& in = r.operation;
    const auto now = std::chrono::system_clock::now();
    if (op == "GetServiceCapabilities")
        return Ok(std::string("<tev:GetServiceCapabilitiesResponse") + kNamespaces + ">" + Capabilities() +
                  "</tev:GetServiceCapabilitiesResponse>");
    if (op == "GetEventProperties") {
        // The topic tree: each topic's path of elements, with the message
        // description on the leaf.
        std::string tree;
        std::vector<std::string> open;
        for (const TopicInfo& t : kTopicInfo) {
            std::vector<std::string> parts;
            for (std::string_view rest = t.topic; !rest.empty();) {
                const size_t slash = rest.find('/');
                parts.emplace_back(rest.substr(0, slash));
                rest = slash == std::string_view::npos ? "" : rest.substr(slash + 1);
            }
            size_t common = 0;
            while (common < open.size() && common + 1 < parts.size() && open[common] == parts[common]) ++common;
            while (open.size() > common) {
                tree += "</tns1:" + open.back() + ">";
                open.pop_back();
            }
            for (size_t i = common; i + 1 < parts.size(); ++i) {
                tree += "<tns1:" + parts[i] + ">";
                open.push_back(parts[i]);
            }
            tree += "<tns1:" + parts.back() + " wstop:topic=\"true\"><tt:MessageDescription IsProperty=\"" +
                    (t.property ? "true" : "false") +
                    "\">" + (*t.source ? std::string("<tt:Source>") + t.source + "</tt:Source>" : std::string()) +
                    "<tt:Data>" + t.data + "</tt:Data></tt:MessageDescription></tns1:" + parts.back() + ">";
        }
        while (!open.empty()) {
            tree += "</tns1:" + open.back() + ">";
            open.pop_back();
        }
        return Ok(std::string("<tev:GetEventPropertiesResponse") + kNamespaces + " xmlns:xs=\"http://www.w3.org/2001/XMLSchema\">"
                  "<tev:TopicNamespaceLocation>http://www.onvif.org/onvif/ver10/topics/topicns.xml</tev:TopicNamespaceLocation>"
                  "<wsnt:FixedTopicSet>true</wsnt:FixedTopicSet><wstop:TopicSet>" + tree + "</wstop:TopicSet>"
                  "<wsnt:TopicExpressionDialect>http://www.onvif.org/ver10/tev/topicExpression/ConcreteSet</wsnt:TopicExpressionDialect>"
                  "<wsnt:TopicExpressionDialect>http://docs.oasis-open.org/wsn/t-1/TopicExpression/Concrete</wsnt:TopicExpressionDialect>"
                  "<tev:MessageContentFilterDialect>http://www.onvif.org/ver10/tev/messageContentFilter/ItemFilter</tev:MessageContentFilterDialect>"
                  "<tev:MessageContentSchemaLocation>http://www.onvif.org/onvif/ver10/schema/onvif.xsd</tev:MessageContentSchemaLocation>"
                  "</tev:GetEventPropertiesResponse>");
    }
    if (op == "CreatePullPointSubscription") {
        auto point = std::make_shared<Point>();
        point->terminates = now + kDefaultTermination;
        if (const pugi::xml_node t = ChildAnyNs(in, "InitialTerminationTime"))
            if (!TerminationOf(t, point->terminates) || point->terminates <= now)
                return Bad("InitialTerminationTime must be a duration like PT60S or a UTC time in the future");
        point->terminates = std::min(point->terminates, now + kMaxTermination);
        // The topic filter: alternatives separated by '|', each a topic or
        // a topic and all below it ("//."), in the ONVIF topic namespace.
        const pugi::xml_node expression = ChildAnyNs(ChildAnyNs(in, "Filter"), "TopicExpression");
        if (expression) {
            const std::string text(Collapsed(expression.text().get()));
            for (std::string_view rest = text; !rest.empty();) {
                const size_t bar = rest.find('|');
                std::string one(Collapsed(rest.substr(0, bar)));
                rest = bar == std::string_view::npos ? "" : rest.substr(bar + 1);
                if (one.size() > 3 && one.compare(one.size() - 3, 3, "//.") == 0) one.resize(one.size() - 3);
                const size_t colon = one.find(':');
                std::string ns;
                if (colon == std::string::npos || !NamespaceOfPrefix(expression, one.substr(0, colon), ns) || ns != kTopics)
                    return {400, Fault("Sender", "ter:InvalidArgVal/ter:InvalidTopicExpression",
                                       "topics are in the namespace " + std::string(kTopics) + ": " + one)};
                point->filter.push_back(one.substr(colon + 1));
            }
        }
        // Every property as it stands comes first: the head's flags with the
        // first reading, if it is still to come (bounded).
        std::vector<Note> properties;
        if (motion_) {
            motion_->Watch();  // the status flags are read while someone listens
            motion_->FirstReading(std::chrono::seconds(1));
        }
        for (Note& n : Properties())
            if (Wanted(*point, n.topic)) properties.push_back(std::move(n));
        std::string id;
        {
            std::lock_guard lock(mutex_);
            Reclaim();
            if (points_.size() >= kMaxPullPoints)
                return {500, Fault("Receiver", "ter:Action/ter:OutofResources",
                                   "all " + std::to_string(kMaxPullPoints) + " pull points of this device are in use")};
            if (bus_) {
                point->subscription = bus_->Subscribe(kQueue);
                if (!point->subscription)
                    return {500, Fault("Receiver", "ter:Action/ter:OutofResources", "the gateway has too many subscribers")};
                point->subscription->EndAt(point->terminates);
            }
            std::random_device random;
            id = std::to_string(++next_) + "-" + std::to_string(random() % 1000000000u);
            for (Note& n : properties) point->local.push_back(std::move(n.message));
            points_[id] = point;
        }
        return Ok(std::string("<tev:CreatePullPointSubscriptionResponse") + kNamespaces +
                  "><tev:SubscriptionReference><wsa:Address>" + Escape(r.base) + kPullPath + id +
                  "</wsa:Address></tev:SubscriptionReference><wsnt:CurrentTime>" + DateTimeText(now) +
                  "</wsnt:CurrentTime><wsnt:TerminationTime>" + DateTimeText(point->terminates) +
                  "</wsnt:TerminationTime></tev:CreatePullPointSubscriptionResponse>");
    }
    // Everything below is a pull point's own.
    const std::shared_ptr<Point> point = Find(path);
    if (!point) return Bad("no such subscription (it may have expired)", "ter:NoEntity");
    if (op == "PullMessages") {
        std::chrono::milliseconds timeout{0};
        if (!ParseDuration(ChildAnyNs(in, "Timeout").text().get(), timeout))
            return Bad("Timeout must be a duration like PT5S");
        timeout = std::min<std::chrono::milliseconds>(timeout, kMaxTimeout);
        const std::string limitText(Collapsed(ChildAnyNs(in, "MessageLimit").text().get()));
        double limitValue = 0;
        if (!ParseNumber(limitText, limitValue) || limitValue < 1 || limitValue > 1e9 || limitValue != static_cast<int64_t>(limitValue))
            return Bad("MessageLimit must be a whole number from 1");
        const int limit = std::min<int>(kMaxMessages, static_cast<int>(limitValue));
        // Only kMaxWaiting requests wait at once; the others get what is there.
        const bool wait = waiting_.fetch_add(1) < kMaxWaiting;
        const auto deadline = std::chrono::steady_clock::now() + (wait ? timeout : std::chrono::milliseconds(0));
        std::string messages;
        int count = 0;
        {
            std::lock_guard lock(mutex_);
            while (!point->local.empty() && count < limit) {
                messages += point->local.front();
                point->local.erase(point->local.begin());
                ++count;
            }
        }
        std::vector<std::string> over;  // what did not fit in this answer
        while (point->subscription && count < limit) {
            // In slices, each keeping the head read, so its flags are news.
            if (motion_) motion_->Watch();
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            const auto slice = std::clamp(left, std::chrono::milliseconds(0), kWatchSlice);
            const auto sliceEnd = std::chrono::steady_clock::now() + slice;
            const auto e = point->subscription->Next(count > 0 ? std::chrono::milliseconds(0) : slice);
            if (!e) {
                // Over, or closed (the gateway stops: Next returned early).
                if (count > 0 || left <= slice || std::chrono::steady_clock::now() < sliceEnd) break;
                continue;
            }
            if (e->head != head_) continue;
            for (Note& n : Notes(*e)) {
                if (!Wanted(*point, n.topic)) continue;
                if (count < limit) {
                    messages += n.message;
                    ++count;
                } else {
                    over.push_back(std::move(n.message));
                }
            }
        }
        if (!over.empty()) {
            std::lock_guard lock(mutex_);
            point->local.insert(point->local.begin(), over.begin(), over.end());
            while (point->local.size() > kQueue) point->local.pop_back();
        }
        waiting_.fetch_sub(1);
        std::chrono::system_clock::time_point terminates;
        {
            std::lock_guard lock(mutex_);  // Renew may be changing it
            terminates = point->terminates;
        }
        return Ok(std::string("<tev:PullMessagesResponse") + kNamespaces + "><tev:CurrentTime>" +
                  DateTimeText(std::chrono::system_clock::now()) + "</tev:CurrentTime><tev:TerminationTime>" +
                  DateTimeText(terminates) + "</tev:TerminationTime>" + messages + "</tev:PullMessagesResponse>");
    }
    if (op == "Renew") {
        std::chrono::system_clock::time_point until;
        if (!TerminationOf(ChildAnyNs(in, "TerminationTime"), until) || until <= now)
            return Bad("TerminationTime must be a duration like PT60S or a UTC time in the future");
        until = std::min(until, now + kMaxTermination);
        {
            std::lock_guard lock(mutex_);
            // The bus may have ended it since it was found.
            if (point->terminates <= now || (point->subscription && !point->subscription->EndAt(until)))
                return Bad("no such subscription (it has expired)", "ter:NoEntity");
            point->terminates = until;
        }
        return Ok(std::string("<wsnt:RenewResponse") + kNamespaces + "><wsnt:TerminationTime>" + DateTimeText(until) +
                  "</wsnt:TerminationTime><wsnt:CurrentTime>" + DateTimeText(now) + "</wsnt:CurrentTime></wsnt:RenewResponse>");
    }
    if (op == "Unsubscribe") {
        std::lock_guard lock(mutex_);
        point->terminates = now;
        Reclaim();
        return Ok(std::string("<wsnt:UnsubscribeResponse") + kNamespaces + "/>");
    }
    if (op == "SetSynchronizationPoint") {
        // Every property's state again, after what is queued already.
        std::lock_guard lock(mutex_);
        for (Note& n : Properties()) {
            if (!Wanted(*point, n.topic)) continue;
            if (point->local.size() >= kQueue) point->local.erase(point->local.begin());
            point->local.push_back(std::move(n.message));
        }
        return Ok(std::string("<tev:SetSynchronizationPointResponse") + kNamespaces + "/>");
    }
    return {500, Fault("Receiver", "ter:ActionNotSupported", op + " is not supported by this device")};
}

}  // namespace ptzd::onvif
