#include "motion/presets.h"

#include <nlohmann/json.hpp>

#include "state_file.h"
#include "utf8.h"

namespace ptzd::motion {

PresetStore::PresetStore(std::string file) : file_(std::move(file)) {
    std::string text;
    if (file_.empty() || !ReadStateFile(file_, text)) return;
    const auto data = nlohmann::json::parse(text, nullptr, false);
    if (!data.is_object()) return;
    for (int n = 1; n <= kPresets; ++n) {
        const auto it = data.find(std::to_string(n));
        if (it == data.end()) continue;
        PresetInfo& p = presets_[n];
        if (it->is_string()) p.name = it->get<std::string>();
        else if (it->is_object() && it->contains("name") && (*it)["name"].is_string()) p.name = (*it)["name"];
        if (!CheckName(p.name).empty()) {
            p = {};
            continue;
        }
        for (auto [key, value] : {std::pair{"pan", &p.pan}, std::pair{"tilt", &p.tilt}})
            if (it->is_object() && it->contains(key) && (*it)[key].is_number_integer()) {
                const int64_t v = (*it)[key];
                if (v >= INT32_MIN && v <= INT32_MAX) *value = static_cast<int32_t>(v);
            }
    }
}

std::string PresetStore::CheckName(const std::string& name) {
    if (name.empty()) return "a preset name must not be empty";
    if (name.size() > kMaxPresetName) return "a preset name has at most " + std::to_string(kMaxPresetName) + " bytes";
    if (!ValidUtf8(name)) return "a preset name must be UTF-8";
    for (unsigned char c : name)
        if (c < 0x20 || c == 0x7F) return "a preset name must not hold control characters";
    return "";
}

PresetInfo PresetStore::Get(int preset) {
    std::lock_guard lock(mutex_);
    return preset >= 1 && preset <= kPresets ? presets_[preset] : PresetInfo{};
}

std::array<PresetInfo, kPresets + 1> PresetStore::All() {
    std::lock_guard lock(mutex_);
    return presets_;
}

int PresetStore::FirstFree() {
    std::lock_guard lock(mutex_);
    for (int n = 1; n <= kPresets; ++n)
        if (presets_[n].name.empty()) return n;
    return 0;
}

std::string PresetStore::Set(int preset, const std::string& name, std::optional<int32_t> pan, std::optional<int32_t> tilt) {
    std::lock_guard lock(mutex_);
    presets_[preset] = {name, pan, tilt};
    return Save();
}

std::string PresetStore::Learn(int preset, int32_t pan, int32_t tilt) {
    std::lock_guard lock(mutex_);
    PresetInfo& p = presets_[preset];
    if (p.pan == pan && p.tilt == tilt) return "";
    p.pan = pan;
    p.tilt = tilt;
    return p.name.empty() ? "" : Save();
}

std::string PresetStore::Remove(int preset) {
    std::lock_guard lock(mutex_);
    presets_[preset] = {};
    return Save();
}

std::string PresetStore::Save() {
    if (file_.empty()) return "";
    nlohmann::json data = nlohmann::json::object();
    for (int n = 1; n <= kPresets; ++n) {
        const PresetInfo& p = presets_[n];
        if (p.name.empty()) continue;
        nlohmann::json entry{{"name", p.name}};
        if (p.pan && p.tilt) {
            entry["pan"] = *p.pan;
            entry["tilt"] = *p.tilt;
        }
        data[std::to_string(n)] = entry;
    }
    return WriteStateFile(file_, data.dump(2) + "\n");
}

}  // namespace ptzd::motion
