#include "app/ComInterfaceSelector.h"

#include <cstring>
#include <iomanip>
#include <limits>
#include <map>
#include <sstream>

#include "comm/ComParams.h"
#include "comm/ComSerial.h"
#include "comm/ComVXLapiCAN.h"
#include "comm/ComVXLapiLIN.h"
#include "comm/Communication.h"
#include "comm/ProtocolFiatTP.h"
#include "comm/ProtocolFiatTP_LIN.h"
#include "comm/ProtocolSingleFrame.h"
#include "console/console.h"

namespace {

constexpr uint8_t kCanTransportAddress = 0x43;  // 'C'
constexpr uint8_t kLinTransportAddress = 0x73;  // 's'
constexpr uint32_t kCanNotificationLevel = 32;
constexpr uint32_t kLinMaster = 1;
constexpr uint8_t kLinSlaveId = 0x3C;
constexpr uint32_t kNoChannel = 0xFFFFFFFFu;

const std::map<enumInterfaceType, uint32_t>& hardwareTypes() {
    static const std::map<enumInterfaceType, uint32_t> table = {
        {CANcardX, 2},   {CANcardXL, 15}, {CANcaseXL, 21}, {CANcardXLe, 43}, {CANVN1610, 55},
        {CANVN1630, 57}, {CANVN1640, 59}, {CANVN1611, 63}, {CANVN8900, 45},
    };
    return table;
}

bool isVectorType(enumInterfaceType type) {
    return (type >= CANcardX && type <= CANVN8900) || type == AutoDetectHW;
}

// The serial record of both UART types: time-outs of 200 ms (first byte), 100 ms (between bytes) and
// 5000 ms (receive), no delay between bytes.
std::unique_ptr<ComParams> serialRecord(uint32_t port, uint32_t baud) {
    return std::make_unique<ComParamsSerial>(port, baud, 200, 100, 5000, 0);
}

// A Vector CAN record on channel port - 1 (u32 arithmetic) with notification level 32.
std::unique_ptr<ComParams> canRecord(uint32_t hwType, uint32_t hwIndex, uint32_t port, uint32_t baud,
                                     uint32_t rxQueueLimit) {
    auto record = std::make_unique<ComParamsVXLapiCAN>(rxQueueLimit, hwType, hwIndex, port - 1, baud);
    record->notificationLevel = kCanNotificationLevel;
    return record;
}

std::unique_ptr<ComParams> linRecord(uint32_t linVersion, uint32_t baud, uint32_t hwType, uint32_t hwIndex,
                                     uint32_t hwChannel, uint32_t rxQueueLimit) {
    return std::make_unique<ComParamsVXLapiLIN>(rxQueueLimit, kLinMaster, true,
                                                std::vector<uint8_t>{kLinSlaveId}, std::vector<uint8_t>(8, 0),
                                                linVersion, baud, hwType, hwIndex, hwChannel);
}

}  // namespace

ComInterfaceSelector::ComInterfaceSelector()
    : names{{UART_FullDuplex, "UART_FullDuplex"},
            {UART_HalfDuplex, "UART_HalfDuplex"},
            {CANcardX, "CANcardX"},
            {CANcardXL, "CANcardXL"},
            {CANcaseXL, "CANcaseXL"},
            {CANcardXLe, "CANcardXLe"},
            {CANVN1610, "CANVN1610"},
            {CANVN1630, "CANVN1630"},
            {CANVN1640, "CANVN1640"},
            {CANVN1611, "CANVN1611"},
            {CANVN8900, "CANVN8900"},
            {AutoDetectHW, "Auto detect HW"}} {}

uint32_t ComInterfaceSelector::hardwareType(enumInterfaceType type) {
    const auto& table = hardwareTypes();
    const auto it = table.find(type);
    return it == table.end() ? 0 : it->second;
}

bool ComInterfaceSelector::isSerialType(enumInterfaceType type) {
    return type == UART_FullDuplex || type == UART_HalfDuplex;
}

std::unique_ptr<ComParams> ComInterfaceSelector::fixedRecord(enumInterfaceType type, uint32_t port,
                                                             uint32_t baud, uint32_t hwIndex,
                                                             uint32_t busMode, uint32_t rxQueueLimit) {
    if (isSerialType(type)) {
        return serialRecord(port, baud);
    }
    if (type >= CANcardX && type <= CANVN8900) {
        const uint32_t hwType = hardwareType(type);
        if (busMode == kBusCan) {
            return canRecord(hwType, hwIndex, port, baud, rxQueueLimit);
        }
        if (busMode == kBusLin) {
            return linRecord(2, baud, hwType, hwIndex, 0, rxQueueLimit);
        }
    }
    return nullptr;
}

std::unique_ptr<Communication> ComInterfaceSelector::channelFor(enumInterfaceType type,
                                                                const ComParams* record, uint32_t rxId,
                                                                uint32_t busMode) {
    if (record == nullptr) {
        return nullptr;
    }
    if (isSerialType(type)) {
        const auto* serial = dynamic_cast<const ComParamsSerial*>(record);
        if (serial == nullptr) {
            return nullptr;
        }
        if (type == UART_FullDuplex) {
            return std::make_unique<ComSerial>(*serial, 0);
        }
        return std::make_unique<ComSerialHalfDuplex>(*serial, 0);
    }
    if (isVectorType(type) && busMode == kBusCan) {
        const auto* can = dynamic_cast<const ComParamsVXLapiCAN*>(record);
        if (can == nullptr) {
            return nullptr;
        }
        return std::make_unique<ComVXLapiCAN>(*can, rxId);
    }
    if (isVectorType(type) && busMode == kBusLin) {
        const auto* lin = dynamic_cast<const ComParamsVXLapiLIN*>(record);
        if (lin == nullptr) {
            return nullptr;
        }
        return std::make_unique<ComVXLapiLIN>(*lin, 0);
    }
    return nullptr;
}

int ComInterfaceSelector::detectVectorHw() {
    // The record is large (64 channels); keep it off the stack.
    auto config = std::make_unique<XLdriverConfig>();
    if (xlGetDriverConfig(config.get()) != XL_SUCCESS) {
        return -2;
    }
    const uint32_t count = std::min<uint32_t>(config->channelCount, XL_CONFIG_MAX_CHANNELS);
    for (uint32_t i = 0; i < count; ++i) {
        const s_xl_channel_config& channel = config->channel[i];
        const bool canOrLin =
            (channel.channelBusCapabilities & (XL_BUS_ACTIVE_CAP_CAN | XL_BUS_ACTIVE_CAP_LIN)) != 0;
        if (canOrLin && channel.hwType != XL_HWTYPE_VIRTUAL) {
            detected.push_back(channel);
        }
    }
    return 0;
}

void ComInterfaceSelector::printInterfaceList() const {
    normalOut << "Com interface list:" << '\n';
    for (const auto& [value, name] : names) {
        normalOut << "   " << std::dec << std::right << std::setw(2) << static_cast<int>(value) << " = "
                  << name << '\n';
    }
    normalOut << '\n';
}

std::string ComInterfaceSelector::hwEntryToString(const s_xl_channel_config& channel) {
    // The name may fill its whole field without a terminating zero.
    const std::string name(channel.name, strnlen(channel.name, sizeof channel.name));
    std::ostringstream out;
    out << "  " << std::left << std::setw(25) << name << "  [" << std::setw(2)
        << static_cast<unsigned>(channel.hwType) << "." << static_cast<unsigned>(channel.hwIndex) << "."
        << static_cast<unsigned>(channel.hwChannel) << "]  ("
        << "serial number: " << std::right << std::setw(5) << channel.serialNumber << ")";
    return out.str();
}

void ComInterfaceSelector::printDetectedHw() const {
    normalOut << "detected vector HW:" << '\n';
    for (const auto& channel : detected) {
        normalOut << hwEntryToString(channel) << '\n';
    }
    normalOut << '\n';
}

void ComInterfaceSelector::selectDetectedHw(std::istream& in) {
    normalOut << '\n';
    if (detected.size() < 2) {
        printDetectedHw();
        return;
    }
    normalOut << "Please select one of the following item:" << '\n';
    for (size_t i = 0; i < detected.size(); ++i) {
        normalOut << std::dec << std::right << std::setw(3) << i << ": " << hwEntryToString(detected[i])
                  << '\n';
    }
    normalOut << '\n' << "Select: " << std::flush;
    int answer = 0;
    if (!(in >> answer)) {
        answer = 0;
        if (!in.eof()) {
            in.clear();
        }
    }
    // The rest of the answer line is not meant for any later question.
    if (in.good()) {
        in.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
    }
    normalOut << '\n' << '\n';
    if (answer >= 0 && static_cast<size_t>(answer) < detected.size()) {
        selectedIndex = answer;
    }
}

const s_xl_channel_config* ComInterfaceSelector::selectedChannel() const {
    if (detected.empty()) {
        return nullptr;
    }
    return &detected.at(static_cast<size_t>(selectedIndex));
}

int ComInterfaceSelector::getDetectedChannel() const {
    const s_xl_channel_config* channel = selectedChannel();
    return channel == nullptr ? 0 : channel->hwChannel + 1;
}

std::string ComInterfaceSelector::getInterfaceName() const {
    if (type < AutoDetectHW) {
        for (const auto& [value, name] : names) {
            if (value == type) {
                return name;
            }
        }
        return "None";
    }
    const s_xl_channel_config* channel = selectedChannel();
    if (channel == nullptr) {
        return "None";
    }
    const std::string name(channel->name, strnlen(channel->name, sizeof channel->name));
    return name.substr(0, name.find(' '));
}

enumInterfaceType ComInterfaceSelector::getInterfaceType(const std::string& name) const {
    for (const auto& [value, entry] : names) {
        if (entry == name) {
            return value;
        }
    }
    return InterfaceNone;
}

std::unique_ptr<ComParams> ComInterfaceSelector::createComParams(uint32_t port, uint32_t baud,
                                                                 uint32_t hwIndex, uint32_t busMode) {
    if (type != AutoDetectHW) {
        return fixedRecord(type, port, baud, hwIndex, busMode, kStandardRxQueueLimit);
    }
    const s_xl_channel_config* channel = selectedChannel();
    if (channel == nullptr) {
        return nullptr;
    }
    if (busMode == kBusCan) {
        return canRecord(channel->hwType, 0, port, baud, kStandardRxQueueLimit);
    }
    if (busMode == kBusLin) {
        const uint32_t hwChannel = (port >= 1 && port <= 4) ? port - 1 : kNoChannel;
        return linRecord(1, baud, channel->hwType, 0, hwChannel, kStandardRxQueueLimit);
    }
    return nullptr;
}

std::unique_ptr<Communication> ComInterfaceSelector::newCommunication(uint32_t rxId, const ComParams* record,
                                                                      uint32_t busMode) {
    return channelFor(type, record, rxId, busMode);
}

std::unique_ptr<Communication> ComInterfaceSelector::createCommunication(enumInterfaceType type,
                                                                         uint32_t port, uint32_t baud,
                                                                         uint32_t hwIndex, uint32_t rxId,
                                                                         uint32_t busMode) {
    return createCommunication(type, port, baud, hwIndex, rxId, busMode, kDefaultTimeoutMs);
}

std::unique_ptr<Communication> ComInterfaceSelector::createCommunication(enumInterfaceType type,
                                                                         uint32_t port, uint32_t baud,
                                                                         uint32_t hwIndex, uint32_t rxId,
                                                                         uint32_t busMode,
                                                                         uint16_t timeoutMs) {
    this->type = type;
    const std::unique_ptr<ComParams> record = createComParams(port, baud, hwIndex, busMode);
    std::unique_ptr<Communication> channel = newCommunication(rxId, record.get(), busMode);
    if (channel != nullptr && channel->getComParams() != nullptr) {
        ComParams* own = channel->getComParams();
        own->rxTimeoutMs = timeoutMs;
        own->firstByteTimeoutMs = timeoutMs;
        own->interByteTimeoutMs = kInterByteTimeoutMs;
    }
    return channel;
}

std::unique_ptr<Protocol> ComInterfaceSelector::createProtocol(uint32_t busMode) {
    if (!isVectorType(type)) {
        return std::make_unique<ProtocolSingleFrame>();
    }
    std::unique_ptr<ProtocolFiatTP> protocol;
    if (busMode == kBusCan) {
        protocol = std::make_unique<ProtocolFiatTP>(kCanTransportAddress);
    } else if (busMode == kBusLin) {
        protocol = std::make_unique<ProtocolFiatTP_LIN>(kLinTransportAddress);
    } else {
        return nullptr;
    }
    protocol->setStandardized(true);
    return protocol;
}
