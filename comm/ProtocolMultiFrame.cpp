#include "comm/ProtocolMultiFrame.h"

namespace {
constexpr uint32_t kStopWaitMs = 1000;
}  // namespace

ProtocolMultiFrame::ProtocolMultiFrame(uint64_t address, uint64_t value)
    : Protocol(address, value), cursor(frames.end()) {}

ProtocolMultiFrame::~ProtocolMultiFrame() {
    stopThreads();
}

const std::string& ProtocolMultiFrame::name() const {
    static const std::string text = "PROTOCOL_MultiFrame";
    return text;
}

bool ProtocolMultiFrame::validate() {
    return true;
}

bool ProtocolMultiFrame::decode(std::vector<uint8_t>& payload, const std::vector<uint8_t>& frame) {
    payload = frame;
    return true;
}

bool ProtocolMultiFrame::segment(FrameQueue& queue, const std::vector<uint8_t>& payload) {
    queue.push_back(payload);
    return true;
}

bool ProtocolMultiFrame::startThreads() {
    if (threadA || threadB) {
        return false;
    }
    stopEvent.reset();
    threadA = std::make_unique<platform::Thread>([this] { return workerA() ? 1u : 0u; });
    threadB = std::make_unique<platform::Thread>([this] { return workerB() ? 1u : 0u; });
    const bool resumedA = threadA->resume();
    const bool resumedB = threadB->resume();
    if (!resumedA || !resumedB) {
        stopThreads();
        return false;
    }
    return true;
}

bool ProtocolMultiFrame::stopThreads() {
    if (!threadA && !threadB) {
        return true;
    }
    stopEvent.set();
    const bool stoppedA = stopWorker(threadA);
    const bool stoppedB = stopWorker(threadB);
    if (stoppedA && stoppedB) {
        stopEvent.reset();
    }
    return stoppedA && stoppedB;
}

bool ProtocolMultiFrame::stopWorker(std::unique_ptr<platform::Thread>& worker) {
    if (!worker) {
        return true;
    }
    if (worker->started() && !worker->join(kStopWaitMs)) {
        return false;
    }
    worker.reset();
    return true;
}

bool ProtocolMultiFrame::workerA() {
    platform::waitOne(stopEvent, platform::kInfinite);
    return true;
}

bool ProtocolMultiFrame::workerB() {
    platform::waitOne(stopEvent, platform::kInfinite);
    return true;
}
