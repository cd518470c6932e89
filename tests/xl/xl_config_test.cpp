// The driver configuration: built-in default, files, broken files, absent hardware.

#include <errno.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <ostream>
#include <string>

#include "tests/support/case_names.h"
#include "tests/xl/xl_fixture.h"
#include "xl/xl_api.h"

namespace {

using testing_support::ScratchDir;

class ConfigTest : public ::testing::Test {
  protected:
    void TearDown() override {
        while (xlCloseDriver() == XL_SUCCESS) {
        }
        unsetenv("VOFLASH_XL_CONFIG");
    }
    ScratchDir dir_;
};

TEST_F(ConfigTest, BuiltInConfigurationIsOneVn1640WithFourChannels) {
    unsetenv("VOFLASH_XL_CONFIG");
    XLdriverConfig cfg{};
    ASSERT_EQ(xlGetDriverConfig(&cfg), XL_SUCCESS);
    ASSERT_EQ(cfg.channelCount, 4u);
    for (unsigned i = 0; i < 4; ++i) {
        const XLchannelConfig& c = cfg.channel[i];
        EXPECT_EQ(std::string(c.name), "VN1640 Channel " + std::to_string(i + 1));
        EXPECT_EQ(c.hwType, XL_HWTYPE_VN1640);
        EXPECT_EQ(c.hwIndex, 0);
        EXPECT_EQ(c.hwChannel, i);
        EXPECT_EQ(c.channelMask, XLaccess{1} << i);
        EXPECT_EQ(c.channelBusCapabilities, XL_BUS_ACTIVE_CAP_CAN | XL_BUS_ACTIVE_CAP_LIN);
        EXPECT_EQ(c.serialNumber, 40001u);
        EXPECT_EQ(std::string(c.busName), "vbus" + std::to_string(i + 1));
    }
    EXPECT_EQ(xlGetChannelMask(59, 0, 2), XLaccess{4});
}

TEST_F(ConfigTest, FileGivesItsChannelsInOrder) {
    setenv("VOFLASH_XL_CONFIG",
           dir_.writeText("good.cfg",
                          "# two interfaces\n"
                          "\n"
                          "  VN1630 Channel 2 ,57,1, 1, CAN, 0x1F, rig-1   # trailing comment\n"
                          "Virtual Channel 1, 1, 0, 0, 0x20000, 4294967295, rig.2\n")
               .c_str(),
           1);
    ASSERT_EQ(xlOpenDriver(), XL_SUCCESS);
    XLdriverConfig cfg{};
    ASSERT_EQ(xlGetDriverConfig(&cfg), XL_SUCCESS);
    ASSERT_EQ(cfg.channelCount, 2u);
    EXPECT_STREQ(cfg.channel[0].name, "VN1630 Channel 2");
    EXPECT_EQ(cfg.channel[0].hwType, 57);
    EXPECT_EQ(cfg.channel[0].hwIndex, 1);
    EXPECT_EQ(cfg.channel[0].hwChannel, 1);
    EXPECT_EQ(cfg.channel[0].channelBusCapabilities, XL_BUS_ACTIVE_CAP_CAN);
    EXPECT_EQ(cfg.channel[0].serialNumber, 31u);
    EXPECT_STREQ(cfg.channel[0].busName, "rig-1");
    EXPECT_EQ(cfg.channel[1].hwType, XL_HWTYPE_VIRTUAL);
    EXPECT_EQ(cfg.channel[1].channelBusCapabilities, XL_BUS_ACTIVE_CAP_LIN);
    EXPECT_EQ(cfg.channel[1].serialNumber, 4294967295u);
    EXPECT_EQ(cfg.channel[1].channelMask, XLaccess{2});
    EXPECT_EQ(xlGetChannelMask(57, 1, 1), XLaccess{1});
    EXPECT_EQ(xlGetChannelMask(1, 0, 0), XLaccess{2});
}

struct AbsentCase {
    uint32_t hwType, hwIndex, hwChannel;
};
void PrintTo(const AbsentCase& c, std::ostream* os) {
    *os << c.hwType << "." << c.hwIndex << "." << c.hwChannel;
}

class AbsentHardware : public ConfigTest, public ::testing::WithParamInterface<AbsentCase> {};

TEST_P(AbsentHardware, HasMaskZero) {
    unsetenv("VOFLASH_XL_CONFIG");
    ASSERT_EQ(xlOpenDriver(), XL_SUCCESS);
    const AbsentCase c = GetParam();
    EXPECT_EQ(xlGetChannelMask(c.hwType, c.hwIndex, c.hwChannel), XLaccess{0});
}

INSTANTIATE_TEST_SUITE_P(Config, AbsentHardware,
                         ::testing::Values(AbsentCase{59, 0, 4}, AbsentCase{59, 1, 0}, AbsentCase{57, 0, 0},
                                           AbsentCase{59, 0, 0xFFFFFFFF}, AbsentCase{59 + 256, 0, 0},
                                           AbsentCase{0, 0, 0}),
                         [](const ::testing::TestParamInfo<AbsentCase>& info) {
                             return "Type" + std::to_string(info.param.hwType) + "_Index" +
                                    std::to_string(info.param.hwIndex) + "_Channel" +
                                    std::to_string(info.param.hwChannel);
                         });

struct BrokenCase {
    const char* name;
    std::string text;
    int line;
    const char* problem;
};
void PrintTo(const BrokenCase& c, std::ostream* os) {
    *os << "line " << c.line << ": " << c.problem;
}

class BrokenFile : public ConfigTest, public ::testing::WithParamInterface<BrokenCase> {};

TEST_P(BrokenFile, SaysFileAndLineOnceAndLeavesNoChannels) {
    const BrokenCase c = GetParam();
    const std::string path = dir_.writeText("broken.cfg", c.text);
    setenv("VOFLASH_XL_CONFIG", path.c_str(), 1);
    ::testing::internal::CaptureStderr();
    XLdriverConfig cfg{};
    cfg.channelCount = 99;
    EXPECT_EQ(xlGetDriverConfig(&cfg), XL_SUCCESS);
    ASSERT_EQ(xlOpenDriver(), XL_SUCCESS);
    const XLaccess mask = xlGetChannelMask(59, 0, 0);
    XLportHandle port = 1;
    XLaccess permission = 1;
    const XLstatus open = xlOpenPort(&port, "t", 1, &permission, 256, XL_INTERFACE_VERSION, XL_BUS_TYPE_CAN);
    const std::string err = ::testing::internal::GetCapturedStderr();

    EXPECT_EQ(cfg.channelCount, 0u);
    EXPECT_EQ(mask, XLaccess{0});
    EXPECT_NE(open, XL_SUCCESS);
    EXPECT_EQ(port, XL_INVALID_PORTHANDLE);
    EXPECT_NE(err.find(path + ", line " + std::to_string(c.line) + ": "), std::string::npos) << err;
    EXPECT_NE(err.find(c.problem), std::string::npos) << err;
    EXPECT_NE(err.find("no channels"), std::string::npos) << err;
    EXPECT_EQ(err.find('\n'), err.size() - 1) << "one message: " << err;
}

std::string manyChannels() {
    std::string text;
    for (int i = 0; i < 65; ++i) {
        text += "C, 59, 0, " + std::to_string(i % 256) + ", CAN, 1, b" + std::to_string(i) + "\n";
    }
    return text;
}
const std::string kMany = manyChannels();
const std::string kNul = std::string("A, 59, 0, 0, CAN, 1, b\nB") + '\0' + "C, 59, 0, 1, CAN, 1, b\n";

INSTANTIATE_TEST_SUITE_P(
    Config, BrokenFile,
    ::testing::Values(
        BrokenCase{"SixFields", "VN1640 Channel 1, 59, 0, 0, CAN, 1\n", 1, "expected 7"},
        BrokenCase{"EightFields", "# ok\nA, 59, 0, 0, CAN, 1, b, extra\n", 2, "expected 7"},
        BrokenCase{"HwTypeAbove255", "A, 59, 0, 0, CAN, 1, b\nB, 256, 0, 1, CAN, 1, b\n", 2, "hwType"},
        BrokenCase{"HwIndexNotANumber", "A, 59, x, 0, CAN, 1, b\n", 1, "hwIndex"},
        BrokenCase{"NegativeHwChannel", "A, 59, 0, -1, CAN, 1, b\n", 1, "hwChannel"},
        BrokenCase{"UnknownCapabilities", "A, 59, 0, 0, FLEXRAY, 1, b\n", 1, "capabilities"},
        BrokenCase{"SerialAbove32Bits", "A, 59, 0, 0, CAN, 4294967296, b\n", 1, "serial"},
        BrokenCase{"BusNameWithAPath", "A, 59, 0, 0, CAN, 1, ../etc\n", 1, "bus"},
        BrokenCase{"NoBusName", "A, 59, 0, 0, CAN, 1, \n", 1, "bus"},
        BrokenCase{"InterfaceNameTooLong", "An interface name of more than 31, 59, 0, 0, CAN, 1, b\n", 1,
                   "name"},
        BrokenCase{"ChannelTwice", "A, 59, 0, 0, CAN, 1, b\n\nB, 59, 0, 0, LIN, 2, c\n", 3, "twice"},
        BrokenCase{"ControlCharacter", "A\x01B, 59, 0, 0, CAN, 1, b\n", 1, "control character"},
        BrokenCase{"NulCharacter", kNul, 2, "control character"},
        BrokenCase{"MoreThan64Channels", kMany, 65, "more than 64"}),
    [](const ::testing::TestParamInfo<BrokenCase>& info) { return std::string(info.param.name); });

TEST_F(ConfigTest, UnreadableFileIsReportedAndLeavesNoChannels) {
    const std::string path = dir_.path() + "/absent.cfg";
    setenv("VOFLASH_XL_CONFIG", path.c_str(), 1);
    ::testing::internal::CaptureStderr();
    ASSERT_EQ(xlOpenDriver(), XL_SUCCESS);
    XLdriverConfig cfg{};
    EXPECT_EQ(xlGetDriverConfig(&cfg), XL_SUCCESS);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(cfg.channelCount, 0u);
    EXPECT_NE(err.find(path), std::string::npos) << err;
    EXPECT_NE(err.find("cannot be read"), std::string::npos) << err;
    // The message names the program that reads the configuration, here the test program.
    EXPECT_EQ(err.rfind(std::string(program_invocation_short_name) + ": XL driver configuration ", 0), 0u)
        << err;
}

}  // namespace
