#include "ecu/CodeBlockGroups.h"

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

std::optional<uint64_t> codeGroupBlockAddress(uint8_t block) {
    uint64_t start = kCodeGroupsStart;
    for (const CodeBlockGroup& group : codeBlockGroups) {
        if (block >= group.firstBlock && block <= group.lastBlock) {
            return start + static_cast<uint64_t>(block - group.firstBlock) * group.blockSize;
        }
        start += static_cast<uint64_t>(group.lastBlock - group.firstBlock + 1) * group.blockSize;
    }
    return std::nullopt;
}
