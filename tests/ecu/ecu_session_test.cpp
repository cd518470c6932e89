// The bootloader session services of VOEcuGenBase: login, flash request, reset, ECU information and
// download request, with the once-per-run notices and dots.

#include <gtest/gtest.h>

#include "comm/ProtocolFiatTP.h"
#include "ecu/EcuLoginCode.h"
#include "ecu/VOKesGen.h"
#include "tests/ecu/EcuTestSupport.h"

namespace ecutest {
namespace {

// CRC-32, polynomial 0x04C11DB7, most significant bit first, no final inversion; bit by bit.
uint32_t referenceCrc32Msb(const Bytes& data, uint32_t crc) {
    for (const uint8_t b : data) {
        crc ^= static_cast<uint32_t>(b) << 24;
        for (int i = 0; i < 8; ++i) {
            crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
        }
    }
    return crc;
}

Bytes loginRequest() {
    const auto code = ecuLoginCode();
    Bytes request = {0xBA};
    request.insert(request.end(), code.begin(), code.end());
    return request;
}

Bytes flashRequest(uint64_t key) {
    Bytes keyBytes;
    for (int i = 0; i < 8; ++i) {
        keyBytes.push_back(static_cast<uint8_t>(key >> (8 * i)));
    }
    const uint32_t crc = referenceCrc32Msb(keyBytes, 0);
    return {0xBB, static_cast<uint8_t>(crc), static_cast<uint8_t>(crc >> 8), static_cast<uint8_t>(crc >> 16),
            static_cast<uint8_t>(crc >> 24)};
}

const std::string kWipe = "\b\b\b\b    \b\b\b\b";

TEST(LoginCode, FiveBytesFromTheBuildSettingFirstByteFirst) {
    // Read from the setting's text two digits at a time, not by the library's arithmetic.
    const std::string text = VOFLASH_LOGIN_CODE_TEXT;
    ASSERT_EQ(text.size(), 10u);
    Bytes expected;
    for (size_t i = 0; i < text.size(); i += 2) {
        expected.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    }
    const auto code = ecuLoginCode();
    EXPECT_EQ(Bytes(code.begin(), code.end()), expected);
}

TEST(Login, RepliesAndTheirTexts) {
    const std::string notice = "Attempting to connect to the ECU";
    runTextCases(loginRequest(), 8,
                 {
                     {"positive", Answer::reply({0xFA, 0x00}), true, ""},
                     {"negative", Answer::negative(0xBA, 0x35), false, "Srv: 0xba NRC: 0x35 (InvalidKEy)\n"},
                     {"short negative", Answer::reply({0x7F, 0xBA}), false,
                      "Negative Response or InvalidResponse: 0X7F0XBA\n"},
                     // A reply of another service is no answer: the wait for the login's runs out.
                     {"another service's reply", Answer::reply({0xFB, 0x00}), false, "", notice + "."},
                     {"empty", Answer::empty(), false, "Invalid Response: \n"},
                     {"missing", Answer::none(), false, "", notice + "."},
                     {"send fails", Answer::sendFails(), false, " Error while sending Login request\n"},
                 },
                 [](VOKesGen& ecu) { return ecu.Login(); });
}

TEST(Login, NoticeOnceThenDotsWipedEveryFourth) {
    Rig<VOKesGen> rig;
    StreamCapture out;
    const std::string notice = "Attempting to connect to the ECU";
    const struct {
        std::string warning;
        std::string normal;
    } after[] = {
        {notice + ".", ""},       {notice + "..", ""},       {notice + "...", ""},
        {notice + "....", kWipe}, {notice + ".....", kWipe},
    };
    for (const auto& expected : after) {
        rig.bus.expect(loginRequest(), Answer::none());
        EXPECT_FALSE(rig.ecu.Login());
        EXPECT_EQ(out.warning(), expected.warning);
        EXPECT_EQ(out.normal(), expected.normal);
    }
    EXPECT_EQ(out.error(), "");
    EXPECT_EQ(ecuConnectState().loginDotCount, 1u);
}

TEST(Login, ASecondSeriesContinuesTheCount) {
    Rig<VOKesGen> rig;
    StreamCapture out;
    for (int i = 0; i < 3; ++i) {
        rig.bus.expect(loginRequest(), Answer::none());
        EXPECT_FALSE(rig.ecu.Login());
    }
    rig.bus.expect(loginRequest(), Answer::reply({0xFA}));
    EXPECT_TRUE(rig.ecu.Login());
    rig.bus.expect(loginRequest(), Answer::none());
    EXPECT_FALSE(rig.ecu.Login());
    EXPECT_EQ(out.warning(), "Attempting to connect to the ECU....");
    EXPECT_EQ(out.normal(), kWipe);
}

TEST(FlashRequest, ReferenceCrcMatchesPublishedValues) {
    // CRC-32/POSIX without its final inversion, and the library's own value over "abc".
    EXPECT_EQ(referenceCrc32Msb({'1', '2', '3', '4', '5', '6', '7', '8', '9'}, 0), 0x89A1897Fu);
    EXPECT_EQ(referenceCrc32Msb({'a', 'b', 'c'}, 0), 0x2C17398Cu);
    EXPECT_EQ(ecuCrc32Msb({'a', 'b', 'c'}, 0), 0x2C17398Cu);
}

TEST(FlashRequest, SendsTheCrcOfTheKeyLeastSignificantByteFirst) {
    const uint64_t keys[] = {0, 1, 0x0123456789ABCDEFull, 0xFFFFFFFFFFFFFFFFull};
    for (const uint64_t key : keys) {
        Rig<VOKesGen> rig;
        StreamCapture out;
        rig.bus.expect(flashRequest(key), Answer::reply({0xFB}));
        EXPECT_TRUE(rig.ecu.EcuFlashRequest(key));
        EXPECT_TRUE(rig.bus.done());
    }
    // The key's least significant byte enters the CRC first: with initial value 0 leading zero bytes
    // leave the CRC at 0, so a key whose only set byte is its top one gives the CRC of that byte alone,
    // the polynomial 0x04C11DB7.
    Rig<VOKesGen> rig;
    StreamCapture out;
    rig.bus.expect({0xBB, 0xB7, 0x1D, 0xC1, 0x04}, Answer::reply({0xFB}));
    EXPECT_TRUE(rig.ecu.EcuFlashRequest(0x0100000000000000ull));
    EXPECT_TRUE(rig.bus.done());
}

TEST(FlashRequest, RepliesAndTheirTexts) {
    const uint64_t key = 0x1122334455667788ull;
    const std::string notice = "Sending the flash request and restart the ECU";
    runTextCases(
        flashRequest(key), 8,
        {
            {"positive", Answer::reply({0xFB, 0x00}), true, ""},
            {"wrong key", Answer::reply({0x7E}), false, "Wrong flash request magic Key (KO)\n", notice + "."},
            {"negative", Answer::negative(0xBB, 0x35), false, "Invalid Response: 0X7F0XBB0X35\n",
             notice + "."},
            {"short negative", Answer::reply({0x7F}), false, "Invalid Response: 0X7F\n", notice + "."},
            {"another service's reply", Answer::reply({0xFA}), false, "", notice + "."},
            {"reply to another BB service", Answer::reply({0xFB, 0xFE}), false, "", notice + "."},
            {"empty", Answer::empty(), false, "Invalid Response: \n", notice + "."},
            {"missing", Answer::none(), false, "", notice + "."},
            {"send fails", Answer::sendFails(), false, " Error while sending ECU Flash request\n"},
        },
        [key](VOKesGen& ecu) { return ecu.EcuFlashRequest(key); });
}

TEST(FlashRequest, OneErrorTextPerRunWhileNoticeAndDotsGoOn) {
    Rig<VOKesGen> rig;
    StreamCapture out;
    const Answer answers[] = {Answer::reply({0x7E}), Answer::reply({0x7E}), Answer::reply({0x00}),
                              Answer::sendFails(), Answer::none()};
    for (const Answer& answer : answers) {
        rig.bus.expect(flashRequest(7), answer);
        EXPECT_FALSE(rig.ecu.EcuFlashRequest(7));
    }
    EXPECT_EQ(out.error(), "Wrong flash request magic Key (KO)\n");
    // The failed send prints nothing more and no dot.
    EXPECT_EQ(out.warning(), "Sending the flash request and restart the ECU....");
    EXPECT_EQ(out.normal(), kWipe);
}

TEST(FlashRequest, SendFailurePrintedOncePerRunNeverADot) {
    Rig<VOKesGen> rig;
    StreamCapture out;
    for (int i = 0; i < 3; ++i) {
        rig.bus.expect(flashRequest(7), Answer::sendFails());
        EXPECT_FALSE(rig.ecu.EcuFlashRequest(7));
    }
    EXPECT_EQ(out.error(), " Error while sending ECU Flash request\n");
    EXPECT_EQ(out.warning(), "");
}

TEST(EcuReset, RepliesAndTheirTexts) {
    runTextCases(
        {0xBF, 0x00, 0x00, 0x00, 0x00, 0x00}, 8,
        {
            {"positive", Answer::reply({0xFF, 0x00}), true, ""},
            {"negative", Answer::negative(0xBF, 0x22), false, "Srv: 0xbf NRC: 0x22 (ConditiosNotCorrect)\n"},
            {"short negative", Answer::reply({0x7F, 0xBF}), false,
             "Negative Response or InvalidResponse: 0X7F0XBF\n"},
            {"another service's reply", Answer::reply({0xFE}), false, "ECU Reset failed (KO) !!!\n"},
            {"empty", Answer::empty(), false, "Invalid Response: \n"},
            {"missing", Answer::none(), false, "ECU Reset failed (KO) !!!\n"},
            {"send fails", Answer::sendFails(), false, " Error while sending ECU Reset request\n"},
        },
        [](VOKesGen& ecu) { return ecu.EcuReset(); });
}

TEST(GetEcuInfo, RepliesAndTheirTexts) {
    const std::string none = "Get EcuInfo (no response)!\n";
    runTextCases(
        {0xBB, 0xFF}, 5000,
        {
            {"positive", Answer::reply({0xFB, 0x00, 0x12, 0x34, 0x56, 0x78}), true, ""},
            {"positive, longer", Answer::reply({0xFB, 0x99, 0x12, 0x34, 0x56, 0x78, 0x00}), true, ""},
            {"positive but short", Answer::reply({0xFB, 0x00, 0x12, 0x34, 0x56}), false, none},
            {"negative", Answer::negative(0xBB, 0x31), false,
             "GetEcuInfo Srv: 0xbb NRC: 0x31 (RequestOutOfRange)\n"},
            {"short negative", Answer::reply({0x7F, 0xBB}), false,
             "Negative Response or Invalid Response: 0X7F0XBB\n"},
            {"another service's reply", Answer::reply({0xFA, 0, 1, 2, 3, 4}), false, none},
            {"reply to another BB service", Answer::reply({0xFB, 0xFE, 0x12, 0x34, 0x56, 0x78}), false, none},
            {"empty", Answer::empty(), false, none},
            {"missing", Answer::none(), false, none},
            {"send fails", Answer::sendFails(), false, none},
        },
        [](VOKesGen& ecu) {
            uint32_t info = 0xDEADBEEF;
            const bool ok = ecu.GetEcuInfo(info);
            EXPECT_EQ(info, ok ? 0x12345678u : 0xDEADBEEFu);
            return ok;
        });
}

TEST(SetEcuInfo, RepliesAndTheirTexts) {
    const std::string none = " SetEcuType (no response)!\n";
    runTextCases(
        {0xBB, 0xFE, 0x01, 0x02, 0x03, 0x04}, 5000,
        {
            {"positive", Answer::reply({0xFB}), true, ""},
            {"negative", Answer::negative(0xBB, 0x13), false,
             "SetEcuInfo Srv: 0xbb NRC: 0x13 (IncorrectMsgLen/InvalidFormat)\n"},
            {"short negative", Answer::reply({0x7F}), false, "Negative response or invalid response: 0X7F\n"},
            {"another service's reply", Answer::reply({0xFE, 0x00}), false, none},
            {"reply to another BB service", Answer::reply({0xFB, 0xFF}), false, none},
            {"empty", Answer::empty(), false, none},
            {"missing", Answer::none(), false, none},
            {"send fails", Answer::sendFails(), false, none},
        },
        [](VOKesGen& ecu) { return ecu.SetEcuInfo(0x01020304); });
}

TEST(DownloadRequest, RepliesAndTheirTexts) {
    const Bytes data = counting(256);
    Bytes request = {0xBD, 0x20, 0x00, 0x00, 0x00};
    request.insert(request.end(), data.begin(), data.end());
    ASSERT_EQ(request.size(), 261u);
    const std::string none = "\n\n ...Download request: No Response!\n";
    runTextCases(request, 8,
                 {
                     {"positive", Answer::reply({0xFD}), true, ""},
                     {"negative", Answer::negative(0xBD, 0x70), false,
                      "\n\nSrv: 0xbd NRC: 0x70 (UploadDownloadNotAccepted)\n"},
                     {"short negative", Answer::reply({0x7F, 0xBD}), false,
                      "\n\nNegative Response or InvalidResponse: 0X7F0XBD\n"},
                     {"another service's reply", Answer::reply({0xFB}), false, none},
                     {"empty", Answer::empty(), false, none},
                     {"missing", Answer::none(), false, none},
                     {"send fails", Answer::sendFails(), false, none},
                 },
                 [&data](VOKesGen& ecu) { return ecu.DownloadRequest(0x20000000, data); });
}

}  // namespace
}  // namespace ecutest

namespace ecutest {
namespace {

TEST(OverTheCanTransport, LoginInOneSingleFrame) {
    TransportRig<> rig;
    ASSERT_TRUE(rig.attached);
    EXPECT_EQ(rig.channel.getCurrentProtocol(), &rig.transport);
    rig.channel.frame({0x43, 0x02, 0xFA, 0x00, 0, 0, 0, 0});
    StreamCapture out;
    EXPECT_TRUE(rig.ecu.Login());
    Bytes frame = {0x43, 0x06};
    const Bytes request = loginRequest();
    frame.insert(frame.end(), request.begin(), request.end());
    ASSERT_EQ(rig.channel.written().size(), 1u);
    EXPECT_EQ(rig.channel.written()[0].bytes, frame);
    EXPECT_EQ(rig.channel.written()[0].txId, kTxId);
}

TEST(OverTheCanTransport, DownloadRequestInConsecutiveFramesAfterFlowControl) {
    TransportRig<> rig;
    const Bytes data = counting(7);
    // 12 bytes: a first frame, the ECU's flow control, one consecutive frame; then a single-frame reply.
    rig.channel.frame({0x43, 0x30, 0x00, 0x00, 0, 0, 0, 0}).frame({0x43, 0x01, 0xFD, 0, 0, 0, 0, 0});
    StreamCapture out;
    EXPECT_TRUE(rig.ecu.DownloadRequest(0x20000000, data));
    const std::vector<Bytes> expected = {
        {0x43, 0x10, 0x0C, 0xBD, 0x20, 0x00, 0x00, 0x00},
        {0x43, 0x21, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05},
        {0x43, 0x22, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00},
    };
    EXPECT_EQ(rig.channel.writtenBytes(), expected);
    EXPECT_EQ(out.error(), "");
}

// A reply that came after its request's time-out, or a doubled one, is still on its way when the next
// request goes out: the services that send and receive separately and those that use transfer take
// only their own answer, which follows it.
TEST(OverTheCanTransport, LateReplyOfTheRequestBeforeIsNotTheAnswer) {
    const Bytes late = {0x43, 0x02, 0xFB, 0xFE, 0, 0, 0, 0};
    {
        TransportRig<> rig;
        rig.channel.frame(late).frame({0x43, 0x02, 0xFA, 0x00, 0, 0, 0, 0});
        StreamCapture out;
        EXPECT_TRUE(rig.ecu.Login());
        EXPECT_EQ(out.error() + out.warning(), "");
    }
    {
        TransportRig<> rig;
        rig.channel.frame(late).frame({0x43, 0x06, 0xFB, 0xFF, 0x11, 0x22, 0x33, 0x44});
        StreamCapture out;
        uint32_t info = 0;
        EXPECT_TRUE(rig.ecu.GetEcuInfo(info));
        EXPECT_EQ(info, 0x11223344u);
        EXPECT_EQ(out.error(), "");
    }
    {
        TransportRig<> rig;
        rig.channel.frame({0x43, 0x05, 0xFC, 0x01, 0x02, 0x03, 0x04, 0})
            .frame({0x43, 0x02, 0xFE, 0x01, 0, 0, 0, 0});
        StreamCapture out;
        EXPECT_TRUE(rig.ecu.StartApplRam(0xFEDF8000));
        EXPECT_EQ(out.error(), "");
    }
}

}  // namespace
}  // namespace ecutest
