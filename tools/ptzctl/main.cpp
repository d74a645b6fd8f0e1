// ptzctl: every export of the ptz library as a subcommand.
//
//   ptzctl --host 127.0.0.1 --port 4001 init
//   ptzctl --sim pt-set 1 1000 -500 pt-get      (several commands in one link)
//   ptzctl --serial /dev/ttyUSB0 status
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ptz.h"
#include "simulator.h"

namespace {

// The link every subcommand works on.
int32_t theLink = 0;

struct Args {
    std::vector<std::string> items;
    size_t next = 0;
};

bool ParseInt(const std::string& text, int32_t* value) {
    errno = 0;
    char* end = nullptr;
    const long long v = std::strtoll(text.c_str(), &end, 0);
    if (errno != 0 || end == text.c_str() || *end != '\0' || v < INT32_MIN || v > UINT32_MAX) return false;
    *value = static_cast<int32_t>(static_cast<uint32_t>(v));
    return true;
}

struct Subcommand {
    const char* name;
    const char* arguments;
    const char* help;
    int argc;
    std::function<int32_t(const int32_t* a, const std::vector<std::string>& raw)> run;
};

bool ParseHex(const std::string& text, std::vector<uint8_t>* bytes) {
    std::string digits;
    for (char c : text)
        if (c != ' ' && c != ':' && c != '-') digits += c;
    if (digits.rfind("0x", 0) == 0) digits = digits.substr(2);
    if (digits.size() % 2 != 0) return false;
    for (size_t i = 0; i < digits.size(); i += 2) {
        char* end = nullptr;
        const std::string pair = digits.substr(i, 2);
        const long v = std::strtol(pair.c_str(), &end, 16);
        if (*end != '\0') return false;
        bytes->push_back(static_cast<uint8_t>(v));
    }
    return true;
}

void PrintHexDump(int32_t address, const uint8_t* bytes, int32_t count) {
    for (int32_t row = 0; row < count; row += 16) {
        std::printf("%04X ", static_cast<unsigned>((address + row) & 0xFFFF));
        for (int32_t i = row; i < row + 16 && i < count; ++i) std::printf(" %02X", bytes[i]);
        std::printf("\n");
    }
}

std::vector<Subcommand> Subcommands() {
    return {
        {"init", "", "initialise the head's controller", 0,
         [](const int32_t*, auto&) { return PTZ_LinkExecInitialize(theLink); }},
        {"info", "", "system information texts", 0,
         [](const int32_t*, auto&) {
             PTZ_SYSTEM_INFO info;
             const int32_t r = PTZ_LinkGetSystemInfo(theLink, &info);
             if (r == PTZ_OK) std::printf("text0: %s\ntext1: %s\ntext2: %s\n", info.text0, info.text1, info.text2);
             return r;
         }},
        {"settings", "", "the four setting values", 0,
         [](const int32_t*, auto&) {
             PTZ_SYSTEM_SETTING_INFO s;
             const int32_t r = PTZ_LinkGetSystemSettingInfo(theLink, &s);
             if (r == PTZ_OK)
                 std::printf("setting0 %d\nsetting1 %d\nsetting2 %d\nsetting3 %d\n", s.setting0, s.setting1,
                             s.setting2, s.setting3);
             return r;
         }},
        {"status", "", "the four status flags", 0,
         [](const int32_t*, auto&) {
             PTZ_STATUS s;
             const int32_t r = PTZ_LinkGetPTZStatus(theLink, &s);
             if (r == PTZ_OK)
                 std::printf("flag0 %d\nflag1 %d\nflag2 %d\nflag3 %d\n", s.flag0, s.flag1, s.flag2, s.flag3);
             return r;
         }},
        {"motor-home", "M", "run motor M's home-position operation", 1,
         [](const int32_t* a, auto&) { return PTZ_LinkExecMotorHP(theLink, a[0]); }},
        {"motor-set", "M PARAM POS", "move motor M to position POS", 3,
         [](const int32_t* a, auto&) { return PTZ_LinkSetMotorPos(theLink, a[0], a[1], a[2]); }},
        {"motor-get", "M", "read motor M's position", 1,
         [](const int32_t* a, auto&) {
             int32_t position = 0;
             const int32_t r = PTZ_LinkGetMotorPos(theLink, a[0], &position);
             if (r == PTZ_OK) std::printf("position %d\n", position);
             return r;
         }},
        {"motor-act", "M PARAM", "drive motor M with PARAM", 2,
         [](const int32_t* a, auto&) { return PTZ_LinkActMotor(theLink, a[0], a[1]); }},
        {"motor-stop", "M", "stop motor M", 1, [](const int32_t* a, auto&) { return PTZ_LinkStopMotor(theLink, a[0]); }},
        {"speed-get", "M", "read motor M's speed (M is 0 or 4)", 1,
         [](const int32_t* a, auto&) {
             int32_t speed = 0;
             const int32_t r = PTZ_LinkGetMotorSpeed(theLink, a[0], &speed);
             if (r == PTZ_OK) std::printf("speed %d\n", speed);
             return r;
         }},
        {"speed-set", "M S", "set motor M's speed to S", 2,
         [](const int32_t* a, auto&) { return PTZ_LinkSetMotorSpeed(theLink, a[0], a[1]); }},
        {"pt-set", "PARAM PAN TILT", "move pan and tilt together", 3,
         [](const int32_t* a, auto&) { return PTZ_LinkSetPTPos(theLink, a[0], a[1], a[2]); }},
        {"pt-get", "", "read the pan/tilt position", 0,
         [](const int32_t*, auto&) {
             int32_t pan = 0, tilt = 0;
             const int32_t r = PTZ_LinkGetPTPos(theLink, &pan, &tilt);
             if (r == PTZ_OK) std::printf("pan %d\ntilt %d\n", pan, tilt);
             return r;
         }},
        {"sync-get", "", "read the pan/tilt synchronisation mode", 0,
         [](const int32_t*, auto&) {
             int32_t mode = 0;
             const int32_t r = PTZ_LinkGetPanTiltSyncMode(theLink, &mode);
             if (r == PTZ_OK) std::printf("mode %d\n", mode);
             return r;
         }},
        {"sync-set", "MODE", "set the synchronisation mode (0 or 1)", 1,
         [](const int32_t* a, auto&) { return PTZ_LinkSetPanTiltSyncMode(theLink, a[0]); }},
        {"home-set", "FLAG", "store the user home position (FLAG 0 or 1)", 1,
         [](const int32_t* a, auto&) { return PTZ_LinkSetUserHP(theLink, a[0]); }},
        {"home-go", "", "move to the user home position", 0,
         [](const int32_t*, auto&) { return PTZ_LinkMoveUserHP(theLink); }},
        {"preset-set", "N FLAG", "store preset N (1-16)", 2,
         [](const int32_t* a, auto&) { return PTZ_LinkSetPresetPos(theLink, a[0], a[1]); }},
        {"preset-go", "N", "move to preset N (1-16)", 1,
         [](const int32_t* a, auto&) { return PTZ_LinkMovePresetPos(theLink, a[0]); }},
        {"autoreturn-get", "", "read the automatic-return value", 0,
         [](const int32_t*, auto&) {
             int32_t value = 0;
             const int32_t r = PTZ_LinkGetAutoReturn(theLink, &value);
             if (r == PTZ_OK) std::printf("autoreturn %d\n", value);
             return r;
         }},
        {"autoreturn-set", "V", "set the automatic-return value", 1,
         [](const int32_t* a, auto&) { return PTZ_LinkSetAutoReturn(theLink, a[0]); }},
        {"autopan", "MODE", "automatic panning (MODE 0 stop, 2 start)", 1,
         [](const int32_t* a, auto&) { return PTZ_LinkExecAutoPan(theLink, a[0], 0, 0); }},
        {"ir-set", "V", "set the infrared control (0 or 1)", 1,
         [](const int32_t* a, auto&) { return PTZ_LinkSetIrControl(theLink, a[0]); }},
        {"eep-read", "ADDR COUNT", "read COUNT (0-248) EEPROM bytes, as a hex dump", 2,
         [](const int32_t* a, auto&) {
             uint8_t buffer[256];
             const int32_t count = a[1];
             const int32_t r = PTZ_LinkEepRead(theLink, a[0], count, count >= 0 && count <= 248 ? buffer : nullptr);
             if (r == PTZ_OK) PrintHexDump(a[0], buffer, count);
             return r;
         }},
        {"eep-write", "ADDR HEXBYTES", "write bytes given in hex (\"0102AB\")", -2,
         [](const int32_t* a, const std::vector<std::string>& raw) {
             std::vector<uint8_t> bytes;
             if (!ParseHex(raw[1], &bytes)) {
                 std::fprintf(stderr, "ptzctl: '%s' is not a run of hex bytes\n", raw[1].c_str());
                 return PTZ_BAD_PARAM;
             }
             return PTZ_LinkEepWrite(theLink, a[0], static_cast<int32_t>(bytes.size()), bytes.data());
         }},
        {"eep-burn", "", "commit the EEPROM", 0, [](const int32_t*, auto&) { return PTZ_LinkEepBurn(theLink); }},
        {"last-error", "", "show the last-error record", 0,
         [](const int32_t*, auto&) {
             int32_t kind = 0, code = 0;
             PTZ_LinkLastError(&kind, &code);
             char text[256];
             PTZ_GetErrorText(kind, code, text, sizeof text);
             std::printf("last error: kind %d, code %d: %s\n", kind, code, text);
             return PTZ_OK;
         }},
    };
}

void Usage(const std::vector<Subcommand>& subcommands) {
    std::printf(
        "usage: ptzctl LINK COMMAND [ARGS] [COMMAND [ARGS] ...]\n"
        "links:\n"
        "  --host H --port P   TCP link to a head (or ptz-sim, or ptzd); H is an IPv4 or\n"
        "                      IPv6 address or a host name\n"
        "  --sim               start a simulated head on loopback and use it (not in\n"
        "                      Windows builds: run ptz-sim elsewhere and use --host)\n"
        "  --serial PATH       serial link on a device path (/dev/ttyUSB0, a ptz-sim pty)\n"
        "  --com N             serial link on port number N (COM N; /dev/ttyS<N-1> on Linux)\n"
        "commands:\n");
    for (const auto& s : subcommands) {
        const std::string left = std::string(s.name) + (s.arguments[0] ? " " : "") + s.arguments;
        std::printf("  %-24s %s\n", left.c_str(), s.help);
    }
    std::printf("Exit status 0 when every command succeeded.\n");
}

void ExplainFailure(const char* what, int32_t result) {
    if (result == PTZ_BAD_PARAM) {
        std::printf("%s: rejected argument (PTZ_BAD_PARAM), nothing was sent\n", what);
        return;
    }
    int32_t kind = 0, code = 0;
    PTZ_LinkLastError(&kind, &code);
    char text[256];
    PTZ_GetErrorText(kind, code, text, sizeof text);
    static const char* kinds[] = {"response", "link", "operating system"};
    std::printf("%s: FAILED; last error kind %d (%s), code %d: %s\n", what, kind,
                kind >= 0 && kind <= 2 ? kinds[kind] : "?", code, text);
}

// Why a link could not be opened: the thread's record of the open.
void ExplainOpenFailure(const std::string& linkName, int32_t result, bool tcp) {
    if (result == PTZ_BAD_PARAM) {
        std::printf("open %s: rejected argument (PTZ_BAD_PARAM)\n", linkName.c_str());
        return;
    }
    int32_t kind = 0, code = 0;
    PTZ_LinkLastError(&kind, &code);
    char text[256];
    PTZ_GetErrorText(kind, code, text, sizeof text);
    std::printf("open %s: FAILED; %s (kind %d, code %d): %s\n", linkName.c_str(),
                tcp ? "could not connect" : "could not open the port", kind, code, text);
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const std::vector<Subcommand> subcommands = Subcommands();
    std::string host, serialPath;
    int32_t port = -1, com = 0;
    bool useSim = false;
    int i = 1;
    for (; i < argc && argv[i][0] == '-' && argv[i][1] == '-'; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--help") {
            Usage(subcommands);
            return 0;
        } else if (a == "--sim") {
            useSim = true;
        } else if (a == "--host" && hasValue) {
            host = argv[++i];
        } else if (a == "--port" && hasValue && ParseInt(argv[i + 1], &port)) {
            ++i;
        } else if (a == "--serial" && hasValue) {
            serialPath = argv[++i];
        } else if (a == "--com" && hasValue && ParseInt(argv[i + 1], &com)) {
            ++i;
        } else {
            std::fprintf(stderr, "ptzctl: bad option %s (try --help)\n", a.c_str());
            return 2;
        }
    }
    if (i >= argc) {
        Usage(subcommands);
        return 2;
    }

    if (useSim) {
        port = ptzctl::StartSimulator();
        if (port < 0) {
            std::fprintf(stderr, "ptzctl: cannot start the simulator (not available in this build; "
                                 "run ptz-sim and use --host/--port)\n");
            return 1;
        }
        host = "127.0.0.1";
        std::printf("simulated head listening on 127.0.0.1:%d\n", port);
    }

    int32_t opened = PTZ_FAILED;
    std::string linkName;
    if (!host.empty()) {
        linkName = "TCP " + host + ":" + std::to_string(port);
        opened = PTZ_LinkOpenLan(host.c_str(), port, &theLink);
    } else if (!serialPath.empty()) {
        linkName = "serial " + serialPath;
        opened = PTZ_LinkOpenPath(serialPath.c_str(), &theLink);
    } else if (com != 0) {
        linkName = "serial COM" + std::to_string(com);
        opened = PTZ_LinkOpenCom(com, &theLink);
    } else {
        std::fprintf(stderr, "ptzctl: give a link: --host/--port, --sim, --serial or --com\n");
        return 2;
    }
    if (opened != PTZ_OK) {
        ExplainOpenFailure(linkName, opened, !host.empty());
        ptzctl::StopSimulator();
        return 1;
    }
    std::printf("opened %s\n", linkName.c_str());

    int status = 0;
    while (i < argc) {
        const std::string name = argv[i++];
        const Subcommand* found = nullptr;
        for (const auto& s : subcommands)
            if (name == s.name) found = &s;
        if (found == nullptr) {
            std::fprintf(stderr, "ptzctl: unknown command '%s' (try --help)\n", name.c_str());
            status = 2;
            break;
        }
        const int wanted = found->argc < 0 ? -found->argc : found->argc;
        std::vector<std::string> raw;
        int32_t values[4] = {};
        bool ok = true;
        for (int k = 0; k < wanted; ++k) {
            if (i >= argc) {
                ok = false;
                break;
            }
            raw.emplace_back(argv[i++]);
            if ((found->argc >= 0 || k == 0) && !ParseInt(raw.back(), &values[k])) ok = false;
        }
        if (!ok) {
            std::fprintf(stderr, "ptzctl: usage: %s %s\n", found->name, found->arguments);
            status = 2;
            break;
        }
        const int32_t result = found->run(values, raw);
        if (result == PTZ_OK) {
            std::printf("%s: OK\n", found->name);
        } else {
            ExplainFailure(found->name, result);
            status = 1;
        }
    }

    PTZ_LinkClose(theLink);
    std::printf("closed %s\n", linkName.c_str());
    ptzctl::StopSimulator();
    return status;
}
