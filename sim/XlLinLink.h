#pragma once
// A FrameLink on one channel of the XL driver's channel list as LIN slave: the tool's requests are
// master frames of the request identifier (0x3C by default); the ECU's frames go out one per header
// of the response identifier (0x3D).
//
// The tool fetches the flow control for its first frame with a header written right after that
// frame, before the ECU can have read it; so while nothing else waits to go out, the ECU's flow
// control stays armed for the next header (the driver puts it back the moment a frame went out,
// however late this process runs). A header that meets it while a reply is still being prepared
// gets that flow control, which the tool takes as no reply and asks again. Multi-frame replies
// cannot arrive: the tool sends no headers for consecutive frames.

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
    // flowControl: the ECU's flow-control frame, kept armed while idle.
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
