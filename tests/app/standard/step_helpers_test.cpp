// The repeated session requests of the standard programs: time limits, pacing of refusals, and the
// receive time-out put back; the option defaults per class; the range refusal.

#include <gtest/gtest.h>

#include <boost/program_options.hpp>
#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "app/FlashFile.h"
#include "app/Options.h"
#include "app/standard/StepHelpers.h"
#include "ecu/VOCyt2Gen.h"
#include "ecu/VONxpGen.h"
#include "ecu/VORh850Gen.h"
#include "tests/app/AppTestSupport.h"
#include "tests/ecu/EcuTestSupport.h"
#include "tests/ecu/PacketBytes.h"

namespace {

using Clock = std::chrono::steady_clock;
using ecutest::Answer;
using ecutest::Bytes;
using ecutest::Rig;
using ecutest::StreamCapture;

void setOption(const std::string& name, const std::string& value) {
    getVariablesMap().erase(name);
    getVariablesMap().insert({name, boost::program_options::variable_value(value, false)});
}

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

TEST(LoginWithRetry, RefusalsArePacedAndTheReceiveTimeoutComesBack) {
    Rig<VORh850Gen> rig;
    ASSERT_TRUE(rig.attached);
    const uint32_t before = rig.ecu.getReceiveTimeout();
    // Refused at once five times, then accepted: the attempts come about 300 ms apart.
    for (int i = 0; i < 5; ++i) {
        rig.bus.expectAny(Answer::negative(0xBA, 0x22));
    }
    rig.bus.expectAny(Answer::reply({0xFA, 0x00}));
    StreamCapture out;
    const Clock::time_point start = Clock::now();
    EXPECT_TRUE(loginWithRetry(rig.ecu));
    const double seconds = secondsSince(start);
    EXPECT_GE(seconds, 5 * 0.3 * 0.95);
    EXPECT_LT(seconds, 10.0);
    EXPECT_TRUE(rig.bus.done());
    EXPECT_EQ(rig.ecu.getReceiveTimeout(), before);
}

TEST(SendEcuFlashRequest, FirstPositiveAnswerReturnsAtOnce) {
    Rig<VORh850Gen> rig;
    ASSERT_TRUE(rig.attached);
    setOption("ecuFlashRequest", "1234");
    const uint32_t before = rig.ecu.getReceiveTimeout();
    rig.bus.expectAny(Answer::reply({0xFB, 0x00}));
    StreamCapture out;
    const Clock::time_point start = Clock::now();
    EXPECT_TRUE(sendEcuFlashRequest(rig.ecu));
    EXPECT_LT(secondsSince(start), 0.09);
    EXPECT_EQ(rig.bus.exchanges().size(), 1u);
    EXPECT_EQ(rig.ecu.getReceiveTimeout(), before);
    getVariablesMap().erase("ecuFlashRequest");
}

// A send that fails at once does not flood the ECU: within the 5 s limit there are about 50 attempts.
TEST(SendEcuFlashRequest, FailedSendsArePacedWithinTheLimit) {
    Rig<VORh850Gen> rig;
    ASSERT_TRUE(rig.attached);
    setOption("ecuFlashRequest", "1234");
    for (int i = 0; i < 80; ++i) {
        rig.bus.expectAny(Answer::sendFails());
    }
    StreamCapture out;
    const Clock::time_point start = Clock::now();
    EXPECT_FALSE(sendEcuFlashRequest(rig.ecu));
    const double seconds = secondsSince(start);
    EXPECT_GE(seconds, 4.9);
    EXPECT_LT(seconds, 8.0);
    EXPECT_GE(rig.bus.exchanges().size(), 10u);
    EXPECT_LE(rig.bus.exchanges().size(), 55u);
    getVariablesMap().erase("ecuFlashRequest");
}

TEST(StepDefaults, PerClassTable) {
    const StepDefaults& cyt2 = stepDefaults(StandardEcuClass::Cyt2);
    const StepDefaults& nxp = stepDefaults(StandardEcuClass::Nxp);
    const StepDefaults& rh850 = stepDefaults(StandardEcuClass::Rh850);
    EXPECT_EQ(cyt2.dataStartAddr, 0x14000000u);
    EXPECT_EQ(cyt2.dataReadBase, 0u);
    EXPECT_EQ(nxp.dataReadBase, 0x14000000u);
    EXPECT_EQ(rh850.dataReadBase, 0xFF200000u);
    EXPECT_EQ(nxp.codePageSize, 0x8000u);
    EXPECT_EQ(nxp.dataLength, 0u);
    EXPECT_EQ(rh850.dataStartAddr, 0xFF200000u);
    EXPECT_EQ(rh850.codeStartAddr, 0u);
    EXPECT_EQ(rh850.codePageSize, 0x100u);
    EXPECT_EQ(rh850.dataLength, 0x8000u);
    EXPECT_EQ(rh850.dataPageSize, 0x40u);
    // The --readCode lengths.
    EXPECT_EQ(cyt2.codeReadLength, 0x1F0000u);
    EXPECT_EQ(nxp.codeReadLength, 0x1F0000u);
    EXPECT_EQ(rh850.codeReadLength, 0x80000u);
}

// The data read asks for the bytes of --dataStartAddr, at its offset in the data flash where the
// class addresses the data flash from its first byte, and the file labels them with the addresses
// they came from. A start below the data flash is refused before anything is sent.
struct DataReadCase {
    std::string label;
    StandardEcuClass ecuClass;
    std::string start;
    std::optional<uint32_t> sent;
    std::string error;
};

template <typename Ecu>
void expectDataRead(const DataReadCase& c) {
    SCOPED_TRACE(c.label);
    apptest::ScratchDir dir;
    Rig<Ecu> rig;
    ASSERT_TRUE(rig.attached);
    setOption("dataStartAddr", c.start);
    setOption("dataLength", "200");
    setOption("readData", dir.path("back.hex"));
    const Bytes reply = ecutest::readReply(0x200, 7);
    if (c.sent) {
        const uint8_t pageByte = c.ecuClass == StandardEcuClass::Cyt2 ? 0 : 2;
        rig.bus.expect(ecutest::packet(0x81, *c.sent, pageByte), Answer::reply(reply));
    }
    StreamCapture out;
    EXPECT_EQ(readDataFlash(rig.ecu, 512, c.ecuClass), c.sent.has_value());
    EXPECT_TRUE(rig.bus.done());
    EXPECT_EQ(out.error(), c.error);
    if (c.sent) {
        FlashFile file(dir.path("back.hex"));
        Bytes saved;
        uint64_t start = 0, length = 0;
        ASSERT_TRUE(file.readRange(saved, start, length));
        EXPECT_EQ(start, fromHexString(c.start));
        EXPECT_EQ(saved, Bytes(reply.begin() + 2, reply.end()));
    } else {
        EXPECT_FALSE(std::filesystem::exists(dir.path("back.hex")));
    }
    for (const char* name : {"dataStartAddr", "dataLength", "readData"}) {
        getVariablesMap().erase(name);
    }
}

TEST(ReadDataFlash, ReadsFromTheStartAndLabelsTheFileWithIt) {
    expectDataRead<VOCyt2Gen>({"CYT2 absolute", StandardEcuClass::Cyt2, "14000400", 0x14000400, ""});
    expectDataRead<VONxpGen>({"NXP at the base", StandardEcuClass::Nxp, "14000000", 0, ""});
    expectDataRead<VONxpGen>({"NXP past the base", StandardEcuClass::Nxp, "14000400", 0x400, ""});
    expectDataRead<VORh850Gen>({"RH850 past the base", StandardEcuClass::Rh850, "FF201000", 0x1000, ""});
    expectDataRead<VONxpGen>({"NXP below the base", StandardEcuClass::Nxp, "13FFFFC0", std::nullopt,
                              "Error: The data start address 0x13ffffc0 lies below the data flash at "
                              "0x14000000.\n"});
    expectDataRead<VORh850Gen>({"RH850 below the base", StandardEcuClass::Rh850, "FF000000", std::nullopt,
                                "Error: The data start address 0xff000000 lies below the data flash at "
                                "0xff200000.\n"});
}

// The values each class reads of --eraseData and --eraseCode are held to their form when the command
// line is parsed; a class that does not read a value takes any.
TEST(OptionValueRules, EachClassHoldsTheValuesItReads) {
    struct Case {
        StandardEcuClass ecuClass;
        std::string option, value;
        std::string fault;  // empty: taken
    };
    const Case cases[] = {
        {StandardEcuClass::Rh850, "eraseData", "32", ""},
        {StandardEcuClass::Rh850, "eraseData", "x", "not a decimal number"},
        {StandardEcuClass::Rh850, "eraseData", "abc", "not a decimal number"},
        {StandardEcuClass::Rh850, "eraseData", "0", "not above 0"},
        {StandardEcuClass::Rh850, "eraseData", "4k", "not a decimal number"},
        {StandardEcuClass::Rh850, "eraseData", "1e3", "not a decimal number"},
        {StandardEcuClass::Rh850, "eraseCode", "3,4", ""},
        // A pair of numbers: whether they are blocks of the map is the erase step's to say.
        {StandardEcuClass::Rh850, "eraseCode", "0,200", ""},
        {StandardEcuClass::Rh850, "eraseCode", "3", "not two decimal block numbers as first,last"},
        {StandardEcuClass::Nxp, "eraseCode", "a,b", "not two decimal block numbers as first,last"},
        {StandardEcuClass::Nxp, "eraseData", "x", ""},
        {StandardEcuClass::Cyt2, "eraseCode", "5,6", ""},
        {StandardEcuClass::Cyt2, "eraseData", "all", ""},
        {StandardEcuClass::Cyt2, "codeStartAddr", "zz", "not a hexadecimal number"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.option + " " + c.value);
        boost::program_options::variables_map map;
        map.insert({c.option, boost::program_options::variable_value(c.value, false)});
        std::string error;
        try {
            checkOptionValues(map, optionValueRules(c.ecuClass));
        } catch (const boost::program_options::error& e) {
            error = e.what();
        }
        EXPECT_EQ(error, c.fault.empty() ? ""
                                         : "the argument ('" + c.value + "') for option '--" + c.option +
                                               "' is invalid: " + c.fault);
    }
}

// --eraseCode of NXP and RH850: a range of block numbers that leaves the class's block map, or runs
// from one area of it into the other, is refused with one line before any block is erased; a range
// in one area is erased block by block.
TEST(EraseCodeBlocksStep, RangeIsCheckedAgainstTheBlockMapFirst) {
    struct Case {
        std::string value;
        unsigned first, last;  // erased when error is empty
        std::string error;
    };
    const Case rh850[] = {
        {"0,200", 0, 0, "block 134 lies in another code flash area than block 0"},
        {"130,140", 0, 0, "block 134 lies in another code flash area than block 130"},
        {"128,133", 128, 133, ""},
        {"140,141", 140, 141, ""},
    };
    const Case nxp[] = {
        {"76,80", 0, 0, "block 78 is no block of the code flash"},
        {"76,77", 76, 77, ""},
    };
    const auto run = [](auto& rig, const Case& c) {
        SCOPED_TRACE(c.value);
        if (c.error.empty()) {
            for (unsigned b = c.first; b <= c.last; ++b) {
                const auto block = static_cast<uint8_t>(b);
                rig.bus.expect({0xBB, 0x72, block, block, 0, 0, 0}, Answer::reply({0xFB}));
            }
        }
        setOption("eraseCode", c.value);
        StreamCapture out;
        EXPECT_EQ(eraseCodeBlocksStep(rig.ecu), c.error.empty());
        EXPECT_TRUE(rig.bus.done());
        if (c.error.empty()) {
            EXPECT_EQ(out.error(), "");
        } else {
            EXPECT_EQ(out.error(),
                      "\nError: Invalid --eraseCode \"" + c.value + "\": " + c.error + ". Nothing erased.\n");
            EXPECT_TRUE(rig.bus.exchanges().empty());
            EXPECT_EQ(out.normal(), "");
        }
        getVariablesMap().erase("eraseCode");
    };
    for (const Case& c : rh850) {
        Rig<VORh850Gen> rig;
        run(rig, c);
    }
    for (const Case& c : nxp) {
        Rig<VONxpGen> rig;
        run(rig, c);
    }
}

// --eraseCode of CYT2 erases the blocks of --codeStartAddr and --codeLength whatever its value; with
// neither given, a value that names blocks is refused, since the block of address 0 would be erased
// instead. Any other value then erases that block, as without the option's value.
TEST(EraseCodeCyt2, ValueThatNamesBlocksWithoutARangeIsRefused) {
    struct Case {
        std::string value;
        std::vector<std::pair<std::string, std::string>> range;
        std::vector<uint8_t> erased;
        std::string error;
        std::string note;
    };
    const std::string refused =
        "names blocks, but CYT2 erases the blocks of --codeStartAddr and --codeLength, "
        "and neither is given. Nothing erased.\n";
    const std::string unused = "is not used: CYT2 erases the blocks of --codeStartAddr and --codeLength.\n";
    const Case cases[] = {
        {"5,6", {}, {}, "Error: --eraseCode \"5,6\" " + refused, ""},
        {" 3 ", {}, {}, "Error: --eraseCode \" 3 \" " + refused, ""},
        {"all", {}, {0}, "", ""},
        {"5,6",
         {{"codeStartAddr", "10010000"}, {"codeLength", "10000"}},
         {2, 3},
         "",
         "  The --eraseCode value \"5,6\" " + unused},
        {"x", {{"codeStartAddr", "10008000"}}, {1}, "", "  The --eraseCode value \"x\" " + unused},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        Rig<VOCyt2Gen> rig;
        for (const uint8_t b : c.erased) {
            rig.bus.expect({0xBB, 0x72, b, b, 0, 0, 0}, Answer::reply({0xFB}));
        }
        setOption("eraseCode", c.value);
        for (const auto& [name, value] : c.range) {
            setOption(name, value);
        }
        StreamCapture out;
        EXPECT_EQ(eraseCodeCyt2(rig.ecu), c.error.empty());
        EXPECT_TRUE(rig.bus.done());
        EXPECT_EQ(rig.bus.exchanges().size(), c.erased.size());
        EXPECT_EQ(out.error(), c.error);
        EXPECT_EQ(out.normal().find(c.note) != std::string::npos, true) << out.normal();
        EXPECT_EQ(out.normal().find("is not used") != std::string::npos, !c.note.empty());
        for (const char* name : {"eraseCode", "codeStartAddr", "codeLength"}) {
            getVariablesMap().erase(name);
        }
    }
}

TEST(CheckRangeBelow4G, RangesEndingAtOrBelow4GAreKept) {
    StreamCapture out;
    EXPECT_TRUE(checkRangeBelow4G("data", 0xFF200000, 0xE00000));
    EXPECT_FALSE(checkRangeBelow4G("data", 0xFF200000, 0xE00001));
    EXPECT_FALSE(checkRangeBelow4G("code", 0x100000000, 1));
    EXPECT_FALSE(checkRangeBelow4G("code", 1, UINT64_MAX));
    EXPECT_EQ(out.error(),
              "Error: The data range from 0xff200000 of 0xe00001 bytes ends beyond 0xffffffff.\n"
              "Error: The code range from 0x100000000 of 0x1 bytes ends beyond 0xffffffff.\n"
              "Error: The code range from 0x1 of 0xffffffffffffffff bytes ends beyond 0xffffffff.\n");
}

}  // namespace
