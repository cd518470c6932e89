#include "sim/EcuSimulator.h"

#include "sim/ServerTransport.h"
#include "sim/XlCanLink.h"
#include "sim/XlLinLink.h"
#include "xl/bus.h"

namespace sim {

namespace {

bool matches(const Bytes& service, const Bytes& request) {
    if (service.size() > request.size()) {
        return false;
    }
    return std::equal(service.begin(), service.end(), request.begin());
}

template <typename Link, typename... Args>
std::unique_ptr<FrameLink> openLink(unsigned channel, std::string* error, Args... args) {
    auto link = std::make_unique<Link>(args...);
    if (!link->open(channel, error)) {
        return nullptr;
    }
    return link;
}

}  // namespace

EcuSimulator::EcuSimulator(const Config& config) : config_(config), bootloader_(config) {
    for (const Fault& f : config.faults) {
        faults_.push_back({f, 0});
    }
}

EcuSimulator::~EcuSimulator() {
    stop();
}

bool EcuSimulator::start(unsigned channel, std::string* error) {
    if (thread_.joinable()) {
        *error = "already running";
        return false;
    }
    if (config_.lin) {
        // LIN identifiers are 0 to 63; the CAN defaults give way to the diagnostic frames.
        const uint8_t requestId = config_.requestId <= 0x3F ? static_cast<uint8_t>(config_.requestId) : 0x3C;
        const uint8_t responseId =
            config_.responseId <= 0x3F ? static_cast<uint8_t>(config_.responseId) : 0x3D;
        link_ = openLink<XlLinLink>(channel, error, requestId, responseId,
                                    Bytes{config_.frameAddress(), 0x30, config_.blockSize, config_.stMin});
    } else {
        link_ = openLink<XlCanLink>(channel, error, config_.requestId, config_.responseId);
    }
    if (!link_) {
        return false;
    }
    thread_ = std::thread([this] { serve(); });
    return true;
}

std::unique_ptr<FileLock> EcuSimulator::lockChannel(unsigned channel, std::string* error) {
    error->clear();
    XLdriverConfig config{};
    const bool listed = xlOpenDriver() == XL_SUCCESS && xlGetDriverConfig(&config) == XL_SUCCESS &&
                        channel < config.channelCount;
    xlCloseDriver();
    if (!listed) {
        return nullptr;
    }
    const XLchannelConfig& c = config.channel[channel];
    const std::string bus = c.busName;
    const std::string named = "channel " + std::to_string(channel) + " (" + c.name + ", bus " + bus + ")";
    // Joining the bus makes its folder as the driver does, or says why it cannot.
    if (!xl::bus::Node::join(bus, error)) {
        *error = "cannot lock " + named + ": " + *error;
        return nullptr;
    }
    const std::string path = xl::bus::baseDirectory() + "/" + bus + "/.ecu-sim-" + std::to_string(c.hwType) +
                             "-" + std::to_string(c.hwIndex) + "-" + std::to_string(c.hwChannel) + ".lock";
    return FileLock::take(path, named + " is already served by another ecu-sim",
                          "cannot lock " + named + ": " + path, error);
}

void EcuSimulator::stop() {
    if (!link_) {
        return;
    }
    link_->requestStop();
    if (thread_.joinable()) {
        thread_.join();
    }
    link_.reset();
}

void EcuSimulator::serve() {
    ServerTransport transport(*link_, config_.frameAddress(), config_.blockSize, config_.stMin);
    while (!link_->stopping()) {
        const std::optional<Bytes> request = transport.receiveRequest(200);
        if (!request) {
            continue;
        }
        const Outcome outcome = process(*request);
        if (outcome.delayMs > 0 && !link_->pause(outcome.delayMs)) {
            break;
        }
        SendOptions options;
        options.shortFrames = outcome.shortFrames;
        options.dropConsecutive = outcome.dropConsecutive;
        for (const Bytes& reply : outcome.replies) {
            transport.sendReply(reply, options);
        }
    }
}

const Fault* EcuSimulator::takeFault(FaultKind kind, const Bytes& request) {
    for (ActiveFault& a : faults_) {
        if (a.fault.kind == kind && matches(a.fault.service, request) &&
            (a.fault.times == 0 || a.used < a.fault.times)) {
            ++a.used;
            return &a.fault;
        }
    }
    return nullptr;
}

EcuSimulator::Outcome EcuSimulator::process(const Bytes& request) {
    std::lock_guard<std::mutex> guard(lock_);
    Outcome out;
    if (request.empty()) {
        return out;
    }
    ++requests_;
    ++perService_[request[0]];
    const uint8_t service = request[0];
    if (takeFault(FaultKind::kNoAnswer, request) != nullptr) {
        return out;
    }
    Bytes reply;
    if (const Fault* f = takeFault(FaultKind::kNegative, request)) {
        reply = {0x7F, service, static_cast<uint8_t>(f->value)};
    } else {
        reply = bootloader_.handle(request);
    }
    if (reply.empty()) {
        return out;
    }
    if (service == 0xBC && reply.size() == 5 && reply[0] == 0xFC &&
        takeFault(FaultKind::kWrongRamCrc, request)) {
        reply[1] ^= 0x01;
    }
    if (const Fault* f = takeFault(FaultKind::kDelay, request)) {
        out.delayMs = f->value;
    }
    if (const Fault* f = takeFault(FaultKind::kPending, request)) {
        for (uint32_t i = 0; i < std::max<uint32_t>(f->value, 1); ++i) {
            out.replies.push_back({0x7F, service, nrc::kResponsePending});
        }
    }
    out.replies.push_back(reply);
    if (takeFault(FaultKind::kDuplicate, request) != nullptr) {
        out.replies.push_back(reply);
    }
    out.shortFrames = takeFault(FaultKind::kShortFrames, request) != nullptr;
    if (const Fault* f = takeFault(FaultKind::kDropConsecutive, request)) {
        out.dropConsecutive = std::max<uint32_t>(f->value, 1);
    }
    return out;
}

void EcuSimulator::addFault(const Fault& fault) {
    std::lock_guard<std::mutex> guard(lock_);
    faults_.push_back({fault, 0});
}

void EcuSimulator::clearFaults() {
    std::lock_guard<std::mutex> guard(lock_);
    faults_.clear();
}

bool EcuSimulator::peek(Space space, uint32_t address, uint32_t n, Bytes* out) const {
    std::lock_guard<std::mutex> guard(lock_);
    return bootloader_.memory().peek(space, address, n, out);
}

bool EcuSimulator::poke(Space space, uint32_t address, const Bytes& data) {
    std::lock_guard<std::mutex> guard(lock_);
    return bootloader_.memory().poke(space, address, data);
}

bool EcuSimulator::loadMemory(const std::string& path, std::string* error) {
    std::lock_guard<std::mutex> guard(lock_);
    return bootloader_.memory().load(path, error);
}

bool EcuSimulator::saveMemory(const std::string& path, std::string* error) const {
    std::lock_guard<std::mutex> guard(lock_);
    return bootloader_.memory().save(path, error);
}

bool EcuSimulator::loggedIn() const {
    std::lock_guard<std::mutex> guard(lock_);
    return bootloader_.loggedIn();
}

uint32_t EcuSimulator::ecuInfo() const {
    std::lock_guard<std::mutex> guard(lock_);
    return bootloader_.ecuInfo();
}

uint32_t EcuSimulator::optionBytes(uint8_t index) const {
    std::lock_guard<std::mutex> guard(lock_);
    return bootloader_.optionBytes(index);
}

uint64_t EcuSimulator::requestCount() const {
    std::lock_guard<std::mutex> guard(lock_);
    return requests_;
}

uint64_t EcuSimulator::requestCount(uint8_t service) const {
    std::lock_guard<std::mutex> guard(lock_);
    return perService_[service];
}

}  // namespace sim
