#include "heads.h"

namespace ptzd {

Head& Heads::Add(const std::string& name, const std::string& link, const motion::MotionConfig& config,
                 motion::Motion::Files files, HeadFrontEnds frontEnds) {
    Head h;
    h.frontEnds = std::move(frontEnds);
    h.worker = std::make_unique<HeadWorker>(name, link);
    h.bus = std::make_unique<motion::EventBus>(subscribers_);
    h.motion = std::make_unique<motion::Motion>(*h.worker, config, *h.bus, std::move(files));
    heads_.push_back(std::move(h));
    return heads_.back();
}

Head* Heads::Find(const std::string& name) {
    for (Head& h : heads_)
        if (h.name() == name) return &h;
    return nullptr;
}

std::vector<HeadWorker*> Heads::Workers() const {
    std::vector<HeadWorker*> all;
    for (const Head& h : heads_) all.push_back(h.worker.get());
    return all;
}

std::vector<motion::Motion*> Heads::Motions() const {
    std::vector<motion::Motion*> all;
    for (const Head& h : heads_) all.push_back(h.motion.get());
    return all;
}

std::vector<HeadListing> Heads::Listings() const {
    std::vector<HeadListing> all;
    for (const Head& h : heads_) all.push_back(h.frontEnds.listing);
    return all;
}

void Heads::Start() {
    for (Head& h : heads_) h.worker->Start();
    for (Head& h : heads_) h.motion->Start();
}

void Heads::BeginStop(std::chrono::steady_clock::time_point exchangesBy) {
    for (Head& h : heads_) h.bus->Close();
    for (Head& h : heads_) h.worker->BeginStop(exchangesBy);
}

void Heads::StopMotion() {
    for (Head& h : heads_) h.motion->StopAll();
}

void Heads::Stop(std::chrono::steady_clock::time_point by) {
    for (Head& h : heads_) h.worker->Stop(by);
}

}  // namespace ptzd
