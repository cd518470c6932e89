#pragma once
// A channel that plays the other end of the bus frame by frame, for tests of everything above the
// channel (protocols, devices, the ECU client).
//
// Every frame written is recorded with its identifiers. Reads are answered from a script:
//
//   frame(bytes)       the bytes arrive at once, in bus order behind what is still on its way
//   late(bytes, ms)    the bytes arrive ms after the read that reaches this step started; a read whose
//                      receive time-out ends first fails and the bytes arrive for a later read
//   missing()          nothing arrives for this read: it fails after the receive time-out
//   reply(bytes)       this read returns what has arrived plus these bytes, whatever count it asked
//                      for (as the loop-back channel does)
//
// Arrived bytes form one stream for all receive identifiers: a read of count bytes takes the next count
// bytes (the rest of a frame stays for the next read) or waits up to the receive time-out, the
// rxTimeoutMs of the channel's ComParams, read at every read. flushReceive drops what has arrived. With
// the script used up, a read fails after the time-out. onWrite lets the other end answer a written
// frame by adding steps to the script.

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "comm/Communication.h"

namespace testsupport {

using Bytes = std::vector<uint8_t>;

struct WrittenFrame {
    uint32_t txId;
    uint32_t rxId;
    Bytes bytes;
};

struct ChannelCall {
    enum class Kind { Open, Write, Read, Flush, Break };
    Kind kind;
    uint32_t txId = 0;
    uint32_t rxId = 0;
    // Written bytes, or the bytes a read delivered.
    Bytes bytes;
    // Bytes a read asked for.
    uint32_t count = 0;
    bool ok = false;
    // When the call ended.
    std::chrono::steady_clock::time_point at = std::chrono::steady_clock::now();
};

// The bad_open a scripted channel throws from its open check.
struct ScriptedOpenError : Communication::bad_open {
    using bad_open::bad_open;
    const std::string& description() const override;
};

class ScriptedChannel : public Communication {
  public:
    static constexpr uint32_t kDefaultRxTimeoutMs = 30;

    explicit ScriptedChannel(uint32_t rxTimeoutMs = kDefaultRxTimeoutMs, uint32_t paramId = 0, uint32_t id = 0);

    const std::string& name() const override;

    ScriptedChannel& frame(Bytes bytes);
    ScriptedChannel& late(Bytes bytes, uint32_t delayMs);
    ScriptedChannel& missing();
    ScriptedChannel& reply(Bytes bytes);

    // The index-th write (from 0) fails; it is recorded all the same.
    void failWrite(size_t index);
    void setOpenResult(bool result) { openResult = result; }
    void setAnswerId(uint32_t answer) { answerId = answer; }
    // The open check throws ScriptedOpenError with this error number (kNoErrorNumber: none).
    void throwOnCheckOpen(int64_t errorNumber = bad_open::kNoErrorNumber) { openError = errorNumber; }
    void throwOnCheckClose() { closeError = true; }
    void onWrite(std::function<void(ScriptedChannel&, const WrittenFrame&)> handler) {
        writeHandler = std::move(handler);
    }

    const std::vector<WrittenFrame>& written() const { return frames; }
    std::vector<Bytes> writtenBytes() const;
    const std::vector<ChannelCall>& calls() const { return log; }
    size_t callCount(ChannelCall::Kind kind) const;
    // One letter a call, in order: O open, W write, R read, F flush, B break; w and r for a failed write
    // or read.
    std::string trace() const;
    // Every step of the script has been used.
    bool scriptDone() const { return script.empty(); }

  protected:
    bool open() override;
    bool checkOpen() override;
    bool checkClose() override;
    bool write(uint32_t txId, uint32_t rxId, const Bytes& frame) override;
    bool read(uint32_t txId, uint32_t rxId, Bytes& out, uint32_t count) override;
    bool sendBreak(uint32_t duration) override;
    uint32_t getAnswerId(uint32_t id) override;
    bool flushReceive(uint32_t rxId) override;

  private:
    using Clock = std::chrono::steady_clock;
    struct Step {
        enum class Kind { Frame, Late, Missing, Reply };
        Kind kind;
        Bytes bytes;
        uint32_t delayMs = 0;
    };
    struct InFlight {
        Clock::time_point due;
        Bytes bytes;
    };

    bool readFromScript(Bytes& out, uint32_t count);
    void arrive(Clock::time_point now);

    std::deque<Step> script;
    std::deque<InFlight> inFlight;
    Bytes pending;
    std::vector<WrittenFrame> frames;
    std::vector<ChannelCall> log;
    std::set<size_t> failingWrites;
    std::function<void(ScriptedChannel&, const WrittenFrame&)> writeHandler;
    bool openResult = true;
    uint32_t answerId = 0;
    std::optional<int64_t> openError;
    bool closeError = false;
};

}  // namespace testsupport
