#pragma once
// The Fiat transport on LIN, with the program as master: the frames, segmentation and flow-control
// rules of ProtocolFiatTP, but every frame of the ECU is fetched with a header of the slave-response
// identifier 0x3D. The sender fetches the ECU's flow control that way, with a new header after each
// frame that is not one, within the receive time-out; the receiver sends one header per attempt and
// repeats attempts for up to 1000 ms, also after a message the channel does not await. After its flow
// control for a first frame it fetches each consecutive frame with a header of its own, at the pace
// of the frames it sends itself.

#include "comm/ProtocolFiatTP.h"

class ProtocolFiatTP_LIN : public ProtocolFiatTP {
  public:
    // The identifier whose header makes the ECU send its next frame.
    static constexpr uint32_t kSlaveResponseId = 0x3D;
    static constexpr uint32_t kHeaderWaitMs = 20;
    static constexpr uint32_t kFrameWaitMs = 8;
    static constexpr uint32_t kReceiveRetryMs = 1000;
    // How long a header's frame is waited for before the next header asks again.
    static constexpr uint32_t kFrameFetchMs = 50;

    explicit ProtocolFiatTP_LIN(uint8_t address);
    ~ProtocolFiatTP_LIN() override;

    const std::string& name() const override;
    bool send(Communication* channel, uint32_t txId, uint32_t rxId,
              const std::vector<uint8_t>& payload) override;
    bool receive(Communication* channel, uint32_t txId, uint32_t rxId, std::vector<uint8_t>& out,
                 uint32_t count) override;
    // Header request, 20 ms, the ECU's flow control read under 0x3D (again while another frame comes
    // and the receive time-out lasts), then the block it allows, 8 ms before each frame.
    virtual bool sendBlock(Communication* channel, uint32_t txId, uint32_t rxId);

  protected:
    // 8 ms, a header, and the frame it brings, read for up to 50 ms; again while none comes, or only
    // the flow control that a slave with nothing else to send keeps for the master's multi-frame
    // requests, and the receive time-out lasts.
    bool fetchNextFrame(Communication* channel, uint32_t txId, uint32_t rxId,
                        std::vector<uint8_t>& out) override;

  private:
    static bool requestSlaveFrame(Communication* channel);
};
