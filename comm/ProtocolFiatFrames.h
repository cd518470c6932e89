#pragma once
// The four frames of the Fiat transport, each held as 8 bytes A T ... (A the address byte, T the type
// byte): single frame A 0L d0..d5, first frame A 1L LL d0..d4, consecutive frame A 2N d0..d5, flow
// control A 30 BS ST. Unused bytes are 0x00.
//
// Encoding constructors build the frame from their fields; a refused encode leaves 8 zero bytes.
// Parsing constructors take a received frame: the fields come from its bytes (a byte that is not there
// reads as 0x00) and the bytes are copied into the held frame from its start. A received frame longer
// than 8 bytes is not copied by the single, consecutive and flow-control parsers; the first-frame
// parser copies its first 8 bytes. decode then yields the data bytes of the held frame.

#include "comm/ProtocolSingleFrame8byte.h"

class ProtocolFiatSF : public ProtocolSingleFrame8byte {
  public:
    static constexpr uint8_t kMaxLength = 6;

    // Refused unless length is at most 6 and the payload has exactly length bytes.
    ProtocolFiatSF(uint8_t address, uint8_t length, const std::vector<uint8_t>& payload);
    explicit ProtocolFiatSF(const std::vector<uint8_t>& received);

    bool validate() override;
    uint64_t headerLength() const override;
    // 6 - length: for a length above 6 this wraps, so decode yields nothing.
    uint64_t tailLength() const override;
    bool encode(std::vector<uint8_t>& unused, const std::vector<uint8_t>& payload) override;

    uint8_t getLength() const { return length; }

  private:
    uint8_t length;
};

class ProtocolFiatFF : public ProtocolSingleFrame8byte {
  public:
    static constexpr uint16_t kMaxLength = 0xFFF;
    static constexpr size_t kDataBytes = 5;

    // Refused when length does not fit in 12 bits or data has more than 5 bytes.
    ProtocolFiatFF(uint8_t address, uint16_t length, const std::vector<uint8_t>& data);
    explicit ProtocolFiatFF(const std::vector<uint8_t>& received);

    bool validate() override;
    uint64_t headerLength() const override;
    uint64_t tailLength() const override;
    bool encode(std::vector<uint8_t>& unused, const std::vector<uint8_t>& data) override;

    uint16_t getLength() const { return length; }

  private:
    uint16_t length;
};

class ProtocolFiatCF : public ProtocolSingleFrame8byte {
  public:
    static constexpr size_t kDataBytes = 6;

    // Keeps the low 4 bits of sequenceNumber; refused when data has more than 6 bytes.
    ProtocolFiatCF(uint8_t address, uint8_t sequenceNumber, const std::vector<uint8_t>& data);
    explicit ProtocolFiatCF(const std::vector<uint8_t>& received);

    bool validate() override;
    uint64_t headerLength() const override;
    uint64_t tailLength() const override;
    bool encode(std::vector<uint8_t>& unused, const std::vector<uint8_t>& data) override;

    uint8_t getSequenceNumber() const { return sequenceNumber; }

  private:
    uint8_t sequenceNumber;
};

class ProtocolFiatFC : public ProtocolSingleFrame8byte {
  public:
    static constexpr uint8_t kType = 0x30;

    ProtocolFiatFC(uint8_t address, uint8_t blockSize, uint8_t stMin);
    explicit ProtocolFiatFC(const std::vector<uint8_t>& received);

    // Byte 1 is exactly 0x30.
    bool validate() override;
    uint64_t headerLength() const override;
    uint64_t tailLength() const override;
    bool encode(std::vector<uint8_t>& unused, const std::vector<uint8_t>& ignored) override;

    uint8_t getBlockSize() const { return blockSize; }
    uint8_t getStMin() const { return stMin; }

  private:
    uint8_t blockSize;
    uint8_t stMin;
};
