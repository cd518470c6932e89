#pragma once
// The abstract bus channel. Concrete channels supply the bus operations (open, write one frame, read
// bytes, flush, break); this class adds the parameter record, the one-time initialisation under the
// channel's named lock, the locked operations everything above the channel uses, and the registry of
// framing protocols through which send and receive pass their payloads.

#include <cstdint>
#include <exception>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "comm/ComParams.h"
#include "comm/UtilCriticalSection.h"
#include "comm/UtilMutex.h"

class Protocol;

class Communication {
  public:
    using ProtocolMap = std::map<std::string, Protocol*>;
    // Tells whether a received message is the answer a receive waits for. It may be handed only the
    // first bytes of a message (the five a first frame carries, before its flow control goes out) and
    // must then judge as for the whole message: a filter looks at the first bytes only.
    using ReplyFilter = std::function<bool(const std::vector<uint8_t>&)>;

    struct exception : std::exception {};

    struct bad_open : exception {
        static constexpr int64_t kNoErrorNumber = std::numeric_limits<int64_t>::max();

        bad_open();
        explicit bad_open(int64_t errorNumber);
        ~bad_open() override;

        // "Could not open Communication: ", the description and, with an error number,
        // ". Error number: " and the number in decimal. The text lives as long as the object.
        const char* what() const noexcept override;
        // The cause; every subclass gives its own.
        virtual const std::string& description() const;
        std::string formatMessage() const;

        int64_t errorNumber;

      private:
        mutable std::string message;
    };

    struct bad_close : exception {
        const char* what() const noexcept override;
    };

    // Takes over params and deletes it in the destructor.
    Communication(ComParams* params, uint32_t id);
    // No parameter record, id 0xFFFFFFFF, already initialised and not open: never opens, no protocols.
    Communication();
    Communication(const Communication&) = delete;
    Communication& operator=(const Communication&) = delete;
    // Does not close the channel (each concrete channel closes itself) and deletes no protocol.
    virtual ~Communication();

    virtual uint32_t typeCode() const;
    virtual uint32_t available(uint32_t rxId);
    virtual bool setRxIds(const std::vector<uint32_t>& ids);
    // The concrete channel's opening; the initialisation runs it once, under the channel lock. A channel
    // that does not replace it never opens.
    virtual bool open();
    virtual const std::string& name() const;
    // May throw a bad_open subclass when the channel is not open.
    virtual bool checkOpen();
    // May throw bad_close.
    virtual bool checkClose();
    // Bus operations, called with the channel lock held (by the locked operations and the protocols).
    // write addresses the frame with txId; read delivers count bytes received for rxId within the
    // channel's receive time-out.
    virtual bool write(uint32_t txId, uint32_t rxId, const std::vector<uint8_t>& frame);
    virtual bool read(uint32_t txId, uint32_t rxId, std::vector<uint8_t>& out, uint32_t count);
    virtual bool sendBreak(uint32_t duration);
    virtual uint32_t getAnswerId(uint32_t id);
    virtual bool flushReceive(uint32_t rxId);
    virtual bool releaseDevice(uint32_t answerId);
    virtual bool auxDeviceRequest(uint32_t answerId);
    virtual bool sendByteAtBaud(uint8_t byte, double baud);

    // The process-wide channel of the default form; only the default Device uses it.
    static Communication& defaultInstance();
    // The two protocols registered in every channel, shared by all channels of the process.
    static Protocol& defaultSingleFrameProtocol();
    static Protocol& defaultLineProtocol();

    ComParams* getComParams() { return params.get(); }
    const ComParams* getComParams() const { return params.get(); }
    // Runs the initialisation on the first call only; answers whether the channel is open.
    bool ensureInit();

    // Protocol registry; no lock, no initialisation. A name already present keeps its first protocol.
    bool registerProtocol(Protocol* protocol);
    // The current protocol becomes the one registered under name, or none.
    bool selectProtocolUnlocked(const std::string& protocolName);
    bool selectProtocol(const std::string& protocolName);
    Protocol* getCurrentProtocol() const { return currentProtocol; }

    // Locked operations: each initialises the channel on first use and fails when it is not open or the
    // lock cannot be taken. With no current protocol, send and receive fail without bus traffic. send
    // (and so sendAndReceive) discards what is queued for rxId before the payload goes out, so an
    // answer is never taken from what came for an earlier request.
    //
    // A receive given an accept filter takes only a message the filter accepts: a protocol that
    // reassembles messages itself drops the others and waits on within its receive time-out (see
    // isAwaitedReply); whatever another protocol delivers is refused when the filter does not accept it,
    // and said so on standard output. Without a filter every message is taken.
    bool sendAndReceive(const std::vector<uint8_t>& request, std::vector<uint8_t>& response,
                        uint32_t responseLength, uint32_t txId, uint32_t rxId,
                        const ReplyFilter& accept = {});
    bool send(const std::vector<uint8_t>& payload, uint32_t txId, uint32_t rxId);
    bool sendRaw(const std::vector<uint8_t>& frame, uint32_t txId, uint32_t rxId);
    // count 0 succeeds at once, before the initialisation, leaving out unchanged.
    bool receive(std::vector<uint8_t>& out, uint32_t count, uint32_t txId, uint32_t rxId,
                 const ReplyFilter& accept = {});
    bool flushReceiveLocked(uint32_t rxId);
    bool sendBreakLocked(uint32_t duration);
    bool sendByteAtBaudLocked(uint8_t byte, double baud);
    bool releaseDeviceLocked(uint32_t answerId);
    bool auxDeviceRequestLocked(uint32_t answerId);
    // 0xFFFFFFFF when the initialisation, the lock or its release failed.
    uint32_t lookupAnswerId(uint32_t id);

    // For the current protocol while a receive runs: whether message is the answer the receive waits
    // for. True for every message when the receive was given no filter, and outside a receive.
    bool isAwaitedReply(const std::vector<uint8_t>& message) const;

  protected:
    // With the lock held.
    bool sendUnlocked(uint32_t txId, uint32_t rxId, const std::vector<uint8_t>& data, bool viaProtocol);
    bool receiveUnlocked(uint32_t txId, uint32_t rxId, std::vector<uint8_t>& out, uint32_t count,
                         bool viaProtocol);
    // Says on standard output that a reply a protocol delivered was refused, with its first bytes.
    void reportUnansweringReply(const std::vector<uint8_t>& reply) const;
    // The open and close checks with their reports on standard output; false after a report.
    bool checkOpenReported();
    bool checkCloseReported();

  private:
    void registerDefaultProtocols();
    void init();
    // Takes the lock, runs open, releases.
    bool openUnderLock();
    uint32_t paramId() const;
    // Takes the lock for body, releases it also when body throws; the result of body and the release.
    template <typename Body>
    bool underLock(Body&& body);
    template <typename Body>
    bool checkedUnderLock(Body&& body);

    std::unique_ptr<ComParams> params;

  protected:
    // Given by the creator, for the concrete channel.
    uint32_t id;

  private:
    bool initDone = false;
    UtilMutex mutex;
    bool isOpen = false;
    double lastTxMs = 0;
    double lastRxMs = 0;
    Protocol* currentProtocol = nullptr;
    ProtocolMap protocols;
    // The filter of the receive that runs, or none.
    const ReplyFilter* awaitedReply = nullptr;

  protected:
    // Receive identifiers the channel accepts, guarded by rxIdLock.
    std::vector<uint32_t> rxIds;
    UtilCriticalSection rxIdLock;
};
