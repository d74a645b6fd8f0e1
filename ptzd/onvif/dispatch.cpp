#include "onvif/dispatch.h"

#include <array>
#include <string_view>

namespace ptzd::onvif {

void Dispatch::On(const std::string& ns, const std::string& name, Operation operation, bool open) {
    operations_[{ns, name}] = Entry{std::move(operation), open};
}

const Operation* Dispatch::Find(const std::string& ns, const std::string& name) const {
    const auto it = operations_.find({ns, name});
    return it == operations_.end() ? nullptr : &it->second.operation;
}

bool Dispatch::Open(const std::string& ns, const std::string& name) const {
    const auto it = operations_.find({ns, name});
    return it != operations_.end() && it->second.open;
}

bool Dispatch::Knows(const std::string& ns) const {
    const auto it = operations_.lower_bound({ns, ""});
    return it != operations_.end() && it->first.first == ns;
}

std::string Dispatch::Services(const std::string& base, bool withCapabilities) const {
    std::string out;
    for (const Offer& o : offers_)
        out += "<tds:Service><tds:Namespace>" + o.ns + "</tds:Namespace><tds:XAddr>" + base + o.path + "</tds:XAddr>" +
               (withCapabilities && o.capabilities ? "<tds:Capabilities>" + o.capabilities() + "</tds:Capabilities>" : "") +
               "<tds:Version><tt:Major>2</tt:Major><tt:Minor>60</tt:Minor></tds:Version></tds:Service>";
    return out;
}

std::string Dispatch::Capabilities(const std::string& base) const {
    static constexpr std::array<std::string_view, 6> kOrder{"Analytics", "Device", "Events", "Imaging", "Media", "PTZ"};
    std::string out;
    for (std::string_view name : kOrder)
        for (const Offer& o : offers_)
            if (o.legacy == name)
                out += "<tt:" + o.legacy + "><tt:XAddr>" + base + o.path + "</tt:XAddr>" + o.legacyMore + "</tt:" + o.legacy + ">";
    return out;
}

}  // namespace ptzd::onvif
