#include "app/VersionInfo.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "tests/ecu/EcuTestSupport.h"
#include "voflash_build_info.h"

namespace {

TEST(VersionInfo, BannerOnInfoOutWithTheBuildValues) {
    ecutest::StreamCapture capture;
    printVersionInfo("/some/where/voflash");
    const std::string expected =
        std::string(VOFLASH_PROGRAM_FILE_NAME) + " version " + std::to_string(VOFLASH_VERSION_MAJOR) + "." +
        std::to_string(VOFLASH_VERSION_MINOR) + " from " + getBuildDate() + "\n" + VOFLASH_COPYRIGHT + "\n";
    EXPECT_EQ(capture.info(), expected);
    EXPECT_EQ(capture.normal(), "");
    EXPECT_TRUE(versionInfoFound);
    EXPECT_EQ(versionFileName, "voflash");
    EXPECT_FALSE(versionCopyright.empty());
}

TEST(VersionInfo, BannerDoesNotDependOnTheProgramPath) {
    std::string first;
    {
        ecutest::StreamCapture capture;
        printVersionInfo("voflash");
        first = capture.info();
    }
    for (const char* path : {"/nonexistent/other-name", "", static_cast<const char*>(nullptr)}) {
        ecutest::StreamCapture capture;
        printVersionInfo(path);
        EXPECT_EQ(capture.info(), first);
    }
}

TEST(VersionInfo, VersionTextShowsMajorAndMinor) {
    EXPECT_EQ(versionTextOf((1u << 16) | 6u), "1.6");
    EXPECT_EQ(versionTextOf((10u << 16) | 12u), "10.12");
    EXPECT_EQ(versionTextOf(0), "0.0");
    EXPECT_EQ(versionTextOf(0xFFFFFFFFu), "65535.65535");
}

TEST(VersionInfo, BuildDateIsFixedText) {
    const char* date = getBuildDate();
    EXPECT_TRUE(std::regex_match(
        date, std::regex("(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [ 123]\\d \\d{4}")))
        << date;
    EXPECT_EQ(getBuildDate(), date);
}

}  // namespace
