#pragma once
// The ECU class of the KES2 and DRO flash programs: a bootloader that erases code flash inside the
// code write, by the blocks of flashBlocks, and data flash (EEPROM) inside the data write, in units of
// 32 bytes. No separate erase or block lookup, no jump to a RAM application; the block services keep
// VOEcuGenBase's defaults. Every failure of a read or write, its refusals included, closes the
// progress bar before its message.
//
// A write either writes its whole range or is refused before anything is erased: the erase areas
// it touches are erased whole, and a length that is no whole number of packets ends in a shorter
// request.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "ecu/VOEcuGenBase.h"

class Communication;

class VODroGen : public VOEcuGenBase {
  public:
    // One code-flash erase block of the DRO, end inclusive; the block number sent is its index in
    // flashBlocks. A range below the table is the KES2 code flash (0 to 0x7FFFF): its boot area
    // 0-0x7FFF is block 0, and the application area above it is erased as blocks 3 down to 1 (how
    // those three split it is the ECU's own).
    struct tFlashBlockTag {
        uint32_t start;
        uint32_t end;
    };
    static constexpr tFlashBlockTag flashBlocks[] = {
        {0x70000, 0x73FFF},   {0x74000, 0x77FFF},   {0x78000, 0x7BFFF},   {0x7C000, 0x7FFFF},
        {0x80000, 0x9FFFF},   {0xA0000, 0xBFFFF},   {0xC0000, 0xDFFFF},   {0xE0000, 0xFFFFF},
        {0x100000, 0x11FFFF}, {0x120000, 0x13FFFF}, {0x140000, 0x15FFFF}, {0x160000, 0x17FFFF},
    };
    static constexpr uint32_t kBlockCount = sizeof(flashBlocks) / sizeof(flashBlocks[0]);
    // Data flash is erased in units of this many bytes; the first unit and the count of one erase
    // are at most this.
    static constexpr uint64_t kDataUnit = 32;
    static constexpr uint64_t kMaxDataUnits = 0xFFFF;
    // Every code-write request carries pages of this many bytes; the only page size accepted.
    static constexpr uint32_t kPageSize = 256;

    VODroGen(Communication* comm, uint8_t frameAddress);
    ~VODroGen() override;

    // Downloads image (clipped to length) in chunks, then asks for the bootloader's CRC; true only
    // when every chunk was taken and the CRC answer matches the image's. An image of fewer than 4
    // bytes is refused before any download.
    bool UploadApplRam(const std::vector<uint8_t>& image, uint64_t address, uint64_t length,
                       uint64_t chunkSize) override;
    // The caller's request unchanged, answered with its first byte + 0x40.
    bool SendCommand(const std::vector<uint8_t>& request) override;
    // Erases the blocks the range covers, from the last down to the first, then BB 70 per packet of
    // pages x 256 bytes; the last request carries the pages left, its last page filled with FF when
    // the range ends inside it. The block the range begins in is erased whole (for the KES2 code
    // flash: the boot area, or the whole application area). A range outside the blocks is refused.
    // Nothing happens unless mode points to a value other than -1.
    bool FlashCode(const std::vector<uint8_t>& data, uint64_t startAddress, uint64_t length, bool erase,
                   int* mode, uint32_t pages, uint32_t pageSize) const override;
    // Erases the 32-byte units the range touches in one BB 82 (a range whose first unit or count
    // does not fit 16 bits is refused), then BB 80 per packet of pages x pageSize bytes; then the whole pages
    // left in one shorter request, and bytes left below a page in a request of page count 0 that carries just
    // them.
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

  private:
    // ReadCode and ReadData: the checks, then the read in packets of pages x 256 bytes.
    bool readPackets(bool dataFlash, std::vector<uint8_t>& out, uint64_t address, uint64_t length,
                     uint32_t pages);
    // The code erase of FlashCode: block numbers from last down to first.
    bool eraseBlocksDownward(unsigned int first, unsigned int last) const;
};
