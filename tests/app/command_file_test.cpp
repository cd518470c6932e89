// Command files: the file format as loaded, and the requests sent through the ECU's raw-command
// service.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/CommandFile.h"
#include "console/console.h"
#include "tests/app/AppTestSupport.h"

namespace apptest {
namespace {

using ecutest::Answer;
using ecutest::Rig;
using ecutest::StreamCapture;
using ::testing::HasSubstr;

std::vector<CommandFileEntry> loaded(const std::string& text) {
    ScratchDir dir;
    CommandFile file(dir.writeText("cmd.txt", text));
    return file.entries();
}

CommandFileEntry entry(std::string label, Bytes request) {
    return {std::move(label), {std::move(request)}};
}

TEST(CommandFileLoad, SectionsOfNameLineAndDataLinesUpToAnEmptyLine) {
    const struct {
        std::string label;
        std::string text;
        std::vector<CommandFileEntry> entries;
    } table[] = {
        {"two sections",
         "Name:Erase\nBB 72 00 00 00 00 00\n\nName:Reset\nBB FE\n",
         {entry("Erase", {0xBB, 0x72, 0, 0, 0, 0, 0}), entry("Reset", {0xBB, 0xFE})}},
        {"CRLF line ends, the empty line still ends the section",
         "Name:Erase\r\nBB 72\r\n\r\nName:Reset\r\nBB FE\r\n",
         {entry("Erase", {0xBB, 0x72}), entry("Reset", {0xBB, 0xFE})}},
        {"data over two lines is one request",
         "Name:Erase\nBB 72\n00 00\n",
         {entry("Erase", {0xBB, 0x72, 0, 0})}},
        {"last section without a closing empty line", "Name:A\nBB FE", {entry("A", {0xBB, 0xFE})}},
        {"Name alone has an empty label", "Name\nBB FE\n", {entry("", {0xBB, 0xFE})}},
        {"Name anywhere in the line", "# Names: x\n01\n", {entry("es: x", {0x01})}},
        {"Name followed by an empty line has an empty request",
         "Name:Empty\n\nName:B\n02\n",
         {entry("Empty", {}), entry("B", {0x02})}},
        {"blank line does not end a section; a Name line in a section is data",
         "Name:A\n01\n   \nName:B 02\n\n",
         {entry("A", {0x01, 0x00, 0x02})}},
        {"lines outside sections are ignored",
         "BB 01\nName:A\n03\n\nBB 02\n\nName:B\n04\n",
         {entry("A", {0x03}), entry("B", {0x04})}},
        {"no section", "BB FE\n", {}},
    };
    for (const auto& c : table) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(loaded(c.text), c.entries);
    }
}

TEST(CommandFileLoad, PiecesReadAs32BitHexadecimalNumbersKeepTheirLowByte) {
    const struct {
        std::string piece;
        uint8_t byte;
    } table[] = {
        {"0x1F", 0x1F},      {"1ff", 0xFF},      {"-1", 0xFF},        {"G1", 0x00},   {"10,20", 0x10},
        {"123456789", 0xFF}, {"FFFFFFFF", 0xFF}, {"100000000", 0xFF}, {"-10", 0xF0},  {"+7f", 0x7F},
        {"0X2a", 0x2A},      {"--1", 0x00},      {"-", 0x00},         {"\t3c", 0x3C}, {"x12", 0x00},
    };
    for (const auto& c : table) {
        SCOPED_TRACE(c.piece);
        EXPECT_EQ(loaded("Name:P\n" + c.piece + "\n"), std::vector{entry("P", {c.byte})});
    }
    // Several blanks, leading and trailing ones give no pieces.
    EXPECT_EQ(loaded("Name:P\n  01   02 \n"), std::vector{entry("P", {0x01, 0x02})});
}

TEST(CommandFileLoad, SecondLoadReplacesAndAMissingFileKeepsTheList) {
    ScratchDir dir;
    CommandFile file(dir.writeText("a.txt", "Name:A\n01\n"));
    file.load(dir.writeText("b.txt", "Name:B\n02\n"));
    EXPECT_EQ(file.entries(), std::vector{entry("B", {0x02})});
    StreamCapture out;
    file.load(dir.path("missing.txt"));
    file.load(dir.path(""));
    EXPECT_EQ(out.normal(), "\n.....Command file not found! " + dir.path("missing.txt") +
                                "\n\n.....Command file not found! " + dir.path("") + "\n");
    EXPECT_EQ(file.entries(), std::vector{entry("B", {0x02})});
}

TEST(CommandFileExecute, SendsEveryRequestOnceWithItsLine) {
    ScratchDir dir;
    const std::string name =
        dir.writeText("cmd.txt", "Name:Erase\nBB 72 00 00 00 00 00\n\nName:Reset\nBB FE\n");
    Rig<VOKesGen> rig;
    ASSERT_TRUE(rig.attached);
    rig.bus.expect({0xBB, 0x72, 0, 0, 0, 0, 0}, Answer::reply({0xFB, 0x72}))
        .expect({0xBB, 0xFE}, Answer::reply({0xFB}));
    StreamCapture out;
    CommandFile file(name, rig.ecu);
    EXPECT_TRUE(rig.bus.done());
    EXPECT_EQ(rig.bus.exchanges().size(), 2u);
    EXPECT_EQ(out.normal(),
              "\nCmd (Len: 7 dec): Erase... succeeded.\n\nCmd (Len: 2 dec): Reset... succeeded.\n");
}

TEST(CommandFileExecute, AFailedRequestDoesNotStopTheRestAndEmptyRequestsAreSkipped) {
    ScratchDir dir;
    CommandFile file(dir.writeText("cmd.txt", "Name:A\n01\n\nName:Empty\n\nName:B\n12 34\n"));
    Rig<RecordingKesEcu> rig;
    rig.ecu.failCommand = {0};
    StreamCapture out;
    // Numbers are written in decimal whatever the stream was left at.
    normalOut << std::hex;
    file.execute(rig.ecu);
    EXPECT_EQ(rig.ecu.commands, (std::vector<Bytes>{{0x01}, {0x12, 0x34}}));
    EXPECT_EQ(out.normal(), "\nCmd (Len: 1 dec): A\nCmd (Len: 2 dec): B");
}

}  // namespace
}  // namespace apptest
