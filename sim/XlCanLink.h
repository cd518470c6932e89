#pragma once
// A FrameLink on one channel of the XL driver's channel list, as a plain CAN node: it takes the
// frames of the request identifier and sends on the reply identifier (identifiers above 0x7FF are
// extended ones).

#include <cstdint>
#include <string>

#include "sim/ServerTransport.h"
#include "xl/xl_api.h"

namespace sim {

class XlCanLink : public FrameLink {
  public:
    XlCanLink(uint32_t requestId, uint32_t responseId);
    ~XlCanLink() override;
    XlCanLink(const XlCanLink&) = delete;
    XlCanLink& operator=(const XlCanLink&) = delete;

    // Opens the driver and a port on channel index `channel`, activated; *error says why not.
    bool open(unsigned channel, std::string* error);
    void close();

    bool sendFrame(const Bytes& frame) override;
    std::optional<Bytes> receiveFrame(uint32_t timeoutMs) override;

  private:
    static uint32_t wireId(uint32_t id);

    const uint32_t requestId_;
    const uint32_t responseId_;
    bool driverOpen_ = false;
    XLportHandle port_ = XL_INVALID_PORTHANDLE;
    XLaccess mask_ = 0;
    XLhandle notification_ = nullptr;
};

}  // namespace sim
