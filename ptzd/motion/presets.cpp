#include "motion/presets.h"

#include <algorithm>
#include <nlohmann/json.hpp>

#include "infra/state_file.h"
#include "infra/utf8.h"

namespace ptzd::motion {

PresetStore::PresetStore(std::string file) : file_(std::move(file)) {
    std::string text;
    if (file_.empty() || LoadStateFile(file_, text) != StateRead::Read) return;
    const auto data = nlohmann::json::parse(text, nullptr, false);
    if (!data.is_object()) {
        SetAsideStateFile(file_, data.is_discarded() ? "it is not JSON" : "it is not a JSON object");
        return;
    }
    // Every entry that cannot be taken is named; the file is then set aside
    // whole and the rest kept, so that the next save loses nothing.
    std::string refused;
    for (const auto& [key, entry] : data.items()) {
        int n = 0;
        const bool numbered = key.size() <= 2 && !key.empty() && key[0] != '0' &&
                              std::all_of(key.begin(), key.end(), [](char c) { return c >= '0' && c <= '9'; });
        if (numbered) n = std::stoi(key);
        if (n < 1 || n > kPresets) {
            refused += " \"" + key + "\" (presets are 1 to 16);";
            continue;
        }
        PresetInfo p;
        if (entry.is_string()) p.name = entry.get<std::string>();
        else if (entry.is_object() && entry.contains("name") && entry["name"].is_string()) p.name = entry["name"];
        if (const std::string why = CheckName(p.name); !why.empty()) {
            refused += " preset " + key + " (" + why + ");";
            continue;
        }
        bool positionOk = true;
        for (auto [axis, value] : {std::pair{"pan", &p.pan}, std::pair{"tilt", &p.tilt}}) {
            if (!entry.is_object() || !entry.contains(axis)) continue;
            const auto& v = entry[axis];
            if (v.is_number_integer() && v.get<int64_t>() >= INT32_MIN && v.get<int64_t>() <= INT32_MAX)
                *value = static_cast<int32_t>(v.get<int64_t>());
            else positionOk = false;
        }
        if (!positionOk) refused += " preset " + key + " (its position is not a step count; the name is kept);";
        presets_[n] = p;
    }
    if (!refused.empty()) {
        refused.pop_back();
        SetAsideStateFile(file_, "entries that cannot be taken:" + refused);
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
