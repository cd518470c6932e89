#pragma once
// The CAN channel over the XL driver: classic CAN at one bit rate, or CAN FD when the parameters ask
// for it. One frame per write (one retry when the driver's transmit queue is full); a receive thread
// files every accepted frame in the per-identifier receive queue and brings the channel back from bus
// off; ComVXLapiCAN serves read by polling that queue.

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "comm/ComParams.h"
#include "comm/ComVXLapi.h"

class ComVXLapiCANbase : public ComVXLapi {
  public:
    // Frame flags that make a received frame be dropped.
    static constexpr uint32_t classicFlagMask = 0x3F;
    static constexpr uint32_t fdFlagMask = 0x6614;

    // Keeps its own copy of params. A non-zero rxId is the only accepted receive identifier (and the
    // channel's Communication id); with 0 no frame is accepted until setRxIds names some.
    ComVXLapiCANbase(const ComParamsVXLapiCAN& params, uint32_t rxId);
    ~ComVXLapiCANbase() override;

    // "COM_VXL_API_CAN_BASE_<hwType>_<hwIndex>_<hwChannel>", made on the first call.
    const std::string& name() const override;
    // Sends one frame with identifier txId (extended above 0x7FF). rxId limits the data length (at
    // most 8, or 64 with CAN FD); bytes beyond the frame are 0. An empty frame is not sent (true).
    bool write(uint32_t txId, uint32_t rxId, const std::vector<uint8_t>& frame) override;
    uint32_t maxDataLength() const override;
    bool startRxThread() override;
    bool setupChannel() override;
    void rxLoop() override;
    uint32_t rxQueueLimit() const override;
    uint32_t hwType() const override;
    uint32_t hwIndex() const override;
    uint32_t hwChannel() const override;
    uint32_t busType() const override;
    const std::string& appName() const override;
    XLstatus openPort() override;
    virtual void rxLoopFd();

    bool isRxIdAccepted(uint32_t id);
    std::vector<uint32_t> copyRxIds();
    void setChannel(uint32_t hwChannel) { channel = hwChannel; }

    // Data length code of a CAN FD payload length.
    static uint8_t canFdLengthToDlc(uint32_t length);

  protected:
    static uint32_t rxThreadProcFd(ComVXLapiCANbase* self);
    const ComParamsVXLapiCAN& canParams() const;
    // Sends with one retry after a full transmit queue; true when the driver took the frame.
    bool transmit(uint32_t id, uint32_t length, const uint8_t* bytes);

  private:
    // Waits of the receive loops: no limit at notification level 1, else 3 ms.
    uint32_t rxWaitMs() const;
    void fileFrame(uint32_t rawId, const uint8_t* data, uint32_t length, uint64_t timestamp, uint32_t dlc,
                   uint32_t flags);
    // Keeps the chip state; bus off is answered by a deactivation and reactivation of the channel.
    void handleChipState(uint8_t status, uint8_t txErrors, uint8_t rxErrors);

    uint32_t channel = 0;
    mutable std::once_flag nameOnce;
    mutable std::string nameText;
};

class ComVXLapiCAN : public ComVXLapiCANbase {
  public:
    ComVXLapiCAN(const ComParamsVXLapiCAN& params, uint32_t rxId);
    ~ComVXLapiCAN() override;

    // Bytes queued for rxId.
    uint32_t available(uint32_t rxId) override;
    // Waits up to the receive time-out until count bytes for rxId are queued and takes them. On
    // time-out the bytes that did arrive are taken into out and the result is false.
    bool read(uint32_t txId, uint32_t rxId, std::vector<uint8_t>& out, uint32_t count) override;
};
