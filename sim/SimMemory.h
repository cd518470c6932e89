#pragma once
// The memory of a simulated ECU: code flash and data flash as they work (erased bytes 0xFF, erase
// by block or unit, writes only into erased bytes) and a RAM that takes downloads anywhere, up to
// kRamLimit bytes in all.

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "sim/SimConfig.h"

namespace sim {

enum class Space { kCode, kData, kRam };

// An exclusive lock (flock) on a file, held until the object goes away; the system drops it when
// the process ends, however it ends.
class FileLock {
  public:
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    // The lock on path, taken without waiting; the file is made (empty) when it is missing. Null
    // when another process holds it (*error = whenBusy) or the file cannot be made or opened
    // (*error = whenFailed, ": " and the system's reason).
    static std::unique_ptr<FileLock> take(const std::string& path, const std::string& whenBusy,
                                          const std::string& whenFailed, std::string* error);
    // Whether take made the file.
    bool madeFile() const { return madeFile_; }

  private:
    FileLock(int fd, bool madeFile) : fd_(fd), madeFile_(madeFile) {}
    int fd_;
    bool madeFile_;
};

enum class MemResult { kOk, kOutOfRange, kNotErased };

class Memory {
  public:
    explicit Memory(const EcuProfile& profile);

    const EcuProfile& profile() const { return profile_; }

    // Code flash, by absolute address and block number.
    MemResult eraseCodeBlock(unsigned block);
    MemResult writeCode(uint32_t address, const Bytes& data);
    MemResult readCode(uint32_t address, uint32_t n, Bytes* out) const;

    // Data flash, by offset from its first byte and by erase unit.
    MemResult eraseDataUnits(uint32_t first, uint32_t count);
    MemResult writeData(uint32_t offset, const Bytes& data);
    MemResult readData(uint32_t offset, uint32_t n, Bytes* out) const;

    // RAM. Bytes never written read 0x00.
    MemResult writeRam(uint32_t address, const Bytes& data);
    MemResult readRam(uint32_t address, uint32_t n, Bytes* out) const;
    bool ramUsed() const { return !ram_.empty(); }
    void clearRam() { ram_.clear(); }

    // Direct access that ignores the flash rules (tests and preloading). Code by absolute address,
    // data by offset, RAM by address.
    bool peek(Space space, uint32_t address, uint32_t n, Bytes* out) const;
    bool poke(Space space, uint32_t address, const Bytes& data);

    // The file holds the code flash followed by the data flash, byte for byte. A file of another
    // size is refused and the memory stays as it was.
    bool load(const std::string& path, std::string* error);
    // Written to path + ".tmp", then renamed to path.
    bool save(const std::string& path, std::string* error) const;
    // Whether save could write path: its temporary file can be created (it is removed again, and
    // one there already is left as it is) and path is no folder. Changes nothing at path. *error
    // names path and says why.
    static bool canSave(const std::string& path, std::string* error);
    // The lock that keeps a second simulator off the memory file at path, which is made empty when
    // it is missing (an empty file holds no memory yet). Null with *error when another one holds it
    // or it cannot be taken.
    static std::unique_ptr<FileLock> lock(const std::string& path, std::string* error);

  private:
    static std::string temporaryPath(const std::string& path);

    using RamPage = std::array<uint8_t, kRamPageSize>;

    const EcuProfile& profile_;
    Bytes code_;
    Bytes data_;
    std::map<uint32_t, std::unique_ptr<RamPage>> ram_;  // by page number
};

}  // namespace sim
