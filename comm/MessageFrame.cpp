#include "comm/MessageFrame.h"

MessageFrame::MessageFrame(const std::vector<uint8_t>& data, uint32_t id, uint32_t checksum,
                           uint64_t timestamp, uint32_t dlc, uint32_t flags)
    : id(id), data(data), checksum(checksum), timestamp(timestamp), dlc(dlc), flags(flags) {}

MessageFrame::~MessageFrame() = default;

uint32_t MessageFrame::kind() const {
    return 0;
}

VXLapiMsg::~VXLapiMsg() = default;
