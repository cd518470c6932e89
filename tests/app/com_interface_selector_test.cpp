#include "app/ComInterfaceSelector.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "comm/ComParams.h"
#include "comm/ComSerial.h"
#include "comm/ComVXLapiCAN.h"
#include "comm/ComVXLapiLIN.h"
#include "comm/ProtocolFiatTP.h"
#include "comm/ProtocolFiatTP_LIN.h"
#include "comm/ProtocolSingleFrame.h"
#include "tests/app/AppTestSupport.h"
#include "tests/ecu/EcuTestSupport.h"
#include "tests/support/bus_environment.h"

namespace {

using apptest::expectCanRecord;
using apptest::expectSerialRecord;
using ecutest::StreamCapture;

// The serial channels the factory builds in this process open ports that lead nowhere, so no real
// device is touched.
const bool serialPortsNowhere = [] {
    for (int n = 1; n <= 9; ++n) {
        setenv(("VOFLASH_COM" + std::to_string(n)).c_str(), "/nonexistent/voflash-test-port", 1);
    }
    return true;
}();

// Three usable channels, one with other bus bits only and one virtual channel in between.
const char* const kThreeChannels =
    "VN1630 Channel 1, 57, 0, 0, CAN, 123, busA\n"
    "Other bus, 57, 0, 1, 0x40000, 123, busB\n"
    "Virtual Channel 1, 1, 0, 0, CAN+LIN, 0, busC\n"
    "VN1640 Channel 2, 59, 1, 1, LIN, 40001, busD\n"
    "CANcaseXL, 21, 2, 3, CAN+LIN, 7, busE\n";

const char* const kOneChannel = "VN1640 Channel 3, 59, 0, 2, CAN+LIN, 40001, busA\n";

// Detects the channels of a driver configuration text.
void detectFrom(ComInterfaceSelector& selector, const char* configText) {
    testing_support::BusEnvironment config(configText);
    selector.detectVectorHw();
}

// Runs the menu with in as standard input; answers what it printed on normalOut.
std::string choose(ComInterfaceSelector& selector, std::istream& in) {
    StreamCapture capture;
    selector.selectDetectedHw(in);
    return capture.normal();
}

std::string choose(ComInterfaceSelector& selector, const std::string& answer) {
    std::istringstream in(answer);
    return choose(selector, in);
}

std::vector<std::string> detectedNames(const ComInterfaceSelector& selector) {
    std::vector<std::string> names;
    for (const auto& channel : selector.detectedChannels()) {
        names.emplace_back(channel.name);
    }
    return names;
}

// ---- Detection and listing ----------------------------------------------------------------------

TEST(ComInterfaceSelectorDetect, KeepsCanAndLinChannelsOfRealHardwareInDriverOrder) {
    testing_support::BusEnvironment config(kThreeChannels);
    ComInterfaceSelector selector;
    EXPECT_EQ(selector.detectVectorHw(), 0);
    EXPECT_EQ(detectedNames(selector),
              (std::vector<std::string>{"VN1630 Channel 1", "VN1640 Channel 2", "CANcaseXL"}));
    const auto& second = selector.detectedChannels().at(1);
    EXPECT_EQ(second.hwType, 59);
    EXPECT_EQ(second.hwIndex, 1);
    EXPECT_EQ(second.hwChannel, 1);
    EXPECT_EQ(second.serialNumber, 40001u);
    EXPECT_EQ(second.channelBusCapabilities, XL_BUS_ACTIVE_CAP_LIN);

    // A second detection appends; the list is not cleared first.
    EXPECT_EQ(selector.detectVectorHw(), 0);
    EXPECT_EQ(selector.detectedChannels().size(), 6u);
}

TEST(ComInterfaceSelectorDetect, BrokenConfigurationDetectsNothing) {
    testing_support::BusEnvironment config("no commas here\n");
    ComInterfaceSelector selector;
    EXPECT_EQ(selector.detectVectorHw(), 0);
    EXPECT_TRUE(selector.detectedChannels().empty());
    EXPECT_EQ(selector.getDetectedChannel(), 0);
}

TEST(ComInterfaceSelectorList, InterfaceListText) {
    StreamCapture capture;
    ComInterfaceSelector().printInterfaceList();
    EXPECT_EQ(capture.normal(),
              "Com interface list:\n"
              "    1 = UART_FullDuplex\n"
              "    2 = UART_HalfDuplex\n"
              "    3 = CANcardX\n"
              "    4 = CANcardXL\n"
              "    5 = CANcaseXL\n"
              "    6 = CANcardXLe\n"
              "    7 = CANVN1610\n"
              "    8 = CANVN1630\n"
              "    9 = CANVN1640\n"
              "   10 = CANVN1611\n"
              "   11 = CANVN8900\n"
              "   20 = Auto detect HW\n"
              "\n");
}

TEST(ComInterfaceSelectorList, HwEntryText) {
    s_xl_channel_config channel{};
    std::snprintf(channel.name, sizeof channel.name, "%s", "VN1640 Channel 1");
    channel.hwType = 59;
    channel.hwIndex = 0;
    channel.hwChannel = 0;
    channel.serialNumber = 40001;
    EXPECT_EQ(ComInterfaceSelector::hwEntryToString(channel),
              "  VN1640 Channel 1           [59.0.0]  (serial number: 40001)");

    // Short hardware type padded on the right, short serial number on the left; a name that fills
    // its whole field needs no terminating zero.
    std::memset(channel.name, 'N', sizeof channel.name);
    channel.hwType = 2;
    channel.hwIndex = 3;
    channel.hwChannel = 4;
    channel.serialNumber = 12;
    EXPECT_EQ(ComInterfaceSelector::hwEntryToString(channel),
              "  " + std::string(32, 'N') + "  [2 .3.4]  (serial number:    12)");
}

TEST(ComInterfaceSelectorList, DetectedHwText) {
    ComInterfaceSelector selector;
    detectFrom(selector, kThreeChannels);
    StreamCapture capture;
    selector.printDetectedHw();
    EXPECT_EQ(capture.normal(),
              "detected vector HW:\n"
              "  VN1630 Channel 1           [57.0.0]  (serial number:   123)\n"
              "  VN1640 Channel 2           [59.1.1]  (serial number: 40001)\n"
              "  CANcaseXL                  [21.2.3]  (serial number:     7)\n"
              "\n");
}

// ---- Menu ---------------------------------------------------------------------------------------

TEST(ComInterfaceSelectorMenu, OneChannelIsUsedWithoutAQuestion) {
    ComInterfaceSelector selector;
    detectFrom(selector, kOneChannel);
    std::istringstream in("1\n");
    EXPECT_EQ(choose(selector, in),
              "\n"
              "detected vector HW:\n"
              "  VN1640 Channel 3           [59.0.2]  (serial number: 40001)\n"
              "\n");
    EXPECT_EQ(in.tellg(), 0) << "nothing may be read";
    EXPECT_EQ(selector.getSelectedIndex(), 0);
    EXPECT_EQ(selector.getDetectedChannel(), 3);
}

TEST(ComInterfaceSelectorMenu, QuestionText) {
    ComInterfaceSelector selector;
    detectFrom(selector, kThreeChannels);
    EXPECT_EQ(choose(selector, "1\n"),
              "\n"
              "Please select one of the following item:\n"
              "  0:   VN1630 Channel 1           [57.0.0]  (serial number:   123)\n"
              "  1:   VN1640 Channel 2           [59.1.1]  (serial number: 40001)\n"
              "  2:   CANcaseXL                  [21.2.3]  (serial number:     7)\n"
              "\n"
              "Select: \n"
              "\n");
    EXPECT_EQ(selector.getSelectedIndex(), 1);
    EXPECT_EQ(selector.getDetectedChannel(), 2);
}

TEST(ComInterfaceSelectorMenu, AnswersAfterAnEarlierChoiceOfTheThirdChannel) {
    struct Case {
        std::string answer;
        int selected;
    };
    const Case cases[] = {
        {"0\n", 0},   {"1", 1},    {"2\n", 2},
        {"3\n", 2},   {"-1\n", 2}, {"99999999999\n", 0},  // a number too large for the read fails: 0
        {"abc\n", 0}, {"", 0},     {"  \n", 0},
    };
    for (const Case& c : cases) {
        ComInterfaceSelector selector;
        detectFrom(selector, kThreeChannels);
        choose(selector, "2\n");
        ASSERT_EQ(selector.getSelectedIndex(), 2);
        choose(selector, c.answer);
        EXPECT_EQ(selector.getSelectedIndex(), c.selected) << "answer '" << c.answer << "'";
    }
}

TEST(ComInterfaceSelectorMenu, OnlyTheAnswerLineIsConsumed) {
    ComInterfaceSelector selector;
    detectFrom(selector, kThreeChannels);
    std::istringstream in("2 trailing words\n1\n");
    choose(selector, in);
    EXPECT_EQ(selector.getSelectedIndex(), 2);
    choose(selector, in);
    EXPECT_EQ(selector.getSelectedIndex(), 1);
}

// ---- Names --------------------------------------------------------------------------------------

TEST(ComInterfaceSelectorNames, InterfaceNameOfTheStoredType) {
    testing_support::BusEnvironment config(kThreeChannels);
    ComInterfaceSelector selector;
    struct Case {
        enumInterfaceType type;
        std::string name;
    };
    // Nothing detected yet.
    const Case before[] = {{UART_HalfDuplex, "UART_HalfDuplex"},
                           {CANcaseXL, "CANcaseXL"},
                           {CANVN8900, "CANVN8900"},
                           {InterfaceNone, "None"},
                           {static_cast<enumInterfaceType>(12), "None"},
                           {static_cast<enumInterfaceType>(-3), "None"},
                           {AutoDetectHW, "None"}};
    for (const Case& c : before) {
        selector.createCommunication(c.type, 1, 500000, 0, 0x643, 7);
        EXPECT_EQ(selector.getInterfaceName(), c.name) << c.type;
    }
    selector.detectVectorHw();
    choose(selector, "2\n");
    const Case after[] = {{AutoDetectHW, "CANcaseXL"}, {static_cast<enumInterfaceType>(21), "CANcaseXL"}};
    for (const Case& c : after) {
        selector.createCommunication(c.type, 1, 500000, 0, 0x643, 7);
        EXPECT_EQ(selector.getInterfaceName(), c.name) << c.type;
    }
    choose(selector, "0\n");
    EXPECT_EQ(selector.getInterfaceName(), "VN1630");
}

TEST(ComInterfaceSelectorNames, InterfaceTypeByExactName) {
    const ComInterfaceSelector selector;
    EXPECT_EQ(selector.getInterfaceType("CANcaseXL"), CANcaseXL);
    EXPECT_EQ(selector.getInterfaceType("Auto detect HW"), AutoDetectHW);
    EXPECT_EQ(selector.getInterfaceType("UART_FullDuplex"), UART_FullDuplex);
    EXPECT_EQ(selector.getInterfaceType("cancasexl"), InterfaceNone);
    EXPECT_EQ(selector.getInterfaceType("CANcase"), InterfaceNone);
    EXPECT_EQ(selector.getInterfaceType(""), InterfaceNone);
}

// ---- Factory records ----------------------------------------------------------------------------

// Stores the type through the factory, as the programs do, and answers the record for the arguments.
std::unique_ptr<ComParams> recordFor(ComInterfaceSelector& selector, enumInterfaceType type, uint32_t port,
                                     uint32_t baud, uint32_t hwIndex, uint32_t busMode) {
    selector.createCommunication(type, port, baud, hwIndex, 0x643, 99);  // stores type, builds nothing
    return selector.createComParams(port, baud, hwIndex, busMode);
}

TEST(ComInterfaceSelectorRecords, CanRecordForEachVectorType) {
    const std::pair<enumInterfaceType, uint32_t> types[] = {
        {CANcardX, 2},   {CANcardXL, 15}, {CANcaseXL, 21}, {CANcardXLe, 43}, {CANVN1610, 55},
        {CANVN1630, 57}, {CANVN1640, 59}, {CANVN1611, 63}, {CANVN8900, 45}};
    ComInterfaceSelector selector;
    for (const auto& [type, hwType] : types) {
        SCOPED_TRACE(type);
        EXPECT_EQ(ComInterfaceSelector::hardwareType(type), hwType);
        const auto record = recordFor(selector, type, 2, 500000, 1, ComInterfaceSelector::kBusCan);
        expectCanRecord(record.get(), {hwType, 1, 1, 500000, 10000});
    }
}

void expectLinMaster(const ComParams* record, uint32_t hwType, uint32_t hwIndex, uint32_t hwChannel,
                     uint32_t linVersion, uint32_t baud) {
    const auto* lin = dynamic_cast<const ComParamsVXLapiLIN*>(record);
    ASSERT_NE(lin, nullptr);
    EXPECT_EQ(lin->rxQueueLimit, 10000u);
    EXPECT_EQ(lin->linMode, 1u);
    EXPECT_TRUE(lin->masterServesSlaves);
    EXPECT_EQ(lin->slaveIds, std::vector<uint8_t>{0x3C});
    EXPECT_EQ(lin->initialData, std::vector<uint8_t>(8, 0));
    EXPECT_EQ(lin->linVersion, linVersion);
    EXPECT_EQ(lin->baud, baud);
    EXPECT_EQ(lin->hwType, hwType);
    EXPECT_EQ(lin->hwIndex, hwIndex);
    EXPECT_EQ(lin->hwChannel, hwChannel);
}

TEST(ComInterfaceSelectorRecords, LinRecordUsesChannelZeroWhateverThePort) {
    ComInterfaceSelector selector;
    for (const uint32_t port : {0u, 1u, 3u, 9u}) {
        SCOPED_TRACE(port);
        const auto record = recordFor(selector, CANVN1630, port, 19200, 2, ComInterfaceSelector::kBusLin);
        expectLinMaster(record.get(), 57, 2, 0, 2, 19200);
    }
}

TEST(ComInterfaceSelectorRecords, SerialRecord) {
    ComInterfaceSelector selector;
    for (const enumInterfaceType type : {UART_FullDuplex, UART_HalfDuplex}) {
        for (const uint32_t busMode : {0u, 1u, 5u}) {
            SCOPED_TRACE(std::to_string(type) + " " + std::to_string(busMode));
            const auto record = recordFor(selector, type, 4, 115200, 3, busMode);
            expectSerialRecord(record.get(), 4, 115200);
        }
    }
}

TEST(ComInterfaceSelectorRecords, AutoDetectNeedsADetectedChannel) {
    ComInterfaceSelector selector;
    EXPECT_EQ(recordFor(selector, AutoDetectHW, 1, 500000, 0, ComInterfaceSelector::kBusCan), nullptr);
    EXPECT_EQ(recordFor(selector, AutoDetectHW, 1, 19200, 0, ComInterfaceSelector::kBusLin), nullptr);
}

TEST(ComInterfaceSelectorRecords, AutoDetectUsesTheSelectedChannelsHardwareType) {
    ComInterfaceSelector selector;
    detectFrom(selector, kThreeChannels);
    choose(selector, "1\n");  // hardware type 59, index 1

    const auto can = recordFor(selector, AutoDetectHW, 2, 250000, 5, ComInterfaceSelector::kBusCan);
    expectCanRecord(can.get(), {59, 0, 1, 250000, 10000});

    const std::pair<uint32_t, uint32_t> ports[] = {{1, 0}, {3, 2}, {4, 3}, {5, 0xFFFFFFFF}, {0, 0xFFFFFFFF}};
    for (const auto& [port, hwChannel] : ports) {
        SCOPED_TRACE(port);
        const auto lin = recordFor(selector, AutoDetectHW, port, 19200, 5, ComInterfaceSelector::kBusLin);
        expectLinMaster(lin.get(), 59, 0, hwChannel, 1, 19200);
    }
}

TEST(ComInterfaceSelectorRecords, TypesAndBusModesWithoutAChannel) {
    ComInterfaceSelector selector;
    detectFrom(selector, kOneChannel);
    const int noTypes[] = {0, -1, 12, 19, 21};
    for (const int type : noTypes) {
        const auto t = static_cast<enumInterfaceType>(type);
        for (const uint32_t busMode : {0u, 1u}) {
            EXPECT_EQ(recordFor(selector, t, 1, 500000, 0, busMode), nullptr) << type;
            EXPECT_EQ(selector.createCommunication(t, 1, 500000, 0, 0x643, busMode), nullptr) << type;
            EXPECT_NE(dynamic_cast<ProtocolSingleFrame*>(selector.createProtocol(busMode).get()), nullptr);
        }
    }
    for (const enumInterfaceType type : {CANcardX, CANVN8900, AutoDetectHW}) {
        EXPECT_EQ(recordFor(selector, type, 1, 500000, 0, 2), nullptr) << type;
        EXPECT_EQ(selector.createCommunication(type, 1, 500000, 0, 0x643, 2), nullptr) << type;
        EXPECT_EQ(selector.createProtocol(2), nullptr) << type;
    }
}

// ---- Channels and protocols ---------------------------------------------------------------------

TEST(ComInterfaceSelectorChannels, CanChannelWithItsRecordAndTimeouts) {
    ComInterfaceSelector selector;
    const auto channel =
        selector.createCommunication(CANcaseXL, 2, 500000, 0, 0x643, ComInterfaceSelector::kBusCan);
    EXPECT_EQ(selector.getType(), CANcaseXL);
    auto* can = dynamic_cast<ComVXLapiCAN*>(channel.get());
    ASSERT_NE(can, nullptr);
    const ComParams* params = can->getComParams();
    expectCanRecord(params, {21, 0, 1, 500000, 10000});
    EXPECT_EQ(params->rxTimeoutMs, 3000u);
    EXPECT_EQ(params->firstByteTimeoutMs, 3000u);
    EXPECT_EQ(params->interByteTimeoutMs, 250u);
    EXPECT_TRUE(can->isRxIdAccepted(0x643));
    EXPECT_FALSE(can->isRxIdAccepted(0x644));

    const auto protocol = selector.createProtocol(ComInterfaceSelector::kBusCan);
    const auto* transport = dynamic_cast<const ProtocolFiatTP*>(protocol.get());
    ASSERT_NE(transport, nullptr);
    EXPECT_EQ(dynamic_cast<const ProtocolFiatTP_LIN*>(transport), nullptr);
    EXPECT_EQ(transport->getAddress(), 0x43u);
    EXPECT_TRUE(transport->isStandardized());
}

TEST(ComInterfaceSelectorChannels, LinChannelWithItsRecordAndTimeouts) {
    ComInterfaceSelector selector;
    detectFrom(selector, kThreeChannels);
    choose(selector, "2\n");  // hardware type 21
    struct Case {
        enumInterfaceType type;
        uint32_t port;
        uint32_t hwType;
        uint32_t hwIndex;
        uint32_t hwChannel;
        uint32_t linVersion;
    };
    const Case cases[] = {{CANVN1630, 3, 57, 1, 0, 2}, {AutoDetectHW, 3, 21, 0, 2, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        const auto channel = selector.createCommunication(c.type, c.port, 19200, 1, 0x643,
                                                          ComInterfaceSelector::kBusLin, 1500);
        ASSERT_NE(dynamic_cast<ComVXLapiLIN*>(channel.get()), nullptr);
        expectLinMaster(channel->getComParams(), c.hwType, c.hwIndex, c.hwChannel, c.linVersion, 19200);
        EXPECT_EQ(channel->getComParams()->rxTimeoutMs, 1500u);
        EXPECT_EQ(channel->getComParams()->firstByteTimeoutMs, 1500u);
        EXPECT_EQ(channel->getComParams()->interByteTimeoutMs, 250u);

        const auto protocol = selector.createProtocol(ComInterfaceSelector::kBusLin);
        const auto* transport = dynamic_cast<const ProtocolFiatTP_LIN*>(protocol.get());
        ASSERT_NE(transport, nullptr);
        EXPECT_EQ(transport->getAddress(), 0x73u);
        EXPECT_TRUE(transport->isStandardized());
    }
}

TEST(ComInterfaceSelectorChannels, SerialChannelsReadWithTheFactoryTimeouts) {
    ComInterfaceSelector selector;
    const auto full = selector.createCommunication(UART_FullDuplex, 7, 9600, 0, 0x643, 1);
    ASSERT_NE(dynamic_cast<ComSerial*>(full.get()), nullptr);
    EXPECT_EQ(dynamic_cast<ComSerialHalfDuplex*>(full.get()), nullptr);
    EXPECT_NE(dynamic_cast<ProtocolSingleFrame*>(selector.createProtocol(0).get()), nullptr);

    const auto half = selector.createCommunication(UART_HalfDuplex, 7, 9600, 0, 0x643, 0, 1234);
    ASSERT_NE(dynamic_cast<ComSerialHalfDuplex*>(half.get()), nullptr);
    EXPECT_NE(dynamic_cast<ProtocolSingleFrame*>(selector.createProtocol(1).get()), nullptr);

    for (const Communication* channel : {full.get(), half.get()}) {
        const auto* params = dynamic_cast<const ComParamsSerial*>(channel->getComParams());
        ASSERT_NE(params, nullptr);
        EXPECT_EQ(params->port, 7u);
        EXPECT_EQ(params->baud, 9600u);
        EXPECT_EQ(params->interByteTimeoutMs, 250u);
        EXPECT_EQ(params->interByteDelayMs, 0u);
    }
    EXPECT_EQ(full->getComParams()->rxTimeoutMs, 3000u);
    EXPECT_EQ(full->getComParams()->firstByteTimeoutMs, 3000u);
    EXPECT_EQ(half->getComParams()->rxTimeoutMs, 1234u);
    EXPECT_EQ(half->getComParams()->firstByteTimeoutMs, 1234u);
}

TEST(ComInterfaceSelectorChannels, ARecordOfAnotherKindBuildsNoChannel) {
    ComInterfaceSelector selector;
    selector.createCommunication(UART_FullDuplex, 7, 9600, 0, 0x643, 0);
    const ComParamsVXLapiCAN can(10000, 21, 0, 0, 500000);
    EXPECT_EQ(selector.newCommunication(0x643, &can, 0), nullptr);
    EXPECT_EQ(selector.newCommunication(0x643, nullptr, 0), nullptr);

    selector.createCommunication(CANcaseXL, 1, 500000, 0, 0x643, 0);
    const ComParamsSerial serial(7, 9600, 200, 100, 5000, 0);
    EXPECT_EQ(selector.newCommunication(0x643, &serial, 0), nullptr);
    EXPECT_NE(selector.newCommunication(0x643, &can, 0), nullptr);
}

}  // namespace
