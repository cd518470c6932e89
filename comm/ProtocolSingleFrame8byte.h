#pragma once
// Holds one frame of exactly 8 bytes; the base of the Fiat frame codecs.

#include "comm/ProtocolSingleFrame.h"

class ProtocolSingleFrame8byte : public ProtocolSingleFrame {
  public:
    static constexpr size_t kFrameSize = 8;

    ProtocolSingleFrame8byte(uint64_t address, uint64_t value);

    uint64_t headerLength() const override;
    uint64_t tailLength() const override;
    uint64_t auxLengthA() const override;
    // payload = the held frame without header and tail (the argument frame is not used); true when that
    // leaves at least one byte.
    bool decode(std::vector<uint8_t>& payload, const std::vector<uint8_t>& unused) override;

    std::vector<uint8_t>& getFrame() { return frame; }
    const std::vector<uint8_t>& getFrame() const { return frame; }

  protected:
    std::vector<uint8_t> frame;
};
