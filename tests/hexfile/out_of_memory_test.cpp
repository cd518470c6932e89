// Allocations that fail take the library's refusal paths: no std::bad_alloc comes out of it, and a file
// that cannot be written whole is not written at all. This program's operator new refuses, from a size
// on, as an exhausted heap would.

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "hexfile/File.h"
#include "hexfile/IntelHexOutFile.h"
#include "hexfile/MemoryBuffer.h"
#include "hexfile/MotorolaS_OutFile.h"
#include "tests/hexfile/hexfile_test_support.h"
#include "tests/hexfile/refused_allocations.h"

namespace {

using Buffer::MemoryBuffer;
using hexfile_test::CoutCapture;
using hexfile_test::imageOf;
using refused_allocations::RefuseFrom;

constexpr std::size_t large = 1 << 20;

// The writers of both formats, with the file name and the default style, and the name of their class.
struct WriterCase {
    const char* className;
    std::function<std::unique_ptr<Io::Export::MorvaneExportApi>(const std::string&)> make;
};

const WriterCase writers[] = {
    {"IntelHexOutFile",
     [](const std::string& file) {
         return std::make_unique<Io::Export::IntelHexOutFile>(file.c_str(),
                                                              Io::Export::IntelHexOutFile::OutputStyle{});
     }},
    {"MotorolaS_OutFile",
     [](const std::string& file) {
         return std::make_unique<Io::Export::MotorolaS_OutFile>(file.c_str(),
                                                                Io::Export::MotorolaS_OutFile::OutputStyle{});
     }},
};

const std::string oldContent = ":0400000001020304F2\n:00000001FF\n";

class OutOfMemory : public hexfile_test::HexfileTest {
  protected:
    // The write fails with out_of_memory and leaves the file "out" and its folder as they were.
    void expectNothingWritten(const std::function<void()>& write) {
        EXPECT_THROW(write(), Io::out_of_memory);
        EXPECT_EQ(readText("out"), oldContent);
        EXPECT_EQ(entries(), std::vector<std::string>{"out"});
    }
    // Runs the check for each writer, on a writer of the file "out" with its old content; what the
    // library prints is captured.
    template <class Check>
    void forEachWriter(Check check) {
        for (const WriterCase& w : writers) {
            SCOPED_TRACE(w.className);
            const std::string file = writeText("out", oldContent);
            CoutCapture out;
            const auto writer = w.make(file);
            check(w, *writer, out);
        }
    }
};

// Writes lines as a writer's file would.
class Lines : public Io::TextOutFile {
  public:
    using Io::TextOutFile::TextOutFile;
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

// A writer that left an image out for lack of memory writes no file without it: writeFile throws
// out_of_memory (a bad_open) and the file keeps its old content, whatever is inserted after.
TEST_F(OutOfMemory, AWriterThatLeftOutAnImageWritesNothing) {
    forEachWriter([&](const WriterCase& w, Io::Export::MorvaneExportApi& writer, CoutCapture& out) {
        {
            const RefuseFrom refuse(large);
            writer.insertMemoryBuffer(MemoryBuffer(0x100, large));
        }
        EXPECT_EQ(out.take(), std::string(w.className) +
                                  "(insertMemoryBuffer-Operation). The memory for the MemoryBuffer could not "
                                  "be allocated.\nThe MemoryBuffer will not be inserted.\n");
        writer.insertMemoryBuffer(imageOf(0x10, {1}));
        expectNothingWritten([&] { writer.writeFile(); });
    });
}

// The write buffer of 1 MiB that cannot be had fails the write the same way, before the file is
// touched; with it the same writer writes the file.
TEST_F(OutOfMemory, AWriteBufferThatCannotBeHadWritesNothing) {
    forEachWriter([&](const WriterCase&, Io::Export::MorvaneExportApi& writer, CoutCapture& out) {
        writer.insertMemoryBuffer(imageOf(0x10, {1}));
        expectNothingWritten([&] {
            const RefuseFrom refuse(1 << 20);
            writer.writeFile();
        });
        writer.writeFile();
        EXPECT_NE(readText("out"), oldContent);
        EXPECT_EQ(out.text(), "");
    });
    const std::string file = writeText("out", oldContent);
    expectNothingWritten([&] {
        const RefuseFrom refuse(1 << 20);
        Lines(file.c_str()).writeLines({"new\n"});
    });
}

}  // namespace
