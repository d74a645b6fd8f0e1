// Stress: eight threads issue mixed commands over one TCP link and then over
// one pseudo-terminal link, while the simulated head injects NAKs, delays,
// corrupted and refused answers and answers in pieces. Each request says
// which fault it wants (in its motor byte), so every call's result can be
// checked against what was injected for it. Then thousands of open/close
// cycles must leave the process's descriptor count where it began.
//
// PTZ_STRESS_SECONDS sets the time per link (default 10).

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <random>
#include <thread>

#include "protocol/frame.h"
#include "server.h"
#include "support.h"

namespace {

using namespace ptztest;
using namespace std::chrono_literals;

enum Fault : uint8_t {
    kNone, kDelay, kPieces, kBadBcc, kRefused, kWrongEcho, kWrongMark,  // both links
    kNakThenOk, kNakAlways, kBadAck,                                     // serial only
    kFaultCount
};

struct Expected {
    int32_t result;
    ErrorRecord error;
};

Expected ExpectedFor(Fault f) {
    switch (f) {
        case kBadBcc: return {PTZ_FAILED, {PTZ_ERRKIND_RESPONSE, PTZ_ERR_RESP_BCC}};
        case kRefused: return {PTZ_FAILED, {PTZ_ERRKIND_RESPONSE, PTZ_ERR_RESP_STATUS}};
        case kWrongEcho: return {PTZ_FAILED, {PTZ_ERRKIND_RESPONSE, PTZ_ERR_RESP_COMMAND}};
        case kWrongMark: return {PTZ_FAILED, {PTZ_ERRKIND_RESPONSE, PTZ_ERR_RESP_MARK}};
        case kNakAlways: return {PTZ_FAILED, {PTZ_ERRKIND_LINK, PTZ_ERR_NAK}};
        case kBadAck: return {PTZ_FAILED, {PTZ_ERRKIND_LINK, PTZ_ERR_BAD_ACK}};
        default: return {PTZ_OK, {0, 0}};
    }
}

void Refresh(std::vector<uint8_t>& frame) {
    frame.back() = 0;
    uint8_t bcc = 0;
    for (size_t i = 0; i + 1 < frame.size(); ++i) bcc ^= frame[i];
    frame.back() = bcc;
}

// The head's side: answers each request with the fault its motor byte asks for.
class FaultyHead {
public:
    explicit FaultyHead(ptzsim::Head& head) {
        head.SetResponder([this](std::span<const uint8_t> request) { return Answer(request); });
    }
    std::atomic<int> malformed{0};

private:
    std::optional<ptzsim::Reply> Answer(std::span<const uint8_t> request) {
        std::vector<uint8_t> frame = model_.Answer(request);
        if (frame.empty()) {  // an interleaved or corrupted request
            ++malformed;
            return ptzsim::Reply{};
        }
        const auto fault = static_cast<Fault>(request.size() > 5 ? request[5] & 15 : 0);
        ptzsim::Reply reply;
        switch (fault) {
            case kDelay: reply.chunks.push_back({static_cast<int>(rng_() % 30), frame}); return reply;
            case kPieces:
                reply.chunks.push_back({0, {frame.begin(), frame.begin() + 3}});
                reply.chunks.push_back({5, {frame.begin() + 3, frame.end()}});
                return reply;
            case kBadBcc: frame.back() ^= 0x5A; break;
            case kRefused: frame[4] = 1; Refresh(frame); break;
            case kWrongEcho: frame[3] ^= 0x01; Refresh(frame); break;
            case kWrongMark: frame[1] = 0x41; Refresh(frame); break;
            case kNakThenOk:
                if (naks_ < 3) {
                    ++naks_;
                    return ptzsim::Reply{{{0, {0x15}}}};
                }
                naks_ = 0;
                break;
            case kNakAlways: return ptzsim::Reply{{{0, {0x15}}}};
            case kBadAck: return ptzsim::Reply{{{0, {0x06}}}};
            default: break;
        }
        reply.chunks.push_back({0, frame});
        return reply;
    }
    ptzsim::HeadModel model_;
    std::minstd_rand rng_{42};
    int naks_ = 0;
};

std::chrono::seconds StressTime() {
    const char* s = std::getenv("PTZ_STRESS_SECONDS");
    return std::chrono::seconds(s ? std::atoi(s) : 10);
}

// How a thread reaches its link: the classic exports, or a handle (whose
// failures land in the thread's own record, so each can be checked).
struct Caller {
    bool serial;
    int32_t link = 0;  // 0: the classic link
    int32_t SetMotorPos(int32_t motor, int32_t value) const {
        return link ? PTZ_LinkSetMotorPos(link, motor, 0, value) : PTZ_SetMotorPos(motor, 0, value);
    }
    int32_t GetMotorPos(int32_t motor, int32_t* position) const {
        return link ? PTZ_LinkGetMotorPos(link, motor, position) : PTZ_GetMotorPos(motor, position);
    }
};

// Runs eight threads, thread t on callers[t % callers.size()]; returns the
// number of calls made.
int Hammer(const std::vector<Caller>& callers, int* mismatches) {
    std::atomic<int> calls{0}, bad{0};
    const auto until = std::chrono::steady_clock::now() + StressTime();
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            const Caller& caller = callers[static_cast<size_t>(t) % callers.size()];
            std::minstd_rand rng(static_cast<unsigned>(t + 1));
            int32_t lastSet = 0;
            bool known = false;
            while (std::chrono::steady_clock::now() < until) {
                auto fault = static_cast<Fault>(rng() % (caller.serial ? kFaultCount : kNakThenOk));
                if (fault == kNakAlways && rng() % 4 != 0) fault = kNone;  // it is slow-ish: keep it rare
                const int32_t motor = (t << 4) | fault;
                const Expected want = ExpectedFor(fault);
                const int32_t value = static_cast<int32_t>(rng());
                int32_t result = caller.SetMotorPos(motor, value);
                if (result != want.result) ++bad;
                if (caller.link && result != PTZ_OK && ThreadError() != want.error) ++bad;
                if (fault == kNone && result == PTZ_OK) {
                    lastSet = value;
                    known = true;
                }
                // Read the thread's clean axis back: its own value, never another's.
                int32_t position = 0;
                result = caller.GetMotorPos(t << 4, &position);
                if (result != PTZ_OK || (known && position != lastSet)) ++bad;
                calls += 2;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    *mismatches = bad.load();
    return calls.load();
}

class Stress : public LibraryTest {};

TEST_F(Stress, EightThreadsOverTcpWithInjectedFaults) {
    ptzsim::Head head;
    FaultyHead faulty(head);
    ptzsim::TcpServer server(head);
    const int port = server.Start();
    ASSERT_EQ(PTZ_LanOpen("127.0.0.1", port), PTZ_OK);
    int mismatches = 0;
    const int calls = Hammer({{false}}, &mismatches);
    std::printf("TCP: %d calls, %d mismatches, %d malformed requests\n", calls, mismatches, faulty.malformed.load());
    EXPECT_GT(calls, 100);
    EXPECT_EQ(mismatches, 0);
    EXPECT_EQ(faulty.malformed.load(), 0);
}

TEST_F(Stress, EightThreadsOverAPtyWithInjectedFaults) {
    ptzsim::Head head;
    FaultyHead faulty(head);
    ptzsim::PtyServer server(head);
    const std::string path = server.Start();
    ASSERT_FALSE(path.empty());
    ASSERT_EQ(PTZ_DevOpenPath(path.c_str()), PTZ_OK);
    int mismatches = 0;
    const int calls = Hammer({{true}}, &mismatches);
    std::printf("pty: %d calls, %d mismatches, %d malformed requests\n", calls, mismatches, faulty.malformed.load());
    EXPECT_GT(calls, 100);
    EXPECT_EQ(mismatches, 0);
    EXPECT_EQ(faulty.malformed.load(), 0);
}

TEST_F(Stress, EightThreadsOverFourHandleLinksWithInjectedFaults) {
    // Two TCP heads and two pty heads, each with its own faults, two threads
    // on each link.
    std::vector<std::unique_ptr<ptzsim::Head>> heads;
    std::vector<std::unique_ptr<FaultyHead>> faulty;
    std::vector<std::unique_ptr<ptzsim::Transport>> servers;
    std::vector<Caller> callers;
    for (int k = 0; k < 4; ++k) {
        auto& head = *heads.emplace_back(std::make_unique<ptzsim::Head>());
        faulty.push_back(std::make_unique<FaultyHead>(head));
        Caller caller{k >= 2};
        if (caller.serial) {
            auto pty = std::make_unique<ptzsim::PtyServer>(head);
            const std::string path = pty->Start();
            ASSERT_EQ(PTZ_LinkOpenPath(path.c_str(), &caller.link), PTZ_OK);
            servers.push_back(std::move(pty));
        } else {
            auto tcp = std::make_unique<ptzsim::TcpServer>(head);
            const int port = tcp->Start();
            ASSERT_EQ(PTZ_LinkOpenLan("127.0.0.1", port, &caller.link), PTZ_OK);
            servers.push_back(std::move(tcp));
        }
        callers.push_back(caller);
    }
    int mismatches = 0;
    const int calls = Hammer(callers, &mismatches);
    int malformed = 0;
    for (const auto& f : faulty) malformed += f->malformed.load();
    std::printf("4 handle links: %d calls, %d mismatches, %d malformed requests\n", calls, mismatches, malformed);
    EXPECT_GT(calls, 100);
    EXPECT_EQ(mismatches, 0);
    EXPECT_EQ(malformed, 0);
    for (const Caller& caller : callers) EXPECT_EQ(PTZ_LinkClose(caller.link), PTZ_OK);
}

TEST_F(Stress, OpenCloseCyclesLeakNoDescriptor) {
    ptzsim::Head head;
    ptzsim::TcpServer tcp(head);
    ptzsim::PtyServer pty(head);
    const int port = tcp.Start();
    const std::string path = pty.Start();
    const int cycles = std::getenv("PTZ_STRESS_CYCLES") ? std::atoi(std::getenv("PTZ_STRESS_CYCLES")) : 10000;
    std::this_thread::sleep_for(50ms);
    const int before = OpenDescriptors();
    for (int i = 0; i < cycles; ++i) {
        ASSERT_EQ(PTZ_LanOpen("127.0.0.1", port), PTZ_OK) << "cycle " << i;
        ASSERT_EQ(PTZ_DevClose(), PTZ_OK);
        ASSERT_EQ(PTZ_DevOpenPath(path.c_str()), PTZ_OK) << "cycle " << i;
        ASSERT_EQ(PTZ_DevClose(), PTZ_OK);
        ASSERT_EQ(PTZ_DevOpenPath("/dev/ptz-no-such-port"), PTZ_FAILED);
        ASSERT_EQ(PTZ_LanOpen("127.0.0.1", 1), PTZ_FAILED);
    }
    EXPECT_EQ(PTZ_LanOpen("127.0.0.1", port), PTZ_OK);
    EXPECT_EQ(PTZ_ExecInitialize(), PTZ_OK);
    EXPECT_EQ(PTZ_DevClose(), PTZ_OK);
    EXPECT_EQ(DescriptorsSettleAt(before), before);
    std::printf("%d cycles of each link: descriptors %d before, %d after\n", cycles, before, OpenDescriptors());
}

TEST_F(Stress, HandleOpenCloseCyclesWithManyLinksOpenLeakNoDescriptor) {
    // Sixteen links stay open on pseudo-terminals of their own while links
    // by handle come and go beside them.
    ptzsim::Head head;
    ptzsim::TcpServer tcp(head);
    ptzsim::PtyServer pty(head);
    const int port = tcp.Start();
    const std::string path = pty.Start();
    const int baseline = OpenDescriptors();
    std::vector<std::unique_ptr<ptzsim::Head>> heads;
    std::vector<std::unique_ptr<ptzsim::PtyServer>> lines;
    std::vector<int32_t> open;
    for (int k = 0; k < 16; ++k) {
        auto& head = *heads.emplace_back(std::make_unique<ptzsim::Head>());
        auto& line = *lines.emplace_back(std::make_unique<ptzsim::PtyServer>(head));
        const std::string path = line.Start();
        int32_t link = 0;
        ASSERT_EQ(PTZ_LinkOpenPath(path.c_str(), &link), PTZ_OK);
        open.push_back(link);
    }
    const int cycles = std::getenv("PTZ_STRESS_CYCLES") ? std::atoi(std::getenv("PTZ_STRESS_CYCLES")) : 10000;
    std::this_thread::sleep_for(50ms);
    const int before = OpenDescriptors();
    for (int i = 0; i < cycles; ++i) {
        int32_t a = 0, b = 0, untouched = 0;
        ASSERT_EQ(PTZ_LinkOpenLan("127.0.0.1", port, &a), PTZ_OK) << "cycle " << i;
        ASSERT_EQ(PTZ_LinkOpenPath(path.c_str(), &b), PTZ_OK) << "cycle " << i;
        ASSERT_EQ(PTZ_LinkClose(a), PTZ_OK);
        ASSERT_EQ(PTZ_LinkClose(b), PTZ_OK);
        ASSERT_EQ(PTZ_LinkOpenPath("/dev/ptz-no-such-port", &untouched), PTZ_FAILED);
        ASSERT_EQ(PTZ_LinkOpenLan("127.0.0.1", 1, &untouched), PTZ_FAILED);
    }
    EXPECT_EQ(DescriptorsSettleAt(before), before);
    for (const int32_t link : open) {
        EXPECT_EQ(PTZ_LinkExecInitialize(link), PTZ_OK);
        EXPECT_EQ(PTZ_LinkClose(link), PTZ_OK);
    }
    std::printf("%d handle cycles beside 16 open links: descriptors %d before, %d after\n", cycles, before,
                OpenDescriptors());
    lines.clear();
    EXPECT_EQ(DescriptorsSettleAt(baseline), baseline);
}

}  // namespace
