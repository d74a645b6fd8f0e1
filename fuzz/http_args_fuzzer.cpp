// Fuzzes the HTTP API's argument parsing: query parameters (GET routes) and
// JSON bodies (POST routes) of any content for every command. A refusal's
// text must be valid UTF-8 (it goes out as JSON); an accepted call must hold
// every required argument, each within what its byte allows.
#include <cstdint>
#include <cstdlib>
#include <map>
#include <nlohmann/json.hpp>
#include <string>

#include "http/server.h"
#include "infra/utf8.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::vector<std::string> commands = ptzd::CommandNames();
    if (size < 1) return 0;
    const std::string& command = commands[data[0] % commands.size()];
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    bool query = false;
    if (!ptzd::CommandExists(command, query)) std::abort();
    // For a GET route the text is "k=v&k=v", as httplib would have split it.
    std::multimap<std::string, std::string> params;
    if (query) {
        for (size_t at = 0; at <= text.size();) {
            size_t end = text.find('&', at);
            if (end == std::string::npos) end = text.size();
            const std::string pair = text.substr(at, end - at);
            const size_t eq = pair.find('=');
            if (!pair.empty()) params.emplace(pair.substr(0, eq), eq == std::string::npos ? "" : pair.substr(eq + 1));
            at = end + 1;
        }
    }
    ptzd::CommandArgs args;
    const std::string why = ptzd::ParseCommandArgs(command, params, query ? "" : text, args);
    if (!ptzd::ValidUtf8(why)) std::abort();
    (void)nlohmann::json{{"error", why}}.dump();  // must not throw
    if (!why.empty()) return 0;
    for (const char* byte : {"motor", "param", "speed", "autoReturn", "mode"})
        if (args.values.count(byte) && (args[byte] < 0 || args[byte] > 255)) std::abort();
    for (const char* flag : {"flag", "control"})
        if (args.values.count(flag) && (args[flag] < 0 || args[flag] > 1)) std::abort();
    if (args.values.count("preset") && (args["preset"] < 1 || args["preset"] > 16)) std::abort();
    if (args.values.count("address") && (args["address"] < 0 || args["address"] > 0xFFFF)) std::abort();
    if (args.values.count("count") && (args["count"] < 0 || args["count"] > 248)) std::abort();
    if (args.data.size() > 246) std::abort();
    return 0;
}
