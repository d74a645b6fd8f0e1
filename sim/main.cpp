// ptz-sim: a simulated pan/tilt head on TCP loopback or a pseudo-terminal.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>
#include <unistd.h>

#include "head.h"
#include "server.h"

namespace {

volatile std::sig_atomic_t stopRequested = 0;
void OnSignal(int) { stopRequested = 1; }

void Usage() {
    std::puts(
        "usage: ptz-sim [--listen HOST:PORT | --pty] [options]\n"
        "  --listen HOST:PORT  serve TCP (port 0 picks a free port; default 127.0.0.1:0;\n"
        "                      an IPv6 host in brackets: [::1]:0)\n"
        "  --pty               serve the serial protocol on a new pseudo-terminal\n"
        "  --heads N           serve N independent heads (N ports from PORT on, or N\n"
        "                      pseudo-terminals); one line per head is printed\n"
        "  --control HOST:PORT also take control commands (scripts, faults) for the\n"
        "                      first head on this port\n"
        "  --eeprom FILE       keep burned EEPROM contents in FILE\n"
        "  --trace             print every frame in both directions\n"
        "  --pace BAUD         send bytes at the wire rate of BAUD (10 bits per byte)\n"
        "  --instant           moves arrive at once (default: motors move at 50 units\n"
        "                      per second per step of their speed, status byte 1 is\n"
        "                      0x01 while pan or tilt moves)\n"
        "faults:\n"
        "  --nak N             answer NAK to the first N requests\n"
        "  --bad-ack           answer 0x06 instead of a response\n"
        "  --silent            never answer\n"
        "  --truncate          leave off the last byte of every response\n"
        "  --delay-ms MS       answer MS milliseconds late\n"
        "  --pieces            send every response in three pieces\n"
        "  --refuse CODE|all   refuse command CODE (e.g. 0x92), or every command, with status 1\n"
        "  --short-refusal     refuse with a bare frame (no data bytes) instead of a full-length one");
}

}  // namespace

int main(int argc, char** argv) {
    std::string listen = "127.0.0.1:0";
    std::string eeprom;
    std::string control;
    bool pty = false;
    bool trace = false;
    int pace = 0;
    int heads = 1;
    bool instant = false;
    ptzsim::Faults faults;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "ptz-sim: %s needs a value\n", a.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--listen") listen = value();
        else if (a == "--pty") pty = true;
        else if (a == "--control") control = value();
        else if (a == "--eeprom") eeprom = value();
        else if (a == "--trace") trace = true;
        else if (a == "--pace") pace = std::atoi(value());
        else if (a == "--heads") heads = std::atoi(value());
        else if (a == "--instant") instant = true;
        else if (a == "--nak") faults.nak = std::atoi(value());
        else if (a == "--bad-ack") faults.badAck = true;
        else if (a == "--silent") faults.silent = true;
        else if (a == "--truncate") faults.truncate = true;
        else if (a == "--delay-ms") faults.delayMs = std::atoi(value());
        else if (a == "--pieces") faults.pieces = true;
        else if (a == "--short-refusal") faults.shortRefusal = true;
        else if (a == "--refuse") {
            const std::string code = value();
            faults.refuseCode = code == "all" ? ptzsim::HeadModel::kRefuseAll
                                              : static_cast<int>(std::strtol(code.c_str(), nullptr, 0));
        }
        else if (a == "--help" || a == "-h") {
            Usage();
            return 0;
        } else {
            std::fprintf(stderr, "ptz-sim: unknown option %s\n", a.c_str());
            Usage();
            return 2;
        }
    }
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    std::signal(SIGPIPE, SIG_IGN);

    if (heads < 1 || heads > 256) {
        std::fprintf(stderr, "ptz-sim: --heads takes 1 to 256\n");
        return 2;
    }
    // Every head is a model of its own, with its own link; burned EEPROM
    // contents of head k > 1 go to FILE.k.
    std::vector<std::unique_ptr<ptzsim::Head>> models;
    std::vector<std::unique_ptr<ptzsim::Transport>> links;
    ptzsim::TcpServer* firstTcp = nullptr;
    const size_t colon = listen.rfind(':');
    std::string host = colon == std::string::npos ? listen : listen.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    const int port = colon == std::string::npos ? 0 : std::atoi(listen.c_str() + colon + 1);
    for (int k = 0; k < heads; ++k) {
        const std::string file = eeprom.empty() || k == 0 ? eeprom : eeprom + "." + std::to_string(k + 1);
        auto& head = *models.emplace_back(std::make_unique<ptzsim::Head>(file));
        head.SetFaults(faults);
        head.WithModel([&](ptzsim::HeadModel& model) { model.motion = !instant; });
        if (trace) head.SetTrace(stderr);
        if (pty) {
            auto serial = std::make_unique<ptzsim::PtyServer>(head);
            serial->SetPace(pace);
            const std::string path = serial->Start();
            if (path.empty()) {
                std::perror("ptz-sim: cannot create a pseudo-terminal");
                return 1;
            }
            std::printf("pty %s\n", path.c_str());
            links.push_back(std::move(serial));
        } else {
            auto tcp = std::make_unique<ptzsim::TcpServer>(head);
            tcp->SetPace(pace);
            const int bound = tcp->Start(host, port == 0 ? 0 : port + k);
            if (bound < 0) {
                std::perror("ptz-sim: cannot listen");
                return 1;
            }
            std::printf("listening on %s:%d\n", host.c_str(), bound);
            if (firstTcp == nullptr) firstTcp = tcp.get();
            links.push_back(std::move(tcp));
        }
    }
    ptzsim::ControlServer controller(*models.front(), firstTcp);
    if (!control.empty()) {
        const size_t at = control.rfind(':');
        const std::string controlHost = control.substr(0, at);
        const int bound = controller.Start(controlHost, std::atoi(control.c_str() + at + 1));
        if (bound < 0) {
            std::perror("ptz-sim: cannot listen for control");
            return 1;
        }
        std::printf("control on %s:%d\n", controlHost.c_str(), bound);
    }
    std::fflush(stdout);
    while (!stopRequested) ::usleep(100000);
    controller.Stop();
    for (auto& link : links) link->Stop();
    return 0;
}
