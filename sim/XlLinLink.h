#pragma once
// A FrameLink on one channel of the XL driver's channel list as LIN slave: the tool's requests are
// master frames of the request identifier (0x3C by default); the ECU's frames go out one per header
// of the response identifier (0x3D), in the order they were sent, the frames of a multi-frame reply
// and every reply of one request (a doubled one, "response pending" before the reply) included.
//
// The tool fetches the flow control for its first frame with a header written right after that
// frame, before the ECU can have read it; so while nothing else waits to go out, the ECU's flow
// control stays armed for the next header (the driver puts it back the moment a frame went out,
// however late this process runs). A header that meets it while a frame is still being prepared
// gets that flow control, which the tool takes as no frame and asks again.
//
// A master frame that begins a new message (a single or first frame with the ECU's address byte) is
// the tool's next request: whatever is still queued of earlier replies goes, as a LIN slave drops its
// response when a new request comes, so a reply the tool gave up on never answers a later step.

#include <cstdint>
#include <memory>
#include <string>

#include "sim/ServerTransport.h"

namespace xl {
class LinSlavePeer;
}

namespace sim {

class XlLinLink : public FrameLink {
  public:
    // flowControl: the ECU's flow-control frame (its first byte the ECU's address byte), kept armed
    // while idle.
    XlLinLink(uint8_t requestId, uint8_t responseId, const Bytes& flowControl);
    ~XlLinLink() override;
    XlLinLink(const XlLinLink&) = delete;
    XlLinLink& operator=(const XlLinLink&) = delete;

    bool open(unsigned channel, std::string* error);

    bool sendFrame(const Bytes& frame) override;
    std::optional<Bytes> receiveFrame(uint32_t timeoutMs) override;

  private:
    const uint8_t requestId_;
    const uint8_t responseId_;
    Bytes flowControl_;
    std::unique_ptr<xl::LinSlavePeer> peer_;
};

}  // namespace sim
