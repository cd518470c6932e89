#pragma once
// One addressed device on a channel: the base of the ECU classes. It initialises itself once on first
// use (its own named lock, the channel, the answer identifier, the presence and connect checks), offers
// device-locked forms of the channel operations and the unlocked transfer. It owns neither its channel
// nor any protocol.
//
// The worker thread runs threadMain through the virtual table, so a subclass that replaces threadMain
// calls stopThread at the start of its own destructor; threadMain watches stopEvent.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "comm/Communication.h"
#include "comm/UtilMutex.h"
#include "platform/event.h"
#include "platform/thread.h"

class Protocol;

class Device {
  public:
    static constexpr uint32_t kNoAnswerId = 0xFFFFFFFF;

    // Selects the channel's line protocol (no lock, no initialisation).
    Device(Communication* comm, uint32_t id);
    // Bound to Communication::defaultInstance with id 0xFFFFFFFF; never becomes valid.
    Device();
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;
    // Stops the worker thread; neither closes nor deletes the channel.
    virtual ~Device();

    virtual bool isPresent();
    // Queries "*IDN?"; true when the query succeeded and the answer is not empty.
    virtual bool identify(std::string& answer);
    virtual bool release();
    virtual bool auxRequest();
    virtual bool connect();
    virtual uint32_t maxResponseLength() const;
    virtual const std::string& name() const;
    virtual const std::string& querySuffix() const;
    virtual const std::string& parameterSeparator() const;
    virtual const std::string& listSeparator() const;
    // The body of the worker thread.
    virtual bool threadMain();

    // Protocol set-up on the channel; no device lock, no initialisation.
    bool addProtocol(Protocol* protocol);
    bool selectProtocol(const std::string& protocolName);
    // Runs the initialisation on the first call only; answers whether the device is valid.
    bool ensureInit();

    using ReplyFilter = Communication::ReplyFilter;

    // Device-locked operations: each fails without touching the channel unless the device is valid and
    // its lock can be taken. The own-id forms address the device with (id, answerId). An accept filter
    // takes only the messages it accepts as the answer (Communication::receive).
    bool send(const std::vector<uint8_t>& payload);
    bool send(const std::string& text);
    bool sendAndReceive(std::vector<uint8_t>& response, const std::vector<uint8_t>& request,
                        uint32_t maxLength, const ReplyFilter& accept = {});
    bool receive(std::vector<uint8_t>& out, uint32_t count);
    // On success the received bytes are put in front of what answer / out holds already.
    bool query(std::string& answer, const std::string& command, uint32_t maxLength);
    bool readString(std::string& out, uint32_t count);
    bool sendTo(const std::vector<uint8_t>& payload, uint32_t txId, uint32_t rxId);
    bool sendRawTo(const std::vector<uint8_t>& frame, uint32_t txId, uint32_t rxId);
    bool receiveFrom(std::vector<uint8_t>& out, uint32_t count, uint32_t txId, uint32_t rxId,
                     const ReplyFilter& accept = {});
    bool sendBreak(uint32_t duration);
    bool flushReceive(uint32_t rxId);
    bool sendByteAtBaud(uint8_t byte, double baud);

    // Request and answer on the channel without the device's initialisation or lock.
    bool transfer(const std::vector<uint8_t>& request, std::vector<uint8_t>& response, uint32_t count,
                  uint32_t txId, uint32_t rxId, const ReplyFilter& accept = {});

    // Time-outs in the channel's parameter record, shared by every device on the channel.
    void setRxTimeout(uint32_t ms);
    uint32_t getRxTimeout() const;
    void setFirstByteTimeout(uint32_t ms);
    uint32_t getFirstByteTimeout() const;
    void setInterByteTimeout(uint32_t ms);
    uint32_t getInterByteTimeout() const;

    // Accepts -15, -2, -1, 0, 1, 2 and 15; any other value sets 0 and fails.
    bool setThreadPriority(int32_t priority);
    int32_t getThreadPriority() const { return threadPriority; }
    // False when a worker exists already.
    bool startThread();
    // True at once without a worker. Otherwise signals stopEvent and waits up to 1000 ms; false when the
    // worker has not ended by then (it is kept and can be stopped again).
    bool stopThread();

    Communication* getCommunication() const { return comm; }
    uint32_t getId() const { return id; }
    uint32_t getAnswerId() const { return answerId; }

  private:
    void init();
    template <typename Call>
    bool underLock(Call&& call);

    Communication* comm;
    uint32_t id;
    bool initDone = false;
    UtilMutex mutex;
    uint32_t answerId = kNoAnswerId;
    bool valid = false;
    std::unique_ptr<platform::Thread> thread;

  protected:
    // Asks the worker thread to stop.
    platform::Event stopEvent{false, false};

  private:
    int32_t threadPriority = 0;
};
