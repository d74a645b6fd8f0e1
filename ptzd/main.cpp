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
#include <fstream>
#include <memory>
#include <pthread.h>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <vector>

#include "cli.h"
#include "front_end.h"
#include "heads.h"
#include "http/moves.h"
#include "http/server.h"
#include "infra/log.h"
#include "native/server.h"
#include "onvif/discovery.h"
#include "onvif/events.h"
#include "onvif/server.h"
#include "visca/server.h"
#include "mqtt/gateway.h"
#include "follow/feed.h"
#include "rotctld/server.h"

namespace {

// From SIGTERM to exit: the exchanges in flight may finish for this long
// (the heads' stop motion included), a silent TCP head's is then cut short;
// whatever still hangs at the last limit is left to the end of the process.
constexpr auto kStopExchanges = std::chrono::milliseconds(1000);
constexpr auto kStopWorkers = std::chrono::milliseconds(1300);
constexpr auto kStopAtLatest = std::chrono::milliseconds(1900);

// A secret from its file's first line; "credential:NAME" is systemd's
// credential NAME ($CREDENTIALS_DIRECTORY/NAME, from LoadCredential=).
bool ReadSecret(const std::string& where, std::string& secret) {
    std::string path = where;
    if (where.rfind("credential:", 0) == 0) {
        const char* dir = std::getenv("CREDENTIALS_DIRECTORY");
        if (dir == nullptr) {
            ptzd::Log(ptzd::Level::Error, "mqtt: password_file " + where + ": no systemd credentials (CREDENTIALS_DIRECTORY is not set)");
            return false;
        }
        path = std::string(dir) + "/" + where.substr(11);
    }
    std::ifstream file(path);
    if (!file || !std::getline(file, secret)) {
        ptzd::Log(ptzd::Level::Error, "mqtt: cannot read the password from " + path);
        return false;
    }
    if (!secret.empty() && secret.back() == '\r') secret.pop_back();
    return true;
}

std::string Where(const std::optional<ptzd::Address>& a) { return a ? a->host + ":" + std::to_string(a->port) : ""; }

// What a head's own front ends are given, from its part of the file.
ptzd::HeadFrontEnds FrontEndsOf(const ptzd::HeadConfig& h, const std::string& stateBase, const std::string& gateway) {
    ptzd::HeadFrontEnds f;
    const size_t perSource = ptzd::SourceCounts::Setting(h.maxConnectionsPerSource);
    f.native = h.listen;
    f.nativeLimits = {static_cast<size_t>(h.maxClients), perSource};
    f.visca = {h.viscaUdp, h.viscaTcp, h.viscaUdpRaw};
    f.viscaLimits = {static_cast<size_t>(h.viscaMaxClients), 64, std::chrono::seconds(h.viscaIdleSeconds), perSource};
    f.camera = {h.viscaUnitsPerDegree};
    f.onvif = h.onvif;
    if (f.onvif) f.onvif->gateway = gateway;
    f.onvifState = stateBase.empty() ? "" : stateBase + ".onvif.json";
    f.listing = {Where(h.listen), Where(h.viscaUdp), Where(h.viscaTcp),
                 Where(h.onvif ? std::optional<ptzd::Address>(h.onvif->address) : std::nullopt), h.mapping, h.statusLabels,
                 h.snapshot, Where(h.viscaUdpRaw)};
    return f;
}

}  // namespace

int main(int argc, char** argv) {
    const ptzd::CommandLine cli = ptzd::ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    std::fputs(cli.err.c_str(), stderr);
    std::fputs(cli.out.c_str(), stdout);
    if (!cli.run) return cli.exitCode;
    const ptzd::Config& config = cli.config;
    ptzd::SetLogLevel(cli.verbose                ? ptzd::Level::Debug
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

    // The heads: a worker, an event bus and a motion service each. Each bus
    // has room for every subscriber the front ends allow a head (its ONVIF
    // pull points, every live stream, a few more).
    ptzd::Heads heads(ptzd::onvif::PullPoints::kMaxPullPoints + static_cast<size_t>(ptzd::kMaxStreams) + 8);
    const std::string gateway = ptzd::GatewayName(config);
    for (const auto& h : config.heads) {
        const std::string base = config.stateDir.empty() ? "" : config.stateDir + "/" + h.name;
        heads.Add(h.name, h.link, h.motion,
                  {base.empty() ? "" : base + ".presets.json", base.empty() ? "" : base + ".tours.json",
                   base.empty() ? "" : base + ".pose.json"},
                  FrontEndsOf(h, base, gateway));
        heads.all().back().motion->SetPose(h.pose);
        heads.all().back().motion->ConfigureFollow(h.following);
    }

    // The front ends, in the order they are bound and started (and VISCA's
    // cameras, which outlive their servers).
    std::vector<std::unique_ptr<ptzd::visca::Camera>> cameras;
    std::vector<std::unique_ptr<ptzd::FrontEnd>> frontEnds;
    std::vector<const ptzd::visca::Server*> visca;
    for (const ptzd::Head& head : heads.all()) {
        const ptzd::HeadFrontEnds& f = head.frontEnds;
        if (f.native) frontEnds.push_back(std::make_unique<ptzd::NativePort>(*head.worker, *f.native, f.nativeLimits));
        if (f.visca.udp || f.visca.tcp || f.visca.udpRaw) {
            cameras.push_back(std::make_unique<ptzd::visca::Camera>(*head.motion, f.camera));
            auto server = std::make_unique<ptzd::visca::Server>(*cameras.back(), head.name(), f.viscaLimits, f.visca);
            visca.push_back(server.get());
            frontEnds.push_back(std::move(server));
        }
    }
    auto http = std::make_unique<ptzd::HttpServer>(
        heads.Workers(),
        ptzd::HttpSettings{config.token, config.httpHosts, config.http, static_cast<size_t>(config.httpMaxConnections),
                           ptzd::SourceCounts::Setting(config.maxConnectionsPerSource)},
        heads.Motions(), heads.Listings());
    if (!visca.empty())
        http->AddMetrics([visca](std::string& out) { ptzd::visca::RenderMetrics(visca, out); });
    // rotctld: a head as an antenna rotator.
    for (size_t i = 0; i < config.heads.size(); ++i)
        if (config.heads[i].rotctld) {
            ptzd::rotctld::Settings r = *config.heads[i].rotctld;
            r.perSource = ptzd::SourceCounts::Setting(config.heads[i].maxConnectionsPerSource);
            frontEnds.push_back(std::make_unique<ptzd::rotctld::Server>(*heads.all()[i].motion, r));
        }
    // Feeds of moving targets to follow.
    for (size_t i = 0; i < config.heads.size(); ++i)
        if (config.heads[i].follow) {
            ptzd::follow::Settings f = *config.heads[i].follow;
            f.perSource = ptzd::SourceCounts::Setting(config.heads[i].maxConnectionsPerSource);
            frontEnds.push_back(std::make_unique<ptzd::follow::Feed>(*heads.all()[i].motion, f));
        }
    // MQTT: every head, over its motion service, through one broker.
    if (config.mqtt) {
        std::string password;
        if (!config.mqtt->passwordFile.empty() && !ReadSecret(config.mqtt->passwordFile, password)) return 1;
        auto mqtt = std::make_unique<ptzd::mqtt::Gateway>(
            *config.mqtt, config.mqtt->gateway.empty() ? ptzd::GatewayName(config) : config.mqtt->gateway, password,
            heads.Motions(), config.stateDir.empty() ? "" : config.stateDir + "/mqtt.json");
        const ptzd::mqtt::Gateway* g = mqtt.get();
        http->AddMetrics([g](std::string& out) { g->Metrics(out); });
        frontEnds.push_back(std::move(mqtt));
    }
    if (config.httpEnabled) frontEnds.push_back(std::move(http));
    // ONVIF: each head that asks for it is a device of its own, over the
    // head's motion service; its PTZ settings live in the state directory.
    std::vector<ptzd::onvif::Service*> discoverable;
    for (const ptzd::Head& head : heads.all()) {
        if (!head.frontEnds.onvif) continue;
        auto server = std::make_unique<ptzd::onvif::Server>(*head.motion, *head.frontEnds.onvif, head.frontEnds.onvifState);
        discoverable.push_back(&server->service());
        frontEnds.push_back(std::move(server));
    }
    if (!discoverable.empty()) frontEnds.push_back(std::make_unique<ptzd::onvif::Discovery>(discoverable));

    for (auto& f : frontEnds)
        if (!f->Bind()) return 1;
    heads.Start();
    for (auto& f : frontEnds) f->Start();
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
    // 1. Stop accepting: Bye; no front end takes a new connection or request
    //    (answers being prepared are still sent), the live streams and
    //    waits for events end; the native ports close (their clients after
    //    the exchange in flight) and every queued call fails at once.
    for (auto f = frontEnds.rbegin(); f != frontEnds.rend(); ++f) (*f)->BeginStop();
    heads.BeginStop(since + kStopExchanges);
    // 2. Stop what moves (calls made now still reach the heads).
    heads.StopMotion();
    // 3. Stop the workers: the exchange in flight finishes, the links close.
    heads.Stop(since + kStopWorkers);
    // 4. The front ends' handlers, whose calls have all returned by now.
    for (auto f = frontEnds.rbegin(); f != frontEnds.rend(); ++f) (*f)->Join();
    ptzd::Log(ptzd::Level::Info, "stopped");
    return 0;
}
