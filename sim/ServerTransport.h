#pragma once
// The ECU's side of the transport: requests of 1 to 4095 bytes arrive as a single frame, or as a
// first frame and consecutive frames after the ECU's flow control; replies leave the same way, the
// consecutive frames after the tool's flow control.
//
// Frames: byte 0 the address byte, byte 1 the type (0L single frame, 1L LL first frame, 2N
// consecutive frame with sequence number N, 30 BS ST flow control), then the data; 8 bytes, padded
// with 0x00. Frames with another address byte are not for this ECU and are ignored, as are
// consecutive and flow-control frames outside a message, and malformed frames.
//
// Flow control from the tool: block size 0 and 0xFF both mean no limit (the tool sends 30 FF 00
// once for a whole reply); any other block size n lets n frames go before the next flow control.

#include <cstdint>
#include <optional>

#include "platform/event.h"
#include "sim/SimConfig.h"

namespace sim {

// The frames of one bus identifier pair, with the stop that ends every wait on them.
class FrameLink {
  public:
    virtual ~FrameLink() = default;
    // Puts a frame on the bus under the reply identifier.
    virtual bool sendFrame(const Bytes& frame) = 0;
    // The next frame of the request identifier, within timeoutMs; none on time-out or stop.
    virtual std::optional<Bytes> receiveFrame(uint32_t timeoutMs) = 0;
    // Waits ms, or less when the link is being stopped; false then.
    bool pause(uint32_t ms) { return platform::waitOne(stop_, ms) == platform::kWaitTimeout; }
    bool stopping() const { return stop_.isSet(); }
    // Ends every wait at once; the link then receives nothing. Any thread may call it.
    void requestStop() { stop_.set(); }

  protected:
    platform::Event stop_{true, false};
};

struct SendOptions {
    bool shortFrames = false;      // frames end after their data (no padding)
    uint32_t dropConsecutive = 0;  // this consecutive frame (from 1) is left out; 0 none
};

class ServerTransport {
  public:
    // How long the ECU waits for the next frame of a message (consecutive or flow control).
    static constexpr uint32_t kFrameTimeoutMs = 1000;

    ServerTransport(FrameLink& link, uint8_t address, uint8_t blockSize, uint8_t stMin);

    // The next complete request, waiting up to timeoutMs for its first frame.
    std::optional<Bytes> receiveRequest(uint32_t timeoutMs);
    // Sends one reply (1 to 4095 bytes); false when the tool's flow control did not come, and, sending
    // nothing, once a new request has broken off an earlier reply.
    bool sendReply(const Bytes& payload, const SendOptions& options = {});

    // Frames the ECU dropped as not fitting (diagnostics for tests).
    uint64_t droppedFrames() const { return dropped_; }

  private:
    std::optional<Bytes> nextFrame(uint32_t timeoutMs);
    // The next frame while a message is under way; none on time-out or when a new message starts
    // (its first frame is kept for receiveRequest).
    std::optional<Bytes> frameOfMessage();
    // The request a first frame starts; none when it breaks off. A new first or single frame that
    // arrives instead is kept for the next receiveRequest.
    std::optional<Bytes> assemble(const Bytes& first);
    bool sendFlowControl();
    bool sendFrame(Bytes frame, bool shortFrame);
    // Waits for the tool's flow control: its block size, or none.
    std::optional<std::pair<uint8_t, uint8_t>> awaitFlowControl();

    FrameLink& link_;
    const uint8_t address_;
    const uint8_t blockSize_;
    const uint8_t stMin_;
    std::optional<Bytes> held_;
    uint64_t dropped_ = 0;
};

// Milliseconds to wait for a separation time byte: 0 to 127 ms as given, 0xF1 to 0xF9 (tenths of a
// millisecond) and the reserved values as the 127 ms that a receiver must be ready for.
uint32_t separationMs(uint8_t stMin);

}  // namespace sim
