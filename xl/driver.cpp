// The virtual XL driver: opening and closing it, its configuration and application channels, and the
// status texts. The ports, the I/O thread, the transmitter and LIN have files of their own (see
// xl/driver_internal.h).
//
// Locks: lifecycle, then state. Opening starts the I/O thread (and with VOFLASH_BUS_TIMING=1 the
// transmitter) under both; closing takes the ports out of the tables under state, then tears them
// down and stops the threads with only lifecycle held.

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "xl/config.h"
#include "xl/driver_internal.h"
#include "xl/xl_api.h"

namespace xl::driver {

Driver& drv() {
    static Driver* d = new Driver();  // never destroyed: threads may call in during exit
    return *d;
}

}  // namespace xl::driver

using namespace xl::driver;

namespace {

constexpr uint32_t kDriverVersion = 0x01000000u;

// ---- Configuration -----------------------------------------------------------------------------

std::string configSourceKey() {
    const char* path = std::getenv("VOFLASH_XL_CONFIG");
    if (path == nullptr || *path == '\0') {
        return "default";
    }
    struct stat st {};
    std::string key = std::string("file:") + path;
    if (stat(path, &st) == 0) {
        for (const uint64_t part :
             {static_cast<uint64_t>(st.st_ino), static_cast<uint64_t>(st.st_size),
              static_cast<uint64_t>(st.st_mtim.tv_sec), static_cast<uint64_t>(st.st_mtim.tv_nsec)}) {
            key.append(":").append(std::to_string(part));
        }
    }
    return key;
}

// Reads the configuration once per source (a broken file says so once); state held.
const std::vector<xl::config::Channel>& configuredChannels(Driver& d) {
    if (d.refs > 0) {
        return d.channels;
    }
    const std::string key = configSourceKey();
    if (!d.configCached || key != d.configKey) {
        d.configCache = xl::config::load();
        d.configKey = key;
        d.configCached = true;
    }
    return d.configCache;
}

// Removes the socket files of ports still open when the process ends, so no one sends to them.
void unpublishAtExit() {
    Driver& d = drv();
    std::lock_guard<std::mutex> guard(d.state);
    for (auto& [h, p] : d.ports) {
        std::lock_guard<std::mutex> pg(p->lock);
        for (ChannelState& c : p->channels) {
            if (c.node) {
                c.node->unpublish();
            }
        }
    }
}

}  // namespace

// ---- Driver ------------------------------------------------------------------------------------

XLstatus xlOpenDriver() {
    Driver& d = drv();
    std::lock_guard<std::mutex> life(d.lifecycle);
    std::lock_guard<std::mutex> guard(d.state);
    if (d.refs == 0) {
        if (d.epollFd >= 0 && d.ioPid != getpid()) {
            // A child forked after an earlier open shares the parent's epoll and wake descriptors:
            // its I/O thread would take the parent's events. It makes its own.
            close(d.epollFd);
            close(d.wakeFd);
            d.epollFd = d.wakeFd = -1;
        }
        if (d.epollFd < 0) {
            d.ioPid = getpid();
            d.epollFd = epoll_create1(EPOLL_CLOEXEC);
            d.wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
            if (d.epollFd < 0 || d.wakeFd < 0) {
                return XL_ERR_BUS_UNAVAILABLE;
            }
            epoll_event ev{};
            ev.events = EPOLLIN;
            ev.data.u64 = 0;
            epoll_ctl(d.epollFd, EPOLL_CTL_ADD, d.wakeFd, &ev);
        }
        d.channels = configuredChannels(d);
        const char* timing = std::getenv("VOFLASH_BUS_TIMING");
        d.timing = timing != nullptr && std::strcmp(timing, "1") == 0;
        d.stopping.store(false);
        d.io = std::thread(ioLoop);
        if (d.timing) {
            startTransmitter();
        }
        if (!d.exitHookSet) {
            d.exitHookSet = true;
            std::atexit(unpublishAtExit);
        }
    }
    ++d.refs;
    return XL_SUCCESS;
}

XLstatus xlCloseDriver() {
    Driver& d = drv();
    std::lock_guard<std::mutex> life(d.lifecycle);
    std::map<XLportHandle, std::shared_ptr<Port>> ports;
    {
        std::lock_guard<std::mutex> guard(d.state);
        if (d.refs == 0) {
            return XL_ERR_DRIVER_NOT_OPEN;
        }
        if (--d.refs > 0) {
            return XL_SUCCESS;
        }
        ports.swap(d.ports);
        d.nodes.clear();
        d.initHolders.clear();
    }
    for (auto& [h, p] : ports) {
        teardown(*p);
    }
    d.stopping.store(true);
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t r = write(d.wakeFd, &one, sizeof one);
    d.io.join();
    stopTransmitter();
    return XL_SUCCESS;
}

XLstatus xlGetDriverConfig(XLdriverConfig* config) {
    if (config == nullptr) {
        return XL_ERR_WRONG_PARAMETER;
    }
    Driver& d = drv();
    std::lock_guard<std::mutex> guard(d.state);
    const auto& channels = configuredChannels(d);
    std::memset(config, 0, sizeof *config);
    config->dllVersion = kDriverVersion;
    config->channelCount = static_cast<uint32_t>(channels.size());
    for (size_t i = 0; i < channels.size(); ++i) {
        XLchannelConfig& c = config->channel[i];
        const xl::config::Channel& s = channels[i];
        std::strncpy(c.name, s.name.c_str(), XL_MAX_LENGTH);
        c.hwType = s.hwType;
        c.hwIndex = s.hwIndex;
        c.hwChannel = s.hwChannel;
        c.channelIndex = static_cast<uint8_t>(i);
        c.channelMask = XLaccess{1} << i;
        c.channelBusCapabilities = s.busCapabilities;
        c.serialNumber = s.serialNumber;
        std::strncpy(c.busName, s.bus.c_str(), XL_MAX_LENGTH);
    }
    return XL_SUCCESS;
}

XLstatus xlGetApplConfig(const char* appName, uint32_t appChannel, uint32_t* hwType, uint32_t* hwIndex,
                         uint32_t* hwChannel, uint32_t busType) {
    if (appName == nullptr || hwType == nullptr || hwIndex == nullptr || hwChannel == nullptr) {
        return XL_ERR_WRONG_PARAMETER;
    }
    Driver& d = drv();
    std::lock_guard<std::mutex> guard(d.state);
    auto it = d.appConfig.find({appName, busType, appChannel});
    if (it == d.appConfig.end()) {
        return XL_ERR_INVALID_APPL_CONFIG;
    }
    std::tie(*hwType, *hwIndex, *hwChannel) = it->second;
    return XL_SUCCESS;
}

XLstatus xlSetApplConfig(const char* appName, uint32_t appChannel, uint32_t hwType, uint32_t hwIndex,
                         uint32_t hwChannel, uint32_t busType) {
    if (appName == nullptr || *appName == '\0' || appChannel >= XL_CONFIG_MAX_CHANNELS) {
        return XL_ERR_WRONG_PARAMETER;
    }
    if (busType != XL_BUS_TYPE_CAN && busType != XL_BUS_TYPE_LIN) {
        return XL_ERR_WRONG_BUS_TYPE;
    }
    Driver& d = drv();
    std::lock_guard<std::mutex> guard(d.state);
    d.appConfig[{appName, busType, appChannel}] = {hwType, hwIndex, hwChannel};
    return XL_SUCCESS;
}

XLaccess xlGetChannelMask(uint32_t hwType, uint32_t hwIndex, uint32_t hwChannel) {
    Driver& d = drv();
    std::lock_guard<std::mutex> guard(d.state);
    const auto& channels = configuredChannels(d);
    for (size_t i = 0; i < channels.size(); ++i) {
        const xl::config::Channel& c = channels[i];
        if (c.hwType == hwType && c.hwIndex == hwIndex && c.hwChannel == hwChannel) {
            return XLaccess{1} << i;
        }
    }
    return 0;
}

// ---- Texts ---------------------------------------------------------------------------------------

const char* xlGetErrorString(XLstatus status) {
    switch (status) {
        case XL_SUCCESS:
            return "XL_SUCCESS";
        case XL_ERR_QUEUE_IS_EMPTY:
            return "XL_ERR_QUEUE_IS_EMPTY: no event waits";
        case XL_ERR_QUEUE_IS_FULL:
            return "XL_ERR_QUEUE_IS_FULL: transmit queue full, nothing sent";
        case XL_ERR_INVALID_APPL_CONFIG:
            return "XL_ERR_INVALID_APPL_CONFIG: no such application channel";
        case XL_ERR_CMD_FAILED:
            return "XL_ERR_CMD_FAILED: the channel refuses this in its mode";
        case XL_ERR_INVALID_ACCESS:
            return "XL_ERR_INVALID_ACCESS: access mask names no channel of the port";
        case XL_ERR_WRONG_PARAMETER:
            return "XL_ERR_WRONG_PARAMETER";
        case XL_ERR_WRONG_INTERFACE_VERSION:
            return "XL_ERR_WRONG_INTERFACE_VERSION: call not for the port's interface version";
        case XL_ERR_WRONG_BUS_TYPE:
            return "XL_ERR_WRONG_BUS_TYPE: bus type not served by the port or channel";
        case XL_ERR_CHANNEL_NOT_ACTIVE:
            return "XL_ERR_CHANNEL_NOT_ACTIVE: channel not activated";
        case XL_ERR_BUS_OFF:
            return "XL_ERR_BUS_OFF: channel is bus off until activated again";
        case XL_ERR_NO_INIT_ACCESS:
            return "XL_ERR_NO_INIT_ACCESS: the port has no init access to the channel";
        case XL_ERR_HW_NOT_PRESENT:
            return "XL_ERR_HW_NOT_PRESENT: no configured channel";
        case XL_ERR_INVALID_PORT:
            return "XL_ERR_INVALID_PORT: not a port handle of the driver";
        case XL_ERR_DRIVER_NOT_OPEN:
            return "XL_ERR_DRIVER_NOT_OPEN";
        case XL_ERR_BUS_UNAVAILABLE:
            return "XL_ERR_BUS_UNAVAILABLE: the virtual bus cannot be reached";
        default:
            return "unknown XL status";
    }
}
