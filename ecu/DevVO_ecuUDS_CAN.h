#pragma once
// The ECU level that every bootloader class builds on: the pair of CAN identifiers of every request
// and reply, the UDS-style session, memory and routine primitives with their length fields, and the
// receive time-out of the channel.

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "ecu/DevVO_ecu.h"

class Communication;

class DevVO_ecuUDS_CAN : public DevVO_ecu {
  public:
    DevVO_ecuUDS_CAN(Communication* comm, uint32_t frameAddress);
    ~DevVO_ecuUDS_CAN() override;

    // True without a request, so the device initialises without sending anything.
    bool connect() override;
    // "DevVO_ecuUDS_CAN".
    const std::string& name() const override;

    // Flush, default session 10 01 (sent once more after an empty reply), then the programming
    // session 10 <progSessionId>.
    bool Login() override;
    // Default session 10 01, positive reply 50 required.
    bool Logout() override;
    // Service 23; on success out holds the data without the reply's service byte.
    bool ReadMemoryByAddress(const std::vector<uint8_t>& address, uint32_t size,
                             std::vector<uint8_t>& out) override;
    // prepareMemoryWrite, then service 3D.
    bool WriteMemoryByAddress(const std::vector<uint8_t>& address, const std::vector<uint8_t>& data) override;
    bool setCanIds(uint32_t txCanId, uint32_t rxCanId) override;
    bool setProgSessionId(uint8_t session) override;
    // A size length of 0 to 4 (0: as many bytes as the value needs) and an address length of 1 to 4
    // are stored each on its own; true only if both were valid.
    bool setSizeAndAddressLength(uint8_t sizeLength, uint8_t addressLength) override;
    uint8_t defaultSessionId() const override;

    // Operations added by this level, in their table order.
    virtual uint8_t sessionControlSid() const;
    virtual uint8_t progSessionId() const;
    virtual uint8_t routineControlSid() const;
    virtual uint8_t startRoutineType() const;
    virtual uint8_t routineIdHigh() const;
    virtual uint8_t routineIdLow() const;
    // Routine 31 01 F0 01 announcing the address (its first three bytes, reversed), the data length
    // (16 bits) and their CRC-8.
    virtual bool prepareMemoryWrite(const std::vector<uint8_t>& address, const std::vector<uint8_t>& data);

    // The receive time-out of the channel, shared by every device on it.
    bool setReceiveTimeout(uint32_t ms);
    uint32_t getReceiveTimeout();

    // Request building blocks.
    // value least significant byte first, high zero bytes dropped (at least one byte).
    static std::vector<uint8_t> sizeToBytes(uint32_t value);
    static uint8_t withSuppressBit(uint8_t subFunction, bool suppress);
    // (size byte count << 4) | address byte count.
    static uint8_t addressAndLengthFormat(const std::vector<uint8_t>& address,
                                          const std::vector<uint8_t>& size);

    uint32_t getFrameAddress() const { return frameAddress; }
    uint32_t getTxCanId() const { return txCanId; }
    uint32_t getRxCanId() const { return rxCanId; }
    uint8_t getMemorySizeLength() const { return memorySizeLength; }
    uint8_t getMemoryAddressLength() const { return memoryAddressLength; }

  protected:
    // Device::transfer of request on txCanId, reply from rxCanId, taking only an answer to the request
    // (answersRequest), after awaitLateAnswers. Callable from const services: of the object it
    // changes only what it knows of unanswered requests.
    bool transferToEcu(const std::vector<uint8_t>& request, std::vector<uint8_t>& reply,
                       uint32_t answerLength) const;
    // Device::sendTo of request on txCanId and rxCanId, after awaitLateAnswers.
    bool sendRequest(const std::vector<uint8_t>& request);
    // Device::receiveFrom on txCanId and rxCanId of the answer to request, sent before with sendRequest.
    bool receiveAnswer(const std::vector<uint8_t>& request, std::vector<uint8_t>& reply,
                       uint32_t answerLength);

    // Appends value big-endian (bits 24-31 first).
    static void appendBigEndian32(std::vector<uint8_t>& bytes, uint32_t value);

    uint32_t frameAddress;
    uint32_t txCanId = 0;
    uint32_t rxCanId = 0;
    // The field behind progSessionId(); the member function takes the plain name.
    uint8_t progSession = 0x63;
    uint8_t memorySizeLength = 2;
    uint8_t memoryAddressLength = 4;

  private:
    // A request that got no answer, or only "response pending": its answer may still come until
    // lateUntil, one receive time-out after the exchange ended.
    struct Unanswered {
        std::vector<uint8_t> request;
        std::chrono::steady_clock::time_point lateUntil;
    };

    // Before request goes out: for each earlier request that may still be answered, and whose answer
    // could be taken for one to this request (answersMayLookAlike), that answer is waited for and
    // dropped, until it came or its time is over. A request sent again unchanged does not wait: an
    // answer to the one before answers it as well (the login and the flash request are repeated so).
    void awaitLateAnswers(const std::vector<uint8_t>& request);
    // After an exchange of request: whether its answer, or another one, may still come.
    void noteOutcome(const std::vector<uint8_t>& request, bool answered, const std::vector<uint8_t>& reply);

    std::vector<Unanswered> unanswered;

    // Address and size bytes of a memory request with the configured lengths; false when a value
    // does not fit them (bytes other than zero would be cut).
    bool memoryLengthFields(const std::vector<uint8_t>& address, uint32_t size,
                            std::vector<uint8_t>& addressBytes, std::vector<uint8_t>& sizeBytes) const;
};
