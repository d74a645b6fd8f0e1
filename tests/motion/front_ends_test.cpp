// Every kind of front end through the one lifecycle ptzd runs them by, in
// every order: bound, started, serving, stopped, joined.
#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <memory>
#include <mutex>
#include <thread>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "cli.h"
#include "heads.h"
#include "infra/listener.h"
#include "http/server.h"
#include "motion_support.h"
#include "native/server.h"
#include "onvif/server.h"
#include "visca/server.h"

namespace {

using namespace motiontest;

// The status line of a GET on loopback, "" when nothing came.
std::string StatusOf(int port, const std::string& path) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    timeval limit{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string answer;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
        const std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
        if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
            char buffer[256];
            for (ssize_t n; answer.find("\r\n") == std::string::npos && (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
                answer.append(buffer, static_cast<size_t>(n));
        }
    }
    ::close(fd);
    return answer.substr(0, answer.find("\r\n"));
}

TEST(FrontEnds, EveryKindStartsAndStopsInAnyOrder) {
    SimulatedHead sim;
    const ptzd::Address any{"127.0.0.1", 0};
    std::vector<int> order = {0, 1, 2, 3};  // native, VISCA, HTTP, ONVIF
    int runs = 0;
    do {
        ptzd::Heads heads(64);
        heads.Add("cam", sim.Link(), {}, {});
        const ptzd::Head& head = heads.all()[0];
        ptzd::visca::Camera camera(*head.motion, {});
        ptzd::NativePort native(*head.worker, any, {});
        ptzd::visca::Server visca(camera, "cam", {}, {any, any, any});
        ptzd::HttpSettings settings;
        settings.address = any;
        ptzd::HttpServer http(heads.Workers(), settings, heads.Motions());
        ptzd::OnvifConfig onvifConfig;
        onvifConfig.address = any;
        ptzd::onvif::Server onvif(*head.motion, onvifConfig, "");
        ptzd::FrontEnd* const kinds[] = {&native, &visca, &http, &onvif};
        std::vector<ptzd::FrontEnd*> frontEnds;
        for (int k : order) frontEnds.push_back(kinds[k]);

        for (ptzd::FrontEnd* f : frontEnds) ASSERT_TRUE(f->Bind()) << f->Name();
        heads.Start();
        for (ptzd::FrontEnd* f : frontEnds) f->Start();
        EXPECT_EQ(StatusOf(http.listener().port(), "/api/heads"), "HTTP/1.1 200 OK");
        EXPECT_EQ(StatusOf(onvif.listener().port(), "/onvif/device_service").substr(0, 9), "HTTP/1.1 ");
        // Stopped in the same order they were started: any order will do.
        for (ptzd::FrontEnd* f : frontEnds) f->BeginStop();
        heads.BeginStop(Clock::now() + 1s);
        heads.StopMotion();
        heads.Stop(Clock::now() + 1300ms);
        for (ptzd::FrontEnd* f : frontEnds) f->Join();
        EXPECT_EQ(StatusOf(http.listener().port(), "/api/heads"), "") << "HTTP still answers after its stop";
        ++runs;
    } while (std::next_permutation(order.begin(), order.end()));
    EXPECT_EQ(runs, 24);
}

TEST(FrontEnds, TheCommandLineBecomesAConfigurationOrAnExit) {
    const struct {
        std::vector<std::string> args;
        bool run;
        int exitCode;
        const char* says;  // in what it prints
    } rows[] = {
        {{"--head", "roof=tcp:127.0.0.1:4001"}, true, 0, ""},
        {{"--head", "roof=tcp:127.0.0.1:4001", "--listen", "127.0.0.1:4002", "--http", "off", "--token", "t"}, true, 0, ""},
        {{}, false, 2, "usage: ptzd"},
        {{"--help"}, false, 0, "usage: ptzd"},
        {{"--bogus"}, false, 2, "unknown option --bogus"},
        {{"--head"}, false, 2, "--head needs a value"},
        {{"--head", "roof"}, false, 2, "--head takes NAME=LINK"},
        {{"--head", "roof=tcp:127.0.0.1:4001", "--listen", "nowhere"}, false, 2, "--listen takes HOST:PORT"},
        {{"--head", "roof=tcp:127.0.0.1:4001", "--http", "x"}, false, 2, "--http takes HOST:PORT or off"},
        {{"--head", "roof=tcp:127.0.0.1:4001", "--token", ""}, false, 2, "--token must not be empty"},
        {{"--head", "roof=tcp:127.0.0.1:4001", "--listen", "127.0.0.1:8080"}, false, 1, "8080"},  // the HTTP port twice
        {{"--config", "/nonexistent/site.toml"}, false, 1, "/nonexistent/site.toml"},
    };
    for (const auto& row : rows) {
        const ptzd::CommandLine c = ptzd::ParseCommandLine(row.args);
        std::string line;
        for (const auto& a : row.args) line += a + " ";
        EXPECT_EQ(c.run, row.run) << line << c.err;
        if (!row.run) {
            EXPECT_EQ(c.exitCode, row.exitCode) << line;
            EXPECT_NE((c.out + c.err).find(row.says), std::string::npos) << line << ": " << c.out << c.err;
        }
    }
    const ptzd::CommandLine c =
        ptzd::ParseCommandLine({"--head", "roof=tcp:127.0.0.1:4001", "--http", "off", "--token", "t", "--verbose"});
    ASSERT_TRUE(c.run);
    EXPECT_TRUE(c.verbose);
    EXPECT_FALSE(c.config.httpEnabled);
    EXPECT_EQ(c.config.token, "t");
    ASSERT_EQ(c.config.heads.size(), 1u);
    EXPECT_EQ(c.config.heads[0].name, "roof");
}

}  // namespace

namespace {

TEST(FrontEnds, OneSourceNeverHoldsEveryPlaceOfAPort) {
    using ptzd::SourceCounts;
    struct Row {
        int64_t configured;  // max_connections_per_source: -1 not given, 0 off
        size_t portCap, cap;
    };
    for (const Row& row : std::initializer_list<Row>{{-1, 64, 48},  {-1, 256, 192}, {-1, 1024, 768}, {-1, 3, 2},
                                                     {-1, 2, 1},    {-1, 1, 1},     {0, 64, 64},     {0, 1, 1},
                                                     {16, 64, 16},  {64, 64, 63},   {5000, 8, 7},    {1, 1, 1}}) {
        const size_t cap = SourceCounts::CapFor(row.portCap, SourceCounts::Setting(row.configured));
        EXPECT_EQ(cap, row.cap) << row.configured << " of " << row.portCap;
        SourceCounts counts(cap);
        size_t taken = 0;
        while (taken <= row.portCap && counts.Add("10.0.0.1")) ++taken;
        EXPECT_EQ(taken, row.cap);
        EXPECT_TRUE(counts.Add("10.0.0.2"));  // another address still comes in
        counts.Remove("10.0.0.1");
        EXPECT_TRUE(counts.Add("10.0.0.1"));  // a place given back is a place again
    }
}

}  // namespace

// A VISCA position inquiry that comes before the first reading of the head
// waits for it (bounded) instead of answering "not executable": held at the
// head, the reading is on its way; released, the inquiry gets the position.
TEST(FrontEnds, AnEarlyViscaPositionInquiryWaitsForTheFirstReading) {
    // The head's share of a gateway, built here: nothing may read the head
    // before the inquiry does.
    SimulatedHead sim;
    sim.HoldNext([](const SimulatedHead::Request& r) { return r.code == 0x98; });  // the first GetPTPos
    ptzd::HeadWorker worker("cam", sim.Link());
    ptzd::motion::EventBus bus;
    ptzd::motion::Motion motion(worker, {}, bus);
    worker.Start();
    motion.Start();
    struct Stop {
        ptzd::HeadWorker& worker;
        ptzd::motion::Motion& motion;
        ~Stop() {
            worker.BeginStop(Clock::now() + 2s);
            motion.StopAll();
            worker.Stop();
        }
    } stop{worker, motion};
    ASSERT_TRUE(WaitFor([&] { return worker.Up(); }));
    ptzd::visca::Camera camera(motion, {});
    ptzd::visca::Counters counters;
    std::mutex mutex;
    std::vector<std::vector<uint8_t>> replies;
    std::thread asker([&] {
        const uint8_t inquiry[] = {0x81, 0x09, 0x06, 0x12, 0xFF};
        camera.Handle(inquiry, [&](std::vector<uint8_t> reply) {
            std::lock_guard lock(mutex);
            replies.push_back(std::move(reply));
        }, counters);
    });
    EXPECT_TRUE(WaitFor([&] { return sim.Holding(); }));
    {
        std::lock_guard lock(mutex);
        EXPECT_TRUE(replies.empty()) << "answered before the head was read";
    }
    sim.Release();
    asker.join();
    ASSERT_TRUE(WaitFor([&] {
        std::lock_guard lock(mutex);
        return !replies.empty();
    }));
    const std::vector<uint8_t> position = {0x90, 0x50, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF};
    EXPECT_EQ(replies.front(), position);
}
