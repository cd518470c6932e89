// The flash-file planner: names, block scan, window clipping, sector-run erase, code and data writes
// through the ECU object, and the files that data read back from the ECU is saved in.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <sstream>

#include "app/FlashFile.h"
#include "ecu/VORh850Gen.h"
#include "tests/app/AppTestSupport.h"
#include "tests/ecu/PacketBytes.h"
#include "tests/hexfile/refused_allocations.h"
#include "tests/support/shared_names.h"

namespace apptest {
namespace {

using ::testing::HasSubstr;
using Block = Io::Import::BlockStartLengthPair;
using ecutest::counting;
using ecutest::Rig;
using ecutest::slice;
using ecutest::StreamCapture;

// Sector n of the CYT2 map (32 KiB blocks from 0x10000000).
constexpr uint64_t sector(unsigned n) {
    return 0x10000000 + n * 0x8000ull;
}

struct PlannerTest : ::testing::Test {
    ScratchDir dir;
    Rig<RecordingEcu> rig;
    RecordingEcu& ecu = rig.ecu;

    std::string hexFile(const std::vector<FileRun>& runs) { return writeHexFile(dir, "in.hex", runs); }
};

TEST(FlashFileName, DisplayNameKeepsShortNamesAndCutsLongOnesAtTheLastSeparator) {
    const std::string component20 = "abcdefghij0123456789";
    const std::string longComponent(60, 'c');
    const struct {
        std::string name;
        std::string shown;
    } table[] = {
        {"code.hex", "code.hex"},
        {std::string(55, 'n'), std::string(55, 'n')},
        {std::string(49, 'd') + "\\" + component20, component20},
        {std::string(49, 'd') + "/" + component20, component20},
        {"/a\\b/" + std::string(50, 'e') + "\\x/" + component20, component20},
        {std::string(56, 'n'), std::string(55, 'n')},
        {"/d/" + longComponent, std::string(55, 'c')},
    };
    for (const auto& c : table) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(FlashFile(c.name).displayName(), c.shown);
    }
}

TEST(FlashFileClip, WindowTrimsTheStartOnlyAndSkipsBlocksOutside) {
    constexpr uint64_t windowStart = 0x10000000, windowEnd = 0x14000000;
    const struct {
        Block block;
        std::optional<Block> kept;
    } table[] = {
        {{0x0FFF0000, 0x20000}, Block{0x10000000, 0x10000}},
        {{0x0FFFF000, 0x1000}, std::nullopt},
        {{0x14000000, 0x100}, std::nullopt},
        {{0x13FFF000, 0x2000}, Block{0x13FFF000, 0x2000}},
        {{0x10000000, 0x100}, Block{0x10000000, 0x100}},
    };
    for (const auto& c : table) {
        SCOPED_TRACE(c.block.start);
        Block block = c.block;
        const bool skip = FlashFile::clipBlock(block, windowStart, windowEnd);
        EXPECT_EQ(skip, !c.kept.has_value());
        if (c.kept) {
            EXPECT_EQ(block, *c.kept);
        }
    }
}

TEST_F(PlannerTest, SameNameKeepsTheParsedFileAndAnotherNameParsesAgain) {
    const std::string first = hexFile({{0x1000, counting(16)}});
    const std::string second = writeHexFile(dir, "other.hex", {{0x2000, counting(8)}});
    FlashFile file;
    StreamCapture out;
    std::vector<uint8_t> bytes;
    uint64_t start = 0, length = 0;
    ASSERT_TRUE(file.readFromFile(first, bytes, start, length));
    file.scanBlocks();
    file.setFileName(first);
    file.scanBlocks();
    length = 0;
    ASSERT_TRUE(file.readFromFile(first, bytes, start, length));
    EXPECT_EQ(out.normal().find("    Parse: "), out.normal().rfind("    Parse: "));
    EXPECT_EQ(out.normal().find("    Check: "), out.normal().rfind("    Check: "));
    EXPECT_THAT(out.normal(), HasSubstr("    Parse: " + first + "\n"));
    EXPECT_THAT(out.normal(), HasSubstr("    Check: " + first + "\n"));

    length = 0;
    ASSERT_TRUE(file.readFromFile(second, bytes, start, length));
    EXPECT_EQ(start, 0x2000u);
    EXPECT_EQ(bytes, counting(8));
    EXPECT_THAT(out.normal(), HasSubstr("    Parse: " + second + "\n"));
}

TEST_F(PlannerTest, MissingFileIsReportedEveryTimeAndNothingIsWritten) {
    FlashFile file(dir.path("missing.hex"));
    StreamCapture out;
    file.scanBlocks();
    const std::string error =
        "Could not open file " + dir.path("missing.hex") + ": No such file or directory\n";
    EXPECT_EQ(out.normal(), "    Parse: " + dir.path("missing.hex") + "\n" + error);
    EXPECT_FALSE(file.writeCode(0, ~0ull, ecu, true, 0x200, 0x200));
    EXPECT_THAT(out.normal(), HasSubstr(error + "  No Data found!\n"));
    EXPECT_FALSE(file.writeCodeRange(0x1000, 0, 0x100, true, ecu, true, 0x200, 0x200));
    EXPECT_THAT(out.normal(), HasSubstr("  File does not include data to program. First one in file.\n"));
    EXPECT_FALSE(file.writeDataRange(0x1000, 0x100, true, ecu, 0x200, 0x200));
    EXPECT_EQ(out.warning(), "  File does not include data to program. Second one in file.\n");
    std::vector<uint8_t> bytes;
    uint64_t start = 0, length = 0;
    EXPECT_FALSE(file.readRange(bytes, start, length));
    // Each operation tried to parse the file again.
    size_t parses = 0;
    for (size_t at = out.normal().find("Parse: "); at != std::string::npos;
         at = out.normal().find("Parse: ", at + 1)) {
        ++parses;
    }
    EXPECT_EQ(parses, 5u);
    EXPECT_TRUE(ecu.erases.empty());
    EXPECT_TRUE(ecu.codeWrites.empty());
    EXPECT_TRUE(ecu.dataWrites.empty());
}

TEST_F(PlannerTest, ContainsRangeWithAndWithoutAdjust) {
    FlashFile file(hexFile({{0x1000, counting(0x100)}, {0x3000, counting(0x10)}}));
    const struct {
        uint64_t start;
        uint64_t length;
        bool adjust;
        bool found;
        uint64_t lengthAfter;
    } table[] = {
        {0x1000, 0x5, true, true, 0x100},  {0x10FF, 0x5, true, true, 0x1},
        {0x1100, 0x5, true, false, 0x5},   {0x0FFF, 0x5, true, false, 0x5},
        {0x3008, 0x0, true, true, 0x8},    {0x1000, 0x100, false, true, 0x100},
        {0x1080, 0x80, false, true, 0x80}, {0x1080, 0x81, false, false, 0x81},
        {0x2000, 0x1, false, false, 0x1},  {0x1080, ~0ull, false, false, ~0ull},
    };
    StreamCapture out;
    for (const auto& c : table) {
        SCOPED_TRACE(c.start);
        uint64_t length = c.length;
        EXPECT_EQ(file.containsRange(c.start, length, c.adjust), c.found);
        EXPECT_EQ(length, c.lengthAfter);
    }
}

TEST_F(PlannerTest, ReadRangeFillsGapsWithZeroAndLengthZeroReadsTheWholeFile) {
    FlashFile file(hexFile({{0x1000, {1, 2, 3}}, {0x1005, {9}}}));
    StreamCapture out;
    std::vector<uint8_t> bytes;
    uint64_t start = 0x1001, length = 6;
    ASSERT_TRUE(file.readRange(bytes, start, length));
    EXPECT_EQ(bytes, (Bytes{2, 3, 0, 0, 9, 0}));
    EXPECT_EQ(start, 0x1001u);
    EXPECT_EQ(length, 6u);

    start = 0;
    length = 0;
    ASSERT_TRUE(file.readFromFile(file.getFileName(), bytes, start, length));
    EXPECT_EQ(bytes, (Bytes{1, 2, 3, 0, 0, 9}));
    EXPECT_EQ(start, 0x1000u);
    EXPECT_EQ(length, 6u);
    // The read wipes its line with blanks as wide as the name and 15 more.
    EXPECT_THAT(out.normal(), HasSubstr(std::string(file.displayName().size() + 15, ' ')));
}

TEST_F(PlannerTest, RangeTooLargeForAnImageIsAFailedRead) {
    FlashFile file(hexFile({{0x1000, counting(0x10)}}));
    StreamCapture out;
    std::vector<uint8_t> bytes;
    uint64_t start = 0x1000, length = 0xFFFFFFFF;
    EXPECT_FALSE(file.readRange(bytes, start, length));
    EXPECT_THAT(out.normal(), HasSubstr("  Not enough memory for the file data\n"));
    EXPECT_TRUE(bytes.empty());
}

TEST_F(PlannerTest, WriteCodeWritesBlocksStartingInTheWindowWithTheStartTrimmed) {
    // Without erase, so that blocks outside the ECU's map can be shown too.
    const struct {
        FileRun run;
        std::optional<std::pair<uint64_t, uint64_t>> written;
    } table[] = {
        {{0x0FFF0000, counting(0x20000)}, std::pair<uint64_t, uint64_t>{0x10000000, 0x10000}},
        {{0x0FFFF000, counting(0x1000)}, std::nullopt},
        {{0x14000000, counting(0x100)}, std::nullopt},
        {{0x13FFF000, counting(0x2000)}, std::pair<uint64_t, uint64_t>{0x13FFF000, 0x2000}},
    };
    for (const auto& c : table) {
        SCOPED_TRACE(c.run.address);
        RecordingEcu& e = ecu;
        e.codeWrites.clear();
        FlashFile file(writeHexFile(dir, "window.hex", {c.run}));
        StreamCapture out;
        const bool result = file.writeCode(0x10000000, 0x14000000, e, false, 0x200, 0x200);
        if (c.written) {
            EXPECT_TRUE(result);
            ASSERT_EQ(e.codeWrites.size(), 1u);
            EXPECT_EQ(e.codeWrites[0].start, c.written->first);
            EXPECT_EQ(e.codeWrites[0].length, c.written->second);
            const uint64_t offset = c.written->first - c.run.address;
            EXPECT_EQ(e.codeWrites[0].data,
                      Bytes(c.run.bytes.begin() + static_cast<std::ptrdiff_t>(offset), c.run.bytes.end()));
        } else {
            EXPECT_FALSE(result);
            EXPECT_TRUE(e.codeWrites.empty());
            EXPECT_THAT(out.normal(), HasSubstr("  No Data found!\n"));
        }
    }
}

// Bytes of n zeros, then bytes, then zeros up to size.
Bytes placed(size_t n, const Bytes& bytes, size_t size) {
    Bytes out(n, 0x00);
    out.insert(out.end(), bytes.begin(), bytes.end());
    out.resize(size, 0x00);
    return out;
}

// Each block is written as the whole pages it touches, its start rounded down and its end rounded up,
// 0x00 where the file has nothing; the same writes at every packet length. A block that begins in the
// last page of the block before shares that page, which carries its first bytes; one that reaches
// past that page is written from its end, so no page is written twice.
TEST_F(PlannerTest, WriteCodeWritesTheWholePagesEachBlockTouches) {
    const Bytes a = counting(0x1234, 1);
    const Bytes b = counting(0x80, 2);
    const Bytes c = {7, 8};
    const Bytes d = counting(0x300, 5);
    FlashFile file(
        hexFile({{sector(0) + 0x10, a}, {sector(2), b}, {sector(2) + 0xC0, c}, {sector(2) + 0xF0, d}}));
    Bytes shared = placed(0, b, 0xC0);
    shared.insert(shared.end(), c.begin(), c.end());
    shared.resize(0xF0, 0x00);
    shared.insert(shared.end(), d.begin(), d.begin() + 0x10);
    const std::vector<std::pair<uint64_t, Bytes>> expected = {
        {sector(0), placed(0x10, a, 0x1300)},
        {sector(2), shared},
        {sector(2) + 0x100, placed(0, slice(d, 0x10, 0x2F0), 0x300)},
    };
    for (const uint32_t packet : {256u, 512u, 768u, 1000u, 4095u}) {
        SCOPED_TRACE(packet);
        Rig<RecordingEcu> fresh;
        StreamCapture out;
        ASSERT_TRUE(file.writeCode(sector(0), ~0ull, fresh.ecu, true, packet, 0x8000));
        ASSERT_EQ(fresh.ecu.codeWrites.size(), expected.size());
        for (size_t i = 0; i < expected.size(); ++i) {
            EXPECT_EQ(fresh.ecu.codeWrites[i].start, expected[i].first);
            EXPECT_EQ(fresh.ecu.codeWrites[i].length, expected[i].second.size());
            EXPECT_EQ(fresh.ecu.codeWrites[i].data, expected[i].second);
        }
        EXPECT_EQ(fresh.ecu.erases, (std::vector<std::pair<uint8_t, uint8_t>>{{0, 0}, {2, 2}}));
    }
}

// A window that begins inside a page: the page is written from its start, the file's bytes before
// the window 0x00.
TEST_F(PlannerTest, WriteCodeLeavesTheFileBytesBeforeTheWindowOut) {
    const Bytes data = counting(0x200);
    FlashFile file(hexFile({{sector(1), data}}));
    StreamCapture out;
    ASSERT_TRUE(file.writeCode(sector(1) + 0x180, ~0ull, ecu, true, 512, 0x8000));
    ASSERT_EQ(ecu.codeWrites.size(), 1u);
    EXPECT_EQ(ecu.codeWrites[0].start, sector(1) + 0x100);
    EXPECT_EQ(ecu.codeWrites[0].data, placed(0x80, slice(data, 0x180, 0x80), 0x100));
}

TEST_F(PlannerTest, WriteCodePagesAndPageLengthPerRequest) {
    const struct {
        uint32_t packet;
        uint32_t pageSize;
        uint32_t pages;
        uint32_t pageLength;
    } table[] = {
        // A page larger than the packet goes out in pages of 256 bytes.
        {256, 0x8000, 1, 256},
        {512, 0x8000, 2, 256},
        {1000, 0x8000, 3, 256},
        {4095, 0x8000, 15, 256},
        {512, 256, 2, 256},
        {512, 512, 1, 512},
        {1024, 256, 4, 256},
        // Whole pages only: the rest of the packet length stays unused.
        {1000, 256, 3, 256},
    };
    FlashFile file(hexFile({{sector(1), counting(0x300)}}));
    for (const auto& c : table) {
        SCOPED_TRACE(c.pageSize);
        ecu.codeWrites.clear();
        ecu.erases.clear();
        StreamCapture out;
        ASSERT_TRUE(file.writeCode(sector(0), ~0ull, ecu, true, c.packet, c.pageSize));
        ASSERT_EQ(ecu.codeWrites.size(), 1u);
        EXPECT_EQ(ecu.codeWrites[0].pages, c.pages);
        EXPECT_EQ(ecu.codeWrites[0].pageSize, c.pageLength);
        // The block is rounded up to whole pages; the code write's last request carries those left.
        EXPECT_EQ(ecu.codeWrites[0].length, (0x300 + c.pageLength - 1) / c.pageLength * c.pageLength);
        // The sectors were erased beforehand; the write itself never erases.
        EXPECT_FALSE(ecu.codeWrites[0].erase);
        EXPECT_EQ(ecu.erases.size(), 1u);
    }
}

TEST_F(PlannerTest, EraseMergesSectorRunsAndSplitsAtGaps) {
    const struct {
        std::string label;
        std::vector<FileRun> runs;
        std::vector<std::pair<uint8_t, uint8_t>> erases;
        uint32_t packet = 0x200;
    } table[] = {
        {"next sector continues the run",
         {{sector(3) + 0x4000, counting(0x8000)}, {sector(5), counting(0x100)}},
         {{3, 5}}},
        {"gap of a sector splits",
         {{sector(3) + 0x4000, counting(0x8000)}, {sector(6), counting(0x100)}},
         {{3, 4}, {6, 6}}},
        {"same sector", {{sector(3), counting(0x10)}, {sector(3) + 0x200, counting(0x10)}}, {{3, 3}}},
        {"last page of a sector stays in it", {{sector(5) - 0x200, counting(0x10)}}, {{4, 4}}, 0x400},
        {"8 KiB blocks of the upper group",
         {{0x101F0000, counting(0x2000)}, {0x101F4000, counting(0x10)}},
         {{62, 62}, {64, 64}}},
    };
    for (const auto& c : table) {
        SCOPED_TRACE(c.label);
        Rig<RecordingEcu> fresh;
        FlashFile file(writeHexFile(dir, "runs.hex", c.runs));
        StreamCapture out;
        EXPECT_TRUE(file.writeCode(sector(0), ~0ull, fresh.ecu, true, c.packet, 0x200));
        EXPECT_EQ(fresh.ecu.erases, c.erases);
        EXPECT_EQ(fresh.ecu.codeWrites.size(), c.runs.size());
    }
}

TEST_F(PlannerTest, EraseRunsNeverReachFromOneAreaIntoTheOther) {
    // A lower block, then the first upper block whose number names no lower block, 0x86: the upper
    // block does not continue the lower run, also where its number follows the lower one's, and both
    // are erased.
    const struct {
        uint64_t lower;
        std::vector<std::pair<uint8_t, uint8_t>> erases;
    } table[] = {
        {0x3F8000, {{0x85, 0x85}, {0x86, 0x86}}},
        {0x3C8000, {{0x7F, 0x7F}, {0x86, 0x86}}},
    };
    for (const auto& c : table) {
        SCOPED_TRACE(c.lower);
        Rig<RecordingKesEcu> kes;
        FlashFile file(
            writeHexFile(dir, "areas.hex", {{c.lower, counting(0x100)}, {0x1030000, counting(0x100)}}));
        StreamCapture out;
        EXPECT_TRUE(file.writeCode(0, ~0ull, kes.ecu, true, 0x100, 0x100));
        EXPECT_EQ(kes.ecu.erases, c.erases);
        EXPECT_EQ(kes.ecu.codeWrites.size(), 2u);
    }
}

// The upper blocks that GetBlockNumber numbers 0x80 to 0x85 share their numbers with the lower
// blocks 128 to 133, which are what the bootloader erases for them: a file with bytes there is
// refused before any block is erased, the lower block that comes first in the file included.
TEST_F(PlannerTest, UpperBlockNumberedAsALowerOneIsRefusedBeforeAnyErase) {
    for (const uint64_t upper : {0x1000000ull, 0x102FF00ull}) {
        SCOPED_TRACE(upper);
        Rig<RecordingKesEcu> kes;
        FlashFile file(writeHexFile(dir, "upper.hex", {{0x2000, counting(0x100)}, {upper, counting(0x100)}}));
        StreamCapture out;
        EXPECT_FALSE(file.writeCode(0, ~0ull, kes.ecu, true, 0x100, 0x100));
        std::ostringstream error;
        const unsigned block = upper == 0x1000000 ? 0x80 : 0x85;
        error << "Incorrect start Addr.: 0x" << std::hex << upper << " (erase block number 0x" << block
              << " (" << std::dec << block << ") names the block at 0x" << std::hex
              << 0x10000 + (block - 8) * 0x8000 << " of the other code flash area)\n";
        EXPECT_EQ(out.error(), error.str());
        EXPECT_TRUE(kes.ecu.erases.empty());
        EXPECT_TRUE(kes.ecu.codeWrites.empty());
    }
}

// A write whose requests one message of the transport (4095 bytes) cannot carry is refused before
// anything is erased or written: the code write checks every planned write, the data write every page. Pages
// that fit are written.
TEST_F(PlannerTest, RequestsNoMessageCarriesAreRefusedBeforeAnyErase) {
    {
        ecutest::TransportRig<RecordingKesEcu> kes;
        ASSERT_TRUE(kes.attached);
        FlashFile file(writeHexFile(dir, "code.hex", {{0x0, counting(0x100)}, {0x10000, counting(0x1000)}}));
        StreamCapture out;
        EXPECT_FALSE(file.writeCode(0, ~0ull, kes.ecu, true, 4095, 0xFFC));
        EXPECT_EQ(out.error(), "Request too long: 0x1003 bytes (one message carries 0xfff bytes at most)\n");
        EXPECT_TRUE(kes.ecu.erases.empty());
        EXPECT_TRUE(kes.ecu.codeWrites.empty());
    }
    for (const uint32_t page : {0x1000u, 0xFC0u}) {
        SCOPED_TRACE(page);
        ecutest::TransportRig<Recording<VORh850Gen>> rh850;
        ASSERT_TRUE(rh850.attached);
        FlashFile file(writeHexFile(dir, "data.hex", {{0xFF200000, counting(0x2000)}}));
        StreamCapture out;
        const bool fits = page == 0xFC0;
        EXPECT_EQ(file.writeDataRange(0xFF200000, 0x2000, true, rh850.ecu, 512, page), fits);
        if (fits) {
            EXPECT_EQ(rh850.ecu.dataWrites.size(), 3u);
            EXPECT_EQ(out.error(), "");
        } else {
            EXPECT_EQ(
                out.error(),
                "  Invalid page size: 0x1000 (--dataPageSize: the page at 0xff200000 goes out in one request "
                "of 0x1007 bytes, and one message carries 0xfff bytes at most)\n");
            EXPECT_TRUE(rh850.ecu.dataWrites.empty());
        }
    }
}

TEST_F(PlannerTest, BlockAcrossTheGapBetweenTheAreasIsRefused) {
    // From the lower area into the upper one: the blocks of its two ends would be erased and the flash
    // between them written unerased. The ECU's own code erase refuses it too. Pages large enough that
    // the page of a block at 0x3F0000 reaches across.
    const uint32_t pageSizes[] = {0x1008000, 0x1100000, 0x1400000};
    for (const uint32_t page : pageSizes) {
        SCOPED_TRACE(page);
        Rig<RecordingKesEcu> kes;
        FlashFile file(hexFile({{0x3F0000, counting(0x100)}}));
        StreamCapture out;
        EXPECT_FALSE(file.writeCode(0, ~0ull, kes.ecu, true, page, page));
        std::ostringstream error;
        error << "Incorrect data length: 0x" << std::hex << page
              << " (the range runs from one code flash area into the other)\n";
        EXPECT_EQ(out.error(), error.str());
        EXPECT_TRUE(kes.ecu.erases.empty());
        EXPECT_TRUE(kes.ecu.codeWrites.empty());
    }
}

// A write the code write would refuse half-way is refused before any erase or write: every block
// of the file is checked first, whatever comes before it.
TEST_F(PlannerTest, WriteTheCodeWriteWouldRefuseIsRefusedBeforeAnyErase) {
    const struct {
        std::string label;
        uint32_t packet;
        uint32_t pageSize;
        std::string error;
    } table[] = {
        {"more pages than a byte holds", 4096, 0x10, "Incorrect number of pages: 256\n"},
        // 0x3000 does not divide the 32 KiB sectors: the page of the second block begins in sector 5,
        // which holds nothing of the file.
        {"page reaching into a sector without data", 0x3000, 0x3000,
         "Incorrect page size: 0x3000 (the page at 0x1002f000 reaches into an erase block the file has no "
         "data in)\n"},
    };
    for (const auto& c : table) {
        for (const bool erase : {true, false}) {
            SCOPED_TRACE(c.label + (erase ? ", erase" : ", no erase"));
            Rig<RecordingEcu> fresh;
            FlashFile file(writeHexFile(dir, "plan.hex",
                                        {{sector(1), counting(0x200)}, {sector(6) + 0x100, counting(0x10)}}));
            StreamCapture out;
            EXPECT_FALSE(file.writeCode(sector(0), ~0ull, fresh.ecu, erase, c.packet, c.pageSize));
            EXPECT_EQ(out.error(), c.error);
            EXPECT_TRUE(fresh.ecu.erases.empty());
            EXPECT_TRUE(fresh.ecu.codeWrites.empty());
        }
    }
}

TEST_F(PlannerTest, FailedEraseEndsTheWriteBeforeAnythingIsWritten) {
    FlashFile file(hexFile({{sector(1), counting(0x100)}, {sector(6), counting(0x100)}}));
    ecu.failErase = {0};
    StreamCapture out;
    EXPECT_FALSE(file.writeCode(sector(0), ~0ull, ecu, true, 0x100, 0x100));
    EXPECT_EQ(ecu.erases.size(), 1u);
    EXPECT_TRUE(ecu.codeWrites.empty());
}

TEST_F(PlannerTest, FailedCodeWriteStopsThePass) {
    FlashFile file(hexFile({{sector(1), counting(0x100)}, {sector(6), counting(0x100)}}));
    ecu.failCode = {0};
    StreamCapture out;
    EXPECT_FALSE(file.writeCode(sector(0), ~0ull, ecu, true, 0x100, 0x100));
    EXPECT_EQ(ecu.erases.size(), 2u);
    EXPECT_EQ(ecu.codeWrites.size(), 1u);
}

TEST_F(PlannerTest, NoBlockInTheWindowErasesNothing) {
    FlashFile file(hexFile({{sector(1), counting(0x100)}}));
    StreamCapture out;
    EXPECT_FALSE(file.writeCode(sector(2), ~0ull, ecu, true, 0x100, 0x100));
    EXPECT_EQ(out.normal().find("  No Data found!\n"), out.normal().rfind("  No Data found!\n"));
    EXPECT_THAT(out.normal(), HasSubstr("  No Data found!\n"));
    EXPECT_TRUE(ecu.erases.empty());
    EXPECT_TRUE(ecu.codeWrites.empty());
}

TEST_F(PlannerTest, EraseOutsideTheBlockMapFailsBeforeAnyErase) {
    const struct {
        std::string label;
        FileRun outside;
        uint32_t packet;
        std::string error;
    } table[] = {
        {"first byte below the map",
         {0x0FFFFF00, counting(0x10)},
         0x100,
         "Incorrect start Addr.: 0xfffff00\n"},
        {"last byte past the map", {0x1020FF00, counting(0x101)}, 0x100, "Incorrect data length: 0x200\n"},
    };
    for (const auto& c : table) {
        SCOPED_TRACE(c.label);
        Rig<RecordingEcu> fresh;
        // A block inside the map comes first: it must not be erased either.
        FlashFile file(writeHexFile(dir, "map.hex", {{sector(0), counting(0x10)}, c.outside}));
        StreamCapture out;
        EXPECT_FALSE(file.writeCode(0, ~0ull, fresh.ecu, true, c.packet, 0x100));
        EXPECT_EQ(out.error(), c.error);
        EXPECT_TRUE(fresh.ecu.erases.empty());
        EXPECT_TRUE(fresh.ecu.codeWrites.empty());
    }
}

// The last page of the flash is written at any packet length, its sector alone erased.
TEST_F(PlannerTest, LastPageOfTheFlashIsWritten) {
    const Bytes data = counting(0x100);
    FlashFile file(hexFile({{0x1020FF00, data}}));
    for (const uint32_t packet : {256u, 512u, 4095u}) {
        SCOPED_TRACE(packet);
        Rig<RecordingEcu> fresh;
        StreamCapture out;
        EXPECT_TRUE(file.writeCode(sector(0), ~0ull, fresh.ecu, true, packet, 0x100));
        ASSERT_EQ(fresh.ecu.codeWrites.size(), 1u);
        EXPECT_EQ(fresh.ecu.codeWrites[0].start, 0x1020FF00u);
        EXPECT_EQ(fresh.ecu.codeWrites[0].data, data);
        EXPECT_EQ(fresh.ecu.erases, (std::vector<std::pair<uint8_t, uint8_t>>{{77, 77}}));
        EXPECT_EQ(out.error(), "");
    }
}

TEST_F(PlannerTest, ZeroPacketLengthOrPageSizeIsRefusedBeforeAnythingIsSent) {
    FlashFile file(hexFile({{sector(1), counting(0x100)}}));
    const struct {
        std::string label;
        std::function<bool()> call;
        std::string error;
    } table[] = {
        {"writeCode packet", [&] { return file.writeCode(0, ~0ull, ecu, true, 0, 0x100); },
         "  Invalid packet length: 0\n"},
        {"writeCode page", [&] { return file.writeCode(0, ~0ull, ecu, true, 0x100, 0); },
         "  Invalid page size: 0\n"},
        {"writeCodeRange packet",
         [&] { return file.writeCodeRange(sector(1), 0, 0x100, true, ecu, true, 0, 0x100); },
         "  Invalid packet length: 0\n"},
        {"writeDataRange page", [&] { return file.writeDataRange(sector(1), 0x100, true, ecu, 0x100, 0); },
         "  Invalid page size: 0\n"},
    };
    for (const auto& c : table) {
        SCOPED_TRACE(c.label);
        StreamCapture out;
        EXPECT_FALSE(c.call());
        EXPECT_EQ(out.error(), c.error);
    }
    EXPECT_TRUE(ecu.erases.empty());
    EXPECT_TRUE(ecu.codeWrites.empty());
    EXPECT_TRUE(ecu.dataWrites.empty());
}

TEST_F(PlannerTest, WriteCodeRangeSendsOnePacketPerRequestInPagesOf256) {
    const Bytes data = counting(0x3000);
    FlashFile file(hexFile({{sector(0), data}}));
    const struct {
        uint64_t start;
        uint64_t length;
        bool limit;
        bool erase;
        uint64_t written;
    } table[] = {
        {sector(0) + 0x800, 0x400, true, true, 0x400},
        {sector(0) + 0x800, 0x500, true, false, 0x500},
        {sector(0) + 0x800, 0x400, false, true, 0x2800},
        {sector(0) + 0x800, 0x9000, true, true, 0x2800},
    };
    for (const auto& c : table) {
        SCOPED_TRACE(c.length);
        ecu.codeWrites.clear();
        StreamCapture out;
        EXPECT_TRUE(file.writeCodeRange(c.start, 0, c.length, c.limit, ecu, c.erase, 1024, 0x8000));
        ASSERT_EQ(ecu.codeWrites.size(), 1u);
        const CodeCall& call = ecu.codeWrites[0];
        EXPECT_EQ(call.start, c.start);
        EXPECT_EQ(call.length, c.written);
        EXPECT_EQ(call.erase, c.erase);
        EXPECT_EQ(call.pages, 4u);
        EXPECT_EQ(call.pageSize, 256u);
        EXPECT_EQ(call.data[0], data[0x800]);
    }
}

// A packet length that is not a whole number of 256-byte pages: requests of the whole pages it holds;
// the range is rounded to pages, not to requests (the code write's last request carries the pages
// left).
TEST_F(PlannerTest, WriteCodeRangeRoundsToPagesNotToPackets) {
    FlashFile file(hexFile({{sector(0), counting(0x3000)}}));
    StreamCapture out;
    EXPECT_TRUE(file.writeCodeRange(sector(0) + 0x10, 0, 0x3F0, true, ecu, true, 1000, 0x8000));
    ASSERT_EQ(ecu.codeWrites.size(), 1u);
    EXPECT_EQ(ecu.codeWrites[0].start, sector(0));
    EXPECT_EQ(ecu.codeWrites[0].pages, 3u);
    EXPECT_EQ(ecu.codeWrites[0].pageSize, 256u);
    EXPECT_EQ(ecu.codeWrites[0].length, 0x400u);
    // The file's bytes before the range are not written.
    EXPECT_EQ(ecu.codeWrites[0].data, placed(0x10, slice(counting(0x3000), 0x10, 0x3F0), 0x400));
}

// A range over blocks with gaps between them: every block of the range is written, cut at its ends,
// after the erase of the sectors they lie in; nothing between them is erased or written.
TEST_F(PlannerTest, WriteCodeRangeWritesEveryBlockOfTheRange) {
    const Bytes a = counting(0x200, 1);
    const Bytes b = counting(0x10, 2);
    const Bytes c = counting(0x100, 3);
    FlashFile file(hexFile(
        {{sector(0) + 0x800, a}, {sector(0) + 0xA80, b}, {sector(3), c}, {sector(5), counting(0x100, 4)}}));
    for (const bool erase : {true, false}) {
        SCOPED_TRACE(erase);
        Rig<RecordingEcu> fresh;
        StreamCapture out;
        const uint64_t start = sector(0) + 0x900;
        EXPECT_TRUE(
            file.writeCodeRange(start, 0, sector(3) + 0x80 - start, true, fresh.ecu, erase, 512, 0x8000));
        ASSERT_EQ(fresh.ecu.codeWrites.size(), 3u);
        EXPECT_EQ(fresh.ecu.codeWrites[0].start, sector(0) + 0x900);
        EXPECT_EQ(fresh.ecu.codeWrites[0].data, slice(a, 0x100, 0x100));
        EXPECT_EQ(fresh.ecu.codeWrites[1].start, sector(0) + 0xA00);
        EXPECT_EQ(fresh.ecu.codeWrites[1].data, placed(0x80, b, 0x100));
        EXPECT_EQ(fresh.ecu.codeWrites[2].start, sector(3));
        EXPECT_EQ(fresh.ecu.codeWrites[2].data, placed(0, slice(c, 0, 0x80), 0x100));
        for (const CodeCall& call : fresh.ecu.codeWrites) {
            EXPECT_FALSE(call.erase);
            EXPECT_EQ(call.pages, 2u);
            EXPECT_EQ(call.pageSize, 256u);
        }
        using Erases = std::vector<std::pair<uint8_t, uint8_t>>;
        const Erases erased = erase ? Erases{{0, 0}, {3, 3}} : Erases{};
        EXPECT_EQ(fresh.ecu.erases, erased);
    }
}

TEST_F(PlannerTest, WriteCodeRangeOutsideTheFileOrWithLengthZeroWritesNothing) {
    FlashFile file(hexFile({{sector(0), counting(0x100)}}));
    StreamCapture out;
    EXPECT_FALSE(file.writeCodeRange(sector(1), 0, 0x100, true, ecu, true, 0x100, 0x100));
    EXPECT_THAT(out.normal(), HasSubstr("  File does not include data to program. First one in file.\n"));
    EXPECT_FALSE(file.writeCodeRange(sector(0), 0, 0, true, ecu, true, 0x100, 0x100));
    EXPECT_THAT(out.normal(), HasSubstr("  Code length 0: nothing to program.\n"));
    EXPECT_TRUE(ecu.codeWrites.empty());
}

TEST_F(PlannerTest, WriteDataRangeSplitsTheRangeIntoPages) {
    constexpr uint64_t base = 0xFF200000;
    const Bytes data = counting(0x1000);
    FlashFile file(hexFile({{base, data}}));
    const struct {
        uint64_t length;
        bool limit;
        std::vector<std::pair<uint64_t, uint64_t>> pages;
    } table[] = {
        {0x900, true, {{base, 0x800}, {base + 0x800, 0x100}}},
        {0x800, true, {{base, 0x800}}},
        {0x10, false, {{base, 0x800}, {base + 0x800, 0x800}}},
        {0x5000, true, {{base, 0x800}, {base + 0x800, 0x800}}},
    };
    for (const auto& c : table) {
        SCOPED_TRACE(c.length);
        ecu.dataWrites.clear();
        StreamCapture out;
        EXPECT_TRUE(file.writeDataRange(base, c.length, c.limit, ecu, 0x100, 0x800));
        ASSERT_EQ(ecu.dataWrites.size(), c.pages.size());
        for (size_t i = 0; i < c.pages.size(); ++i) {
            const DataCall& call = ecu.dataWrites[i];
            EXPECT_EQ(call.address, c.pages[i].first);
            EXPECT_EQ(call.length, c.pages[i].second);
            EXPECT_EQ(call.pages, 1u);
            EXPECT_EQ(call.pageSize, c.pages[i].second);
            const auto from = data.begin() + static_cast<std::ptrdiff_t>(call.address - base);
            EXPECT_EQ(call.data, Bytes(from, from + static_cast<std::ptrdiff_t>(call.length)));
        }
    }
}

// Every page erases the units it touches: pages that are not whole units would erase part of the
// page before them. Such a range is refused before any page; a range of one page is written.
TEST_F(PlannerTest, WriteDataRangeRefusesPagesThatAreNotWholeUnits) {
    FlashFile file(hexFile({{0xFF200000, counting(0x100)}}));
    StreamCapture out;
    EXPECT_FALSE(file.writeDataRange(0xFF200000, 0x100, true, ecu, 0x100, 0x50));
    EXPECT_EQ(out.error(), "  Invalid page size: 0x50 (not a whole number of 0x40-byte erase units)\n");
    EXPECT_TRUE(ecu.dataWrites.empty());
    EXPECT_TRUE(file.writeDataRange(0xFF200000, 0x50, true, ecu, 0x100, 0x50));
    ASSERT_EQ(ecu.dataWrites.size(), 1u);
    EXPECT_EQ(ecu.dataWrites[0].length, 0x50u);
    // A start inside a unit would have the unit's first bytes erased and not written.
    StreamCapture inside;
    EXPECT_FALSE(file.writeDataRange(0xFF200010, 0x50, true, ecu, 0x100, 0x40));
    EXPECT_EQ(inside.error(), "Incorrect start Addr.: 0xff200010\n");
    EXPECT_EQ(ecu.dataWrites.size(), 1u);
}

// A range over blocks with gaps between them: every block is written, each page cut to the file bytes
// it holds, the units of a page that hold none left out; blocks that share a unit go in one request.
TEST_F(PlannerTest, WriteDataRangeWritesEveryBlockAndLeavesUnitsWithoutData) {
    constexpr uint64_t base = 0xFF200000;
    const Bytes a = counting(0x80, 1);
    const Bytes b = counting(0x80, 2);
    const Bytes c = counting(0x10, 3);
    const Bytes d = counting(0x10, 4);
    const Bytes e = counting(0x20, 5);
    const Bytes f = {9, 9};
    FlashFile file(hexFile({{base, a},
                            {base + 0x100, b},
                            {base + 0x200, c},
                            {base + 0x220, d},
                            {base + 0x830, e},
                            {base + 0x880, f},
                            {base + 0x900, counting(0x10, 6)}}));
    StreamCapture out;
    EXPECT_TRUE(file.writeDataRange(base, 0x900, true, ecu, 0x100, 0x800));
    Bytes cd = placed(0, c, 0x20);
    cd.insert(cd.end(), d.begin(), d.end());
    const std::vector<std::pair<uint64_t, Bytes>> expected = {
        {base, a},         {base + 0x100, b}, {base + 0x200, cd}, {base + 0x800, placed(0x30, e, 0x50)},
        {base + 0x880, f},
    };
    ASSERT_EQ(ecu.dataWrites.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(i);
        const DataCall& call = ecu.dataWrites[i];
        EXPECT_EQ(call.address, expected[i].first);
        EXPECT_EQ(call.data, expected[i].second);
        EXPECT_EQ(call.length, expected[i].second.size());
        EXPECT_EQ(call.pages, 1u);
        EXPECT_EQ(call.pageSize, expected[i].second.size());
    }
}

TEST_F(PlannerTest, WriteDataRangeTriesEveryPageAndFailsWhenOneFails) {
    FlashFile file(hexFile({{0xFF200000, counting(0x1800)}}));
    ecu.failData = {0};
    StreamCapture out;
    EXPECT_FALSE(file.writeDataRange(0xFF200000, 0x1800, true, ecu, 0x100, 0x800));
    EXPECT_EQ(ecu.dataWrites.size(), 3u);
}

TEST_F(PlannerTest, WriteDataRangeFailsWhenNoDataIsWritten) {
    FlashFile file(hexFile({{0xFF200000, counting(0x100)}}));
    StreamCapture out;
    EXPECT_FALSE(file.writeDataRange(0xFF300000, 0x100, true, ecu, 0x100, 0x800));
    EXPECT_EQ(out.warning(), "  File does not include data to program. Second one in file.\n");
    EXPECT_FALSE(file.writeDataRange(0xFF200000, 0, true, ecu, 0x100, 0x800));
    EXPECT_THAT(out.warning(), HasSubstr("  Data length 0: nothing to program.\n"));
    EXPECT_TRUE(ecu.dataWrites.empty());
}

TEST_F(PlannerTest, CodeWriteThroughTheCyt2Bootloader) {
    Rig<VOCyt2Gen> real;
    ASSERT_TRUE(real.attached);
    const Bytes data = counting(0x100);
    Bytes write = {0xBB, 0x70, 0x10, 0x00, 0x80, 0x00, 0x01};
    write.insert(write.end(), data.begin(), data.end());
    real.bus.expect({0xBB, 0x72, 1, 1, 0, 0, 0}, ecutest::Answer::reply({0xFB}))
        .expect(write, ecutest::Answer::reply({0xFB, 0x70}));
    FlashFile file(hexFile({{sector(1), data}}));
    StreamCapture out;
    EXPECT_TRUE(file.writeCode(sector(0), 0x14000000, real.ecu, true, 0x100, 0x100));
    EXPECT_TRUE(real.bus.done());
    EXPECT_EQ(out.error(), "");
}

TEST(SaveDataFile, FormatFollowsTheExtensionOfTheLastComponent) {
    ScratchDir dir;
    std::filesystem::create_directory(dir.path("dir.s19"));
    std::filesystem::create_directory(dir.path("dir.x"));
    const struct {
        std::string name;
        char first;
    } table[] = {
        {"read.s19", 'S'},     {"READ.S19", 'S'},  {"read.S19.hex", ':'}, {"read.hex", ':'},
        {"S19", 'S'},          {"s19", 'S'},       {"read", ':'},         {"read.s28", ':'},
        {"dir.s19/read", ':'}, {"dir.x/s19", 'S'},
    };
    for (const auto& c : table) {
        SCOPED_TRACE(c.name);
        StreamCapture out;
        ASSERT_TRUE(saveDataFile(dir.path(c.name), counting(0x40), 0x1000));
        const std::string text = dir.readText(c.name);
        ASSERT_FALSE(text.empty());
        EXPECT_EQ(text[0], c.first);
    }
}

TEST(SaveDataFile, WrittenFileReadsBackAsTheSameBytesAtTheBaseAddress) {
    ScratchDir dir;
    const Bytes data = counting(0x1234, 0x55);
    for (const std::string name : {"back.hex", "back.s19"}) {
        SCOPED_TRACE(name);
        StreamCapture out;
        ASSERT_TRUE(saveDataFile(dir.path(name), data, 0xFF20F000));
        FlashFile file;
        std::vector<uint8_t> bytes;
        uint64_t start = 0, length = 0;
        ASSERT_TRUE(file.readFromFile(dir.path(name), bytes, start, length));
        EXPECT_EQ(start, 0xFF20F000u);
        EXPECT_EQ(bytes, data);
    }
}

TEST(SaveDataFile, ReportsWhenTheFileIsNotWritten) {
    ScratchDir dir;
    for (const uint32_t format : {0u, 1u}) {
        SCOPED_TRACE(format);
        StreamCapture out;
        EXPECT_FALSE(writeDataFile(dir.path("no/such/dir.hex"), format, counting(0x10), 0));
        EXPECT_THAT(out.normal(), HasSubstr("Could not open file"));
        // Data past the 32-bit address range is refused by the writers.
        EXPECT_FALSE(writeDataFile(dir.path("high.hex"), format, counting(0x200), 0xFFFFFF00));
        EXPECT_TRUE(writeDataFile(dir.path("top.hex"), format, counting(0x100), 0xFFFFFF00));
    }
}

// With allocations of the data's size failing, the writer cannot hold the image: the step fails with
// the not-enough-memory line and the old read-back file stays as it was. The same for the write
// buffer of 1 MiB.
TEST(SaveDataFile, DataTheWriterCannotHoldFailsTheStepAndLeavesTheOldFile) {
    ScratchDir dir;
    const Bytes data = counting(4 << 20);
    for (const std::size_t refused : {std::size_t{4} << 20, std::size_t{1} << 20}) {
        for (const std::string name : {"back.hex", "back.s19"}) {
            SCOPED_TRACE(name + " refusing from " + std::to_string(refused));
            const std::string old = ":0400000001020304F2\n:00000001FF\n";
            dir.writeText(name, old);
            StreamCapture out;
            testing_support::CoutCapture library;
            bool saved = true;
            {
                const refused_allocations::RefuseFrom refuse(refused);
                saved = saveDataFile(dir.path(name), data, 0x10000000);
            }
            EXPECT_FALSE(saved);
            EXPECT_EQ(out.normal(), "  Not enough memory for the file data\n");
            EXPECT_EQ(dir.readText(name), old);
            EXPECT_EQ(dir.entries(), std::vector<std::string>{name});
            std::filesystem::remove(dir.path(name));
        }
    }
}

}  // namespace
}  // namespace apptest
