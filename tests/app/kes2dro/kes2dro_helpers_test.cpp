// The file, command-file and channel helpers of the KES2 and DRO programs.

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>

#include "app/kes2dro/Kes2DroHelpers.h"
#include "comm/ComParams.h"
#include "comm/ComVXLapiCAN.h"
#include "ecu/VODroGen.h"
#include "tests/app/AppTestSupport.h"
#include "tests/app/kes2dro/Kes2DroTestSupport.h"
#include "tests/ecu/EcuTestSupport.h"
#include "tests/support/shared_names.h"

namespace kes2dro_test {
namespace {

using apptest::FileRun;
using apptest::ScratchDir;
using apptest::writeHexFile;
using Buffer::MemoryBufferElement;
using Bytes = std::vector<uint8_t>;
using ecutest::Answer;
using ecutest::StreamCapture;
using testing_support::CoutCapture;

TEST(LoadHexFile, ShowsTheNamesTailWhileParsingAndWipesItAfterwards) {
    ScratchDir dir;
    // The directory part makes the name longer than 34 characters.
    const std::string file = writeHexFile(dir, "a-name-of-twenty-two.hex", {{0, pattern(16)}});
    ASSERT_GT(file.size(), 34u);
    std::vector<uint8_t> image;
    uint64_t start = 0;
    const uint64_t length = 0;
    StreamCapture out;
    ASSERT_TRUE(loadHexFile(file, &image, &start, &length));
    EXPECT_EQ(out.normal(), "...Parsing: " + file.substr(file.size() - 34) + std::string(49, ' '));
    EXPECT_EQ(image, pattern(16));
}

TEST(LoadHexFile, FileErrorFollowsTheNameAndFails) {
    std::vector<uint8_t> image = {1, 2};
    uint64_t start = 0;
    const uint64_t length = 0;
    StreamCapture out;
    EXPECT_FALSE(loadHexFile("no/such.hex", &image, &start, &length));
    EXPECT_EQ(out.normal(),
              "...Parsing: no/such.hexCould not open file no/such.hex: No such file or directory\n");
}

TEST(LoadHexFile, RangeAndWholeFileImages) {
    ScratchDir dir;
    struct Case {
        std::string label;
        std::vector<FileRun> blocks;
        uint64_t start, length;
        size_t size;
        uint64_t startAfter;
        bool refused;
        // Up to and including the file's last byte.
        uint64_t dataLength;
        // The file's bytes outside the range.
        uint64_t leftOutCount, leftOutFirst, leftOutLast;
    };
    const Case cases[] = {
        // Bytes past the file's end take the fill value 0.
        {"range longer than the file",
         {{0, pattern(0x10000)}},
         0,
         0x80000,
         0x80000,
         0,
         false,
         0x10000,
         0,
         0,
         0},
        // The file's last bytes count although they equal the fill.
        {"gap inside the range",
         {{0, pattern(0x100)}, {0x3000, Bytes(0x10, 0)}},
         0,
         0x80000,
         0x80000,
         0,
         false,
         0x3010,
         0,
         0,
         0},
        // A file of its end record alone: no byte at all.
        {"file without data", {}, 0, 0x80000, 0x80000, 0, false, 0, 0, 0, 0},
        // The importer refuses a range that begins below the file; nothing counts as left out.
        {"file begins above the range", {{0x8000, pattern(0x8000)}}, 0, 0x80000, 0, 0, true, 0, 0, 0, 0},
        {"whole file from its lowest address",
         {{0x70000, pattern(0x300)}},
         0,
         0,
         0x300,
         0x70000,
         false,
         0x300,
         0,
         0,
         0},
        {"file past the range's end",
         {{0, pattern(0x100)}, {0x7FFF0, pattern(0x20)}, {0x90000, pattern(0x10)}},
         0,
         0x80000,
         0x80000,
         0,
         false,
         0x80000,
         0x20,
         0x80000,
         0x9000F},
        {"file on both sides of the range",
         {{0x100, pattern(0x10)}, {0x200, pattern(0x10)}, {0x2F8, pattern(0x10)}},
         0x200,
         0x100,
         0x100,
         0x200,
         false,
         0x100,
         0x18,
         0x100,
         0x307},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const std::string file = writeHexFile(dir, "f.hex", c.blocks);
        std::vector<uint8_t> image;
        uint64_t start = c.start;
        CoutCapture cout;
        StreamCapture out;
        ImageCoverage coverage;
        coverage.dataLength = 99;
        EXPECT_TRUE(loadHexFile(file, &image, &start, &c.length, &coverage));
        EXPECT_EQ(image.size(), c.size);
        EXPECT_EQ(start, c.startAfter);
        EXPECT_EQ(coverage.dataLength, c.dataLength);
        EXPECT_EQ(coverage.leftOut.count, c.leftOutCount);
        if (c.leftOutCount != 0) {
            EXPECT_EQ(coverage.leftOut.first, c.leftOutFirst);
            EXPECT_EQ(coverage.leftOut.last, c.leftOutLast);
        }
        EXPECT_EQ(cout.text().empty(), !c.refused) << cout.text();
        // Held exactly where a block of the file lies inside the range, with its byte; fill elsewhere.
        ASSERT_EQ(coverage.held.size(), image.size());
        for (size_t i = 0; i < image.size(); ++i) {
            const uint64_t address = c.startAfter + i;
            const auto block = std::find_if(c.blocks.begin(), c.blocks.end(), [&](const FileRun& b) {
                return b.address <= address && address < b.address + b.bytes.size();
            });
            ASSERT_EQ(coverage.held[i], block != c.blocks.end()) << std::hex << address;
            ASSERT_EQ(image[i], block != c.blocks.end() ? block->bytes[address - block->address] : 0)
                << std::hex << address;
        }
    }
}

TEST(IsCompleteImage, OneAddressAboveTheBootArea) {
    ScratchDir dir;
    struct Case {
        std::string label;
        std::vector<FileRun> blocks;
        bool complete;
    };
    const Case cases[] = {
        {"byte at 0x8001", {{0x8001, {0x55}}}, true},
        {"gap at 0x8001", {{0x8000, {0x55}}, {0x8002, {0x66}}}, false},
        {"file ends below", {{0, pattern(0x8001)}}, false},
        // The importer gives no cells for a range below the file.
        {"file begins above", {{0x9000, {0x55}}}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const std::string file = writeHexFile(dir, "f.hex", c.blocks);
        uint64_t start = 0x8001;
        const uint64_t length = 1;
        CoutCapture cout;
        StreamCapture out;
        EXPECT_EQ(isCompleteImage(file, &start, &length), c.complete);
        EXPECT_EQ(out.normal(), "");
    }
}

TEST(IsCompleteImage, MissingFileIsNotComplete) {
    uint64_t start = 0;
    const uint64_t length = 1;
    StreamCapture out;
    EXPECT_FALSE(isCompleteImage("no/such.hex", &start, &length));
    EXPECT_EQ(out.normal(), "Could not open file no/such.hex: No such file or directory\n");
}

TEST(LoadDataCells, CellsOfTheDataFlashWindow) {
    ScratchDir dir;
    // The importer refuses a window that begins below the file, so the file starts at the window.
    const std::string file = writeHexFile(
        dir, "d.hex", {{0xFE000000, {9}}, {0xFE000010, {1, 2, 3}}, {0xFE007FFF, {4, 5}}, {0xFE009000, {6}}});
    std::vector<MemoryBufferElement> cells;
    uint64_t start = 0xFE000000;
    const uint64_t length = 0x8000;
    StreamCapture out;
    LeftOutBytes leftOut;
    EXPECT_TRUE(loadDataCells(file, &start, &length, &cells, &leftOut));
    // The bytes past the window: 0xFE008000 and 0xFE009000.
    EXPECT_EQ(leftOut.count, 2u);
    EXPECT_EQ(leftOut.first, 0xFE008000u);
    EXPECT_EQ(leftOut.last, 0xFE009000u);
    ASSERT_EQ(cells.size(), 0x8000u);
    EXPECT_EQ(start, 0xFE000000u);
    EXPECT_EQ(std::count_if(cells.begin(), cells.end(), [](const auto& c) { return c.isSet; }), 5);
    EXPECT_TRUE(cells[0x10].isSet && cells[0x12].isSet);
    EXPECT_EQ(cells[0x11].value, 2);

    // A file error leaves the cells as they were.
    EXPECT_FALSE(loadDataCells("no/such.hex", &start, &length, &cells));
    EXPECT_EQ(cells.size(), 0x8000u);
    EXPECT_EQ(out.normal(), "Could not open file no/such.hex: No such file or directory\n");
}

TEST(ReportLeftOut, OneWarningLineOrNothing) {
    StreamCapture out;
    reportLeftOut({}, "the code flash", 0, 0x80000);
    EXPECT_EQ(out.warning(), "");
    reportLeftOut({0x100, 0x80000, 0x800FF}, "the code flash", 0, 0x80000);
    EXPECT_EQ(
        out.warning(),
        "Left out: 0x100 bytes of the file at 0x80000 - 0x800ff, outside the code flash 0x0 - 0x7ffff\n");
    EXPECT_EQ(out.normal() + out.error(), "");
}

TEST(NextSetRun, WalksTheRunsOfSetCells) {
    const MemoryBufferElement unset;
    const std::vector<MemoryBufferElement> cells = {
        unset, MemoryBufferElement(0x11), MemoryBufferElement(0x22), unset, MemoryBufferElement(0x33)};
    uint64_t index = 0;
    std::vector<uint8_t> run = {9};
    nextSetRun(cells, &index, &run);
    EXPECT_EQ(run, (Bytes{0x11, 0x22}));
    EXPECT_EQ(index, 3u);
    nextSetRun(cells, &index, &run);
    EXPECT_EQ(run, Bytes{0x33});
    EXPECT_EQ(index, 5u);
    nextSetRun(cells, &index, &run);
    EXPECT_TRUE(run.empty());
    EXPECT_EQ(index, 5u);
}

using DroRig = ecutest::Rig<VODroGen>;

TEST(RunCommandFile, SendsEachSectionOnceUnderItsLabel) {
    ScratchDir dir;
    const std::string file = dir.writeText("cmd.txt",
                                           "ignored line\n"
                                           "Name:Reset\r\n"
                                           "11 01\r\n"
                                           "\r\n"
                                           "between sections\n"
                                           "Name:Empty\n"
                                           "\n"
                                           "NameX Info\n"
                                           "22  F1\n"
                                           "Name 90 00\n"
                                           "\n"
                                           "Name:Pieces\n"
                                           "0x1F 1ff -1 G1 10,20 123456789 -100000000");
    DroRig rig;
    ASSERT_TRUE(rig.attached);
    rig.bus.expect({0x11, 0x01}, Answer::reply({0x51, 0x01}));
    // The "Name" line inside a section is data: N is no digit, 90 and 00 are.
    rig.bus.expect({0x22, 0xF1, 0x00, 0x90, 0x00}, Answer::negative(0x22, 0x31));
    // A magnitude beyond 32 bits saturates, as a 32-bit strtoul does.
    rig.bus.expect({0x1F, 0xFF, 0xFF, 0x00, 0x10, 0xFF, 0xFF}, Answer::reply({0x5F}));
    StreamCapture out;
    runCommandFile(file, rig.ecu);
    EXPECT_TRUE(rig.bus.done());
    EXPECT_EQ(rig.bus.exchanges().size(), 3u);
    const std::string normal = out.normal();
    EXPECT_NE(normal.find("\nCmd (Len: 2 dec): Reset"), std::string::npos) << normal;
    EXPECT_NE(normal.find("\nCmd (Len: 5 dec):  Info"), std::string::npos) << normal;
    EXPECT_NE(normal.find("\nCmd (Len: 7 dec): Pieces"), std::string::npos) << normal;
    // The empty section is skipped with its label.
    EXPECT_EQ(normal.find("Empty"), std::string::npos) << normal;
    EXPECT_EQ(normal.find("Cmd (Len: 0"), std::string::npos) << normal;
}

TEST(RunCommandFile, LineOfJustNameThrowsBeforeAnythingIsSent) {
    ScratchDir dir;
    const std::string file = dir.writeText("cmd.txt", "Name:First\n11 01\n\nName\n22 01\n");
    DroRig rig;
    StreamCapture out;
    EXPECT_THROW(runCommandFile(file, rig.ecu), std::out_of_range);
    EXPECT_TRUE(rig.bus.exchanges().empty());
}

TEST(RunCommandFile, MissingFileOrDirectoryIsReported) {
    ScratchDir dir;
    for (const std::string& name : {std::string("no/such/cmd.txt"), dir.path("")}) {
        SCOPED_TRACE(name);
        DroRig rig;
        StreamCapture out;
        runCommandFile(name, rig.ecu);
        EXPECT_EQ(out.normal(), "\n.....Command file not found! " + name + "\n");
        EXPECT_TRUE(rig.bus.exchanges().empty());
    }
}

TEST(CreateComParamsForType, VectorRecords) {
    struct Case {
        uint32_t type, port, baud, hwIndex;
        uint32_t hwType, channel;
    };
    const Case cases[] = {
        {3, 2, 250000, 1, 2, 1},
        {4, 1, 500000, 0, 15, 0},
        {5, 1, 500000, 0, 21, 0},
        {6, 1, 500000, 0, 43, 0},
        {7, 1, 500000, 0, 55, 0},
        {8, 1, 500000, 0, 57, 0},
        {9, 4, 500000, 2, 59, 3},
        {10, 1, 500000, 0, 63, 0},
        {11, 1, 500000, 0, 45, 0},
        // The default port 0 gives a channel no hardware has.
        {6, 0, 500000, 0, 43, 0xFFFFFFFF},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        std::unique_ptr<ComParams> params(
            createComParamsForType(static_cast<enumInterfaceType>(c.type), c.port, c.baud, c.hwIndex));
        apptest::expectCanRecord(params.get(), {c.hwType, c.hwIndex, c.channel, c.baud, 4096});
    }
}

TEST(CreateComParamsForType, SerialRecords) {
    for (const uint32_t type : {1u, 2u}) {
        SCOPED_TRACE(type);
        std::unique_ptr<ComParams> params(
            createComParamsForType(static_cast<enumInterfaceType>(type), 3, 115200, 0));
        apptest::expectSerialRecord(params.get(), 3, 115200);
    }
}

TEST(CreateComParamsForType, NoRecordOrChannelOutsideOneToEleven) {
    for (const uint32_t type : {0u, 12u, 20u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(type);
        const auto interfaceType = static_cast<enumInterfaceType>(type);
        EXPECT_EQ(createComParamsForType(interfaceType, 1, 500000, 0), nullptr);
        ComParamsVXLapiCAN params(4096, 43, 0, 0, 500000);
        EXPECT_EQ(createCommunicationForType(interfaceType, 0x643, &params), nullptr);
    }
}

TEST(CreateCommunicationForType, VectorChannelCopiesTheRecord) {
    std::unique_ptr<ComParams> params(
        createComParamsForType(static_cast<enumInterfaceType>(6), 1, 500000, 0));
    std::unique_ptr<Communication> channel(
        createCommunicationForType(static_cast<enumInterfaceType>(6), 0x643, params.get()));
    ASSERT_NE(dynamic_cast<ComVXLapiCAN*>(channel.get()), nullptr);
    const auto* copy = dynamic_cast<const ComParamsVXLapiCAN*>(channel->getComParams());
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, params.get());
    EXPECT_EQ(copy->hwType, 43u);
    // A record of the wrong kind gives no channel.
    EXPECT_EQ(createCommunicationForType(static_cast<enumInterfaceType>(1), 0, params.get()), nullptr);
    EXPECT_EQ(createCommunicationForType(static_cast<enumInterfaceType>(6), 0x643, nullptr), nullptr);
}

}  // namespace
}  // namespace kes2dro_test
