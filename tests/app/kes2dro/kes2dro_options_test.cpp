// The command line of the KES2 and DRO programs: the two option tables, the run values read from
// them, the packet-length check and the status screen.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/kes2dro/Kes2DroOptions.h"
#include "tests/app/AppTestSupport.h"
#include "tests/ecu/EcuTestSupport.h"

namespace kes2dro_test {
namespace {

namespace po = boost::program_options;
using ecutest::StreamCapture;

// One run of an option reader on a fresh description and map.
struct Parsed {
    po::options_description description{"Options", 80, 40};
    po::variables_map map;
    std::string normal;
    std::string error;

    Parsed(Kes2DroTable table, std::vector<std::string> args) {
        apptest::CommandLine line(std::move(args));
        StreamCapture out;
        readKes2DroOptions(table, line.argc(), line.argv(), description, map);
        normal = out.normal();
        error = out.error();
    }
    bool has(const std::string& name) const { return map.count(name) != 0; }
    std::string value(const std::string& name) const { return map[name].as<std::string>(); }
};

TEST(Kes2DroOptionReader, AcceptedCommandLines) {
    struct Case {
        std::string label;
        Kes2DroTable table;
        std::vector<std::string> args;
        // Option and value ("" for a flag) that the map must hold.
        std::vector<std::pair<std::string, std::string>> present;
        bool help;
    };
    const Case cases[] = {
        {"ecuClass accepted",
         Kes2DroTable::kes2,
         {"--ecuClass", "KES2", "--ram", "r.hex", "--p", "1"},
         {{"ecuClass", "KES2"}, {"ram", "r.hex"}, {"p", "1"}},
         false},
        {"help with a value, the run goes on",
         Kes2DroTable::kes2,
         {"--help", "all", "--p", "2"},
         {{"help", "all"}, {"p", "2"}},
         true},
        {"short help", Kes2DroTable::dro, {"-h", "x"}, {{"help", "x"}}, true},
        // --help alone asks for the help too.
        {"help alone last", Kes2DroTable::kes2, {"--p", "1", "--help"}, {{"help", ""}, {"p", "1"}}, true},
        {"help alone before another option",
         Kes2DroTable::dro,
         {"--help", "--rD", "d.hex"},
         {{"help", ""}, {"rD", "d.hex"}},
         true},
        {"short help alone", Kes2DroTable::kes2, {"-h"}, {{"help", ""}}, true},
        // An exact name wins over a longer one that begins with it.
        {"exact p", Kes2DroTable::kes2, {"--p", "2"}, {{"p", "2"}}, false},
        {"prefix of pktlen", Kes2DroTable::kes2, {"--pk", "1024"}, {{"pktlen", "1024"}}, false},
        {"equals form", Kes2DroTable::kes2, {"--RxId=700"}, {{"RxId", "700"}}, false},
        {"unambiguous Keep prefix",
         Kes2DroTable::dro,
         {"--KeepL", "--Bmg"},
         {{"KeepLastTa", ""}, {"Bmg", ""}},
         false},
        {"DRO options",
         Kes2DroTable::dro,
         {"--Zip", "3", "--KeepTa", "--KeepCfg", "--t", "MB91F522D"},
         {{"Zip", "3"}, {"KeepTa", ""}, {"KeepCfg", ""}, {"t", "MB91F522D"}},
         false},
        {"flags",
         Kes2DroTable::kes2,
         {"--Dferase", "--nv", "--reset", "--Bmg"},
         {{"Dferase", ""}, {"nv", ""}, {"reset", ""}, {"Bmg", ""}},
         false},
        {"empty command line", Kes2DroTable::kes2, {}, {}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const Parsed parsed(c.table, c.args);
        EXPECT_EQ(parsed.error, "");
        EXPECT_EQ(parsed.map.size(), c.present.size());
        for (const auto& [name, value] : c.present) {
            ASSERT_TRUE(parsed.has(name)) << name;
            if (!value.empty()) {
                EXPECT_EQ(parsed.value(name), value);
            }
        }
        if (c.help) {
            EXPECT_EQ(parsed.normal.rfind("Options:\n", 0), 0u) << parsed.normal;
            EXPECT_NE(parsed.normal.find("--ram arg"), std::string::npos);
        } else {
            EXPECT_EQ(parsed.normal, "");
        }
    }
}

TEST(Kes2DroOptionReader, LibraryErrorsArePrintedWithoutHelp) {
    struct Case {
        std::string label;
        Kes2DroTable table;
        std::vector<std::string> args;
        std::string messagePart;
    };
    const Case cases[] = {
        {"verify option needs a value", Kes2DroTable::kes2, {"--vP"}, "vP"},
        {"ambiguous prefix", Kes2DroTable::dro, {"--Keep"}, "ambiguous"},
        {"DRO option in the KES2 table", Kes2DroTable::kes2, {"--KeepTa"}, "unrecognised"},
        {"value for a flag", Kes2DroTable::kes2, {"--Bmg=1"}, "Bmg"},
        {"option names are case-sensitive", Kes2DroTable::kes2, {"--rxid", "1"}, "rxid"},
        // Found while storing, after the options before it: none of them stays.
        {"option given twice",
         Kes2DroTable::kes2,
         {"--p", "1", "--ram", "a", "--ram", "b", "--rD", "d"},
         "ram"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const Parsed parsed(c.table, c.args);
        EXPECT_EQ(parsed.error.rfind("error: ", 0), 0u) << parsed.error;
        EXPECT_NE(parsed.error.find(c.messagePart), std::string::npos) << parsed.error;
        EXPECT_EQ(parsed.error.back(), '\n');
        EXPECT_EQ(parsed.normal, "");
        EXPECT_TRUE(parsed.map.empty());
    }
}

TEST(Kes2DroOptionReader, HelpListsEachTableAndTheClassOption) {
    const Parsed kes2(Kes2DroTable::kes2, {"--help", "x"});
    const Parsed dro(Kes2DroTable::dro, {"--help", "x"});
    EXPECT_EQ(kes2.description.options().size(), 23u);
    EXPECT_EQ(dro.description.options().size(), 27u);
    for (const char* listed : {"--ecuClass arg", "--Bmg ", "Use at Your Own risk!!! Overwrite BMG",
                               "-h [ --help ] arg", "--Jump arg"}) {
        EXPECT_NE(kes2.normal.find(listed), std::string::npos) << listed;
        EXPECT_NE(dro.normal.find(listed), std::string::npos) << listed;
    }
    EXPECT_EQ(kes2.normal.find("--KeepTa"), std::string::npos);
    EXPECT_NE(dro.normal.find("--KeepLastTa"), std::string::npos);
    EXPECT_NE(dro.normal.find("--Zip arg"), std::string::npos);
}

TEST(Kes2DroRunValues, DefaultsAndReadings) {
    struct Case {
        std::vector<std::string> args;
        Kes2DroRunValues expected;
    };
    const Kes2DroRunValues defaults;
    auto with = [&defaults](auto change) {
        Kes2DroRunValues v = defaults;
        change(v);
        return v;
    };
    const Case cases[] = {
        {{}, defaults},
        {{"--RxId", "0x700"}, with([](auto& v) { v.rxId = 0x700; })},
        {{"--RxId", "700"}, with([](auto& v) { v.rxId = 0x700; })},
        {{"--TxId", " 6f2 "}, with([](auto& v) { v.txId = 0x6F2; })},
        {{"--b", "250000", "--Com", "9", "--p", "3"}, with([](auto& v) {
             v.baud = 250000;
             v.interfaceType = 9;
             v.port = 3;
         })},
        {{"--pktlen", "1024"}, with([](auto& v) { v.packetLength = 1024; })},
        // A number, if not one the check takes: it gives way to 512 later.
        {{"--pktlen", "5000000000"}, with([](auto& v) { v.packetLength = 5000000000; })},
    };
    for (const Case& c : cases) {
        const Parsed parsed(Kes2DroTable::kes2, c.args);
        ASSERT_EQ(parsed.error, "");
        Kes2DroRunValues values;
        readRunValues<uint64_t>(parsed.map, values);
        EXPECT_EQ(values.rxId, c.expected.rxId);
        EXPECT_EQ(values.txId, c.expected.txId);
        EXPECT_EQ(values.port, c.expected.port);
        EXPECT_EQ(values.baud, c.expected.baud);
        EXPECT_EQ(values.interfaceType, c.expected.interfaceType);
        EXPECT_EQ(values.packetLength, c.expected.packetLength);
    }
}

// A value read as a number must be a whole number of its option's base and width: read in part it
// would be a value that was not typed. Refused as the option library's errors are, with the map left
// empty, so no step runs on it. "ECU" is also a text and "Zip" has no effect: neither is held to a
// number.
TEST(Kes2DroOptionReader, ValuesThatAreNoWholeNumberAreRefused) {
    struct Case {
        Kes2DroTable table;
        std::vector<std::string> args;
        std::string error;  // empty: accepted
    };
    const Case cases[] = {
        {Kes2DroTable::kes2, {"--TxId", " 6f2zz"}, "--TxId' is invalid: not a hexadecimal number"},
        {Kes2DroTable::kes2, {"--RxId", "12345"}, "--RxId' is invalid: more than 16 bits"},
        {Kes2DroTable::dro, {"--Jump", "0x"}, "--Jump' is invalid: not a hexadecimal number"},
        {Kes2DroTable::kes2, {"--p", "0x10"}, "--p' is invalid: not a decimal number"},
        {Kes2DroTable::dro, {"--b", "5000000000"}, "--b' is invalid: more than 32 bits"},
        {Kes2DroTable::kes2, {"--Com", "9x"}, "--Com' is invalid: not a decimal number"},
        {Kes2DroTable::kes2, {"--pktlen", "1024abc"}, "--pktlen' is invalid: not a decimal number"},
        {Kes2DroTable::dro, {"--pktlen", "4294967296"}, "--pktlen' is invalid: more than 32 bits"},
        {Kes2DroTable::kes2, {"--pktlen", "4294967296"}, ""},
        {Kes2DroTable::dro, {"--ECU", "Front ECU", "--Zip", "x", "--Jump", "FEDF8000"}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args[1]);
        const Parsed parsed(c.table, c.args);
        if (c.error.empty()) {
            EXPECT_EQ(parsed.error, "");
            EXPECT_TRUE(parsed.has(c.args[0].substr(2)));
            continue;
        }
        EXPECT_EQ(parsed.error, "error: the argument ('" + c.args[1] + "') for option '" + c.error + "\n");
        EXPECT_TRUE(parsed.map.empty());
        EXPECT_EQ(parsed.normal, "");
    }
}

TEST(Kes2DroRunValues, PacketLengthCheck) {
    for (const uint64_t valid : {256u, 512u, 1024u, 2048u}) {
        StreamCapture out;
        EXPECT_EQ(checkPacketLength(valid), valid);
        EXPECT_EQ(out.normal(), "");
    }
    for (const uint64_t invalid : {0ull, 100ull, 768ull, 4096ull, 0x100000200ull}) {
        StreamCapture out;
        EXPECT_EQ(checkPacketLength(invalid), 512u);
        EXPECT_EQ(out.normal(), "invalid pktlen: Default value will be used [512 bytes].");
    }
}

TEST(Kes2DroStatusScreen, LabelsOfTheRequestedSteps) {
    struct Case {
        std::vector<std::string> args;
        std::string screen;
    };
    const Case cases[] = {
        {{}, "\n\n\n"},
        {{"--ram", "r", "--rP", "c", "--wP", "w"},
         "\n\n\n Connecting :\n Upload ApplRam:\n\n\n\n Read Code:\n\n\n Flash Code:\n\n\n"},
        // Labels only: no step runs for them.
        {{"--vP", "x", "--Dferase"}, "\n\n\n DF erase:\n\n\n Verify Code:\n\n\n"},
        {{"--ECU", "1234", "--t", "MB91F522D", "--reset", "--vD", "y", "--rD", "d", "--wD", "e"},
         " Target: 1234\n Type: MB91F522D\n\n\n\n Read Data:\n\n\n Flash Data:\n\n\n Verify Data:\n\n\n"
         " Reset :\n\n\n"},
    };
    for (const Case& c : cases) {
        const Parsed parsed(Kes2DroTable::dro, c.args);
        ASSERT_EQ(parsed.error, "");
        StreamCapture out;
        showStepList(parsed.map);
        EXPECT_EQ(out.normal(), c.screen);
    }
}

}  // namespace
}  // namespace kes2dro_test
