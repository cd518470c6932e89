#include "sim/SimMemory.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace sim {

namespace {

// [offset, offset + n) lies inside an area of size bytes.
bool fits(uint64_t offset, uint64_t n, uint64_t size) {
    return offset <= size && n <= size - offset;
}

bool allErased(const Bytes& area, uint32_t offset, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if (area[offset + i] != 0xFF) {
            return false;
        }
    }
    return true;
}

MemResult programFlash(Bytes& area, uint64_t offset, const Bytes& data) {
    if (!fits(offset, data.size(), area.size())) {
        return MemResult::kOutOfRange;
    }
    if (!allErased(area, static_cast<uint32_t>(offset), data.size())) {
        return MemResult::kNotErased;
    }
    std::copy(data.begin(), data.end(), area.begin() + static_cast<std::ptrdiff_t>(offset));
    return MemResult::kOk;
}

MemResult readFlash(const Bytes& area, uint64_t offset, uint32_t n, Bytes* out) {
    if (!fits(offset, n, area.size())) {
        return MemResult::kOutOfRange;
    }
    const auto first = area.begin() + static_cast<std::ptrdiff_t>(offset);
    out->assign(first, first + n);
    return MemResult::kOk;
}

}  // namespace

Memory::Memory(const EcuProfile& profile)
    : profile_(profile), code_(profile.codeSize, 0xFF), data_(profile.dataSize, 0xFF) {}

MemResult Memory::eraseCodeBlock(unsigned block) {
    if (block >= profile_.codeBlocks.size()) {
        return MemResult::kOutOfRange;
    }
    const FlashBlock& b = profile_.codeBlocks[block];
    const uint32_t offset = b.start - profile_.codeBase;
    std::fill(code_.begin() + offset, code_.begin() + offset + b.size, 0xFF);
    return MemResult::kOk;
}

MemResult Memory::writeCode(uint32_t address, const Bytes& data) {
    if (address < profile_.codeBase) {
        return MemResult::kOutOfRange;
    }
    return programFlash(code_, address - profile_.codeBase, data);
}

MemResult Memory::readCode(uint32_t address, uint32_t n, Bytes* out) const {
    if (address < profile_.codeBase) {
        return MemResult::kOutOfRange;
    }
    return readFlash(code_, address - profile_.codeBase, n, out);
}

MemResult Memory::eraseDataUnits(uint32_t first, uint32_t count) {
    const uint64_t offset = uint64_t{first} * profile_.dataUnit;
    const uint64_t n = uint64_t{count} * profile_.dataUnit;
    if (!fits(offset, n, data_.size())) {
        return MemResult::kOutOfRange;
    }
    std::fill(data_.begin() + static_cast<std::ptrdiff_t>(offset),
              data_.begin() + static_cast<std::ptrdiff_t>(offset + n), 0xFF);
    return MemResult::kOk;
}

MemResult Memory::writeData(uint32_t offset, const Bytes& data) {
    return programFlash(data_, offset, data);
}

MemResult Memory::readData(uint32_t offset, uint32_t n, Bytes* out) const {
    return readFlash(data_, offset, n, out);
}

MemResult Memory::writeRam(uint32_t address, const Bytes& data) {
    if (!fits(address, data.size(), uint64_t{1} << 32)) {
        return MemResult::kOutOfRange;
    }
    if (data.empty()) {
        return MemResult::kOk;
    }
    const uint32_t firstPage = address / kRamPageSize;
    const uint32_t lastPage = static_cast<uint32_t>((uint64_t{address} + data.size() - 1) / kRamPageSize);
    size_t newPages = 0;
    for (uint64_t p = firstPage; p <= lastPage; ++p) {
        newPages += ram_.count(static_cast<uint32_t>(p)) == 0 ? 1 : 0;
    }
    if ((ram_.size() + newPages) * kRamPageSize > kRamLimit) {
        return MemResult::kOutOfRange;
    }
    for (size_t i = 0; i < data.size(); ++i) {
        const uint32_t a = address + static_cast<uint32_t>(i);
        std::unique_ptr<RamPage>& page = ram_[a / kRamPageSize];
        if (!page) {
            page = std::make_unique<RamPage>();
            page->fill(0x00);
        }
        (*page)[a % kRamPageSize] = data[i];
    }
    return MemResult::kOk;
}

MemResult Memory::readRam(uint32_t address, uint32_t n, Bytes* out) const {
    if (n > kRamLimit || !fits(address, n, uint64_t{1} << 32)) {
        return MemResult::kOutOfRange;
    }
    out->assign(n, 0x00);
    for (uint32_t i = 0; i < n; ++i) {
        const uint32_t a = address + i;
        const auto it = ram_.find(a / kRamPageSize);
        if (it != ram_.end()) {
            (*out)[i] = (*it->second)[a % kRamPageSize];
        }
    }
    return MemResult::kOk;
}

bool Memory::peek(Space space, uint32_t address, uint32_t n, Bytes* out) const {
    switch (space) {
        case Space::kCode:
            return readCode(address, n, out) == MemResult::kOk;
        case Space::kData:
            return readData(address, n, out) == MemResult::kOk;
        case Space::kRam:
            return readRam(address, n, out) == MemResult::kOk;
    }
    return false;
}

bool Memory::poke(Space space, uint32_t address, const Bytes& data) {
    Bytes* area = nullptr;
    uint64_t offset = address;
    switch (space) {
        case Space::kCode:
            if (address < profile_.codeBase) {
                return false;
            }
            area = &code_;
            offset = address - profile_.codeBase;
            break;
        case Space::kData:
            area = &data_;
            break;
        case Space::kRam:
            return writeRam(address, data) == MemResult::kOk;
    }
    if (!fits(offset, data.size(), area->size())) {
        return false;
    }
    std::copy(data.begin(), data.end(), area->begin() + static_cast<std::ptrdiff_t>(offset));
    return true;
}

bool Memory::load(const std::string& path, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = "cannot open " + path;
        return false;
    }
    const Bytes file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (file.size() != code_.size() + data_.size()) {
        *error = path + " holds " + std::to_string(file.size()) + " bytes, this ECU class has " +
                 std::to_string(code_.size() + data_.size()) + " (code flash, then data flash)";
        return false;
    }
    std::copy(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(code_.size()), code_.begin());
    std::copy(file.begin() + static_cast<std::ptrdiff_t>(code_.size()), file.end(), data_.begin());
    return true;
}

std::string Memory::temporaryPath(const std::string& path) {
    return path + ".tmp";
}

bool Memory::canSave(const std::string& path, std::string* error) {
    struct stat st {};
    if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        *error = "cannot write " + path + ": it is a folder";
        return false;
    }
    const std::string temporary = temporaryPath(path);
    // A temporary file left by an earlier run is opened as it is, not truncated, and stays.
    const bool existed = lstat(temporary.c_str(), &st) == 0;
    const int fd = open(temporary.c_str(), O_WRONLY | O_CLOEXEC | (existed ? 0 : O_CREAT | O_EXCL), 0644);
    if (fd < 0) {
        const int reason = errno;
        const std::string folder = std::filesystem::path(path).parent_path().string();
        if (existed && S_ISDIR(st.st_mode)) {
            *error = "cannot write " + path + ": its temporary file " + temporary + " is a folder";
        } else if (reason == ENOENT) {
            *error = "cannot write " + path + ": no folder " + (folder.empty() ? "." : folder);
        } else {
            *error = "cannot write " + path + ": " + std::strerror(reason);
        }
        return false;
    }
    close(fd);
    if (!existed) {
        unlink(temporary.c_str());
    }
    return true;
}

std::unique_ptr<FileLock> Memory::lock(const std::string& path, std::string* error) {
    return FileLock::take(path, "memory file " + path + " is in use by another ecu-sim",
                          "cannot open " + path, error);
}

FileLock::~FileLock() {
    close(fd_);
}

std::unique_ptr<FileLock> FileLock::take(const std::string& path, const std::string& whenBusy,
                                         const std::string& whenFailed, std::string* error) {
    bool made = true;
    int fd = open(path.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0 && errno == EEXIST) {
        made = false;
        fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    }
    if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0) {
        return std::unique_ptr<FileLock>(new FileLock(fd, made));
    }
    *error = fd >= 0 && errno == EWOULDBLOCK ? whenBusy : whenFailed + ": " + std::strerror(errno);
    if (fd >= 0) {
        close(fd);
    }
    return nullptr;
}

bool Memory::save(const std::string& path, std::string* error) const {
    // Written aside and renamed, so that a reader never sees half a file.
    const std::string temporary = temporaryPath(path);
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(code_.data()), static_cast<std::streamsize>(code_.size()));
        out.write(reinterpret_cast<const char*>(data_.data()), static_cast<std::streamsize>(data_.size()));
        out.close();
        if (!out) {
            *error = "cannot write " + temporary;
            std::remove(temporary.c_str());
            return false;
        }
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        *error = "cannot rename " + temporary + " to " + path;
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

}  // namespace sim
