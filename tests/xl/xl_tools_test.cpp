// The bus tools: the frame text they read and print, and xl-bus-dump and xl-bus-send at work.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/case_names.h"
#include "tests/xl/xl_fixture.h"
#include "tools/frame_text.h"
#include "xl/bus.h"
#include "xl/xl_api.h"

namespace {

using namespace xltest;
using xl::bus::Frame;

struct ParseCase {
    const char* text;
    uint32_t id;
    uint8_t flags, dlc;
    std::vector<uint8_t> data;
};
void PrintTo(const ParseCase& c, std::ostream* os) {
    *os << c.text;
}

class ParseGood : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseGood, GivesTheFrame) {
    const ParseCase& c = GetParam();
    Frame f;
    std::string error;
    ASSERT_TRUE(tools::parseFrame(c.text, &f, &error)) << error;
    EXPECT_EQ(f.kind, xl::bus::Kind::kCan);
    EXPECT_EQ(f.id, c.id);
    EXPECT_EQ(f.flags, c.flags);
    EXPECT_EQ(f.dlc, c.dlc);
    ASSERT_EQ(f.length, c.data.size());
    EXPECT_EQ(std::vector<uint8_t>(f.data, f.data + f.length), c.data);
}

INSTANTIATE_TEST_SUITE_P(
    Tools, ParseGood,
    ::testing::Values(
        ParseCase{"6F1#4301020304050607", 0x6F1, 0, 8, {0x43, 1, 2, 3, 4, 5, 6, 7}},
        ParseCase{"7ff#", 0x7FF, 0, 0, {}},
        ParseCase{"18DA10F1#02.10.03", 0x18DA10F1 | XL_CAN_EXT_MSG_ID, 0, 3, {2, 0x10, 3}},
        ParseCase{"0001#AA", 1 | XL_CAN_EXT_MSG_ID, 0, 1, {0xAA}},
        ParseCase{"123#R", 0x123, xl::bus::kFlagRemote, 0, {}},
        ParseCase{"123#R5", 0x123, xl::bus::kFlagRemote, 5, {}},
        ParseCase{"123##1001122", 0x123, xl::bus::kFlagFd | xl::bus::kFlagBrs, 3, {0, 0x11, 0x22}},
        ParseCase{"123##0000000000000000000000000", 0x123, xl::bus::kFlagFd, 9, std::vector<uint8_t>(12, 0)}),
    [](const ::testing::TestParamInfo<ParseCase>& info) {
        return testing_support::caseName(info.param.text);
    });

struct BadCase {
    const char* text;
    const char* problem;
};
void PrintTo(const BadCase& c, std::ostream* os) {
    *os << c.text;
}

class ParseBad : public ::testing::TestWithParam<BadCase> {};

TEST_P(ParseBad, SaysWhy) {
    Frame f;
    std::string error;
    EXPECT_FALSE(tools::parseFrame(GetParam().text, &f, &error));
    EXPECT_NE(error.find(GetParam().problem), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(Tools, ParseBad,
                         ::testing::Values(BadCase{"123", "not a frame"}, BadCase{"#01", "1 to 8 hex digits"},
                                           BadCase{"123456789#01", "1 to 8 hex digits"},
                                           BadCase{"12G#01", "hexadecimal"}, BadCase{"800#01", "above 7FF"},
                                           BadCase{"20000000#01", "above 1FFFFFFF"},
                                           BadCase{"123#0", "pairs of hex digits"},
                                           BadCase{"123#010203040506070809", "at most 8 bytes"},
                                           BadCase{"123#R9", "0 to 8"}, BadCase{"123##", "one hex digit"},
                                           BadCase{"123##1000000000000000000", "CAN FD data of 9 bytes"}),
                         [](const ::testing::TestParamInfo<BadCase>& info) {
                             return testing_support::caseName(info.param.text);
                         });

TEST(FrameText, LinesShowTimeBusIdentifierLengthAndData) {
    tools::DumpOptions o;
    o.startNs = 1000000000;
    Frame f;
    f.id = 0x6F1;
    f.dlc = f.length = 3;
    f.data[0] = 0x43, f.data[1] = 0x01, f.data[2] = 0xFF;
    f.timeNs = 1001234567;
    EXPECT_EQ(tools::formatFrame("vbus1", f, o, 0), "(     0.001234)  vbus1     6F1       [3]  43 01 FF");
    f.id = 0x18DA10F1 | XL_CAN_EXT_MSG_ID;
    f.flags = xl::bus::kFlagFd | xl::bus::kFlagBrs;
    f.dlc = 9;
    f.length = 12;
    f.timeNs = 3500000000;
    EXPECT_EQ(tools::formatFrame("b", f, o, 0),
              "(     2.500000)  b         18DA10F1  [12] 43 01 FF 00 00 00 00 00 00 00 00 00  (FD, BRS)");
    f = Frame{};
    f.id = 0x123;
    f.flags = xl::bus::kFlagRemote;
    f.dlc = 2;
    o.time = tools::TimeFormat::kDelta;
    f.timeNs = 2000;
    EXPECT_EQ(tools::formatFrame("b", f, o, 1000), "(  0.000001)  b         123       [2]  remote request");
    f = Frame{};
    f.kind = xl::bus::Kind::kChipState;
    f.busStatus = XL_CHIPSTAT_BUSOFF;
    f.txErrorCounter = 255;
    EXPECT_NE(tools::formatFrame("b", f, o, 0).find("CHIPSTATE  bus off (0x01)  tx errors 255  rx errors 0"),
              std::string::npos);
}

// Runs a command and gives what it printed on standard output.
class Command {
  public:
    explicit Command(const std::string& command) : pipe_(popen(command.c_str(), "r")) {}
    ~Command() { finish(); }
    std::string output() {
        std::string out;
        char buf[4096];
        size_t n = 0;
        while (pipe_ != nullptr && (n = std::fread(buf, 1, sizeof buf, pipe_)) > 0) {
            out.append(buf, n);
        }
        return out;
    }
    int finish() {
        const int status = pipe_ != nullptr ? pclose(pipe_) : -1;
        pipe_ = nullptr;
        return status;
    }

  private:
    FILE* pipe_;
};

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        out.push_back(text.substr(start, end - start));
    }
    return out;
}

using ToolsTest = XlTest;

TEST_F(ToolsTest, DumpPrintsWhatTheSenderAndThePortsPut) {
    const XLportHandle a = openActive(kA), b = openActive(kB);
    Command dump(std::string(XL_BUS_DUMP) + " -q -n 5 -t 20000 busA");
    // The dump is on the bus once its socket is there besides those of the two ports.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    size_t sockets = 0;
    while (sockets < 3 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        sockets = 0;
        for (const auto& entry : std::filesystem::directory_iterator(busDir("busA"))) {
            sockets += entry.path().extension() == ".sock" ? 1 : 0;
        }
    }
    ASSERT_EQ(sockets, 3u);

    ASSERT_EQ(send(a, 0x6F1, {0x43, 0x01}), XL_SUCCESS);
    const std::string sendCommand =
        std::string(XL_BUS_SEND) +
        " busA 18DA10F1#02.10.03 123##1000102030405060708090A0B 7FF#R2 > /dev/null";
    ASSERT_EQ(std::system(sendCommand.c_str()), 0);
    ASSERT_EQ(std::system((std::string(XL_BUS_SEND) + " busA --bus-off").c_str()), 0);

    const std::vector<std::string> out = lines(dump.output());
    EXPECT_EQ(dump.finish(), 0);
    ASSERT_EQ(out.size(), 5u) << dump.output();
    EXPECT_NE(out[0].find("busA      6F1       [2]  43 01"), std::string::npos) << out[0];
    EXPECT_NE(out[1].find("busA      18DA10F1  [3]  02 10 03"), std::string::npos) << out[1];
    EXPECT_NE(out[2].find("123       [12] 00 01 02 03 04 05 06 07 08 09 0A 0B  (FD, BRS)"), std::string::npos)
        << out[2];
    EXPECT_NE(out[3].find("7FF       [2]  remote request"), std::string::npos) << out[3];
    EXPECT_NE(out[4].find("CHIPSTATE  bus off"), std::string::npos) << out[4];

    // The port heard the sender too (the CAN FD frame as an error frame: the port is classic).
    XLevent ev{};
    expectFrame(b, 0x6F1, 0x43);
    expectFrame(b, 0x18DA10F1 | XL_CAN_EXT_MSG_ID, 0x02);
    ASSERT_TRUE(receive(b, &ev));
    EXPECT_EQ(ev.tagData.msg.flags, XL_CAN_MSG_FLAG_ERROR_FRAME);
    ASSERT_TRUE(receive(b, &ev));
    EXPECT_EQ(ev.tagData.msg.flags, XL_CAN_MSG_FLAG_REMOTE_FRAME);
    ASSERT_TRUE(receive(b, &ev));
    EXPECT_EQ(ev.tag, XL_CHIP_STATE);
    EXPECT_EQ(send(b, 0x100, {}), XL_ERR_BUS_OFF);
}

TEST_F(ToolsTest, SenderRefusesBadFramesAndNamesTheProblem) {
    Command bad(std::string(XL_BUS_SEND) + " busA 800#01 2>&1");
    EXPECT_NE(bad.output().find("above 7FF"), std::string::npos);
    EXPECT_NE(bad.finish(), 0);
    Command badBus(std::string(XL_BUS_SEND) + " ../x 100#01 2>&1");
    EXPECT_NE(badBus.output().find("invalid bus name"), std::string::npos);
    EXPECT_NE(badBus.finish(), 0);
}

}  // namespace
