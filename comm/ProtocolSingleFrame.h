#pragma once
// One payload is one frame: the default protocol of every channel.

#include "comm/Protocol.h"

class ProtocolSingleFrame : public Protocol {
  public:
    ProtocolSingleFrame();
    ProtocolSingleFrame(uint64_t address, uint64_t value);

    const std::string& name() const override;
    bool validate() override;
    bool encode(std::vector<uint8_t>& frame, const std::vector<uint8_t>& payload) override;
    // The frame without its header and tail; false when the frame is shorter than both together.
    bool decode(std::vector<uint8_t>& payload, const std::vector<uint8_t>& frame) override;
    // An empty payload goes out as an empty frame, without encode.
    bool send(Communication* channel, uint32_t txId, uint32_t rxId, const std::vector<uint8_t>& payload) override;
    // An empty frame read leaves out as it was and succeeds.
    bool receive(Communication* channel, uint32_t txId, uint32_t rxId, std::vector<uint8_t>& out,
                 uint32_t count) override;

  protected:
    // payload = frame without its first header and last tail bytes; false, payload untouched, when the frame
    // holds fewer than header + tail bytes.
    static bool stripFrame(std::vector<uint8_t>& payload, const std::vector<uint8_t>& frame, uint64_t header,
                           uint64_t tail);
};
