#include "comm/ComVXLapi.h"

#include <memory>

#include "comm/UtilTimeout.h"
#include "platform/event.h"
#include "platform/thread.h"

namespace {

constexpr uint32_t kBusTypeCount = 32;
constexpr uint32_t kStopWaitMs = 1000;
constexpr int kHighestPriority = 2;
constexpr uint32_t kDefaultRxQueueSize = 256;
constexpr uint32_t kDefaultRxQueueLimit = 8192;
constexpr uint32_t kReadPollMs = 3;

}  // namespace

// ---- exceptions

const std::string& ComVXLapi::bad_open_vxlapi_driver::description() const {
    static const std::string text = "Could not open Vector LIN driver";
    return text;
}

const std::string& ComVXLapi::bad_open_vxlapi_hardware::description() const {
    static const std::string text = "Hardware open failed, check CANcard and LINcab";
    return text;
}

const std::string& ComVXLapi::bad_open_vxlapi_appl_config::description() const {
    static const std::string text = "Invalid Applcation Configuration";
    return text;
}

const std::string& ComVXLapi::bad_open_vxlapi_handle::description() const {
    static const std::string text = "Invalid CANcard handle";
    return text;
}

const std::string& ComVXLapi::bad_open_vxlapi_access::description() const {
    static const std::string text = "Invalid CANcard channel access";
    return text;
}

const std::string& ComVXLapi::bad_open_vxlapi_channel::description() const {
    static const std::string text = "Set up Channel for Master or Slave failed";
    return text;
}

const std::string& ComVXLapi::bad_open_vxlapi_rxqueue::description() const {
    static const std::string text = "CANcard Rx queue is empty when it should not be";
    return text;
}

const std::string& ComVXLapi::bad_open_vxlapi_data::description() const {
    static const std::string text = "Set data for slave task failed";
    return text;
}

// ---- construction

ComVXLapi::ComVXLapi(ComParams* params, uint32_t id)
    : ComLIB_DLL(params, id),
      stopEventHandle(std::make_unique<platform::Event>(false, false)),
      accessMasks(kMaskTableSize, 0),
      permissionMasks(kMaskTableSize, 0) {}

ComVXLapi::~ComVXLapi() {
    stopRxThread();
    ComVXLapi::close();
    for (uint32_t& counter : appChannelCounters()) {
        counter = 0;
    }
}

std::vector<uint32_t>& ComVXLapi::appChannelCounters() {
    static std::vector<uint32_t> counters(kBusTypeCount, 0);
    return counters;
}

// ---- receive thread

uint32_t ComVXLapi::rxThreadProc(ComVXLapi* self) {
    self->rxLoop();
    return 0;
}

bool ComVXLapi::startRxThread() {
    return launchRxThread([this] { return rxThreadProc(this); });
}

bool ComVXLapi::launchRxThread(std::function<uint32_t()> body) {
    if (rxThreadHandle) {
        return false;
    }
    rxThreadHandle = std::make_unique<platform::Thread>(std::move(body));
    return rxThreadHandle->setPriority(kHighestPriority) && rxThreadHandle->resume();
}

void ComVXLapi::stopRxThread() {
    if (!rxThreadHandle) {
        return;
    }
    stopping.store(true, std::memory_order_release);
    if (stopEventHandle) {
        stopEventHandle->set();
    }
    rxThreadHandle->join(kStopWaitMs);
    // A thread that is still busy is waited for here: it reads this object, so it must end first.
    rxThreadHandle.reset();
}

bool ComVXLapi::waitForDriver(uint32_t timeoutMs) {
    if (stopRequested()) {
        return false;
    }
    if (notifyEventHandle == nullptr) {
        const uint32_t r = platform::waitOne(*stopEventHandle, timeoutMs);
        return r != platform::kWaitObject0 && !stopRequested();
    }
    const uint32_t r = platform::waitAny({notifyEventHandle, stopEventHandle.get()}, timeoutMs);
    if (r == platform::kWaitObject0 + 1) {
        return false;
    }
    notifyEventHandle->reset();
    return !stopRequested();
}

void ComVXLapi::rxLoop() {}

bool ComVXLapi::readQueued(uint32_t rxId, std::vector<uint8_t>& out, uint32_t wanted) {
    out.clear();
    const uint32_t timeoutMs = getComParams()->rxTimeoutMs;
    const UtilTimeout timeout(timeoutMs);
    for (;;) {
        const uint32_t queued = rxQueue.count(rxId);
        if (queued >= wanted) {
            return rxQueue.take(rxId, out, wanted);
        }
        if (timeout.expired()) {
            rxQueue.take(rxId, out, queued);
            return false;
        }
        if (timeoutMs != 0) {
            sleepMs(kReadPollMs);
        }
    }
}

// ---- opening

bool ComVXLapi::checkOpen() {
    if (isOpen) {
        return true;
    }
    switch (lastError) {
        case kErrorDriver:
            throw bad_open_vxlapi_driver();
        case kErrorHardware:
            throw bad_open_vxlapi_hardware();
        case kErrorApplConfig:
            throw bad_open_vxlapi_appl_config();
        case kErrorHandle:
            throw bad_open_vxlapi_handle();
        case kErrorAccess:
            throw bad_open_vxlapi_access();
        case kErrorChannel:
            throw bad_open_vxlapi_channel();
        case kErrorRxQueue:
            throw bad_open_vxlapi_rxqueue();
        default:
            throw bad_open_vxlapi_data();
    }
}

bool ComVXLapi::flushReceive(uint32_t rxId) {
    return rxQueue.clear(rxId);
}

bool ComVXLapi::isLibraryLoaded() const {
    return true;
}

bool ComVXLapi::activate() {
    return openDriver() && setupChannel() && startRxThread() &&
           xlActivateChannel(portHandle, accessMaskOf(hwChannel()), busType(), XL_ACTIVATE_RESET_CLOCK) ==
               XL_SUCCESS &&
           xlFlushReceiveQueue(portHandle) == XL_SUCCESS;
}

bool ComVXLapi::openDriver() {
    if (xlOpenDriver() != XL_SUCCESS) {
        lastError = kErrorDriver;
        return false;
    }
    const uint32_t channel = hwChannel();
    // A channel outside the mask tables (0xFFFFFFFF among them) is no hardware of ours.
    if (channel >= kMaskTableSize || !configureAppChannel() || accessMasks[channel] == 0) {
        lastError = kErrorHardware;
        return false;
    }
    permissionMasks[channel] = accessMasks[channel];
    const XLstatus status = openPort();
    if (portHandle == XL_INVALID_PORTHANDLE) {
        lastError = kErrorHandle;
        return false;
    }
    if (status != XL_SUCCESS) {
        lastError = kErrorAccess;
        return false;
    }
    return true;
}

bool ComVXLapi::configureAppChannel() {
    const uint32_t type = hwType();
    const uint32_t index = hwIndex();
    const uint32_t channel = hwChannel();
    const uint32_t bus = busType();
    std::vector<uint32_t>& counters = appChannelCounters();
    const uint32_t appChannel = bus < counters.size() ? counters[bus] : 0;

    uint32_t probeType = 0;
    uint32_t probeIndex = 0;
    uint32_t probeChannel = 0;
    xlGetApplConfig(appName().c_str(), appChannel, &probeType, &probeIndex, &probeChannel, bus);

    const auto matches = [&](const XLchannelConfig& c) {
        return (c.channelBusCapabilities & (bus << 16)) != 0 && c.hwType == type && c.hwIndex == index &&
               c.hwChannel == channel;
    };
    auto config = std::make_unique<XLdriverConfig>();
    XLstatus status = xlGetDriverConfig(config.get());
    if (status != XL_SUCCESS) {
        lastError = static_cast<uint32_t>(status);
        return false;
    }
    for (uint32_t i = 0; i < config->channelCount && i < XL_CONFIG_MAX_CHANNELS; ++i) {
        if (!matches(config->channel[i])) {
            continue;
        }
        status = xlSetApplConfig(appName().c_str(), appChannel, type, index, channel, bus);
        if (bus < counters.size()) {
            ++counters[bus];
        }
        if (status != XL_SUCCESS) {
            lastError = static_cast<uint32_t>(status);
            return false;
        }
    }
    status = xlGetDriverConfig(config.get());
    if (status != XL_SUCCESS) {
        lastError = static_cast<uint32_t>(status);
        return false;
    }
    for (uint32_t i = 0; i < config->channelCount && i < XL_CONFIG_MAX_CHANNELS; ++i) {
        if (matches(config->channel[i]) && channel < kMaskTableSize) {
            accessMasks[channel] = xlGetChannelMask(type, index, channel);
        }
    }
    return true;
}

XLstatus ComVXLapi::openPort() {
    return openPortWith(kDefaultRxQueueSize, XL_INTERFACE_VERSION);
}

XLstatus ComVXLapi::openPortWith(uint32_t rxQueueSize, uint32_t interfaceVersion) {
    const uint32_t channel = hwChannel();
    if (channel >= kMaskTableSize) {
        return XL_ERR_HW_NOT_PRESENT;
    }
    portChannel = channel;
    return xlOpenPort(&portHandle, appName().c_str(), accessMasks[channel], &permissionMasks[channel],
                      rxQueueSize, interfaceVersion, busType());
}

bool ComVXLapi::setupChannel() {
    return true;
}

bool ComVXLapi::close() {
    if (portHandle == XL_INVALID_PORTHANDLE) {
        return true;
    }
    const XLaccess mask = accessMaskOf(portChannel);
    if (mask != 0 && xlDeactivateChannel(portHandle, mask) != XL_SUCCESS) {
        return false;
    }
    if (xlClosePort(portHandle) != XL_SUCCESS) {
        return false;
    }
    return xlCloseDriver() == XL_SUCCESS;
}

// ---- the channel's values

uint32_t ComVXLapi::maxDataLength() const {
    return 8;
}

uint32_t ComVXLapi::rxQueueLimit() const {
    return kDefaultRxQueueLimit;
}

uint32_t ComVXLapi::hwType() const {
    return 0;
}

uint32_t ComVXLapi::hwIndex() const {
    return 0;
}

uint32_t ComVXLapi::hwChannel() const {
    return 0;
}

uint32_t ComVXLapi::busType() const {
    return XL_BUS_TYPE_NONE;
}

const std::string& ComVXLapi::appName() const {
    static const std::string text;
    return text;
}

XLaccess ComVXLapi::accessMaskOf(uint32_t channel) const {
    return channel < accessMasks.size() ? accessMasks[channel] : 0;
}

XLaccess ComVXLapi::permissionMaskOf(uint32_t channel) const {
    return channel < permissionMasks.size() ? permissionMasks[channel] : 0;
}

// ---- members for callers outside the program's flow

uint32_t ComVXLapi::probeApplConfig(const std::string& appName, uint32_t appChannel, uint32_t& hwIndex,
                                    uint32_t& hwChannel, uint32_t busType) {
    if (xlOpenDriver() != XL_SUCCESS) {
        return 0;
    }
    uint32_t type = 0;
    xlGetApplConfig(appName.c_str(), appChannel, &type, &hwIndex, &hwChannel, busType);
    xlCloseDriver();
    return type;
}

bool ComVXLapi::resetClock() {
    return portHandle != XL_INVALID_PORTHANDLE && xlResetClock(portHandle) == XL_SUCCESS;
}

uint64_t ComVXLapi::getSyncTime() {
    XLuint64 time = 0;
    if (portHandle == XL_INVALID_PORTHANDLE || xlGetSyncTime(portHandle, &time) != XL_SUCCESS) {
        return 0;
    }
    return time;
}

bool ComVXLapi::setRxTimeout(uint32_t ms) {
    ComParams* p = getComParams();
    if (p == nullptr || p->rxTimeoutMs == ms) {
        return false;
    }
    p->rxTimeoutMs = ms;
    return true;
}
