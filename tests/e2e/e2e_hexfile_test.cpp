// Input files as editors and other tools leave them, flashed into a programmed RH850 through voflash:
// byte-order marks, comment, indented and blank lines and a DOS end-of-file byte around and between
// the records change nothing of what lands in flash. A record that lost its start character refuses
// the file: nothing is erased or written, the step fails, and the reset after it is still answered.
// The whole memory is compared after each run.

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/SimRig.h"

namespace {

using e2e::Block;
using e2e::Bytes;
using e2e::describe;
using e2e::expectBlocksWritten;
using e2e::expectMemoryLeft;
using e2e::RunResult;
using e2e::SimRig;

bool has(const RunResult& r, const std::string& text) {
    return r.out.find(text) != std::string::npos;
}

struct Format {
    const char* name;
    bool srecord;
};

const Format kFormats[] = {{"hex", false}, {"s19", true}};

std::string recordsOf(const std::vector<Block>& blocks, bool srecord) {
    return srecord ? e2e::srecordText(blocks) : e2e::intelHexText(blocks);
}

// The record lines laid out as editors and tools leave them: two byte-order marks and a comment line
// first, indented records (blanks and a tab), a lower-case 's' on S-records, comment and blank lines
// between, a comment line, a DOS end-of-file byte and a line feed after the last record; CRLF line
// ends.
std::string asEditorsLeaveThem(const std::string& records) {
    std::string text = "\xEF\xBB\xBF\xEF\xBB\xBF; made by hand\r\n";
    std::istringstream lines(records);
    int i = 0;
    for (std::string line; std::getline(lines, line); ++i) {
        if (i % 3 == 1) {
            line = " \t" + line;
        } else if (i % 4 == 2 && line[0] == 'S') {
            line[0] = 's';
        }
        text += line + "\r\n";
        if (i % 5 == 4) {
            text += "\r\n# between the records\r\n";
        }
    }
    return text + "; end of file\r\n\x1A\n";
}

// Blocks that end near a sector's end, near the end of the flash (0x400000), with gaps between them.
const std::vector<Block> kBlocks = {
    {0x1F00, e2e::patternBytes(0xF0, 61)},
    {0x9000, e2e::patternBytes(0x1234, 62)},
    {0x3FF800, e2e::patternBytes(0x7F0, 63)},
};

TEST(HexFileShapes, RecordsAmongOtherLinesLandAsTheyAreAtEveryPacketLength) {
    for (const Format& f : kFormats) {
        for (const uint64_t packet : {256u, 1024u}) {
            SCOPED_TRACE(std::string(f.name) + " at --pktlen " + std::to_string(packet));
            SimRig rig("RH850", e2e::kRh850Memory);
            rig.programAll();
            ASSERT_TRUE(rig.start()) << rig.sim->output();
            const std::string file = rig.env.write(std::string("code.") + f.name,
                                                   asEditorsLeaveThem(recordsOf(kBlocks, f.srecord)));
            const RunResult r = rig.run({"--pktlen", std::to_string(packet), "--writeCode", file}, {"-n"});
            EXPECT_EQ(r.exitCode, 0) << describe(r);
            EXPECT_TRUE(has(r, "ECU is programmed successfully (OK)")) << describe(r);
            EXPECT_FALSE(has(r, "line: ")) << describe(r);
            expectBlocksWritten(rig, kBlocks);
        }
    }
}

TEST(HexFileShapes, ARecordWithoutItsStartCharacterRefusesTheFile) {
    for (const Format& f : kFormats) {
        SCOPED_TRACE(f.name);
        SimRig rig("RH850", e2e::kRh850Memory);
        rig.programAll();
        ASSERT_TRUE(rig.start()) << rig.sim->output();
        // The second record line (the first data record) loses its first character.
        std::string records = recordsOf(kBlocks, f.srecord);
        const std::size_t second = records.find('\n') + 1;
        const std::string damaged = records.substr(second + 1, records.find('\n', second) - second - 1);
        records.erase(second, 1);
        const std::string file = rig.env.write(std::string("code.") + f.name, asEditorsLeaveThem(records));
        const RunResult r = rig.run({"--writeCode", file, "--ecuReset"}, {"-n"});
        EXPECT_EQ(r.exitCode, 0) << describe(r);
        // The line is shown with its indent, the tab escaped.
        EXPECT_TRUE(has(r, " line:  \\x09" + damaged + " did not match parsing pattern.")) << describe(r);
        EXPECT_TRUE(has(r, "No Data found!")) << describe(r);
        EXPECT_TRUE(has(r, "ECU is not programmed successfully (KO)")) << describe(r);
        EXPECT_TRUE(has(r, "---> ECU is in application mode now (OK)")) << describe(r);
        expectMemoryLeft(rig);
    }
}

}  // namespace
