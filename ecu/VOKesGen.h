#pragma once
// The bootloader services of the standard ECU classes: code- and data-flash erase, code and data
// writes in packets of pages, reads in pages of 256 bytes, the code erase-block lookup, progress, the
// RAM application (download with CRC check, start, jump), raw commands and option bytes.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ecu/VOEcuGenBase.h"

class Communication;

class VOKesGen : public VOEcuGenBase {
  public:
    // One run of equal code-flash erase blocks, from address 0 upward.
    struct CodeBlockRegion {
        uint8_t count;
        uint16_t blockSize;
    };
    // Blocks 0-7 of 8 KiB from 0, blocks 8-133 of 32 KiB from 0x10000 up to 0x3FFFFF.
    static constexpr CodeBlockRegion codeBlockRegions[] = {{8, 0x2000}, {126, 0x8000}};
    // The second code area: 128 blocks of 32 KiB from here, numbered from 0x80.
    static constexpr uint64_t kUpperAreaStart = 0x1000000;
    static constexpr unsigned kUpperFirstBlock = 0x80;
    static constexpr uint64_t kUpperBlockSize = 0x8000;
    static constexpr uint64_t kUpperBlockCount = 128;
    // Data flash is erased in units of this many bytes.
    static constexpr uint64_t kDataUnit = 64;

    VOKesGen(Communication* comm, uint8_t frameAddress);
    ~VOKesGen() override;

    // Downloads image (clipped to length) in chunks, then compares the bootloader's CRC with its own.
    // A failed chunk, or a CRC answer that is missing, too short or does not match, ends the process
    // with exit code 4. An image of fewer than 4 bytes is refused before any download.
    bool UploadApplRam(const std::vector<uint8_t>& image, uint64_t address, uint64_t length,
                       uint64_t chunkSize) override;
    // The caller's request unchanged, answered with its first byte + 0x40.
    bool SendCommand(const std::vector<uint8_t>& request) override;
    // BB 70 per packet of pages x pageSize bytes, after the erase of the blocks the range touches
    // when erase is set. The length is a whole number of pages; the last request carries only the
    // pages left.
    bool FlashCode(const std::vector<uint8_t>& data, uint64_t startAddress, uint64_t length, bool erase,
                   int* mode, uint32_t pages, uint32_t pageSize) const override;
    // Erases the data-flash units the range touches, then BB 80 per packet; the last request carries
    // only the bytes left of the length.
    bool FlashData(const std::vector<uint8_t>& data, uint64_t address, uint64_t length, int* mode,
                   uint32_t pages, uint32_t pageSize) override;
    void ShowProgress(uint32_t percent, bool done) override;
    // BE 01 and the address, answered FE.
    bool StartApplRam(uint32_t address) override;
    // BB 71 per packet of pages x 256 bytes into out from index 0.
    bool ReadCode(std::vector<uint8_t>& out, uint64_t address, uint64_t length, int* mode,
                  uint32_t pages) override;
    // BB 81 per packet of pages x 256 bytes into out from index 0.
    bool ReadData(std::vector<uint8_t>& out, uint64_t address, uint64_t length, int* mode,
                  uint32_t pages) override;
    // One BB 82 request for the units firstBlock up to (not including) firstBlock + count.
    bool EraseDataBlocks(uint16_t firstBlock, uint16_t count) override;
    // One BB 72 request per block from firstBlock up to and including lastBlock, as the numbers are;
    // the callers hold them to the block map (CheckCodeEraseRange, FindCodeBlockRangeFault).
    bool EraseCodeBlocks(uint8_t firstBlock, uint8_t lastBlock) override;
    // The code erase block holding address; 0x85 between the two areas.
    uint8_t GetBlockNumber(uint64_t address) override;

    // Operations added by this level, in their table order.
    // BF 01 and the address, answered FE like the start.
    virtual bool JumpApplRam(uint32_t address);

    // BB 92 index, answered with 6 bytes holding the value in bytes 2-5; *value written only then.
    bool ReadOptionBytes(uint8_t index, uint32_t* value);
    // BB 91, index and *value, answered FB 91.
    bool WriteOptionBytes(uint8_t index, uint32_t* value);

    // Whether address lies in an erase block of this class's code-flash map. FlashCode erases only
    // ranges whose first and last byte both do, so a write never lands on flash it did not erase.
    // Classes with their own GetBlockNumber replace it with their own map.
    virtual bool InCodeBlockMap(uint64_t address) const;
    // The area of the code flash that holds address: 0 below kUpperAreaStart, 1 from there on. The
    // blocks between a range's first and last block are the range's own only when both lie in one
    // area; across the gap between the areas they would be blocks elsewhere.
    static unsigned CodeAreaOf(uint64_t address);
    // Whether [startAddress, startAddress + length) may be erased by the blocks of its first and last
    // byte: both in the block map and in one area, the last block not below the first, and every block
    // number between them naming a block of that area to the bootloader. Prints the refusal on
    // errorOut. length must not be 0.
    bool CheckCodeEraseRange(uint64_t startAddress, uint64_t length);

    // The first address of the block that the bootloader erases for a block number; none when the
    // number names no block. The bootloader counts the lower area's blocks 0 to 133 first, so the
    // numbers 0x80 to 0x85 name lower blocks, and the upper blocks that GetBlockNumber numbers so
    // cannot be erased by their number.
    virtual std::optional<uint64_t> CodeBlockAddress(uint8_t block) const;
    // What is wrong with the erase of the blocks firstBlock to lastBlock (firstBlock not above
    // lastBlock): the first block number that names no block, or that names a block of another area
    // than firstBlock's. None when the numbers are one run of blocks of one area.
    struct BlockRangeFault {
        unsigned block;
        bool otherArea;

        // Why, as "block 134 lies in another code flash area than block 0".
        std::string text(uint8_t firstBlock) const;
    };
    std::optional<BlockRangeFault> FindCodeBlockRangeFault(uint8_t firstBlock, uint8_t lastBlock) const;

  protected:
    // FlashData with the data-flash units counted from unitBase: unit n covers unitBase + 64 n up to
    // 64 bytes on; an address below unitBase is refused.
    bool flashDataUnits(const std::vector<uint8_t>& data, uint64_t address, uint64_t length, uint32_t pages,
                        uint32_t pageSize, uint64_t unitBase);
    // ReadCode (BB 71) and ReadData (BB 81): the checks and the heading, then the read in packets;
    // pageByte is the last request byte, waitMs the pause before each request.
    bool readPackets(bool dataFlash, std::vector<uint8_t>& out, uint64_t address, uint64_t length,
                     uint32_t pages, uint8_t pageByte, uint32_t waitMs);

    // 34 and the login code, answered 74: the download request of the programming session of the
    // standard-program classes (CYT2, NXP, RH850).
    bool progSessionRequestDownload();

  private:
    // StartApplRam and JumpApplRam: <service> 01 and the address, answered FE.
    bool startOrJump(uint8_t service, uint32_t address);
};
