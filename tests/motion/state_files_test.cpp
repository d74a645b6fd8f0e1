// State files that cannot be read (cut short, a stray comma, entries that
// cannot be taken) are set aside whole, logged, and never overwritten: the
// head starts with what could be read, and nothing is lost silently.
#include <filesystem>
#include <fstream>
#include <sstream>

#include "motion_support.h"
#include "infra/state_file.h"

namespace {

using namespace motiontest;
using namespace ptzd::motion;
namespace fs = std::filesystem;

std::string Slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<fs::path> SetAside(const std::string& dir, const std::string& name) {
    std::vector<fs::path> out;
    for (const auto& e : fs::directory_iterator(dir))
        if (e.path().filename().string().rfind(name + ".bad-", 0) == 0) out.push_back(e.path());
    return out;
}

TEST(StateFiles, WhatCannotBeReadIsSetAsideAndTheRestKept) {
    struct Case {
        const char* what;
        bool tours;
        std::string text;
        size_t kept;  // presets with a name, or tours
    };
    const Case cases[] = {
        {"presets: a stray comma", false, R"({"1": {"name": "door", "pan": 100, "tilt": 0},})", 0},
        {"presets: cut short", false, R"({"1": {"name": "door", "pan": 100, "ti)", 0},
        {"presets: a bad entry beside a good one", false, R"({"1": {"name": "door"}, "40": {"name": "x"}})", 1},
        {"presets: an empty name", false, R"({"2": {"name": ""}, "3": "gate"})", 1},
        {"tours: a stray comma", true, R"({"tours": [{"name": "a", "steps": [{"preset": 1}]},]})", 0},
        {"tours: no steps", true, R"({"tours": [{"name": "empty", "steps": []}, {"name": "ok", "steps": [{"preset": 1}]}]})", 1},
        {"tours: no steps key", true, R"({"tours": [{"name": "bare"}]})", 0},
        {"tours: outside the limits", true, R"({"tours": [{"name": "far", "steps": [{"pan": 900, "tilt": 0}]}]})", 0},
        {"tours: no list", true, R"({"tour": []})", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const std::string file = dir.path() + (c.tours ? "/cam.tours.json" : "/cam.presets.json");
        std::ofstream(file) << c.text;
        Motion::Files files;
        (c.tours ? files.tours : files.presets) = file;
        Gateway g({}, files);
        const auto aside = SetAside(dir.path(), c.tours ? "cam.tours.json" : "cam.presets.json");
        ASSERT_EQ(aside.size(), 1u);
        EXPECT_EQ(Slurp(aside[0]), c.text);  // byte for byte
        EXPECT_FALSE(fs::exists(file));
        size_t kept = 0;
        if (c.tours) {
            kept = g.motion.Tours().size();
            // Nothing that was refused can be started.
            for (const char* name : {"empty", "bare", "far"}) EXPECT_EQ(g.motion.StartTour(name).status, Status::NotFound);
        } else {
            for (const auto& p : g.motion.presets().All()) kept += !p.name.empty();
        }
        EXPECT_EQ(kept, c.kept);
        // The next save writes a fresh file beside the one set aside.
        if (c.tours) ASSERT_TRUE(g.motion.PutTour({"new", {{1, 0, 0, std::nullopt, 0ms}}, false}).ok());
        else ASSERT_TRUE(g.motion.StorePreset(5, "new").ok());
        EXPECT_TRUE(fs::exists(file));
        EXPECT_EQ(Slurp(aside[0]), c.text);
    }
}

TEST(StateFiles, AGoodFileIsLeftAloneAndTwoBadOnesBothKept) {
    TempDir dir;
    const std::string file = dir.path() + "/cam.presets.json";
    std::ofstream(file) << R"({"1": {"name": "door", "pan": 100, "tilt": -5}})";
    { Gateway g({}, {.presets = file, .tours = "", .pose = ""}); }
    EXPECT_TRUE(SetAside(dir.path(), "cam.presets.json").empty());
    // Set aside twice within one second: two names, neither over the other.
    for (const char* text : {"{", "[1]"}) {
        std::ofstream(file) << text;
        EXPECT_EQ(ptzd::LoadStateFile(file, *std::make_unique<std::string>()), ptzd::StateRead::Read);
        EXPECT_NE(ptzd::SetAsideStateFile(file, "test"), "");
    }
    const auto aside = SetAside(dir.path(), "cam.presets.json");
    ASSERT_EQ(aside.size(), 2u);
    EXPECT_NE(Slurp(aside[0]), Slurp(aside[1]));
    // A symbolic link is never followed: set aside, and the target untouched.
    std::ofstream(dir.path() + "/target") << "secret";
    fs::create_symlink(dir.path() + "/target", file);
    std::string data;
    EXPECT_EQ(ptzd::LoadStateFile(file, data), ptzd::StateRead::Unreadable);
    EXPECT_EQ(Slurp(dir.path() + "/target"), "secret");
    EXPECT_EQ(ptzd::LoadStateFile(file, data), ptzd::StateRead::Missing);
}

}  // namespace
