// Speed of the library against the physical limit and against raw clients.
//
// Every comparison runs its head as a separate ptz-sim process (a head in
// the same process is faster and not comparable). Run through
// scripts/bench.sh, which pins everything to one core, interleaves the
// benchmarks and reports ratios of medians.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <arpa/inet.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <new>
#include <string>
#include <vector>

#include "ptz.h"
#ifdef PTZD_PATH
#include <algorithm>
#include <chrono>
#include <mutex>
#include <optional>
#include <thread>
#include "head.h"
#include "server.h"
#endif

#ifdef PTZD_PATH
#include <httplib.h>
#include <mosquitto.h>

#include "geo/geo.h"
#include <openssl/evp.h>
#include <openssl/rand.h>
#endif

extern char** environ;

// ---- allocation counting ------------------------------------------------------

namespace {
thread_local bool counting = false;
thread_local long allocations = 0;
}  // namespace

extern "C" void* __libc_malloc(size_t);
extern "C" void* __libc_calloc(size_t, size_t);
extern "C" void* __libc_realloc(void*, size_t);
extern "C" void* malloc(size_t n) {
    if (counting) ++allocations;
    return __libc_malloc(n);
}
extern "C" void* calloc(size_t a, size_t b) {
    if (counting) ++allocations;
    return __libc_calloc(a, b);
}
extern "C" void* realloc(void* p, size_t n) {
    if (counting) ++allocations;
    return __libc_realloc(p, n);
}
void* operator new(size_t n) {
    if (counting) ++allocations;
    void* p = __libc_malloc(n ? n : 1);
    if (!p) throw std::bad_alloc();
    return p;
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }

namespace {

// ---- heads as child processes -------------------------------------------------

struct SimProcess {
    pid_t pid = -1;
    std::string where;               // port or pty path (of the first head)
    std::vector<std::string> heads;  // every head's, with --heads N

    explicit SimProcess(std::vector<std::string> args) {
        int out[2];
        if (pipe(out) != 0) std::abort();
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        std::vector<char*> argv;
        args.insert(args.begin(), PTZ_SIM_PATH);
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid, PTZ_SIM_PATH, &actions, nullptr, argv.data(), environ) != 0) std::abort();
        close(out[1]);
        int count = 1;
        for (size_t i = 0; i + 1 < args.size(); ++i)
            if (args[i] == "--heads") count = std::atoi(args[i + 1].c_str());
        for (int h = 0; h < count; ++h) {
            char line[256] = {};
            size_t n = 0;
            while (n < sizeof line - 1 && read(out[0], line + n, 1) == 1 && line[n] != '\n') ++n;
            line[n] = 0;
            const std::string text = line;  // "listening on 127.0.0.1:PORT" or "pty /dev/pts/N"
            heads.push_back(text.rfind("pty ", 0) == 0 ? text.substr(4) : text.substr(text.rfind(':') + 1));
        }
        where = heads.front();
        close(out[0]);
    }
    ~SimProcess() {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
};

// A head serves one connection at a time, so every user of a TCP head has
// one of its own: 0 the library, 1 the raw client, 2 the gateway, 3 the
// ONVIF gateway, 4 the ONVIF gateway with a password.
SimProcess& TcpHead(int which) {
    static SimProcess heads[5] = {SimProcess({"--listen", "127.0.0.1:0", "--instant"}),
                                  SimProcess({"--listen", "127.0.0.1:0", "--instant"}),
                                  SimProcess({"--listen", "127.0.0.1:0", "--instant"}),
                                  SimProcess({"--listen", "127.0.0.1:0", "--instant"}),
                                  SimProcess({"--listen", "127.0.0.1:0", "--instant"})};
    return heads[which];
}
SimProcess& PtyHead(int which) {
    static SimProcess heads[2] = {SimProcess({"--pty"}), SimProcess({"--pty"})};
    return heads[which];
}
SimProcess& PacedHead() {
    static SimProcess head({"--pty", "--pace", "38400"});
    return head;
}

const std::vector<uint8_t> kInitialize = {0x02, 0x80, 0x00, 0x19, 0x00, 0x03, 0x98};
const std::vector<uint8_t> kSystemInfo = {0x02, 0x80, 0x00, 0x00, 0x00, 0x03, 0x81};

// ---- raw clients: the same exchange with nothing but the OS calls -----------

void ReadFully(int fd, uint8_t* buffer, size_t want) {
    size_t got = 0;
    while (got < want) {
        const ssize_t n = read(fd, buffer + got, want - got);
        if (n > 0) {
            got += static_cast<size_t>(n);
            continue;
        }
        pollfd p{fd, POLLIN, 0};
        poll(&p, 1, 5000);
    }
}

int RawTcp(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) std::abort();
    fcntl(fd, F_SETFL, O_NONBLOCK);
    return fd;
}

int RawPty(const std::string& path) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &t);
    return fd;
}

void RawExchange(benchmark::State& state, int fd, const std::vector<uint8_t>& request, size_t answer) {
    uint8_t buffer[256];
    for (auto _ : state) {
        if (write(fd, request.data(), request.size()) != static_cast<ssize_t>(request.size())) std::abort();
        ReadFully(fd, buffer, answer);
    }
}

// ---- the library ---------------------------------------------------------------

int32_t SystemInfo() {
    PTZ_SYSTEM_INFO info;
    return PTZ_GetSystemInfo(&info);
}

void LibraryExchange(benchmark::State& state, int32_t (*command)()) {
    long total = 0;
    for (auto _ : state) {
        counting = true;
        const int32_t r = command();
        counting = false;
        if (r != PTZ_OK) state.SkipWithError("command failed");
    }
    total = allocations;
    allocations = 0;
    state.counters["allocs_per_call"] = benchmark::Counter(static_cast<double>(total), benchmark::Counter::kAvgIterations);
}

void OpenTcp() { PTZ_LanOpen("127.0.0.1", std::atoi(TcpHead(0).where.c_str())); }
void OpenPty(SimProcess& head) { PTZ_DevOpenPath(head.where.c_str()); }

void BM_Tcp_Library_Initialize(benchmark::State& state) {
    OpenTcp();
    LibraryExchange(state, PTZ_ExecInitialize);
    PTZ_DevClose();
}
void BM_Tcp_Raw_Initialize(benchmark::State& state) {
    const int fd = RawTcp(std::atoi(TcpHead(1).where.c_str()));
    RawExchange(state, fd, kInitialize, 8);
    close(fd);
}
void BM_Tcp_Library_SystemInfo(benchmark::State& state) {
    OpenTcp();
    LibraryExchange(state, SystemInfo);
    PTZ_DevClose();
}
void BM_Tcp_Raw_SystemInfo(benchmark::State& state) {
    const int fd = RawTcp(std::atoi(TcpHead(1).where.c_str()));
    RawExchange(state, fd, kSystemInfo, 192);
    close(fd);
}
void BM_Pty_Library_Initialize(benchmark::State& state) {
    OpenPty(PtyHead(0));
    LibraryExchange(state, PTZ_ExecInitialize);
    PTZ_DevClose();
}
void BM_Pty_Raw_Initialize(benchmark::State& state) {
    const int fd = RawPty(PtyHead(1).where);
    RawExchange(state, fd, kInitialize, 8);
    close(fd);
}
void BM_Pty_Library_SystemInfo(benchmark::State& state) {
    OpenPty(PtyHead(0));
    LibraryExchange(state, SystemInfo);
    PTZ_DevClose();
}
void BM_Pty_Raw_SystemInfo(benchmark::State& state) {
    const int fd = RawPty(PtyHead(1).where);
    RawExchange(state, fd, kSystemInfo, 192);
    close(fd);
}
void BM_Paced38400_Library_Initialize(benchmark::State& state) {
    OpenPty(PacedHead());
    LibraryExchange(state, PTZ_ExecInitialize);
    PTZ_DevClose();
    state.counters["wire_ms"] = 8 * 10 / 38.4;  // the 8 response bytes at 38400 baud
}
void BM_Paced38400_Library_SystemInfo(benchmark::State& state) {
    OpenPty(PacedHead());
    LibraryExchange(state, SystemInfo);
    PTZ_DevClose();
    state.counters["wire_ms"] = 192 * 10 / 38.4;
}

// ---- links by handle ---------------------------------------------------------------

void BM_Tcp_Handle_Initialize(benchmark::State& state) {
    int32_t link = 0;
    if (PTZ_LinkOpenLan("127.0.0.1", std::atoi(TcpHead(0).where.c_str()), &link) != PTZ_OK) std::abort();
    long total = 0;
    for (auto _ : state) {
        counting = true;
        const int32_t r = PTZ_LinkExecInitialize(link);
        counting = false;
        if (r != PTZ_OK) state.SkipWithError("command failed");
    }
    total = allocations;
    allocations = 0;
    state.counters["allocs_per_call"] = benchmark::Counter(static_cast<double>(total), benchmark::Counter::kAvgIterations);
    PTZ_LinkClose(link);
}

// Scaling: thread k drives head k over a link of its own.
SimProcess& PacedHeads() {
    static SimProcess heads({"--pty", "--pace", "38400", "--heads", "8"});
    return heads;
}
SimProcess& TcpHeads() {
    static SimProcess heads({"--listen", "127.0.0.1:0", "--heads", "2"});
    return heads;
}

void ScaledInitialize(benchmark::State& state, bool paced) {
    const std::string& where = (paced ? PacedHeads() : TcpHeads()).heads[static_cast<size_t>(state.thread_index())];
    int32_t link = 0;
    const int32_t opened = paced ? PTZ_LinkOpenPath(where.c_str(), &link)
                                 : PTZ_LinkOpenLan("127.0.0.1", std::atoi(where.c_str()), &link);
    if (opened != PTZ_OK) std::abort();
    long failed = 0;
    for (auto _ : state)
        if (PTZ_LinkExecInitialize(link) != PTZ_OK) ++failed;
    if (failed) state.SkipWithError("command failed");
    state.SetItemsProcessed(state.iterations());
    PTZ_LinkClose(link);
}
void BM_Scale_Paced38400_Initialize(benchmark::State& state) { ScaledInitialize(state, true); }
void BM_Scale_Tcp_Initialize(benchmark::State& state) { ScaledInitialize(state, false); }

#ifdef PTZD_PATH
// ---- through the gateway ----------------------------------------------------------

int FreePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
    const int port = ntohs(a.sin_port);
    close(fd);
    return port;
}

// Starts ptzd with `args` (its log to /dev/null) and waits until `ready`
// says it answers.
template <class Ready>
pid_t StartPtzd(std::vector<std::string> args, Ready ready) {
    args.insert(args.begin(), PTZD_PATH);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (posix_spawn(&pid, PTZD_PATH, &actions, nullptr, argv.data(), environ) != 0) std::abort();
    for (int i = 0; i < 200; ++i) {
        if (ready()) return pid;
        usleep(20000);
    }
    std::abort();
}

// A ptzd process serving one head on a native port and on HTTP.
struct Gateway {
    pid_t pid = -1;
    int native = FreePort(), http = FreePort();
    explicit Gateway(const std::string& link) {
        httplib::Client client("127.0.0.1", http);
        pid = StartPtzd({"--head", "gw=" + link, "--listen", "127.0.0.1:" + std::to_string(native), "--http",
                         "127.0.0.1:" + std::to_string(http)},
                        [&] {
                            auto r = client.Get("/api/heads/gw/GetPTPos");
                            return r && r->status == 200;
                        });
    }
    ~Gateway() {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
};

Gateway& TcpGateway() {
    static Gateway g("tcp:127.0.0.1:" + TcpHead(2).where);
    return g;
}
Gateway& PacedGateway() {
    static SimProcess head({"--pty", "--pace", "38400"});  // its own: a pty serves one host at a time
    static Gateway g("serial:" + head.where);
    return g;
}

void BM_Gateway_Tcp_Native_Initialize(benchmark::State& state) {
    const int fd = RawTcp(TcpGateway().native);
    RawExchange(state, fd, kInitialize, 8);
    close(fd);
}
void BM_Gateway_Paced38400_Native_Initialize(benchmark::State& state) {
    const int fd = RawTcp(PacedGateway().native);
    RawExchange(state, fd, kInitialize, 8);
    close(fd);
}
void BM_Gateway_Http_GetPTPos(benchmark::State& state) {
    httplib::Client client("127.0.0.1", TcpGateway().http);
    client.set_keep_alive(true);
    client.set_tcp_nodelay(true);
    for (auto _ : state) {
        auto r = client.Get("/api/heads/gw/GetPTPos");
        if (!r || r->status != 200) state.SkipWithError("request failed");
    }
    state.SetItemsProcessed(state.iterations());
}
// A ptzd process whose head is also an ONVIF device (no authentication).
struct OnvifGateway {
    pid_t pid = -1;
    int onvif = FreePort();
    std::string config = "/tmp/ptz-bench-onvif-" + std::to_string(getpid()) + ".toml";
    OnvifGateway() {
        FILE* f = std::fopen(config.c_str(), "w");
        std::fprintf(f, "http = \"off\"\n[[head]]\nname = \"gw\"\nlink = \"tcp:127.0.0.1:%s\"\nonvif = \"127.0.0.1:%d\"\n",
                     TcpHead(3).where.c_str(), onvif);
        std::fclose(f);
        httplib::Client client("127.0.0.1", onvif);
        pid = StartPtzd({"--config", config}, [&] {
            auto r = client.Post("/onvif/device_service", Soap("GetStatus", "Profile_1"), "application/soap+xml");
            return r && r->status == 200;
        });
    }
    ~OnvifGateway() {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
        std::remove(config.c_str());
        std::remove((config + ".gw.presets.json").c_str());
    }
    static std::string Soap(const char* operation, const char* profile, const std::string& inner = "") {
        return std::string("<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\"><s:Body><") + operation +
               " xmlns=\"http://www.onvif.org/ver20/ptz/wsdl\"><ProfileToken>" + profile + "</ProfileToken>" + inner +
               "</" + operation + "></s:Body></s:Envelope>";
    }
};

OnvifGateway& Onvif() {
    static OnvifGateway g;
    return g;
}
// ONVIF announces itself by multicast: its benchmarks run only inside a
// network namespace of their own (scripts/bench.sh runs them through
// tests/in_netns.sh), never on the machine's network.
bool PrivateNetwork(benchmark::State& state) {
    const char* netns = std::getenv("PTZ_NETNS");
    if (netns != nullptr && std::string(netns) == "1") return true;
    state.SkipWithError("ONVIF benchmarks run only inside a network namespace (tests/in_netns.sh)");
    return false;
}

// The SOAP round trip of an AbsoluteMove: the head has its frame before the answer leaves.
void BM_Onvif_AbsoluteMove(benchmark::State& state) {
    if (!PrivateNetwork(state)) return;
    httplib::Client client("127.0.0.1", Onvif().onvif);
    client.set_keep_alive(true);
    client.set_tcp_nodelay(true);
    int i = 0;
    for (auto _ : state) {
        const std::string x = (i++ % 2) ? "0.5" : "-0.5";
        const std::string body = OnvifGateway::Soap(
            "AbsoluteMove", "Profile_1",
            "<Position><PanTilt xmlns=\"http://www.onvif.org/ver10/schema\" x=\"" + x + "\" y=\"0\"/></Position>");
        auto r = client.Post("/onvif/ptz_service", body, "application/soap+xml");
        if (!r || r->status != 200) state.SkipWithError("AbsoluteMove failed");
    }
}

// 32 clients polling GetStatus; any error is counted.
void BM_Onvif_GetStatus_Polling(benchmark::State& state) {
    if (!PrivateNetwork(state)) return;
    httplib::Client client("127.0.0.1", Onvif().onvif);
    client.set_keep_alive(true);
    client.set_tcp_nodelay(true);
    long errors = 0;
    const std::string body = OnvifGateway::Soap("GetStatus", "Profile_1");
    for (auto _ : state) {
        auto r = client.Post("/onvif/ptz_service", body, "application/soap+xml");
        if (!r || r->status != 200) ++errors;
    }
    state.counters["errors"] = benchmark::Counter(static_cast<double>(errors));
    state.SetItemsProcessed(state.iterations());
}

// 32 recorders each polling GetStatus ten times a second, as a VMS does: the
// time each answer takes. Counters: the median and 99th percentile of each
// poller's own answers, averaged over the pollers.
void BM_Onvif_GetStatus_Pollers10Hz(benchmark::State& state) {
    if (!PrivateNetwork(state)) return;
    using Clock = std::chrono::steady_clock;
    httplib::Client client("127.0.0.1", Onvif().onvif);
    client.set_keep_alive(true);
    client.set_tcp_nodelay(true);
    const std::string body = OnvifGateway::Soap("GetStatus", "Profile_1");
    std::vector<double> took;
    long errors = 0;
    // Spread over the first period so the pollers do not all ask at once.
    auto next = Clock::now() + std::chrono::microseconds(100000 * state.thread_index() / state.threads());
    for (auto _ : state) {
        std::this_thread::sleep_until(next);
        next += std::chrono::milliseconds(100);
        const auto begun = Clock::now();
        auto r = client.Post("/onvif/ptz_service", body, "application/soap+xml");
        took.push_back(std::chrono::duration<double, std::milli>(Clock::now() - begun).count());
        if (!r || r->status != 200) ++errors;
    }
    std::sort(took.begin(), took.end());
    const auto at = [&](double q) { return took.empty() ? 0.0 : took[static_cast<size_t>(q * (took.size() - 1))]; };
    state.counters["median_ms"] = benchmark::Counter(at(0.5), benchmark::Counter::kAvgThreads);
    state.counters["p99_ms"] = benchmark::Counter(at(0.99), benchmark::Counter::kAvgThreads);
    state.counters["errors"] = benchmark::Counter(static_cast<double>(errors));
}

// A ptzd process whose ONVIF device asks for a WS-Security password.
struct OnvifSecureGateway {
    pid_t pid = -1;
    int onvif = FreePort();
    std::string config = "/tmp/ptz-bench-onvif-secure-" + std::to_string(getpid()) + ".toml";
    static constexpr const char* kUser = "admin";
    static constexpr const char* kPassword = "bench-secret";
    OnvifSecureGateway() {
        FILE* f = std::fopen(config.c_str(), "w");
        std::fprintf(f,
                     "http = \"off\"\n[[head]]\nname = \"gw\"\nlink = \"tcp:127.0.0.1:%s\"\nonvif = \"127.0.0.1:%d\"\n"
                     "onvif_user = \"%s\"\nonvif_password = \"%s\"\n",
                     TcpHead(4).where.c_str(), onvif, kUser, kPassword);
        std::fclose(f);
        httplib::Client client("127.0.0.1", onvif);
        pid = StartPtzd({"--config", config}, [&] {
            auto r = client.Post("/onvif/device_service", Body("GetSystemDateAndTime"), "application/soap+xml");
            return r && r->status == 200;
        });
    }
    ~OnvifSecureGateway() {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
        std::remove(config.c_str());
        std::remove((config + ".gw.presets.json").c_str());
    }
    static std::string Base64(const unsigned char* bytes, int n) {
        std::string out(static_cast<size_t>(4 * ((n + 2) / 3)), '\0');
        out.resize(static_cast<size_t>(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), bytes, n)));
        return out;
    }
    // A GetStatus with a fresh UsernameToken (a new nonce, the time now), as
    // Frigate's ONVIF client sends each call.
    static std::string Body(const char* operation = "GetStatus") {
        unsigned char nonce[16];
        RAND_bytes(nonce, sizeof nonce);
        char created[32];
        const std::time_t now = std::time(nullptr);
        std::tm utc{};
        gmtime_r(&now, &utc);
        std::strftime(created, sizeof created, "%Y-%m-%dT%H:%M:%SZ", &utc);
        std::string input(reinterpret_cast<const char*>(nonce), sizeof nonce);
        input += created;
        input += kPassword;
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        EVP_Digest(input.data(), input.size(), digest, &length, EVP_sha1(), nullptr);
        return std::string("<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\"><s:Header><wsse:Security "
                           "xmlns:wsse=\"http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-wssecurity-secext-1.0.xsd\" "
                           "xmlns:wsu=\"http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-wssecurity-utility-1.0.xsd\">"
                           "<wsse:UsernameToken><wsse:Username>") +
               kUser +
               "</wsse:Username><wsse:Password Type=\"http://docs.oasis-open.org/wss/2004/01/"
               "oasis-200401-wss-username-token-profile-1.0#PasswordDigest\">" +
               Base64(digest, static_cast<int>(length)) +
               "</wsse:Password><wsse:Nonce EncodingType=\"http://docs.oasis-open.org/wss/2004/01/"
               "oasis-200401-wss-soap-message-security-1.0#Base64Binary\">" +
               Base64(nonce, sizeof nonce) + "</wsse:Nonce><wsu:Created>" + created +
               "</wsu:Created></wsse:UsernameToken></wsse:Security></s:Header><s:Body>" +
               (std::string(operation) == "GetStatus"
                    ? "<GetStatus xmlns=\"http://www.onvif.org/ver20/ptz/wsdl\"><ProfileToken>Profile_1</ProfileToken></GetStatus>"
                    : "<GetSystemDateAndTime xmlns=\"http://www.onvif.org/ver10/device/wsdl\"/>") +
               "</s:Body></s:Envelope>";
    }
};

// Frigate's autotracking polls GetStatus back to back, a fresh token each
// time: one client at 1,000 requests a second for a minute. Counters: the
// requests refused (none may be) and the rate reached.
void BM_Onvif_GetStatus_Frigate1000Hz(benchmark::State& state) {
    if (!PrivateNetwork(state)) return;
    using Clock = std::chrono::steady_clock;
    static OnvifSecureGateway gateway;
    httplib::Client client("127.0.0.1", gateway.onvif);
    client.set_keep_alive(true);
    client.set_tcp_nodelay(true);
    long refused = 0, failed = 0;
    const auto begun = Clock::now();
    auto next = begun;
    for (auto _ : state) {
        std::this_thread::sleep_until(next);
        next += std::chrono::milliseconds(1);
        auto r = client.Post("/onvif/ptz_service", OnvifSecureGateway::Body(), "application/soap+xml");
        if (!r) ++failed;
        else if (r->status != 200) ++refused;
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - begun).count();
    state.counters["refused"] = benchmark::Counter(static_cast<double>(refused));
    state.counters["failed"] = benchmark::Counter(static_cast<double>(failed));
    state.counters["per_second"] = benchmark::Counter(static_cast<double>(state.iterations()) / seconds);
}

// ---- MQTT through ptzd -----------------------------------------------------
// A mosquitto of the benchmark's own on a free loopback port, ptzd with its
// heads simulated in this process (so the moment a frame reaches a head is
// read off this process's clock), and a libmosquitto client publishing.
struct MqttRig {
    using Clock = std::chrono::steady_clock;
    std::vector<std::unique_ptr<ptzsim::Head>> heads;
    std::vector<std::unique_ptr<ptzsim::TcpServer>> servers;
    pid_t broker = -1, pid = -1;
    int port = FreePort();
    std::string dir = "/tmp/ptz-bench-mqtt-" + std::to_string(getpid()) + "-" + std::to_string(FreePort());
    std::mutex mutex;
    std::vector<std::pair<uint8_t, Clock::time_point>> arrivals;  // head 0: command code, when it arrived
    mosquitto* client = nullptr;
    std::atomic<bool> online{false};

    int rotctld = FreePort();  // head 0's rotctld port
    int follow = FreePort();   // head 0's feed of targets to follow

    explicit MqttRig(int count, bool mqtt = true) {
        mkdir(dir.c_str(), 0755);
        const std::string conf = dir + "/mosquitto.conf";
        FILE* c = std::fopen(conf.c_str(), "w");
        std::fprintf(c, "listener %d 127.0.0.1\nallow_anonymous true\npersistence false\n", port);
        std::fclose(c);
        std::vector<std::string> brokerArgs = {"/usr/sbin/mosquitto", "-c", conf};
        std::vector<char*> argv;
        for (auto& a : brokerArgs) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        if (posix_spawn(&broker, argv[0], &actions, nullptr, argv.data(), environ) != 0) std::abort();
        std::string config = "http = \"off\"\nstate_dir = \"" + dir + "\"\ngateway = \"bench\"\n";
        if (mqtt) config += "[mqtt]\nbroker = \"mqtt://127.0.0.1:" + std::to_string(port) + "\"\nrate_limit = 1000\n";
        for (int i = 0; i < count; ++i) {
            heads.push_back(std::make_unique<ptzsim::Head>());
            if (i == 0)
                heads[0]->SetResponder([this](std::span<const uint8_t> request) -> std::optional<ptzsim::Reply> {
                    std::lock_guard lock(mutex);
                    if (request.size() > 3) arrivals.emplace_back(request[3], Clock::now());
                    return std::nullopt;
                });
            servers.push_back(std::make_unique<ptzsim::TcpServer>(*heads.back()));
            config += "[[head]]\nname = \"h" + std::to_string(i) + "\"\nlink = \"tcp:127.0.0.1:" +
                      std::to_string(servers.back()->Start()) + "\"\n";
            if (i == 0)
                config += "rotctld = \"127.0.0.1:" + std::to_string(rotctld) + "\"\nrotctld_rate = 50\n" +
                          "location = [52.30, 4.76, 0.0]\nfollow = \"127.0.0.1:" + std::to_string(follow) +
                          "\"\nfollow_target = \"4CA2D6\"\nfollow_rate = 20\n";
        }
        const std::string file = dir + "/site.toml";
        FILE* f = std::fopen(file.c_str(), "w");
        std::fputs(config.c_str(), f);
        std::fclose(f);
        mosquitto_lib_init();
        client = mosquitto_new(nullptr, true, this);
        mosquitto_message_callback_set(client, [](mosquitto*, void* obj, const mosquitto_message* m) {
            if (m->payloadlen == 6 && std::memcmp(m->payload, "online", 6) == 0) static_cast<MqttRig*>(obj)->online = true;
        });
        for (int i = 0; i < 200 && mosquitto_connect(client, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS; ++i) usleep(20000);
        mosquitto_subscribe(client, nullptr, "ptzd/bench/status", 1);
        mosquitto_loop_start(client);
        pid = StartPtzd({"--config", file}, [&] {
            if (mqtt) return online.load();
            // Without MQTT: once head 0's rotctld port answers a position.
            const int fd = socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(static_cast<uint16_t>(rotctld));
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            bool up = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
            char answer[64] = {};
            up = up && send(fd, "p\n", 2, MSG_NOSIGNAL) == 2 && recv(fd, answer, sizeof answer - 1, 0) > 0 && answer[0] != 'R';
            close(fd);
            return up;
        });
    }
    ~MqttRig() {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
        mosquitto_disconnect(client);
        mosquitto_loop_stop(client, true);
        mosquitto_destroy(client);
        kill(broker, SIGTERM);
        waitpid(broker, nullptr, 0);
        std::filesystem::remove_all(dir);
    }
    std::optional<Clock::time_point> ArrivalAfter(uint8_t code, Clock::time_point since) {
        std::lock_guard lock(mutex);
        for (const auto& [c, when] : arrivals)
            if (c == code && when >= since) return when;
        return std::nullopt;
    }
    // Waits (up to 4 s) for a SetPTPos to reach head 0 after `start`; its
    // delay goes into `wires` and is the iteration's time.
    bool Record(benchmark::State& state, Clock::time_point start, std::vector<double>& wires) {
        std::optional<Clock::time_point> wire;
        for (int spin = 0; spin < 200000 && !(wire = ArrivalAfter(0x8C, start)); ++spin) usleep(20);
        if (!wire) {
            state.SkipWithError("the frame never reached the head");
            return false;
        }
        const double ms = std::chrono::duration<double, std::milli>(*wire - start).count();
        wires.push_back(ms);
        state.SetIterationTime(ms / 1000);
        return true;
    }
    // The CPU time ptzd has used so far, in seconds.
    double CpuSeconds() const {
        FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
        if (f == nullptr) return 0;
        char line[1024] = {};
        const size_t n = std::fread(line, 1, sizeof line - 1, f);
        std::fclose(f);
        line[n] = 0;
        const char* after = std::strrchr(line, ')');
        unsigned long utime = 0, stime = 0;
        if (after == nullptr || std::sscanf(after + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime) != 2)
            return 0;
        return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
    }
};

// A pan command published → its SetPTPos frame on the head's wire, through
// a local broker and ptzd.
void BM_Mqtt_Command_ToWire(benchmark::State& state) {
    if (!PrivateNetwork(state)) return;
    static MqttRig rig(1);
    std::vector<double> wires;
    int i = 0;
    for (auto _ : state) {
        const std::string pan = (i++ % 2) ? "1.5" : "-1.5";
        const auto start = MqttRig::Clock::now();
        mosquitto_publish(rig.client, nullptr, "ptzd/bench/h0/cmd/pan", static_cast<int>(pan.size()), pan.data(), 0, false);
        if (!rig.Record(state, start, wires)) break;
    }
    std::sort(wires.begin(), wires.end());
    if (!wires.empty()) state.counters["wire_ms"] = wires[wires.size() / 2];
}

// A tracker's `P az el` on rotctld → its SetPTPos frame on the head's wire.
void BM_Rotctld_SetPos_ToWire(benchmark::State& state) {
    static MqttRig rig(1, false);
    const int fd = RawTcp(rig.rotctld);
    std::vector<double> wires;
    int i = 0;
    for (auto _ : state) {
        usleep(25000);  // past the rate cap (50 a second): each target goes at once
        const std::string line = (i++ % 2) ? "P 12.5 -3\n" : "P -12.5 3\n";
        const auto start = MqttRig::Clock::now();
        [[maybe_unused]] const ssize_t n = send(fd, line.data(), line.size(), MSG_NOSIGNAL);
        char answer[32];
        [[maybe_unused]] const ssize_t got = recv(fd, answer, sizeof answer, 0);  // RPRT 0
        if (!rig.Record(state, start, wires)) break;
    }
    close(fd);
    std::sort(wires.begin(), wires.end());
    if (!wires.empty()) state.counters["wire_ms"] = wires[wires.size() / 2];
}

// An aircraft's BaseStation position on the feed port → its SetPTPos frame
// on the head's wire (a geo move through the follower's pacing).
void BM_Follow_Fix_ToWire(benchmark::State& state) {
    static MqttRig rig(1, false);
    const int fd = RawTcp(rig.follow);
    std::vector<double> wires;
    int i = 0;
    for (auto _ : state) {
        usleep(60000);  // past the pacing (20 moves a second): each fix goes at once
        const std::string line = std::string("MSG,3,1,1,4CA2D6,1,,,,,,3000,,,") + ((i++ % 2) ? "52.33,4.80" : "52.33,4.72") +
                                 ",,,0,0,0,0\r\n";
        const auto start = MqttRig::Clock::now();
        [[maybe_unused]] const ssize_t n = send(fd, line.data(), line.size(), MSG_NOSIGNAL);
        if (!rig.Record(state, start, wires)) break;
    }
    close(fd);
    std::sort(wires.begin(), wires.end());
    if (!wires.empty()) state.counters["wire_ms"] = wires[wires.size() / 2];
}

// A geo move's arithmetic: a place → azimuth/elevation → the head's pan and tilt.
void BM_Geo_PointAt(benchmark::State& state) {
    const ptzd::geo::Place head{48.2082, 16.3738, 182}, target{48.2290, 16.4012, 260};
    const ptzd::geo::Orientation o{30, 1.5, -0.5};
    for (auto _ : state) {
        const ptzd::geo::Look l = ptzd::geo::LookAt(head, target);
        benchmark::DoNotOptimize(ptzd::geo::ToHead(o, l.azimuth, l.elevation));
    }
}

// What publishing state costs: ptzd's CPU with 64 heads over 5 s, with
// MQTT (state, links, events, discovery) and without.
void BM_Mqtt_State_64Heads(benchmark::State& state) {
    if (!PrivateNetwork(state)) return;
    const bool mqtt = state.range(0) != 0;
    MqttRig rig(64, mqtt);
    usleep(500000);  // past the start
    for (auto _ : state) {
        const double before = rig.CpuSeconds();
        const auto start = MqttRig::Clock::now();
        sleep(5);
        const double wall = std::chrono::duration<double>(MqttRig::Clock::now() - start).count();
        state.counters["cpu_percent"] = 100 * (rig.CpuSeconds() - before) / wall;
        state.SetIterationTime(wall);
    }
}

// ---- VISCA over IP through ptzd --------------------------------------------
// Figures, not comparisons: the head is a simulator in this process (motion
// model on), so the moment a frame reaches it and the moment it comes to rest
// are read off its own clock.
struct ViscaRig {
    using Clock = std::chrono::steady_clock;
    ptzsim::Head head;
    ptzsim::TcpServer server{head};
    pid_t pid = -1;
    int udp = -1, port = FreePort();
    std::string config = "/tmp/ptz-bench-visca-" + std::to_string(getpid()) + ".toml";
    std::mutex mutex;
    std::vector<std::pair<uint8_t, Clock::time_point>> arrivals;  // command code, when it reached the head
    uint32_t sequence = 0;

    ViscaRig() {
        head.WithModel([](ptzsim::HeadModel& m) { m.motion = true; });
        head.SetResponder([this](std::span<const uint8_t> request) -> std::optional<ptzsim::Reply> {
            std::lock_guard lock(mutex);
            if (request.size() > 3) arrivals.emplace_back(request[3], Clock::now());
            return std::nullopt;  // the model answers
        });
        const int headPort = server.Start();
        FILE* f = std::fopen(config.c_str(), "w");
        std::fprintf(f, "http = \"off\"\n[[head]]\nname = \"gw\"\nlink = \"tcp:127.0.0.1:%d\"\nvisca_udp = \"127.0.0.1:%d\"\n",
                     headPort, port);
        std::fclose(f);
        udp = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<uint16_t>(port));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connect(udp, reinterpret_cast<sockaddr*>(&to), sizeof to);
        pid = StartPtzd({"--config", config}, [&] {
            Send({0x81, 0x09, 0x06, 0x12, 0xFF}, 0x0110);
            std::vector<uint8_t> reply;
            return Receive(reply, 100) && reply.size() > 9 && reply[9] == 0x50;
        });
    }
    ~ViscaRig() {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
        close(udp);
        std::remove(config.c_str());
    }
    void Send(const std::vector<uint8_t>& payload, uint16_t type = 0x0100) {
        ++sequence;
        std::vector<uint8_t> d = {uint8_t(type >> 8), uint8_t(type), 0, uint8_t(payload.size()),
                                  uint8_t(sequence >> 24), uint8_t(sequence >> 16), uint8_t(sequence >> 8), uint8_t(sequence)};
        d.insert(d.end(), payload.begin(), payload.end());
        [[maybe_unused]] const ssize_t n = send(udp, d.data(), d.size(), 0);
    }
    bool Receive(std::vector<uint8_t>& out, int ms = 5000) {
        pollfd p{udp, POLLIN, 0};
        if (poll(&p, 1, ms) != 1) return false;
        uint8_t buffer[64];
        const ssize_t n = recv(udp, buffer, sizeof buffer, 0);
        if (n < 10) return false;
        out.assign(buffer, buffer + n);
        return true;
    }
    // The reply's VISCA byte after the address (0x41 ACK, 0x51 completion, 0x50 inquiry answer).
    uint8_t Next() {
        std::vector<uint8_t> r;
        return Receive(r) ? r[9] : 0;
    }
    std::optional<Clock::time_point> ArrivalAfter(uint8_t code, Clock::time_point since) {
        std::lock_guard lock(mutex);
        for (const auto& [c, when] : arrivals)
            if (c == code && when >= since) return when;
        return std::nullopt;
    }
    // When the model reached `panTarget` (polled on its own clock, every 0.2 ms).
    Clock::time_point SettledAt(int32_t panTarget) {
        for (;;) {
            const bool there = head.WithModel([&](ptzsim::HeadModel& m) {
                m.Advance();
                return m.State().motorPosition[0] == panTarget && !m.Moving(0) && !m.Moving(4);
            });
            if (there) return Clock::now();
            usleep(200);
        }
    }
};

ViscaRig& Visca() {
    static ViscaRig rig;
    return rig;
}

// A drive-stop command: its ACK, and the StopMotor frame reaching the head.
void BM_Visca_Stop_AckAndWire(benchmark::State& state) {
    if (!PrivateNetwork(state)) return;
    ViscaRig& v = Visca();
    std::vector<double> acks, wires;
    for (auto _ : state) {
        const auto start = ViscaRig::Clock::now();
        v.Send({0x81, 0x01, 0x06, 0x01, 0x01, 0x01, 0x03, 0x03, 0xFF});
        if (v.Next() != 0x41) state.SkipWithError("no ACK");
        const auto acked = ViscaRig::Clock::now();
        if (v.Next() != 0x51) state.SkipWithError("no completion");
        const auto wire = v.ArrivalAfter(0x84, start);
        if (!wire) state.SkipWithError("the stop never reached the head");
        acks.push_back(std::chrono::duration<double, std::milli>(acked - start).count());
        wires.push_back(std::chrono::duration<double, std::milli>(*wire - start).count());
        state.SetIterationTime(std::chrono::duration<double>(*wire - start).count());
    }
    std::sort(acks.begin(), acks.end());
    std::sort(wires.begin(), wires.end());
    if (!acks.empty()) {
        state.counters["ack_ms"] = acks[acks.size() / 2];
        state.counters["wire_ms"] = wires[wires.size() / 2];
    }
}

// An absolute move of 1 degree: the completion after the head came to rest.
void BM_Visca_Completion_AfterSettling(benchmark::State& state) {
    if (!PrivateNetwork(state)) return;
    ViscaRig& v = Visca();
    std::vector<double> lags;
    int i = 0;
    for (auto _ : state) {
        const int32_t units = (i++ % 2) ? 0 : 144;  // 0 or 10 degrees (14.4 units a degree)
        const int32_t target = units == 0 ? 0 : 1000;
        std::vector<uint8_t> m = {0x81, 0x01, 0x06, 0x02, 0x18, 0x17};
        for (int shift = 12; shift >= 0; shift -= 4) m.push_back(uint8_t((units >> shift) & 0x0F));
        for (int k = 0; k < 4; ++k) m.push_back(0);
        m.push_back(0xFF);
        v.Send(m);
        if (v.Next() != 0x41) state.SkipWithError("no ACK");
        const auto settled = v.SettledAt(target);
        if (v.Next() != 0x51) state.SkipWithError("no completion");
        const auto completed = ViscaRig::Clock::now();
        const double lag = std::chrono::duration<double>(completed - settled).count();
        lags.push_back(lag * 1000);
        state.SetIterationTime(lag);
    }
    std::sort(lags.begin(), lags.end());
    if (!lags.empty()) state.counters["lag_ms"] = lags[lags.size() / 2];
}
#endif

}  // namespace

#ifdef PTZD_PATH
BENCHMARK(BM_Onvif_AbsoluteMove)->UseRealTime();
BENCHMARK(BM_Visca_Stop_AckAndWire)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(200);
BENCHMARK(BM_Visca_Completion_AfterSettling)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(30);
BENCHMARK(BM_Onvif_GetStatus_Polling)->UseRealTime()->Threads(32)->MinTime(30.0)->Repetitions(1);
BENCHMARK(BM_Onvif_GetStatus_Pollers10Hz)->UseRealTime()->Threads(32)->Iterations(100);
BENCHMARK(BM_Onvif_GetStatus_Frigate1000Hz)->UseRealTime()->Iterations(60000)->Repetitions(1);
BENCHMARK(BM_Rotctld_SetPos_ToWire)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(200);
BENCHMARK(BM_Geo_PointAt);
BENCHMARK(BM_Follow_Fix_ToWire)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(100);
BENCHMARK(BM_Mqtt_Command_ToWire)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(300);
BENCHMARK(BM_Mqtt_State_64Heads)->UseManualTime()->Unit(benchmark::kSecond)->Iterations(1)->Repetitions(1)->Arg(0)->Arg(1);
BENCHMARK(BM_Gateway_Tcp_Native_Initialize)->UseRealTime();
BENCHMARK(BM_Gateway_Paced38400_Native_Initialize)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_Gateway_Http_GetPTPos)->UseRealTime()->Threads(1)->Threads(16);
#endif
BENCHMARK(BM_Tcp_Handle_Initialize)->UseRealTime();
BENCHMARK(BM_Scale_Paced38400_Initialize)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(1.0)
    ->Threads(1)->Threads(8);
BENCHMARK(BM_Scale_Tcp_Initialize)->UseRealTime()->Threads(1)->Threads(2);
BENCHMARK(BM_Tcp_Library_Initialize)->UseRealTime();
BENCHMARK(BM_Tcp_Raw_Initialize)->UseRealTime();
BENCHMARK(BM_Tcp_Library_SystemInfo)->UseRealTime();
BENCHMARK(BM_Tcp_Raw_SystemInfo)->UseRealTime();
BENCHMARK(BM_Pty_Library_Initialize)->UseRealTime();
BENCHMARK(BM_Pty_Raw_Initialize)->UseRealTime();
BENCHMARK(BM_Pty_Library_SystemInfo)->UseRealTime();
BENCHMARK(BM_Pty_Raw_SystemInfo)->UseRealTime();
BENCHMARK(BM_Paced38400_Library_Initialize)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(0.5);
BENCHMARK(BM_Paced38400_Library_SystemInfo)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(1.0);

BENCHMARK_MAIN();
