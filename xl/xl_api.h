#pragma once
// The XL driver interface: the calls, records and constants through which the CAN and LIN channels
// and the interface detection drive a bus interface.
//
// This build serves them with a virtual driver (xl/driver_internal.h): its channels come from a small
// configuration file (xl/config.h) and their ports meet other ports, in this and in other
// processes, on a virtual bus (xl/bus.h). Every call answers a status: XL_SUCCESS (0) or an error
// below; a handle the driver did not give, or gave and took back, is answered with
// XL_ERR_INVALID_PORT, never a crash. All calls may be made from several threads at once.

#include <cstdint>

#include "platform/event.h"

using XLstatus = int32_t;
using XLaccess = uint64_t;      // one bit per configured channel (bit i: channel index i)
using XLportHandle = uint32_t;  // XL_INVALID_PORTHANDLE when there is none
using XLuint64 = uint64_t;
using XLhandle = platform::Event*;  // notification event, owned by the driver

inline constexpr XLportHandle XL_INVALID_PORTHANDLE = 0xFFFFFFFFu;

// ---- Status codes -------------------------------------------------------------------------------
inline constexpr XLstatus XL_SUCCESS = 0;
inline constexpr XLstatus XL_ERR_QUEUE_IS_EMPTY = 10;            // xlReceive, xlCanReceive: nothing waits
inline constexpr XLstatus XL_ERR_QUEUE_IS_FULL = 11;             // transmit queue full, nothing sent
inline constexpr XLstatus XL_ERR_INVALID_APPL_CONFIG = 101;      // no such application channel
inline constexpr XLstatus XL_ERR_CMD_FAILED = 111;               // a setting the channel refuses
inline constexpr XLstatus XL_ERR_INVALID_ACCESS = 112;           // mask names channels the port lacks
inline constexpr XLstatus XL_ERR_WRONG_PARAMETER = 117;          // null pointer, value out of range
inline constexpr XLstatus XL_ERR_WRONG_INTERFACE_VERSION = 118;  // call not for this port's version
inline constexpr XLstatus XL_ERR_WRONG_BUS_TYPE = 119;           // call or bus type not for this port/channel
inline constexpr XLstatus XL_ERR_CHANNEL_NOT_ACTIVE = 120;       // transmit on a deactivated channel
inline constexpr XLstatus XL_ERR_BUS_OFF = 121;                  // transmit while the channel is bus off
inline constexpr XLstatus XL_ERR_NO_INIT_ACCESS = 122;           // bus setting without init access
inline constexpr XLstatus XL_ERR_HW_NOT_PRESENT = 129;           // no configured channel for the mask
inline constexpr XLstatus XL_ERR_INVALID_PORT = 155;             // port handle not given by the driver
inline constexpr XLstatus XL_ERR_DRIVER_NOT_OPEN = 201;
inline constexpr XLstatus XL_ERR_BUS_UNAVAILABLE = 202;  // the virtual bus cannot be reached

// ---- Bus types and capabilities -----------------------------------------------------------------
inline constexpr uint32_t XL_BUS_TYPE_NONE = 0;
inline constexpr uint32_t XL_BUS_TYPE_CAN = 1;
inline constexpr uint32_t XL_BUS_TYPE_LIN = 2;
// A channel's bus capabilities hold the bit of each bus type it serves, shifted left by 16.
inline constexpr uint32_t XL_BUS_ACTIVE_CAP_CAN = XL_BUS_TYPE_CAN << 16;  // 0x10000
inline constexpr uint32_t XL_BUS_ACTIVE_CAP_LIN = XL_BUS_TYPE_LIN << 16;  // 0x20000

inline constexpr uint32_t XL_HWTYPE_NONE = 0;
inline constexpr uint32_t XL_HWTYPE_VIRTUAL = 1;  // the driver's own virtual channels
inline constexpr uint32_t XL_HWTYPE_VN1640 = 59;

// ---- Ports --------------------------------------------------------------------------------------
inline constexpr uint32_t XL_INTERFACE_VERSION = 3;     // classic: xlReceive, xlCanTransmit
inline constexpr uint32_t XL_INTERFACE_VERSION_V4 = 4;  // CAN FD: xlCanReceive, xlCanTransmitEx
inline constexpr uint32_t XL_ACTIVATE_NONE = 0;
inline constexpr uint32_t XL_ACTIVATE_RESET_CLOCK = 8;   // xlActivateChannel: time stamps restart at 0
inline constexpr uint32_t XL_MAX_RX_QUEUE_SIZE = 65536;  // events a port's receive queue can hold

// ---- Driver configuration -----------------------------------------------------------------------
inline constexpr unsigned XL_MAX_LENGTH = 31;  // characters of a name, without the terminating 0
inline constexpr unsigned XL_CONFIG_MAX_CHANNELS = 64;

struct s_xl_channel_config {
    char name[XL_MAX_LENGTH + 1];     // for example "VN1640 Channel 1"
    uint8_t hwType;                   // hardware type (XL_HWTYPE_...)
    uint8_t hwIndex;                  // index of the interface among those of its type
    uint8_t hwChannel;                // channel on the interface, from 0
    uint8_t channelIndex;             // position in the driver configuration
    XLaccess channelMask;             // 1 << channelIndex
    uint32_t channelBusCapabilities;  // XL_BUS_ACTIVE_CAP_...
    uint32_t serialNumber;
    char busName[XL_MAX_LENGTH + 1];  // the virtual bus the channel is wired to
};
using XLchannelConfig = s_xl_channel_config;

struct s_xl_driver_config {
    uint32_t dllVersion;
    uint32_t channelCount;
    XLchannelConfig channel[XL_CONFIG_MAX_CHANNELS];
};
using XLdriverConfig = s_xl_driver_config;

// ---- Events of xlReceive and xlCanTransmit --------------------------------------------------------
inline constexpr uint8_t XL_RECEIVE_MSG = 1;    // CAN frame received
inline constexpr uint8_t XL_CHIP_STATE = 4;     // CAN controller state
inline constexpr uint8_t XL_TRANSMIT_MSG = 10;  // CAN frame to send (xlCanTransmit)
inline constexpr uint8_t XL_LIN_MSG = 20;       // LIN frame

inline constexpr uint32_t XL_CAN_EXT_MSG_ID = 0x80000000u;  // in a CAN id: extended (29-bit) frame

// Flags of a classic CAN frame (s_xl_can_msg::flags).
inline constexpr uint16_t XL_CAN_MSG_FLAG_ERROR_FRAME = 0x01;  // no frame could be read (for example a
                                                               // CAN FD frame on a classic port)
inline constexpr uint16_t XL_CAN_MSG_FLAG_OVERRUN = 0x02;      // frames were lost before this one
inline constexpr uint16_t XL_CAN_MSG_FLAG_REMOTE_FRAME = 0x10;
inline constexpr uint16_t XL_CAN_MSG_FLAG_TX_COMPLETED = 0x40;  // own transmission (not produced)

inline constexpr unsigned MAX_MSG_LEN = 8;

// Chip states (s_xl_chip_state::busStatus).
inline constexpr uint8_t XL_CHIPSTAT_BUSOFF = 0x01;
inline constexpr uint8_t XL_CHIPSTAT_ERROR_PASSIVE = 0x02;
inline constexpr uint8_t XL_CHIPSTAT_ERROR_WARNING = 0x04;
inline constexpr uint8_t XL_CHIPSTAT_ERROR_ACTIVE = 0x08;

// LIN frame flags (s_xl_lin_msg::flags).
inline constexpr uint16_t XL_LIN_MSGFLAG_TX = 0x40;        // the receiving node sent the response itself
inline constexpr uint16_t XL_LIN_MSGFLAG_CRCERROR = 0x80;  // the checksum byte does not fit the data

struct s_xl_can_msg {
    uint32_t id;     // bit 31: XL_CAN_EXT_MSG_ID
    uint16_t flags;  // XL_CAN_MSG_FLAG_...
    uint16_t dlc;    // data length code; a classic frame carries at most 8 bytes
    uint64_t reserved;
    uint8_t data[MAX_MSG_LEN];
};

struct s_xl_chip_state {
    uint8_t busStatus;  // XL_CHIPSTAT_...
    uint8_t txErrorCounter;
    uint8_t rxErrorCounter;
};

struct s_xl_lin_msg {
    uint8_t id;  // 0 to 63
    uint8_t dlc;
    uint16_t flags;  // XL_LIN_MSGFLAG_...
    uint8_t data[8];
    uint8_t crc;  // the checksum byte as it was on the bus
};

union s_xl_tag_data {
    s_xl_can_msg msg;
    s_xl_chip_state chipState;
    s_xl_lin_msg linMsg;
};

struct s_xl_event {
    uint8_t tag;        // XL_RECEIVE_MSG, XL_CHIP_STATE, XL_LIN_MSG; XL_TRANSMIT_MSG to send
    uint8_t chanIndex;  // channel index of the configuration
    uint16_t transId;
    uint16_t portHandle;
    uint8_t flags;
    uint8_t reserved;
    XLuint64 timeStamp;  // nanoseconds since the port's clock was (re)started
    s_xl_tag_data tagData;
};
using XLevent = s_xl_event;

// ---- CAN FD events (interface version 4) ---------------------------------------------------------
inline constexpr uint16_t XL_CAN_EV_TAG_RX_OK = 0x400;
inline constexpr uint16_t XL_CAN_EV_TAG_CHIP_STATE = 0x409;
inline constexpr uint16_t XL_CAN_EV_TAG_TX_MSG = 0x440;

inline constexpr unsigned XL_CAN_MAX_DATA_LEN = 64;

// Transmit flags (XL_CAN_TX_MSG::msgFlags).
inline constexpr uint32_t XL_CAN_TXMSG_FLAG_EDL = 0x0001;  // CAN FD frame (extended data length)
inline constexpr uint32_t XL_CAN_TXMSG_FLAG_BRS = 0x0002;  // data phase at the data bit rate
inline constexpr uint32_t XL_CAN_TXMSG_FLAG_RTR = 0x0010;  // remote frame (classic frames only)

// Receive flags (XL_CAN_EV_RX_MSG::msgFlags).
inline constexpr uint32_t XL_CAN_RXMSG_FLAG_EDL = 0x0001;
inline constexpr uint32_t XL_CAN_RXMSG_FLAG_BRS = 0x0002;
inline constexpr uint32_t XL_CAN_RXMSG_FLAG_RTR = 0x0010;
inline constexpr uint32_t XL_CAN_RXMSG_FLAG_EF = 0x0200;       // error frame
inline constexpr uint32_t XL_CAN_RXMSG_FLAG_OVERRUN = 0x0400;  // frames were lost before this one

struct XL_CAN_TX_MSG {
    uint32_t canId;  // bit 31: XL_CAN_EXT_MSG_ID
    uint32_t msgFlags;
    uint8_t dlc;  // 0 to 15; with XL_CAN_TXMSG_FLAG_EDL 9 to 15 give 12 to 64 bytes
    uint8_t reserved[7];
    uint8_t data[XL_CAN_MAX_DATA_LEN];
};

struct XLcanTxEvent {
    uint16_t tag;  // XL_CAN_EV_TAG_TX_MSG
    uint16_t transId;
    uint8_t channelIndex;
    uint8_t reserved[3];
    union {
        XL_CAN_TX_MSG canMsg;
    } tagData;
};

struct XL_CAN_EV_RX_MSG {
    uint32_t canId;
    uint32_t msgFlags;  // XL_CAN_RXMSG_FLAG_...
    uint32_t crc;
    uint8_t reserved1[12];
    uint16_t totalBitCnt;
    uint8_t dlc;
    uint8_t reserved[5];
    uint8_t data[XL_CAN_MAX_DATA_LEN];
};

struct XL_CAN_EV_CHIP_STATE {
    uint8_t busStatus;
    uint8_t txErrorCounter;
    uint8_t rxErrorCounter;
    uint8_t reserved;
};

struct XLcanRxEvent {
    uint32_t size;  // bytes of this record
    uint16_t tag;   // XL_CAN_EV_TAG_RX_OK or XL_CAN_EV_TAG_CHIP_STATE
    uint16_t channelIndex;
    uint32_t userHandle;
    uint16_t flagsChip;
    uint16_t reserved0;
    XLuint64 reserved1;
    XLuint64 timeStampSync;  // nanoseconds since the port's clock was (re)started
    union {
        XL_CAN_EV_RX_MSG canRxOkMsg;
        XL_CAN_EV_CHIP_STATE canChipState;
    } tagData;
};

// Arbitration and data phase of a CAN FD channel (xlCanFdSetConfiguration).
struct XLcanFdConf {
    uint32_t arbitrationBitRate;
    uint32_t sjwAbr;
    uint32_t tseg1Abr;
    uint32_t tseg2Abr;
    uint32_t dataBitRate;
    uint32_t sjwDbr;
    uint32_t tseg1Dbr;
    uint32_t tseg2Dbr;
    uint32_t reserved[4];
};

// Payload bytes of a CAN FD data length code (0 to 15; above 15 counts as 15).
inline constexpr unsigned xlCanFdDlcToLength(unsigned dlc) {
    constexpr unsigned kLengths[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64};
    return kLengths[dlc > 15 ? 15 : dlc];
}

// ---- LIN -------------------------------------------------------------------------------------------
inline constexpr uint32_t XL_LIN_MASTER = 1;
inline constexpr uint32_t XL_LIN_SLAVE = 2;
inline constexpr uint32_t XL_LIN_VERSION_1_3 = 1;
inline constexpr uint32_t XL_LIN_VERSION_2_0 = 2;
inline constexpr uint32_t XL_LIN_VERSION_2_1 = 3;
inline constexpr uint16_t XL_LIN_CALC_CHECKSUM = 0x100;           // classic: data bytes only
inline constexpr uint16_t XL_LIN_CALC_CHECKSUM_ENHANCED = 0x200;  // protected id and data bytes
inline constexpr uint8_t XL_LIN_CHECKSUM_CLASSIC = 0;             // xlLinSetChecksum entries
inline constexpr uint8_t XL_LIN_CHECKSUM_ENHANCED = 1;
inline constexpr uint8_t XL_LIN_SLAVE_ON = 0xFF;  // xlLinSwitchSlave
inline constexpr uint8_t XL_LIN_SLAVE_OFF = 0;
inline constexpr unsigned XL_LIN_MAX_ID = 63;
inline constexpr unsigned XL_LIN_MAX_BAUDRATE = 20000;
inline constexpr unsigned XL_LIN_MIN_BAUDRATE = 200;

struct XLlinStatPar {
    uint32_t LINMode;  // XL_LIN_MASTER or XL_LIN_SLAVE
    uint32_t baudrate;
    uint32_t LINVersion;  // XL_LIN_VERSION_...
    uint32_t reserved;
};

// ---- Calls -------------------------------------------------------------------------------------
// Driver: reference-counted; the configuration is read when the first open makes it live.
XLstatus xlOpenDriver();
XLstatus xlCloseDriver();  // the last close closes every port still open
// The configured channels. Answers also while the driver is not open (the detection reads it so).
XLstatus xlGetDriverConfig(XLdriverConfig* config);

// Application channels: (application name, bus type, application channel) -> hardware channel.
XLstatus xlGetApplConfig(const char* appName, uint32_t appChannel, uint32_t* hwType, uint32_t* hwIndex,
                         uint32_t* hwChannel, uint32_t busType);
XLstatus xlSetApplConfig(const char* appName, uint32_t appChannel, uint32_t hwType, uint32_t hwIndex,
                         uint32_t hwChannel, uint32_t busType);
// The access mask of a configured channel; 0 when there is none.
XLaccess xlGetChannelMask(uint32_t hwType, uint32_t hwIndex, uint32_t hwChannel);

// Ports. permissionMask: in, the channels the caller wants init access to (bus settings); out, those
// it got: a channel's first open port in this process holds it until that port closes.
XLstatus xlOpenPort(XLportHandle* portHandle, const char* userName, XLaccess accessMask,
                    XLaccess* permissionMask, uint32_t rxQueueSize, uint32_t xlInterfaceVersion,
                    uint32_t busType);
XLstatus xlClosePort(XLportHandle portHandle);
XLstatus xlActivateChannel(XLportHandle portHandle, XLaccess accessMask, uint32_t busType, uint32_t flags);
XLstatus xlDeactivateChannel(XLportHandle portHandle, XLaccess accessMask);
XLstatus xlFlushReceiveQueue(XLportHandle portHandle);
// Hands out the port's notification event (manual reset): the driver sets it while queueLevel or
// more events wait; the caller resets it.
XLstatus xlSetNotification(XLportHandle portHandle, XLhandle* handle, int queueLevel);
XLstatus xlResetClock(XLportHandle portHandle);
XLstatus xlGetSyncTime(XLportHandle portHandle, XLuint64* time);

// Receiving. xlReceive (interface version 3): eventCount in, room in events; out, events given.
XLstatus xlReceive(XLportHandle portHandle, uint32_t* eventCount, XLevent* events);
XLstatus xlCanReceive(XLportHandle portHandle, XLcanRxEvent* event);  // interface version 4

// CAN transmission. messageCount / msgCntSent out: the events sent.
XLstatus xlCanTransmit(XLportHandle portHandle, XLaccess accessMask, uint32_t* messageCount,
                       XLevent* messages);
XLstatus xlCanTransmitEx(XLportHandle portHandle, XLaccess accessMask, uint32_t msgCnt, uint32_t* msgCntSent,
                         XLcanTxEvent* events);
XLstatus xlCanFlushTransmitQueue(XLportHandle portHandle, XLaccess accessMask);
XLstatus xlCanSetChannelBitrate(XLportHandle portHandle, XLaccess accessMask, uint32_t bitrate);
XLstatus xlCanFdSetConfiguration(XLportHandle portHandle, XLaccess accessMask, const XLcanFdConf* conf);

// LIN.
XLstatus xlLinSetChannelParams(XLportHandle portHandle, XLaccess accessMask, XLlinStatPar params);
XLstatus xlLinSetDLC(XLportHandle portHandle, XLaccess accessMask, const uint8_t dlc[64]);
XLstatus xlLinSetSlave(XLportHandle portHandle, XLaccess accessMask, uint8_t linId, const uint8_t data[8],
                       uint8_t dlc, uint16_t checksum);
XLstatus xlLinSwitchSlave(XLportHandle portHandle, XLaccess accessMask, uint8_t linId, uint8_t mode);
XLstatus xlLinSetChecksum(XLportHandle portHandle, XLaccess accessMask, const uint8_t checksum[60]);
XLstatus xlLinSendRequest(XLportHandle portHandle, XLaccess accessMask, uint8_t linId, uint32_t flags);

// A short text for a status, for messages.
const char* xlGetErrorString(XLstatus status);
