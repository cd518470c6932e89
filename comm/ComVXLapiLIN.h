#pragma once
// The LIN channel over the XL driver, as master or slave. A frame is sent by giving the interface's
// slave table the response data for the frame's identifier (when the channel answers that identifier
// itself) and, as master, by sending the identifier's header; an identifier that the channel does not
// answer gets only the header, and the answering node's frame comes back through the receive thread.
// The receive thread checks each frame's LIN checksum and files the good ones in the per-identifier
// receive queue, from which read takes one frame's worth of bytes.

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "comm/ComParams.h"
#include "comm/ComVXLapi.h"

// LIN protected identifiers and the data length by identifier range, in 32 tables (the system uses
// table 0).
class LinInfo {
  public:
    struct Id {
        uint8_t protectedId;
        uint8_t length;  // 2 for identifiers 0 to 31, 4 for 32 to 47, 8 for 48 to 63
    };
    using Table = std::vector<Id>;  // 64 entries, one per identifier

    static constexpr size_t kTables = 32;

    // The table of every identifier 0 to 63.
    static const Table& defaultIds();
    // The process-wide instance, made on first use and never destroyed.
    static const LinInfo& table();

    LinInfo();
    // Table i, or the last one when i is past the end.
    const Table& operator[](size_t i) const;

  private:
    std::vector<Table> tables;
};

class ComVXLapiLIN : public ComVXLapi {
  public:
    static constexpr uint32_t kIds = 64;
    static constexpr uint32_t kMaxDataLength = 8;
    // Identifiers from this one up always carry the classic checksum.
    static constexpr uint32_t kFirstClassicOnlyId = 60;

    // Keeps its own copy of params; id is the channel's Communication id.
    ComVXLapiLIN(const ComParamsVXLapiLIN& params, uint32_t id);
    ~ComVXLapiLIN() override;

    // "COM_VXL_API_LIN".
    const std::string& name() const override;
    // Sends frame identifier txId (below 64): as responder for one of the slave identifiers the frame
    // (filled up with 0x00 or cut to 8 bytes) becomes the slave entry, its data length rxId when that
    // is 1 to 8, else the identifier's data length; as master the header follows. Each driver call is
    // repeated every 3 ms for up to 100 ms.
    bool write(uint32_t txId, uint32_t rxId, const std::vector<uint8_t>& frame) override;
    // One frame's worth (the identifier's data length) of the bytes received for rxId, within the
    // receive time-out; txId and count are not used. On time-out what did arrive is in out, false.
    bool read(uint32_t txId, uint32_t rxId, std::vector<uint8_t>& out, uint32_t count) override;
    // Empties every identifier's receive queue; true.
    bool sendBreak(uint32_t duration) override;
    bool setupChannel() override;
    void rxLoop() override;
    uint32_t rxQueueLimit() const override;
    uint32_t hwType() const override;
    uint32_t hwIndex() const override;
    uint32_t hwChannel() const override;
    uint32_t busType() const override;
    const std::string& appName() const override;

    // Sets the identifier's checksum model (0x200 enhanced, 0x100 classic) and renews its slave entry
    // with zero data; an identifier outside the slave identifiers is switched off again. True when
    // every driver call succeeded (before the open they fail, but the model is kept).
    bool setChecksumModel(uint32_t id, bool enhanced);
    bool isSlaveId(uint32_t id) const;
    // xlLinSwitchSlave on (0xFF) or off (0).
    bool switchSlave(uint8_t id, bool on);
    // The table change of setDlc, setSlave and setChecksumModel alone; false outside the tables.
    bool setDlc(uint32_t id, uint32_t length);
    bool setSlave(uint32_t id, uint32_t length);
    bool setChecksumModelEntry(uint32_t id, bool enhanced);
    // The data lengths of LinInfo table 0.
    static const std::vector<uint8_t>& dlcTable();

    // The LIN checksum of a payload for identifier id under the enhanced or classic model (60 to 63
    // always classic).
    static uint8_t checksum(uint32_t id, bool enhanced, const std::vector<uint8_t>& payload);

    uint8_t dataLength(uint32_t id) const { return id < kIds ? dataLengths[id] : 0; }
    uint32_t checksumModel(uint32_t id) const { return id < kIds ? checksumModels[id].load() : 0; }

  protected:
    const ComParamsVXLapiLIN& linParams() const;

  private:
    // xlLinSetSlave of the identifier with zero data, its data length and model; the identifier
    // switched off when it is not a slave identifier.
    bool renewSlaveEntry(uint32_t id);
    bool isMaster() const;
    bool isSlave() const;

    std::vector<uint8_t> dataLengths;
    // Read by the receive thread.
    std::vector<std::atomic<uint32_t>> checksumModels;
};
