#pragma once
// Channel parameter records: what a channel needs to open its bus and to time its reads. A channel
// keeps a heap copy of the record it is handed, made with the copy constructor of the record's type and
// deleted through a ComParams pointer. The copy constructors do not all copy the time-outs (see each);
// copy assignment would have to choose as well and nothing needs it, so it is deleted.

#include <cstdint>
#include <string>
#include <vector>

struct ComParams {
    explicit ComParams(uint32_t id);
    // Copies id and label; the time-outs take their defaults, not the source's.
    ComParams(const ComParams& other);
    ComParams& operator=(const ComParams&) = delete;
    virtual ~ComParams() = default;

    // 1 here; the subclasses answer and set their baud-rate field.
    virtual uint32_t getBaud() const;
    virtual void setBaud(uint32_t baud);

    uint32_t id;
    std::string label;
    uint32_t rxTimeoutMs = 2000;
    uint32_t firstByteTimeoutMs = 200;
    uint32_t interByteTimeoutMs = 100;
};

struct ComParamsSerial : ComParams {
    ComParamsSerial(uint32_t port, uint32_t baud, uint32_t firstByteTimeoutMs, uint32_t interByteTimeoutMs,
                    uint32_t rxTimeoutMs, uint32_t interByteDelayMs);
    // id rebuilt from port, label empty; the time-outs are copied.
    ComParamsSerial(const ComParamsSerial& other);

    uint32_t getBaud() const override;
    void setBaud(uint32_t baud) override;

    uint32_t port;
    uint32_t baud;
    uint32_t interByteDelayMs;
};

struct ComParamsVectorCAN : ComParams {
    ComParamsVectorCAN(uint32_t rxQueueLimit, uint32_t hwType, uint32_t hwIndex, uint32_t channel,
                       uint32_t bitrate);
    // id rebuilt from channel + rxQueueLimit, label empty, default time-outs; every CAN field copied.
    ComParamsVectorCAN(const ComParamsVectorCAN& other);

    uint32_t getBaud() const override;
    void setBaud(uint32_t baud) override;

    uint32_t rxQueueLimit;
    uint32_t hwType;
    uint32_t hwIndex;
    uint32_t channel;
    bool canFd = false;
    uint32_t fdArbitrationBitrate = 0;
    uint32_t fdArbitrationTseg1 = 0;
    uint32_t fdArbitrationTseg2 = 0;
    uint32_t fdArbitrationSjw = 0;
    uint32_t fdDataTseg1 = 0;
    uint32_t fdDataTseg2 = 0;
    uint32_t fdDataSjw = 0;
    // Classic CAN bit rate, or the CAN FD data bit rate when canFd is set.
    uint32_t bitrate;
    uint32_t notificationLevel = 1;
};

struct ComParamsVXLapiCAN : ComParamsVectorCAN {
    ComParamsVXLapiCAN(uint32_t rxQueueLimit, uint32_t hwType, uint32_t hwIndex, uint32_t channel,
                       uint32_t bitrate);
    ComParamsVXLapiCAN(const ComParamsVXLapiCAN& other) = default;
};

struct ComParamsVXLapiLIN : ComParams {
    ComParamsVXLapiLIN(uint32_t rxQueueLimit, uint32_t linMode, bool masterServesSlaves,
                       const std::vector<uint8_t>& slaveIds, const std::vector<uint8_t>& initialData,
                       uint32_t linVersion, uint32_t baud, uint32_t hwType, uint32_t hwIndex,
                       uint32_t hwChannel);
    // id rebuilt from hwType, label empty, default time-outs; every LIN field copied.
    ComParamsVXLapiLIN(const ComParamsVXLapiLIN& other);

    uint32_t getBaud() const override;
    void setBaud(uint32_t baud) override;

    uint32_t rxQueueLimit;
    // 1 master, 2 slave.
    uint32_t linMode;
    bool masterServesSlaves;
    std::vector<uint8_t> slaveIds;
    // Response data for the first of slaveIds.
    std::vector<uint8_t> initialData;
    uint32_t linVersion;
    uint32_t baud;
    uint32_t hwType;
    uint32_t hwIndex;
    uint32_t hwChannel;
};
