#include "ecu/VOEcuGenBase.h"

#include <algorithm>
#include <cstdlib>
#include <iomanip>
#include <map>
#include <ostream>
#include <sstream>

#include "checksum/UtilChecksum.h"
#include "comm/Protocol.h"
#include "comm/ProtocolFiatTP.h"
#include "comm/UtilTimeout.h"
#include "console/console.h"
#include "ecu/EcuPacketRequest.h"

namespace {

// One dot per unanswered attempt; every fourth dot the last four are wiped.
void connectDot(uint32_t& dotCount) {
    warningOut << ".";
    ++dotCount;
    if (dotCount > 3) {
        dotCount = 0;
        normalOut << "\b\b\b\b    \b\b\b\b";
    }
}

// A RAM upload of the standard classes that failed ends the process: nothing after it may run.
[[noreturn]] void endFailedUpload() {
    errorOut << std::endl << std::endl << "Upload RAM application failed (KO) !!!" << std::endl << std::endl;
    restoreConsole();
    std::exit(4);
}

void noticeOnce(bool& shown, const char* text) {
    if (!shown) {
        warningOut << text;
        shown = true;
    }
}

}  // namespace

using ecupacket::hexByte;

EcuConnectState& ecuConnectState() {
    static EcuConnectState state;
    return state;
}

std::string toHexString(const std::vector<uint8_t>& bytes) {
    std::ostringstream text;
    text << std::hex << std::showbase << std::uppercase << std::setfill('0');
    for (const uint8_t b : bytes) {
        text << std::setw(2) << static_cast<unsigned int>(b);
    }
    return text.str();
}

uint32_t ecuCrc32Msb(const std::vector<uint8_t>& data, uint32_t init) {
    return calcCrc32Msb(data, init);
}

uint32_t ecuCrc32(const std::vector<uint8_t>& data, uint32_t init) {
    return calcCrc32(data, init);
}

VOEcuGenBase::VOEcuGenBase(Communication* comm, uint8_t frameAddress)
    : DevVO_ecuUDS_CAN(comm, static_cast<uint32_t>(frameAddress)) {}

VOEcuGenBase::~VOEcuGenBase() = default;

std::vector<uint8_t> VOEcuGenBase::loginCodeRequest(uint8_t serviceByte) {
    const std::array<uint8_t, 5> code = ecuLoginCode();
    std::vector<uint8_t> request = {serviceByte};
    ecupacket::appendBytes(request, code.begin(), code.end());
    return request;
}

void VOEcuGenBase::printRejectedReply(const std::vector<uint8_t>& reply) {
    if (isNegative(reply) && reply.size() >= 3) {
        printServiceNrc("Srv: 0x", reply);
    } else if (isNegative(reply)) {
        errorOut << "Negative Response or InvalidResponse: " << toHexString(reply) << std::endl;
    } else {
        errorOut << "Invalid Response: " << toHexString(reply) << std::endl;
    }
}

void VOEcuGenBase::printServiceNrc(const char* prefix, const std::vector<uint8_t>& reply,
                                   const char* closing) {
    if (reply.size() < 3) {
        return;
    }
    errorOut << prefix << std::hex << hexByte(reply[1]) << " NRC: 0x" << hexByte(reply[2]) << " ("
             << NrcToText(reply[2]) << closing << std::endl;
}

void VOEcuGenBase::printNrcText(const std::vector<uint8_t>& reply) {
    if (reply.size() < 3) {
        return;
    }
    errorOut << " NRC(" << NrcToText(reply[2]) << ")";
}

bool VOEcuGenBase::Login() {
    EcuConnectState& state = ecuConnectState();
    const std::vector<uint8_t> request = loginCodeRequest(0xBA);
    if (!sendRequest(request)) {
        errorOut << " Error while sending Login request" << std::endl;
        return false;
    }
    std::vector<uint8_t> reply;
    if (!receiveAnswer(request, reply, 8)) {
        noticeOnce(state.loginNoticeShown, "Attempting to connect to the ECU");
        connectDot(state.loginDotCount);
        return false;
    }
    if (startsWith(reply, 0xFA)) {
        return true;
    }
    printRejectedReply(reply);
    return false;
}

bool VOEcuGenBase::EcuFlashRequest(uint64_t key) {
    EcuConnectState& state = ecuConnectState();
    std::vector<uint8_t> keyBytes;
    for (int shift = 0; shift < 64; shift += 8) {
        keyBytes.push_back(static_cast<uint8_t>(key >> shift));
    }
    const uint32_t crc = ecuCrc32Msb(keyBytes, 0);
    std::vector<uint8_t> request = {0xBB};
    for (int shift = 0; shift < 32; shift += 8) {
        request.push_back(static_cast<uint8_t>(crc >> shift));
    }
    if (!sendRequest(request)) {
        if (!state.flashRequestErrorShown) {
            errorOut << " Error while sending ECU Flash request" << std::endl;
            state.flashRequestErrorShown = true;
        }
        return false;
    }
    std::vector<uint8_t> reply;
    if (receiveAnswer(request, reply, 8)) {
        if (startsWith(reply, 0xFB)) {
            return true;
        }
        if (!state.flashRequestErrorShown) {
            if (startsWith(reply, 0x7E)) {
                errorOut << "Wrong flash request magic Key (KO)" << std::endl;
            } else {
                errorOut << "Invalid Response: " << toHexString(reply) << std::endl;
            }
            state.flashRequestErrorShown = true;
        }
    }
    noticeOnce(state.flashRequestNoticeShown, "Sending the flash request and restart the ECU");
    connectDot(state.flashRequestDotCount);
    return false;
}

bool VOEcuGenBase::EcuReset() {
    const std::vector<uint8_t> request = {0xBF, 0x00, 0x00, 0x00, 0x00, 0x00};
    if (!sendRequest(request)) {
        errorOut << " Error while sending ECU Reset request" << std::endl;
        return false;
    }
    std::vector<uint8_t> reply;
    if (!receiveAnswer(request, reply, 8)) {
        errorOut << "ECU Reset failed (KO) !!!" << std::endl;
        return false;
    }
    if (startsWith(reply, 0xFF)) {
        return true;
    }
    printRejectedReply(reply);
    return false;
}

bool VOEcuGenBase::GetEcuInfo(uint32_t& info) {
    const std::vector<uint8_t> request = {0xBB, 0xFF};
    std::vector<uint8_t> reply;
    if (!transferToEcu(request, reply, 5000)) {
        errorOut << "Get EcuInfo (no response)!\n" << std::flush;
        return false;
    }
    if (startsWith(reply, 0xFB) && reply.size() >= 6) {
        info = static_cast<uint32_t>(reply[2]) << 24 | static_cast<uint32_t>(reply[3]) << 16 |
               static_cast<uint32_t>(reply[4]) << 8 | static_cast<uint32_t>(reply[5]);
        return true;
    }
    if (isNegative(reply) && reply.size() >= 3) {
        printServiceNrc("GetEcuInfo Srv: 0x", reply);
    } else if (isNegative(reply)) {
        errorOut << "Negative Response or Invalid Response: " << toHexString(reply) << std::endl;
    } else {
        errorOut << "Get EcuInfo (no response)!\n" << std::flush;
    }
    return false;
}

bool VOEcuGenBase::SetEcuInfo(uint32_t info) {
    std::vector<uint8_t> request = {0xBB, 0xFE};
    appendBigEndian32(request, info);
    std::vector<uint8_t> reply;
    // A failed exchange is a failure whatever bytes it left in the reply.
    const bool ok = transferToEcu(request, reply, 5000);
    if (ok && startsWith(reply, 0xFB)) {
        return true;
    }
    if (ok && isNegative(reply) && reply.size() >= 3) {
        printServiceNrc("SetEcuInfo Srv: 0x", reply);
    } else if (ok && isNegative(reply)) {
        errorOut << "Negative response or invalid response: " << toHexString(reply) << std::endl;
    } else {
        errorOut << " SetEcuType (no response)!\n" << std::flush;
    }
    return false;
}

bool VOEcuGenBase::DownloadRequest(uint32_t address, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> request = {0xBD};
    appendBigEndian32(request, address);
    request.insert(request.end(), data.begin(), data.end());
    std::vector<uint8_t> reply;
    if (!transferToEcu(request, reply, 8) || reply.empty()) {
        errorOut << "\n\n ...Download request: No Response!" << std::endl;
        return false;
    }
    if (startsWith(reply, 0xFD)) {
        return true;
    }
    if (isNegative(reply)) {
        errorOut << "\n\n";
        if (reply.size() >= 3) {
            printServiceNrc("Srv: 0x", reply);
        } else {
            errorOut << "Negative Response or InvalidResponse: " << toHexString(reply) << std::endl;
        }
    } else {
        errorOut << "\n\n Invalid Response: " << toHexString(reply) << std::endl;
    }
    return false;
}

bool VOEcuGenBase::readInPackets(const PacketRead& read, std::vector<uint8_t>& out, uint64_t address,
                                 uint64_t length, uint32_t pages) {
    const bool standard = read.layout == TextLayout::standard;
    const uint64_t packet = static_cast<uint64_t>(pages) * kReadPageSize;
    for (uint64_t offset = 0; offset < length; offset += packet) {
        const uint32_t packetAddress = ecupacket::low32(address + offset);
        sleepMs(read.waitMs);
        const std::vector<uint8_t> request =
            ecupacket::packetHeader(read.dataFlash ? 0x81 : 0x71, packetAddress, read.pageByte);
        std::vector<uint8_t> reply;
        // The answer the ECU sends: a serial read takes the length asked for as its byte count.
        const bool answered = transferToEcu(request, reply, static_cast<uint32_t>(packet + 2));
        if (answered && reply.size() == packet + 2) {
            std::copy(reply.begin() + 2, reply.end(), out.begin() + static_cast<std::ptrdiff_t>(offset));
            ShowProgress(ecupacket::percentOf(offset + packet, length), false);
            continue;
        }
        if (!standard) {
            ShowProgress(100, true);
        }
        const auto newLine = [standard] {
            if (standard) {
                errorOut << std::endl;
            }
        };
        if (!answered) {
            newLine();
            errorOut << (read.dataFlash ? "NoResp(R_Data), Addr: 0x" : "NoResp(R_Code), Addr: 0x") << std::hex
                     << packetAddress << std::endl;
        } else if (!isNegative(reply)) {
            newLine();
            errorOut << (read.dataFlash ? "InvalidResp(R_Data), Addr: 0x" : "InvalidResp. (read), Addr: 0x")
                     << std::hex << packetAddress << std::endl;
        } else if (read.dataFlash) {
            newLine();
            errorOut << "R_Data, Addr: 0x" << std::hex << packetAddress;
            if (reply.size() >= 3) {
                newLine();
                printNrcText(reply);
            }
            normalOut << std::endl;
        } else {
            errorOut << "R_Code, Addr: 0x" << std::hex << packetAddress;
            if (reply.size() >= 3) {
                printNrcText(reply);
                errorOut << std::endl;
            }
        }
        return false;
    }
    ShowProgress(100, false);
    normalOut << std::endl;
    return true;
}

bool VOEcuGenBase::uploadRamImage(const std::vector<uint8_t>& image, uint64_t address, uint64_t length,
                                  uint64_t chunkSize, TextLayout layout) {
    const bool standard = layout == TextLayout::standard;
    const uint64_t n = std::min<uint64_t>(image.size(), length);
    if (standard) {
        normalOut << std::uppercase;
        errorOut << std::uppercase;
    }
    // The bootloader's CRC covers all but the last four bytes; a shorter image has no such range.
    if (n < 4) {
        errorOut << "RAM application too short (at least 4 bytes needed): 0x" << std::hex << n << std::endl;
        return false;
    }
    if (chunkSize == 0) {
        chunkSize = kDefaultChunkSize;
    }
    const auto crcLength = static_cast<uint32_t>(n - 4);
    const uint32_t crc = ecuCrc32(std::vector<uint8_t>(image.begin(), image.begin() + crcLength), 0xFFFFFFFF);

    if (standard) {
        normalOut << std::hex << "\r    Addr:  0x" << address << ", Length: 0x" << length << std::endl
                  << "    Upload: ";
    }
    bool downloaded = true;
    for (uint64_t offset = 0; offset < n;) {
        const uint64_t step = std::min(n - offset, chunkSize);
        const auto first = image.begin() + static_cast<std::ptrdiff_t>(offset);
        if (!DownloadRequest(ecupacket::low32(address + offset),
                             std::vector<uint8_t>(first, first + static_cast<std::ptrdiff_t>(step)))) {
            downloaded = false;
            break;
        }
        ShowProgress(ecupacket::percentOf(offset, n), false);
        offset += step;
    }
    if (!downloaded && standard) {
        endFailedUpload();
    }
    if (downloaded) {
        ShowProgress(100, false);
    }
    if (standard) {
        normalOut << std::endl << "    crc:   0x" << std::hex << crc << std::endl;
    }

    std::vector<uint8_t> request = {0xBC};
    appendBigEndian32(request, ecupacket::low32(address));
    appendBigEndian32(request, crcLength);
    std::vector<uint8_t> reply;
    const bool answered = transferToEcu(request, reply, 8);
    // The line end of a text of the standard layout; the kes2Dro verdict has its own around it.
    const auto endOfText = [standard](std::ostream& stream) {
        if (standard) {
            stream << std::endl;
        }
    };
    if (!standard) {
        normalOut << std::endl;
    }
    // Only a matching CRC answer shows that the routine arrived intact; anything else is a failed
    // upload, so a damaged routine is never started.
    bool intact = false;
    if (!answered) {
        errorOut << std::endl << "Read RAM CRC: NoResp! ";
        endOfText(errorOut);
    } else if (reply.size() < 5) {
        errorOut << "CRC check failed: invalid response: " << toHexString(reply) << std::endl;
    } else {
        const uint32_t received = static_cast<uint32_t>(reply[1]) | static_cast<uint32_t>(reply[2]) << 8 |
                                  static_cast<uint32_t>(reply[3]) << 16 |
                                  static_cast<uint32_t>(reply[4]) << 24;
        if (received != crc) {
            errorOut << std::endl
                     << std::uppercase << std::hex << "Crc mismatch (Expected: 0x" << crc << ", Received: 0x"
                     << received << ")";
            endOfText(errorOut);
        } else {
            // kes2Dro: successOut keeps this format for the later texts of the run.
            std::ostream& passed = standard ? normalOut : successOut;
            passed << std::uppercase << std::hex << "CRC check passed (0x" << crc << ")";
            endOfText(passed);
            intact = true;
        }
    }
    if (!standard) {
        normalOut << std::endl;
    }
    if (!intact && standard) {
        endFailedUpload();
    }
    return downloaded && intact;
}

bool VOEcuGenBase::useProtocol(Protocol* protocol) {
    if (protocol == nullptr) {
        return false;
    }
    // A name the channel knows already selects the protocol registered under it: the single-frame
    // protocol of the serial interfaces is one of every channel's defaults.
    (void)addProtocol(protocol);
    return selectProtocol(protocol->name()) && ensureInit();
}

uint64_t VOEcuGenBase::maxRequestLength() const {
    const Communication* channel = getCommunication();
    const Protocol* protocol = channel != nullptr ? channel->getCurrentProtocol() : nullptr;
    return dynamic_cast<const ProtocolFiatTP*>(protocol) != nullptr ? ProtocolFiatTP::kMaxPayload : 0;
}

std::string VOEcuGenBase::NrcToText(uint8_t code) {
    static const std::map<uint8_t, std::string> texts = {
        {0x10, "General Reject"},
        {0x11, "SrvNotSupported"},
        {0x12, "SubFuncNotSupported"},
        {0x13, "IncorrectMsgLen/InvalidFormat"},
        {0x14, "ResponseTooLong"},
        {0x21, "BusyRepeatReq"},
        {0x22, "ConditiosNotCorrect"},
        {0x24, "Req.SequenceErr"},
        {0x25, "No Resp.FromSubNetComp"},
        {0x26, "FailurePrevents Exec"},
        {0x31, "RequestOutOfRange"},
        {0x33, "SecAccessDenied"},
        {0x35, "InvalidKEy"},
        {0x36, "ExceedNumberOfAttempts"},
        {0x37, "RequiredTimeDelayNotExpired"},
        {0x70, "UploadDownloadNotAccepted"},
        {0x71, "TransferDataSuspended"},
        {0x72, "GeneralProgrammingFailure"},
        {0x73, "WrongBlockSeq.Counter"},
        {0x78, "ResponsePending"},
        {0x7E, "SubFuncNotSupp.InActvSession"},
        {0x7F, "SrvNotSupp.InActiveSession"},
    };
    const auto found = texts.find(code);
    return found == texts.end() ? std::string() : found->second;
}

bool VOEcuGenBase::EraseDataBlocks(uint16_t, uint16_t) {
    return false;
}

bool VOEcuGenBase::EraseCodeBlocks(uint8_t, uint8_t) {
    return false;
}

uint8_t VOEcuGenBase::GetBlockNumber(uint64_t) {
    return 0;
}
