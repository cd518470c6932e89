// The RAM application (download with CRC check, start, jump), raw commands and option bytes of
// VOKesGen.

#include <gtest/gtest.h>

#include <iostream>

#include "console/console.h"
#include "ecu/VOKesGen.h"
#include "tests/ecu/EcuTestSupport.h"
#include "tests/ecu/PacketBytes.h"

namespace ecutest {
namespace {

// Reflected CRC-32 (0xEDB88320) with final inversion, bit by bit.
uint32_t referenceCrc32(const Bytes& data) {
    uint32_t crc = 0xFFFFFFFF;
    for (const uint8_t b : data) {
        crc ^= b;
        for (int i = 0; i < 8; ++i) {
            crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
        }
    }
    return ~crc;
}

Bytes crcQuery(uint32_t address, uint32_t length) {
    return {0xBC,
            static_cast<uint8_t>(address >> 24),
            static_cast<uint8_t>(address >> 16),
            static_cast<uint8_t>(address >> 8),
            static_cast<uint8_t>(address),
            static_cast<uint8_t>(length >> 24),
            static_cast<uint8_t>(length >> 16),
            static_cast<uint8_t>(length >> 8),
            static_cast<uint8_t>(length)};
}

Bytes crcReply(uint32_t crc) {
    return {0xFB, static_cast<uint8_t>(crc), static_cast<uint8_t>(crc >> 8), static_cast<uint8_t>(crc >> 16),
            static_cast<uint8_t>(crc >> 24)};
}

std::string upperHex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%X", value);
    return text;
}

TEST(UploadApplRam, DownloadsInChunksThenChecksTheCrc) {
    Rig<VOKesGen> rig;
    const Bytes image = counting(1000, 0x11);
    const uint32_t crc = referenceCrc32(slice(image, 0, 996));
    rig.bus.expect(download(0x20000000, slice(image, 0, 512)), Answer::reply({0xFD}))
        .expect(download(0x20000200, slice(image, 512, 488)), Answer::reply({0xFD}))
        .expect(crcQuery(0x20000000, 996), Answer::reply(crcReply(crc)));
    StreamCapture out;
    EXPECT_TRUE(rig.ecu.UploadApplRam(image, 0x20000000, 1000, 0));
    EXPECT_TRUE(rig.bus.done());
    for (const Exchange& e : rig.bus.exchanges()) {
        EXPECT_EQ(e.answerLength, 8u);
    }
    EXPECT_EQ(progressValues(out.normal()), (std::vector<uint32_t>{0, 51, 100}));
    const std::string head = "\r    Addr:  0x20000000, Length: 0x3E8\n    Upload: ";
    EXPECT_EQ(out.normal().substr(0, head.size()), head);
    const std::string tail =
        "\n    crc:   0x" + upperHex(crc) + "\nCRC check passed (0x" + upperHex(crc) + ")\n";
    ASSERT_GE(out.normal().size(), tail.size());
    EXPECT_EQ(out.normal().substr(out.normal().size() - tail.size()), tail);
    EXPECT_EQ(out.error(), "");
    // Upper case stays on both streams for the rest of the run.
    EXPECT_TRUE(normalOut.flags() & std::ios_base::uppercase);
    EXPECT_TRUE(errorOut.flags() & std::ios_base::uppercase);
}

TEST(UploadApplRam, CrcOfThePublishedCheckString) {
    Rig<VOKesGen> rig;
    Bytes image = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    image.insert(image.end(), {0xDE, 0xAD, 0xBE, 0xEF});
    rig.bus.expect(download(0x1000, image), Answer::reply({0xFD}))
        .expect(crcQuery(0x1000, 9), Answer::reply(crcReply(0xCBF43926)));
    StreamCapture out;
    EXPECT_TRUE(rig.ecu.UploadApplRam(image, 0x1000, 13, 64));
    EXPECT_NE(out.normal().find("    crc:   0xCBF43926\n"), std::string::npos);
    EXPECT_NE(out.normal().find("CRC check passed (0xCBF43926)\n"), std::string::npos);
    EXPECT_EQ(ecuCrc32({'1', '2', '3', '4', '5', '6', '7', '8', '9'}, 0xFFFFFFFF), 0xCBF43926u);
}

TEST(UploadApplRam, OnlyTheLengthIsUploaded) {
    Rig<VOKesGen> rig;
    const Bytes image = counting(1000);
    rig.bus.expect(download(0x20000000, slice(image, 0, 512)), Answer::reply({0xFD}))
        .expect(download(0x20000200, slice(image, 512, 88)), Answer::reply({0xFD}))
        .expect(crcQuery(0x20000000, 596), Answer::reply(crcReply(referenceCrc32(slice(image, 0, 596)))));
    StreamCapture out;
    EXPECT_TRUE(rig.ecu.UploadApplRam(image, 0x20000000, 600, 0));
    EXPECT_TRUE(rig.bus.done());
    EXPECT_EQ(progressValues(out.normal()), (std::vector<uint32_t>{0, 85, 100}));
}

// Uploads a 16-byte image whose CRC query gets crcAnswer, with errorOut on stderr for the death
// test's pattern; "upload returned" when the upload came back.
void uploadWithCrcAnswer(const Answer& crcAnswer) {
    Rig<VOKesGen> rig;
    const Bytes image = counting(16);
    rig.bus.expect(download(0x20000000, image), Answer::reply({0xFD}))
        .expect(crcQuery(0x20000000, 12), crcAnswer);
    errorOut.rdbuf(std::cerr.rdbuf());
    rig.ecu.UploadApplRam(image, 0x20000000, 16, 0);
    std::fprintf(stderr, "upload returned\n");
    std::exit(0);
}

// The text as a pattern that matches it literally.
std::string literally(const std::string& text) {
    std::string pattern;
    for (const char c : text) {
        if (std::string("\\^$.|?*+()[]{}").find(c) != std::string::npos) {
            pattern += '\\';
        }
        pattern += c;
    }
    return pattern;
}

// Only a CRC answer that matches shows the routine arrived intact. Any other answer is reported, then
// fails the upload as a failed chunk does: the process ends with exit code 4, nothing is started.
TEST(UploadApplRamDeathTest, ACrcAnswerThatDoesNotMatchEndsTheProcessWithExitCode4) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const Bytes image = counting(16);
    const uint32_t crc = referenceCrc32(slice(image, 0, 12));
    struct Case {
        std::string label;
        Answer answer;
        std::string error;
    };
    const Case cases[] = {
        {"mismatch", Answer::reply({0xFB, 0x78, 0x56, 0x34, 0x12}),
         "\nCrc mismatch (Expected: 0x" + upperHex(crc) + ", Received: 0x12345678)\n"},
        {"service byte plus 0x40", Answer::reply({0xFC, 0x78, 0x56, 0x34, 0x12, 0x99}),
         "\nCrc mismatch (Expected: 0x" + upperHex(crc) + ", Received: 0x12345678)\n"},
        // A reply of another service is no answer to the query: the doubled reply of the last download
        // never passes for a CRC.
        {"the download's reply", Answer::reply({0xFD, 0x78, 0x56, 0x34, 0x12}), "\nRead RAM CRC: NoResp! \n"},
        {"short", Answer::reply({0xFB, 0x78, 0x56, 0x34}),
         "CRC check failed: invalid response: 0XFB0X780X560X34\n"},
        {"empty", Answer::empty(), "CRC check failed: invalid response: \n"},
        {"missing", Answer::none(), "\nRead RAM CRC: NoResp! \n"},
    };
    const std::string failed = "\n\nUpload RAM application failed (KO) !!!\n\n";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EXIT(uploadWithCrcAnswer(c.answer), testing::ExitedWithCode(4),
                    "^" + literally(c.error + failed) + "$");
    }
    EXPECT_EXIT(uploadWithCrcAnswer(Answer::reply(crcReply(crc))), testing::ExitedWithCode(0),
                "^upload returned\n$");
}

TEST(UploadApplRam, ImageShorterThanFourBytesIsRefusedBeforeDownload) {
    const std::pair<size_t, uint64_t> cases[] = {{0, 100}, {3, 100}, {10, 3}};
    for (const auto& [size, length] : cases) {
        Rig<VOKesGen> rig;
        StreamCapture out;
        EXPECT_FALSE(rig.ecu.UploadApplRam(counting(size), 0x20000000, length, 0));
        EXPECT_EQ(out.error(), "RAM application too short (at least 4 bytes needed): 0x" +
                                   upperHex(static_cast<uint32_t>(std::min<uint64_t>(size, length))) + "\n");
        EXPECT_TRUE(rig.bus.exchanges().empty());
    }
}

TEST(UploadApplRam, FourBytesUploadWithAnEmptyCrcRange) {
    Rig<VOKesGen> rig;
    const Bytes image = {1, 2, 3, 4};
    rig.bus.expect(download(0x100, image), Answer::reply({0xFD}))
        .expect(crcQuery(0x100, 0), Answer::reply(crcReply(0)));
    StreamCapture out;
    EXPECT_TRUE(rig.ecu.UploadApplRam(image, 0x100, 4, 0));
    EXPECT_TRUE(rig.bus.done());
    EXPECT_NE(out.normal().find("CRC check passed (0x0)"), std::string::npos);
}

// A failed chunk ends the process with exit code 4 after its texts.
void uploadWithFailingChunk(const Answer& second) {
    Rig<VOKesGen> rig;
    const Bytes image = counting(1000);
    rig.bus.expect(download(0x20000000, slice(image, 0, 512)), Answer::reply({0xFD}))
        .expect(download(0x20000200, slice(image, 512, 488)), second)
        .expect(crcQuery(0x20000000, 996), Answer::reply(crcReply(referenceCrc32(slice(image, 0, 996)))));
    rig.ecu.UploadApplRam(image, 0x20000000, 1000, 0);
    std::fprintf(stderr, "upload returned\n");
    std::exit(0);
}

TEST(UploadApplRamDeathTest, AFailedChunkEndsTheProcessWithExitCode4) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(uploadWithFailingChunk(Answer::none()), testing::ExitedWithCode(4), "");
    EXPECT_EXIT(uploadWithFailingChunk(Answer::negative(0xBD, 0x70)), testing::ExitedWithCode(4), "");
    EXPECT_EXIT(uploadWithFailingChunk(Answer::reply({0xFD})), testing::ExitedWithCode(0), "upload returned");
}

TEST(StartApplRam, RepliesAndTheirTexts) {
    const std::string none = "\nStarting ApplRam failed (no response)! \n";
    const std::string shown = "\nStart: 0x20000000\n";
    runTextCases({0xBE, 0x01, 0x20, 0x00, 0x00, 0x00}, 8,
                 {
                     {"positive", Answer::reply({0xFE, 0x00}), true, "", "", shown},
                     {"negative", Answer::negative(0xBE, 0x22), false,
                      "\n\nSrv: 0xbe NRC: 0x22 (ConditiosNotCorrect-Incorrect FileCRC found)\n", "", shown},
                     {"short negative", Answer::reply({0x7F, 0xBE}), false,
                      "\nnegative response or invalid response: 0X7F0XBE\n", "", shown},
                     {"invalid", Answer::reply({0xFF}), false, none, "", shown},
                     {"empty", Answer::empty(), false, none, "", shown},
                     {"missing", Answer::none(), false, none, "", shown},
                 },
                 [](VOKesGen& ecu) { return ecu.StartApplRam(0x20000000); });
}

TEST(JumpApplRam, AnsweredLikeTheStart) {
    const std::string none = "\nStarting ApplRam failed (no response)! \n";
    const std::string shown = "\nStart: 0xfedf8000\n";
    runTextCases({0xBF, 0x01, 0xFE, 0xDF, 0x80, 0x00}, 8,
                 {
                     {"positive", Answer::reply({0xFE}), true, "", "", shown},
                     {"the reset's answer", Answer::reply({0xFF}), false, none, "", shown},
                     {"negative", Answer::negative(0xBF, 0x22), false,
                      "\n\nSrv: 0xbf NRC: 0x22 (ConditiosNotCorrect-Incorrect FileCRC found)\n", "", shown},
                     {"short negative", Answer::reply({0x7F}), false,
                      "\nnegative response or invalid response: 0X7F\n", "", shown},
                     {"missing", Answer::none(), false, none, "", shown},
                 },
                 [](VOKesGen& ecu) { return ecu.JumpApplRam(0xFEDF8000); });
}

TEST(SendCommand, RepliesAndTheirTexts) {
    const std::string none = "Sending Command: No.Response! Service: 0x22\n";
    runTextCases({0x22, 0xF1, 0x90}, 5000,
                 {
                     {"positive", Answer::reply({0x62, 0xF1, 0x90, 0x41, 0x42}), true, "", "",
                      "... succeeded.\n", "        Rsp: 5 bytes: 0X620XF10X900X410X42\n"},
                     {"negative", Answer::negative(0x22, 0x31), false,
                      " Srv:0x22 NRC: 0x31 (RequestOutOfRange)\n", "", "", ""},
                     {"short negative", Answer::reply({0x7F, 0x22}), false,
                      "negative response or invalid response: 0X7F0X22\n"},
                     // A reply of another service is no answer: the wait for the command's runs out.
                     {"another service's reply", Answer::reply({0x63, 0x00}), false, none},
                     {"empty", Answer::empty(), false, none},
                     {"missing", Answer::none(), false, none},
                     {"send fails", Answer::sendFails(), false, none},
                 },
                 [](VOKesGen& ecu) {
                     return ecu.SendCommand({0x22, 0xF1, 0x90});
                 });
}

TEST(SendCommand, ServiceBytesWithoutAPositiveAnswer) {
    // 0x3F + 0x40 is the negative reply byte; 0xC0 + 0x40 does not fit a byte.
    runTextCases({0x3F, 0x01}, 5000,
                 {{"3F", Answer::reply({0x7F}), false, "negative response or invalid response: 0X7F\n"}},
                 [](VOKesGen& ecu) {
                     return ecu.SendCommand({0x3F, 0x01});
                 });
    runTextCases({0xC0}, 5000,
                 {{"C0", Answer::reply({0x00}), false, "Sending Command: No.Response! Service: 0xc0\n"}},
                 [](VOKesGen& ecu) { return ecu.SendCommand({0xC0}); });
}

TEST(SendCommand, EmptyRequestIsRefusedWithoutExchange) {
    Rig<VOKesGen> rig;
    StreamCapture out;
    EXPECT_FALSE(rig.ecu.SendCommand({}));
    EXPECT_TRUE(rig.bus.exchanges().empty());
    EXPECT_EQ(out.error(), "Sending Command: empty request, nothing sent\n");
}

TEST(ReadOptionBytes, RepliesAndTheirTexts) {
    runTextCases(
        {0xBB, 0x92, 0x00}, 6,
        {
            {"positive", Answer::reply({0xFB, 0x92, 0x00, 0x00, 0x12, 0x34}), true, ""},
            {"short", Answer::reply({0xFB, 0x92}), false, "InvalidResponse(ReadOptionBytes): 0XFB0X92\n"},
            {"negative", Answer::negative(0xBB, 0x31), false, " NRC(RequestOutOfRange)\n"},
            {"short negative", Answer::reply({0x7F, 0xBB}), false,
             "InvalidResponse(ReadOptionBytes): 0X7F0XBB\n"},
            {"empty", Answer::empty(), false, "InvalidResponse(ReadOptionBytes): \n"},
            {"missing", Answer::none(), false, "NoResp(ReadOptionBytes)\n"},
        },
        [](VOKesGen& ecu) {
            uint32_t value = 0xDEADBEEF;
            const bool ok = ecu.ReadOptionBytes(0, &value);
            EXPECT_EQ(value, ok ? 0x1234u : 0xDEADBEEFu);
            return ok;
        });
}

TEST(WriteOptionBytes, RepliesAndTheirTexts) {
    const std::string shown = "   0xffff0000\n";
    runTextCases(
        {0xBB, 0x91, 0x00, 0xFF, 0xFF, 0x00, 0x00}, 6,
        {
            {"positive", Answer::reply({0xFB, 0x91}), true, "", "", shown},
            {"other sub-function", Answer::reply({0xFB, 0x90}), false,
             "InvalidResponse(ReadOptionBytes):0XFB0X90\n", "", shown},
            {"one byte", Answer::reply({0xFB}), false, "InvalidResponse(ReadOptionBytes):0XFB\n", "", shown},
            {"negative", Answer::negative(0xBB, 0x22), false, " NRC(ConditiosNotCorrect)\n", "", shown},
            {"empty", Answer::empty(), false, "InvalidResponse(ReadOptionBytes):\n", "", shown},
            {"missing", Answer::none(), false, "NoResp(ReadOptionBytes)\n", "", shown},
        },
        [](VOKesGen& ecu) {
            uint32_t value = 0xFFFF0000;
            return ecu.WriteOptionBytes(0, &value);
        });
}

TEST(OptionBytes, NoValueNoExchange) {
    Rig<VOKesGen> rig;
    StreamCapture out;
    EXPECT_FALSE(rig.ecu.ReadOptionBytes(0, nullptr));
    EXPECT_FALSE(rig.ecu.WriteOptionBytes(0, nullptr));
    EXPECT_TRUE(rig.bus.exchanges().empty());
}

}  // namespace
}  // namespace ecutest
