#pragma once
// One received bus frame, as the receive queues keep it.

#include <cstdint>
#include <vector>

class MessageFrame {
  public:
    MessageFrame(const std::vector<uint8_t>& data, uint32_t id, uint32_t checksum, uint64_t timestamp,
                 uint32_t dlc, uint32_t flags);
    MessageFrame(const MessageFrame&) = default;
    MessageFrame& operator=(const MessageFrame&) = default;
    virtual ~MessageFrame();

    virtual uint32_t kind() const;

    // The bus identifier as the channel files it: a CAN identifier without the extended-frame bit, a
    // LIN identifier 0 to 63.
    uint32_t id;
    // The payload; never empty inside a queue.
    std::vector<uint8_t> data;
    // The LIN checksum byte received; 0 for CAN.
    uint32_t checksum;
    uint64_t timestamp;
    // The data length code as the driver reported it (for CAN FD the code, not the byte count).
    uint32_t dlc;
    uint32_t flags;
};

// A frame as received from the XL driver.
class VXLapiMsg : public MessageFrame {
  public:
    using MessageFrame::MessageFrame;
    VXLapiMsg(const VXLapiMsg&) = default;
    VXLapiMsg& operator=(const VXLapiMsg&) = default;
    ~VXLapiMsg() override;
};
