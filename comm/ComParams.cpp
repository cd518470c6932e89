#include "comm/ComParams.h"

ComParams::ComParams(uint32_t id) : id(id) {}

ComParams::ComParams(const ComParams& other) : id(other.id), label(other.label) {}

uint32_t ComParams::getBaud() const {
    return 1;
}

void ComParams::setBaud(uint32_t /*baud*/) {}

ComParamsSerial::ComParamsSerial(uint32_t port, uint32_t baud, uint32_t firstByteTimeoutMs,
                                 uint32_t interByteTimeoutMs, uint32_t rxTimeoutMs, uint32_t interByteDelayMs)
    : ComParams(port), port(port), baud(baud), interByteDelayMs(interByteDelayMs) {
    this->firstByteTimeoutMs = firstByteTimeoutMs;
    this->interByteTimeoutMs = interByteTimeoutMs;
    this->rxTimeoutMs = rxTimeoutMs;
}

ComParamsSerial::ComParamsSerial(const ComParamsSerial& other)
    : ComParamsSerial(other.port, other.baud, other.firstByteTimeoutMs, other.interByteTimeoutMs,
                      other.rxTimeoutMs, other.interByteDelayMs) {}

uint32_t ComParamsSerial::getBaud() const {
    return baud;
}

void ComParamsSerial::setBaud(uint32_t baud) {
    this->baud = baud;
}

ComParamsVectorCAN::ComParamsVectorCAN(uint32_t rxQueueLimit, uint32_t hwType, uint32_t hwIndex,
                                       uint32_t channel, uint32_t bitrate)
    : ComParams(channel + rxQueueLimit),
      rxQueueLimit(rxQueueLimit),
      hwType(hwType),
      hwIndex(hwIndex),
      channel(channel),
      bitrate(bitrate) {}

ComParamsVectorCAN::ComParamsVectorCAN(const ComParamsVectorCAN& other)
    : ComParams(other.channel + other.rxQueueLimit),
      rxQueueLimit(other.rxQueueLimit),
      hwType(other.hwType),
      hwIndex(other.hwIndex),
      channel(other.channel),
      canFd(other.canFd),
      fdArbitrationBitrate(other.fdArbitrationBitrate),
      fdArbitrationTseg1(other.fdArbitrationTseg1),
      fdArbitrationTseg2(other.fdArbitrationTseg2),
      fdArbitrationSjw(other.fdArbitrationSjw),
      fdDataTseg1(other.fdDataTseg1),
      fdDataTseg2(other.fdDataTseg2),
      fdDataSjw(other.fdDataSjw),
      bitrate(other.bitrate),
      notificationLevel(other.notificationLevel) {}

uint32_t ComParamsVectorCAN::getBaud() const {
    return bitrate;
}

void ComParamsVectorCAN::setBaud(uint32_t baud) {
    bitrate = baud;
}

ComParamsVXLapiCAN::ComParamsVXLapiCAN(uint32_t rxQueueLimit, uint32_t hwType, uint32_t hwIndex,
                                       uint32_t channel, uint32_t bitrate)
    : ComParamsVectorCAN(rxQueueLimit, hwType, hwIndex, channel, bitrate) {}

ComParamsVXLapiLIN::ComParamsVXLapiLIN(uint32_t rxQueueLimit, uint32_t linMode, bool masterServesSlaves,
                                       const std::vector<uint8_t>& slaveIds,
                                       const std::vector<uint8_t>& initialData, uint32_t linVersion,
                                       uint32_t baud, uint32_t hwType, uint32_t hwIndex, uint32_t hwChannel)
    : ComParams(hwType),
      rxQueueLimit(rxQueueLimit),
      linMode(linMode),
      masterServesSlaves(masterServesSlaves),
      slaveIds(slaveIds),
      initialData(initialData),
      linVersion(linVersion),
      baud(baud),
      hwType(hwType),
      hwIndex(hwIndex),
      hwChannel(hwChannel) {}

ComParamsVXLapiLIN::ComParamsVXLapiLIN(const ComParamsVXLapiLIN& other)
    : ComParamsVXLapiLIN(other.rxQueueLimit, other.linMode, other.masterServesSlaves, other.slaveIds,
                         other.initialData, other.linVersion, other.baud, other.hwType, other.hwIndex,
                         other.hwChannel) {}

uint32_t ComParamsVXLapiLIN::getBaud() const {
    return baud;
}

void ComParamsVXLapiLIN::setBaud(uint32_t baud) {
    this->baud = baud;
}
