#pragma once
// LinSlavePeer: the ECU side of a LIN bus for tests and the simulated ECU. On LIN the ECU speaks only
// when the master asks: the tool writes its requests as master frames of identifier 0x3C and fetches
// every frame of the ECU (single frames, first frames, flow controls) with a header of 0x3D. This
// class opens one configured channel as LIN slave through the xl* calls and
//   - answers each 0x3D header with the next frame queued by queueResponse (one frame per header,
//     in order; with none queued its slave entry is switched off and the header gets no frame, or,
//     given an idle response, the header gets that);
//   - hands every 0x3C frame the master puts on the bus to nextRequest, in bus order.
//
// Use (the driver stand-in is configured by VOFLASH_XL_CONFIG and VOFLASH_BUS_DIR as usual):
//
//     std::string error;
//     auto ecu = xl::LinSlavePeer::open({.hwType = 1, .hwIndex = 0, .hwChannel = 1}, &error);
//     std::vector<uint8_t> frame;
//     while (ecu->nextRequest(frame, 5000)) {        // 8 bytes: 73 02 10 01 00 00 00 00
//         ecu->queueResponse({0x73, 0x02, 0x50, 0x01});  // filled up to 8 bytes with 0x00
//     }
//
// A response should be queued before the master's header for it comes. For replies that is easy:
// the tool waits 20 ms after its request before the first header, and repeats headers for up to
// 1000 ms. The flow control for a multi-frame request is tight: the tool sends its one 0x3D header
// right after the first frame and does not repeat it, so queue the flow control as soon as a first
// frame (byte 1 = 0x1n) arrives, or ahead of it when a multi-frame request is expected. A private thread
// reacts to the driver: it re-arms the slave entry with the next queued frame as soon as the
// previous one went out. The driver is opened in open() (that starts its I/O thread): in a test,
// fork before opening one. Thread-safe; the destructor closes the port and the driver.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "xl/xl_api.h"

namespace xl {

class LinSlavePeer {
  public:
    struct Options {
        uint32_t hwType = XL_HWTYPE_VIRTUAL;
        uint32_t hwIndex = 0;
        uint32_t hwChannel = 0;
        uint8_t requestId = 0x3C;   // master frames delivered by nextRequest
        uint8_t responseId = 0x3D;  // header answered with the queued frames
        // XL_LIN_CALC_CHECKSUM (classic, what the flash programs expect) or ..._ENHANCED.
        uint16_t checksumModel = XL_LIN_CALC_CHECKSUM;
        uint32_t baud = 19200;
        uint32_t linVersion = XL_LIN_VERSION_2_0;
        // The frame a header gets while no response is queued (empty: none). The driver puts it in
        // place the moment a queued frame went out, so it is there however late this side runs.
        std::vector<uint8_t> idleResponse = {};
    };

    // Opens the driver and the channel as an active LIN slave; null with *error set when it cannot.
    static std::unique_ptr<LinSlavePeer> open(const Options& options, std::string* error);
    ~LinSlavePeer();
    LinSlavePeer(const LinSlavePeer&) = delete;
    LinSlavePeer& operator=(const LinSlavePeer&) = delete;

    // Queues one response frame (up to 8 bytes, filled up with 0x00; longer frames are cut).
    void queueResponse(const std::vector<uint8_t>& frame);
    // Drops the queued responses; the next header gets no frame.
    void clearResponses();
    // Responses queued and not yet sent (the one armed included).
    size_t pendingResponses() const;
    // Responses that went out on the bus.
    size_t responsesSent() const;
    // Takes the next master frame of the request identifier (its data bytes); false when none came
    // within timeoutMs (negative: no limit).
    bool nextRequest(std::vector<uint8_t>& frame, int timeoutMs);

    XLportHandle port() const { return port_; }
    XLaccess mask() const { return mask_; }

  private:
    LinSlavePeer(const Options& options, XLportHandle port, XLaccess mask, XLhandle notify);
    void run();
    void handle(const s_xl_lin_msg& msg);
    // Sets the slave entry to the first queued frame, or switches it off; lock held.
    void arm();

    const Options options_;
    const std::vector<uint8_t> idle_;  // 8 bytes, or empty
    const XLportHandle port_;
    const XLaccess mask_;
    const XLhandle notify_;

    mutable std::mutex lock_;
    std::condition_variable requestArrived_;
    std::deque<std::vector<uint8_t>> responses_;  // each 8 bytes
    std::deque<std::vector<uint8_t>> requests_;
    size_t sent_ = 0;

    std::unique_ptr<platform::Event> stop_;
    std::thread thread_;
};

}  // namespace xl
