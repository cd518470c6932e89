#include "ecu/VONxpGen.h"

#include <array>
#include <ostream>
#include <vector>

#include "app/console/console.h"
#include "ecu/DevVO_ecuUDS_CAN.h"
#include "ecu/EcuLoginCode.h"
#include "ecu/EcuPacketRequest.h"

uint8_t codeGroupBlockNumber(uint64_t address) {
    if (address < kCodeGroupsStart) {
        return 0;
    }
    uint64_t end = kCodeGroupsStart;
    for (const CodeBlockGroup& group : codeBlockGroups) {
        for (unsigned int b = group.firstBlock; b <= group.lastBlock; ++b) {
            end += group.blockSize;
            if (end > address) {
                return static_cast<uint8_t>(b);
            }
        }
    }
    return 0;
}

bool inCodeBlockGroups(uint64_t address) {
    uint64_t end = kCodeGroupsStart;
    for (const CodeBlockGroup& group : codeBlockGroups) {
        end += static_cast<uint64_t>(group.lastBlock - group.firstBlock + 1) * group.blockSize;
    }
    return address >= kCodeGroupsStart && address < end;
}

bool progSessionRequestDownload(DevVO_ecuUDS_CAN& ecu) {
    const std::array<uint8_t, 5> code = ecuLoginCode();
    std::vector<uint8_t> request = {0x34};
    ecupacket::appendBytes(request, code.begin(), code.end());
    if (!ecu.sendTo(request, ecu.getTxCanId(), ecu.getRxCanId())) {
        errorOut << " Error while sending RequestDownload request" << std::endl;
        return false;
    }
    std::vector<uint8_t> reply;
    if (!ecu.receiveFrom(reply, 8, ecu.getTxCanId(), ecu.getRxCanId())) {
        errorOut << ".... RequestDownload failed: No.Response !" << std::endl;
        return false;
    }
    if (!reply.empty() && reply[0] == 0x74) {
        return true;
    }
    if (!reply.empty() && reply[0] == 0x7F) {
        if (reply.size() >= 3) {
            errorOut << "Srv: 0x" << std::hex << static_cast<unsigned int>(reply[1]) << " NRC: 0x"
                     << static_cast<unsigned int>(reply[2]) << " (" << VOEcuGenBase::NrcToText(reply[2])
                     << ")" << std::endl;
        } else {
            errorOut << "NegResp/InvalidResponse: " << toHexString(reply) << std::endl;
        }
        return false;
    }
    errorOut << "Invalid Response: " << toHexString(reply) << std::endl;
    return false;
}

VONxpGen::VONxpGen(Communication* comm, uint8_t frameAddress) : VOKesGen(comm, frameAddress) {}

VONxpGen::~VONxpGen() = default;

uint8_t VONxpGen::GetBlockNumber(uint64_t address) {
    return codeGroupBlockNumber(address);
}

bool VONxpGen::InCodeBlockMap(uint64_t address) const {
    return inCodeBlockGroups(address);
}

bool VONxpGen::RequestDownload() {
    return progSessionRequestDownload(*this);
}

bool VONxpGen::ProgSessionHook() {
    return false;
}
