#pragma once
// Single frames that get one tail byte appended on sending; received frames are taken whole.

#include "comm/ProtocolSingleFrame.h"

class ProtocolSingleByteTailOnSend : public ProtocolSingleFrame {
  public:
    ProtocolSingleByteTailOnSend();

    const std::string& name() const override;
    // frame = payload and tailByte; an empty payload fails and leaves the frame empty.
    bool encode(std::vector<uint8_t>& frame, const std::vector<uint8_t>& payload) override;
    virtual uint8_t tailByte() const;
};

// The line protocol: payloads end in a line feed.
class ProtocolSingleByteTailOnSend_LF : public ProtocolSingleByteTailOnSend {
  public:
    ProtocolSingleByteTailOnSend_LF();

    const std::string& name() const override;
    uint8_t tailByte() const override;
};
