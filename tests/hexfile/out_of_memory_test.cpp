// Allocations that fail take the library's refusal paths: no std::bad_alloc comes out of it. This
// program's operator new refuses, from a size on, as an exhausted heap would.

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include "hexfile/IntelHexOutFile.h"
#include "hexfile/MemoryBuffer.h"
#include "hexfile/MotorolaS_OutFile.h"
#include "tests/hexfile/hexfile_test_support.h"

namespace {

std::size_t refusedFrom = std::numeric_limits<std::size_t>::max();

// Allocations of that size and more fail while it lives.
class RefuseFrom {
  public:
    explicit RefuseFrom(std::size_t size) { refusedFrom = size; }
    ~RefuseFrom() { refusedFrom = std::numeric_limits<std::size_t>::max(); }
    RefuseFrom(const RefuseFrom&) = delete;
    RefuseFrom& operator=(const RefuseFrom&) = delete;
};

void* allocate(std::size_t size) {
    if (size < refusedFrom) {
        if (void* storage = std::malloc(size == 0 ? 1 : size)) {
            return storage;
        }
    }
    throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t size) {
    return allocate(size);
}
void* operator new[](std::size_t size) {
    return allocate(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return size < refusedFrom ? std::malloc(size == 0 ? 1 : size) : nullptr;
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return size < refusedFrom ? std::malloc(size == 0 ? 1 : size) : nullptr;
}
void operator delete(void* storage) noexcept {
    std::free(storage);
}
void operator delete[](void* storage) noexcept {
    std::free(storage);
}
void operator delete(void* storage, std::size_t) noexcept {
    std::free(storage);
}
void operator delete[](void* storage, std::size_t) noexcept {
    std::free(storage);
}
void operator delete(void* storage, const std::nothrow_t&) noexcept {
    std::free(storage);
}
void operator delete[](void* storage, const std::nothrow_t&) noexcept {
    std::free(storage);
}

namespace {

using Buffer::MemoryBuffer;
using hexfile_test::CoutCapture;
using hexfile_test::imageOf;

constexpr std::size_t large = 1 << 20;

class OutOfMemory : public hexfile_test::HexfileTest {
  protected:
    // Inserts an image the writer cannot hold, which is left out with the writer's refusal, then one
    // it can; gives the file written.
    template <class Writer>
    std::string writeAfterARefusedImage(const char* className) {
        CoutCapture out;
        Writer writer(path("out").c_str(), typename Writer::OutputStyle{});
        {
            const RefuseFrom refuse(large);
            writer.insertMemoryBuffer(MemoryBuffer(0x100, large));
        }
        EXPECT_EQ(out.text(), std::string(className) +
                                  "(insertMemoryBuffer-Operation). The memory for the MemoryBuffer could not "
                                  "be allocated.\nThe MemoryBuffer will not be inserted.\n");
        writer.insertMemoryBuffer(imageOf(0x10, {1}));
        writer.writeFile();
        return readText("out");
    }
};

TEST_F(OutOfMemory, ElementsThatCannotBeHeldAreAnEmptyList) {
    const MemoryBuffer image(0x100, large);  // mapped, not taken from the heap
    CoutCapture out;
    std::vector<Buffer::MemoryBufferElement> elements;
    {
        const RefuseFrom refuse(large);
        elements = image.getElements();
    }
    EXPECT_TRUE(elements.empty());
    EXPECT_EQ(out.text(),
              "MemoryBuffer(getElements-Operation). The memory for dataLength int(0x100000) could not be "
              "allocated.\n  An empty vector was returned!\n");
}

TEST_F(OutOfMemory, BytesThatCannotBeHeldAreNotAppended) {
    const MemoryBuffer image(0x100, large);
    std::vector<uint8_t> bytes{7};
    CoutCapture out;
    {
        const RefuseFrom refuse(large);
        image.appendBytes(bytes, 0x100, large);
    }
    EXPECT_EQ(bytes, std::vector<uint8_t>{7});
    EXPECT_EQ(out.text(),
              "MemoryBuffer(appendBytes-Operation). The memory for dataLength int(0x100000) could not be "
              "allocated.\n  Nothing was appended!\n");
}

TEST_F(OutOfMemory, WritersLeaveOutAnImageTheyCannotHold) {
    EXPECT_EQ(writeAfterARefusedImage<Io::Export::IntelHexOutFile>("IntelHexOutFile"),
              ":020000040000FA\n" + hexfile_test::ihex(0x10, 0, {1}) + "\n:00000001FF\n");
    const std::string sRecords = writeAfterARefusedImage<Io::Export::MotorolaS_OutFile>("MotorolaS_OutFile");
    // After the header:
    EXPECT_EQ(sRecords.substr(sRecords.find('\n') + 1),
              hexfile_test::srec('1', {0, 0x10}, {1}) + "\nS5030001FB\nS9030000FC\n");
}

}  // namespace
