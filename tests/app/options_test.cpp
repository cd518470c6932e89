#include "app/Options.h"

#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "tests/app/AppTestSupport.h"
#include "tests/ecu/EcuTestSupport.h"

namespace {

using ecutest::StreamCapture;

// Runs parseCommandLine on a fresh option map with "voflash" and args as the command line.
class ParseTest : public ::testing::Test {
  protected:
    void SetUp() override { getVariablesMap().clear(); }
    void TearDown() override { getVariablesMap().clear(); }

    static void parse(std::vector<std::string> args) {
        apptest::CommandLine line(std::move(args));
        parseCommandLine(line.argc(), line.argv());
    }

    static bool present(const std::string& name) { return getVariablesMap().count(name) != 0; }

    StreamCapture capture;
};

bool hasHelp(const std::string& text) {
    return text.find("Options:\n") != std::string::npos;
}

bool hasInterfaceList(const std::string& text) {
    return text.find("Com interface list:\n") != std::string::npos;
}

TEST_F(ParseTest, EmptyCommandLineShowsHelpAndInterfaceList) {
    parse({});
    EXPECT_TRUE(getVariablesMap().empty());
    EXPECT_TRUE(hasHelp(capture.normal()));
    EXPECT_TRUE(hasInterfaceList(capture.normal()));
    EXPECT_LT(capture.normal().find("Options:\n"), capture.normal().find("Com interface list:\n"));
    EXPECT_EQ(capture.error(), "");
}

TEST_F(ParseTest, HelpAndListComEachShowTheirOwnText) {
    parse({"--help"});
    EXPECT_TRUE(hasHelp(capture.normal()));
    EXPECT_FALSE(hasInterfaceList(capture.normal()));

    getVariablesMap().clear();
    StreamCapture second;
    parse({"-l", "--port", "2"});
    EXPECT_FALSE(hasHelp(second.normal()));
    EXPECT_TRUE(hasInterfaceList(second.normal()));
    EXPECT_TRUE(present("listCom"));
    EXPECT_TRUE(present("port"));
    EXPECT_EQ(second.error(), "");
}

TEST_F(ParseTest, HelpTextLayout) {
    parse({"-h"});
    const std::string& text = capture.normal();
    ASSERT_EQ(text.rfind("Options:\n", 0), 0u) << text;
    // The description's own layout, then one more newline.
    EXPECT_EQ(text.substr(text.size() - 2), "\n\n");
    for (const char* line : {
             "  -h [ --help ]         help\n",
             "  -c [ --com ] arg      com interface( [20(auto)], 5 (CANcase), ... )\n",
             "  -l [ --listCom ]      shows possible devices for --com  \n",
             "  --hwIndex arg         hardware index (interface hardware index], 0, 1,...)\n",
             "  --lin                 use LIN with vector interfaces that have both CAN and \n"
             "                        LIN\n",
             "  --ecuFlashRequest arg host send the flash request command to the ECU over LIN\n",
             "  --progSession         reboot ECU to PBL and start progrmming session\n",
             "  --jumpAddr arg        Jump to the specified RAM address\n",
         }) {
        EXPECT_NE(text.find(line), std::string::npos) << line << "\nin\n" << text;
    }
}

TEST_F(ParseTest, TableHolds36OptionsOf28TakeAValue) {
    parse({"--port", "1"});
    const auto& options = getOptionsDescription().options();
    ASSERT_EQ(options.size(), 36u);
    size_t withValue = 0;
    for (const auto& option : options) {
        withValue += option->semantic()->max_tokens() > 0 ? 1 : 0;
    }
    EXPECT_EQ(withValue, 28u);
    EXPECT_EQ(options.front()->long_name(), "help");
    EXPECT_EQ(options.back()->long_name(), "jumpAddr");
}

TEST_F(ParseTest, LibraryErrorsAreReportedAndNothingElseShows) {
    struct Case {
        std::vector<std::string> args;
        std::string error;
    };
    const Case cases[] = {
        {{"--foo"}, "unrecognised option '--foo'"},
        {{"--port"}, "the required argument for option '--port' is missing"},
        {{"--help=1"}, "option '--help' does not take any arguments"},
        {{"--ecu", "x"},
         "option '--ecu' is ambiguous and matches '--ecuClass', '--ecuFlashRequest', "
         "'--ecuInfo', '--ecuReset', and '--ecuType'"},
        {{"-x"}, "unrecognised option '-x'"},
    };
    for (const Case& c : cases) {
        getVariablesMap().clear();
        StreamCapture local;
        parse(c.args);
        EXPECT_EQ(local.error(), "\nError: Exception of type " + c.error + "\n") << c.args.front();
        EXPECT_EQ(local.normal(), "") << c.args.front();
        EXPECT_TRUE(getVariablesMap().empty()) << c.args.front();
    }
}

// An option given twice is found while storing, after the options before it: none of them stays.
TEST_F(ParseTest, OptionGivenTwiceLeavesNoOption) {
    parse({"--baud", "9600", "--port", "1", "--port", "2", "--writeCode", "a.hex"});
    EXPECT_EQ(capture.error(),
              "\nError: Exception of type option '--port' cannot be specified more than once\n");
    EXPECT_EQ(capture.normal(), "");
    EXPECT_TRUE(getVariablesMap().empty());
}

TEST_F(ParseTest, ParsingAgainAfterAFailedParseWorks) {
    parse({"--foo"});
    ASSERT_TRUE(getVariablesMap().empty());
    StreamCapture second;
    parse({"--port", "3"});
    EXPECT_EQ(second.error(), "");
    ASSERT_TRUE(present("port"));
    EXPECT_EQ(getOptionDec<uint32_t>("port"), 3u);
    EXPECT_EQ(getOptionsDescription().options().size(), 36u);
}

TEST_F(ParseTest, SecondParseAfterASuccessChangesNothing) {
    parse({"--port", "3"});
    parse({"--baud", "9600", "--help"});
    EXPECT_TRUE(present("port"));
    EXPECT_FALSE(present("baud"));
    EXPECT_FALSE(hasHelp(capture.normal()));
}

TEST_F(ParseTest, OptionFormsAndReadings) {
    parse({"--rxId",
           "643",
           "--txId=7e0",
           "-p3",
           "-b",
           "250000",
           "--pktlen",
           " 1024 ",
           "--ecuClass=CYT2",
           "--receiveTimeout",
           "5000",
           "--nonV",
           "--com",
           "20",
           "--codeStartAddr",
           "0x1FFFF0000",
           "--hwIndex",
           "08",
           "--writeOpt",
           "0X1ff",
           "--lin"});
    EXPECT_EQ(capture.error(), "");
    EXPECT_EQ(getOptionHex<uint16_t>("rxId"), 0x643);
    EXPECT_EQ(getOptionHex<uint16_t>("txId"), 0x7E0);
    EXPECT_EQ(getOptionDec<uint32_t>("port"), 3u);
    EXPECT_EQ(getOptionDec<uint32_t>("baud"), 250000u);
    EXPECT_EQ(getOptionDec<uint32_t>("pktlen"), 1024u);
    EXPECT_EQ(getOptionDec<uint32_t>("hwIndex"), 8u);
    EXPECT_EQ(getOptionDec<enumInterfaceType>("com"), AutoDetectHW);
    EXPECT_EQ(getOptionHex<uint64_t>("codeStartAddr"), 0x1FFFF0000u);
    EXPECT_EQ(getOptionHex<uint32_t>("codeStartAddr"), 0xFFFF0000u);
    EXPECT_EQ(getOptionHex<uint32_t>("writeOpt"), 0x1FFu);
    EXPECT_TRUE(present("ecuClass"));
    EXPECT_TRUE(present("receiveTimeout"));
    EXPECT_TRUE(present("nonVerbose"));
    EXPECT_TRUE(present("lin"));
    EXPECT_FALSE(present("help"));
    EXPECT_EQ(capture.normal(), "");
}

// Puts a value into the option map as the parse would.
void store(const std::string& name, const std::string& value) {
    getVariablesMap().insert({name, boost::program_options::variable_value(value, false)});
}

// The readers take what they can of a text and cut it to their width (the parse lets no such value
// through).
TEST_F(ParseTest, ReadersReadTheNumberAtTheStartAndCutIt) {
    store("txId", "12345");
    store("pktlen", "1024abc");
    store("hwIndex", "0x10");
    EXPECT_EQ(getOptionHex<uint16_t>("txId"), 0x2345);
    EXPECT_EQ(getOptionHex<uint32_t>("txId"), 0x12345u);
    EXPECT_EQ(getOptionDec<uint32_t>("pktlen"), 1024u);
    EXPECT_EQ(getOptionDec<uint32_t>("hwIndex"), 0u);
}

// A value read as a number must be a whole number of its option's base and width: read in part it
// would be a number that was not typed ("zz" as 0, "4k" as 4, 0x12345 as the identifier 0x2345).
// Refused as the library's errors are: one line naming the option and why, the map left empty.
TEST_F(ParseTest, ValuesThatAreNoWholeNumberAreRefused) {
    const std::pair<std::vector<std::string>, std::string> refused[] = {
        {{"--codeStartAddr", "zz"}, "--codeStartAddr' is invalid: not a hexadecimal number"},
        {{"--dataStartAddr", "zz"}, "--dataStartAddr' is invalid: not a hexadecimal number"},
        {{"--codeLength", "4k"}, "--codeLength' is invalid: not a hexadecimal number"},
        {{"--dataLength", " "}, "--dataLength' is invalid: not a hexadecimal number"},
        {{"--dataPageSize", "0x"}, "--dataPageSize' is invalid: not a hexadecimal number"},
        {{"--codePageSize", "100000000"}, "--codePageSize' is invalid: more than 32 bits"},
        {{"--txId", "12345"}, "--txId' is invalid: more than 16 bits"},
        {{"--rxId", "-1"}, "--rxId' is invalid: not a hexadecimal number"},
        {{"--jumpAddr", "10000000000000000"}, "--jumpAddr' is invalid: more than 64 bits"},
        {{"--ecuFlashRequest", "key"}, "--ecuFlashRequest' is invalid: not a hexadecimal number"},
        {{"--writeOpt", "1 2"}, "--writeOpt' is invalid: not a hexadecimal number"},
        {{"--pktlen", "1024abc"}, "--pktlen' is invalid: not a decimal number"},
        {{"--port", "0x10"}, "--port' is invalid: not a decimal number"},
        {{"--baud", "1e3"}, "--baud' is invalid: not a decimal number"},
        {{"--baud", "4294967296"}, "--baud' is invalid: more than 32 bits"},
        {{"--com", "auto"}, "--com' is invalid: not a decimal number"},
        {{"--hwIndex", "+1"}, "--hwIndex' is invalid: not a decimal number"},
    };
    for (const auto& [args, error] : refused) {
        SCOPED_TRACE(args.front());
        getVariablesMap().clear();
        StreamCapture local;
        std::vector<std::string> line = {"--readOpt"};
        line.insert(line.end(), args.begin(), args.end());
        parse(line);
        const std::string& value = args[1];
        EXPECT_EQ(local.error(),
                  "\nError: Exception of type the argument ('" + value + "') for option '" + error + "\n");
        EXPECT_EQ(local.normal(), "");
        EXPECT_TRUE(getVariablesMap().empty());
    }
    // Texts and options no step reads as a number are taken as they are.
    getVariablesMap().clear();
    StreamCapture taken;
    parse({"--ecuInfo", "Front ECU", "--ecuType", "x", "--receiveTimeout", "x", "--eraseCode", "x",
           "--eraseData", "x"});
    EXPECT_EQ(taken.error(), "");
    EXPECT_EQ(getVariablesMap().size(), 5u);
}

TEST_F(ParseTest, ReadersGiveZeroForAnAbsentOptionOrAFlag) {
    parse({"--lin"});
    store("txId", "");
    EXPECT_EQ(getOptionText("txId"), "");
    EXPECT_EQ(getOptionHex<uint16_t>("txId"), 0);
    EXPECT_EQ(getOptionHex<uint64_t>("lin"), 0u);
    EXPECT_EQ(getOptionDec<uint32_t>("port"), 0u);
    EXPECT_EQ(getOptionDec<enumInterfaceType>("com"), InterfaceNone);
}

TEST(BlockPair, TwoWholeDecimalNumbers) {
    const std::pair<std::string, std::optional<std::pair<uint64_t, uint64_t>>> cases[] = {
        {"3,7", std::make_pair(3, 7)},
        {" 3 , 7 ", std::make_pair(3, 7)},
        {"0,300", std::make_pair(0, 300)},
        {"3", std::nullopt},
        {"3-7", std::nullopt},
        {"3;7", std::nullopt},
        {"-1,3", std::nullopt},
        {"3,7x", std::nullopt},
        {"3,7,9", std::nullopt},
        {",7", std::nullopt},
        {"0x3,7", std::nullopt},
    };
    for (const auto& [text, expected] : cases) {
        uint64_t first = 99;
        uint64_t last = 99;
        const bool read = readBlockPair(text, first, last);
        EXPECT_EQ(read ? std::make_optional(std::make_pair(first, last)) : std::nullopt, expected) << text;
    }
}

TEST_F(ParseTest, RxId643InBothFormsIsTheSame) {
    parse({"--rxId", "0x643"});
    const uint16_t withPrefix = getOptionHex<uint16_t>("rxId");
    getVariablesMap().clear();
    parse({"--rxId", "643"});
    EXPECT_EQ(getOptionHex<uint16_t>("rxId"), withPrefix);
}

TEST(NumberReaders, Hexadecimal) {
    const std::pair<std::string, uint64_t> cases[] = {
        {"643", 0x643},
        {"0x643", 0x643},
        {"0X1f", 0x1F},
        {"  ff", 0xFF},
        {"12zz", 0x12},
        {"zz", 0},
        {"", 0},
        {"ffffffffffffffff", std::numeric_limits<uint64_t>::max()},
        {"FEDF8000", 0xFEDF8000},
    };
    for (const auto& [text, value] : cases) {
        EXPECT_EQ(fromHexString(text), value) << "'" << text << "'";
    }
}

TEST(NumberReaders, Decimal) {
    const std::pair<std::string, uint64_t> cases[] = {
        {"500000", 500000},
        {"0x10", 0},
        {"1024abc", 1024},
        {" 7", 7},
        {"abc", 0},
        {"", 0},
        {"18446744073709551615", std::numeric_limits<uint64_t>::max()},
        {"08", 8},
    };
    for (const auto& [text, value] : cases) {
        EXPECT_EQ(fromDecString(text), value) << "'" << text << "'";
    }
}

}  // namespace
