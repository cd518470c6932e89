// Which reply answers which request: the one table through which every exchange of the ECU client
// takes its answer, by the first bytes of request and reply.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ecu/DevVO_ecu.h"
#include "tests/ecu/EcuTestSupport.h"

namespace ecutest {
namespace {

struct MatchCase {
    std::string label;
    Bytes request;
    Bytes reply;
    bool answers;
};

TEST(ReplyMatch, EachReplyAnswersOnlyItsRequest) {
    const Bytes login = {0xBA, 1, 2, 3, 4, 5};
    const Bytes flashRequest = {0xBB, 0x11, 0x22, 0x33, 0x44};
    const Bytes ecuInfo = {0xBB, 0xFF};
    const Bytes setEcuInfo = {0xBB, 0xFE, 0x11, 0x22, 0x33, 0x44};
    const Bytes writeCode = {0xBB, 0x70, 0x00, 0x01, 0x00, 0x00, 0x01, 0xAA};
    const Bytes readData = {0xBB, 0x81, 0x00, 0x00, 0x00, 0x00, 0x01};
    const Bytes writeOption = {0xBB, 0x91, 0x00, 0xFF, 0xFF, 0x00, 0x00};
    const Bytes crcQuery = {0xBC, 0xFE, 0xDF, 0x80, 0x00, 0x00, 0x00, 0x03, 0xFC};
    const Bytes start = {0xBE, 0x01, 0xFE, 0xDF, 0x80, 0x00};
    const Bytes jump = {0xBF, 0x01, 0xFE, 0xDF, 0x80, 0x00};
    const Bytes reset = {0xBF, 0x00, 0x00, 0x00, 0x00, 0x00};
    const std::vector<MatchCase> cases = {
        {"login", login, {0xFA, 0x00}, true},
        {"login, another service's reply", login, {0xFB, 0x00}, false},
        {"login, negative", login, {0x7F, 0xBA, 0x35}, true},
        {"login, negative of another service", login, {0x7F, 0xBB, 0x35}, false},
        {"login, negative naming no service", login, {0x7F}, true},
        {"login, empty reply", login, {}, true},
        {"flash request", flashRequest, {0xFB, 0x00}, true},
        {"flash request, wrong key", flashRequest, {0x7E}, true},
        {"flash request, reply of BB FE", flashRequest, {0xFB, 0xFE}, false},
        {"flash request, negative", flashRequest, {0x7F, 0xBB, 0x22}, true},
        {"7E answers the flash request only", ecuInfo, {0x7E}, false},
        {"ECU information", ecuInfo, {0xFB, 0xFF, 0x11, 0x22, 0x33, 0x44}, true},
        {"ECU information, second byte naming no BB service",
         ecuInfo,
         {0xFB, 0x00, 0x12, 0x34, 0x56, 0x78},
         true},
        {"ECU information, reply of BB FE", ecuInfo, {0xFB, 0xFE}, false},
        {"ECU information, reply of the RAM CRC query", ecuInfo, {0xFC, 0x11, 0x22, 0x33, 0x44}, false},
        {"ECU information, negative", ecuInfo, {0x7F, 0xBB, 0x31}, true},
        {"setting the ECU information", setEcuInfo, {0xFB, 0xFE}, true},
        {"setting the ECU information, FB alone", setEcuInfo, {0xFB}, true},
        {"setting the ECU information, reply of BB FF", setEcuInfo, {0xFB, 0xFF, 0, 0, 0, 0}, false},
        {"code write", writeCode, {0xFB, 0x00}, true},
        {"code write, echoed", writeCode, {0xFB, 0x70}, true},
        {"code write, reply of a code read", writeCode, {0xFB, 0x71, 0x00, 0x00}, false},
        {"data read", readData, {0xFB, 0x81, 0x01, 0x02}, true},
        {"data read, reply of a code read", readData, {0xFB, 0x71, 0x01, 0x02}, false},
        {"option write", writeOption, {0xFB, 0x91}, true},
        {"option write, second byte naming no BB service", writeOption, {0xFB, 0x90}, true},
        {"option write, reply of the option read", writeOption, {0xFB, 0x92, 0, 0, 0, 0}, false},
        {"RAM CRC", crcQuery, {0xFC, 0x78, 0x56, 0x34, 0x12}, true},
        {"RAM CRC, as the bootloader's BB replies begin", crcQuery, {0xFB, 0x78, 0x56, 0x34, 0x12}, true},
        {"RAM CRC, reply of the download", crcQuery, {0xFD, 0x00}, false},
        {"RAM CRC, reply of the start", crcQuery, {0xFE, 0x01}, false},
        {"RAM CRC, negative", crcQuery, {0x7F, 0xBC, 0x31}, true},
        {"download", {0xBD, 0, 0, 0, 0, 0xAA}, {0xFD, 0x00}, true},
        {"download, reply of the CRC query", {0xBD, 0, 0, 0, 0, 0xAA}, {0xFC, 0, 0, 0, 0}, false},
        {"start", start, {0xFE, 0x01}, true},
        {"start, reply of the CRC query", start, {0xFC, 0x78, 0x56, 0x34, 0x12}, false},
        {"start, reply of the reset", start, {0xFF, 0x00}, false},
        {"jump answered like the start", jump, {0xFE}, true},
        {"jump, reply of the reset", jump, {0xFF}, false},
        {"jump, negative", jump, {0x7F, 0xBF, 0x22}, true},
        {"reset", reset, {0xFF, 0x00}, true},
        {"reset, reply of the jump", reset, {0xFE, 0x01}, false},
        {"programming session", {0x34, 1, 2, 3, 4, 5}, {0x74, 0x00}, true},
        {"programming session, other reply", {0x34, 1, 2, 3, 4, 5}, {0x75, 0x00}, false},
        {"session", {0x10, 0x63}, {0x50, 0x63}, true},
        {"session, other reply", {0x10, 0x63}, {0x12}, false},
        {"command", {0x22, 0xF1, 0x90}, {0x62, 0xF1, 0x90, 0x41}, true},
        {"command, other reply", {0x22, 0xF1, 0x90}, {0x63, 0x00}, false},
        {"command, negative", {0x22, 0xF1, 0x90}, {0x7F, 0x22, 0x31}, true},
        {"command above 0xBF has no positive reply", {0xC0, 0x00}, {0x00}, false},
        {"command above 0xBF, negative", {0xC0, 0x00}, {0x7F, 0xC0, 0x11}, true},
        {"empty request", {}, {0x12, 0x34}, true},
    };
    testing_support::ScriptedChannel channel;
    const DevVO_ecu ecu(&channel, 0);
    for (const MatchCase& c : cases) {
        EXPECT_EQ(ecu.answersRequest(c.request, c.reply), c.answers) << c.label;
    }
}

}  // namespace
}  // namespace ecutest
