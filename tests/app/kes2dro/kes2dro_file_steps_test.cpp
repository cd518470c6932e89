// The file steps of the KES2 and DRO programs on a recording ECU object: which reads, writes and
// raw requests each command line makes, and what they print.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <sstream>

#include "app/kes2dro/DroProgram.h"
#include "app/kes2dro/Kes2DroFrame.h"
#include "app/kes2dro/Kes2Program.h"
#include "hexfile/GenericInFile.h"
#include "tests/app/kes2dro/Kes2DroTestSupport.h"
#include "tests/ecu/EcuTestSupport.h"
#include "tests/ecu/PacketBytes.h"
#include "tests/support/shared_names.h"

namespace kes2dro_test {
namespace {

using apptest::FileRun;
using apptest::ScratchDir;
using apptest::writeHexFile;
using ecutest::slice;
using ecutest::StreamCapture;
using testing_support::CoutCapture;

// What loadHexFile shows while it parses the file.
std::string parsingText(const std::string& file) {
    return "...Parsing: " + (file.size() > 34 ? file.substr(file.size() - 34) : file);
}

// The lowest address and the length of a written file.
std::pair<uint64_t, uint64_t> fileRange(const std::string& path) {
    CoutCapture cout;
    const Io::Import::GenericInFile file(path.c_str());
    return {file.getMinAddress(), file.getDataLength()};
}

TEST(Kes2FileSteps, ReadsIntoIntelHexFiles) {
    struct Case {
        std::vector<std::string> options;
        bool codeFlash;
        uint64_t length;
        uint32_t pages;
        uint64_t fileStart;
    };
    const Case cases[] = {
        {{"--rP"}, true, 0x80000, 2, 0},
        {{"--Bmg", "--rP"}, true, 0x8000, 2, 0},
        {{"--pktlen", "1024", "--rP"}, true, 0x80000, 4, 0},
        {{"--rD"}, false, 0x8000, 2, 0xFE000000},
    };
    for (const Case& c : cases) {
        ScratchDir dir;
        std::vector<std::string> args = c.options;
        args.push_back(dir.path("out.hex"));
        Steps steps;
        steps.run(Kes2DroTable::kes2, args);
        ASSERT_EQ(steps.ecu.reads.size(), 1u);
        const ReadCall& read = steps.ecu.reads[0];
        EXPECT_EQ(read.codeFlash, c.codeFlash);
        EXPECT_EQ(read.address, 0u);
        EXPECT_EQ(read.length, c.length);
        EXPECT_EQ(read.pages, c.pages);
        EXPECT_EQ(fileRange(dir.path("out.hex")), std::make_pair(c.fileStart, c.length));
    }
}

TEST(Kes2FileSteps, FailedReadWritesNoFile) {
    ScratchDir dir;
    Steps steps;
    steps.ecu.failReads = true;
    steps.run(Kes2DroTable::kes2, {"--rP", dir.path("c.hex"), "--rD", dir.path("d.hex")});
    EXPECT_EQ(steps.ecu.reads.size(), 2u);
    EXPECT_FALSE(std::filesystem::exists(dir.path("c.hex")));
    EXPECT_FALSE(std::filesystem::exists(dir.path("d.hex")));
}

// The bytes of [start, start + length) as a write of the file's runs sends them: a run's bytes where
// it has them, fill (0) elsewhere, and before the first byte the file holds there the erased value FF.
Bytes imageOf(const std::vector<FileRun>& file, uint64_t start, uint64_t length) {
    uint64_t lowest = UINT64_MAX;
    for (const FileRun& run : file) {
        if (run.address + run.bytes.size() > start) {
            lowest = std::min(lowest, std::max(run.address, start));
        }
    }
    Bytes bytes(length);
    for (uint64_t i = 0; i < length; ++i) {
        bytes[i] = start + i < lowest ? 0xFF : 0x00;
    }
    for (const FileRun& run : file) {
        for (uint64_t i = 0; i < run.bytes.size(); ++i) {
            if (run.address + i >= start && run.address + i < start + length) {
                bytes[run.address + i - start] = run.bytes[i];
            }
        }
    }
    return bytes;
}

struct Write {
    uint64_t start;
    uint64_t length;
};

// The code writes a step made, in order: each from start, length bytes of the file, erase set,
// pages of 256 bytes.
void expectCodeWrites(const RecordingDro& ecu, const std::vector<Write>& writes, uint32_t pages,
                      const std::vector<FileRun>& file) {
    ASSERT_EQ(ecu.codeWrites.size(), writes.size());
    for (size_t i = 0; i < writes.size(); ++i) {
        SCOPED_TRACE(i);
        const apptest::CodeCall& write = ecu.codeWrites[i];
        EXPECT_EQ(write.start, writes[i].start);
        EXPECT_EQ(write.length, writes[i].length);
        EXPECT_TRUE(write.erase);
        EXPECT_EQ(write.pages, pages);
        EXPECT_EQ(write.pageSize, 256u);
        EXPECT_TRUE(write.data == imageOf(file, writes[i].start, writes[i].length));
    }
}

TEST(Kes2FileSteps, CodeWriteKeepsOutOfTheBootAreaWithoutBmg) {
    struct Case {
        std::string label;
        std::vector<FileRun> file;
        bool bmg;
        // No write when length is 0.
        uint64_t start, length;
        std::string message;
        std::string warning;
    };
    const std::string pastTheFlash =
        "Left out: 0x100 bytes of the file at 0x80000 - 0x800ff, outside the code flash 0x0 - 0x7ffff\n";
    const Case cases[] = {
        {"whole image", {{0, pattern(0x80000)}}, false, 0x8000, 0x78000, "", ""},
        {"whole image with Bmg", {{0, pattern(0x80000)}}, true, 0, 0x80000, "", ""},
        // The write ends with the file's last byte, not with the fill after it.
        {"file ending in the application area", {{0, pattern(0x9001)}}, false, 0x8000, 0x1001, "", ""},
        {"file ending in the application area with Bmg", {{0, pattern(0x9001)}}, true, 0, 0x9001, "", ""},
        {"no byte at 0x8001", {{0, pattern(0x8001)}}, false, 0, 0, "Expected 512k HexFile!\n", ""},
        // With --Bmg a file is cut to the boot area only when it holds nothing above it.
        {"boot area alone with Bmg", {{0, pattern(0x8000)}}, true, 0, 0x8000, "", ""},
        {"bytes above the boot area but none at 0x8001 with Bmg",
         {{0, pattern(0x8000)}, {0x8002, pattern(4)}},
         true,
         0,
         0x8006,
         "",
         ""},
        {"boot area and a block of the application with Bmg",
         {{0, pattern(0x8000)}, {0x40000, pattern(0x1000)}},
         true,
         0,
         0x41000,
         "",
         ""},
        {"part of the boot area with Bmg", {{0, pattern(0x2345)}}, true, 0, 0x2345, "", ""},
        // Bytes past the code flash are named; the rest is written.
        {"bytes past the code flash",
         {{0, pattern(0x9000)}, {0x7FF00, pattern(0x200)}},
         false,
         0x8000,
         0x78000,
         "",
         pastTheFlash},
        {"bytes past the code flash with Bmg",
         {{0, pattern(0x100)}, {0x7FF00, pattern(0x200)}},
         true,
         0,
         0x80000,
         "",
         pastTheFlash},
        // A file of its end record alone: nothing to write, not a boot area of fill bytes.
        {"file without data with Bmg", {}, true, 0, 0, "Nothing tbd!(File len: 0x0)\n", ""},
        {"file without data", {}, false, 0, 0, "Expected 512k HexFile!\n", ""},
        // The range from 0 is refused when the file begins above 0: an empty image.
        {"file from 0x8000", {{0x8000, pattern(0x1000)}}, false, 0, 0, "Nothing tbd!(File len: 0x0)\n", ""},
        {"file from 0x8000 with Bmg",
         {{0x8000, pattern(0x1000)}},
         true,
         0,
         0,
         "Nothing tbd!(File len: 0x0)\n",
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        ScratchDir dir;
        const std::string file = writeHexFile(dir, "code.hex", c.file);
        std::vector<std::string> args = {"--wP", file};
        if (c.bmg) {
            args.push_back("--Bmg");
        }
        Steps steps;
        steps.run(Kes2DroTable::kes2, args);
        EXPECT_EQ(steps.normal, parsingText(file) + std::string(49, ' ') + c.message);
        EXPECT_EQ(steps.warning, c.warning);
        expectCodeWrites(steps.ecu,
                         c.length == 0 ? std::vector<Write>{} : std::vector<Write>{{c.start, c.length}}, 2,
                         c.file);
    }
}

// A raw data-write request as the KES2 program sends it.
Bytes rawDataRequest(uint16_t offset, const Bytes& bytes) {
    Bytes request = {0xBB, 0x80, 0x00, 0x00, static_cast<uint8_t>(offset >> 8), static_cast<uint8_t>(offset),
                     0x00};
    request.insert(request.end(), bytes.begin(), bytes.end());
    return request;
}

TEST(Kes2FileSteps, DataRunsInPacketsPagesOrRawRequests) {
    struct Case {
        std::string label;
        std::vector<FileRun> file;
        std::string packetLength;
        std::vector<apptest::DataCall> writes;
        std::vector<Bytes> commands;
    };
    const Bytes a = pattern(0x300, 1);
    const Bytes b = pattern(5, 2);
    const Bytes c = pattern(0x1001, 3);
    const Case cases[] = {
        {"packet run and odd run",
         {{0xFE000000, slice(a, 0, 0x200)}, {0xFE000300, b}},
         "512",
         {{0, 0x200, 2, 256, slice(a, 0, 0x200)}},
         {rawDataRequest(0x300, b)}},
        // 0x300 is no multiple of 512: one write, its last request shorter.
        {"run of three pages at packet length 512", {{0xFE000000, a}}, "512", {{0, 0x300, 2, 256, a}}, {}},
        // A data write needs a page start.
        // (The file's first byte is at the data flash's start, or the importer refuses the range.)
        {"page-size run off a page start",
         {{0xFE000000, b}, {0xFE000110, slice(a, 0, 0x100)}},
         "512",
         {},
         {rawDataRequest(0, b), rawDataRequest(0x110, slice(a, 0, 0x100))}},
        // Seven header bytes and at most 4088 data bytes fit one message of 4095 bytes.
        {"odd run longer than one message",
         {{0xFE000000, c}},
         "2048",
         {},
         {rawDataRequest(0, slice(c, 0, 4088)), rawDataRequest(4088, slice(c, 4088, 9))}},
        {"run shorter than the packet",
         {{0xFE000000, slice(a, 0, 0x100)}},
         "1024",
         {{0, 0x100, 1, 256, {}}},
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        ScratchDir dir;
        Steps steps;
        steps.run(Kes2DroTable::kes2,
                  {"--pktlen", c.packetLength, "--wD", writeHexFile(dir, "d.hex", c.file)});
        ASSERT_EQ(steps.ecu.dataWrites.size(), c.writes.size());
        for (size_t i = 0; i < c.writes.size(); ++i) {
            const apptest::DataCall& got = steps.ecu.dataWrites[i];
            EXPECT_EQ(got.address, c.writes[i].address);
            EXPECT_EQ(got.length, c.writes[i].length);
            EXPECT_EQ(got.pages, c.writes[i].pages);
            EXPECT_EQ(got.pageSize, c.writes[i].pageSize);
            if (!c.writes[i].data.empty()) {
                EXPECT_TRUE(
                    Bytes(got.data.begin(), got.data.begin() + static_cast<std::ptrdiff_t>(got.length)) ==
                    Bytes(c.writes[i].data.begin(),
                          c.writes[i].data.begin() + static_cast<std::ptrdiff_t>(got.length)));
            }
        }
        EXPECT_EQ(steps.ecu.commands, c.commands);
    }
}

TEST(Kes2FileSteps, FailedRawDataRequestEndsTheStep) {
    // The first request of a run longer than one message fails too: the rest of it is not sent.
    for (const Bytes& first : {Bytes{1, 2, 3}, pattern(0x1001)}) {
        SCOPED_TRACE(first.size());
        ScratchDir dir;
        Steps steps;
        steps.ecu.failCommand = {0};
        steps.run(
            Kes2DroTable::kes2,
            {"--wD", writeHexFile(dir, "d.hex",
                                  {{0xFE000000, first}, {0xFE002000, {4}}, {0xFE002200, pattern(0x100)}})});
        EXPECT_EQ(steps.ecu.commands.size(), 1u);
        EXPECT_TRUE(steps.ecu.dataWrites.empty());
        // The line names the run and says where the step stopped.
        std::ostringstream line;
        line << "Data write failed: the run at 0xfe000000 of 0x" << std::hex << first.size()
             << " bytes (no whole pages, so sent without an erase) is not written; the data step stopped "
                "there.\n";
        EXPECT_EQ(steps.error, line.str());
    }
}

// A data step that writes nothing says so on one line.
TEST(Kes2FileSteps, DataFilesThatWriteNothing) {
    struct Case {
        std::string label;
        std::vector<FileRun> file;
        std::string warning;
    };
    const Case cases[] = {
        {"end record alone", {}, ""},
        // The importer refuses the window when the file begins above it.
        {"file from above the data flash's start", {{0xFE000010, pattern(0x100)}}, ""},
        {"file past the data flash",
         {{0xFE000000 - 0x10, pattern(0x10)}, {0xFE008000, pattern(0x20)}},
         "Left out: 0x30 bytes of the file at 0xfdfffff0 - 0xfe00801f, outside the data flash 0xfe000000 - "
         "0xfe007fff\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        ScratchDir dir;
        Steps steps;
        steps.run(Kes2DroTable::kes2, {"--wD", writeHexFile(dir, "d.hex", c.file)});
        EXPECT_TRUE(steps.ecu.dataWrites.empty());
        EXPECT_TRUE(steps.ecu.commands.empty());
        EXPECT_EQ(steps.normal, "Nothing tbd!(File len: 0x0)\n");
        EXPECT_EQ(steps.warning, c.warning);
    }
}

// The bytes past the data flash are named on one line; those inside are written.
TEST(Kes2FileSteps, DataBytesPastTheDataFlashAreNamed) {
    ScratchDir dir;
    Steps steps;
    const Bytes last = pattern(0x200, 4);
    steps.run(Kes2DroTable::kes2,
              {"--wD", writeHexFile(dir, "d.hex", {{0xFE000000, pattern(0x100, 3)}, {0xFE007F00, last}})});
    EXPECT_EQ(
        steps.warning,
        "Left out: 0x100 bytes of the file at 0xfe008000 - 0xfe0080ff, outside the data flash 0xfe000000 - "
        "0xfe007fff\n");
    ASSERT_EQ(steps.ecu.dataWrites.size(), 2u);
    EXPECT_EQ(steps.ecu.dataWrites[0].address, 0u);
    EXPECT_EQ(steps.ecu.dataWrites[0].data, pattern(0x100, 3));
    EXPECT_EQ(steps.ecu.dataWrites[1].address, 0x7F00u);
    EXPECT_EQ(steps.ecu.dataWrites[1].data, slice(last, 0, 0x100));
    EXPECT_TRUE(steps.ecu.commands.empty());
}

TEST(Kes2DroRamRoutine, StartedAtItsStartOrAtTheJumpAddressCutTo32Bits) {
    struct Case {
        std::string label;
        std::vector<std::string> options;
        bool uploadFails;
        std::vector<uint32_t> starts;
    };
    const Case cases[] = {
        {"no Jump", {}, false, {0x1000}},
        {"Jump", {"--Jump", "2345"}, false, {0x2345}},
        // The bits above 32 are cut: the start differs from the routine's own.
        {"Jump beyond 32 bits", {"--Jump", "0x100002000"}, false, {0x2000}},
        {"failed download", {"--Jump", "2000"}, true, {}},
    };
    for (const Kes2DroTable table : {Kes2DroTable::kes2, Kes2DroTable::dro}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(c.label);
            ScratchDir dir;
            Kes2DroRunValues values;
            values.ramFile = writeHexFile(dir, "ram.hex", {{0x1000, pattern(0x400)}});
            std::vector<std::string> args = c.options;
            args.insert(args.end(), {"--ram", values.ramFile});
            const auto map = parseOptions(table, args);
            RecordingDro ecu;
            ecu.failUpload = c.uploadFails;
            bool ramOk = true;
            bool startOk = true;
            StreamCapture out;
            StepScreen screen;
            runRamRoutine(ecu, map, values, ramOk, startOk, screen);
            EXPECT_EQ(ecu.uploads, (std::vector<UploadCall>{{0x1000, 0x400, 512}}));
            EXPECT_EQ(ecu.starts, c.starts);
            EXPECT_EQ(ramOk, !c.uploadFails);
            EXPECT_TRUE(startOk);
        }
    }
}

TEST(DroFileSteps, CodeReadLengthFromTheChipTable) {
    struct Case {
        std::vector<std::string> options;
        uint64_t length;
    };
    const Case cases[] = {
        {{}, 0xD0000},
        {{"--t", "MB91F522D"}, 0x50000},
        {{"--t", "MB91F523D"}, 0x70000},
        {{"--t", "MB91F524D"}, 0x90000},
        {{"--t", "MB91F525D"}, 0xD0000},
        {{"--t", "MB91F526D"}, 0x110000},
        {{"--t", "mb91f522d"}, 0xD0000},
        {{"--t", "MB91F522D", "--Bmg"}, 0x4000},
    };
    for (const Case& c : cases) {
        ScratchDir dir;
        std::vector<std::string> args = c.options;
        args.insert(args.end(), {"--rP", dir.path("c.hex")});
        Steps steps;
        // One file is enough to show where its addresses begin.
        const bool writeFile = c.length == 0x4000;
        steps.ecu.failReads = !writeFile;
        steps.run(Kes2DroTable::dro, args);
        ASSERT_EQ(steps.ecu.reads.size(), 1u);
        EXPECT_TRUE(steps.ecu.reads[0].codeFlash);
        EXPECT_EQ(steps.ecu.reads[0].address, 0x70000u);
        EXPECT_EQ(steps.ecu.reads[0].length, c.length);
        if (writeFile) {
            EXPECT_EQ(fileRange(dir.path("c.hex")), std::make_pair(uint64_t{0x70000}, c.length));
        }
    }
}

TEST(DroFileSteps, DataReadAndWriteFromAddressZero) {
    ScratchDir dir;
    Steps steps;
    const Bytes data = pattern(0x200);
    steps.run(Kes2DroTable::dro,
              {"--rD", dir.path("d.hex"), "--wD", writeHexFile(dir, "w.hex", {{0x12340, data}})});
    ASSERT_EQ(steps.ecu.reads.size(), 1u);
    EXPECT_FALSE(steps.ecu.reads[0].codeFlash);
    EXPECT_EQ(steps.ecu.reads[0].length, 0x10000u);
    EXPECT_EQ(fileRange(dir.path("d.hex")), std::make_pair(uint64_t{0}, uint64_t{0x10000}));
    ASSERT_EQ(steps.ecu.dataWrites.size(), 1u);
    EXPECT_EQ(steps.ecu.dataWrites[0].address, 0u);
    EXPECT_EQ(steps.ecu.dataWrites[0].length, 0x200u);
    EXPECT_EQ(steps.ecu.dataWrites[0].pages, 2u);
    EXPECT_EQ(steps.ecu.dataWrites[0].data, data);
}

// The data file is relocated to address 0: one that does not fit the data flash is refused before
// anything is sent; one that just fits is written whole.
TEST(DroFileSteps, DataFileLongerThanTheDataFlashIsRefused) {
    struct Case {
        std::string label;
        std::vector<FileRun> file;
        uint64_t written;
        std::string error;
    };
    const Case cases[] = {
        {"0x200020 bytes",
         {{0x5000, pattern(0x20)}, {0x205000, pattern(0x20)}},
         0,
         "Data file longer than the data flash: 0x200020 bytes (0x10000 at most)\n"},
        {"one byte too long",
         {{0x100, {1}}, {0x10100, {2}}},
         0,
         "Data file longer than the data flash: 0x10001 bytes (0x10000 at most)\n"},
        {"just fits", {{0x100, {1}}, {0x100FF, {2}}}, 0x10000, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        ScratchDir dir;
        Steps steps;
        steps.run(Kes2DroTable::dro, {"--wD", writeHexFile(dir, "d.hex", c.file)});
        EXPECT_EQ(steps.error, c.error);
        EXPECT_TRUE(steps.ecu.commands.empty());
        if (c.written == 0) {
            EXPECT_TRUE(steps.ecu.dataWrites.empty());
            continue;
        }
        ASSERT_EQ(steps.ecu.dataWrites.size(), 1u);
        EXPECT_EQ(steps.ecu.dataWrites[0].address, 0u);
        EXPECT_EQ(steps.ecu.dataWrites[0].length, c.written);
    }
}

TEST(DroFileSteps, ApplicationWriteWithoutBmg) {
    struct Case {
        std::string label;
        std::vector<std::string> options;
        std::vector<FileRun> file;
        std::vector<Write> writes;
        std::string message;
        std::string error;
    };
    const Case cases[] = {
        {"from the boot block",
         {"--t", "MB91F522D"},
         {{0x70000, pattern(0x50000)}},
         {{0x74000, 0x4C000}},
         "",
         ""},
        {"above the boot block", {}, {{0x78000, pattern(0x1000)}}, {{0x78000, 0x1000}}, "", ""},
        // The block a file begins inside is erased whole; the write begins at the file's first page,
        // whose bytes before the file stay erased.
        {"from inside a block", {}, {{0x76080, pattern(0x3000)}}, {{0x76000, 0x3080}}, "", ""},
        // No block without a byte of the file is erased: one write per run of blocks that hold bytes.
        {"gap over whole blocks",
         {},
         {{0x74000, pattern(0x100)},
          {0x7C000, pattern(0x100)},
          {0x80000, pattern(0x100)},
          {0xDFF00, pattern(0x100)}},
         {{0x74000, 0x100}, {0x7C000, 0x4100}, {0xDFF00, 0x100}},
         "",
         ""},
        // A run that begins inside a page: the page's bytes before the run stay erased.
        {"run beginning inside a page",
         {},
         {{0x74000, pattern(0x100)}, {0x7C080, pattern(0x10)}},
         {{0x74000, 0x100}, {0x7C000, 0x90}},
         "",
         ""},
        // A gap inside a block goes as the image's fill.
        {"gap inside a block",
         {},
         {{0x80000, pattern(0x100)}, {0x81000, pattern(0x10)}},
         {{0x80000, 0x1010}},
         "",
         ""},
        // The boot block's bytes are not written without --Bmg.
        {"boot block alone", {}, {{0x70000, pattern(0x4000)}}, {}, "Nothing tbd!(File len: 0x4000)\n", ""},
        {"below the code flash", {}, {{0x6FFF0, pattern(0x1010)}}, {}, "Unexpected Start address6fff0\n", ""},
        // The Keep options need --Bmg.
        {"keep options alone",
         {"--KeepTa", "--KeepCfg"},
         {{0x74000, pattern(0x100)}},
         {{0x74000, 0x100}},
         "",
         ""},
        // A file that reaches past the chip's code flash is refused whole.
        {"ends at the chip's end",
         {"--t", "MB91F522D"},
         {{0xBFF00, pattern(0x100)}},
         {{0xBFF00, 0x100}},
         "",
         ""},
        {"past the chip's end",
         {"--t", "MB91F522D"},
         {{0x74000, pattern(0x100)}, {0xDFF00, pattern(0x100)}},
         {},
         "",
         "Unexpected End address 0xdffff (the code flash ends at 0xbffff)\n"},
        {"past the default chip's end",
         {},
         {{0x80000, pattern(0x100)}, {0x15FF00, pattern(0x100)}},
         {},
         "",
         "Unexpected End address 0x15ffff (the code flash ends at 0x13ffff)\n"},
        {"past the end with Bmg",
         {"--t", "MB91F522D", "--Bmg", "--KeepTa"},
         {{0x70000, pattern(0x4000)}, {0xC0000, {1}}},
         {},
         "",
         "Unexpected End address 0xc0000 (the code flash ends at 0xbffff)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        ScratchDir dir;
        std::vector<std::string> args = c.options;
        const std::string file = writeHexFile(dir, "code.hex", c.file);
        args.insert(args.end(), {"--wP", file});
        Steps steps;
        steps.run(Kes2DroTable::dro, args);
        EXPECT_TRUE(steps.ecu.reads.empty());
        EXPECT_TRUE(steps.ecu.commands.empty());
        EXPECT_EQ(steps.normal, parsingText(file) + std::string(49, ' ') + c.message);
        EXPECT_EQ(steps.error, c.error);
        expectCodeWrites(steps.ecu, c.writes, 2, c.file);
    }
}

// The runs of a file with gaps go one after another; a failed one ends the step.
TEST(DroFileSteps, FailedApplicationRunEndsTheStep) {
    ScratchDir dir;
    Steps steps;
    steps.ecu.failCode = {0};
    steps.run(Kes2DroTable::dro,
              {"--wP", writeHexFile(dir, "c.hex", {{0x74000, pattern(0x100)}, {0x80000, pattern(0x100)}})});
    EXPECT_EQ(steps.ecu.codeWrites.size(), 1u);
}

// A TA/CFG block write as the DRO program sends it.
Bytes blockRequest(uint8_t blockByte, const Bytes& block) {
    Bytes request = {0xBB, 0x70, 0x00, 0x07, blockByte, 0x00, 0x01};
    request.insert(request.end(), block.begin(), block.end());
    return request;
}

Bytes blank(size_t n) {
    return Bytes(n, 0xFF);
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

struct BootBlockCase {
    std::string label;
    std::vector<std::string> keep;
    // Runs of the file, the first from 0x70000.
    std::vector<FileRun> file;
    // The ECU's own TA and CFG area (0x900 bytes from 0x73700) before the run.
    Bytes ecuArea;
    std::vector<Bytes> commands;
    std::vector<std::string> texts;
};

TEST(DroFileSteps, BootBlockWithBmg) {
    const Bytes bmg = pattern(0x3700, 3);
    const Bytes ta0 = pattern(0x100, 10), ta1 = pattern(0x100, 11), ta2 = pattern(0x100, 12);
    const Bytes cfg0 = pattern(0x200, 20);
    // TA blocks 0 to 2 used, 3 to 6 blank; both CFG blocks used.
    const Bytes ecuArea = concat({ta0, ta1, ta2, blank(0x400), cfg0});
    Bytes lastTa = ta2;
    lastTa[0] = 0;
    // CFG block 0 blank, block 1 with one byte set.
    Bytes fileCfg = blank(0x200);
    fileCfg[0x1A0] = 0x42;

    // TA block 2 held in part (its first four bytes not), block 4 used behind a blank first word.
    const Bytes ta2Part = pattern(0x10, 13);
    Bytes ta2FromFile(0x100, 0);
    std::copy(ta2Part.begin(), ta2Part.end(), ta2FromFile.begin() + 0x10);
    const Bytes ta4 = concat({blank(4), pattern(0xFC, 14)});
    const Bytes cfg1 = pattern(0x100, 21);
    const uint64_t ta = 0x73700;
    const uint64_t cfg = 0x73E00;

    const BootBlockCase cases[] = {
        {"BMG alone", {}, {{0x70000, bmg}}, ecuArea, {}, {"Flash BMG"}},
        // A file that ends inside the TA area: the block it holds is written.
        {"BMG and the TA block the file holds",
         {},
         {{0x70000, concat({bmg, ta0})}},
         ecuArea,
         {blockRequest(0x37, ta0)},
         {"Flash BMG", "Flash TA, 0x100 bytes found in the input-file"}},
        {"keep TA",
         {"--KeepTa"},
         {{0x70000, concat({bmg, pattern(0x100)})}},
         ecuArea,
         {blockRequest(0x37, ta0), blockRequest(0x38, ta1), blockRequest(0x39, ta2)},
         {"Read TA/Cfg", "Flash BMG", "Restore TA, 0x300 bytes found"}},
        {"keep the last TA block",
         {"--KeepL"},
         {{0x70000, concat({bmg, pattern(0x100)})}},
         ecuArea,
         {blockRequest(0x37, lastTa)},
         {"Restore TA, 0x100 bytes found"}},
        {"keep CFG, the later block first",
         {"--KeepCfg"},
         {{0x70000, bmg}},
         ecuArea,
         {blockRequest(0x3F, slice(cfg0, 0x100, 0x100)), blockRequest(0x3E, slice(cfg0, 0, 0x100))},
         {"Restore CFG at addr. 0x73f00", "Restore CFG at addr. 0x73e00"}},
        {"TA and CFG from the file",
         {},
         {{0x70000, concat({bmg, ta0, blank(0x600), fileCfg})}},
         ecuArea,
         {blockRequest(0x37, ta0), blockRequest(0x3F, slice(fileCfg, 0x100, 0x100))},
         {"Flash TA, 0x100 bytes found in the input-file", "Flash CFG at addr. 0x73f00"}},
        // No TA in the file: none of its fill is written as TA data.
        {"CFG but no TA in the file",
         {},
         {{0x70000, bmg}, {cfg, cfg0}},
         ecuArea,
         {blockRequest(0x3F, slice(cfg0, 0x100, 0x100)), blockRequest(0x3E, slice(cfg0, 0, 0x100))},
         {"Flash BMG", "Flash CFG at addr. 0x73f00", "Flash CFG at addr. 0x73e00"}},
        // Only the blocks the file holds: not TA blocks 1, 3, 5 and 6, nor CFG block 0.
        {"TA and CFG blocks with gaps",
         {},
         {{0x70000, bmg}, {ta, ta0}, {ta + 0x210, ta2Part}, {ta + 0x400, ta4}, {cfg + 0x100, cfg1}},
         ecuArea,
         {blockRequest(0x37, ta0), blockRequest(0x39, ta2FromFile), blockRequest(0x3B, ta4),
          blockRequest(0x3F, cfg1)},
         {"Flash TA, 0x300 bytes found in the input-file", "Flash CFG at addr. 0x73f00"}},
        {"no TA block used", {"--KeepTa"}, {{0x70000, bmg}}, blank(0x900), {}, {"Read TA/Cfg", "Flash BMG"}},
    };
    for (const BootBlockCase& c : cases) {
        SCOPED_TRACE(c.label);
        ScratchDir dir;
        Steps steps;
        for (size_t i = 0; i < c.ecuArea.size(); ++i) {
            steps.ecu.code[0x73700 + i] = c.ecuArea[i];
        }
        std::vector<std::string> args = c.keep;
        args.insert(args.end(), {"--Bmg", "--pktlen", "1024", "--wP", writeHexFile(dir, "b.hex", c.file)});
        steps.run(Kes2DroTable::dro, args);
        if (c.keep.empty()) {
            EXPECT_TRUE(steps.ecu.reads.empty());
        } else {
            // The keep area is read a page per request at any packet length.
            ASSERT_EQ(steps.ecu.reads.size(), 1u);
            EXPECT_EQ(steps.ecu.reads[0].address, 0x73700u);
            EXPECT_EQ(steps.ecu.reads[0].length, 0x900u);
            EXPECT_EQ(steps.ecu.reads[0].pages, 1u);
        }
        ASSERT_EQ(steps.ecu.codeWrites.size(), 1u);
        const apptest::CodeCall& write = steps.ecu.codeWrites[0];
        EXPECT_EQ(write.start, 0x70000u);
        EXPECT_EQ(write.length, 0x3700u);
        EXPECT_EQ(write.pages, 1u);
        EXPECT_TRUE(slice(write.data, 0, 0x3700) == bmg);
        EXPECT_EQ(steps.ecu.commands.size(), c.commands.size());
        EXPECT_TRUE(steps.ecu.commands == c.commands);
        const bool taWritten = std::any_of(c.commands.begin(), c.commands.end(),
                                           [](const Bytes& r) { return r[4] >= 0x37 && r[4] <= 0x3D; });
        EXPECT_EQ(steps.normal.find("TA, 0x") != std::string::npos, taWritten) << steps.normal;
        EXPECT_EQ(steps.warning, "");
        size_t at = 0;
        for (const std::string& text : c.texts) {
            at = steps.normal.find(text, at);
            EXPECT_NE(at, std::string::npos) << text << " in order in: " << steps.normal;
        }
    }
}

// A BMG write that failed ends the step: nothing more goes to the boot block. A TA or CFG block that
// the ECU did not take keeps no other block from being written. Either way the last line names what
// was not written.
TEST(DroFileSteps, FailedBootBlockWritesAreNamedLast) {
    const Bytes bmg = pattern(0x3700, 3);
    const Bytes ta = pattern(0x200, 4);
    const Bytes cfg = pattern(0x200, 5);
    struct Case {
        std::string label;
        std::set<size_t> failCode, failCommand;
        size_t commands;
        std::string error;
    };
    const Case cases[] = {
        {"BMG write",
         {0},
         {},
         0,
         "Boot block write failed: the BMG area at 0x70000 is not written, and nothing more is sent to the "
         "boot block.\n"},
        {"second TA block", {}, {1}, 4, "Boot block write failed: the TA block at 0x73800 is not written.\n"},
        {"CFG block written first",
         {},
         {2},
         4,
         "Boot block write failed: the CFG block at 0x73f00 is not written.\n"},
        {"none", {}, {}, 4, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        ScratchDir dir;
        Steps steps;
        steps.ecu.failCode = c.failCode;
        steps.ecu.failCommand = c.failCommand;
        steps.run(
            Kes2DroTable::dro,
            {"--Bmg", "--wP", writeHexFile(dir, "b.hex", {{0x70000, bmg}, {0x73700, ta}, {0x73E00, cfg}})});
        EXPECT_EQ(steps.ecu.codeWrites.size(), 1u);
        EXPECT_EQ(steps.ecu.commands.size(), c.commands);
        EXPECT_EQ(steps.error, c.error);
    }
}

// With --Bmg only the boot block is written: the application's bytes are named on one line.
TEST(DroFileSteps, ApplicationBytesLeftOutWithBmg) {
    ScratchDir dir;
    Steps steps;
    steps.run(Kes2DroTable::dro,
              {"--Bmg", "--wP",
               writeHexFile(dir, "b.hex", {{0x70000, pattern(0x4000)}, {0x7FF00, pattern(0x100)}})});
    EXPECT_EQ(
        steps.warning,
        "Left out: 0x100 bytes of the file at 0x7ff00 - 0x7ffff, outside the boot block 0x70000 - 0x73fff\n");
    ASSERT_EQ(steps.ecu.codeWrites.size(), 1u);
    EXPECT_EQ(steps.ecu.codeWrites[0].start, 0x70000u);
    EXPECT_EQ(steps.ecu.codeWrites[0].length, 0x3700u);
}

TEST(DroFileSteps, BootBlockRefusals) {
    struct Case {
        std::string label;
        std::vector<std::string> keep;
        FileRun file;
        bool failRead;
        std::string text;
    };
    const Case cases[] = {
        {"file not at 0x70000",
         {},
         {0x74000, pattern(0x4000)},
         false,
         "Invalid File. len: 0x4000, StartAddr:0x74000)\n"},
        {"file shorter than BMG",
         {"--KeepTa"},
         {0x70000, pattern(0x36FF)},
         false,
         "Invalid File. len: 0x36ff, StartAddr:0x70000)\n"},
        // Zeros of an unread buffer must never be written over the ECU's own data.
        {"keep read fails", {"--KeepCfg"}, {0x70000, pattern(0x4000)}, true, "Read TA/Cfg"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        ScratchDir dir;
        Steps steps;
        steps.ecu.failReads = c.failRead;
        std::vector<std::string> args = c.keep;
        args.insert(args.end(), {"--Bmg", "--wP", writeHexFile(dir, "b.hex", {c.file})});
        steps.run(Kes2DroTable::dro, args);
        EXPECT_TRUE(steps.ecu.codeWrites.empty());
        EXPECT_TRUE(steps.ecu.commands.empty());
        EXPECT_NE(steps.normal.find(c.text), std::string::npos) << steps.normal;
        EXPECT_EQ(steps.error, c.failRead ? "Read TA/Cfg failed: the boot block is left as it is.\n" : "");
    }
}

}  // namespace
}  // namespace kes2dro_test
