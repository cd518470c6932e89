#include "comm/ComVXLapiLIN.h"

#include <algorithm>

#include "comm/UtilTimeout.h"
#include "platform/event.h"
#include "xl/lin.h"

namespace {

constexpr uint32_t kRetryMs = 3;
constexpr uint32_t kRetryLimitMs = 100;
constexpr uint32_t kLinVersion2 = 2;
constexpr uint32_t kClassic = XL_LIN_CALC_CHECKSUM;
constexpr uint32_t kEnhanced = XL_LIN_CALC_CHECKSUM_ENHANCED;

// The data filled up with 0x00 or cut to 8 bytes.
std::vector<uint8_t> eightBytes(const std::vector<uint8_t>& data) {
    std::vector<uint8_t> out(data.begin(), data.begin() + std::min<size_t>(data.size(), 8));
    out.resize(8, 0x00);
    return out;
}

// Repeats a driver call every 3 ms until it succeeds or 100 ms have passed.
template <typename F>
bool retry(F call) {
    const UtilTimeout timeout(kRetryLimitMs);
    for (;;) {
        if (call() == XL_SUCCESS) {
            return true;
        }
        if (timeout.expired()) {
            return false;
        }
        sleepMs(kRetryMs);
    }
}

}  // namespace

// ---- LinInfo

const LinInfo::Table& LinInfo::defaultIds() {
    static const Table* ids = [] {
        auto* t = new Table(ComVXLapiLIN::kIds);
        for (uint32_t i = 0; i < ComVXLapiLIN::kIds; ++i) {
            (*t)[i].protectedId = xl::lin::protectedId(static_cast<uint8_t>(i));
            (*t)[i].length = i < 32 ? 2 : (i < 48 ? 4 : 8);
        }
        return t;
    }();
    return *ids;
}

const LinInfo& LinInfo::table() {
    static const LinInfo* instance = new LinInfo();  // read by receive threads until the very end
    return *instance;
}

LinInfo::LinInfo() : tables(kTables, defaultIds()) {}

const LinInfo::Table& LinInfo::operator[](size_t i) const {
    return tables[std::min(i, tables.size() - 1)];
}

// ---- ComVXLapiLIN

ComVXLapiLIN::ComVXLapiLIN(const ComParamsVXLapiLIN& params, uint32_t id)
    : ComVXLapi(new ComParamsVXLapiLIN(params), id), dataLengths(kIds, 8), checksumModels(kIds) {
    const bool enhanced = linParams().linVersion == kLinVersion2;
    for (uint32_t i = 0; i < kIds; ++i) {
        checksumModels[i].store(enhanced && i < kFirstClassicOnlyId ? kEnhanced : kClassic);
    }
}

ComVXLapiLIN::~ComVXLapiLIN() {
    stopRxThread();
}

const ComParamsVXLapiLIN& ComVXLapiLIN::linParams() const {
    return *static_cast<const ComParamsVXLapiLIN*>(getComParams());
}

const std::string& ComVXLapiLIN::name() const {
    static const std::string text = "COM_VXL_API_LIN";
    return text;
}

uint32_t ComVXLapiLIN::rxQueueLimit() const {
    return linParams().rxQueueLimit;
}

uint32_t ComVXLapiLIN::hwType() const {
    return linParams().hwType;
}

uint32_t ComVXLapiLIN::hwIndex() const {
    return linParams().hwIndex;
}

uint32_t ComVXLapiLIN::hwChannel() const {
    return linParams().hwChannel;
}

uint32_t ComVXLapiLIN::busType() const {
    return XL_BUS_TYPE_LIN;
}

const std::string& ComVXLapiLIN::appName() const {
    static const std::string text = "VOLin";
    return text;
}

bool ComVXLapiLIN::isMaster() const {
    return linParams().linMode == XL_LIN_MASTER;
}

bool ComVXLapiLIN::isSlave() const {
    return linParams().linMode == XL_LIN_SLAVE;
}

bool ComVXLapiLIN::isSlaveId(uint32_t id) const {
    const std::vector<uint8_t>& ids = linParams().slaveIds;
    return std::find(ids.begin(), ids.end(), id) != ids.end();
}

// ---- bus set-up

bool ComVXLapiLIN::setupChannel() {
    const ComParamsVXLapiLIN& p = linParams();
    const XLaccess mask = accessMaskOf(hwChannel());
    bool ok = xlLinSetChannelParams(portHandle, mask, {p.linMode, p.baud, p.linVersion, 0}) == XL_SUCCESS;
    if (isMaster()) {
        ok = xlLinSetDLC(portHandle, mask, dataLengths.data()) == XL_SUCCESS && ok;
    }
    if (p.masterServesSlaves || isSlave()) {
        bool first = true;
        for (const uint8_t id : p.slaveIds) {
            const std::vector<uint8_t> data = eightBytes(first ? p.initialData : std::vector<uint8_t>{});
            first = false;
            if (id >= kIds) {
                ok = false;  // no such LIN identifier: the entry cannot be set
                continue;
            }
            const uint16_t model =
                p.linVersion == kLinVersion2 && id < kFirstClassicOnlyId ? kEnhanced : kClassic;
            ok = xlLinSetSlave(portHandle, mask, id, data.data(), dataLengths[id], model) == XL_SUCCESS && ok;
        }
    }
    if (!ok) {
        lastError = kErrorChannel;
        return false;
    }
    if (p.linVersion == kLinVersion2) {
        uint8_t kinds[kFirstClassicOnlyId];
        std::fill(std::begin(kinds), std::end(kinds), XL_LIN_CHECKSUM_ENHANCED);
        if (xlLinSetChecksum(portHandle, mask, kinds) != XL_SUCCESS) {
            return false;
        }
    }
    if (portHandle != XL_INVALID_PORTHANDLE) {
        return xlSetNotification(portHandle, &notifyEventHandle, 1) == XL_SUCCESS;
    }
    return true;
}

// ---- sending

bool ComVXLapiLIN::write(uint32_t txId, uint32_t rxId, const std::vector<uint8_t>& frame) {
    if ((!isMaster() && !isSlave()) || txId >= kIds) {
        return false;
    }
    const XLaccess mask = accessMaskOf(hwChannel());
    const uint8_t id = static_cast<uint8_t>(txId);
    if ((isSlave() || linParams().masterServesSlaves) && isSlaveId(txId)) {
        const std::vector<uint8_t> data = eightBytes(frame);
        const uint8_t length =
            rxId >= 1 && rxId <= kMaxDataLength ? static_cast<uint8_t>(rxId) : dataLengths[id];
        const uint16_t model = static_cast<uint16_t>(checksumModels[id].load());
        if (!retry([&] { return xlLinSetSlave(portHandle, mask, id, data.data(), length, model); })) {
            return false;
        }
    }
    if (isMaster()) {
        return retry([&] { return xlLinSendRequest(portHandle, mask, id, 0); });
    }
    return true;
}

// ---- receiving

bool ComVXLapiLIN::read(uint32_t, uint32_t rxId, std::vector<uint8_t>& out, uint32_t) {
    out.clear();
    if (rxId >= kIds) {
        return false;
    }
    return readQueued(rxId, out, dataLengths[rxId]);
}

bool ComVXLapiLIN::sendBreak(uint32_t) {
    rxQueue.clearAll();
    return true;
}

uint8_t ComVXLapiLIN::checksum(uint32_t id, bool enhanced, const std::vector<uint8_t>& payload) {
    const bool useEnhanced = enhanced && id < kFirstClassicOnlyId;
    const uint8_t start = useEnhanced ? LinInfo::table()[0][id].protectedId : 0;
    return xl::lin::checksum(start, payload.data(), payload.size());
}

void ComVXLapiLIN::rxLoop() {
    while (waitForDriver(platform::kInfinite)) {
        while (!stopRequested()) {
            XLevent ev{};
            uint32_t count = 1;
            if (xlReceive(portHandle, &count, &ev) != XL_SUCCESS) {
                break;
            }
            if (count != 1 || ev.tag != XL_LIN_MSG) {
                continue;
            }
            const s_xl_lin_msg& m = ev.tagData.linMsg;
            if ((m.flags & XL_LIN_MSGFLAG_TX) != 0 || m.id >= kIds) {
                continue;
            }
            const std::vector<uint8_t> payload(m.data, m.data + std::min<uint32_t>(m.dlc, kMaxDataLength));
            const bool enhanced = checksumModels[m.id].load() == kEnhanced;
            if (checksum(m.id, enhanced, payload) != m.crc) {
                continue;  // corrupted, or sent under the other checksum model
            }
            const VXLapiMsg msg(payload, m.id, m.crc, ev.timeStamp, m.dlc, m.flags);
            rxQueue.push(m.id, msg, linParams().rxQueueLimit);
        }
    }
}

// ---- tables

bool ComVXLapiLIN::setChecksumModel(uint32_t id, bool enhanced) {
    return setChecksumModelEntry(id, enhanced) && renewSlaveEntry(id);
}

bool ComVXLapiLIN::setChecksumModelEntry(uint32_t id, bool enhanced) {
    if (id >= kIds) {
        return false;
    }
    checksumModels[id].store(enhanced ? kEnhanced : kClassic);
    return true;
}

bool ComVXLapiLIN::renewSlaveEntry(uint32_t id) {
    const uint8_t zeros[kMaxDataLength] = {};
    const uint8_t lin = static_cast<uint8_t>(id);
    bool ok = xlLinSetSlave(portHandle, accessMaskOf(hwChannel()), lin, zeros, dataLengths[id],
                            static_cast<uint16_t>(checksumModels[id].load())) == XL_SUCCESS;
    if (!isSlaveId(id)) {
        ok = switchSlave(lin, false) && ok;
    }
    return ok;
}

bool ComVXLapiLIN::switchSlave(uint8_t id, bool on) {
    return xlLinSwitchSlave(portHandle, accessMaskOf(hwChannel()), id,
                            on ? XL_LIN_SLAVE_ON : XL_LIN_SLAVE_OFF) == XL_SUCCESS;
}

bool ComVXLapiLIN::setDlc(uint32_t id, uint32_t length) {
    if (id >= kIds || length > kMaxDataLength) {
        return false;
    }
    dataLengths[id] = static_cast<uint8_t>(length);
    return true;
}

bool ComVXLapiLIN::setSlave(uint32_t id, uint32_t length) {
    return setDlc(id, length) && renewSlaveEntry(id);
}

const std::vector<uint8_t>& ComVXLapiLIN::dlcTable() {
    static const std::vector<uint8_t>* lengths = [] {
        auto* v = new std::vector<uint8_t>;
        for (const LinInfo::Id& id : LinInfo::table()[0]) {
            v->push_back(id.length);
        }
        return v;
    }();
    return *lengths;
}
