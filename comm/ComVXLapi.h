#pragma once
// What the Vector CAN and LIN channels share over the XL driver: registration of the hardware channel
// under the program's application name, the port, activation, the receive thread with its stop
// event, the per-identifier receive queue, closing, and the exceptions that name the failed open step.
// The bus set-up, the receive loop and the frame operations belong to the subclasses.
//
// The receive thread reads members of the most-derived channel, so every channel class stops it
// (stopRxThread) at the start of its own destructor; the later calls find it stopped.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "comm/ComLIB_DLL.h"
#include "comm/VXLapiRxQueue.h"
#include "xl/xl_api.h"

namespace platform {
class Event;
class Thread;
}  // namespace platform

class ComVXLapi : public ComLIB_DLL {
  public:
    // Open failures, chosen by lastError in checkOpen; each names its cause in description().
    struct bad_open_vxlapi_driver : Communication::bad_open {
        const std::string& description() const override;
    };
    struct bad_open_vxlapi_hardware : Communication::bad_open {
        const std::string& description() const override;
    };
    struct bad_open_vxlapi_appl_config : Communication::bad_open {
        const std::string& description() const override;
    };
    struct bad_open_vxlapi_handle : Communication::bad_open {
        const std::string& description() const override;
    };
    struct bad_open_vxlapi_access : Communication::bad_open {
        const std::string& description() const override;
    };
    struct bad_open_vxlapi_channel : Communication::bad_open {
        const std::string& description() const override;
    };
    struct bad_open_vxlapi_rxqueue : Communication::bad_open {
        const std::string& description() const override;
    };
    struct bad_open_vxlapi_data : Communication::bad_open {
        const std::string& description() const override;
    };

    // The codes the open steps leave in lastError.
    static constexpr uint32_t kErrorDriver = 201;
    static constexpr uint32_t kErrorHardware = 129;
    static constexpr uint32_t kErrorApplConfig = 101;
    static constexpr uint32_t kErrorHandle = 155;
    static constexpr uint32_t kErrorAccess = 112;
    static constexpr uint32_t kErrorChannel = 111;
    static constexpr uint32_t kErrorRxQueue = 10;

    // Hardware channels the mask tables hold.
    static constexpr uint32_t kMaskTableSize = 16;

    // Takes over params (the subclass's own heap copy).
    ComVXLapi(ComParams* params, uint32_t id);
    // Stops the receive thread, closes the channel, and sets every application channel counter back
    // to 0.
    ~ComVXLapi() override;

    bool checkOpen() override;
    bool flushReceive(uint32_t rxId) override;
    bool isLibraryLoaded() const override;
    // Driver, port and application channel; bus set-up; receive thread; activation; receive queue
    // flushed. Stops at the first step that fails; what succeeded stays until the destructor.
    bool activate() override;
    // Deactivates the channel and closes the port and the driver; true when there is no port.
    bool close() override;

    virtual uint32_t maxDataLength() const;
    virtual bool startRxThread();
    virtual bool setupChannel();
    virtual void rxLoop();
    virtual uint32_t rxQueueLimit() const;
    virtual uint32_t hwType() const;
    virtual uint32_t hwIndex() const;
    virtual uint32_t hwChannel() const;
    virtual uint32_t busType() const;
    virtual const std::string& appName() const;
    virtual bool openDriver();
    virtual bool configureAppChannel();
    // The driver status of xlOpenPort.
    virtual XLstatus openPort();

    // The application channel the next channel of each bus type registers under (32 bus types).
    static std::vector<uint32_t>& appChannelCounters();
    // Opens the driver, asks which hardware the application channel is configured to, closes the
    // driver; the hardware type, 0 when the driver does not open.
    static uint32_t probeApplConfig(const std::string& appName, uint32_t appChannel, uint32_t& hwIndex,
                                    uint32_t& hwChannel, uint32_t busType);

    bool resetClock();
    uint64_t getSyncTime();
    // Writes the receive time-out of the parameters; whether it changed.
    bool setRxTimeout(uint32_t ms);

    platform::Event* stopEvent() const { return stopEventHandle.get(); }
    uint8_t getBusStatus() const { return busStatus.load(); }
    uint8_t getTxErrorCounter() const { return txErrorCounter.load(); }
    uint8_t getRxErrorCounter() const { return rxErrorCounter.load(); }

  protected:
    // Thread entry of the base: runs rxLoop.
    static uint32_t rxThreadProc(ComVXLapi* self);
    // Creates the receive thread on body, raises its priority and starts it.
    bool launchRxThread(std::function<uint32_t()> body);
    // Asks the receive thread to stop and joins it; nothing when there is none. Every channel class
    // calls it first in its destructor.
    void stopRxThread();
    // For the receive loops: waits up to timeoutMs (platform::kInfinite: no limit) for the driver's
    // notification or the stop request and resets the notification; false once the thread is to end.
    bool waitForDriver(uint32_t timeoutMs);
    bool stopRequested() const { return stopping.load(std::memory_order_acquire); }
    // xlOpenPort on the channel's masks with this queue size and interface version.
    XLstatus openPortWith(uint32_t rxQueueSize, uint32_t interfaceVersion);
    // The masks of a hardware channel; 0 outside the tables.
    XLaccess accessMaskOf(uint32_t channel) const;
    XLaccess permissionMaskOf(uint32_t channel) const;
    // For the reads: waits up to the receive time-out until wanted bytes for rxId are queued and
    // takes them into out (cleared first). On time-out the bytes that did arrive are taken into out
    // and the result is false.
    bool readQueued(uint32_t rxId, std::vector<uint8_t>& out, uint32_t wanted);

    VXLapiRxQueue rxQueue;
    std::unique_ptr<platform::Thread> rxThreadHandle;
    std::unique_ptr<platform::Event> stopEventHandle;
    XLhandle notifyEventHandle = nullptr;
    XLportHandle portHandle = XL_INVALID_PORTHANDLE;
    std::vector<XLaccess> accessMasks;
    std::vector<XLaccess> permissionMasks;
    // The last chip state a receive loop saw (written by the receive thread only).
    std::atomic<uint8_t> busStatus{0};
    std::atomic<uint8_t> txErrorCounter{0};
    std::atomic<uint8_t> rxErrorCounter{0};

  private:
    // Set with the stop event; the receive loops also look at it between drains, so a busy bus
    // cannot keep the thread from ending.
    std::atomic<bool> stopping{false};
    // The hardware channel the port was opened on, for close (which the destructor
    // runs when the subclass's overrides are gone).
    uint32_t portChannel = 0;
};
