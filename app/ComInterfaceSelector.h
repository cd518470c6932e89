#pragma once
// The bus interfaces the standard flash programs can use: the table of interface types the option
// "com" selects, the Vector channels the driver configuration offers (listed, and picked from an
// interactive menu), and the factory of the channel parameter record, the channel and the transport
// protocol that suit a type and bus mode. The caller owns every object the factory returns.

#include <cstdint>
#include <iostream>
#include <istream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "xl/xl_api.h"

struct ComParams;
class Communication;
class Protocol;

// Values of the option "com". Any other number may be stored as well; it selects nothing.
enum enumInterfaceType : int32_t {
    InterfaceNone = 0,
    UART_FullDuplex = 1,
    UART_HalfDuplex = 2,  // serial line that echoes every transmitted byte
    CANcardX = 3,
    CANcardXL = 4,
    CANcaseXL = 5,
    CANcardXLe = 6,
    CANVN1610 = 7,
    CANVN1630 = 8,
    CANVN1640 = 9,
    CANVN1611 = 10,
    CANVN8900 = 11,
    AutoDetectHW = 20,  // the Vector channel chosen from the detected ones
};

class ComInterfaceSelector {
  public:
    // Bus modes of the factory.
    static constexpr uint32_t kBusCan = 0;
    static constexpr uint32_t kBusLin = 1;

    // Receive-queue limits of the Vector channels: the standard programs' (CAN and LIN) and the
    // KES2 and DRO programs' (CAN).
    static constexpr uint32_t kStandardRxQueueLimit = 10000;
    static constexpr uint32_t kKes2DroRxQueueLimit = 4096;
    static constexpr uint16_t kDefaultTimeoutMs = 3000;
    static constexpr uint32_t kInterByteTimeoutMs = 250;

    ComInterfaceSelector();

    // Appends the CAN and LIN channels of the driver configuration (virtual channels left out), in
    // driver order, to the detected ones; 0, or -2 when the configuration cannot be read.
    int detectVectorHw();
    // "Com interface list:" and one line per interface type, on normalOut.
    void printInterfaceList() const;
    // One detected channel as the lists show it: name, [hwType.hwIndex.channel], serial number.
    static std::string hwEntryToString(const s_xl_channel_config& channel);
    // "detected vector HW:" and one line per detected channel, on normalOut.
    void printDetectedHw() const;
    // With two or more detected channels asks on normalOut which to use and reads the answer (a whole
    // number) from in; an answer that is not a channel's index keeps the current choice.
    void selectDetectedHw(std::istream& in = std::cin);
    // The selected channel's channel number + 1 (the port), 0 when nothing was detected.
    int getDetectedChannel() const;
    // The name of the stored type; for AutoDetectHW and above the selected channel's name up to its
    // first blank. "None" when there is none.
    std::string getInterfaceName() const;
    // The first type whose name is exactly name, else InterfaceNone.
    enumInterfaceType getInterfaceType(const std::string& name) const;

    // The parameter record for the stored type; null for a type or bus mode without a channel.
    std::unique_ptr<ComParams> createComParams(uint32_t port, uint32_t baud, uint32_t hwIndex,
                                               uint32_t busMode);
    // The channel for the stored type, built from (a copy of) record; null without record or channel.
    std::unique_ptr<Communication> newCommunication(uint32_t rxId, const ComParams* record, uint32_t busMode);
    // Stores type and builds record and channel; the channel reads with time-outs of timeoutMs (first
    // byte and overall) and 250 ms (between bytes). Null when the type and bus mode have no channel.
    std::unique_ptr<Communication> createCommunication(enumInterfaceType type, uint32_t port, uint32_t baud,
                                                       uint32_t hwIndex, uint32_t rxId, uint32_t busMode);
    std::unique_ptr<Communication> createCommunication(enumInterfaceType type, uint32_t port, uint32_t baud,
                                                       uint32_t hwIndex, uint32_t rxId, uint32_t busMode,
                                                       uint16_t timeoutMs);
    // The transport protocol for the stored type: the Fiat transport on CAN or LIN for the Vector
    // types (null for another bus mode), single frames for every other type.
    std::unique_ptr<Protocol> createProtocol(uint32_t busMode);

    // The Vector hardware type of an interface type (3 to 11); 0 for the others.
    static uint32_t hardwareType(enumInterfaceType type);
    // Both UART types (1 and 2).
    static bool isSerialType(enumInterfaceType type);
    // The record of a type that needs no detected channel: the serial record of the UART types, a
    // Vector CAN or LIN record (by bus mode) of the types 3 to 11; null for any other type or bus mode.
    static std::unique_ptr<ComParams> fixedRecord(enumInterfaceType type, uint32_t port, uint32_t baud,
                                                  uint32_t hwIndex, uint32_t busMode, uint32_t rxQueueLimit);
    // The channel of a type, built from a copy of record: the serial port of the UART types (echoing
    // with UART_HalfDuplex), the Vector CAN or LIN channel (by bus mode) of the Vector types and
    // AutoDetectHW. Null without record, with a record of another kind or for any other type.
    static std::unique_ptr<Communication> channelFor(enumInterfaceType type, const ComParams* record,
                                                     uint32_t rxId, uint32_t busMode);

    enumInterfaceType getType() const { return type; }
    const std::vector<s_xl_channel_config>& detectedChannels() const { return detected; }
    int getSelectedIndex() const { return selectedIndex; }

  private:
    // The selected detected channel, null when nothing was detected.
    const s_xl_channel_config* selectedChannel() const;

    enumInterfaceType type = InterfaceNone;
    std::vector<std::pair<enumInterfaceType, std::string>> names;
    std::vector<s_xl_channel_config> detected;
    int selectedIndex = 0;
};
