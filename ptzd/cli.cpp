#include "cli.h"

#include <filesystem>

namespace ptzd {

namespace {

const char* const kUsage =
    "usage: ptzd --config FILE [--verbose]\n"
    "       ptzd --head NAME=LINK [--listen HOST:PORT] [--http HOST:PORT|off] [--token T] [--verbose]\n"
    "       ptzd --check-config FILE\n"
    "--state-dir DIR keeps state (ONVIF preset names) in DIR: default the configuration's\n"
    "state_dir, else $STATE_DIRECTORY (systemd's StateDirectory=), else the configuration's folder.\n"
    "LINK is serial:/dev/ttyUSB0, com:3 or tcp:HOST:PORT. --listen serves the head's own\n"
    "protocol (for PTZ_LanOpen hosts); --http serves the API, the page and /metrics\n"
    "(default 127.0.0.1:8080). --verbose traces every frame. Stops cleanly on SIGTERM.\n";

CommandLine Exit(int code, std::string err, std::string out = "") {
    CommandLine c;
    c.exitCode = code;
    c.err = std::move(err);
    c.out = std::move(out);
    return c;
}

std::string Lines(const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& l : lines) text += l + "\n";
    return text;
}

}  // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& args) {
    CommandLine c;
    std::string configFile, checkFile, singleListen, httpOption, tokenOption, stateDirOption;
    HeadConfig single;
    bool haveSingle = false, haveToken = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const bool takesValue = a == "--config" || a == "--check-config" || a == "--head" || a == "--listen" ||
                                a == "--http" || a == "--token" || a == "--state-dir";
        if (takesValue && i + 1 >= args.size()) return Exit(2, "ptzd: " + a + " needs a value\n");
        const std::string value = takesValue ? args[++i] : "";
        if (a == "--config") configFile = value;
        else if (a == "--check-config") checkFile = value;
        else if (a == "--verbose") c.verbose = true;
        else if (a == "--head") {
            std::string why;
            if (!ParseHeadOption(value, single, why)) return Exit(2, "ptzd: " + why + "\n");
            haveSingle = true;
        } else if (a == "--listen") singleListen = value;
        else if (a == "--http") httpOption = value;
        else if (a == "--token") {
            tokenOption = value;
            haveToken = true;
        } else if (a == "--state-dir") stateDirOption = value;
        else if (a == "--help" || a == "-h") return Exit(0, "", kUsage);
        else return Exit(2, "ptzd: unknown option " + a + "\n", kUsage);
    }

    Config& config = c.config;
    if (!checkFile.empty() || !configFile.empty()) {
        const std::string file = checkFile.empty() ? configFile : checkFile;
        std::vector<std::string> errors;
        if (!LoadConfig(file, config, errors)) return Exit(1, Lines(errors));
        if (!checkFile.empty())
            return Exit(0, "", file + ": configuration is valid (" + std::to_string(config.heads.size()) + " head" +
                                   (config.heads.size() == 1 ? "" : "s") + ")\n");
    } else if (haveSingle) {
        if (!singleListen.empty()) {
            Address a;
            if (!ParseAddress(singleListen, a)) return Exit(2, "ptzd: --listen takes HOST:PORT\n");
            a.where = "--listen";
            single.listen = a;
        }
        config.heads.push_back(single);
    } else {
        return Exit(2, "", kUsage);
    }
    if (!httpOption.empty()) {
        config.httpEnabled = httpOption != "off";
        if (config.httpEnabled && !ParseAddress(httpOption, config.http))
            return Exit(2, "ptzd: --http takes HOST:PORT or off\n");
        config.http.where = "--http";
    }
    if (haveToken && tokenOption.empty()) return Exit(2, "ptzd: --token must not be empty\n");
    if (haveToken) config.token = tokenOption;
    if (!stateDirOption.empty()) {
        config.stateDir = std::filesystem::absolute(stateDirOption).string();
        config.stateDirWhere = "--state-dir";
    }
    // The whole configuration again, with what the command line changed.
    std::vector<std::string> problems;
    if (!CheckConfig(config, problems)) return Exit(1, Lines(problems));
    c.run = true;
    return c;
}

}  // namespace ptzd
