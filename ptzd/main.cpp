// ptzd: shares pan/tilt heads over the network. Each head is owned by one
// worker; clients reach it through the head's own protocol on TCP, the HTTP
// API, the control page and the metrics.
//
//   ptzd --config /etc/ptzd/site.toml
//   ptzd --head roof=serial:/dev/ttyUSB0 --listen 127.0.0.1:4001 --http 127.0.0.1:8080
//   ptzd --check-config site.toml
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <pthread.h>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "config/config.h"
#include "worker/head_worker.h"
#include "http/moves.h"
#include "http/server.h"
#include "infra/listener.h"
#include "infra/log.h"
#include "native/server.h"
#include "motion/motion.h"
#include "onvif/events.h"
#include "onvif/server.h"
#include "visca/server.h"

namespace {

// From SIGTERM to exit: the exchanges in flight may finish for this long
// (the heads' stop motion included), a silent TCP head's is then cut short;
// whatever still hangs at the last limit is left to the end of the process.
constexpr auto kStopExchanges = std::chrono::milliseconds(1000);
constexpr auto kStopWorkers = std::chrono::milliseconds(1300);
constexpr auto kStopAtLatest = std::chrono::milliseconds(1900);

void Usage() {
    std::puts(
        "usage: ptzd --config FILE [--verbose]\n"
        "       ptzd --head NAME=LINK [--listen HOST:PORT] [--http HOST:PORT|off] [--token T] [--verbose]\n"
        "       ptzd --check-config FILE\n"
        "--state-dir DIR keeps state (ONVIF preset names) in DIR: default the configuration's\n"
        "state_dir, else $STATE_DIRECTORY (systemd's StateDirectory=), else the configuration's folder.\n"
        "LINK is serial:/dev/ttyUSB0, com:3 or tcp:HOST:PORT. --listen serves the head's own\n"
        "protocol (for PTZ_LanOpen hosts); --http serves the API, the page and /metrics\n"
        "(default 127.0.0.1:8080). --verbose traces every frame. Stops cleanly on SIGTERM.");
}

}  // namespace

int main(int argc, char** argv) {
    ptzd::Config config;
    std::string configFile, checkFile;
    bool verbose = false;
    ptzd::HeadConfig single;
    bool haveSingle = false;
    std::string singleListen, httpOption, tokenOption, stateDirOption;
    bool haveToken = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "ptzd: %s needs a value\n", a.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--config") configFile = value();
        else if (a == "--check-config") checkFile = value();
        else if (a == "--verbose") verbose = true;
        else if (a == "--head") {
            std::string why;
            if (!ptzd::ParseHeadOption(value(), single, why)) {
                std::fprintf(stderr, "ptzd: %s\n", why.c_str());
                return 2;
            }
            haveSingle = true;
        } else if (a == "--listen") singleListen = value();
        else if (a == "--http") httpOption = value();
        else if (a == "--token") {
            tokenOption = value();
            haveToken = true;
        } else if (a == "--state-dir") stateDirOption = value();
        else if (a == "--help" || a == "-h") {
            Usage();
            return 0;
        } else {
            std::fprintf(stderr, "ptzd: unknown option %s\n", a.c_str());
            Usage();
            return 2;
        }
    }

    if (!checkFile.empty() || !configFile.empty()) {
        const std::string file = checkFile.empty() ? configFile : checkFile;
        std::vector<std::string> errors;
        if (!ptzd::LoadConfig(file, config, errors)) {
            for (const auto& e : errors) std::fprintf(stderr, "%s\n", e.c_str());
            return 1;
        }
        if (!checkFile.empty()) {
            std::printf("%s: configuration is valid (%zu head%s)\n", file.c_str(), config.heads.size(),
                        config.heads.size() == 1 ? "" : "s");
            return 0;
        }
    } else if (haveSingle) {
        if (!singleListen.empty()) {
            ptzd::Address a;
            if (!ptzd::ParseAddress(singleListen, a)) {
                std::fprintf(stderr, "ptzd: --listen takes HOST:PORT\n");
                return 2;
            }
            a.where = "--listen";
            single.listen = a;
        }
        config.heads.push_back(single);
    } else {
        Usage();
        return 2;
    }
    if (!httpOption.empty()) {
        config.httpEnabled = httpOption != "off";
        if (config.httpEnabled && !ptzd::ParseAddress(httpOption, config.http)) {
            std::fprintf(stderr, "ptzd: --http takes HOST:PORT or off\n");
            return 2;
        }
        config.http.where = "--http";
    }
    if (haveToken && tokenOption.empty()) {
        std::fprintf(stderr, "ptzd: --token must not be empty\n");
        return 2;
    }
    if (haveToken) config.token = tokenOption;
    if (!stateDirOption.empty()) {
        config.stateDir = std::filesystem::absolute(stateDirOption).string();
        config.stateDirWhere = "--state-dir";
    }
    // The whole configuration again, with what the command line changed.
    std::vector<std::string> problems;
    if (!ptzd::CheckConfig(config, problems)) {
        for (const auto& e : problems) std::fprintf(stderr, "%s\n", e.c_str());
        return 1;
    }
    ptzd::SetLogLevel(verbose ? ptzd::Level::Debug
                      : config.log == "error" ? ptzd::Level::Error
                      : config.log == "warn"  ? ptzd::Level::Warn
                      : config.log == "debug" ? ptzd::Level::Debug
                                              : ptzd::Level::Info);

    // SIGINT and SIGTERM wait for the main thread's sigwait: blocked here,
    // before any thread starts, so that every thread inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    // Every client costs a descriptor: take all the hard limit allows (the
    // soft limit is often kept low for select(), which ptzd does not use).
    if (rlimit files{}; ::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &files);
    }

    std::vector<std::unique_ptr<ptzd::HeadWorker>> heads;
    std::vector<std::unique_ptr<ptzd::NativeServer>> native;
    std::vector<ptzd::HeadWorker*> pointers;
    for (const auto& h : config.heads) {
        heads.push_back(std::make_unique<ptzd::HeadWorker>(h.name, h.link));
        pointers.push_back(heads.back().get());
        if (!h.listen) continue;
        native.push_back(std::make_unique<ptzd::NativeServer>(
            *heads.back(), ptzd::NativeLimits{static_cast<size_t>(h.maxClients), static_cast<size_t>(h.maxConnectionsPerSource)}));
        if (!native.back()->Listen(*h.listen)) return 1;
        heads.back()->Attach(native.back().get());
    }
    // Each head's motion service (units, limits, moves, shared state,
    // events, presets, tours), under every front end that speaks in moves.
    // Each head its own event bus, room enough for every subscriber the
    // front ends allow it (its ONVIF pull points, every live stream, a few
    // more): one head's subscribers never take another's place.
    constexpr size_t kSubscribersPerHead =
        ptzd::onvif::PullPoints::kMaxPullPoints + static_cast<size_t>(ptzd::kMaxStreams) + 8;
    std::vector<std::unique_ptr<ptzd::motion::EventBus>> buses;
    std::vector<std::unique_ptr<ptzd::motion::Motion>> motions;
    std::vector<ptzd::motion::Motion*> motionPointers;
    for (size_t i = 0; i < heads.size(); ++i) {
        const auto& h = config.heads[i];
        const std::string base = config.stateDir.empty() ? "" : config.stateDir + "/" + h.name;
        buses.push_back(std::make_unique<ptzd::motion::EventBus>(kSubscribersPerHead));
        motions.push_back(std::make_unique<ptzd::motion::Motion>(
            *heads[i], h.motion, *buses.back(),
            ptzd::motion::Motion::Files{base.empty() ? "" : base + ".presets.json", base.empty() ? "" : base + ".tours.json"}));
        motionPointers.push_back(motions.back().get());
    }
    // VISCA: a camera per head that has a VISCA listener.
    std::vector<std::unique_ptr<ptzd::visca::Camera>> cameras;
    std::vector<std::unique_ptr<ptzd::visca::Server>> visca;
    for (size_t i = 0; i < heads.size(); ++i) {
        const auto& h = config.heads[i];
        if (!h.viscaUdp && !h.viscaTcp) continue;
        cameras.push_back(std::make_unique<ptzd::visca::Camera>(*motions[i], ptzd::visca::CameraConfig{h.viscaUnitsPerDegree}));
        visca.push_back(std::make_unique<ptzd::visca::Server>(
            *cameras.back(), h.name, ptzd::visca::ServerLimits{static_cast<size_t>(h.viscaMaxClients), 64,
                                                      std::chrono::seconds(h.viscaIdleSeconds),
                                                      static_cast<size_t>(h.maxConnectionsPerSource)}));
        if (h.viscaUdp && !visca.back()->ListenUdp(*h.viscaUdp)) return 1;
        if (h.viscaTcp && !visca.back()->ListenTcp(*h.viscaTcp)) return 1;
    }
    std::vector<ptzd::HeadListing> listings;
    for (const auto& h : config.heads) {
        auto where = [](const std::optional<ptzd::Address>& a) { return a ? a->host + ":" + std::to_string(a->port) : ""; };
        listings.push_back({where(h.listen), where(h.viscaUdp), where(h.viscaTcp),
                            where(h.onvif ? std::optional<ptzd::Address>(h.onvif->address) : std::nullopt), h.mapping,
                            h.statusLabels, h.snapshot});
    }
    ptzd::HttpServer http(pointers,
                          ptzd::HttpSettings{config.token, config.httpHosts, config.http.host,
                                             static_cast<size_t>(config.httpMaxConnections),
                                             static_cast<size_t>(config.maxConnectionsPerSource)},
                          motionPointers, std::move(listings));
    if (!visca.empty())
        http.AddMetrics([&visca](std::string& out) {
            std::vector<const ptzd::visca::Server*> all;
            for (const auto& v : visca) all.push_back(v.get());
            ptzd::visca::RenderMetrics(all, out);
        });
    if (config.httpEnabled && !http.Listen(config.http)) return 1;
    // ONVIF: each head that asks for it is a device of its own, over the
    // head's motion service; its PTZ settings live in the state directory.
    std::vector<std::unique_ptr<ptzd::onvif::Server>> onvif;
    std::vector<ptzd::onvif::Service*> discoverable;
    for (size_t i = 0; i < heads.size(); ++i) {
        const auto& h = config.heads[i];
        if (!h.onvif) continue;
        const std::string state = config.stateDir.empty() ? "" : config.stateDir + "/" + h.name + ".onvif.json";
        onvif.push_back(std::make_unique<ptzd::onvif::Server>(*motions[i], *h.onvif, state));
        if (!onvif.back()->Listen()) return 1;
        discoverable.push_back(&onvif.back()->service());
    }
    ptzd::onvif::Discovery discovery(discoverable);
    for (auto& h : heads) h->Start();
    for (auto& m : motions) m->Start();
    for (auto& v : visca) v->Start();
    if (config.httpEnabled) http.Start();
    for (auto& o : onvif) o->Start();
    if (!discoverable.empty()) discovery.Start();
    ptzd::Log(ptzd::Level::Info, "ptzd running with " + std::to_string(heads.size()) + " head(s)");

    for (int signal = 0; signal != SIGINT && signal != SIGTERM;)
        if (sigwait(&stopSignals, &signal) != 0) signal = 0;

    const auto since = std::chrono::steady_clock::now();
    ptzd::Log(ptzd::Level::Info, "stopping");
    std::thread([since] {
        std::this_thread::sleep_until(since + kStopAtLatest);
        ptzd::Log(ptzd::Level::Error, "still stopping after " + std::to_string(kStopAtLatest.count()) +
                                          " ms; exiting without waiting any longer");
        std::_Exit(1);
    }).detach();
    // 1. Stop accepting: Bye; the HTTP and ONVIF listeners stop reading
    //    (answers being prepared are still sent); the native ports close
    //    (their clients after the exchange in flight) and every queued
    //    call fails at once.
    discovery.Stop();
    http.EndStreams();
    http.listener().Shutdown();
    for (auto& v : visca) v->Stop();
    for (auto& o : onvif) o->listener().Shutdown();
    for (auto& b : buses) b->Close();  // ONVIF PullMessages waiting for events answer now
    for (auto& h : heads) h->BeginStop(since + kStopExchanges);
    // 2. Stop what moves (calls made now still reach the heads).
    for (auto& o : onvif) o->service().StopAll();
    for (auto& m : motions) m->StopAll();
    // 3. Stop the workers: the exchange in flight finishes, the links close.
    for (auto& h : heads) h->Stop(since + kStopWorkers);
    // 4. The listeners' handlers, whose calls have all returned by now.
    for (auto& o : onvif) o->listener().Join();
    http.listener().Join();
    ptzd::Log(ptzd::Level::Info, "stopped");
    return 0;
}
