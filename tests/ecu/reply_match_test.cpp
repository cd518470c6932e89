// Which reply answers which request: the one table through which every exchange of the ECU client
// takes its answer, by the first bytes of request and reply.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "ecu/DevVO_ecu.h"
#include "ecu/VORh850Gen.h"
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

// Requests whose answers one reply could pass for both: the same service names its negative replies
// alike, whatever follows; positive ones only where the second byte does not tell them apart.
TEST(ReplyMatch, AnswersThatMayLookAlike) {
    struct AlikeCase {
        std::string label;
        Bytes first;
        Bytes second;
        bool alike;
    };
    const Bytes optionRead0 = {0xBB, 0x92, 0x00};
    const Bytes optionRead1 = {0xBB, 0x92, 0x01};
    const Bytes codeRead = {0xBB, 0x71, 0x00, 0x01, 0x00, 0x00, 0x02};
    const Bytes nextCodeRead = {0xBB, 0x71, 0x00, 0x01, 0x02, 0x00, 0x02};
    const Bytes login = {0xBA, 1, 2, 3, 4, 5};
    const Bytes reset = {0xBF, 0x00, 0x00, 0x00, 0x00, 0x00};
    const Bytes jump = {0xBF, 0x01, 0xFE, 0xDF, 0x80, 0x00};
    const Bytes start = {0xBE, 0x01, 0xFE, 0xDF, 0x80, 0x00};
    const Bytes crcQuery = {0xBC, 0xFE, 0xDF, 0x80, 0x00, 0x00, 0x00, 0x03, 0xFC};
    const Bytes ecuInfo = {0xBB, 0xFF};
    const std::vector<AlikeCase> cases = {
        {"option reads of two indexes", optionRead0, optionRead1, true},
        {"code reads of two addresses", codeRead, nextCodeRead, true},
        {"code read and option read, by their negative replies", codeRead, optionRead0, true},
        {"login and option read", login, optionRead0, false},
        {"code read and reset", codeRead, reset, false},
        {"reset and jump, by their negative replies", reset, jump, true},
        {"start and jump, both answered FE", start, jump, true},
        {"RAM CRC query (FB and the CRC) and ECU information read", crcQuery, ecuInfo, true},
        {"login and reset", login, reset, false},
    };
    testing_support::ScriptedChannel channel;
    const DevVO_ecu ecu(&channel, 0);
    for (const AlikeCase& c : cases) {
        EXPECT_EQ(ecu.answersMayLookAlike(c.first, c.second), c.alike) << c.label;
        EXPECT_EQ(ecu.answersMayLookAlike(c.second, c.first), c.alike) << c.label << ", the other way";
    }
}

// After a request that got no answer, or only "response pending", a request whose answer could look
// like its late one first waits for that answer and drops it (one receive without a request); a
// request sent again unchanged, or one whose answer cannot look alike, does not wait.
TEST(LateAnswer, IsWaitedForBeforeARequestWhoseAnswerLooksAlike) {
    struct LateCase {
        std::string label;
        Answer firstAnswer;
        Bytes second;
        std::vector<Answer> late;
        size_t waits;
    };
    const Bytes optionRead0 = {0xBB, 0x92, 0x00};
    const Bytes optionRead1 = {0xBB, 0x92, 0x01};
    const Bytes late0 = {0xFB, 0x92, 0x11, 0x11, 0x11, 0x11};
    const std::vector<LateCase> cases = {
        {"no answer, then another index", Answer::none(), optionRead1, {Answer::reply(late0)}, 1},
        {"no answer, the late one never comes", Answer::none(), optionRead1, {}, 1},
        {"response pending, then another index",
         Answer::negative(0xBB, 0x78),
         optionRead1,
         {Answer::reply(late0)},
         1},
        {"no answer, the same request again", Answer::none(), optionRead0, {}, 0},
        {"answered", Answer::reply(late0), optionRead1, {}, 0},
        {"answered negatively", Answer::negative(0xBB, 0x31), optionRead1, {}, 0},
        {"no answer, then the reset", Answer::none(), {0xBF, 0x00, 0x00, 0x00, 0x00, 0x00}, {}, 0},
    };
    for (const LateCase& c : cases) {
        SCOPED_TRACE(c.label);
        Rig<VORh850Gen> rig;
        ASSERT_TRUE(rig.attached);
        StreamCapture out;
        rig.bus.expect(optionRead0, c.firstAnswer)
            .expect(c.second, Answer::reply({0xFB, 0x92, 0x22, 0x22, 0x22, 0x22}));
        for (const Answer& a : c.late) {
            rig.bus.lateAnswer(a);
        }
        const uint32_t receiveTimeout = rig.ecu.getReceiveTimeout();
        uint32_t value = 0;
        (void)rig.ecu.ReadOptionBytes(0, &value);
        if (c.second[0] == 0xBB) {
            EXPECT_TRUE(rig.ecu.ReadOptionBytes(c.second[2], &value));
            EXPECT_EQ(value, 0x22222222u);
        } else {
            (void)rig.ecu.EcuReset();
        }
        EXPECT_EQ(rig.bus.unrequestedReceives(), c.waits);
        EXPECT_TRUE(rig.bus.done());
        // The wait cuts the receive time-out to the time left, and puts it back.
        EXPECT_EQ(rig.ecu.getReceiveTimeout(), receiveTimeout);
    }
}

// The late answer may come only within one receive time-out after the request that got none: past
// that, nothing is waited for.
TEST(LateAnswer, IsNotWaitedForOnceItsTimeIsOver) {
    Rig<VORh850Gen> rig;
    ASSERT_TRUE(rig.attached);
    StreamCapture out;
    rig.ecu.setReceiveTimeout(50);
    rig.bus.expect({0xBB, 0x92, 0x00}, Answer::none())
        .expect({0xBB, 0x92, 0x01}, Answer::reply({0xFB, 0x92, 0x22, 0x22, 0x22, 0x22}));
    uint32_t value = 0;
    EXPECT_FALSE(rig.ecu.ReadOptionBytes(0, &value));
    std::this_thread::sleep_for(std::chrono::milliseconds(80));
    EXPECT_TRUE(rig.ecu.ReadOptionBytes(1, &value));
    EXPECT_EQ(rig.bus.unrequestedReceives(), 0u);
}

}  // namespace
}  // namespace ecutest
