#pragma once
// The Fiat transport on CAN: payloads of 1 to 4095 bytes in 8-byte single, first and consecutive
// frames, paced by the receiver's flow control.
//
// Standardized mode numbers the first consecutive frame 1 and takes block size 0 as "no limit";
// otherwise the first consecutive frame is 0 and 0xFF means no limit. As receiver it sends a single flow
// control A 30 FF 00 00 00 00 00 for a first frame, in either mode, and takes the consecutive frames
// only in the order the sender numbers them.

#include <functional>
#include <optional>

#include "comm/ProtocolMultiFrame.h"

class ProtocolFiatTP : public ProtocolMultiFrame {
  public:
    static constexpr size_t kMaxPayload = 4095;
    static constexpr uint32_t kFrameSize = 8;

    explicit ProtocolFiatTP(uint8_t address);
    ~ProtocolFiatTP() override;

    const std::string& name() const override;
    bool send(Communication* channel, uint32_t txId, uint32_t rxId,
              const std::vector<uint8_t>& payload) override;
    // count is not used: the message length comes from the frames. The first frame of the answer is
    // waited for during the receive time-out; a frame that cannot begin a message, a first frame whose
    // first bytes the channel does not await (Communication::isAwaitedReply; it gets no flow control)
    // and a whole single-frame message it does not await are dropped, and the wait goes on within that
    // time-out. A consecutive frame that does not come fails the message; later frames are still read
    // while they come, and the receive ends at the second read in a row that brings nothing. A frame
    // that is not the next consecutive frame (another type, or another sequence number) fails the
    // message at once; when it is a single or first frame it is a new arrival, judged as any other
    // while the time-out lasts.
    bool receive(Communication* channel, uint32_t txId, uint32_t rxId, std::vector<uint8_t>& out,
                 uint32_t count) override;
    // Clears the queue and fails for an empty payload or one above 4095 bytes.
    bool segment(FrameQueue& queue, const std::vector<uint8_t>& payload) override;

    void setStandardized(bool on) { standardized = on; }
    bool isStandardized() const { return standardized; }

  protected:
    // What one wait for a message brought.
    enum class Arrival {
        nothing,  // no frame within the wait
        stray,    // a frame that cannot begin a message, or the first frame of one not awaited
        message,  // a whole message, in out
        broken    // a message that lost frames, or whose flow control could not be written
    };

    // Segments the payload, writes the first frame and, while all went well and frames are left, runs
    // sendNextBlock; clears the queue.
    bool sendSegmented(Communication* channel, uint32_t txId, uint32_t rxId,
                       const std::vector<uint8_t>& payload, const std::function<bool()>& sendNextBlock);
    // Waits for the receiver's flow control within the receive time-out, then writes the block it
    // allows, STmin ms before each frame. A frame that is not a flow control is dropped and the wait
    // goes on.
    bool sendBlock(Communication* channel, uint32_t txId, uint32_t rxId);
    // One message: its first frame within firstFrameWaitMs (never longer than the receive time-out),
    // or the frame that broke off the message before (holdsNewArrival); for a first frame the channel
    // must await its first bytes, then go the flow control and the consecutive frames, each fetched
    // with fetchNextFrame. out is cleared once a frame came; it then holds the message, or what arrived
    // of a broken one.
    Arrival receiveMessage(Communication* channel, uint32_t txId, uint32_t rxId, std::vector<uint8_t>& out,
                           uint32_t firstFrameWaitMs);
    // The next frame of a message being received, within the receive time-out: on CAN the next frame
    // that arrives.
    virtual bool fetchNextFrame(Communication* channel, uint32_t txId, uint32_t rxId,
                                std::vector<uint8_t>& out);
    // A single or first frame broke off the message being received: the next receiveMessage begins
    // with it instead of a read.
    bool holdsNewArrival() const { return newArrival.has_value(); }
    void dropNewArrival() { newArrival.reset(); }
    // Drops the bytes of a frame, of which received holds the first, that a read of fewer bytes than
    // a frame left queued.
    static void dropRestOfFrame(Communication* channel, uint32_t txId, uint32_t rxId,
                                const std::vector<uint8_t>& received);
    // The channel's receive time-out; 0 for a channel without parameters.
    static uint32_t receiveTimeoutMs(const Communication* channel);
    // A read that waits at most waitMs, or the receive time-out when that is shorter.
    static bool readWithin(Communication* channel, uint32_t txId, uint32_t rxId, std::vector<uint8_t>& out,
                           uint32_t count, uint32_t waitMs);
    // Block size and STmin of a flow control read (its first 4 bytes); false unless it is one.
    static bool parseFlowControl(const std::vector<uint8_t>& received, uint8_t& blockSize, uint8_t& stMin);
    // How many of the frames left a flow control with this block size allows.
    size_t blockLength(uint8_t blockSize) const;
    // Writes the next count frames from the cursor, waiting waitMs before each; a failed write does not
    // stop the block.
    bool writeBlock(Communication* channel, uint32_t txId, uint32_t rxId, size_t count, uint32_t waitMs);

  private:
    // The consecutive frames of a first frame's message into out, after its first five bytes; false
    // when the message is lost.
    bool receiveConsecutiveFrames(Communication* channel, uint32_t txId, uint32_t rxId,
                                  std::vector<uint8_t>& out);

    bool standardized = false;
    std::optional<std::vector<uint8_t>> newArrival;
};
