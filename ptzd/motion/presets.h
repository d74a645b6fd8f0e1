// The names of a head's presets 1-16, the same for every front end, and
// where each preset is when this gateway has seen it (stored or reached),
// kept in a small JSON state file written atomically.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

namespace ptzd::motion {

constexpr int kPresets = 16;
constexpr size_t kMaxPresetName = 64;  // bytes of UTF-8

struct PresetInfo {
    std::string name;                    // "" while the slot is free
    std::optional<int32_t> pan, tilt;    // steps, where known
};

class PresetStore {
public:
    // `file` "" keeps everything in memory. A file that is missing or
    // unreadable starts empty. It holds {"1": {"name": ..., "pan": ...,
    // "tilt": ...}, ...}; a bare name ({"1": "Door"}) is read too.
    explicit PresetStore(std::string file);

    // What is wrong with a name ("" when it may be used): valid UTF-8, 1-64
    // bytes, no control characters.
    static std::string CheckName(const std::string& name);

    PresetInfo Get(int preset);
    std::array<PresetInfo, kPresets + 1> All();  // [1] .. [16]
    int FirstFree();
    // Each returns "" or why the state file could not be written (the
    // change is kept in memory all the same).
    std::string Set(int preset, const std::string& name, std::optional<int32_t> pan, std::optional<int32_t> tilt);
    std::string Learn(int preset, int32_t pan, int32_t tilt);
    std::string Remove(int preset);

private:
    std::string Save();
    std::string file_;
    std::mutex mutex_;
    std::array<PresetInfo, kPresets + 1> presets_;
};

}  // namespace ptzd::motion
