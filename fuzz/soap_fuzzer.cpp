// Fuzzes the ONVIF front end with request bodies of any content: with and
// without WS-Security, every answer must be a status and an envelope, and
// nothing may crash, hang or grow without bound. The head behind it is
// away (its link never opens), so operations that reach it fail politely.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "worker/head_worker.h"
#include "infra/log.h"
#include "motion/motion.h"
#include "onvif/service.h"

namespace {

// Set field by field: the configuration structs grow new fields.
ptzd::OnvifConfig Onvif(int port, const char* user, const char* password, const char* rtsp) {
    ptzd::OnvifConfig c;
    c.address = {"127.0.0.1", port};
    c.user = user;
    c.password = password;
    c.rtsp = rtsp;
    return c;
}

struct Setup {
    ptzd::HeadWorker head{"fuzz", "tcp:127.0.0.1:1"};
    ptzd::motion::EventBus events;
    ptzd::motion::Motion motion{head, ptzd::motion::MotionConfig{}, events};  // state in memory only
    ptzd::onvif::Service open{motion, Onvif(8081, "", "", "rtsp://x/y"), ""};
    ptzd::onvif::Service guarded{motion, Onvif(8082, "admin", "pw", ""), ""};
    Setup() {
        ptzd::SetLogLevel(ptzd::Level::Error);
        head.Start();
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Setup* setup = new Setup;
    const std::string body(reinterpret_cast<const char*>(data), size);
    for (ptzd::onvif::Service* service : {&setup->open, &setup->guarded}) {
        std::string response;
        const int status = service->Handle(body, response, "127.0.0.1:8081");
        if (status != 200 && status != 400 && status != 500) std::abort();
        if (response.find("<s:Envelope") == std::string::npos) std::abort();
    }
    return 0;
}
