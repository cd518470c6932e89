// Input and output files as users hand them to voflash, flashed into programmed ECUs of the simulator
// and compared with the whole saved memory: record files that other tools and editors pad, mark or end
// otherwise are flashed as their records, never as their own text; a control byte among the records
// refuses the file by name and leaves the ECU as it was; a file from a pipe is read once; a file read
// as raw binary is named before anything is erased; the span of a KES2 or DRO file is checked before
// an image of it is built; a file that cannot be opened or written is named with the reason, and a read
// written in place on a full file system leaves the old file as it was.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tests/e2e/SimRig.h"
#include "tests/hexfile/file_system_fixtures.h"
#include "tests/support/text_feed.h"

namespace {

using e2e::Block;
using e2e::Bytes;
using e2e::describe;
using e2e::expectBlocksWritten;
using e2e::expectMemoryLeft;
using e2e::RunResult;
using e2e::SimRig;
using testing_support::Feed;

bool has(const RunResult& r, const std::string& text) {
    return r.out.find(text) != std::string::npos;
}

const std::vector<std::string> kCan = {"-n"};
const std::vector<std::string> kLin = {"-n", "--lin", "--baud", "19200", "--txId", "3C", "--rxId", "3D"};
const std::vector<std::string> kPacketLengths = {"256", "1024"};

// Two code blocks of the RH850, in two erase blocks with a gap between them.
const std::vector<Block> kBlocks = {{0x100, e2e::patternBytes(0x1F0, 11)},
                                    {0x4000, e2e::patternBytes(0x123, 12)}};

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

// The text as a PowerShell redirect writes it: UTF-16, little endian, its byte-order mark first, CRLF.
std::string powerShellRedirect(const std::string& text) {
    std::string bytes = "\xFF\xFE";
    for (const char c : replaced(text, "\n", "\r\n")) {
        bytes += std::string{c, '\0'};
    }
    return bytes;
}

struct ShapeCase {
    const char* name;
    std::string text;
};

void PrintTo(const ShapeCase& c, std::ostream* out) {
    *out << c.name;
}

class RecordFileShapes : public ::testing::TestWithParam<ShapeCase> {};

// Padding after the records, a UTF-16 file, blanks after the records, carriage returns alone: the
// records land as they are, at every packet length, and nothing else does.
TEST_P(RecordFileShapes, AreFlashedAsTheirRecords) {
    for (const std::string& packet : kPacketLengths) {
        SCOPED_TRACE("--pktlen " + packet);
        SimRig rig("RH850", e2e::kRh850Memory);
        rig.programAll();
        ASSERT_TRUE(rig.start()) << rig.sim->output();
        const std::string file = rig.env.write("code", GetParam().text);
        const RunResult r = rig.run({"--pktlen", packet, "--writeCode", file}, kCan);
        EXPECT_EQ(r.exitCode, 0) << describe(r);
        EXPECT_TRUE(has(r, "ECU is programmed successfully (OK)")) << describe(r);
        EXPECT_FALSE(has(r, "read as raw binary")) << describe(r);
        expectBlocksWritten(rig, kBlocks);
    }
}

const std::string kIntelHex = e2e::intelHexText(kBlocks);
const std::string kSRecords = e2e::srecordText(kBlocks);

INSTANTIATE_TEST_SUITE_P(
    Cases, RecordFileShapes,
    ::testing::Values(ShapeCase{"IntelHexPaddedWithNuls", kIntelHex + std::string(64, '\0')},
                      ShapeCase{"SRecordsPaddedWithErasedFlash", kSRecords + std::string(200, '\xFF')},
                      ShapeCase{"IntelHexFromAPowerShellRedirect", powerShellRedirect(kIntelHex)},
                      ShapeCase{"IntelHexWithBlanksAfterTheRecords", replaced(kIntelHex, "\n", " \t\n")},
                      ShapeCase{"SRecordsWithCarriageReturnLineEnds", replaced(kSRecords, "\n", "\r")}),
    [](const auto& info) { return std::string(info.param.name); });

// A control byte between the records, or an escape sequence before them: the file is refused with its
// line named, nothing is erased or written, and the reset after the step still gets its answer, on CAN
// and on LIN.
TEST(RecordFiles, AControlByteAmongTheRecordsRefusesTheFile) {
    const std::size_t second = kIntelHex.find('\n', kIntelHex.find('\n') + 1) + 1;
    const struct {
        const char* name;
        std::string text;
        std::string line;
    } cases[] = {
        {"end of transmission", kIntelHex.substr(0, second) + "\x04\n" + kIntelHex.substr(second), "\\x04"},
        {"escape sequence", "\x1B[0m" + kIntelHex, "\\x1B[0m" + kIntelHex.substr(0, kIntelHex.find('\n'))},
    };
    for (const auto& c : cases) {
        for (const bool lin : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (lin ? " on LIN" : " on CAN"));
            SimRig rig("RH850", e2e::kRh850Memory);
            rig.programAll();
            ASSERT_TRUE(rig.start(lin ? std::vector<std::string>{"--lin"} : std::vector<std::string>{}))
                << rig.sim->output();
            const std::string file = rig.env.write("code.hex", c.text);
            const RunResult r = rig.run({"--writeCode", file, "--ecuReset"}, lin ? kLin : kCan);
            EXPECT_TRUE(has(r, "file: " + file + " line: " + c.line + " did not match parsing pattern."))
                << describe(r);
            EXPECT_TRUE(has(r, "No Data found!")) << describe(r);
            EXPECT_TRUE(has(r, "ECU is not programmed successfully (KO)")) << describe(r);
            EXPECT_TRUE(has(r, "---> ECU is in application mode now (OK)")) << describe(r);
            expectMemoryLeft(rig);
        }
    }
}

// A file that can be read only once, a FIFO as --writeCode <(cat code.hex) gives it or the standard
// input from a pipe (cat code.hex | voflash --writeCode /dev/stdin): the code lands as a file's would,
// at every packet length.
TEST(Pipes, AStandardProgramFlashesAFileFromAPipe) {
    for (const bool standardInput : {false, true}) {
        for (const std::string& packet : kPacketLengths) {
            SCOPED_TRACE((standardInput ? "/dev/stdin at --pktlen " : "FIFO at --pktlen ") + packet);
            SimRig rig("RH850", e2e::kRh850Memory);
            rig.programAll();
            ASSERT_TRUE(rig.start()) << rig.sim->output();
            const Feed feed(standardInput ? "" : rig.env.path("fifo"), kIntelHex);
            ASSERT_FALSE(feed.path().empty()) << std::strerror(errno);
            RunResult r;
            if (standardInput) {
                const std::vector<std::string> argv = {
                    e2e::voflashPath(), "--ecuClass", "RH850",       "-n",
                    "--pktlen",         packet,       "--writeCode", "/dev/stdin"};
                r.exitCode = e2e::runProcess(argv, rig.env.environment(), feed.path(), rig.env.path("out"),
                                             rig.env.path("err"), 120000);
                r.out = rig.env.read("out").value_or("");
            } else {
                r = rig.run({"--pktlen", packet, "--writeCode", feed.path()}, kCan);
            }
            EXPECT_EQ(r.exitCode, 0) << describe(r);
            EXPECT_TRUE(has(r, "ECU is programmed successfully (OK)")) << describe(r);
            expectBlocksWritten(rig, kBlocks);
        }
    }
}

// The KES2 code write takes its image and its check of address 0x8001 from the one reading, the DRO
// write its span and image.
TEST(Pipes, KesAndDroProgramsFlashAFileFromAPipe) {
    const std::vector<Block> kes2 = {{0, e2e::patternBytes(0x8100, 21)}};
    const std::vector<Block> dro = {{0x74000, e2e::patternBytes(0x300, 22)}};
    const struct {
        const char* ecuClass;
        e2e::MemoryLayout layout;
        std::vector<Block> blocks;
        uint64_t eraseStart;
        uint64_t eraseLength;
    } cases[] = {
        {"KES2", e2e::kKes2Memory, kes2, 0x8000, 0x78000},
        {"DRO", e2e::kDroMemory, dro, 0x74000, 0x4000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ecuClass);
        SimRig rig(c.ecuClass, c.layout);
        rig.programAll();
        ASSERT_TRUE(rig.start()) << rig.sim->output();
        const Feed feed(rig.env.path("fifo"), e2e::intelHexText(c.blocks));
        ASSERT_FALSE(feed.path().empty()) << std::strerror(errno);
        const RunResult r = rig.run({"--wP", feed.path()});
        EXPECT_EQ(r.exitCode, 3) << describe(r);
        EXPECT_FALSE(has(r, "Expected 512k HexFile!")) << describe(r);
        // Without --Bmg the KES2 boot area and the DRO boot block are not written.
        rig.eraseCode(c.eraseStart, c.eraseLength);
        const Block& block = c.blocks.front();
        const uint64_t skip = c.eraseStart > block.address ? c.eraseStart - block.address : 0;
        rig.setCode(block.address + skip, e2e::slice(block.bytes, skip, block.bytes.size() - skip));
        expectMemoryLeft(rig);
    }
}

// A text or JSON file given as code or data is flashed byte for byte from 0, as the file's raw
// bytes; the line that says so comes before anything is erased.
TEST(RawBinary, AFileReadAsRawBinaryIsNamedBeforeAnythingIsErased) {
    const std::string text = "# voflash\n\nPrograms the flash memory of automotive ECUs.\n";
    const Bytes bytes(text.begin(), text.end());
    for (const std::string& packet : kPacketLengths) {
        SCOPED_TRACE("--pktlen " + packet);
        SimRig rig("RH850", e2e::kRh850Memory);
        rig.programAll();
        ASSERT_TRUE(rig.start()) << rig.sim->output();
        const std::string file = rig.env.write("README.md", text);
        const RunResult r = rig.run({"--pktlen", packet, "--writeCode", file}, kCan);
        const std::string notice =
            "    " + file + " read as raw binary: " + std::to_string(text.size()) + " bytes from 0x0\n";
        ASSERT_TRUE(has(r, notice)) << describe(r);
        EXPECT_LT(r.out.find(notice), r.out.find("Erase: ")) << describe(r);
        EXPECT_TRUE(has(r, "ECU is programmed successfully (OK)")) << describe(r);
        expectBlocksWritten(rig, {{0, bytes}});
    }

    // 64 bytes, two whole data-flash units.
    std::string json = "{\"ecu\": \"DRO\", \"flash\": [1, 2, 3]}";
    json += std::string(63 - json.size(), ' ') + "\n";
    SimRig rig("DRO", e2e::kDroMemory);
    rig.programAll();
    ASSERT_TRUE(rig.start()) << rig.sim->output();
    const std::string file = rig.env.write("settings.json", json);
    const RunResult r = rig.run({"--wD", file});
    const std::string notice =
        file + " read as raw binary: " + std::to_string(json.size()) + " bytes from 0x0\n";
    ASSERT_TRUE(has(r, notice)) << describe(r);
    EXPECT_EQ(r.out.find('[', r.out.find(notice)), r.out.find('[')) << describe(r);
    rig.setData(0, Bytes(json.begin(), json.end()));
    expectMemoryLeft(rig);
}

// A file that cannot be opened is named with the reason, on a line of its own; the step fails and the
// reset after it is answered.
TEST(FileErrors, AnInputFileThatCannotBeOpenedIsNamedWithTheReason) {
    SimRig rig("RH850", e2e::kRh850Memory);
    rig.programAll();
    ASSERT_TRUE(rig.start()) << rig.sim->output();
    const std::string file = rig.env.path("missing.hex");
    const RunResult r = rig.run({"--writeCode", file, "--ecuReset"}, kCan);
    EXPECT_TRUE(has(r, "\nCould not open file " + file + ": No such file or directory\n  No Data found!\n"))
        << describe(r);
    EXPECT_TRUE(has(r, "ECU is not programmed successfully (KO)")) << describe(r);
    EXPECT_TRUE(has(r, "---> ECU is in application mode now (OK)")) << describe(r);
    expectMemoryLeft(rig);
}

struct ReadBackCase {
    const char* name;
    std::string file;  // %D stands for the scratch folder
    std::string reason;
};

void PrintTo(const ReadBackCase& c, std::ostream* out) {
    *out << c.name;
}

class UnsavedReadBack : public ::testing::TestWithParam<ReadBackCase> {};

// The KES2 data read into a file that cannot be written: the writer's reason and one line that names
// the file whose data was not saved; the ECU is as it was, and the next read is saved.
TEST_P(UnsavedReadBack, IsNamed) {
    SimRig rig("KES2", e2e::kKes2Memory);
    rig.programAll();
    ASSERT_TRUE(rig.start()) << rig.sim->output();
    const std::string file = replaced(GetParam().file, "%D", rig.env.dir());
    const RunResult r = rig.run({"--rD", file});
    EXPECT_EQ(r.exitCode, 3) << describe(r);
    EXPECT_TRUE(has(r, "Could not open file " + file + ": " + GetParam().reason + "\n")) << describe(r);
    EXPECT_TRUE(has(r, "The data read from the ECU was not saved in " + file + "\n")) << describe(r);
    const RunResult again = rig.run({"--rD", rig.env.path("d.hex")});
    EXPECT_FALSE(has(again, "not saved")) << describe(again);
    rig.expectFileHolds("d.hex", 0xFE000000, rig.data(0, 0x8000));
    expectMemoryLeft(rig);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UnsavedReadBack,
    ::testing::Values(ReadBackCase{"MissingFolder", "%D/nodir/d.hex", "No such file or directory"},
                      ReadBackCase{"Folder", "%D", "Is a directory"},
                      ReadBackCase{"FullDevice", "/dev/full", "No space left on device"}),
    [](const auto& info) { return std::string(info.param.name); });

struct InPlaceCase {
    const char* name;
    // The run as the user nobody, the file nobody's in a folder of nobody's but of root's group; else
    // as root, the file with a second hard link.
    bool asNobody;
};

void PrintTo(const InPlaceCase& c, std::ostream* out) {
    *out << c.name;
}

class ReadBackInPlace : public ::testing::TestWithParam<InPlaceCase> {};

// A code read into a file that must be written in place, on a small file system that is nearly full:
// without room for the new text the file is left as it was (under both names), the step fails and the
// file and the reason are named; the reset after it is answered. With room the file holds the read.
TEST_P(ReadBackInPlace, WithoutRoomTheOldFileIsLeftAsItWas) {
    const bool asNobody = GetParam().asNobody;
    const std::optional<testing_support::OtherUser> nobody = testing_support::nobodyUser();
    if (asNobody && !nobody) {
        GTEST_SKIP() << "needs the superuser, to run a process as another user";
    }
    hexfile_test::PrivateMounts mounts;
    if (const std::string why = mounts.unavailable(); !why.empty()) {
        GTEST_SKIP() << why;
    }
    SimRig rig("RH850", e2e::kRh850Memory);
    rig.programAll();
    std::vector<std::string> prefix;
    if (asNobody) {
        // The other user reaches the driver's configuration and the bus: the bus folder and what the
        // simulator makes in it are open to every user.
        ::umask(0);
        ASSERT_EQ(::chmod(rig.env.dir().c_str(), 0755), 0);
        ::mkdir(rig.env.path("bus").c_str(), 0777);
        ASSERT_EQ(::chmod(rig.env.path("bus").c_str(), 0777), 0);
        prefix = {"/usr/bin/setpriv", "--reuid=" + std::to_string(nobody->uid),
                  "--regid=" + std::to_string(nobody->gid), "--clear-groups"};
    }
    ASSERT_TRUE(rig.start()) << rig.sim->output();
    if (asNobody) {
        for (const auto& entry : std::filesystem::recursive_directory_iterator(rig.env.path("bus"))) {
            std::filesystem::permissions(entry.path(), std::filesystem::perms::all);
        }
    }
    const std::string small = rig.env.path("small");
    ASSERT_EQ(::mkdir(small.c_str(), 0755), 0);
    ASSERT_TRUE(mounts.smallFileSystem(small, 1 << 20, 0755)) << std::strerror(errno);
    const std::string folder = small + "/folder";
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    const std::string old = e2e::intelHexText({{0, e2e::patternBytes(0x1000, 31)}});
    const std::string file = rig.env.write("small/folder/t.hex", old);
    const std::string other = asNobody ? file : folder + "/other.hex";
    if (asNobody) {
        ASSERT_EQ(::chown(folder.c_str(), nobody->uid, nobody->gid), 0);
        ASSERT_EQ(::chown(file.c_str(), nobody->uid, 0), 0);
    } else {
        ASSERT_EQ(::link(file.c_str(), other.c_str()), 0);
    }
    // 16 KiB stay free: the read's text takes some 45 KiB, the old file's 12 KiB.
    struct stat before {};
    ASSERT_EQ(::stat(file.c_str(), &before), 0);
    const std::size_t used = static_cast<std::size_t>(before.st_blocks) * 512;
    const std::string filler = rig.env.write("small/filler", std::string((1 << 20) - used - (16 << 10), 'f'));

    const std::vector<std::string> read = {"--ecuClass", "RH850",        "-n",   "--readCode",
                                           file,         "--codeLength", "4000", "--ecuReset"};
    const RunResult full = rig.env.runVoflashThrough(prefix, read);
    EXPECT_TRUE(has(full, "Could not open file " + file + ": no room for the ")) << describe(full);
    EXPECT_TRUE(has(full, " bytes of its new content (No space left on device); it was left as it was\n"))
        << describe(full);
    EXPECT_TRUE(has(full, "ECU is not programmed successfully (KO)")) << describe(full);
    EXPECT_TRUE(has(full, "---> ECU is in application mode now (OK)")) << describe(full);
    EXPECT_TRUE(rig.env.read("small/folder/t.hex") == old);
    EXPECT_TRUE(rig.env.read(other.substr(rig.env.dir().size() + 1)) == old);

    ASSERT_EQ(::unlink(filler.c_str()), 0);
    const RunResult room = rig.env.runVoflashThrough(prefix, read);
    EXPECT_TRUE(has(room, "ECU is programmed successfully (OK)")) << describe(room);
    rig.expectFileHolds(other.substr(rig.env.dir().size() + 1), 0, rig.code(0, 0x4000));
    struct stat after {};
    ASSERT_EQ(::stat(file.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_uid, before.st_uid);
    EXPECT_EQ(after.st_gid, before.st_gid);
    expectMemoryLeft(rig);
}

INSTANTIATE_TEST_SUITE_P(Cases, ReadBackInPlace,
                         ::testing::Values(InPlaceCase{"FileWithASecondLink", false},
                                           InPlaceCase{"AsAnotherUserWhoseFileHasRootsGroup", true}),
                         [](const auto& info) { return std::string(info.param.name); });

// The peak memory of a run of voflash in KiB, through /usr/bin/time; -1 without it.
long peakKiBOf(const SimRig& rig, const std::vector<std::string>& args, RunResult& result) {
    if (::access("/usr/bin/time", X_OK) != 0) {
        result = rig.env.runVoflash(args);
        return -1;
    }
    result = rig.env.runVoflashThrough({"/usr/bin/time", "-f", "peak %M KiB"}, args);
    const std::size_t at = result.err.rfind("peak ");
    return at == std::string::npos ? -1 : std::stol(result.err.substr(at + 5));
}

// Four bytes at 0x70000 and four 256 MiB above: the KES2 and DRO steps refuse the file by its span,
// before an image of it is built (which took gigabytes); nothing is written, and the next write lands.
TEST(FileSpans, FarApartBlocksAreRefusedBeforeAnImageIsBuilt) {
    const std::vector<Block> span = {{0x70000, {1, 2, 3, 4}}, {0x10070000, {5, 6, 7, 8}}};
    const struct {
        const char* ecuClass;
        e2e::MemoryLayout layout;
        const char* option;
        int exitCode;
        std::string refusal;
    } cases[] = {
        {"DRO", e2e::kDroMemory, "--wP", 3,
         "Unexpected End address 0x10070003 (the code flash ends at 0x13ffff)"},
        {"DRO", e2e::kDroMemory, "--ram", 4, "spans 0x10000004 bytes from 0x70000, more than the 0x1000000"},
        {"KES2", e2e::kKes2Memory, "--ram", 4,
         "spans 0x10000004 bytes from 0x70000, more than the 0x1000000"},
    };
    // Far less than the gigabyte an image of the span takes, with the sanitizers' own memory.
    constexpr long kMostKiB = 400 << 10;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.ecuClass) + " " + c.option);
        SimRig rig(c.ecuClass, c.layout);
        rig.programAll();
        ASSERT_TRUE(rig.start()) << rig.sim->output();
        const std::string file = rig.env.write("span.hex", e2e::intelHexText(span));
        RunResult r;
        const long peak =
            peakKiBOf(rig, {"--ecuClass", c.ecuClass, "--Com", "9", "--p", "1", c.option, file}, r);
        EXPECT_EQ(r.exitCode, c.exitCode) << describe(r);
        EXPECT_TRUE(has(r, c.refusal)) << describe(r);
        if (peak >= 0) {
            EXPECT_LT(peak, kMostKiB) << describe(r);
        }
        // The next write of a file that fits lands (KES2 data flash at 0xFE000000, DRO's at 0).
        const Bytes data = e2e::patternBytes(0x100, 41);
        const uint64_t dataStart = std::string(c.ecuClass) == "KES2" ? 0xFE000000 : 0;
        const RunResult next =
            rig.run({"--wD", rig.env.write("d.hex", e2e::intelHexText({{dataStart, data}}))});
        EXPECT_EQ(next.exitCode, 3) << describe(next);
        rig.setData(0, data);
        expectMemoryLeft(rig);
    }
}

}  // namespace
