#include "sim/XlChannel.h"

namespace sim {

std::optional<XLchannelConfig> findChannel(unsigned channel, uint32_t capability, const char* busName,
                                           std::string* error) {
    XLdriverConfig config{};
    if (xlGetDriverConfig(&config) != XL_SUCCESS || channel >= config.channelCount) {
        *error = "no channel " + std::to_string(channel) + " in the driver's channel list (" +
                 std::to_string(config.channelCount) + " channels)";
        return std::nullopt;
    }
    const XLchannelConfig& c = config.channel[channel];
    if ((c.channelBusCapabilities & capability) == 0) {
        *error = std::string("channel ") + std::to_string(channel) + " (" + c.name + ") has no " + busName;
        return std::nullopt;
    }
    return c;
}

}  // namespace sim
