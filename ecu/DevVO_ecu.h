#pragma once
// The lowest ECU level: a Device reached through diagnostic-session requests. It holds the service
// identifiers of the diagnostic protocol as constant virtual operations and logs in and out with a
// session request through the device's own addressing.

#include <cstdint>
#include <string>
#include <vector>

#include "comm/Device.h"

class Communication;

class DevVO_ecu : public Device {
  public:
    DevVO_ecu(Communication* comm, uint32_t id);
    ~DevVO_ecu() override;

    // True without a request.
    bool isPresent() override;
    // Logout through the virtual table.
    bool release() override;
    // Login through the virtual table.
    bool connect() override;
    // "DEV_VO_ecu".
    const std::string& name() const override;

    // Operations added by the ECU family, in their table order.
    virtual bool Login();
    virtual bool Logout();
    virtual bool ReadMemoryByAddress(const std::vector<uint8_t>& address, uint32_t size,
                                     std::vector<uint8_t>& out);
    virtual bool WriteMemoryByAddress(const std::vector<uint8_t>& address, const std::vector<uint8_t>& data);
    virtual bool setCanIds(uint32_t txCanId, uint32_t rxCanId);
    virtual bool setProgSessionId(uint8_t session);
    virtual bool setSizeAndAddressLength(uint8_t sizeLength, uint8_t addressLength);
    virtual uint8_t loginSessionId() const;
    virtual uint8_t standardSessionId() const;
    virtual uint8_t defaultSessionId() const;
    virtual uint8_t startSessionSid() const;
    virtual uint8_t stopSessionSid() const;
    virtual uint8_t readMemorySid() const;
    virtual uint8_t startRoutineSid() const;
    virtual uint8_t writeMemorySid() const;
    virtual uint8_t serviceIdDF() const;
    virtual uint8_t positiveResponseOffset() const;
    virtual uint8_t negativeResponseSid() const;

    // The session request behind Login (10 FE) and Logout (10 81), exchanged with the device's own
    // identifiers under the device lock.
    bool request(bool login);

    // Whether reply can be the answer to request, by its first bytes: a negative reply is
    // negativeResponseSid followed by the request's service; a positive one begins with the service
    // plus positiveResponseOffset, FE for the jump BF 01, for the RAM CRC query BC also FB, and for the
    // flash request (BB and four key bytes) also its wrong-key answer 7E. A positive reply to a BB service
    // whose second byte names one of the BB sub-functions names the request's own. An empty request or reply,
    // and a lone negativeResponseSid, pass: nothing tells them apart, and the service judges them.
    // It looks at the first two bytes of the reply only, so it can judge a message by the first bytes
    // of its first frame.
    bool answersRequest(const std::vector<uint8_t>& request, const std::vector<uint8_t>& reply) const;
    // Whether one reply could be taken for an answer to either request (answersRequest of both). The
    // empty reply and a lone negativeResponseSid, which pass for every request, do not count.
    bool answersMayLookAlike(const std::vector<uint8_t>& first, const std::vector<uint8_t>& second) const;

  protected:
    // The filter that takes only an answer to request; it refers to request, which must outlive it.
    ReplyFilter answerFilter(const std::vector<uint8_t>& request) const;
};
