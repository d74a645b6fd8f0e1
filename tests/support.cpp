#include "support.h"

#include <cstdio>
#include <cstdlib>

#include "control.h"
#include "platform/socket.h"
#include "serial/com.h"

namespace ptztest {

std::vector<uint8_t> Hex(std::string_view text) {
    std::string digits;
    for (char c : text)
        if (c != ' ') digits += c;
    return ptzsim::BytesOf(digits);
}

std::string ToHex(const std::vector<uint8_t>& bytes) {
    std::string out;
    char part[4];
    for (uint8_t b : bytes) {
        std::snprintf(part, sizeof part, out.empty() ? "%02X" : " %02X", b);
        out += part;
    }
    return out;
}

std::ostream& operator<<(std::ostream& out, const ErrorRecord& e) {
    return out << "(" << e.kind << ", " << e.code << ")";
}

ErrorRecord LastError() {
    ErrorRecord e{-99, -99};
    PTZ_GetLastError(&e.kind, &e.code);
    return e;
}

ErrorRecord ThreadError() {
    ErrorRecord e{-99, -99};
    PTZ_LinkLastError(&e.kind, &e.code);
    return e;
}

void LibraryTest::SetUp() {
    ptz::platform::InstallSerialOs(nullptr);
    ptz::ResetLibraryState();
}

void LibraryTest::TearDown() {
    if (ptz::LinkState.load() != PTZ_LINK_CLOSED) PTZ_DevClose();
    ptz::platform::InstallSerialOs(nullptr);
}

// ---- a ptz-sim process, scripted through its control channel ---------------

namespace {

class RemoteHead final : public SimHead {
public:
    RemoteHead(std::string host, int port, int controlPort) : host_(std::move(host)), port_(port) {
        namespace p = ptz::platform;
        p::SocketStartup();
        control_ = p::SocketCreate();
        if (control_ == p::kInvalidSocket || p::SocketConnect(control_, host_.c_str(), controlPort, 5000) != 0) {
            std::fprintf(stderr, "cannot reach the simulator's control port %d\n", controlPort);
            std::abort();
        }
    }
    std::string Host() override { return host_; }
    int Port() override { return port_; }
    void Reset() override { Ask("reset"); }
    void SetRules(const std::vector<ptzsim::Rule>& rules) override {
        Ask("rules-clear");
        const std::string lines = ptzsim::FormatRules(rules);
        for (size_t start = 0; start < lines.size();) {
            const size_t end = lines.find('\n', start);
            Ask(lines.substr(start, end - start));
            start = end + 1;
        }
    }
    void SetFaults(const ptzsim::Faults& faults) override {
        std::string line = ptzsim::FormatFaults(faults);
        line.pop_back();
        Ask(line);
    }
    std::vector<std::vector<uint8_t>> Requests() override {
        std::vector<std::vector<uint8_t>> all;
        Send("requests");
        for (std::string line = ReadLine(); line != "end"; line = ReadLine()) all.push_back(ptzsim::BytesOf(line));
        return all;
    }
    void ClearRequests() override { Ask("clear-requests"); }
    unsigned Burns() override {
        Send("burns");
        return static_cast<unsigned>(std::atoi(ReadLine().c_str()));
    }
    unsigned RepliesSent() override {
        Send("sent");
        return static_cast<unsigned>(std::atoi(ReadLine().c_str()));
    }

private:
    void Send(const std::string& line) {
        const std::string text = line + "\n";
        for (size_t sent = 0; sent < text.size();) {
            const int n = ptz::platform::SocketSend(control_, reinterpret_cast<const uint8_t*>(text.data()) + sent,
                                                    static_cast<int>(text.size() - sent));
            if (n > 0) sent += static_cast<size_t>(n);
            else if (n == ptz::platform::kWouldBlock) ptz::platform::SocketWait(control_, true, 1000);
            else std::abort();
        }
    }
    std::string ReadLine() {
        std::string line;
        for (;;) {
            uint8_t c = 0;
            const int n = ptz::platform::SocketRecv(control_, &c, 1);
            if (n == 1) {
                if (c == '\n') return line;
                line += static_cast<char>(c);
            } else if (n == ptz::platform::kWouldBlock) {
                if (ptz::platform::SocketWait(control_, false, 10000) != 1) std::abort();
            } else {
                std::abort();  // the simulator went away
            }
        }
    }
    void Ask(const std::string& line) {
        Send(line);
        const std::string answer = ReadLine();
        if (answer != "ok") {
            std::fprintf(stderr, "simulator control: '%s' -> '%s'\n", line.c_str(), answer.c_str());
            std::abort();
        }
    }

    std::string host_;
    int port_;
    ptz::platform::Socket control_;
};

}  // namespace

SimHead* LocalSimHead(int which);  // posix_support.cpp; windows_test.cpp gives nullptr

namespace {

// The head a PTZ_SIM-style variable names ("HOST:PORT:CONTROLPORT"), else
// a head in this process.
SimHead* HeadFromEnvironment(const char* variable, int which) {
    if (const char* where = std::getenv(variable)) {
        const std::string s = where;
        const size_t a = s.find(':'), b = s.rfind(':');
        if (a != std::string::npos && b != a)
            return new RemoteHead(s.substr(0, a), std::atoi(s.c_str() + a + 1), std::atoi(s.c_str() + b + 1));
    }
    return LocalSimHead(which);
}

}  // namespace

SimHead* SharedSimHead() {
    static SimHead* head = HeadFromEnvironment("PTZ_SIM", 0);
    return head;
}

SimHead* SecondSimHead() {
    static SimHead* head = HeadFromEnvironment("PTZ_SIM2", 1);
    return head;
}

void SimTest::SetUp() {
    LibraryTest::SetUp();
    head = SharedSimHead();
    if (head == nullptr) GTEST_SKIP() << "no simulated head: set PTZ_SIM=HOST:PORT:CONTROLPORT";
    head->Reset();
    ASSERT_EQ(PTZ_LanOpen(head->Host().c_str(), head->Port()), PTZ_OK);
}

void SimTest::AnswerWith(const std::vector<uint8_t>& bytes) {
    rules.clear();
    Answer(-1, {{0, bytes}});
}

void SimTest::Answer(int code, std::vector<ptzsim::Chunk> chunks, bool close) {
    rules.push_back({code, {std::move(chunks), close}});
    head->SetRules(rules);
}

std::vector<uint8_t> SimTest::LastRequest() {
    const auto all = head->Requests();
    return all.empty() ? std::vector<uint8_t>{} : all.back();
}

// ---- the fake serial port -------------------------------------------------------

void FakeSerialTest::SetUp() {
    LibraryTest::SetUp();
    ptz::platform::InstallSerialOs(&fake);
    AnswerFromModel();
    ASSERT_EQ(PTZ_DevOpen(3), PTZ_OK);
    fake.log.clear();
    fake.writes.clear();
}

void FakeSerialTest::TearDown() {
    LibraryTest::TearDown();
    EXPECT_EQ(fake.openPorts, 0) << "a port handle was left open";
    EXPECT_EQ(fake.openEvents, 0) << "a transfer event was left open";
}

void FakeSerialTest::AnswerFromModel(uint32_t ackDelayMs, uint32_t bodyDelayMs) {
    fake.onWrite = [this, ackDelayMs, bodyDelayMs](ptz::fake::FakeSerial& f, const std::vector<uint8_t>& w) {
        const std::vector<uint8_t> frame = model.Answer(w);
        if (frame.empty()) {
            f.Deliver(ackDelayMs, {0x15});
            return;
        }
        f.Deliver(ackDelayMs, {frame[0]});
        f.Deliver(ackDelayMs + bodyDelayMs, std::vector<uint8_t>(frame.begin() + 1, frame.end()));
    };
}

}  // namespace ptztest
