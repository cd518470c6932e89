#pragma once
// Base of the framing protocols: turns the payload of a channel send or receive into the frames the
// channel writes and reads. Protocols are registered in a channel by name and are not owned by it.

#include <cstdint>
#include <string>
#include <vector>

class Communication;

class Protocol {
  public:
    Protocol(uint64_t address, uint64_t value);
    virtual ~Protocol();

    // The registry key in a channel.
    virtual const std::string& name() const;
    virtual bool setOptionFlag(uint8_t flag);
    virtual bool validate() = 0;
    virtual uint64_t headerLength() const;
    virtual uint64_t tailLength() const;
    virtual uint64_t auxLengthA() const;
    virtual uint64_t auxLengthB() const;
    virtual bool encode(std::vector<uint8_t>& frame, const std::vector<uint8_t>& payload);
    virtual bool decode(std::vector<uint8_t>& payload, const std::vector<uint8_t>& frame);
    virtual bool auxTransform(std::vector<uint8_t>& out, const std::vector<uint8_t>& in);
    // Called by the channel's locked operations with the channel lock held.
    virtual bool send(Communication* channel, uint32_t txId, uint32_t rxId, const std::vector<uint8_t>& payload);
    virtual bool receive(Communication* channel, uint32_t txId, uint32_t rxId, std::vector<uint8_t>& out,
                         uint32_t count);

    // Runs validate on the first call only and answers its result ever after.
    bool isValid();

    uint64_t getAddress() const { return address; }
    void setAddress(uint64_t newAddress) { address = newAddress; }

  protected:
    // Bus access for the framing code: plain forwards to the channel's bus operations.
    static bool writeFrame(Communication* channel, uint32_t txId, uint32_t rxId, const std::vector<uint8_t>& frame);
    static bool readFrame(Communication* channel, uint32_t txId, uint32_t rxId, std::vector<uint8_t>& out,
                          uint32_t count);
    static bool flushReceive(Communication* channel, uint32_t rxId);
    static bool sendBreak(Communication* channel, uint32_t duration);

    // The address byte of the Fiat frames.
    uint8_t addressByte() const { return static_cast<uint8_t>(address & 0xFF); }

  private:
    uint64_t address;
    uint64_t value;
    bool validChecked = false;
    bool valid = false;
};
