#pragma once
// The channel of the XL driver's channel list a simulator link attaches to.

#include <cstdint>
#include <optional>
#include <string>

#include "xl/xl_api.h"

namespace sim {

// Channel index `channel` of the driver's list when it has the bus capability (XL_BUS_ACTIVE_CAP_...);
// otherwise none, and *error says why ("CAN" or "LIN" as busName in the text).
std::optional<XLchannelConfig> findChannel(unsigned channel, uint32_t capability, const char* busName,
                                           std::string* error);

}  // namespace sim
